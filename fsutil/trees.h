// Folder trees, always worked on below an open folder and never through a
// link: the names a folder holds, and a tree's removal.
#ifndef FSUTIL_TREES_H
#define FSUTIL_TREES_H

#include <string>
#include <vector>

// The names in the open folder `dir_fd`, sorted, without "." and "..".
std::vector<std::string> names_in(int dir_fd);

// Deletes `name` below the open folder `dir_fd` (AT_FDCWD: the working
// directory) and everything under it; a link is removed, never followed, and
// a read-only folder still goes. True when nothing of it is left.
bool remove_tree_at(int dir_fd, const char *name);
bool remove_tree(const std::string &path);
// Everything below the folder at `path`; the folder itself stays.
bool empty_tree(const std::string &path);

#endif
