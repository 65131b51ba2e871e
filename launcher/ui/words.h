// What the player reads for a failure: the words chosen from its kind, in
// this one place, and the detail line under them where the kind has one.
#ifndef VANTORIQUE_WORDS_H
#define VANTORIQUE_WORDS_H

#include <string>

// The heading a failure_kind shows ("Disk full", ...); "" for none.
const char *failureWords(int kind);

// The heading, then (after a line break) `line` where the kind's detail
// helps the player (a refused signature, an expired manifest: why).
std::string failureText(int kind, const std::string &line);

// The update check's failure: the heading names what happened ("The update
// server refused the request (HTTP 403)"), `advice` what the player can do,
// and, after a line break, the detail where the kind has one. `line` is the
// failure's line ("HTTP 403" for a status).
std::string checkFailureHeading(int kind, const std::string &line);
std::string checkFailureAdvice(int kind, const std::string &line);

#endif
