// Publisher keys and signatures made by the real minisign, for the workers'
// tests: "a" is the key the launcher trusts, "b" another publisher's.
#pragma once

#include "helpers.h"

#include <time.h>

namespace testutil {

inline const std::string &signingKeys()
{
    static ScratchDir keys;
    static const int made = run("cd " + quote(keys.path) + " && minisign -G -W -p a.pub -s a.sec >/dev/null && " +
                                "minisign -G -W -p b.pub -s b.sec >/dev/null");
    EXPECT_EQ(made, 0) << "minisign could not make the test keys (installed? scripts/install-deps)";
    return keys.path;
}

// The public key line of key "a", as the launcher is built with it.
inline std::string trustedKey() { return output_of("tail -n 1 " + quote(signingKeys() + "/a.pub")); }

// minisign's signature of `content` with `key` ("a" or "b") and trusted `comment`.
inline std::string signedBy(const std::string &content, const std::string &comment, const std::string &key = "a")
{
    ScratchDir d;
    write_file(d / "content", content);
    EXPECT_EQ(run("minisign -S -s " + quote(signingKeys() + "/" + key + ".sec") + " -m " + quote(d / "content") +
                  " -t " + quote(comment) + " >/dev/null"), 0) << "minisign could not sign " << comment;
    return read_file(d / "content.minisig");
}

// A UTC time `seconds` from now, as the manifest's expiry is written.
inline std::string utcIn(long seconds)
{
    time_t when = time(nullptr) + seconds;
    char text[32];
    struct tm t;
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&when, &t));
    return text;
}

// The comment scripts/publish gives a manifest of `version` on the default
// channel, offered to every player, expiring in 14 days.
inline std::string manifestComment(int version, long expiresIn = 14 * 86400)
{
    return "file:version.txt version:" + std::to_string(version) + " expires:" + utcIn(expiresIn) +
           " channel:default rollout:100";
}

}  // namespace testutil
