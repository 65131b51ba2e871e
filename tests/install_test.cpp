// Packages only from their publisher, installs that land whole or not at all:
// signatures from the real minisign, packages from Info-ZIP, a real small
// disk, real kills of a real process.
#include "install.h"
#include "signature.h"
#include "version.h"
#include "ziputil.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

std::string run(const std::string &command)
{
    std::string out;
    char buffer[4096];
    FILE *pipe = popen(command.c_str(), "r");
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

int sh(const std::string &command)
{
    return system(command.c_str());
}

struct TempDir {
    std::string path = run("mktemp -d | tr -d '\\n'");
    ~TempDir() { sh("umount -q " + path + "/parent 2>/dev/null; rm -rf " + path); }
};

// Every entry below a folder: name, type, mode, link target, and the bytes' hash.
std::string snapshot(const std::string &root)
{
    return run("cd " + root + " && find . -printf '%p %y %m %l\\n' | sort && find . -type f -print0 | sort -z | xargs -0r sha1sum");
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
    static int made = sh("cd " + keyFolder.path + " && minisign -G -W -p a.pub -s a.sec >/dev/null && " +
                         "minisign -G -W -p b.pub -s b.sec >/dev/null");
    ASSERT_EQ(made, 0) << "minisign missing? scripts/install-deps";
    const std::string keys = keyFolder.path + "/";
    TempDir t;
    const std::string package = t.path + "/vantorique_osx.zip", tampering = c.tampering;
    const std::string signer = c.signer[0] == '-' ? "a" : c.signer;
    ASSERT_EQ(sh("head -c 100000 /dev/urandom > " + package + " && minisign -S " + c.flags + " -s " + keys + signer +
                 ".sec -m " + package + " -t '" + c.comment + "' >/dev/null"), 0);
    std::string signature = run("cat " + package + ".minisig");
    if (tampering == "tamper")
        sh("printf x >> " + package);
    if (tampering == "garbage")
        signature = "untrusted comment: x\nnot base64 at all\ntrusted comment: y\n!!!\n";
    if (tampering == "truncate")
        signature.resize(signature.find("trusted comment:", 20));
    if (tampering == "edit")
        signature.replace(signature.find("version:1"), 9, "version:2");
    publicKey = c.signer[0] == '-' ? "" : run("tail -n 1 " + keys + "a.pub");

    std::string reason;
    testing::internal::CaptureStdout();
    bool verified = verifyPackage(package.c_str(), signature, 2, reason);
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
    const char *extra;    // shell, in the new game's Resources folder
    const char *killAt;   // a step of installPackage, "unpacking" (mid-unpack), or null
    bool smallDisk;       // a 2 MB tmpfs
    const char *outcome;  // old, new, either
    const char *reason;
};

const char kOneFile[] = "head -c 32768 /dev/urandom > new100.dat";
const InstallCase kInstallCases[] = {
    {"good_package", kOneFile, nullptr, false, "new", ""},
    {"CRC_bad_entry", "printf CRCFAULT%.0s $(seq 64) > zz.txt", nullptr, false, "old", "The package is damaged"},
    {"refused_entry", "ln -s /etc escape", nullptr, false, "old", "The package is damaged"},
    {"disk_full", "head -c 3000000 /dev/urandom > big.dat", nullptr, true, "old", "Disk full"},
    {"kill_while_unpacking", "for i in $(seq 400); do head -c 32768 /dev/urandom > new$i.dat; done", "unpacking",
     false, "either", ""},
    {"kill_after_the_unpack", kOneFile, "unpacked", false, "old", ""},
    {"kill_after_the_carry_over", kOneFile, "merged", false, "old", ""},
    {"kill_with_the_journal_written", kOneFile, "ready", false, "new", ""},
    {"kill_between_two_swaps", kOneFile, "swapped", false, "new", ""},
    {"kill_while_removing_the_old_game", kOneFile, "installed", false, "new", ""},
};

void PrintTo(const InstallCase &c, std::ostream *out) { *out << c.name; }
const char *killStep;

class Install : public testing::TestWithParam<InstallCase> {};

TEST_P(Install, TheGameIsTheWholeOldOrTheWholeNewVersion)
{
    const InstallCase &c = GetParam();
    TempDir t;
    const std::string parent = t.path + "/parent/", package = t.path + "/vantorique_osx.zip";
    mkdir(parent.c_str(), 0755);
    if (c.smallDisk && mount("tmpfs", parent.c_str(), "tmpfs", 0, "size=2m") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs (needs root): " << strerror(errno);
    ASSERT_EQ(sh("cd " + parent + " && " + kOldGame), 0);
    ASSERT_EQ(sh("mkdir " + t.path + "/new && cd " + t.path + "/new && " + kNewGame + c.extra +
                 " && cd ../../.. && zip -qry0 " + package + " Readme.txt Vantorique.app && " +
                 "perl -0777 -pi -e 's/CRCFAULT/CRCFAULU/' " + package), 0);  // stored: the entry's CRC no longer fits
    const std::string oldGame = snapshot(parent);
    // The new game: what unpacking over a copy of the old one gives.
    ASSERT_EQ(sh("cp -a " + parent + " " + t.path + "/overlay"), 0);
    testing::internal::CaptureStdout();
    decompress_path(package.c_str(), (t.path + "/overlay/").c_str());
    const std::string newGame = snapshot(t.path + "/overlay/");

    std::string reason;
    if (c.killAt) {
        pid_t child = fork();
        if (child == 0) {
            killStep = c.killAt;
            installStepHook = [](const char *step) { strcmp(step, killStep) == 0 && raise(SIGKILL); };
            _exit(installPackage(package.c_str(), parent.c_str(), reason) ? 0 : 1);
        }
        int status = 0;
        const std::string midUnpack = parent + ".vantorique-staging/new/Vantorique.app/Contents/Resources/new100.dat";
        while (waitpid(child, &status, WNOHANG) == 0)
            if (strcmp(c.killAt, "unpacking") == 0 && access(midUnpack.c_str(), F_OK) == 0)
                kill(child, SIGKILL);
        EXPECT_TRUE(WIFSIGNALED(status) || strcmp(c.killAt, "unpacking") == 0);
        recoverInterruptedInstall(parent.c_str());
    } else {
        EXPECT_EQ(installPackage(package.c_str(), parent.c_str(), reason), c.reason[0] == 0);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(reason, c.reason);
    const std::string after = snapshot(parent), outcome = c.outcome;
    if (outcome != "either") {
        EXPECT_EQ(after, outcome == "old" ? oldGame : newGame) << "not the whole " << outcome << " game";
    }
    EXPECT_TRUE(after == oldGame || after == newGame) << "old and new files mixed, or leftovers:\n" << after;
    EXPECT_EQ(sh(parent + "Vantorique.app/Contents/MacOS/Vantorique >/dev/null"), 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, Install, testing::ValuesIn(kInstallCases), caseName<InstallCase>);

TEST(VersionFile, AllDigitsNeverThroughALink)
{
    TempDir t;
    const std::string version = t.path + "/version.txt";
    ASSERT_EQ(sh("cd " + t.path + " && printf keep > elsewhere && ln -s elsewhere version.txt"), 0);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(writeVersionFile(version.c_str(), 1234567));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Opened File\n");
    EXPECT_EQ(run("cd " + t.path + " && find . -printf '%p %y\\n' | sort && cat version.txt elsewhere"),
              ". d\n./elsewhere f\n./version.txt f\n1234567keep");
}

}  // namespace
