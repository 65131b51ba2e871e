// vantorique-delta: makes, applies and describes deltas between two trees.
#include "delta.h"
#include "items.h"  // the listing of a delta's files

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

int usage()
{
    fprintf(stderr,
            "usage: vantorique-delta make OLD_TREE NEW_TREE OUT.delta [--level N] [--from M] [--to N] [--jobs N] [--package-tree]\n"
            "       vantorique-delta make --old-index INDEX --old-package ZIP NEW_TREE OUT.delta [options as above]\n"
            "       vantorique-delta index TREE PACKAGE.zip OUT.index --version N\n"
            "       vantorique-delta index-info INDEX\n"
            "       vantorique-delta apply INSTALLED_TREE DELTA STAGED_TREE\n"
            "       vantorique-delta stage INSTALLED_TREE INDEX PACKAGE.zip STAGED_TREE\n"
            "       vantorique-delta apply-with INSTALLED_TREE DELTA INDEX PACKAGE.zip STAGED_TREE\n"
            "       vantorique-delta plan INSTALLED_TREE INDEX [DELTA]\n"
            "       vantorique-delta check INSTALLED_TREE INDEX\n"
            "       vantorique-delta list DELTA\n"
            "       vantorique-delta info DELTA\n");
    return 2;
}

int failed(call_context &ctx)
{
    fprintf(stderr, "vantorique-delta: %s (%s)\n", context_line(&ctx).c_str(), failure_name(context_failure(&ctx)));
    return 1;
}

bool number(const char *text, long long low, long long high, long long &out)
{
    char *end = nullptr;
    errno = 0;
    out = strtoll(text, &end, 10);
    return *text && !*end && errno == 0 && out >= low && out <= high;
}

struct options {
    long long level = 19, from = 0, to = 0, jobs = 0, version = 0;
    const char *old_index = nullptr, *old_package = nullptr;
    bool package_tree = false;
    std::vector<const char *> operands;  // the command's words after its name
};

