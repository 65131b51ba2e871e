// The install's journal, ".vantorique-staging/ready": written only once
// the staged tree is complete, it vouches for it and says what to swap in.
#include "journal.h"

#include "fsutil.h"
#include "version.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

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
    const std::string body = text.str(), temp = staging + "/ready.tmp", path = staging + "/ready";
    Fd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.fd < 0 || !write_full(fd.fd, body.data(), body.size()) || fsync(fd.fd) != 0)
        return false;
    Fd dir(open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (rename(temp.c_str(), path.c_str()) != 0 || dir.fd < 0 || fsync(dir.fd) != 0)
        return false;
    return true;
}
