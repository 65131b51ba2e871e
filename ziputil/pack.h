// What the parts of the packer share: the archive being written, through
// minizip's output layer.
#ifndef ZIPUTIL_PACK_H
#define ZIPUTIL_PACK_H

#include "internal.h"
#include "ziputil.h"  // before zip.h, whose ZIP_OK is a macro

#include <sys/types.h>
#include <zip.h>

#include <memory>
#include <string>

namespace ziputil {

// The archive being written: where it is (to leave it out of itself) and
// how far it has grown.
struct Writing {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    bool known = false;
    int fd = -1;
    int error = 0;              // errno of a failed write
    uint64_t pos = 0, end = 0;  // minizip's position, the file's size
    uint64_t entries = 0;
    bool refused = false;       // the archive is removed at the end
    // The archive's tail, kept in memory: minizip goes back after each entry
    // to fill in its header's CRC and sizes, which lands here without a seek.
    std::unique_ptr<char[]> tail;
    uint64_t tail_start = 0;
    size_t tail_length = 0;
};
extern thread_local Writing current;

// Creates the archive at `path` through the output layer; null with errno set.
zipFile create_archive(const char *path);
// After minizip closed the archive: the zip64 end records when it holds
// more than 65,535 entries and minizip wrote none.
bool add_zip64_end_records(const char *path);
// "Cannot write <archive>: <cause>".
void say_write_error();

}  // namespace ziputil

#endif
