// Updates by delta through the launcher's install: the same merge, journal
// and swap as a package, so the game after a delta is the game after the
// full package, byte for byte; a delta that does not fit the installed game
// leaves it untouched and says why; a kill at any moment leaves one whole
// version. Real trees, a real package from ziputil, real kills.
#include "delta.h"
#include "helpers.h"
#include "install.h"

#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <set>
#include <sstream>
#include <thread>

using namespace testutil;

namespace {

// The launcher's names, with the game's parent folder at `parent` and the
// version file in the working directory.
InstallPlaces placesIn(const std::string &parent)
{
    return InstallPlaces{parent, "Vantorique.app", "version.txt", "", ""};  // no indexes: every old file kept
}

// A call's failure for a failing line: "FAILURE_KIND: line".
std::string failureOf(call_context *ctx)
{
    return std::string(failure_name(context_failure(ctx))) + ": " + context_line(ctx);
}

// Run in the game's parent folder: a game with every kind of item.
const char kOldGame[] =
    "mkdir -p Vantorique.app/Contents/MacOS Vantorique.app/Contents/Resources/art Vantorique.app/Contents/Resources/old && "
    "cd Vantorique.app/Contents && printf '#!/bin/sh\\necho old\\n' > MacOS/Vantorique && chmod 755 MacOS/Vantorique && "
    "head -c 200000 /dev/urandom > Resources/art/same.bin && seq 1 20000 > Resources/changed.txt && "
    "head -c 100000 /dev/urandom > Resources/moving.bin && echo removed > Resources/old/removed.txt && "
    "ln -s art/same.bin Resources/link && chmod 750 Resources/art && mkdir Resources/kept && "
    "for i in $(seq 200); do head -c 16384 /dev/urandom > Resources/kept/k$i.dat; done";
// Run in a copy of the old game's parent: what version 2 changes.
const char kNewGame[] =
    "cd Vantorique.app/Contents && printf '#!/bin/sh\\necho new\\n' > MacOS/Vantorique && "
    "seq 1 20001 > Resources/changed.txt && mv Resources/moving.bin Resources/art/moved-2.bin && rm -r Resources/old && "
    "mkdir -m 711 Resources/levels && echo new > Resources/levels/new.txt && chmod 600 Resources/levels/new.txt && "
    "printf '#!/bin/sh\\n' > Resources/tool && chmod 755 Resources/tool && ln -sfn art/moved-2.bin Resources/link";
// User attributes where the file system takes them.
const char kOldAttributes[] = "setfattr -n user.color -v red Vantorique.app/Contents/Resources/art/same.bin";
const char kNewAttributes[] = "setfattr -n user.color -v blue Vantorique.app/Contents/Resources/art/same.bin && "
                              "setfattr -n user.tag -v x Vantorique.app/Contents/Resources/levels/new.txt";

// Everything a player could tell apart, user attributes included.
std::string describe(const std::string &parent)
{
    return snapshot(parent) +
           output_of("cd " + quote(parent) + " && find . -type f -print0 | sort -z | xargs -0 -r sha256sum") +
           output_of("cd " + quote(parent) + " && find . -print0 | LC_ALL=C sort -z | xargs -0 getfattr -h -d -m '^user\\.' 2>/dev/null");
}

// The lines of one description that the other lacks ("-") and has ("+"):
// a failure names what differs, not two whole trees.
std::string differences(const std::string &got, const std::string &wanted)
{
    auto lines = [](const std::string &text) {
        std::multiset<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            out.insert(line);
        return out;
    };
    const std::multiset<std::string> a = lines(got), b = lines(wanted);
    std::string out;
    for (const std::string &line : a)
        if (!b.count(line))
            out += "  got:    " + line + "\n";
    for (const std::string &line : b)
        if (!a.count(line))
            out += "  wanted: " + line + "\n";
    return out;
}

const int kNewVersion = 2;

// The player's game at version 1 in "parent/", the launcher's folder
// beside it as the working directory, version 2 as the publisher made it,
// its package (packed by ziputil, as scripts/publish does) and the delta.
struct World {
    ScratchDir dir;
    std::string parent = dir / "parent/", delta = dir / "from-1.delta", package = dir / "vantorique_osx.zip";
    std::string home = output_of("pwd | tr -d '\\n'");
    bool attributes = false;

