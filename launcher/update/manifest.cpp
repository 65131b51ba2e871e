// The manifest's publisher check. The trusted comment reads
// "file:version.txt version:N expires:YYYY-MM-DDTHH:MM:SSZ channel:NAME
// rollout:PCT" (UTC; the last two since channels); the signature covers the
// whole body as served.
#include "manifest.h"

#include "server_layout.h"
#include "signature.h"
#include "version.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <sstream>

const char *const kVerifiedVersionFile = "verified-version.txt";
const long kClockSkewSeconds = 5 * 60;

namespace {

// The earliest "expires:" of the comment (`text` as written): there must be
// one, and each must be a time.
const char *expiryFault(const std::string &comment, time_t &earliest, std::string &text)
{
    std::istringstream in(comment);
    std::string token;
    while (in >> token) {
        if (token.compare(0, strlen(kCommentExpires), kCommentExpires) != 0)
            continue;
        const std::string value = token.substr(strlen(kCommentExpires));
        time_t when;
        if (!parseExpiry(value, when))
            return "its expiry is not a time";
        if (text.empty() || when < earliest)
            earliest = when, text = value;
    }
    return text.empty() ? "its trusted comment names no expiry" : nullptr;
}

// The comment's "channel:" must be `channel` ("default" when it has none) and
// its "rollout:" a share from 0 to 100 (100 when it has none); each at most once.
const char *channelFault(const std::string &comment, const std::string &channel, int &rollout,
                         std::string &signedFor)
{
    std::istringstream in(comment);
    std::string token;
    int channels = 0, rollouts = 0;
    signedFor = kDefaultChannel, rollout = 100;
    while (in >> token) {
        if (token.compare(0, strlen(kCommentChannel), kCommentChannel) == 0) {
            signedFor = token.substr(strlen(kCommentChannel)), channels++;
        } else if (token.compare(0, strlen(kCommentRollout), kCommentRollout) == 0) {
            const std::string share = token.substr(strlen(kCommentRollout));
            if (share.empty() || share.size() > 3 || share.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(share) > 100)
                return "its rollout is not a share from 0 to 100";
            rollout = std::stoi(share), rollouts++;
        }
    }
    if (channels > 1 || rollouts > 1)
        return "its trusted comment names a channel or a rollout twice";
    return signedFor == channel ? nullptr : "it was signed for another channel";
}

}  // namespace

bool parseExpiry(const std::string &text, time_t &when)
{
    static const char kForm[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof kForm - 1)
        return false;
    for (size_t i = 0; i < text.size(); i++)
        if (kForm[i] == 'd' ? !isdigit((unsigned char)text[i]) : text[i] != kForm[i])
            return false;
    struct tm t = {};
    sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
           &t.tm_sec);
    const struct tm asWritten = t;
    t.tm_year -= 1900, t.tm_mon -= 1;
    when = timegm(&t);
    // timegm carries a 31st of February into March: a real time reads back unchanged.
    return when != time_t(-1) && t.tm_year + 1900 == asWritten.tm_year && t.tm_mon + 1 == asWritten.tm_mon &&
           t.tm_mday == asWritten.tm_mday && t.tm_hour == asWritten.tm_hour && t.tm_min == asWritten.tm_min &&
           t.tm_sec == asWritten.tm_sec;
}

bool checkManifest(const std::string &manifest, const std::string &signature, int version, time_t now,
                   const std::string &channel, int &rollout, call_context *ctx)
{
    rollout = 100;
    if (signature.empty())
        return context_fail(ctx, FAILURE_UNSIGNED, "");
    std::string comment, expiresText;
    time_t expires = 0;
    const char *fault = contentSignatureFault(manifest, signature, comment);
    if (!fault)
        fault = commentFault(comment, kManifestFile, version);
    if (!fault)
        fault = expiryFault(comment, expires, expiresText);
    std::string signedFor;
    if (!fault && (fault = channelFault(comment, channel, rollout, signedFor)) && signedFor != channel)
        return context_fail(ctx, FAILURE_BAD_SIGNATURE,
                            "it is the " + signedFor + " channel's, this launcher follows " + channel);
    if (fault)
        return context_fail(ctx, FAILURE_BAD_SIGNATURE, fault);
    if (now >= expires + kClockSkewSeconds)
        return context_fail(ctx, FAILURE_EXPIRED, "it expired at " + expiresText);
    const int seen = readVersionFile(kVerifiedVersionFile);
    if (version < seen)
        return context_fail(ctx, FAILURE_OLDER,
                            "it offers " + std::to_string(version) + ", " + std::to_string(seen) + " was seen before");
    // Not being able to remember only weakens the next check; this one holds.
    if (version > seen && !writeVersionFile(kVerifiedVersionFile, version))
        printf("Cannot record the verified version in %s\n", kVerifiedVersionFile);
    return true;
}
