// Who is offered a release: the channel this launcher follows, an install id
// made once and kept beside the launcher, and the install's bucket of 100
// for each version, so that a rollout of R% offers it to buckets below R.
#ifndef VANTORIQUE_ROLLOUT_H
#define VANTORIQUE_ROLLOUT_H

#include <string>

extern const char *const kChannelFile;    // "channel.txt": the channel's name; the default one when absent
extern const char *const kInstallIdFile;  // "install-id.txt": 32 hex digits, made at the first start

// The channel named in `path` (its first line, small letters, digits, '-'
// and '_', up to 32), or the default one when the file is absent or names none.
std::string readChannel(const char *path);

// The install's id from `path`; one is made (random) and kept there when
// none is. Empty only when none can be kept: such an install is offered
// what the whole fleet is offered, and no staged release.
std::string installId(const char *path);

// 0..99, the same for an id and a version on every start; independent
// between versions, so the first tenth of one release is not that of the next.
int rolloutBucket(const std::string &id, int version);

// Whether an install with `id` is offered `version` at a rollout of
// `rollout` percent (0: halted, 100: everyone).
bool offeredInRollout(const std::string &id, int version, int rollout);

#endif