    explicit World(const std::string &extra = "")
    {
        EXPECT_EQ(run("mkdir -p " + quote(parent) + " " + quote(dir / "launcher") + " && printf 1 > " +
                      quote(dir / "launcher/version.txt") + " && cd " + quote(parent) + " && " + kOldGame), 0);
        attributes = xattrs_supported(parent) && run("cd " + quote(parent) + " && " + kOldAttributes) == 0;
        EXPECT_EQ(run("cp -a " + quote(parent) + " " + quote(dir / "studio") + " && cd " + quote(dir / "studio") +
                      " && (" + kNewGame + ")" + (attributes ? std::string(" && ") + kNewAttributes : "") +
                      (extra.empty() ? "" : " && cd Vantorique.app && " + extra)), 0) << "version 2 could not be made";
        call_context ctx;
        EXPECT_EQ(delta_make((parent + "Vantorique.app").c_str(), (dir / "studio/Vantorique.app").c_str(), delta.c_str(),
                             3, 1, 2, &ctx), 1) << "version 2's delta could not be made: " << context_line(&ctx);
        EXPECT_EQ(pack(dir / "studio/Vantorique.app", package), 1);
        EXPECT_EQ(chdir((dir / "launcher").c_str()), 0);
    }
    ~World() { EXPECT_EQ(chdir(home.c_str()), 0); }
    std::string version() const { return read_file(dir / "launcher/version.txt"); }
};

TEST(DeltaInstall, TheGameIsTheGameAFullPackageInstalls)
{
    World w;
    if (!w.attributes)
        printf("note: this file system refuses user attributes; the trees are compared without them\n");
    call_context byPackageCtx, ctx;
    bool untouched = false;
    ASSERT_EQ(run("cp -a " + quote(w.parent) + " " + quote(w.dir / "by-package")), 0);
    const std::string byPackage = w.dir / "by-package/";
    ASSERT_TRUE(captured([&] { return installPackage(w.package.c_str(), placesIn(byPackage), &kNewVersion, &byPackageCtx); }))
        << "the full package must install: " << failureOf(&byPackageCtx);
    ASSERT_EQ(run("printf 1 > version.txt"), 0);
    EXPECT_TRUE(captured([&] { return installDelta(w.delta.c_str(), placesIn(w.parent), &kNewVersion, &ctx, untouched); }))
        << "the delta must install: " << failureOf(&ctx);
    EXPECT_EQ(context_failure(&ctx), FAILURE_NONE) << failureOf(&ctx);
    EXPECT_EQ(differences(describe(w.parent), describe(byPackage)), "")
        << "the game after the delta must be the game after the full package (bytes, modes, links, attributes, kept files)";
    EXPECT_EQ(read_file(w.parent + "Vantorique.app/Contents/Resources/old/removed.txt"), "removed\n")
        << "a file the old version had and the new one lacks stays, as a full install keeps it";
    EXPECT_EQ(w.version(), "2") << "launcher/version.txt must record the delta's version";
    EXPECT_FALSE(exists(w.parent + ".vantorique-staging")) << ".vantorique-staging must be gone after the install";
}

struct FaultCase {
    const char *name;
    const char *edit;  // shell, in the player's game parent folder, or on "DELTA" (the delta's path)
    const char *fault;  // the failure kind the support log names
};

const FaultCase kFaults[] = {
    {"player_edited_a_base", "echo mine >> Vantorique.app/Contents/Resources/art/same.bin", "FAILURE_BASE_DIFFERS"},
    {"player_edited_a_base_same_size", "printf X | dd of=Vantorique.app/Contents/Resources/changed.txt bs=1 seek=3 conv=notrunc 2>/dev/null",
     "FAILURE_BASE_DIFFERS"},
    {"base_missing", "rm Vantorique.app/Contents/Resources/moving.bin", "FAILURE_BASE_MISSING"},
    {"base_now_a_link", "rm Vantorique.app/Contents/Resources/changed.txt && ln -s art/same.bin Vantorique.app/Contents/Resources/changed.txt",
     "FAILURE_BASE_DIFFERS"},
    // Opened blocking, a FIFO would wait for a writer for ever.
    {"base_now_a_fifo", "rm Vantorique.app/Contents/Resources/changed.txt && mkfifo Vantorique.app/Contents/Resources/changed.txt",
     "FAILURE_BASE_DIFFERS"},
    {"tampered_delta", "printf XXXXXXXX | dd of=DELTA bs=1 seek=$(($(stat -c %s DELTA) - 200)) conv=notrunc 2>/dev/null",
     "FAILURE_DAMAGED"},
    {"truncated_delta", "truncate -s 100 DELTA", "FAILURE_DAMAGED"},
    {"no_installed_game", "rm -r Vantorique.app", "FAILURE_CANNOT_READ"},
};

void PrintTo(const FaultCase &c, std::ostream *out) { *out << c.name; }
class DeltaFault : public testing::TestWithParam<FaultCase> {};

TEST_P(DeltaFault, LeavesTheGameUntouchedAndSaysWhy)
{
    const FaultCase &c = GetParam();
    World w;
    std::string edit = c.edit;
    for (size_t at; (at = edit.find("DELTA")) != std::string::npos;)
        edit.replace(at, 5, quote(w.delta));
    ASSERT_EQ(run("cd " + quote(w.parent) + " && " + edit), 0) << edit;
    const std::string before = describe(w.parent);
    call_context ctx, packageCtx;
    bool untouched = false;
    EXPECT_FALSE(captured([&] { return installDelta(w.delta.c_str(), placesIn(w.parent), &kNewVersion, &ctx, untouched); }))
        << "a delta that does not fit must not install";
    EXPECT_STREQ(failure_name(context_failure(&ctx)), c.fault) << "the kind the support log names; it said: " << failureOf(&ctx);
    EXPECT_TRUE(untouched) << "a delta that does not fit must say the game is untouched, so the package comes next";
    EXPECT_EQ(differences(describe(w.parent), before), "") << "the player's game must be untouched";
    EXPECT_EQ(w.version(), "1") << "launcher/version.txt must still name version 1";
    EXPECT_FALSE(exists(w.parent + ".vantorique-staging")) << ".vantorique-staging must be gone";
    // The fall-back: the full package still installs over the same game.
    EXPECT_TRUE(captured([&] { return installPackage(w.package.c_str(), placesIn(w.parent), &kNewVersion, &packageCtx); }))
        << "the full package must install after a refused delta: " << failureOf(&packageCtx);
    EXPECT_EQ(read_file(w.parent + "Vantorique.app/Contents/MacOS/Vantorique"), "#!/bin/sh\necho new\n");
}

INSTANTIATE_TEST_SUITE_P(Faults, DeltaFault, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

// A real process killed at a step of a delta's install, then the next
// start's recovery: the whole old game or the whole new one.
struct KillCase {
    const char *name;
    const char *step;  // "applying": while the delta writes the new game, once its first file is written
    bool newGame;      // the game after the recovery
};

const KillCase kKills[] = {
    {"kill_while_applying", "applying", false},
    {"kill_after_applying", "applied", false},
    {"kill_with_the_journal_written", "ready", true},
    {"kill_between_the_swap_and_the_version", "swapped", true},
};

const char *killStep;
progress_sink killProgress;  // the delta's, watched by the killing thread

void PrintTo(const KillCase &c, std::ostream *out) { *out << c.name; }
class DeltaKill : public testing::TestWithParam<KillCase> {};

TEST_P(DeltaKill, LeavesOneWholeVersion)
{
    const KillCase &c = GetParam();
    // Enough new files that the kill falls among them.
    World w("for i in $(seq 300); do head -c 32768 /dev/urandom > Contents/Resources/new$i.dat; done");
    const std::string oldGame = describe(w.parent);
    ASSERT_EQ(run("cp -a " + quote(w.parent) + " " + quote(w.dir / "by-package")), 0);
    call_context ctx;
    ASSERT_TRUE(captured([&] {
        return installPackage(w.package.c_str(), placesIn(w.dir / "by-package/"), &kNewVersion, &ctx);
    })) << failureOf(&ctx);
    const std::string newGame = describe(w.dir / "by-package/");
    ASSERT_EQ(run("printf 1 > version.txt"), 0);
    // Unchanged files are staged as links to the installed ones: the kill
    // falls during a linked install.
    const std::string kept = w.parent + "Vantorique.app/Contents/Resources/kept/k7.dat";
    struct stat before {};
    ASSERT_EQ(lstat(kept.c_str(), &before), 0);

    pid_t child = fork();
    if (child == 0) {
        killStep = c.step;
        installStepHook = [](const char *reached) {
            if (strcmp(reached, killStep) != 0)
                return;
            if (strcmp(reached, "applying") != 0)
                raise(SIGKILL);
            std::thread([] {  // the first file written, the others still to come
                while (killProgress.done.load() == 0)
                    std::this_thread::yield();
                raise(SIGKILL);
            }).detach();
        };
        call_context killed;
        killed.progress = &killProgress;
        bool untouched = false;
        _exit(installDelta(w.delta.c_str(), placesIn(w.parent), &kNewVersion, &killed, untouched) ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the install must reach step " << c.step << " and be killed there";
    captured([&] { recoverInterruptedInstall(placesIn(w.parent)); return 0; });
    EXPECT_EQ(differences(describe(w.parent), c.newGame ? newGame : oldGame), "")
        << "after the next start's recovery: not the whole " << (c.newGame ? "new" : "old") << " game";
    EXPECT_EQ(w.version(), c.newGame ? "2" : "1") << "launcher/version.txt must name the game that is installed";
    EXPECT_FALSE(exists(w.parent + ".vantorique-staging")) << ".vantorique-staging must be gone after the recovery";
    struct stat after {};
    EXPECT_EQ(lstat(kept.c_str(), &after), 0);
    EXPECT_TRUE(after.st_ino == before.st_ino && after.st_nlink == 1)
        << "Resources/kept/k7.dat: unchanged, it must be the installed file itself, with one name, after the recovery";
}

INSTANTIATE_TEST_SUITE_P(Kills, DeltaKill, testing::ValuesIn(kKills),
                         [](const testing::TestParamInfo<KillCase> &info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A small disk of its own for the game's parent folder (root only), gone
// at the end.
struct SmallDisk {
    ScratchDir dir;
    std::string parent = dir / "parent/", home = output_of("pwd | tr -d '\\n'");
    bool mounted = false;
    explicit SmallDisk(const char *size)
    {
        run("mkdir -p " + quote(parent) + " " + quote(dir / "launcher"));
        mounted = mount("tmpfs", parent.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
        EXPECT_EQ(chdir((dir / "launcher").c_str()), 0);
    }
    ~SmallDisk()
    {
        EXPECT_EQ(chdir(home.c_str()), 0);
        if (mounted)
            umount(parent.c_str());
    }
};

}  // namespace

// The room asked for is what the update writes: a delta that changes a
// little of a game that fills most of its disk installs, where today's
// check (the whole game again) would refuse it; one that writes more than
// is free says "Disk full" before the game changes.
TEST(DeltaInstall, NeedsRoomForWhatItWritesNotForTheWholeGame)
{
    SmallDisk disk("12m");
    if (!disk.mounted)
        GTEST_SKIP() << "cannot mount a small tmpfs (needs root): " << strerror(errno);
    ScratchDir studio;
    ASSERT_EQ(run("cd " + quote(studio.path) + " && mkdir -p one/Vantorique.app/Contents && cd one/Vantorique.app/Contents"
                  " && head -c 7000000 /dev/urandom > big.pak && seq 1 20000 > small.txt"),
              0);
    ASSERT_EQ(run("cd " + quote(studio.path) + " && cp -a one two && seq 1 20001 > two/Vantorique.app/Contents/small.txt"
                  " && cp -a one three && head -c 5200000 /dev/urandom > three/Vantorique.app/Contents/more.pak"),
              0);
    ASSERT_EQ(run("cp -a " + quote(studio / "one/Vantorique.app") + " " + quote(disk.parent)), 0);
    call_context ctx;
    for (const char *v : {"two", "three"})
        ASSERT_EQ(delta_make((studio / "one/Vantorique.app").c_str(), (studio / (std::string(v) + "/Vantorique.app")).c_str(),
                             (studio / (std::string(v) + ".delta")).c_str(), 3, 1, 2, &ctx),
                  1)
            << context_line(&ctx);
    const std::string before = describe(disk.parent);
    bool untouched = false;
    EXPECT_FALSE(captured([&] {
        return installDelta((studio / "three.delta").c_str(), placesIn(disk.parent), &kNewVersion, &ctx, untouched);
    })) << "a delta writing 5 MB onto a disk with less free must be refused";
    EXPECT_EQ(failure_name(context_failure(&ctx)), std::string("FAILURE_NO_SPACE")) << failureOf(&ctx);
    EXPECT_TRUE(untouched) << "a refused delta must leave the game untouched";
    EXPECT_EQ(differences(describe(disk.parent), before), "") << "the game must be as it was after \"Disk full\"";
    call_context ok;
    EXPECT_TRUE(captured([&] {
        return installDelta((studio / "two.delta").c_str(), placesIn(disk.parent), &kNewVersion, &ok, untouched);
    })) << "a delta that changes one small file must fit beside a game that fills most of the disk: " << failureOf(&ok);
    EXPECT_EQ(read_file(disk.parent + "Vantorique.app/Contents/small.txt"), read_file(studio / "two/Vantorique.app/Contents/small.txt"));
}
