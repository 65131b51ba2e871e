// Trusting and installing a package: its publisher's signature, an install
// that lands whole or not at all, and files of the launcher's folder that are
// never followed through a link.
#ifndef VANTORIQUE_INSTALL_H
#define VANTORIQUE_INSTALL_H

#include <stdio.h>
#include <unistd.h>

#include <string>

#include "fsutil.h"

// The publisher's minisign public key (the base64 line of its .pub file),
// fixed at build time; empty when the build has none. Tests set their own.
extern std::string publicKey;

// Checks the package at `packagePath` against `signature` (the text of a
// .minisig file): made by publicKey, trusted comment naming the package
// and `announcedVersion`. True without a key;
// on success prints "Signature verified: NAME (version N)". On false, `reason` says why.
bool verifyPackage(const char *packagePath, const std::string &signature, int announcedVersion,
                   std::string &reason);

// Unpacks the package into `gameParent` ("../") so that the result is the
// whole old install or the whole new one. On false, `reason` says why in a
// few words for the screen ("Disk full", ...).
bool installPackage(const char *packagePath, const char *gameParent, std::string &reason);

// At start: finishes or undoes an install that a kill interrupted, and
// removes what is left of its work folder ("GAME_PARENT/.vantorique-staging").
void recoverInterruptedInstall(const char *gameParent);

// Called at each step of installPackage with its name ("unpacked",
// "merged", "ready", "swapped" after each item, "installed"): tests stop
// the process there. Null in the launcher.
extern void (*installStepHook)(const char *step);

// A new regular file at `path` for writing, never through what stood there
// (a link, a FIFO): that is removed first. Null on failure (errno set).
FILE *createFresh(const char *path);

// Free bytes of the file system that holds `folder`; all of them when unknown.
unsigned long long freeBytes(const std::string &folder);

#endif
