// An update that fetches only what the player lacks: the plan (kept,
// patched, fetched, and the package's bytes for the fetched), a release
// staged from a sparse copy holding only the plan's spans, a delta applied
// with entries standing in for edited or missing bases, and the quick look
// for damage. Real trees, ziputil's and Python's packages, sparse copies made
// by dd; trees compared whole.
#include "delta.h"
#include "delta_helpers.h"
#include "helpers.h"
#include "items.h"

#include <sodium.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>

using namespace testutil;
using namespace delta;

namespace {

struct Road : testing::Test {
    ScratchDir dir;
    std::string v1 = dir / "v1/Vantorique.app", v2 = dir / "v2/Vantorique.app", game = dir / "game/Vantorique.app";
    std::string package = dir / "v2.zip", index = dir / "v2.index", delta = dir / "from-1.delta";
    std::string staged = dir / "staged";
    call_context ctx;
    std::string said() { return std::string(failure_name(context_failure(&ctx))) + ": " + context_line(&ctx); }

    void SetUp() override
    {
        ASSERT_GE(sodium_init(), 0);
        std::string pak = noise(300000, 1);
        put(v1, "Contents/Resources/pack.dat", pak);
        put(v1, "Contents/Resources/same.dat", noise(120000, 2));
        put(v1, "Contents/Resources/gone.dat", noise(5000, 3));
        put(v1, "Contents/Resources/moded.dat", noise(30000, 4));
        put(v1, "Contents/MacOS/game", noise(50000, 5), 0755);
        put(v1, "Contents/Frameworks/libengine.dylib", noise(80000, 6), 0755);
        ASSERT_EQ(symlink("libengine.dylib", (v1 + "/Contents/Frameworks/Current").c_str()), 0);
        ASSERT_EQ(run("cd " + quote(v1) + " && seq 1 20000 > Contents/Resources/text.txt && seq 1 8000 > Contents/Resources/story.txt"), 0);
        ASSERT_EQ(run("cp -a " + quote(dir / "v1") + " " + quote(dir / "v2") + " && cp -a " + quote(dir / "v1") + " " +
                      quote(dir / "game")),
                  0);
        pak.insert(150000, noise(5000, 7));
        put(v2, "Contents/Resources/pack.dat", pak);
        put(v2, "Contents/Resources/new.dat", noise(40000, 8));
        put(v2, "Contents/Levels/one.map", noise(20000, 9));
        ASSERT_EQ(run("cd " + quote(v2) + " && seq 1 8001 > Contents/Resources/story.txt && rm Contents/Resources/gone.dat"
                                          " && chmod 600 Contents/Resources/moded.dat"),
                  0);
        ASSERT_EQ(pack(v2, package), 1) << "ziputil could not pack version 2";
        ASSERT_EQ(index_write(v2.c_str(), package.c_str(), 2, index.c_str(), &ctx), 1) << said();
        delta_make_options o;
        o.level = 3, o.from_version = 1, o.to_version = 2, o.package_tree = true;
        ASSERT_EQ(delta_make_with(v1.c_str(), v2.c_str(), delta.c_str(), &o, &ctx), 1) << said();
    }
    update_plan plan_for(const std::string &installed, bool with_delta)
    {
        update_plan p;
        EXPECT_EQ(update_plan_make(installed.c_str(), index.c_str(), with_delta ? delta.c_str() : nullptr, &p, &ctx), 1)
            << said();
        return p;
    }
    // A copy of the package holding only `spans`, holes elsewhere (or, with
    // `fill`, noise there instead: bytes a reader must never use).
    std::string sparse(const update_plan &p, const std::string &name, bool fill = false)
    {
        const std::string out = dir / name;
        const long long size = (long long)read_file(package).size();
        EXPECT_EQ(run("rm -f " + quote(out)), 0);
        EXPECT_EQ(run(fill ? "head -c " + std::to_string(size) + " /dev/urandom > " + quote(out)
                           : "truncate -s " + std::to_string(size) + " " + quote(out)),
                  0);
        for (const update_plan::span &s : p.spans)
            EXPECT_EQ(run("dd status=none conv=notrunc iflag=skip_bytes,count_bytes oflag=seek_bytes if=" + quote(package) +
                          " of=" + quote(out) + " skip=" + std::to_string(s.offset) + " seek=" + std::to_string(s.offset) +
                          " count=" + std::to_string(s.length)),
                      0);
        return out;
    }
    // delta_apply_with the release's index and `package_copy` (the package
    // or a sparse copy of it).
    int apply_with(const std::string &package_copy)
    {
        delta_apply_options o;
        o.index_path = index.c_str();
        o.package_path = package_copy.c_str();
        return delta_apply_with(game.c_str(), delta.c_str(), staged.c_str(), &o, &ctx);
    }
    std::string edited(const std::string &path, const std::string &how)
    {
        EXPECT_EQ(run("cd " + quote(game) + " && " + how), 0) << path << ": could not be edited";
        return path;
    }
};

// The staged folder's own mode is the installer's to give: what is inside.
std::string tree_of(const std::string &root) { return snapshot(root + "/Contents"); }

std::string joined(const std::vector<std::string> &v)
{
    std::string out;
    for (const std::string &s : v)
        out += s + "\n";
    return out;
}

}  // namespace

