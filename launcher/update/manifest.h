// The manifest's publisher check: signed with the launcher's key for its own
// number, not past its expiry, and never older than a version seen before.
#ifndef VANTORIQUE_MANIFEST_H
#define VANTORIQUE_MANIFEST_H

#include "outcome.h"

#include <time.h>

#include <string>

extern const char *const kVerifiedVersionFile;  // "verified-version.txt", beside version.txt
extern const long kClockSkewSeconds;             // an expiry counts this long after it passed

// Checks `manifest` (the body as served) announcing `version` against
// `signature` (empty when none was served) at time `now`. An accepted version
// above the one in kVerifiedVersionFile replaces it there. A refusal is
// recorded in `ctx`: FAILURE_UNSIGNED (no signature served beside it),
// FAILURE_BAD_SIGNATURE (it does not hold, or was made for another
// manifest), FAILURE_EXPIRED (the signed expiry has passed) or FAILURE_OLDER
// (lower than the highest version verified before), with the detail a player
// reads (empty when there is nothing to add).
//
// The manifest must also be signed for `channel` (a comment without
// "channel:" is the default channel's); `rollout` is the share of installs
// (0..100) it is signed for, 100 when it names none.
bool checkManifest(const std::string &manifest, const std::string &signature, int version, time_t now,
                   const std::string &channel, int &rollout, call_context *ctx);

// "2026-12-22T18:00:00Z" as a time; false unless exactly that form of a real time.
bool parseExpiry(const std::string &text, time_t &when);

#endif
