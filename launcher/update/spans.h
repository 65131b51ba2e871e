// Parts of one file on the update server, fetched by HTTP Range into a
// sparse local copy: each part at its own offset, holes elsewhere, so that
// a reader of the whole file (the package's entries by their offsets) finds
// every part where the server has it.
#ifndef VANTORIQUE_SPANS_H
#define VANTORIQUE_SPANS_H

#include "download.h"
#include "http.h"
#include "outcome.h"

#include <string>
#include <vector>

struct ByteSpan {
    unsigned long long offset = 0;
    unsigned long long length = 0;
};

// The spans sorted, with overlapping ones and ones less than `gap` bytes
// apart joined into one (the bytes between are fetched too: a request costs
// more than a few KB); empty spans dropped.
std::vector<ByteSpan> joinSpans(std::vector<ByteSpan> spans, unsigned long long gap);

// Fetches each span of `uri` (a file of `fileSize` bytes on the server)
// into the file `name` at its own offset; `name` is made `fileSize` bytes
// long. One range a request (multipart answers are where servers and CDNs
// fail), at most `inFlight` requests at once. Each answer must be 206 with
// exactly the range asked, of a file of `fileSize` bytes. Progress counts
// the spans' bytes (total set at the start). False with the failure in
// `ctx`: FAILURE_NO_RANGES when the server will not send a part (it sent
// 200 with the whole file, 416, 501, or another range; the line says
// which: fetch the whole file instead), FAILURE_NO_ANSWER,
// FAILURE_NOT_ON_SERVER, FAILURE_SERVER_REFUSED, FAILURE_NO_SPACE,
// FAILURE_CANNOT_WRITE; FAILURE_DAMAGED, before any request, for a span
// that lies past `fileSize`. A failed fetch leaves no file at `name`.
bool fetchSpans(const UpdateServer &server, const std::string &uri, unsigned long long fileSize,
                const std::vector<ByteSpan> &spans, int inFlight, const std::string &name, DownloadProgress &progress,
                call_context *ctx);

#endif
