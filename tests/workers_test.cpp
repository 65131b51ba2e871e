// The three workers against a real HTTP server on 127.0.0.1, and the local
// version file. Workers run synchronously here: they are plain routines.
#include "helpers.h"
#include "http_server.h"
#include "state.h"
#include "ziputil.h"

#include <chrono>

using namespace testutil;

namespace {

const char kManifest[] = "/vantorique/autoupdate/version.txt";
const char kPackage[] = "/vantorique/autoupdate/vantorique_osx.zip";

class Workers : public testing::Test {
protected:
    void SetUp() override
    {
        resetLauncherState();
        updateText = "untouched";
        server.start();
        ASSERT_GT(server.port, 0);
        updateHost = "127.0.0.1";
        updatePort = server.port;
        ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
        chmod(dir.path.c_str(), 0755);
        ASSERT_EQ(mkdir((dir / "launcher").c_str(), 0755), 0);
        ASSERT_EQ(chdir((dir / "launcher").c_str()), 0);
    }
    void TearDown() override
    {
        server.stop();
        EXPECT_EQ(chdir(old_cwd), 0);
    }

    void check(int installed, const std::string &manifest, int status = 200)
    {
        resetLauncherState();
        updateText = "untouched";
        vantoriqueVersion = installed;
        server.set(kManifest, Answer{status, manifest, Answer::kNone});
        ThreadCheckFunc(nullptr);
        EXPECT_TRUE(doneCheckUpdating);
    }

    ScratchDir dir;
    HttpServer server;
    char old_cwd[4096];
};

}  // namespace

TEST(Manifest, PiecesAndTheirExtents)
{
    struct Case {
        std::string body;
        int version;
        std::string log;
    } cases[] = {
        {"12~line one\nline two`\n", 12, "line one\nline two"},
        {"12~`", 12, ""},
        {"12~no grave\n", 12, "no grave\n"},
        {"12`~after", 12, "after"},
        {"12`no tilde", 12, "12"},
        {"12 and nothing else", 12, "12 and nothing else"},
        {"   7~x`", 7, "x"},
        {"12\r\n~x`", 12, "x"},
        {"abc~x`", 0, "x"},
        {"", 0, ""},
        {std::string("12~be\0fore`", 11), 12, "be"},
        {"+5~a~b`c`", 5, "a~b"},
        {"99999999999~big`", 0, "big"},
        {"-3~neg`", -3, "neg"},
    };
    for (const Case &c : cases) {
        int version = -99;
        std::string log;
        parseManifest(c.body, version, log);
        EXPECT_EQ(version, c.version) << c.body;
        EXPECT_EQ(log, c.log) << c.body;
    }
}

TEST(VersionFile, ReadsTheFirstTenBytesByAtoiRules)
{
    ScratchDir dir;
    struct Case {
        std::string content;
        int version;
    } cases[] = {{"12", 12}, {"12abc", 12}, {"12345678901", 1234567890}, {"", 0}, {" 42\n", 42},
                 {"9999999999", 0}, {"abc", 0}};
    for (const Case &c : cases) {
        write_file(dir / "version.txt", c.content);
        EXPECT_EQ(readVersionFile((dir / "version.txt").c_str()), c.version) << c.content;
    }
    EXPECT_EQ(readVersionFile((dir / "missing.txt").c_str()), 0);
}

TEST(VersionFile, WholeVersionsAreWrittenWithAllTheirDigits)
{
    EXPECT_EQ(qto_string(0), "0");
    EXPECT_EQ(qto_string(42), "42");
    EXPECT_EQ(qto_string(999999), "999999");
    EXPECT_EQ(qto_string(1000000), "1000000");
    EXPECT_EQ(qto_string(1234567), "1234567");
    EXPECT_EQ(qto_string(2147483647), "2147483647");
    EXPECT_EQ(qto_string(0.5), "0.5");
    ScratchDir dir;
    write_file(dir / "version.txt", "11 and some old junk");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(writeVersionFile((dir / "version.txt").c_str(), 1234567));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Opened File\n");
    EXPECT_EQ(read_file(dir / "version.txt"), "1234567");
    EXPECT_EQ(readVersionFile((dir / "version.txt").c_str()), 1234567);
}

TEST_F(Workers, CheckOutcomes)
{
    check(11, "12~line one\nline two`\n");
    EXPECT_EQ(updatedVantoriqueVersion, 12);
    EXPECT_EQ(updateText, "line one\nline two");
    EXPECT_TRUE(updateAvailable);
    EXPECT_FALSE(updatingError);
    EXPECT_TRUE(versionAnnounced);

    check(12, "12~same`");
    EXPECT_EQ(updatedVantoriqueVersion, 12);
    EXPECT_EQ(updateText, "untouched");
    EXPECT_FALSE(updateAvailable);
    EXPECT_FALSE(updatingError);

    check(13, "12~older`");
    EXPECT_FALSE(updateAvailable);
    check(0, "1~first install`");
    EXPECT_TRUE(updateAvailable);
    check(5, "");
    EXPECT_EQ(updatedVantoriqueVersion, 0);
    EXPECT_FALSE(updateAvailable);
    EXPECT_FALSE(updatingError);
    check(5, "99999999999~overflow`");
    EXPECT_FALSE(updateAvailable);
    EXPECT_EQ(server.hits_of(kManifest), 6);
}

