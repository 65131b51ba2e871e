// The breaks next door: each limit exactly at it and one past, two checks
// that back each other up each met alone, a link already in the destination
// that leads out, and two failures on two threads where the later entry
// fails first.
#include "helpers.h"
#include "ziputil.h"

#include <sys/stat.h>

using namespace testutil;

namespace {

// A relative name of exactly `length` bytes: components of 200 "a"s, then "b"s.
std::string name_of(size_t length)
{
    std::string name;
    while (name.size() < length) {
        size_t left = length - name.size();
        name += left > 201 ? std::string(200, 'a') + "/" : std::string(left, 'b');
    }
    return name;
}

}  // namespace

// The destination and the name together make the path written: 1,023
// characters are written, 1,024 refused before anything is made.
TEST(Unpack, AnOutputPathOfExactly1023CharactersIsWrittenAnd1024Refused)
{
    ScratchDir dir;
    const std::string dest = dir / "d/";
    for (int threads : {1, 3}) {
        Threads t(threads);
        for (size_t length : {size_t(1023), size_t(1024)}) {
            const std::string what = std::to_string(length) + "-character path, " + std::to_string(threads) + " threads";
            const std::string name = name_of(length - dest.size()), zip = dir / "long.zip";
            python_zip(zip, "add(sys.argv[2], b'at the limit')", name);
            run("rm -rf " + quote(dest));
            std::string out;
            const int rc = unpack(zip, dest, &out);
            if (length == 1023) {
                EXPECT_EQ(rc, 1) << what << ": a path of 1,023 characters must be written\n" << out.substr(0, 300);
                EXPECT_EQ(read_file(dest + name), "at the limit") << what << ": the file at the limit";
                continue;
            }
            EXPECT_EQ(rc, 0) << what << ": one past the limit must be refused";
            EXPECT_EQ(last_line(), "Output path too long: " + dest + name) << what;
            EXPECT_EQ(kind_name(last_failure()), "FAILURE_REFUSED") << what;
            EXPECT_EQ(output_of("find " + quote(dest) + " -mindepth 1 | wc -l"), "0\n")
                << what << ": a folder of the refused name was made";
        }
    }
}

// An entry name alone: 1,023 bytes are taken, 1,024 refused by the checks
// every reader shares.
TEST(Unpack, AnEntryNameOfExactly1023BytesIsTakenAnd1024Refused)
{
    ScratchDir dir;
    for (size_t length : {size_t(1023), size_t(1024)}) {
        const std::string zip = dir / "name.zip";
        python_zip(zip, "add(sys.argv[2], b'x')", name_of(length));
        unsigned long long bytes = 0, entries = 0;
        const int rc = archive_needs(zip.c_str(), 1, &bytes, &entries, &last.ctx);
        if (length == 1023) {
            EXPECT_EQ(rc, 1) << "a name of 1,023 bytes must be taken: " << last_line();
            EXPECT_EQ(entries, 1u) << "a name of 1,023 bytes: its entry counted";
        } else {
            EXPECT_EQ(rc, 0) << "a name of 1,024 bytes must be refused";
            EXPECT_EQ(last_line().compare(0, 21, "Entry name too long: "), 0) << last_line();
            EXPECT_EQ(kind_name(last_failure()), "FAILURE_REFUSED") << "a name of 1,024 bytes";
        }
    }
}

// The local header's name and the central one must agree, and every name
// must stay inside: each check is met here where the other has nothing to
// refuse, so removing either one lets a write out.
TEST(Unpack, TheLocalNameCheckAndTheContainmentCheckEachHoldAlone)
{
    ScratchDir dir;
    struct Case { const char *what, *central, *local, *line, *kind; } cases[] = {
        // The central name is harmless: only the agreement check sees the local "..".
        {"harmless central name, climbing local name", "ab/victim", "../victim",
         "Damaged archive: the local name ../victim differs from the central directory's ab/victim", "FAILURE_DAMAGED"},
        // The names agree: only containment sees the "..".
        {"names that agree and climb", "../victim", "../victim", "Refusing entry with a \"..\" component: ../victim",
         "FAILURE_REFUSED"},
        // The local name is harmless: containment refuses the central one first.
        {"climbing central name, harmless local name", "../victim", "ab/victim",
         "Refusing entry with a \"..\" component: ../victim", "FAILURE_REFUSED"},
    };
    for (const Case &c : cases) {
        for (int threads : {1, 3}) {
            Threads t(threads);
            const std::string what = std::string(c.what) + ", " + std::to_string(threads) + " threads";
            const std::string zip = dir / "names.zip", dest = dir / "in/dest/";
            run("rm -rf " + quote(dir / "in") + " && mkdir -p " + quote(dest));
            python_zip(zip, std::string("add('") + c.central + "', b'pwned')\ndef fix(b):\n    i = b.find(b'PK\\3\\4')\n"
                                                   "    b[i + 30:i + 39] = b'" + c.local + "'");
            std::string out;
            EXPECT_EQ(unpack(zip, dest, &out), 0) << what << ": must be refused\n" << out;
            EXPECT_EQ(last_line(), c.line) << what;
            EXPECT_EQ(kind_name(last_failure()), c.kind) << what;
            EXPECT_FALSE(exists(dir / "in/victim")) << what << ": in/victim was written beside the destination";
            EXPECT_EQ(output_of("ls -A " + quote(dest)), "") << what << ": the destination must stay empty";
        }
    }
}

