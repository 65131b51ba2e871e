// The three workers against a real HTTP server on 127.0.0.1, and the local
// version file. Workers run synchronously here: they are plain routines.
#include "helpers.h"
#include "http_server.h"
#include "install.h"
#include "state.h"
#include "ziputil.h"

#include <chrono>

using namespace testutil;

namespace {

const char kManifest[] = "/vantorique/autoupdate/version.txt";
const char kPackage[] = "/vantorique/autoupdate/vantorique_osx.zip";
const char kSignature[] = "/vantorique/autoupdate/vantorique_osx.zip.minisig";

std::string bytes(size_t n)  // NUL bytes included
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = char(i * 31 % 251);
    return s;
}

double secondsOf(const std::function<void()> &run)
{
    auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class Workers : public testing::Test {
protected:
    void SetUp() override
    {
        resetLauncherState();
        publicKey.clear();
        server.start();
        updateHost = "127.0.0.1";
        updatePort = server.port;
        ASSERT_EQ(mkdir((dir / "launcher").c_str(), 0755), 0);
        ASSERT_EQ(chdir((dir / "launcher").c_str()), 0);
    }
    void TearDown() override { EXPECT_EQ(chdir("/"), 0); }

    // One run of the download worker: its failure reason, "" on success.
    std::string download()
    {
        resetLauncherState();
        ThreadDownloadFunc(nullptr);
        EXPECT_TRUE(downloadComplete);
        EXPECT_EQ(downloadSuccess, downloadFailure.empty());
        return downloadFailure;
    }

    ScratchDir dir;
    HttpServer server;
};

}  // namespace

