// The package's transfer into the launcher's folder.
#ifndef VANTORIQUE_DOWNLOAD_H
#define VANTORIQUE_DOWNLOAD_H

#include <string>

// Fetches the package `name` into "<name>.part" and renames it once whole. A
// transfer that breaks after data arrived keeps the .part and its validator,
// and the next try asks only for the rest. On false, `reason` says why in a
// few words for the screen. Publishes the download progress as it goes.
bool fetchPackage(const std::string &name, std::string &reason);

#endif
