// The support log: "launcher.log" beside "errorlog.txt", one dated line per
// event a support request needs (what was asked, what came back, why a step
// failed), kept to the last few runs so that a player can send it whole.
#ifndef VANTORIQUE_LOG_H
#define VANTORIQUE_LOG_H

#include <string>

extern const char *const kSupportLogName;  // "launcher.log"

// At start, in the launcher's folder: trims the log to the last runs, opens
// it and marks the start of this run. Until then logLine writes nothing (a
// test of a worker leaves no log behind).
// `who` ends the run's first line ("launcher 2").
void startSupportLog(const std::string &who = "");

// One dated line ("2026-12-08 18:24:57 UTC text"), line breaks and other
// control characters turned into spaces. Any thread.
void logLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