TEST_F(Workers, CheckFailures)
{
    for (int status : {404, 500}) {
        check(3, "12~x`", status);
        EXPECT_TRUE(updatingError) << status;
        EXPECT_FALSE(updateAvailable);
        EXPECT_EQ(updatedVantoriqueVersion, 1234567);
        EXPECT_EQ(updateText, "untouched");
        EXPECT_FALSE(versionAnnounced);
    }
    // More than a manifest can be.
    check(3, "12~" + std::string((1 << 20) + 10, 'x') + "`");
    EXPECT_TRUE(updatingError);

    // A server that accepts and never answers: the 2-second limit covers it all.
    server.set(kManifest, Answer{200, "", Answer::kSilent});
    resetLauncherState();
    auto start = std::chrono::steady_clock::now();
    ThreadCheckFunc(nullptr);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(updatingError);
    EXPECT_TRUE(doneCheckUpdating);
    EXPECT_LT(seconds, 3.0);
    EXPECT_GE(seconds, 1.5);

    // Nobody listening at all.
    server.stop();
    check(3, "12~x`");
    EXPECT_TRUE(updatingError);
}

TEST_F(Workers, DownloadSavesTheWholeBody)
{
    std::string body;
    for (int i = 0; i < 3000000; i++)
        body += char(i * 31 % 251);  // NUL bytes included
    server.set(kPackage, Answer{200, body, Answer::kNone});
    ThreadDownloadFunc(nullptr);
    EXPECT_TRUE(downloadComplete);
    EXPECT_TRUE(downloadSuccess);
    EXPECT_EQ(read_file("vantorique_osx.zip"), body);
    EXPECT_FALSE(exists("vantorique_osx.zip.part"));

    resetLauncherState();
    server.set(kPackage, Answer{200, "", Answer::kNone});
    ThreadDownloadFunc(nullptr);
    EXPECT_TRUE(downloadSuccess);
    EXPECT_TRUE(exists("vantorique_osx.zip"));
    EXPECT_EQ(read_file("vantorique_osx.zip"), "");
}

TEST_F(Workers, FailedDownloadsLeaveTheEarlierPackageAlone)
{
    struct Case {
        const char *what;
        Answer answer;
    } cases[] = {
        {"404", Answer{404, "gone", Answer::kNone}},
        {"500", Answer{500, "", Answer::kNone}},
        {"truncated", Answer{200, std::string(100000, 'z'), Answer::kTruncate}},
    };
    for (const Case &c : cases) {
        write_file("vantorique_osx.zip", "earlier package");
        resetLauncherState();
        server.set(kPackage, c.answer);
        ThreadDownloadFunc(nullptr);
        EXPECT_TRUE(downloadComplete) << c.what;
        EXPECT_FALSE(downloadSuccess) << c.what;
        EXPECT_EQ(read_file("vantorique_osx.zip"), "earlier package") << c.what;
        EXPECT_FALSE(exists("vantorique_osx.zip.part")) << c.what;
    }
}

TEST_F(Workers, DownloadStopsWhenTheLauncherEnds)
{
    server.set(kPackage, Answer{200, "never sent", Answer::kSilentAfterHeaders});
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        abortTransfers = true;
    });
    auto start = std::chrono::steady_clock::now();
    ThreadDownloadFunc(nullptr);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stopper.join();
    EXPECT_FALSE(downloadSuccess);
    EXPECT_LT(seconds, 2.5);
    EXPECT_FALSE(exists("vantorique_osx.zip"));
    EXPECT_FALSE(exists("vantorique_osx.zip.part"));
}

TEST_F(Workers, DownloadIntoReadOnlyFolderFails)
{
    // The check below forks: no server thread may be running then.
    server.stop();
    HttpServer own;
    own.set(kPackage, Answer{200, "package", Answer::kNone});
    own.start_process();
    updatePort = own.port;
    ASSERT_EQ(chmod(".", 0555), 0);
    int rc = run_unprivileged([] {
        ThreadDownloadFunc(nullptr);
        return (downloadComplete ? 1 : 0) + (downloadSuccess ? 2 : 0);
    });
    chmod(".", 0755);
    EXPECT_EQ(rc, 1);  // complete, not successful
    EXPECT_FALSE(exists("vantorique_osx.zip"));
}

TEST_F(Workers, UnpackWorkerInstallsThePackageAndRemovesIt)
{
    run("mkdir -p " + quote(dir / "pkg/Vantorique.app/Contents/MacOS"));
    write_file(dir / "pkg/Vantorique.app/Contents/MacOS/Vantorique", "#!/bin/sh\necho 2\n", 0755);
    ASSERT_EQ(compress_path((dir / "pkg/Vantorique.app").c_str(), "vantorique_osx.zip", 6), 1);
    testing::internal::CaptureStdout();
    ThreadUnzipFunc(nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(unzipComplete);
    EXPECT_TRUE(unzipSuccess);
    EXPECT_EQ(read_file(dir / "Vantorique.app/Contents/MacOS/Vantorique"), "#!/bin/sh\necho 2\n");
    EXPECT_EQ(mode_of(dir / "Vantorique.app/Contents/MacOS/Vantorique") & 0777, 0755u);
    EXPECT_FALSE(exists("vantorique_osx.zip"));

    resetLauncherState();
    write_file("vantorique_osx.zip", "not a zip at all");
    testing::internal::CaptureStdout();
    ThreadUnzipFunc(nullptr);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(unzipComplete);
    EXPECT_FALSE(unzipSuccess);
    EXPECT_FALSE(exists("vantorique_osx.zip"));
}
