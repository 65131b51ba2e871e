// The three workers against a real HTTP server on 127.0.0.1. Workers run
// synchronously here: they are plain routines.
#include "helpers.h"
#include "home.h"
#include "http_server.h"
#include "worker_fixture.h"
#include "log.h"
#include "signing.h"
#include "signature.h"
#include "state.h"
#include "version.h"
#include "workers.h"
#include "ziputil.h"

#include <signal.h>
#include <sys/wait.h>
#include <zlib.h>

#include <chrono>

using namespace testutil;

namespace {

const char kManifest[] = "/vantorique/autoupdate/version.txt";
const char kPackage[] = "/vantorique/autoupdate/vantorique_osx.zip";
const char kSignature[] = "/vantorique/autoupdate/vantorique_osx.zip.minisig";
const char kManifestSignature[] = "/vantorique/autoupdate/version.txt.minisig";

std::string bytes(size_t n)  // NUL bytes included
{
    std::string s;
    while (s.size() < n)
        s += char(s.size() * 31 % 251);
    return s;
}

// `data` as a gzip stream, as a CDN that compresses answers sends it.
std::string gzipped(const std::string &data)
{
    z_stream z = {};
    std::string out(compressBound(uLong(data.size())) + 64, '\0');
    deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    z.next_in = (Bytef *)data.data(), z.avail_in = uInt(data.size());
    z.next_out = (Bytef *)&out[0], z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

double secondsOf(void (*worker)(void *))
{
    auto start = std::chrono::steady_clock::now();
    worker(nullptr);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class Workers : public WorkerFixture {};

}  // namespace

TEST_F(Workers, CheckOutcomes)
{
    struct CheckCase {
        int installed;
        int status;  // 1: a head, then silence; 0: nobody listening
        std::string manifest;
        bool offered, failed;  // what the check leaves: an update offered, a failure
        std::string failure = "FAILURE_NONE";  // its kind and line, for the heading
        int announced;
        std::string changeLog;
    };
    const std::string tooBig = "12~" + std::string((1 << 20) + 10, 'x') + "`";
    const CheckCase cases[] = {
        {.installed = 11, .status = 200, .manifest = "12~line one\nline two`\n", .offered = true, .failed = false,
         .announced = 12, .changeLog = "line one\nline two"},
        {.installed = 12, .status = 200, .manifest = "12~same`", .offered = false, .failed = false, .announced = 12,
         .changeLog = "untouched"},
        {.installed = 13, .status = 200, .manifest = "12~older`", .offered = false, .failed = false, .announced = 12,
         .changeLog = "untouched"},
        {.installed = 0, .status = 200, .manifest = "1~first install`", .offered = true, .failed = false,
         .announced = 1, .changeLog = "first install"},
        {.installed = 5, .status = 200, .manifest = "", .offered = false, .failed = false, .announced = 0,
         .changeLog = "untouched"},
        {.installed = 3, .status = 404, .manifest = "12~x`", .offered = false, .failed = true,
         .failure = "FAILURE_NOT_ON_SERVER HTTP 404", .announced = 1234567, .changeLog = "untouched"},
        {.installed = 3, .status = 403, .manifest = "12~x`", .offered = false, .failed = true,
         .failure = "FAILURE_SERVER_REFUSED HTTP 403", .announced = 1234567, .changeLog = "untouched"},
        {.installed = 3, .status = 500, .manifest = "12~x`", .offered = false, .failed = true,
         .failure = "FAILURE_SERVER_REFUSED HTTP 500", .announced = 1234567, .changeLog = "untouched"},
        {.installed = 3, .status = 200, .manifest = tooBig, .offered = false, .failed = true,
         .failure = "FAILURE_SERVER_REFUSED longer than 1 MiB", .announced = 1234567, .changeLog = "untouched"},
        {.installed = 3, .status = 1, .manifest = "12~x`", .offered = false, .failed = true,
         .failure = "FAILURE_NO_ANSWER ", .announced = 1234567, .changeLog = "untouched"},
        {.installed = 3, .status = 0, .manifest = "12~x`", .offered = false, .failed = true,
         .failure = "FAILURE_NO_ANSWER ", .announced = 1234567, .changeLog = "untouched"},
    };
    for (const CheckCase &c : cases) {
        const std::string which = "status " + std::to_string(c.status) + ", manifest " + c.manifest.substr(0, 40);
        resetLauncherState();
        updateText = "untouched";
        vantoriqueVersion = c.installed;
        Answer answer{c.status == 1 ? 200 : c.status, c.manifest};
        answer.hang = c.status == 1;
        server.set(kManifest, answer);
        if (c.status == 0)
            server.stop();
        EXPECT_LT(secondsOf(ThreadCheckFunc), 3.0) << which << ": the 2-second limit covers the whole exchange";
        EXPECT_TRUE(doneCheckUpdating) << which << ": the check must report";
        EXPECT_EQ(updateAvailable, c.offered) << which << ": whether an update is offered";
        EXPECT_EQ(updatingError, c.failed) << which << ": whether the check failed";
        EXPECT_EQ(c.failed ? std::string(failure_name(checkFailure.kind)) + " " + checkFailure.line : "FAILURE_NONE",
                  c.failure) << which << ": what the check-failure screen's heading is made from";
        EXPECT_EQ(updatedVantoriqueVersion, c.announced) << which << ": the announced version";
        EXPECT_EQ(updateText, c.changeLog) << which << ": the change log";
    }
}

TEST_F(Workers, DownloadOutcomes)
{
    const std::string body = bytes(3000000);
    const std::pair<Answer, std::string> cases[] = {  // the answer and the failure it makes ("" none)
        {{200, body}, ""}, {{404, "gone"}, "FAILURE_NOT_ON_SERVER"}, {{500, ""}, "FAILURE_SERVER_REFUSED"},
        {{200, body, (long long)body.size() + 1000}, "FAILURE_NO_ANSWER"},  // cut short, no validator: nothing kept
        {{200, body, (long long)body.size() - 10}, "FAILURE_SERVER_REFUSED"},
        {{200, "x", 1LL << 60}, "FAILURE_NO_SPACE"}, {{200, ""}, ""}
    };
    for (const auto &c : cases) {
        write_file("vantorique_osx.zip", "earlier package");
        server.set(kPackage, c.first);
        EXPECT_EQ(download(), c.second);
        EXPECT_EQ(read_file("vantorique_osx.zip"), c.second.empty() ? c.first.body : "earlier package") << c.second;
        EXPECT_FALSE(exists("vantorique_osx.zip.part")) << c.second;
        EXPECT_TRUE(!c.second.empty() || downloadProgress.done + downloadProgress.total == 2 * (long long)c.first.body.size());
    }
    EXPECT_EQ(server.requests.size(), 14u);  // a manifest (no check ran) and the package each; no key: no signature
    Answer lingering{200, body};
    lingering.linger = true;  // whole body sent, line kept open: done after a short grace, not the stall limit
    server.set(kPackage, lingering);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(download(), "");
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
    EXPECT_EQ(read_file("vantorique_osx.zip"), body);
    ASSERT_EQ(mkdir("vantorique_osx.zip.part", 0755), 0);  // what cannot be replaced is not written through
    EXPECT_EQ(download(), "FAILURE_CANNOT_WRITE");
    server.stop();
    EXPECT_EQ(download(), "FAILURE_NO_ANSWER");
}

TEST_F(Workers, BrokenDownloadResumesWhereItStopped)
{
    const std::string v1 = bytes(2000000), v2 = bytes(1500000) + "v2";
    server.set(kPackage, Answer{200, v1, -1, "\"v1\"", 700000});
    EXPECT_EQ(download(), "FAILURE_NO_ANSWER");
    EXPECT_EQ(read_file("vantorique_osx.zip.part"), v1.substr(0, 700000));
    EXPECT_EQ(download(), "");  // 206: the rest appended
    const std::string &asked = server.requests.back();
    EXPECT_EQ(HttpServer::header(asked, "Range") + " " + HttpServer::header(asked, "If-Range"), "bytes=700000- \"v1\"");
    EXPECT_EQ(read_file("vantorique_osx.zip"), v1);

    // The package changed meanwhile: the whole new one comes (200) and replaces the .part.
    server.set(kPackage, Answer{200, v1, -1, "\"v1\"", 700000});
    EXPECT_EQ(download(), "FAILURE_NO_ANSWER");
    server.set(kPackage, Answer{200, v2, -1, "\"v2\""});
    EXPECT_EQ(download(), "");
    EXPECT_EQ(read_file("vantorique_osx.zip"), v2);

    // A .part that is a link is never followed, not even to resume.
    write_file(dir / "outside", "keep");
    ASSERT_EQ(symlink((dir / "outside").c_str(), "vantorique_osx.zip.part"), 0);
    write_file("vantorique_osx.zip.part.validator", std::string(kPackage) + "\n\"v2\"");
    EXPECT_EQ(download(), "");
    EXPECT_EQ(read_file(dir / "outside") + read_file("vantorique_osx.zip"), "keep" + v2);
    EXPECT_FALSE(exists("vantorique_osx.zip.part") || exists("vantorique_osx.zip.part.validator"));
}

// A kept .part that is also someone else's file (a hard link to it, or a
// file of another user) is never appended to: the download starts afresh.
TEST_F(Workers, APartNotOnlyOursIsNeverResumed)
{
    const std::string body = bytes(45049), outside = dir / "outside";
    server.set(kPackage, Answer{200, body, -1, "\"v1\""});
    struct PartCase {
        const char *what;
        std::string make;  // shell, in the launcher's folder
    };
    const PartCase cases[] = {
        {"a hard link to a file outside", "ln " + quote(outside) + " vantorique_osx.zip.part"},
        {"a file of another user", "cp " + quote(outside) + " vantorique_osx.zip.part && chown 65534 vantorique_osx.zip.part"},
    };
    for (const PartCase &c : cases) {
        if (geteuid() != 0 && c.make.find("chown") != std::string::npos) {
            printf("skipped: %s needs root to make\n", c.what);
            continue;
        }
        write_file(outside, body.substr(0, 32));
        ASSERT_EQ(run(c.make), 0) << c.what;
        write_file("vantorique_osx.zip.part.validator", std::string(kPackage) + "\n\"v1\"");
        EXPECT_EQ(download(), "") << c.what;
        EXPECT_EQ(HttpServer::header(server.requests.back(), "Range"), "") << c.what << ": it must not be resumed";
        EXPECT_EQ(read_file(outside).size(), 32u) << c.what << ": the file outside must keep its 32 bytes";
        EXPECT_EQ(read_file("vantorique_osx.zip"), body) << c.what;
        remove("vantorique_osx.zip");
    }
}

// A CDN or proxy that compresses: the launcher asks for no encoding, and
// decodes a compressed answer before any check sees it.
TEST_F(Workers, CompressedAnswersAreDecodedBeforeTheyAreUsed)
{
    std::string package;
    for (unsigned x = 1; package.size() < 300000; x = x * 1103515245 + 12345)  // hardly compressible
        package += char(x >> 16);
    Answer manifest{200, gzipped("7~compressed log`")};
    manifest.head = "Content-Encoding: gzip\r\n";
    server.set(kManifest, manifest);
    Answer cut{200, gzipped(package), -1, "\"z\"", 20000};  // cut short once, with a validator
    cut.head = manifest.head;
    server.set(kPackage, cut);

    vantoriqueVersion = 6;
    ThreadCheckFunc(nullptr);
    EXPECT_TRUE(updateAvailable && updatedVantoriqueVersion == 7) << "the compressed manifest announces version 7";
    EXPECT_EQ(updateText, "compressed log");
    EXPECT_EQ(HttpServer::header(server.requests.back(), "Accept-Encoding"), "identity")
        << "the manifest must be asked for without compression";

    EXPECT_EQ(download(), "FAILURE_NO_ANSWER");
    EXPECT_FALSE(exists("vantorique_osx.zip.part"))
        << "vantorique_osx.zip.part: a cut compressed answer cannot be resumed (its ranges count compressed bytes)";
    EXPECT_EQ(download(), "");
    EXPECT_EQ(HttpServer::header(server.requests.back(), "Accept-Encoding"), "identity")
        << "the package must be asked for without compression";
    EXPECT_EQ(HttpServer::header(server.requests.back(), "Range"), "");
    EXPECT_TRUE(read_file("vantorique_osx.zip") == package) << "vantorique_osx.zip must hold the decoded package";
}

// The manifest's limit, the one scripts/publish keeps to: 1 MiB.
TEST_F(Workers, AManifestOfExactlyTheLimitIsRead)
{
    const std::string log(1048576 - 4, 'x');
    server.set(kManifest, Answer{200, "9~" + log + "`\n"});
    vantoriqueVersion = 1;
    ThreadCheckFunc(nullptr);
    EXPECT_TRUE(updateAvailable && !updatingError) << "a manifest of 1,048,576 bytes must be read";
    EXPECT_EQ(updateText.size(), log.size());

    server.set(kManifest, Answer{200, "9~" + log + "x`\n"});
    resetLauncherState();
    ThreadCheckFunc(nullptr);
    EXPECT_TRUE(updatingError && !updateAvailable) << "a manifest of 1,048,577 bytes, one past the limit, must be refused";
}

TEST_F(Workers, SignatureIsFetchedWithAKeyAndBounded)
{
    server.set(kPackage, Answer{200, "package"});
    server.set(kManifest, Answer{200, "7~x`"});
    server.set(kManifestSignature, Answer{200, signedBy("7~x`", manifestComment(7))});
    publicKey = trustedKey();
    for (const Answer &signature : {Answer{404, ""}, Answer{200, std::string(4097, 'x')}}) {
        server.set(kSignature, signature);
        EXPECT_EQ(download(), "FAILURE_UNSIGNED")
            << "a signature that is missing or too long (status " << signature.status << ")";
        EXPECT_FALSE(exists("vantorique_osx.zip")) << "the package must be deleted after a failed check";
    }
    EXPECT_EQ(server.requests.back().find(std::string("GET ") + kSignature + " "), 0u);
    EXPECT_EQ(updatedVantoriqueVersion, 7);  // no check ran: the download learnt the version first
}

TEST_F(Workers, DownloadStopsWhenTheLauncherEnds)
{
    server.set(kPackage, Answer{200, "never sent", -1, "", std::string::npos, true});
    std::thread stopper([] {
        while (downloadProgress.total < 0)  // the answer's head is in
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        abortTransfers = true;
    });
    EXPECT_LT(secondsOf(ThreadDownloadFunc), 5.0);  // not the minute a stalled transfer waits
    stopper.join();
    EXPECT_FALSE(downloadSuccess || exists("vantorique_osx.zip") || exists("vantorique_osx.zip.part"));
}

TEST_F(Workers, UnpackWorkerInstallsThePackageAndRemovesIt)
{
    ASSERT_EQ(run("mkdir -p " + quote(dir / "pkg/Vantorique.app/Contents/MacOS")), 0);
    write_file(dir / "pkg/Vantorique.app/Contents/MacOS/Vantorique", "#!/bin/sh\necho 2\n", 0755);
    write_file(dir / "pkg/Vantorique.app/Contents/level.dat", bytes(300000));
    ASSERT_EQ(compress_path((dir / "pkg/Vantorique.app").c_str(), "vantorique_osx.zip", 6), 1);
    for (bool good : {true, false}) {
        resetLauncherState();
        ThreadUnzipFunc(nullptr);
        if (good) {  // the unpacker wrote straight into the state's sink, which the screen reads
            EXPECT_TRUE(unpackProgress.total >= 300000 && unpackProgress.done == unpackProgress.total)
                << "the unpack screen's figures after the install: " << unpackProgress.done << " of "
                << unpackProgress.total << " bytes";
        }
        EXPECT_TRUE(unzipComplete && unzipSuccess == good && (unzipFailure.kind == FAILURE_NONE) == good)
            << (good ? "a good package" : "not a zip at all") << ": " << failure_name(unzipFailure.kind);
        EXPECT_FALSE(exists("vantorique_osx.zip")) << good;
        write_file("vantorique_osx.zip", "not a zip at all");
    }
    EXPECT_EQ(read_file(dir / "Vantorique.app/Contents/MacOS/Vantorique"), "#!/bin/sh\necho 2\n");
}

TEST_F(Workers, ResumeAnswersThatDoNotFitThePartAreRefused)
{
    const std::string body = bytes(100000);
    struct ResumeCase {
        const char *what;
        size_t partSize;  // bytes of the kept .part
        Answer answer;
        std::string failure;
    };
    Answer wrongPart{206, body.substr(500)};
    wrongPart.head = "Content-Range: bytes 500-99999/100000\r\n";  // the .part holds 1000 bytes
    const ResumeCase cases[] = {
        {.what = "206 for the wrong range", .partSize = 1000, .answer = wrongPart,
         .failure = "FAILURE_SERVER_REFUSED"},
        {.what = "416 for a whole .part", .partSize = body.size(), .answer = Answer{416, ""},
         .failure = "FAILURE_SERVER_REFUSED"},
    };
    for (const ResumeCase &c : cases) {
        write_file("vantorique_osx.zip.part", body.substr(0, c.partSize));
        write_file("vantorique_osx.zip.part.validator", std::string(kPackage) + "\n\"v1\"");
        server.set(kPackage, c.answer);
        EXPECT_EQ(download(), c.failure) << c.what;
        EXPECT_EQ(HttpServer::header(server.requests.back(), "Range"), "bytes=" + std::to_string(c.partSize) + "-")
            << c.what << ": the kept .part must be resumed";
        EXPECT_FALSE(exists("vantorique_osx.zip.part") || exists("vantorique_osx.zip.part.validator"))
            << c.what << ": vantorique_osx.zip.part must not be kept after an answer that does not fit it";
        EXPECT_FALSE(exists("vantorique_osx.zip")) << c.what << ": no package from an answer that does not fit";
    }
}

TEST_F(Workers, SignatureFetchStopsWhenTheLauncherEnds)
{
    server.set(kManifest, Answer{200, "7~x`"});
    server.set(kManifestSignature, Answer{200, signedBy("7~x`", manifestComment(7))});
    server.set(kPackage, Answer{200, "package"});
    Answer silent{200, "never sent"};
    silent.hang = true;
    server.set(kSignature, silent);
    publicKey = trustedKey();
    std::thread stopper([this] {
        for (bool asked = false; !asked; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
            std::lock_guard<std::mutex> guard(server.lock);
            asked = !server.requests.empty() && server.requests.back().find(kSignature) != std::string::npos;
        }
        abortTransfers = true;
    });
    // Far below the 30 s a silent signature server gets otherwise.
    EXPECT_LT(secondsOf(ThreadDownloadFunc), 15.0) << "closing the window must end the signature's fetch";
    stopper.join();
    EXPECT_TRUE(downloadComplete && !downloadSuccess) << "the download must report a failure";
    EXPECT_FALSE(exists("vantorique_osx.zip")) << "vantorique_osx.zip: no unchecked package may stay";
}

TEST_F(Workers, WithAKeyAnUnknownVersionIsAConnectionFailure)
{
    server.set(kPackage, Answer{200, "package"});  // no manifest: the version cannot be learnt
    publicKey = "RWQf6LRCGA9i53mlYecO4IzT51TGPpvWucNSCh1CBM0QTaLn73Y7GFO3";
    EXPECT_EQ(download(), "FAILURE_NO_ANSWER") << "the player must read the connection failure";
    EXPECT_EQ(server.requests.size(), 1u) << "only the manifest may be asked for; the package is of no use unchecked";
    EXPECT_FALSE(exists("vantorique_osx.zip")) << "vantorique_osx.zip: no unchecked package may stay";
}


// A kill after the new game is swapped in and before the version file says
// so: the next start records the version, and the check then finds the game
// up to date, so the package is not fetched a second time.
TEST_F(Workers, AKillAfterTheSwapsStillRecordsTheVersion)
{
    // The launcher's folder is dir/launcher; the game's parent is dir.
    ASSERT_EQ(run("mkdir -p " + quote(dir / "Vantorique.app/Contents/MacOS") + " " +
                  quote(dir / "new/Vantorique.app/Contents/MacOS")), 0);
    write_file(dir / "Vantorique.app/Contents/MacOS/Vantorique", "#!/bin/sh\necho old\n", 0755);
    write_file(dir / "new/Vantorique.app/Contents/MacOS/Vantorique", "#!/bin/sh\necho new\n", 0755);
    write_file(dir / "new/Readme.txt", "a second item\n");
    ASSERT_EQ(run("cd " + quote(dir / "new") + " && zip -qry " + quote(dir / "launcher/vantorique_osx.zip") +
                  " Readme.txt Vantorique.app"), 0);
    write_file("version.txt", "1");
    pid_t child = fork();
    if (child == 0) {  // the launcher's unpack worker, killed right after its last swap
        resetLauncherState();
        versionAnnounced = true;
        updatedVantoriqueVersion = 2;
        installStepHook = [](const char *step) {
            static int swaps = 0;
            if (strcmp(step, "swapped") == 0 && ++swaps == 2)
                raise(SIGKILL);
        };
        ThreadUnzipFunc(nullptr);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the install must reach its last swap (and be killed there)";
    EXPECT_EQ(read_file("version.txt"), "1") << "version.txt: killed before the version was recorded";

    // The next start.
    captured([] { recoverInterruptedInstall(installPlaces()); return 0; });
    EXPECT_EQ(read_file("version.txt"), "2") << "version.txt after the next start's recovery";
    server.set(kManifest, Answer{200, "2~Version 2`"});
    server.set(kPackage, Answer{200, "never wanted"});
    resetLauncherState();
    vantoriqueVersion = readVersionFile("version.txt");
    ThreadCheckFunc(nullptr);
    EXPECT_TRUE(doneCheckUpdating && !updateAvailable) << "the check must find version 2 installed, not offer it again";
    for (const std::string &request : server.requests)
        EXPECT_EQ(request.find("vantorique_osx.zip"), std::string::npos) << "a second download: " << request;
    EXPECT_EQ(output_of(quote(dir / "Vantorique.app/Contents/MacOS/Vantorique")), "new\n")
        << "the game must be the new one";
}

// A server published before releases had folders: the release's name is a
// 404 every time, and the fixed name's broken transfer must still go on
// from its .part at the next try (If-Range), not from byte 0.
TEST_F(Workers, ABrokenDownloadGoesOnWhereTheServerHasNoReleaseFolders)
{
    const std::string package = bytes(800000);
    server.set(kManifest, Answer{200, "2~x`"});
    server.set(kPackage, Answer{200, package, -1, "\"fixed\"", 300000});
    EXPECT_EQ(download(), "FAILURE_NO_ANSWER");
    EXPECT_EQ(read_file("vantorique_osx.zip.part").size(), 300000u) << "vantorique_osx.zip.part: the bytes that came";
    EXPECT_EQ(download(), "") << "the second try must bring the package whole";
    const std::string &asked = server.requests.back();
    EXPECT_EQ(asked.find(std::string("GET ") + kPackage + " "), 0u) << "the last request: " << asked;
    EXPECT_EQ(HttpServer::header(asked, "Range") + " " + HttpServer::header(asked, "If-Range"), "bytes=300000- \"fixed\"")
        << "the fixed name must be resumed from its .part after the release folder's 404";
    EXPECT_TRUE(read_file("vantorique_osx.zip") == package) << "vantorique_osx.zip: the whole package";
    bool askedRelease = false;
    for (const std::string &request : server.requests)
        askedRelease = askedRelease || request.find("/releases/2/vantorique_osx.zip") != std::string::npos;
    EXPECT_TRUE(askedRelease) << "the release's own name must be asked first, each time";
}

// A 206 is taken only for a range that was asked for and only from where
// the .part ends: each check refuses on its own.
TEST_F(Workers, A206IsTakenOnlyForTheRangeAsked)
{
    const std::string body = bytes(5000);
    Answer unasked{206, body};
    unasked.head = "Content-Range: bytes 0-4999/5000\r\n";  // from 0, as the empty start would be
    server.set(kPackage, unasked);
    EXPECT_EQ(download(), "FAILURE_SERVER_REFUSED") << "a 206 when no range was asked (no .part kept)";
    EXPECT_EQ(HttpServer::header(server.requests.back(), "Range"), "") << "no .part: no range may be asked";
    EXPECT_FALSE(exists("vantorique_osx.zip")) << "vantorique_osx.zip: no package from a part nobody asked for";
}

// The support log's limits exactly: a run may log 256 KiB and no byte
// more, and the log keeps exactly five runs.
