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
};

}  // namespace

const char *failureWords(int kind)
{
    return kind >= 0 && kind < FAILURE_KIND_COUNT ? kWords[kind].heading : "Something went wrong";
}

std::string failureText(int kind, const std::string &line)
{
    const bool detail = kind >= 0 && kind < FAILURE_KIND_COUNT && kWords[kind].detail && !line.empty();
    return detail ? std::string(failureWords(kind)) + "\n" + line : failureWords(kind);
}
