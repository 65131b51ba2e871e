// Owners for the handles the archive routines open, so that every return
// path releases them.
#ifndef ZIPUTIL_HANDLES_H
#define ZIPUTIL_HANDLES_H

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// A temporary file's name from mkstemp: the file goes with the name.
struct TempRemover {
    void operator()(char *path) const
    {
        unlink(path);
        free(path);
    }
};
using TempPath = std::unique_ptr<char, TempRemover>;

#endif
