// Small helpers the delta tests share: trees of incompressible files and
// items written by hand.
#pragma once

#include "helpers.h"
#include "items.h"

#include <random>
#include <string>

namespace testutil {

// Incompressible bytes; the same `stream` gives the same bytes.
inline std::string noise(size_t size, unsigned stream)
{
    std::mt19937 gen(stream);
    std::string out(size, '\0');
    for (char &c : out)
        c = char(gen());
    return out;
}

inline void make_dirs_for(const std::string &path) { run("mkdir -p " + quote(path.substr(0, path.rfind('/')))); }

inline void put(const std::string &root, const std::string &path, const std::string &data, mode_t mode = 0644)
{
    make_dirs_for(root + "/" + path);
    write_file(root + "/" + path, data, mode);
}

inline delta::item folder_item(const std::string &path)
{
    delta::item it;
    it.path = path;
    it.type = delta::ITEM_DIRECTORY;
    it.mode = 0755;
    return it;
}

// A link item; its hash is left for the caller (zero, as a hostile delta's).
inline delta::item link_item(const std::string &path, const std::string &target)
{
    delta::item it;
    it.path = path;
    it.type = delta::ITEM_LINK;
    it.mode = 0777;
    it.target = target;
    it.size = target.size();
    return it;
}

}  // namespace testutil
