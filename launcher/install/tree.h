// Folder trees of the install, always below an open folder, never through a
// link (listing and removal are the toolbox's: trees.h).
#ifndef VANTORIQUE_TREE_H
#define VANTORIQUE_TREE_H

#include <sys/types.h>

#include <string>
#include <vector>

// One name of the old tree against the staged new one: what unpacking over
// the old tree would have left there (old files the package lacks come along
// as hard links, or copies where the file system has none).
bool mergeEntry(int oldDir, int newDir, const char *name);
bool mergeDirectory(int oldDir, int newDir);

// Gives the open folder `dirFd` and every folder below it `mode` (never
// through a link): the mode an unpack gives the folders it makes.
bool giveFoldersDefaultModes(int dirFd, mode_t mode);

#endif
