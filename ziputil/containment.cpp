// Where an archive's paths lead, and whether that is inside the destination:
// links are followed the way the kernel would follow them, so neither "..",
// an existing link nor a link the archive itself makes can carry a write out.
#include "unpack.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>

namespace ziputil {

namespace {
const int kMaxLinkHops = 40;
}

bool resolve_path(const std::string &base, const std::string &path, bool follow_last, std::string &out)
{
    std::vector<std::string> current;
    for (const std::string &part : split_components(base))
        if (!part.empty())
            current.push_back(part);
    std::deque<std::string> todo;
    auto push_front_components = [&](const std::string &text) {
        std::vector<std::string> parts = split_components(text);
        todo.insert(todo.begin(), parts.begin(), parts.end());
    };
    push_front_components(path);

    auto more_to_come = [&]() {
        for (const std::string &part : todo)
            if (!part.empty() && part != ".")
                return true;
        return false;
    };
    std::string joined;
    auto join = [&]() {
        joined.clear();
        for (const std::string &part : current)
            joined += "/" + part;
        if (joined.empty())
            joined = "/";
        return joined.c_str();
    };

    int hops = 0;
    while (!todo.empty()) {
        std::string part = todo.front();
        todo.pop_front();
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!current.empty())
                current.pop_back();
            continue;
        }
        current.push_back(part);
        if (!follow_last && !more_to_come())
            break;
        struct stat st;
        if (lstat(join(), &st) != 0 || !S_ISLNK(st.st_mode))
            continue;
        if (++hops > kMaxLinkHops)
            return false;
        char target[PATH_MAX];
        ssize_t n = readlink(joined.c_str(), target, sizeof target - 1);
        if (n <= 0)
            return false;
        target[n] = '\0';
        current.pop_back();
        if (target[0] == '/')
            current.clear();
        push_front_components(target);
    }
    join();
    out = joined;
    return true;
}

bool is_within(const std::string &root, const std::string &path)
{
    if (root == "/")
        return true;
    return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                            path[root.size()] == '/');
}

bool span_within(uint64_t offset, uint64_t length, uint64_t limit)
{
    return offset <= limit && length <= limit - offset;
}

bool leads_inside(const Unpack &u, const std::string &path, bool follow_last, std::string *resolved)
{
    std::string where;
    bool below = !u.destination.empty() && u.destination.back() == '/' &&
                 path.compare(0, u.destination.size(), u.destination) == 0;
    bool ok = below ? resolve_path(u.root, path.substr(u.destination.size()), follow_last, where)
                    : resolve_path(!path.empty() && path[0] == '/' ? "/" : u.cwd, path, follow_last, where);
    if (resolved)
        *resolved = where;
    return ok && is_within(u.root, where);
}

bool link_stays_inside(const Unpack &u, const PendingLink &link)
{
    std::string from_parent = parent_of(link.path) + link.target;
    return leads_inside(u, link.path, false) && !link.target.empty() && link.target[0] != '/' &&
           fits(from_parent) && leads_inside(u, from_parent, true);
}

}  // namespace ziputil
