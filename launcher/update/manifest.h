// The manifest's publisher check: signed with the launcher's key for its own
// number, not past its expiry, and never older than a version seen before.
#ifndef VANTORIQUE_MANIFEST_H
#define VANTORIQUE_MANIFEST_H

#include <time.h>

#include <string>

// Why a manifest was refused; the screen's line for each is manifestRefusal's.
enum manifest_failure {
    MANIFEST_ACCEPTED = 0,
    MANIFEST_UNSIGNED,  // no signature served beside it
    MANIFEST_ALTERED,   // the signature does not hold, or was made for another manifest
    MANIFEST_EXPIRED,   // the signed expiry has passed
    MANIFEST_OLDER,     // lower than the highest version verified before
};

extern const char *const kVerifiedVersionFile;  // "verified-version.txt", beside version.txt
extern const long kClockSkewSeconds;             // an expiry counts this long after it passed

// Checks `manifest` (the body as served) announcing `version` against
// `signature` (empty when none was served) at time `now`. An accepted version
// above the one in kVerifiedVersionFile replaces it there. `detail` says more
// for the screen's second line (empty when there is nothing to add).
manifest_failure checkManifest(const std::string &manifest, const std::string &signature, int version, time_t now,
                               std::string &detail);

// The player's two lines for a refusal: the reason, a line break, the detail.
std::string manifestRefusal(manifest_failure failure, const std::string &detail);

// "2026-12-22T18:00:00Z" as a time; false unless exactly that form of a real time.
bool parseExpiry(const std::string &text, time_t &when);

#endif
