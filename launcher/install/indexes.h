// The release indexes in the install (install.h's places name them).
#ifndef VANTORIQUE_INDEXES_H
#define VANTORIQUE_INDEXES_H

#include "install.h"
#include "tree.h"

#include <string>

// The installed version's own items, from places.indexFile when it is the
// index of the version the version file names; none otherwise (every old
// item the new version lacks is then kept).
void installedItems(const InstallPlaces &places, MergeFilter &filter);

// The new game staged from `package` by the incoming index (of `version`,
// when the install has one): the installed game's unchanged files linked,
// the rest unpacked. False with `ctx` untouched when there is no such index
// or it does not fit the package (unpack the package whole then); false
// with FAILURE_NO_SPACE or FAILURE_CANNOT_WRITE in `ctx` to stop.
bool stageByIndex(const InstallPlaces &places, const char *package, bool hasVersion, int version,
                  const std::string &installedGame, const std::string &stagedGame, call_context *ctx);

// Once the new game is in: the incoming index becomes the installed one; an
// index of another version, or none, leaves no installed index.
void keepIncomingIndex(const InstallPlaces &places, bool hasVersion, int version);

#endif