TEST_F(Road, ThePlanKeepsWhatTheGameHoldsPatchesWhatTheDeltaRebuildsAndFetchesTheRest)
{
    release_index ix;
    ASSERT_EQ(index_read(index.c_str(), &ix, &ctx), 1) << said();
    update_plan alone = plan_for(game, false);
    EXPECT_EQ(joined(alone.fetched), "Contents/Levels/one.map\nContents/Resources/new.dat\nContents/Resources/pack.dat\n"
                                     "Contents/Resources/story.txt\n")
        << "without a delta: the changed and the new files are fetched, nothing else";
    EXPECT_EQ(alone.kept, 5u) << "same.dat, text.txt, moded.dat (only its mode changed), game, libengine.dylib are kept";
    EXPECT_EQ(alone.patched, 0u);
    uint64_t fetched_bytes = 0, compressed = 0, others = 0;
    for (const release_item &r : ix.items) {
        const bool fetched = std::count(alone.fetched.begin(), alone.fetched.end(), r.path) != 0;
        fetched_bytes += fetched ? r.size : 0;
        compressed += fetched ? r.entry_compressed : 0;
        others += r.type != ITEM_FILE ? 4096 : 0;
        if (fetched) {
            bool found = false;
            for (const update_plan::span &s : alone.spans)
                found = found || s.offset == r.entry_offset;
            EXPECT_TRUE(found) << r.path << ": fetched, its entry must start a span";
        }
    }
    EXPECT_EQ(alone.write_bytes, fetched_bytes + others) << "what the install writes: the fetched files, folders and links";
    ASSERT_EQ(alone.spans.size(), 4u) << "one span an entry";
    uint64_t sum = 0;
    for (size_t i = 0; i < alone.spans.size(); i++) {
        sum += alone.spans[i].length;
        if (i > 0) {
            EXPECT_GE(alone.spans[i].offset, alone.spans[i - 1].offset + alone.spans[i - 1].length)
                << "span " << i << ": spans must be sorted and apart";
        }
    }
    EXPECT_EQ(alone.fetch_bytes, sum);
    EXPECT_GT(alone.fetch_bytes, compressed) << "each span holds its entry's header too";
    EXPECT_LT(alone.fetch_bytes, compressed + 4 * 4096) << "a span is its entry, not much more";

    update_plan changes = plan_for(game, true);
    EXPECT_EQ(joined(changes.fetched), "") << "with the delta and an untouched game nothing is fetched";
    EXPECT_TRUE(changes.spans.empty() && changes.fetch_bytes == 0);
    EXPECT_EQ(changes.patched, 4u) << "pack.dat, story.txt (patched), new.dat, one.map (sent whole) come from the delta";
    EXPECT_EQ(changes.kept, 5u);
    EXPECT_EQ(changes.write_bytes, alone.write_bytes) << "the same files are written, by the delta instead";

    update_plan fresh = plan_for(dir / "nothing-here", false);
    EXPECT_EQ(fresh.fetched.size(), 9u) << "without an installed game every file is fetched";
    EXPECT_EQ(fresh.kept + fresh.patched, 0u);
    EXPECT_LE(fresh.fetch_bytes, ix.package_size) << "never more than the package";
}

