// archive_needs: the room and entry count an unpack will take, read through
// the same checks as decompress_path.
#include "helpers.h"
#include "ziputil.h"

using namespace testutil;

TEST(ArchiveNeeds, RoundsEachEntryToWholeBlocksAndCountsEveryEntry)
{
    ScratchDir dir;
    // Sizes 1, 4096, 4097, a directory, a link of 1 byte and a 2-byte metadata entry.
    python_zip(dir / "known.zip", "add('a', b'x')\nadd('b', b'y' * 4096)\nadd('c', b'z' * 4097)\n"
                                  "add('d/', b'', 0o40755)\nadd('l', b'a', 0o120777)\nadd('__MACOSX/._a', b'AD')");
    struct Case { unsigned long long block, bytes; } cases[] = {
        {4096, 4096 + 4096 + 2 * 4096 + 4096 + 4096}, {1, 1 + 4096 + 4097 + 1 + 2}, {0, 1 + 4096 + 4097 + 1 + 2},
    };
    for (const Case &c : cases) {
        unsigned long long bytes = 0, entries = 0;
        EXPECT_EQ(archive_needs((dir / "known.zip").c_str(), c.block, &bytes, &entries, &last.ctx), 1) << "block " << c.block;
        EXPECT_EQ(bytes, c.bytes) << "block " << c.block << ": bytes, each entry rounded up to whole blocks";
        EXPECT_EQ(entries, 6u) << "block " << c.block << ": the entry count, the directory included";
        EXPECT_EQ(last_failure(), FAILURE_NONE) << "block " << c.block << ": a readable archive leaves no failure";
    }
}

TEST(ArchiveNeeds, NamesWhyAnArchiveCannotBeUnpacked)
{
    ScratchDir dir;
    write_file(dir / "text.zip", "this is not a zip archive at all");
    python_zip(dir / "dotdot.zip", "add('x/../../evil', b'x')");
    // A zip64 extra field whose compressed size runs past the archive's end.
    python_zip(dir / "zip64.zip", "zipfile.ZIP64_LIMIT = 4\nadd('a.txt', b'hello' * 100)\n"
                                  "def fix(b): struct.pack_into('<Q', b, b.find(b'\\1\\0\\x10\\0', b.find(b'PK\\1\\2')) + 12, 1 << 40)");
    python_zip(dir / "bomb.zip", "add('a', b'a' * 99)\nadd('b', b'b' * 99)\ndef fix(b): put(b, 'b', None, 42, '<I', 0)");
    struct Case { const char *archive; int kind; } cases[] = {
        {"missing.zip", FAILURE_CANNOT_READ}, {"text.zip", FAILURE_DAMAGED}, {"dotdot.zip", FAILURE_REFUSED},
        {"zip64.zip", FAILURE_DAMAGED}, {"bomb.zip", FAILURE_REFUSED},
    };
    for (const Case &c : cases) {
        unsigned long long bytes = 7, entries = 7;
        std::string out;
        EXPECT_EQ(captured([&] { return archive_needs((dir / c.archive).c_str(), 4096, &bytes, &entries, &last.ctx); }, &out), 0)
            << c.archive << ": must be refused";
        EXPECT_EQ(last_failure(), c.kind) << c.archive << ": the failure kind is the wrong one";
        EXPECT_EQ(out, "") << c.archive << ": archive_needs prints nothing";
    }
}
