// How far a write must reach the disk before a caller goes on: each writer
// says which level it needs, and the routines here are the only ones that
// sync, so that a test can watch every sync happen.
#ifndef FSUTIL_DURABLE_H
#define FSUTIL_DURABLE_H

#include <string>

enum durability : int {
    DURABLE_NONE = 0,         // a kill may leave the old content or the new; a power cut may lose either
    DURABLE_FILE = 1,         // the new content is on disk before its name points at it
    DURABLE_FILE_AND_FOLDER,  // and the folder that names it too: the rename itself survives a power cut
};

// What a sync covered, for the observer.
enum sync_scope : int { SYNC_FILE = 0, SYNC_FOLDER = 1, SYNC_FILE_SYSTEM = 2 };

// The open file's data and size on disk (fsync). False with errno on failure.
bool sync_file(int fd);
// The folder at `path` on disk, its names included.
bool sync_folder(const std::string &path);
// Everything written on the file system that holds the open `fd` (syncfs;
// sync() where there is none).
bool sync_file_system(int fd);

// Called after every successful sync above with its scope and the path
// (empty where only a descriptor was given). Null outside tests.
extern void (*fsutil_sync_observer)(int scope, const std::string &path);

#endif