TEST_F(Road, ThePlanFetchesOnlyTheFilesWhoseBasesThePlayerEditedOrRemoved)
{
    edited("same.dat", "echo mine >> Contents/Resources/same.dat");
    edited("story.txt", "sed -i s/^77$/78/ Contents/Resources/story.txt");
    edited("pack.dat", "rm Contents/Resources/pack.dat");
    update_plan p = plan_for(game, true);
    EXPECT_EQ(joined(p.fetched), "Contents/Resources/pack.dat\nContents/Resources/same.dat\nContents/Resources/story.txt\n")
        << "an edited unchanged file, an edited base and a removed base: their entries, nothing else";
    EXPECT_EQ(p.patched, 2u) << "new.dat and one.map still come from the delta";
    EXPECT_EQ(p.kept, 4u);

    // A file the player already has as the release has it stays, whatever its base.
    ASSERT_EQ(run("cp " + quote(v2 + "/Contents/Resources/story.txt") + " " + quote(game + "/Contents/Resources/story.txt")), 0);
    p = plan_for(game, true);
    EXPECT_EQ(joined(p.fetched), "Contents/Resources/pack.dat\nContents/Resources/same.dat\n")
        << "story.txt: its base differs, but the installed file is already version 2's";
}

TEST_F(Road, ThePlanRefusesADeltaThatDoesNotBuildTheIndexsRelease)
{
    std::string other = dir / "v3";
    ASSERT_EQ(run("cp -a " + quote(dir / "v2") + " " + quote(other) + " && echo 3 >> " + quote(other + "/Vantorique.app/Contents/Resources/story.txt")), 0);
    delta_make_options o;
    o.level = 3, o.from_version = 1, o.to_version = 2;
    ASSERT_EQ(delta_make_with(v1.c_str(), (other + "/Vantorique.app").c_str(), delta.c_str(), &o, &ctx), 1) << said();
    update_plan p;
    EXPECT_EQ(update_plan_make(game.c_str(), index.c_str(), delta.c_str(), &p, &ctx), 0)
        << "a delta to another tree must not be planned with this index";
    EXPECT_EQ(context_failure(&ctx), FAILURE_REFUSED) << said();
    EXPECT_NE(context_line(&ctx).find("Contents/Resources/story.txt"), std::string::npos) << said();
}

TEST_F(Road, AReleaseStagedFromOnlyThePlannedSpansIsTheFullInstallsTree)
{
    for (bool installed : {true, false}) {
        for (bool fill : {false, true}) {
            SCOPED_TRACE(std::string(installed ? "over version 1" : "no game installed") +
                         (fill ? ", noise outside the spans" : ", holes outside the spans"));
            const std::string from = installed ? game : dir / "nothing-here";
            update_plan p = plan_for(from, false);
            const std::string copy = sparse(p, "sparse.zip", fill);
            uint64_t linked = 0;
            ASSERT_EQ(index_stage(from.c_str(), index.c_str(), copy.c_str(), staged.c_str(), &linked, &ctx), 1) << said();
            EXPECT_EQ(tree_of(staged), tree_of(v2)) << "the tree staged from the sparse copy must be version 2";
            EXPECT_EQ(linked, installed ? 4u : 0u) << "the kept files (not moded.dat, whose mode changed) are links";
            ASSERT_EQ(run("rm -rf " + quote(staged) + " " + quote(copy)), 0);
        }
    }
}

