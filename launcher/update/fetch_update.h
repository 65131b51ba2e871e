// Which files an update is fetched as: the delta from the installed version
// when the server has one that checks out, else the package, at its
// release's own path first and at the fixed name last.
#ifndef VANTORIQUE_FETCH_UPDATE_H
#define VANTORIQUE_FETCH_UPDATE_H

#include <string>

// Fetches the update to `announced` (a version a manifest named in this run;
// 0 for none: then only the fixed-name package) into the launcher's folder,
// its signature checked (with a key built in). A delta is asked for first
// when `installed` is a version below it (0: none installed, no delta) and
// no delta failed in this run; a missing, refused or unsigned one is passed
// over for the package, and the support log says why. Sets downloadFetching
// to what it fetches; true once that is whole and checked, in kDeltaName or
// kPackageName. On false, `reason` says why for the screen (a broken
// transfer keeps its .part to go on from at the next try, delta or package).
bool fetchUpdate(int installed, int announced, std::string &reason);

#endif
