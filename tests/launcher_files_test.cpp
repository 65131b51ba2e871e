// The launcher's own files: the manifest's pieces, the version file, the
// launcher's folder and the support log's limits.
#include "helpers.h"
#include "home.h"
#include "log.h"
#include "state.h"
#include "version.h"
#include "workers.h"

#include <unistd.h>

using namespace testutil;

TEST(Manifest, PiecesAndTheirExtents)
{
    const std::tuple<std::string, int, std::string> cases[] = {  // manifest, version, change log
        {"12~line one\nline two`\n", 12, "line one\nline two"}, {"12~`", 12, ""}, {"12~no grave\n", 12, "no grave\n"},
        {"12`~after", 12, "after"}, {"12`no tilde", 12, "12"}, {"12 and nothing else", 12, "12 and nothing else"},
        {"   7~x`", 7, "x"}, {"12\r\n~x`", 12, "x"}, {"abc~x`", 0, "x"}, {"", 0, ""}, {"-3~neg`", -3, "neg"},
        {std::string("12~be\0fore`", 11), 12, "be"}, {"+5~a~b`c`", 5, "a~b"}, {"99999999999~big`", 0, "big"}};
    for (const auto &[body, version, log] : cases) {
        int parsedVersion = -99;
        std::string parsedLog;
        parseManifest(body, parsedVersion, parsedLog);
        EXPECT_EQ(parsedVersion, version) << body;
        EXPECT_EQ(parsedLog, log) << body;
    }
}

TEST(VersionFile, ReadsTheFirstTenBytes)
{
    ScratchDir dir;
    const std::string file = dir / "version.txt";
    for (auto c : std::map<std::string, int>{{"12", 12}, {"12abc", 12}, {"12345678901", 1234567890}, {"", 0},
                                              {" 42\n", 42}, {"9999999999", 0}, {"abc", 0}}) {
        write_file(file, c.first);
        EXPECT_EQ(readVersionFile(file.c_str()), c.second) << c.first;
    }
    EXPECT_EQ(readVersionFile((dir / "missing").c_str()), 0);
}

// Only a regular file of ours counts; what a prankster puts in its place
// reads as no version, at once.
TEST(VersionFile, AnythingButARegularFileReadsAsNoVersion)
{
    ScratchDir dir;
    const std::string file = dir / "version.txt";
    write_file(dir / "elsewhere", "12");
    const std::pair<std::string, std::string> cases[] = {
        {"a FIFO", "mkfifo " + quote(file)}, {"a link", "ln -s elsewhere " + quote(file)},
        {"a folder", "mkdir " + quote(file)}};
    for (const auto &[what, make] : cases) {
        ASSERT_EQ(run("rm -rf " + quote(file) + " && " + make), 0) << what;
        pid_t child = fork();
        if (child == 0) {
            alarm(5);  // a read that waits is stopped here, and reported below
            _exit(readVersionFile(file.c_str()));
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status)) << "version.txt as " << what
                                       << ": readVersionFile must not wait (a 5-second alarm stopped it)";
        EXPECT_EQ(WEXITSTATUS(status), 0) << "version.txt as " << what << " must read as no version";
    }
}

TEST(LauncherFolder, TheExecutablesOrTheOneThatHoldsItsBundle)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/home/p/Games/launcher/vantorique-updater", "/home/p/Games/launcher"},
        {"/Users/p/Games/launcher/Vantorique Updater.app/Contents/MacOS/vantorique-updater", "/Users/p/Games/launcher"},
        {"/Updater.app/Contents/MacOS/vantorique-updater", "/"}, {"/vantorique-updater", "/"},
        {"/Games/launcher/Contents/MacOS/vantorique-updater", "/Games/launcher/Contents/MacOS"},  // no bundle
        // A release the launcher took runs from "app/N/" and works in the launcher's folder.
        {"/home/p/Games/launcher/app/12/vantorique-updater", "/home/p/Games/launcher"},
        {"/Users/p/Games/launcher/app/3/Launcher.app/Contents/MacOS/vantorique-updater", "/Users/p/Games/launcher"},
        {"/app/2/vantorique-updater", "/"},
        {"/Games/app/x2/vantorique-updater", "/Games/app/x2"}, {"/Games/myapp/2/vantorique-updater", "/Games/myapp/2"},
        {"", ""}};
    for (const auto &[executable, folder] : cases)
        EXPECT_EQ(launcherFolderOf(executable), folder) << executable;
}