TEST_F(Road, AnEntryWhoseBytesAreAbsentIsRefusedAsDamagedWithItsPath)
{
    update_plan p = plan_for(game, false);
    release_index ix;
    ASSERT_EQ(index_read(index.c_str(), &ix, &ctx), 1) << said();
    // Which entry loses what: its whole span, or all but its local header
    // (pack.dat is stored, story.txt deflated).
    struct lack {
        const char *path;
        uint64_t keep;  // bytes of the span kept
    } cases[] = {{"Contents/Resources/pack.dat", 0}, {"Contents/Resources/pack.dat", 100}, {"Contents/Resources/story.txt", 100}};
    for (const lack &c : cases) {
        SCOPED_TRACE(std::string(c.path) + (c.keep ? ": its data absent" : ": its entry absent"));
        update_plan cut = p;
        for (const release_item &r : ix.items)
            for (update_plan::span &s : cut.spans)
                if (r.path == c.path && s.offset == r.entry_offset)
                    s.length = c.keep;
        const std::string copy = sparse(cut, "cut.zip");
        EXPECT_EQ(index_stage(game.c_str(), index.c_str(), copy.c_str(), staged.c_str(), nullptr, &ctx), 0)
            << "staging must fail when an entry's bytes are absent";
        EXPECT_EQ(context_failure(&ctx), FAILURE_DAMAGED) << said();
        EXPECT_NE(context_line(&ctx).find(c.path), std::string::npos) << "the line must name the file: " << said();
        EXPECT_FALSE(exists(staged)) << "a failed stage must leave no staged folder";
    }
}

// Python's zipfile writing to a pipe puts each entry's CRC and sizes after
// its data: the sparse copy holds them too.
TEST_F(Road, EntriesWithTheirCrcAfterTheDataAreStagedFromTheSpans)
{
    const std::string pipe_zip = dir / "piped.zip";
    ASSERT_EQ(run("cd " + quote(dir / "v2") + " && python3 -c '\n"
                  "import os, sys, zipfile\n"
                  "z = zipfile.ZipFile(sys.stdout.buffer, \"w\", zipfile.ZIP_DEFLATED)\n"
                  "for d, _, names in sorted(os.walk(\"Vantorique.app\")):\n"
                  "    for n in sorted(names):\n"
                  "        p = os.path.join(d, n)\n"
                  "        if not os.path.islink(p):\n"
                  "            i = zipfile.ZipInfo(p); i.external_attr = os.stat(p).st_mode << 16; i.compress_type = zipfile.ZIP_DEFLATED\n"
                  "            z.writestr(i, open(p, \"rb\").read())\n"
                  "z.close()' | cat > " + quote(pipe_zip) + " && rm Vantorique.app/Contents/Frameworks/Current"),
              0);
    ASSERT_EQ(run("python3 -c 'import struct,sys; d=open(sys.argv[1],\"rb\").read(8); "
                  "sys.exit(0 if struct.unpack(\"<H\", d[6:8])[0] & 8 else 1)' " + quote(pipe_zip)),
              0)
        << "the piped package must have its CRC after the data (flag 8)";
    package = pipe_zip;
    ASSERT_EQ(index_write(v2.c_str(), package.c_str(), 2, index.c_str(), &ctx), 1) << said();
    update_plan p = plan_for(game, false);
    ASSERT_EQ(index_stage(game.c_str(), index.c_str(), sparse(p, "piped-sparse.zip").c_str(), staged.c_str(), nullptr, &ctx), 1)
        << said();
    EXPECT_EQ(tree_of(staged), tree_of(v2)) << "the tree staged from the piped package's spans must be version 2";
}

TEST_F(Road, ADeltaWithEntriesForEditedBasesGivesTheRelease)
{
    edited("same.dat", "echo mine >> Contents/Resources/same.dat");
    edited("story.txt", "sed -i s/^77$/78/ Contents/Resources/story.txt");
    EXPECT_EQ(delta_apply(game.c_str(), delta.c_str(), staged.c_str(), &ctx), 0);
    EXPECT_EQ(context_failure(&ctx), FAILURE_BASE_DIFFERS) << "without an index and package, as before: " << said();
    delta_apply_options none;
    EXPECT_EQ(delta_apply_with(game.c_str(), delta.c_str(), staged.c_str(), &none, &ctx), 0);
    EXPECT_EQ(context_failure(&ctx), FAILURE_BASE_DIFFERS) << "with empty options, as delta_apply: " << said();
    EXPECT_FALSE(exists(staged));

    edited("pack.dat", "rm Contents/Resources/pack.dat");
    update_plan p = plan_for(game, true);
    ASSERT_EQ(apply_with(sparse(p, "sparse.zip")), 1) << said();
    EXPECT_EQ(tree_of(staged), tree_of(v2)) << "the delta with the plan's entries must give version 2";
    ASSERT_EQ(run("rm -rf " + quote(staged)), 0);

    // The entries absent: a clear failure naming a file, nothing staged.
    update_plan nothing;
    const std::string empty = sparse(nothing, "empty.zip");
    EXPECT_EQ(apply_with(empty), 0);
    EXPECT_EQ(context_failure(&ctx), FAILURE_DAMAGED) << said();
    EXPECT_NE(context_line(&ctx).find("Contents/Resources/"), std::string::npos) << said();
    EXPECT_FALSE(exists(staged)) << "a failed apply must leave no staged folder";
}

