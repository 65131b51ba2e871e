// Paths and links of a tree the delta or an index describes: what may be
// written below a staged folder and what a link may point at.
#include "items.h"

#include <map>

namespace delta {

std::string parent_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool path_is_safe(const std::string &path)
{
    if (path.empty() || path.size() > kMaxPath || path.find('\0') != std::string::npos)
        return false;
    size_t start = 0;
    for (;;) {
        size_t slash = path.find('/', start);
        std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (slash == std::string::npos)
            return true;
        start = slash + 1;
    }
}

// Follows each link the way the kernel would, through the other links of
// the tree (which, in a fresh staged folder, is all there is), and refuses
// one that climbs above the tree's root or does not settle.
bool links_stay_inside(const std::vector<item> &items, std::string &bad)
{
    std::map<std::string, std::string> links;
    for (const item &it : items)
        if (it.type == ITEM_LINK)
            links[it.path] = it.target;
    for (const auto &link : links) {
        bad = link.first + " -> " + link.second;
        if (link.second.empty() || link.second[0] == '/' || link.second.size() > kMaxPath ||
            link.second.find('\0') != std::string::npos)
            return false;
        std::vector<std::string> at;  // components below the root
        std::string parent = parent_of(link.first);
        for (size_t s = 0; !parent.empty() && s <= parent.size();) {
            size_t e = parent.find('/', s);
            if (e == std::string::npos)
                e = parent.size();
            at.push_back(parent.substr(s, e - s));
            s = e + 1;
        }
        std::vector<std::string> todo;  // reversed: the next component last
        auto push = [&](const std::string &text) {
            std::vector<std::string> parts;
            for (size_t s = 0; s <= text.size();) {
                size_t e = text.find('/', s);
                if (e == std::string::npos)
                    e = text.size();
                parts.push_back(text.substr(s, e - s));
                s = e + 1;
            }
            todo.insert(todo.end(), parts.rbegin(), parts.rend());
        };
        push(link.second);
        int hops = 0;
        while (!todo.empty()) {
            std::string part = todo.back();
            todo.pop_back();
            if (part.empty() || part == ".")
                continue;
            if (part == "..") {
                if (at.empty())
                    return false;
                at.pop_back();
                continue;
            }
            at.push_back(part);
            std::string joined;
            for (const std::string &c : at)
                joined += (joined.empty() ? "" : "/") + c;
            auto next = links.find(joined);
            if (next == links.end())
                continue;
            if (++hops > 40 || next->second.empty() || next->second[0] == '/')
                return false;
            at.pop_back();
            push(next->second);
        }
    }
    bad.clear();
    return true;
}

}  // namespace delta