// A link the archive did not make, already in the destination and leading
// out: nothing is written, made, linked or touched through it, on one
// thread or many, by unpack or by restore_times.
TEST(Unpack, ALinkAlreadyInTheDestinationCarriesNothingOutside)
{
    ScratchDir dir;
    const std::string outside = dir / "outside", dest = dir / "dest/";
    ASSERT_EQ(run("mkdir -p " + quote(outside) + " " + quote(dest) + " && echo untouched >" + quote(outside + "/victim") +
                  " && touch -d '2020-01-01 00:00:00' " + quote(outside + "/victim") + " " + quote(outside) +
                  " && chmod 755 " + quote(outside) + " && ln -s " + quote(outside) + " " + quote(dest + "escape")), 0);
    struct Case { const char *entries, *line; } cases[] = {
        {"add('escape/newdir/f', b'pwned')", "Refusing to write through a link that leads outside the destination: "
                                             "escape/newdir/f"},
        {"add('ok.txt', b'fine')\nadd('escape/made', b'x', 0o120777)",
         "Refusing link whose target leaves the destination: escape/made -> x"},
        {"add('escape/victim', b'pwned')\nadd('__MACOSX/escape/._victim', b'AD')",
         "Refusing to write through a link that leads outside the destination: escape/victim"},
    };
    const std::string before = snapshot(outside);
    for (const Case &c : cases) {
        for (int threads : {1, 3}) {
            Threads t(threads);
            const std::string what = std::string(c.entries) + "\n(" + std::to_string(threads) + " threads)";
            python_zip(dir / "link.zip", c.entries);
            std::string out;
            EXPECT_EQ(unpack(dir / "link.zip", dest, &out), 0) << what << ": must be refused\n" << out;
            EXPECT_EQ(last_line(), c.line) << what;
            EXPECT_EQ(kind_name(last_failure()), "FAILURE_REFUSED") << what;
            EXPECT_EQ(snapshot(outside), before) << what << ": outside/ changed through dest/escape";
        }
    }
    // restore_times walks without following links: the times and the mode
    // recorded for "escape/" and "escape/victim" stay inside.
    python_zip(dir / "times.zip", "add('escape/', b'', 0o40700)\nadd('escape/victim', b'pwned')");
    EXPECT_EQ(captured([&] { return restore_times((dir / "times.zip").c_str(), dest.c_str(), &last.ctx); }), 1)
        << last_line();
    EXPECT_EQ(snapshot(outside), before) << "restore_times: outside/ changed through dest/escape";
    EXPECT_EQ(output_of("stat -c '%a %y' " + quote(outside) + " " + quote(outside + "/victim")),
              "755 2020-01-01 00:00:00.000000000 +0000\n644 2020-01-01 00:00:00.000000000 +0000\n")
        << "restore_times: the mode or time of outside/ or outside/victim was set through dest/escape";
}

// Two damaged entries on several threads: the later one (small) fails long
// before the earlier one (24 MB to inflate) reaches its end. The call still
// names the earlier one, as one thread does, and says nothing of the later.
TEST(Unpack, TheEarlierEntrysFailureWinsWhenALaterOneFailsFirst)
{
    ScratchDir dir;
    python_zip(dir / "two.zip",
               "big = b''.join(b'%07d\\n' % (i * 7919 % 1000003) for i in range(3 << 20))\n"
               "add('big.bin', big)\n"
               "for k in range(8): add('fine%d.txt' % k, b'fine' * 100)\n"
               "add('small.txt', b'small')\n"
               "def fix(b):\n"
               "    put(b, 'big.bin', 14, 16, '<I', zlib.crc32(big) ^ 1)\n"
               "    put(b, 'small.txt', 14, 16, '<I', zlib.crc32(b'small') ^ 1)");
    for (int threads : {1, 2, 3}) {
        Threads t(threads);
        const std::string what = std::to_string(threads) + " threads", dest = dir / ("out" + what.substr(0, 1) + "/");
        std::string out;
        EXPECT_EQ(unpack(dir / "two.zip", dest, &out), 0) << what << ": must fail";
        EXPECT_EQ(last_line(), "CRC error in entry: big.bin") << what << ": the earlier entry's failure must be named";
        EXPECT_EQ(kind_name(last_failure()), "FAILURE_DAMAGED") << what;
        EXPECT_EQ(out.find("small.txt"), std::string::npos) << what << ": the later entry's lines must not be said\n"
                                                            << out;
        EXPECT_EQ(out.substr(out.rfind('\n', out.size() - 2) + 1), "CRC error in entry: big.bin\n")
            << what << ": the cause is not the last line";
        EXPECT_FALSE(exists(dest + "big.bin")) << what << ": dest/big.bin must not be left half checked";
        EXPECT_FALSE(exists(dest + "small.txt")) << what << ": dest/small.txt must not exist";
    }
}
