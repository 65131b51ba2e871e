#include "words.h"

#include "outcome.h"

namespace {

struct Words {
    const char *heading;
    bool detail;  // the call's line is worth a second line on the screen
};

// By failure_kind, in its order. A player cannot tell a damaged package from
// a refused or unknown one, nor act differently on them: one heading.
const Words kWords[FAILURE_KIND_COUNT] = {
    {"", false},                                           // FAILURE_NONE
    {"The package is damaged", false},                     // FAILURE_CANNOT_READ
    {"The package is damaged", false},                     // FAILURE_DAMAGED
    {"The package is damaged", false},                     // FAILURE_UNSUPPORTED
    {"The package is damaged", false},                     // FAILURE_REFUSED
    {"Disk full", false},                                  // FAILURE_NO_SPACE
    {"Cannot write to the game folder", false},            // FAILURE_CANNOT_WRITE
    {"The package is damaged", false},                     // FAILURE_BASE_MISSING
    {"The package is damaged", false},                     // FAILURE_BASE_DIFFERS
    {"The package is damaged", false},                     // FAILURE_RESULT_DIFFERS
    {"No answer from the server", false},                  // FAILURE_NO_ANSWER
    {"The server has no package", false},                  // FAILURE_NOT_ON_SERVER
    {"The server's answer cannot be used", true},          // FAILURE_SERVER_REFUSED
    {"The update server's answer is not signed", true},    // FAILURE_UNSIGNED
    {"Signature check failed", true},                      // FAILURE_BAD_SIGNATURE
    {"The update server is out of date", true},           // FAILURE_EXPIRED
    {"The update server offers an older version", true},  // FAILURE_OLDER
    {"Another update is running", false},                  // FAILURE_BUSY
    {"The server's answer cannot be used", true},          // FAILURE_NO_RANGES (the package is fetched instead)
};

}  // namespace

const char *failureWords(int kind)
{
    return kind >= 0 && kind < FAILURE_KIND_COUNT ? kWords[kind].heading : "Something went wrong";
}

std::string checkFailureHeading(int kind, const std::string &line)
{
    const bool status = line.compare(0, 5, "HTTP ") == 0;
    switch (kind) {
    case FAILURE_NONE:
    case FAILURE_NO_ANSWER:
        return "No answer from the update server";
    case FAILURE_NOT_ON_SERVER:
        return "The update server has no manifest";
    case FAILURE_SERVER_REFUSED:
        if (status && line.compare(5, 1, "5") == 0)
            return "The update server failed (" + line + ")";
        return status ? "The update server refused the request (" + line + ")"
                      : "The update server's answer is too long";
    case FAILURE_BAD_SIGNATURE:
        return "The update server's signature does not hold";
    default:
        return failureWords(kind);
    }
}

std::string checkFailureAdvice(int kind, const std::string &line)
{
    const char *advice = kind == FAILURE_NO_ANSWER || kind == FAILURE_NONE ? "Check the connection, then Retry"
                         : kind == FAILURE_NOT_ON_SERVER                   ? "Play Offline, and tell the game's makers"
                         : kind == FAILURE_SERVER_REFUSED                  ? "Retry later, or Play Offline"
                         : kind == FAILURE_UNSIGNED || kind == FAILURE_BAD_SIGNATURE
                             ? "Play Offline: this answer is not to be trusted"
                         : kind == FAILURE_EXPIRED ? "Retry later, once the game's makers re-sign it"
                         : kind == FAILURE_OLDER   ? "Play Offline: an old answer was sent again"
                                                   : "Retry, or Play Offline";
    const bool detail = kind >= 0 && kind < FAILURE_KIND_COUNT && kWords[kind].detail && !line.empty() &&
                        kind != FAILURE_SERVER_REFUSED;
    return detail ? std::string(advice) + "\n" + line : advice;
}

std::string failureText(int kind, const std::string &line)
{
    const bool detail = kind >= 0 && kind < FAILURE_KIND_COUNT && kWords[kind].detail && !line.empty();
    return detail ? std::string(failureWords(kind)) + "\n" + line : failureWords(kind);
}
