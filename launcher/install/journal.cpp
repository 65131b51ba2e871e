// The install's journal, ".vantorique-staging/ready": written only once
// the staged tree is complete, it vouches for it and says what to swap in.
#include "journal.h"

#include "fsutil.h"
#include "replace.h"
#include "version.h"

#include <sstream>

namespace {

const size_t kMaxJournalBytes = 1 << 20;  // one short line per top-level item

}  // namespace

// A journal without its version line (an older launcher's) records none.
Journal readJournal(const std::string &path, bool &present)
{
    Journal journal;
    std::string text;
    present = read_small_file(path, kMaxJournalBytes, text);
    std::istringstream in(text);
    if (text.compare(0, 8, "version ") == 0) {
        std::string versionLine;
        std::getline(in, versionLine);
        journal.hasVersion = versionLine != "version -";
        journal.version = parseVersionText(versionLine.data() + 8, versionLine.size() - 8);
    }
    JournalLine line;
    while (in >> line.device >> line.inode && in.get() == ' ' && std::getline(in, line.name))
        journal.lines.push_back(line);
    return journal;
}

bool writeJournal(const std::string &staging, const Journal &journal)
{
    std::ostringstream text;
    text << "version " << (journal.hasVersion ? std::to_string(journal.version) : "-") << '\n';
    for (const JournalLine &line : journal.lines)
        text << line.device << ' ' << line.inode << ' ' << line.name << '\n';
    const std::string body = text.str();
    // The journal vouches for the staged tree only once it and its name are on disk.
    return replace_file(staging + "/ready", body.data(), body.size(), 0600, DURABLE_FILE_AND_FOLDER);
}
