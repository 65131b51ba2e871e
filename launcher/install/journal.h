// The install's journal: the version an install records and, per staged
// top-level item, "DEVICE INODE NAME". Text, one item a line.
#ifndef VANTORIQUE_JOURNAL_H
#define VANTORIQUE_JOURNAL_H

#include <string>
#include <vector>

struct JournalLine {
    unsigned long long device, inode;
    std::string name;
};

// What an install swaps in, and the version it records.
struct Journal {
    bool hasVersion = false;
    int version = 0;
    std::vector<JournalLine> lines;
};

// The journal at `path`; `present` tells whether there is one. A journal
// without its version line (an older launcher's) records none.
Journal readJournal(const std::string &path, bool &present);

// "STAGING/ready", written whole (beside it, then renamed; the file and the
// folder synced) or not at all.
bool writeJournal(const std::string &staging, const Journal &journal);

#endif
