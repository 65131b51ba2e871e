// A launcher release taken from the update server: its manifest read, its
// package fetched (resumable, like the game's), checked with the key in
// force, unpacked into "app/N/" and made the current one in one rename.
#ifndef VANTORIQUE_SELF_RELEASE_H
#define VANTORIQUE_SELF_RELEASE_H

#include "http.h"
#include "outcome.h"

#include <time.h>

#include <string>

extern const char *const kLauncherDownload;  // "launcher.zip", in the launcher's folder while it comes
extern const char *const kCarriedKeyFile;    // "publisher.pub": a new publisher key a release may carry

// The launcher release the server offers, from its manifest's signature
// alone (its trusted comment, which the key signs, names the release and
// its expiry), fetched within `timeoutMs`. 0 when none is offered or the
// server cannot say; 0 with FAILURE_BAD_SIGNATURE or FAILURE_EXPIRED in
// `ctx` when the answer is not believed. Always 0 without a key: a launcher
// never runs code nobody signed.
int launcherOnOffer(const UpdateServer &server, long timeoutMs, time_t now, call_context *ctx);

// Takes release `release`: fetched into kLauncherDownload (a broken
// transfer keeps its .part for the next start), its signature checked
// ("file:launcher.zip launcher:N"), unpacked into kStagingFolder, its
// program (`program`, the path inside a release) and any carried key
// checked, synced, moved to "app/N", then the choice names it current, the
// release that runs now (`running`, 0 for the folder's own program) as
// previous, and a carried key as the one in force, all in one rename. False
// with the failure in `ctx`: fetchFile's kinds, FAILURE_UNSIGNED,
// FAILURE_BAD_SIGNATURE, the unpacker's, FAILURE_DAMAGED (no program, or a
// carried key that is none), FAILURE_CANNOT_WRITE, FAILURE_BUSY (another
// launcher is taking one: "app/" is locked meanwhile).
bool takeLauncherRelease(const UpdateServer &server, int release, const std::string &program, int running,
                         call_context *ctx);

// Called at each step of takeLauncherRelease: "fetched", "verified",
// "unpacked", "checked", "synced", "placed", "committed", "done". Tests stop
// the process there. Null in the launcher.
extern void (*selfStepHook)(const char *step);

#endif