// The options may stand anywhere after the command; false on anything unknown.
bool parse(int argc, char **argv, options &o)
{
    static const struct option known[] = {{"level", required_argument, nullptr, 'l'},
                                          {"from", required_argument, nullptr, 'f'},
                                          {"to", required_argument, nullptr, 't'},
                                          {"jobs", required_argument, nullptr, 'j'},
                                          {"version", required_argument, nullptr, 'v'},
                                          {"old-index", required_argument, nullptr, 'i'},
                                          {"old-package", required_argument, nullptr, 'p'},
                                          {"package-tree", no_argument, nullptr, 'P'},
                                          {nullptr, 0, nullptr, 0}};
    opterr = 0;
    optind = 2;  // after the command
    for (int c; (c = getopt_long(argc, argv, "", known, nullptr)) != -1;) {
        bool ok = c == 'l'   ? number(optarg, 1, 22, o.level)
                  : c == 'f' ? number(optarg, 0, 0xFFFFFFFFll, o.from)
                  : c == 't' ? number(optarg, 0, 0xFFFFFFFFll, o.to)
                  : c == 'j' ? number(optarg, 1, 64, o.jobs)
                  : c == 'v' ? number(optarg, 1, 0xFFFFFFFFll, o.version)
                  : c == 'i' ? (o.old_index = optarg) != nullptr
                  : c == 'p' ? (o.old_package = optarg) != nullptr
                  : c == 'P' ? (o.package_tree = true)
                             : false;
        if (!ok)
            return false;
    }
    for (int i = optind; i < argc; i++)
        o.operands.push_back(argv[i]);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    options o;
    if (argc < 2 || !parse(argc, argv, o))
        return usage();
    const std::string command = argv[1];
    const std::vector<const char *> &w = o.operands;
    call_context ctx;
    const bool release = o.old_index && o.old_package;
    if (command == "make" && w.size() == (release ? 2u : 3u) && !o.old_index == !o.old_package) {
        delta_make_options m;
        m.level = int(o.level);
        m.from_version = uint32_t(o.from);
        m.to_version = uint32_t(o.to);
        m.jobs = int(o.jobs);
        m.old_index = o.old_index;
        m.old_package = o.old_package;
        m.package_tree = o.package_tree;
        const size_t first = release ? 0 : 1;
        if (!delta_make_with(release ? nullptr : w[0], w[first], w[first + 1], &m, &ctx))
            return failed(ctx);
        return 0;
    }
    if (command == "index" && w.size() == 3 && o.version > 0)
        return index_write(w[0], w[1], uint32_t(o.version), w[2], &ctx) ? 0 : failed(ctx);
    if (command == "index-info" && w.size() == 1) {
        release_index index;
        if (!index_read(w[0], &index, &ctx))
            return failed(ctx);
        unsigned long long files = 0, bytes = 0;
        for (const release_item &r : index.items)
            if (r.type == 2)
                files++, bytes += r.size;
        printf("version %u: %zu items, %llu files of %llu bytes, in a package of %llu bytes\n", index.version,
               index.items.size(), files, bytes, (unsigned long long)index.package_size);
        return 0;
    }
    if (command == "stage" && w.size() == 4)
        return index_stage(w[0], w[1], w[2], w[3], nullptr, &ctx) ? 0 : failed(ctx);
    if (command == "apply-with" && w.size() == 5) {
        delta_apply_options a;
        a.index_path = w[2];
        a.package_path = w[3];
        return delta_apply_with(w[0], w[1], w[4], &a, &ctx) ? 0 : failed(ctx);
    }
    if (command == "plan" && (w.size() == 2 || w.size() == 3)) {
        // Each fetched file, each span of the package, then the totals.
        update_plan plan;
        if (!update_plan_make(w[0], w[1], w.size() == 3 ? w[2] : nullptr, &plan, &ctx))
            return failed(ctx);
        for (const std::string &path : plan.fetched)
            printf("fetch %s\n", path.c_str());
        for (const update_plan::span &span : plan.spans)
            printf("span %llu %llu\n", (unsigned long long)span.offset, (unsigned long long)span.length);
        printf("%zu fetched in %zu spans of %llu bytes, %llu kept, %llu patched, %llu bytes written\n", plan.fetched.size(),
               plan.spans.size(), (unsigned long long)plan.fetch_bytes, (unsigned long long)plan.kept,
               (unsigned long long)plan.patched, (unsigned long long)plan.write_bytes);
        return 0;
    }
    if (command == "check" && w.size() == 2) {
        uint64_t differing = 0;
        if (!index_quick_check(w[0], w[1], &differing, &ctx))
            return failed(ctx);
        printf("%llu items differ\n", (unsigned long long)differing);
        return 0;
    }
    if (command == "apply" && w.size() == 3)
        return delta_apply(w[0], w[1], w[2], &ctx) ? 0 : failed(ctx);
    if (command == "info" && w.size() == 1) {
        delta_info info;
        if (!delta_read_info(w[0], &info, &ctx))
            return failed(ctx);
        printf("from version %u to version %u\n", info.from_version, info.to_version);
        printf("%llu folders, %llu files, %llu links\n", (unsigned long long)info.directories,
               (unsigned long long)info.files, (unsigned long long)info.links);
        printf("files: %llu unchanged or moved, %llu patched, %llu sent whole\n", (unsigned long long)info.copied,
               (unsigned long long)info.patched, (unsigned long long)info.whole);
        printf("rebuilds %llu bytes from %llu bytes of compressed data\n", (unsigned long long)info.tree_bytes,
               (unsigned long long)info.payload_bytes);
        return 0;
    }
    if (command == "list" && w.size() == 1) {
        // Each file: how it is rebuilt, the delta's bytes for it, its size, its path.
        static const char *const sources[] = {"none", "copy", "patch", "whole", "segments", "suffix"};
        mapped m;
        delta::header h;
        std::vector<delta::item> items;
        context_start(&ctx);
        if (!delta::read_delta(w[0], m, h, items, &ctx))
            return failed(ctx);
        for (const delta::item &it : items) {
            if (it.type != delta::ITEM_FILE)
                continue;
            unsigned long long bytes = it.payload_size;
            for (const delta::segment &g : it.segments)
                bytes += g.payload_size;
            printf("%s %llu %llu %s\n", sources[it.source <= 5 ? it.source : 0], bytes, (unsigned long long)it.size,
                   it.path.c_str());
        }
        return 0;
    }
    return usage();
}
