// An update's transfer into the launcher's folder: the package or a delta.
#ifndef VANTORIQUE_DOWNLOAD_H
#define VANTORIQUE_DOWNLOAD_H

#include <string>

// How a transfer ended, for a caller that may ask for another file instead.
enum fetch_outcome {
    FETCH_WHOLE,    // the file is in place under its name
    FETCH_MISSING,  // the server has no such file (404)
    FETCH_BROKEN,   // no answer, the line broke or the launcher is ending (a .part may be kept)
    FETCH_REFUSED,  // an answer that cannot be used: another status, too long, no room
};

// Fetches `uri` from the update server into "<name>.part" and renames it to
// `name` once whole. A transfer that breaks after data arrived keeps the
// .part and its validator, and the next try asks only for the rest. Unless
// the file came whole, `reason` says why in a few words for the screen.
// Publishes the download progress as it goes.
fetch_outcome fetchFile(const std::string &uri, const std::string &name, std::string &reason);

#endif
