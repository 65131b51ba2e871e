// Folder trees of the install, always below an open folder, never through a
// link (listing and removal are the toolbox's: trees.h).
#ifndef VANTORIQUE_TREE_H
#define VANTORIQUE_TREE_H

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

// What the merge leaves behind: the installed version's own items (paths
// below the game's parent, "Vantorique.app/Contents/x"), from its index.
// Those the new version lacks are not carried over; what the player made
// (not in the index) always is. Null or empty: everything is carried over.
struct MergeFilter {
    std::set<std::string> publishers;
    std::vector<std::string> removed;  // what was left behind, for the log
};

// One name of the old tree against the staged new one: what unpacking over
// the old tree would have left there (old files the package lacks come along
// as hard links, or copies where the file system has none).
// `path` names `name` below the game's parent, for the filter.
bool mergeEntry(int oldDir, int newDir, const char *name, MergeFilter *filter = nullptr, const std::string &path = "");
bool mergeDirectory(int oldDir, int newDir, MergeFilter *filter = nullptr, const std::string &path = "");

// Gives the open folder `dirFd` and every folder below it `mode` (never
// through a link): the mode an unpack gives the folders it makes.
bool giveFoldersDefaultModes(int dirFd, mode_t mode);

#endif
