// Packages only from their publisher, installs that land whole or not at all:
// signatures from the real minisign, packages from Info-ZIP, a real small
// disk, real kills of a real process.
#include "install.h"

#include "durable.h"
#include "fsutil.h"
#include "signature.h"
#include "version.h"
#include "ziputil.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

// The standard output of a shell command.
std::string shellOutput(const std::string &command)
{
    std::string out;
    char buffer[4096];
    FILE *pipe = popen(command.c_str(), "r");
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

// The status of a shell command.
int shellStatus(const std::string &command)
{
    return system(command.c_str());
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

struct TempDir {
    std::string path = shellOutput("mktemp -d | tr -d '\\n'");
    ~TempDir() { shellStatus("umount -q " + path + "/parent 2>/dev/null; rm -rf " + path); }
};

// Every entry below a folder: name, type, mode, link target, and the bytes' hash.
std::string snapshot(const std::string &root)
{
    return shellOutput("cd " + root + " && find . -printf '%p %y %m %l\\n' | sort && find . -type f -print0 | sort -z | xargs -0r sha1sum");
}

template <typename Case>
std::string caseName(const testing::TestParamInfo<Case> &info)
{
    return info.param.name;
}

// ---- signatures ----

struct SignatureCase {
    const char *name;
    const char *signer;     // a: the launcher's key, b: another; "-": the launcher has no key (signed with a)
    const char *flags;      // "-l": legacy signature over the whole file
    const char *comment;    // the trusted comment
    const char *tampering;  // tamper, garbage, truncate, edit (version:1 -> version:2)
    const char *refusal;    // why the check refuses it; "" when it passes
};

const char kGoodComment[] = "file:vantorique_osx.zip version:2";
const SignatureCase kSignatureCases[] = {
    {.name = "good_prehashed", .signer = "a", .flags = "", .comment = kGoodComment, .tampering = "", .refusal = ""},
    {.name = "good_legacy_more_tokens", .signer = "a", .flags = "-l",
     .comment = "timestamp:9 file:vantorique_osx.zip version:2 x", .tampering = "", .refusal = ""},
    {.name = "no_key_built_in", .signer = "-", .flags = "", .comment = "anything", .tampering = "garbage", .refusal = ""},
    {.name = "tampered_package", .signer = "a", .flags = "", .comment = kGoodComment, .tampering = "tamper",
     .refusal = "the package does not match its signature"},
    {.name = "tampered_package_legacy", .signer = "a", .flags = "-l", .comment = kGoodComment, .tampering = "tamper",
     .refusal = "the package does not match its signature"},
    {.name = "another_key", .signer = "b", .flags = "", .comment = kGoodComment, .tampering = "",
     .refusal = "it was made with another key"},
    {.name = "another_version", .signer = "a", .flags = "", .comment = "file:vantorique_osx.zip version:1",
     .tampering = "", .refusal = "it was made for another version"},
    {.name = "old_version_relabelled", .signer = "a", .flags = "", .comment = "file:vantorique_osx.zip version:1",
     .tampering = "edit", .refusal = "its trusted comment was altered"},
    {.name = "another_file", .signer = "a", .flags = "", .comment = "file:other.zip version:2", .tampering = "",
     .refusal = "it was made for another file"},
    {.name = "no_file_named", .signer = "a", .flags = "", .comment = "version:2", .tampering = "",
     .refusal = "its trusted comment names no file"},
    {.name = "no_version_named", .signer = "a", .flags = "", .comment = "file:vantorique_osx.zip", .tampering = "",
     .refusal = "its trusted comment names no version"},
    {.name = "garbage_signature", .signer = "a", .flags = "", .comment = kGoodComment, .tampering = "garbage",
     .refusal = "the signature is malformed"},
    {.name = "truncated_signature", .signer = "a", .flags = "", .comment = kGoodComment, .tampering = "truncate",
     .refusal = "the signature is malformed"},
};

void PrintTo(const SignatureCase &c, std::ostream *out) { *out << c.name; }
class Signature : public testing::TestWithParam<SignatureCase> {};

TEST_P(Signature, OnlyThePublishersPackageForTheAnnouncedVersionPasses)
{
    const SignatureCase &c = GetParam();
    static TempDir keyFolder;  // a.pub/a.sec: the launcher's key; b: another one
    static int made = shellStatus("cd " + keyFolder.path + " && minisign -G -W -p a.pub -s a.sec >/dev/null && " +
                         "minisign -G -W -p b.pub -s b.sec >/dev/null");
    ASSERT_EQ(made, 0) << "minisign missing? scripts/install-deps";
    const std::string keys = keyFolder.path + "/";
    TempDir t;
    const std::string package = t.path + "/vantorique_osx.zip", tampering = c.tampering;
    const std::string signer = c.signer[0] == '-' ? "a" : c.signer;
    ASSERT_EQ(shellStatus("head -c 100000 /dev/urandom > " + package + " && minisign -S " + c.flags + " -s " + keys + signer +
                 ".sec -m " + package + " -t '" + c.comment + "' >/dev/null"), 0);
    std::string signature = shellOutput("cat " + package + ".minisig");
    if (tampering == "tamper")
        shellStatus("printf x >> " + package);
    if (tampering == "garbage")
        signature = "untrusted comment: x\nnot base64 at all\ntrusted comment: y\n!!!\n";
    if (tampering == "truncate")
        signature.resize(signature.find("trusted comment:", 20));
    if (tampering == "edit")
        signature.replace(signature.find("version:1"), 9, "version:2");
    publicKey = c.signer[0] == '-' ? "" : shellOutput("tail -n 1 " + keys + "a.pub");

    std::string reason;
    testing::internal::CaptureStdout();
    bool verified = verifyPackage(package.c_str(), "vantorique_osx.zip", signature, 2, reason);
    std::string printed = testing::internal::GetCapturedStdout();
    const bool passes = c.refusal[0] == 0;
    EXPECT_EQ(verified, passes) << "the check " << (passes ? "refused" : "passed") << " it; it printed: " << printed;
    EXPECT_EQ(reason, c.refusal) << "the reason the player reads";
    EXPECT_EQ(printed.find("Signature check failed: " + reason + "\n") != std::string::npos, !passes)
        << "a refusal prints its reason; it printed: " << printed;
    EXPECT_EQ(printed.find("Signature verified: vantorique_osx.zip (version 2)\n") != std::string::npos,
              passes && !publicKey.empty())
        << "a verified package is announced (only with a key); it printed: " << printed;
    publicKey.clear();
}

INSTANTIATE_TEST_SUITE_P(Faults, Signature, testing::ValuesIn(kSignatureCases), caseName<SignatureCase>);

// ---- installs ----

// Run in the game's parent folder; the new game adds Readme.txt, a second
// top-level item, so that a kill can fall between two swaps.
const char kOldGame[] =
    "mkdir -p Vantorique.app/Contents/MacOS Vantorique.app/Contents/Resources/old && cd Vantorique.app/Contents && "
    "printf '#!/bin/sh\\necho old\\n' > MacOS/Vantorique && chmod 755 MacOS/Vantorique && chmod 750 Resources && "
    "echo old shared > Resources/shared.txt && echo old only > Resources/old/only.txt && ln -s old/only.txt Resources/link";
const char kNewGame[] =
    "mkdir -p Vantorique.app/Contents/MacOS Vantorique.app/Contents/Resources && echo a second item > Readme.txt && "
    "printf '#!/bin/sh\\necho new\\n' > Vantorique.app/Contents/MacOS/Vantorique && chmod 755 Vantorique.app/Contents/MacOS/Vantorique && "
    "cd Vantorique.app/Contents/Resources && echo new shared > shared.txt && ";

struct InstallCase {
    const char *name;
    const char *extra = "";          // shell, in the new game's Resources folder
    const char *killAt = nullptr;    // a step of installPackage, "unpacking" (mid-unpack), or null
    bool smallDisk = false;          // a 2 MB tmpfs
    bool twoRenames = false;         // swap as a file system without an atomic exchange
    bool anotherInstallRuns = false; // another launcher holds the work folder's lock
    bool fromInsideTheGame = false;  // the launcher runs in a folder of the item the package replaces
    const char *outcome = "new";     // old, new, either
    int failure = FAILURE_NONE;      // the kind installPackage reports
};

const char kOneFile[] = "head -c 32768 /dev/urandom > new100.dat";
const InstallCase kInstallCases[] = {
    {.name = "good_package", .extra = kOneFile},
    {.name = "CRC_bad_entry", .extra = "printf CRCFAULT%.0s $(seq 64) > zz.txt", .outcome = "old",
     .failure = FAILURE_DAMAGED},
    {.name = "refused_entry", .extra = "ln -s /etc escape", .outcome = "old", .failure = FAILURE_REFUSED},
    {.name = "disk_full", .extra = "head -c 3000000 /dev/urandom > big.dat", .smallDisk = true, .outcome = "old",
     .failure = FAILURE_NO_SPACE},
    {.name = "another_install_runs", .extra = kOneFile, .anotherInstallRuns = true, .outcome = "old",
     .failure = FAILURE_BUSY},
    {.name = "item_holds_the_launcher", .extra = kOneFile, .fromInsideTheGame = true, .outcome = "old",
     .failure = FAILURE_REFUSED},
    {.name = "kill_while_unpacking", .extra = "for i in $(seq 400); do head -c 32768 /dev/urandom > new$i.dat; done",
     .killAt = "unpacking", .outcome = "either"},
    {.name = "kill_after_the_unpack", .extra = kOneFile, .killAt = "unpacked", .outcome = "old"},
    {.name = "kill_after_the_carry_over", .extra = kOneFile, .killAt = "merged", .outcome = "old"},
    {.name = "kill_with_the_journal_written", .extra = kOneFile, .killAt = "ready"},
    {.name = "kill_between_two_swaps", .extra = kOneFile, .killAt = "swapped"},
    {.name = "kill_between_the_two_renames_of_a_swap", .extra = kOneFile, .killAt = "moved-aside", .twoRenames = true},
    {.name = "kill_while_removing_the_old_game", .extra = kOneFile, .killAt = "installed"},
    {.name = "kill_once_the_version_is_recorded", .extra = kOneFile, .killAt = "recorded"},
};

void PrintTo(const InstallCase &c, std::ostream *out) { *out << c.name; }
const char *killStep;

// An installed old game in `parent` and a package of the new one; what the
// game folder holds before the install and what it must hold after it.
struct GameWorld {
    TempDir t;
    std::string parent = t.path + "/parent/", package = t.path + "/vantorique_osx.zip", oldGame, newGame;
};

void makeGames(GameWorld &w, const char *extra)
{
    ASSERT_EQ(shellStatus("cd " + w.parent + " && " + kOldGame), 0) << "the old game could not be made";
    ASSERT_EQ(shellStatus("mkdir " + w.t.path + "/new && cd " + w.t.path + "/new && " + kNewGame + extra +
                          " && cd ../../.. && zip -qry0 " + w.package + " Readme.txt Vantorique.app && " +
                          "perl -0777 -pi -e 's/CRCFAULT/CRCFAULU/' " + w.package),
              0) << "the package could not be made";  // stored: the entry's CRC no longer fits
    w.oldGame = snapshot(w.parent);
    // The new game: what unpacking over a copy of the old one gives.
    ASSERT_EQ(shellStatus("cp -a " + w.parent + " " + w.t.path + "/overlay"), 0);
    testing::internal::CaptureStdout();
    decompress_path(w.package.c_str(), (w.t.path + "/overlay/").c_str());
    testing::internal::GetCapturedStdout();
    w.newGame = snapshot(w.t.path + "/overlay/");
}

const int kNewVersion = 2;

// The launcher's names, with the game's parent folder at `parent` and the
// version file in the working directory.
InstallPlaces placesIn(const std::string &parent)
{
    return InstallPlaces{parent, "Vantorique.app", "version.txt", "", ""};  // no indexes: every old file kept
}

// The launcher's folder, beside the game's parent, as the working directory
// while it lives: the version file (holding 1) that an install records in.
struct InLauncherFolder {
    std::string path, home = shellOutput("pwd | tr -d '\\n'");
    explicit InLauncherFolder(const GameWorld &w) : path(w.t.path + "/launcher")
    {
        EXPECT_EQ(shellStatus("mkdir " + path + " && printf 1 > " + path + "/version.txt"), 0);
        EXPECT_EQ(chdir(path.c_str()), 0);
    }
    ~InLauncherFolder() { EXPECT_EQ(chdir(home.c_str()), 0); }
    std::string version() const { return shellOutput("cat " + path + "/version.txt"); }
};

// A real process that dies with SIGKILL at `step` of the install; then the
// next start's recovery.
// With no `version`, the install records none (no manifest announced one).
void killInstallAt(const GameWorld &w, const char *step, bool twoRenames, const int *version = &kNewVersion)
{
    pid_t child = fork();
    if (child == 0) {
        killStep = step;
        installForceTwoRenames = twoRenames;
        installStepHook = [](const char *reached) { strcmp(reached, killStep) == 0 && raise(SIGKILL); };
        call_context ctx;
        _exit(installPackage(w.package.c_str(), placesIn(w.parent), version, &ctx) ? 0 : 1);
    }
    int status = 0;
    const std::string midUnpack = w.parent + ".vantorique-staging/new/Vantorique.app/Contents/Resources/new100.dat";
    while (waitpid(child, &status, WNOHANG) == 0)
        if (strcmp(step, "unpacking") == 0 && access(midUnpack.c_str(), F_OK) == 0)
            kill(child, SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(status) || strcmp(step, "unpacking") == 0)
        << "the install must reach step " << step << " (and be killed there)";
}

class Install : public testing::TestWithParam<InstallCase> {};

TEST_P(Install, TheGameIsTheWholeOldOrTheWholeNewVersion)
{
    const InstallCase &c = GetParam();
    GameWorld w;
    mkdir(w.parent.c_str(), 0755);
    if (c.smallDisk && mount("tmpfs", w.parent.c_str(), "tmpfs", 0, "size=2m") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs (needs root): " << strerror(errno);
    makeGames(w, c.extra);
    InLauncherFolder launcher(w);

    call_context ctx;
    testing::internal::CaptureStdout();
    if (c.killAt) {
        killInstallAt(w, c.killAt, c.twoRenames);
        recoverInterruptedInstall(placesIn(w.parent));
    } else {
        const std::string staging = w.parent + ".vantorique-staging";
        Fd otherLauncher;
        if (c.anotherInstallRuns) {
            ASSERT_EQ(mkdir(staging.c_str(), 0700), 0);
            otherLauncher = Fd(open(staging.c_str(), O_RDONLY | O_DIRECTORY));
            ASSERT_EQ(flock(otherLauncher.fd, LOCK_EX), 0);
        }
        char launcherFolder[4096];
        ASSERT_TRUE(getcwd(launcherFolder, sizeof launcherFolder));
        if (c.fromInsideTheGame) {
            ASSERT_EQ(chdir((w.parent + "Vantorique.app/Contents").c_str()), 0);
        }
        EXPECT_EQ(installPackage(w.package.c_str(), placesIn(w.parent), &kNewVersion, &ctx), c.failure == FAILURE_NONE)
            << "installPackage's result; it said: " << failure_name(context_failure(&ctx)) << ": " << context_line(&ctx);
        ASSERT_EQ(chdir(launcherFolder), 0);
        if (c.anotherInstallRuns) {
            EXPECT_TRUE(exists(staging)) << ".vantorique-staging: another launcher's work folder must stay";
            rmdir(staging.c_str());
        }
    }
    testing::internal::GetCapturedStdout();
    const std::string version = launcher.version();
    EXPECT_STREQ(failure_name(context_failure(&ctx)), failure_name(c.failure))
        << "the kind of failure, which the screen's words follow; its line: " << context_line(&ctx);
    const std::string after = snapshot(w.parent), outcome = c.outcome;
    EXPECT_EQ(version, after == w.newGame ? "2" : "1") << "launcher/version.txt must name the game that is installed";
    if (outcome != "either") {
        EXPECT_EQ(after, outcome == "old" ? w.oldGame : w.newGame) << "not the whole " << outcome << " game";
    }
    EXPECT_TRUE(after == w.oldGame || after == w.newGame) << "old and new files mixed, or leftovers:\n" << after;
    EXPECT_EQ(shellStatus(w.parent + "Vantorique.app/Contents/MacOS/Vantorique >/dev/null"), 0)
        << "the installed game must still start";
}

INSTANTIATE_TEST_SUITE_P(Faults, Install, testing::ValuesIn(kInstallCases), caseName<InstallCase>);

// What a kill cannot show: a power cut may lose what is not synced, so the
// staged files must be on disk before the journal vouches for them, the
// journal and its name before any swap, the swaps before the version file
// says so. The syncs themselves are invisible on a running system: the
// toolbox reports each one, and the order of steps and syncs is checked.
TEST(InstallOrder, EachStepIsOnDiskBeforeTheNextVouchesForIt)
{
    GameWorld w;
    mkdir(w.parent.c_str(), 0755);
    makeGames(w, kOneFile);
    InLauncherFolder launcher(w);
    static std::string steps;
    steps.clear();
    installStepHook = [](const char *step) { steps += std::string(steps.empty() ? "" : " ") + step; };
    static std::string stagingPath, parentPath;
    stagingPath = w.parent + ".vantorique-staging", parentPath = w.parent;
    fsutil_sync_observer = [](int scope, const std::string &path) {
        steps += scope == SYNC_FILE          ? " (file)"
                 : scope == SYNC_FILE_SYSTEM ? " (file system)"
                 : path == stagingPath       ? " (staging folder)"
                 : path == parentPath        ? " (game's parent)"
                                             : " (folder " + path + ")";
    };
    call_context ctx;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(installPackage(w.package.c_str(), placesIn(w.parent), &kNewVersion, &ctx)) << context_line(&ctx);
    testing::internal::GetCapturedStdout();
    installStepHook = nullptr;
    fsutil_sync_observer = nullptr;
    EXPECT_EQ(steps, "unpacked merged (file system) synced (file) (staging folder) ready swapped swapped "
                     "(game's parent) (file) recorded installed")
        << "steps and syncs in order: the staged tree synced before the journal; the journal's file and folder "
           "before the first swap; the swapped names before the version file, itself synced before it counts";
    EXPECT_EQ(launcher.version(), "2");
}

// An install of a package no manifest announced (the no-game screen's Retry
// without an answer): killed between its swaps, the next start finishes the
// new game and leaves the version file as it was.
TEST(InstallRecovery, AKillWithNoAnnouncedVersionFinishesAndRecordsNone)
{
    GameWorld w;
    mkdir(w.parent.c_str(), 0755);
    makeGames(w, kOneFile);
    InLauncherFolder launcher(w);
    testing::internal::CaptureStdout();
    killInstallAt(w, "swapped", false, nullptr);
    EXPECT_EQ(shellOutput("head -n 1 " + w.parent + ".vantorique-staging/ready"), "version -\n")
        << "the journal of an install with no announced version must say it records none";
    recoverInterruptedInstall(placesIn(w.parent));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(snapshot(w.parent), w.newGame) << "the next start must finish the new game";
    EXPECT_EQ(launcher.version(), "1") << "launcher/version.txt: no version was announced, none may be recorded";
    EXPECT_FALSE(exists(w.parent + ".vantorique-staging")) << ".vantorique-staging: must be gone after the recovery";
}

// A kill while the version file is written (after its sync, before its
// rename) leaves "version.txt.XXXXXX"; the next start records the version
// from the journal and removes the copy.
TEST(InstallRecovery, AKillWhileRecordingTheVersionLeavesNoCopyOfIt)
{
    GameWorld w;
    mkdir(w.parent.c_str(), 0755);
    makeGames(w, kOneFile);
    InLauncherFolder launcher(w);
    pid_t child = fork();
    if (child == 0) {
        static bool swapped = false;
        installStepHook = [](const char *step) { swapped = swapped || strcmp(step, "swapped") == 0; };
        // After the swaps, the first file synced is the version file's copy.
        fsutil_sync_observer = [](int scope, const std::string &) { swapped && scope == SYNC_FILE && raise(SIGKILL); };
        call_context ctx;
        testing::internal::CaptureStdout();
        _exit(installPackage(w.package.c_str(), placesIn(w.parent), &kNewVersion, &ctx) ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the install must be killed while it records the version";
    const std::string left = shellOutput("cd " + launcher.path + " && ls");
    ASSERT_NE(left.find("version.txt."), std::string::npos) << "the kill must leave the version file's copy: " << left;
    testing::internal::CaptureStdout();
    recoverInterruptedInstall(placesIn(w.parent));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(shellOutput("cd " + launcher.path + " && ls"), "version.txt\n")
        << "the launcher's folder after the next start: the copy version.txt.XXXXXX must be gone";
    EXPECT_EQ(launcher.version(), "2") << "launcher/version.txt: recorded from the journal";
    EXPECT_EQ(snapshot(w.parent), w.newGame);
}

// A FIFO where a file of the game, the journal or the package is expected
// is a prankster's, never waited on: the install goes on around it.
TEST(InstallFifo, AFifoInThePlayersFilesNeverBlocks)
{
    struct FifoCase {
        const char *what;
        const char *make;  // shell, in the game's parent folder
        int call;          // 0: install, 1: recovery with that journal, 2: the package's signature, 3: its install
    };
    const FifoCase cases[] = {
        {"a FIFO in the installed game", "mkfifo Vantorique.app/Contents/Resources/pipe", 0},
        {"a FIFO as the journal", "mkdir .vantorique-staging && mkfifo .vantorique-staging/ready", 1},
        {"a FIFO as the downloaded package", "minisign -G -W -p k.pub -s k.sec >/dev/null && echo x > real.zip && "
         "minisign -S -s k.sec -m real.zip -x real.sig -t 'file:vantorique_osx.zip version:2' >/dev/null && "
         "mkfifo fifo.zip", 2},
        {"a FIFO as the package to install", "mkfifo fifo.zip", 3},
    };
    for (const FifoCase &c : cases) {
        GameWorld w;
        mkdir(w.parent.c_str(), 0755);
        makeGames(w, kOneFile);
        InLauncherFolder launcher(w);
        ASSERT_EQ(shellStatus("cd " + w.parent + " && " + c.make), 0) << c.what;
        pid_t child = fork();
        if (child == 0) {
            alarm(20);  // a call that waits on the FIFO is stopped here, and reported below
            testing::internal::CaptureStdout();
            call_context ctx;
            std::string reason;
            if (c.call == 0)
                _exit(installPackage(w.package.c_str(), placesIn(w.parent), &kNewVersion, &ctx) ? 0 : 1);
            if (c.call == 1)
                recoverInterruptedInstall(placesIn(w.parent)), _exit(0);
            if (c.call == 3)
                _exit(!installPackage((w.parent + "fifo.zip").c_str(), placesIn(w.parent), &kNewVersion, &ctx) &&
                              context_failure(&ctx) == FAILURE_DAMAGED
                          ? 0
                          : 1);
            publicKey = shellOutput("tail -n 1 " + w.parent + "k.pub");
            const std::string signature = shellOutput("cat " + w.parent + "real.sig");
            verifyPackage((w.parent + "fifo.zip").c_str(), "vantorique_osx.zip", signature, 2, reason);
            _exit(reason == "the package cannot be read" ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << c.what << ": the call must not wait on the FIFO (a 20-second alarm stopped it)";
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.what << ": the call must go on around the FIFO";
        if (c.call == 0) {
            EXPECT_EQ(shellOutput("stat -c %F " + w.parent + "Vantorique.app/Contents/Resources/pipe"), "fifo\n")
                << c.what << ": the player's own FIFO stays, as an unpack over the game would leave it";
        }
        EXPECT_FALSE(exists(w.parent + ".vantorique-staging")) << c.what << ": no work folder may stay";
    }
}

// A recovery that cannot finish its swaps keeps the journal, so that the next
// start finishes them: an old item cannot be set aside where a non-empty
// folder stands.
TEST(InstallRecovery, KeepsTheJournalWhenItsSwapsFail)
{
    GameWorld w;
    mkdir(w.parent.c_str(), 0755);
    makeGames(w, kOneFile);
    InLauncherFolder launcher(w);
    testing::internal::CaptureStdout();
    killInstallAt(w, "ready", false);
    const std::string staging = w.parent + ".vantorique-staging", obstacle = staging + "/old/Vantorique.app";
    ASSERT_EQ(shellStatus("mkdir -p " + obstacle + "/in-the-way"), 0);
    installForceTwoRenames = true;
    recoverInterruptedInstall(placesIn(w.parent));
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(exists(staging + "/ready")) << ".vantorique-staging/ready: the journal must survive a failed recovery; "
                                            << "it printed: " << printed;
    EXPECT_NE(printed.find("Could not finish an interrupted update"), std::string::npos) << printed;

    ASSERT_EQ(shellStatus("rm -r " + obstacle), 0);
    testing::internal::CaptureStdout();
    recoverInterruptedInstall(placesIn(w.parent));
    testing::internal::GetCapturedStdout();
    installForceTwoRenames = false;
    EXPECT_EQ(snapshot(w.parent), w.newGame) << "the next start must finish the new game from the kept journal";
    EXPECT_EQ(launcher.version(), "2") << "launcher/version.txt: the next start must record the kept journal's version";
}

TEST(VersionFile, AllDigitsNeverThroughALink)
{
    TempDir t;
    const std::string version = t.path + "/version.txt";
    ASSERT_EQ(shellStatus("cd " + t.path + " && printf keep > elsewhere && ln -s elsewhere version.txt"), 0);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(writeVersionFile(version.c_str(), 1234567));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Opened File\n");
    EXPECT_EQ(shellOutput("cd " + t.path + " && find . -printf '%p %y\\n' | sort && cat version.txt elsewhere"),
              ". d\n./elsewhere f\n./version.txt f\n1234567keep");
}

}  // namespace