// pack.dat edited in place, same size, and never hashed before: its patch
// is judged by zstd's checksum of the result, and the file written so far
// makes way for the release's entry.
TEST_F(Road, ABaseFoundToDifferOnlyByItsResultIsTakenFromTheRelease)
{
    edited("pack.dat", "printf EDITED | dd status=none conv=notrunc bs=1 seek=1000 of=Contents/Resources/pack.dat");
    EXPECT_EQ(delta_apply(game.c_str(), delta.c_str(), staged.c_str(), &ctx), 0);
    EXPECT_EQ(context_failure(&ctx), FAILURE_BASE_DIFFERS) << said();
    EXPECT_EQ(context_line(&ctx), "Contents/Resources/pack.dat: not the file this update was made from (its content differs)")
        << said();
    EXPECT_FALSE(exists(staged)) << "a refused base must leave no staged folder";

    edited("pack.dat", "printf EDITEE | dd status=none conv=notrunc bs=1 seek=1000 of=Contents/Resources/pack.dat");
    ASSERT_EQ(apply_with(package), 1) << said();
    EXPECT_EQ(tree_of(staged), tree_of(v2)) << "pack.dat taken from its entry, the rest from the delta";
}

TEST_F(Road, ADeltaTakesAFileThePlayerAlreadyHasAsTheReleaseHasIt)
{
    edited("story.txt", "cp " + quote(v2 + "/Contents/Resources/story.txt") + " Contents/Resources/story.txt");
    update_plan p = plan_for(game, true);
    ASSERT_TRUE(p.fetched.empty()) << "story.txt is already version 2's: " << joined(p.fetched);
    const std::string empty = sparse(p, "empty.zip");
    ASSERT_EQ(apply_with(empty), 1) << said();
    EXPECT_EQ(tree_of(staged), tree_of(v2)) << "story.txt taken from the game itself, the rest from the delta";
}

TEST_F(Road, TheQuickCheckCountsMissingAndResizedItemsWithoutReadingThem)
{
    uint64_t differing = 99;
    ASSERT_EQ(index_quick_check(v2.c_str(), index.c_str(), &differing, &ctx), 1) << said();
    EXPECT_EQ(differing, 0u) << "version 2 as installed";
    ASSERT_EQ(run("cd " + quote(v2) + " && rm Contents/Resources/new.dat && echo x >> Contents/Resources/same.dat"
                                      " && rm Contents/Frameworks/Current && echo x > Contents/Frameworks/Current"
                                      " && rm Contents/Levels/one.map && mkdir Contents/Levels/one.map"
                                      " && sed -i s/^77$/78/ Contents/Resources/text.txt"),
              0);
    ASSERT_EQ(index_quick_check(v2.c_str(), index.c_str(), &differing, &ctx), 1) << said();
    EXPECT_EQ(differing, 4u) << "a removed file, a longer file, a link now a file, a file now a folder "
                                "(an edit that keeps the size is for --verify's hashing)";
    ASSERT_EQ(index_quick_check((dir / "nothing-here").c_str(), index.c_str(), &differing, &ctx), 1) << said();
    release_index ix;
    ASSERT_EQ(index_read(index.c_str(), &ix, &ctx), 1);
    EXPECT_EQ(differing, ix.items.size()) << "without a game every item is missing";
}