// The support log keeps the last 5 runs, one line per event, and nothing is
// written before a launcher starts it.
TEST(SupportLog, LastRunsOneLineAnEvent)
{
    ScratchDir dir;
    char home[4096];
    ASSERT_TRUE(getcwd(home, sizeof home));
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    write_file("launcher.log", "not a run of ours\n");
    for (int run = 1; run <= 7; run++) {
        startSupportLog();
        logLine("run %d: Signature check failed\nit was made with another key", run);
    }
    const std::string log = read_file("launcher.log");
    ASSERT_EQ(chdir(home), 0);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 10) << "5 runs of two lines each:\n" << log;
    EXPECT_EQ(log.find("not a run of ours"), std::string::npos) << log;
    EXPECT_EQ(log.find("run 2:"), std::string::npos) << "runs 1 and 2 must be gone:\n" << log;
    EXPECT_NE(log.find(" UTC run 7: Signature check failed it was made with another key\n"), std::string::npos) << log;
    EXPECT_EQ(log.compare(0, 21, "=== launcher started "), 0) << log;
}


TEST(SupportLog, ARunLogsExactly256KiB)
{
    ScratchDir dir;
    char home[4096];
    ASSERT_TRUE(getcwd(home, sizeof home));
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    startSupportLog();
    // A line is the time (23 bytes), a space, the text and a line break.
    const size_t kCap = 256 * 1024, kLine = 1000;
    for (size_t i = 0; i < kCap / kLine; i++)
        logLine("%s", std::string(kLine - 25, 'a').c_str());
    logLine("%s", std::string(kCap % kLine - 25 - 4, 'b').append("last").c_str());
    const std::string atCap = read_file("launcher.log");
    logLine("one byte past");
    logLine("and after");
    const std::string past = read_file("launcher.log");
    ASSERT_EQ(chdir(home), 0);
    const size_t mark = atCap.find('\n') + 1;  // the run's first line is not counted
    EXPECT_EQ(atCap.size() - mark, kCap) << "the lines of a run that logged exactly 256 KiB";
    EXPECT_NE(atCap.find("blast\n"), std::string::npos) << "the line that reaches 256 KiB exactly must be logged";
    EXPECT_EQ(atCap.find("logged too much"), std::string::npos) << "at exactly 256 KiB nothing is left out yet";
    EXPECT_NE(past.find(" UTC (this run logged too much; the rest is left out)\n"), std::string::npos)
        << "one line past 256 KiB must be replaced by the note";
    EXPECT_EQ(past.find("one byte past"), std::string::npos) << "the line past the cap must not be logged";
    EXPECT_EQ(past.find("and after"), std::string::npos) << "nothing after the note";
}

TEST(SupportLog, KeepsExactlyFiveRuns)
{
    ScratchDir dir;
    char home[4096];
    ASSERT_TRUE(getcwd(home, sizeof home));
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    std::string afterFive, afterSix;
    for (int run = 1; run <= 6; run++) {
        startSupportLog();
        logLine("run %d", run);
        (run == 5 ? afterFive : afterSix) = read_file("launcher.log");
    }
    ASSERT_EQ(chdir(home), 0);
    EXPECT_NE(afterFive.find(" UTC run 1\n"), std::string::npos) << "after 5 runs, the first must still be there:\n"
                                                                 << afterFive;
    EXPECT_EQ(afterSix.find(" UTC run 1\n"), std::string::npos) << "after 6 runs, the first must be gone:\n" << afterSix;
    EXPECT_NE(afterSix.find(" UTC run 2\n"), std::string::npos) << "after 6 runs, the second must stay:\n" << afterSix;
}