TEST(Manifest, PiecesAndTheirExtents)
{
    struct Case {
        std::string body;
        int version;
        std::string log;
    } cases[] = {
        {"12~line one\nline two`\n", 12, "line one\nline two"}, {"12~`", 12, ""}, {"12~no grave\n", 12, "no grave\n"},
        {"12`~after", 12, "after"}, {"12`no tilde", 12, "12"}, {"12 and nothing else", 12, "12 and nothing else"},
        {"   7~x`", 7, "x"}, {"12\r\n~x`", 12, "x"}, {"abc~x`", 0, "x"}, {"", 0, ""},
        {std::string("12~be\0fore`", 11), 12, "be"}, {"+5~a~b`c`", 5, "a~b"}, {"99999999999~big`", 0, "big"},
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

TEST(VersionFile, ReadsTheFirstTenBytesAndWritesWholeNumbers)
{
    ScratchDir dir;
    const std::string file = dir / "version.txt";
    std::pair<std::string, int> cases[] = {{"12", 12}, {"12abc", 12}, {"12345678901", 1234567890}, {"", 0},
                                           {" 42\n", 42}, {"9999999999", 0}, {"abc", 0}};
    for (const auto &c : cases) {
        write_file(file, c.first);
        EXPECT_EQ(readVersionFile(file.c_str()), c.second) << c.first;
    }
    EXPECT_EQ(readVersionFile((dir / "missing").c_str()), 0);
    EXPECT_EQ(qto_string(0.5), "0.5");
    EXPECT_TRUE(writeVersionFile(file.c_str(), 1234567));
    EXPECT_EQ(read_file(file), "1234567");
}

TEST_F(Workers, CheckOutcomes)
{
    struct Case {
        int installed, status;
        std::string manifest;
        bool available, error;
        int announced;
        std::string log;
    } cases[] = {
        {11, 200, "12~line one\nline two`\n", true, false, 12, "line one\nline two"},
        {12, 200, "12~same`", false, false, 12, "untouched"},
        {13, 200, "12~older`", false, false, 12, "untouched"},
        {0, 200, "1~first install`", true, false, 1, "first install"},
        {5, 200, "", false, false, 0, "untouched"},
        {3, 404, "12~x`", false, true, 1234567, "untouched"},
        {3, 500, "12~x`", false, true, 1234567, "untouched"},
        {3, 200, "12~" + std::string((1 << 20) + 10, 'x') + "`", false, true, 1234567, "untouched"},  // too big
    };
    for (const Case &c : cases) {
        resetLauncherState();
        updateText = "untouched";
        vantoriqueVersion = c.installed;
        server.set(kManifest, Answer{c.status, c.manifest});
        ThreadCheckFunc(nullptr);
        EXPECT_TRUE(doneCheckUpdating) << c.manifest;
        EXPECT_EQ(updateAvailable, c.available) << c.manifest;
        EXPECT_EQ(updatingError, c.error) << c.manifest;
        EXPECT_EQ(updatedVantoriqueVersion, c.announced) << c.manifest;
        EXPECT_EQ(updateText, c.log) << c.manifest;
    }
    // A server that accepts and never answers: the 2-second limit covers it all.
    server.set(kManifest, Answer{200, "", -1, "", std::string::npos, Answer::kSilent});
    resetLauncherState();
    double seconds = secondsOf([] { ThreadCheckFunc(nullptr); });
    EXPECT_TRUE(updatingError && doneCheckUpdating);
    EXPECT_LT(seconds, 3.0);
    server.stop();  // nobody listening at all
    resetLauncherState();
    ThreadCheckFunc(nullptr);
    EXPECT_TRUE(updatingError);
}

TEST_F(Workers, DownloadOutcomes)
{
    const std::string body = bytes(3000000);
    const long long size = (long long)body.size();
    struct Case {
        Answer answer;
        std::string reason;  // "" for success
    } cases[] = {
        {{200, body}, ""},
        {{404, "gone"}, "The server has no package"},
        {{500, ""}, "The server answered 500"},
        {{200, body, size + 1000}, "Connection lost"},  // cut short, no validator: nothing kept
        {{200, body, size - 10}, "The package is larger than announced"},
        {{200, "x", 1LL << 60}, "Disk full"},
        {{200, ""}, ""},
    };
    for (const Case &c : cases) {
        write_file("vantorique_osx.zip", "earlier package");
        server.set(kPackage, c.answer);
        EXPECT_EQ(download(), c.reason);
        EXPECT_EQ(read_file("vantorique_osx.zip"), c.reason.empty() ? c.answer.body : "earlier package") << c.reason;
        EXPECT_FALSE(exists("vantorique_osx.zip.part")) << c.reason;
        if (c.reason.empty())
            EXPECT_EQ(downloadBytesDone + downloadBytesTotal, 2 * (long long)c.answer.body.size());
    }
    ASSERT_EQ(mkdir("vantorique_osx.zip.part", 0755), 0);  // what cannot be replaced is not written through
    EXPECT_EQ(download(), "Cannot write the package");
    rmdir("vantorique_osx.zip.part");
    server.stop();
    EXPECT_EQ(download(), "No answer from the server");
}

TEST_F(Workers, BrokenDownloadResumesWhereItStopped)
{
    const std::string v1 = bytes(2000000), v2 = bytes(1500000) + "v2";
    server.set(kPackage, Answer{200, v1, -1, "\"v1\"", 700000});
    EXPECT_EQ(download(), "Connection lost");
    EXPECT_EQ(read_file("vantorique_osx.zip.part"), v1.substr(0, 700000));
    EXPECT_EQ(download(), "");  // 206: the rest appended
    EXPECT_EQ(HttpServer::header(server.requests.back(), "Range"), "bytes=700000-");
    EXPECT_EQ(HttpServer::header(server.requests.back(), "If-Range"), "\"v1\"");
    EXPECT_EQ(read_file("vantorique_osx.zip"), v1);

    // The package changed meanwhile: the whole new one comes (200) and replaces the .part.
    server.set(kPackage, Answer{200, v1, -1, "\"v1\"", 700000});
    EXPECT_EQ(download(), "Connection lost");
    server.set(kPackage, Answer{200, v2, -1, "\"v2\""});
    EXPECT_EQ(download(), "");
    EXPECT_EQ(read_file("vantorique_osx.zip"), v2);

    // A .part that is a link is never followed, not even to resume.
    write_file(dir / "outside", "keep");
    ASSERT_EQ(symlink((dir / "outside").c_str(), "vantorique_osx.zip.part"), 0);
    write_file("vantorique_osx.zip.part.validator", "\"v2\"");
    EXPECT_EQ(download(), "");
    EXPECT_EQ(read_file(dir / "outside"), "keep");
    EXPECT_EQ(read_file("vantorique_osx.zip"), v2);
    EXPECT_FALSE(exists("vantorique_osx.zip.part") || exists("vantorique_osx.zip.part.validator"));
}

TEST_F(Workers, SignatureIsFetchedWithAKeyAndBounded)
{
    server.set(kPackage, Answer{200, "package"});
    EXPECT_EQ(download(), "");
    EXPECT_EQ(server.hits_of(kSignature), 0);  // no key: nothing to check against
    publicKey = "RWQf6LRCGA9i53mlYecO4IzT51TGPpvWucNSCh1CBM0QTaLn73Y7GFO3";
    for (const Answer &signature : {Answer{404, ""}, Answer{200, std::string(4097, 'x')}}) {
        server.set(kSignature, signature);
        EXPECT_EQ(download(), "Signature check failed");
        EXPECT_FALSE(exists("vantorique_osx.zip"));
    }
    EXPECT_EQ(server.hits_of(kSignature), 2);
}

TEST_F(Workers, DownloadStopsWhenTheLauncherEnds)
{
    server.set(kPackage, Answer{200, "never sent", -1, "", std::string::npos, Answer::kSilentAfterHeaders});
    std::thread stopper([this] {
        while (server.hits_of(kPackage) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        abortTransfers = true;
    });
    double seconds = secondsOf([] { ThreadDownloadFunc(nullptr); });
    stopper.join();
    EXPECT_FALSE(downloadSuccess);
    EXPECT_LT(seconds, 5.0);
    EXPECT_FALSE(exists("vantorique_osx.zip") || exists("vantorique_osx.zip.part"));
}

TEST_F(Workers, UnpackWorkerInstallsThePackageAndRemovesIt)
{
    ASSERT_EQ(run("mkdir -p " + quote(dir / "pkg/Vantorique.app/Contents/MacOS")), 0);
    write_file(dir / "pkg/Vantorique.app/Contents/MacOS/Vantorique", "#!/bin/sh\necho 2\n", 0755);
    ASSERT_EQ(compress_path((dir / "pkg/Vantorique.app").c_str(), "vantorique_osx.zip", 6), 1);
    for (bool good : {true, false}) {
        if (!good)
            write_file("vantorique_osx.zip", "not a zip at all");
        resetLauncherState();
        testing::internal::CaptureStdout();
        ThreadUnzipFunc(nullptr);
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(unzipComplete);
        EXPECT_EQ(unzipSuccess, good);
        EXPECT_EQ(unzipFailure.empty(), good);
        EXPECT_FALSE(exists("vantorique_osx.zip"));
    }
    EXPECT_EQ(read_file(dir / "Vantorique.app/Contents/MacOS/Vantorique"), "#!/bin/sh\necho 2\n");
}