// A file whose content is unchanged but which gains metadata: the package
// road keeps its content and fetches only its metadata entry, the delta
// carries the metadata itself.
TEST_F(Road, AFileWithMetadataTakesItsMetadataEntrysSpanToo)
{
    if (!xattrs_supported(dir.path))
        GTEST_SKIP() << "no user extended attributes on this file system";
    const std::string text = "Contents/Resources/text.txt";
    ASSERT_EQ(setxattr((v2 + "/" + text).c_str(), "user.com.vantorique.tag", "v2", 2, 0), 0);
    ASSERT_EQ(run("rm " + quote(package)), 0);
    ASSERT_EQ(pack(v2, package), 1) << "ziputil could not pack version 2";
    ASSERT_EQ(index_write(v2.c_str(), package.c_str(), 2, index.c_str(), &ctx), 1) << said();
    delta_make_options o;
    o.level = 3, o.from_version = 1, o.to_version = 2, o.package_tree = true;
    ASSERT_EQ(delta_make_with(v1.c_str(), v2.c_str(), delta.c_str(), &o, &ctx), 1) << said();

    update_plan alone = plan_for(game, false);
    EXPECT_EQ(std::count(alone.fetched.begin(), alone.fetched.end(), text), 0) << text << ": its content is kept";
    EXPECT_EQ(alone.kept, 5u);
    EXPECT_EQ(alone.spans.size(), alone.fetched.size() + 1) << "each fetched entry, and " << text << "'s metadata entry";
    release_index ix;
    ASSERT_EQ(index_read(index.c_str(), &ix, &ctx), 1) << said();
    uint64_t written = 0;
    for (const release_item &r : ix.items)
        if (r.path == text || std::count(alone.fetched.begin(), alone.fetched.end(), r.path))
            written += r.size;
    EXPECT_GE(alone.write_bytes, written) << text << ": kept as a clone or a copy, it counts as written";
    ASSERT_EQ(index_stage(game.c_str(), index.c_str(), sparse(alone, "sparse.zip").c_str(), staged.c_str(), nullptr, &ctx), 1)
        << said();
    EXPECT_EQ(get_xattr(staged + "/" + text, "user.com.vantorique.tag"), "v2") << text << ": must carry its attribute";
    EXPECT_EQ(tree_of(staged), tree_of(v2));
    struct stat kept {}, installed {};
    ASSERT_EQ(lstat((staged + "/" + text).c_str(), &kept), 0);
    ASSERT_EQ(lstat((game + "/" + text).c_str(), &installed), 0);
    EXPECT_NE(kept.st_ino, installed.st_ino) << text << ": given metadata, it must be a file of its own, not the installed one";
    EXPECT_EQ(get_xattr(game + "/" + text, "user.com.vantorique.tag"), "<missing>") << text << ": the installed file must be untouched";

    update_plan changes = plan_for(game, true);
    EXPECT_TRUE(changes.fetched.empty()) << "the delta carries the metadata: " << joined(changes.fetched);
    EXPECT_EQ(changes.kept, 5u) << text << ": unchanged content, kept (cloned or copied, its metadata applied)";
}

// A repair: the installed version's own index over the game, three files
// deleted and one damaged in place; only those four entries are fetched.
TEST_F(Road, ARepairFetchesOnlyTheDeletedAndDamagedFiles)
{
    ASSERT_EQ(run("rm -rf " + quote(dir / "game") + " && cp -a " + quote(dir / "v2") + " " + quote(dir / "game") + " && cd " +
                  quote(game) +
                  " && rm Contents/Resources/new.dat Contents/MacOS/game Contents/Levels/one.map"
                  " && printf X | dd status=none conv=notrunc bs=1 seek=1000 of=Contents/Resources/same.dat"),
              0);
    uint64_t differing = 0;
    ASSERT_EQ(index_quick_check(game.c_str(), index.c_str(), &differing, &ctx), 1) << said();
    EXPECT_EQ(differing, 3u) << "the quick check sees the deleted files, not a damage that keeps the size";
    update_plan p = plan_for(game, false);
    EXPECT_EQ(joined(p.fetched), "Contents/Levels/one.map\nContents/MacOS/game\nContents/Resources/new.dat\n"
                                 "Contents/Resources/same.dat\n")
        << "the three deleted files and the damaged one, nothing else";
    EXPECT_EQ(p.spans.size(), 4u);
    ASSERT_EQ(index_stage(game.c_str(), index.c_str(), sparse(p, "repair.zip").c_str(), staged.c_str(), nullptr, &ctx), 1)
        << said();
    EXPECT_EQ(tree_of(staged), tree_of(v2)) << "the repaired game must be version 2 whole";
}
