// The download and unpack workers on the road of a delta, against a real
// HTTP server on 127.0.0.1, with signatures from the real minisign.
#include "delta.h"
#include "helpers.h"
#include "http_server.h"
#include "worker_fixture.h"
#include "log.h"
#include "signature.h"
#include "signing.h"
#include "state.h"
#include "workers.h"

using namespace testutil;

namespace {

const char kManifest[] = "/vantorique/autoupdate/version.txt";
const char kManifestSignature[] = "/vantorique/autoupdate/version.txt.minisig";
const char kPackage[] = "/vantorique/autoupdate/vantorique_osx.zip";
const char kSignature[] = "/vantorique/autoupdate/vantorique_osx.zip.minisig";

std::string bytes(size_t n, int step = 31)
{
    std::string s;
    while (s.size() < n)
        s += char(s.size() * step % 251);
    return s;
}

class DeltaWorkers : public WorkerFixture {};

}  // namespace

// The update after "Update Now": the delta from the installed version when
// the server has one that checks out, else the release's own package, else
// the fixed name; what the download fetched is what the unpack installs.
TEST_F(DeltaWorkers, ADeltaWhenOneChecksOutElseThePackage)
{
    const char kDelta[] = "/vantorique/autoupdate/releases/7/from-6.delta";
    const char kReleasePackage[] = "/vantorique/autoupdate/releases/7/vantorique_osx.zip";
    const std::string delta = bytes(5000, 7), package = bytes(90000);
    const std::string good = "file:from-6.delta version:7 from:6";
    struct DeltaCase {
        const char *what;
        int installed;
        int deltaStatus;          // 0: not served
        std::string comment;      // the delta signature's trusted comment
        const char *fetched;      // "delta", "release package", "fixed package"
        const char *refusal;      // in the support log, "" for none
    };
    const DeltaCase cases[] = {
        {"a delta that checks out", 6, 200, good, "delta", ""},
        {"no delta on the server", 6, 404, good, "release package", "No delta from version 6 to 7: the server has none"},
        {"a delta for another installed version", 6, 200, "file:from-6.delta version:7 from:5", "release package",
         "Signature check failed: it was made for another installed version"},
        {"a delta signature naming no installed version", 6, 200, "file:from-6.delta version:7", "release package",
         "Signature check failed: its trusted comment names no installed version"},
        {"a delta of another version", 6, 200, "file:from-6.delta version:8 from:6", "release package",
         "Signature check failed: it was made for another version"},
        {"no installed version: no delta", 0, 200, good, "release package", ""},
        {"no release folder: the fixed name", 6, 0, good, "fixed package", "No release folder for version 7"},
    };
    publicKey = trustedKey();
    for (const DeltaCase &c : cases) {
        server.set(kManifest, Answer{200, "7~x`"});
        server.set(kManifestSignature, Answer{200, signedBy("7~x`", manifestComment(7))});
        server.set(kDelta, c.deltaStatus ? Answer{c.deltaStatus, delta} : Answer{404, ""});
        server.set(std::string(kDelta) + ".minisig", Answer{200, signedBy(delta, c.comment)});
        const bool release = std::string(c.fetched) != "fixed package";
        server.set(kReleasePackage, release ? Answer{200, package} : Answer{404, ""});
        server.set(std::string(kReleasePackage) + ".minisig", Answer{200, signedBy(package, "file:vantorique_osx.zip version:7")});
        server.set(kPackage, Answer{200, package});
        server.set(kSignature, Answer{200, signedBy(package, "file:vantorique_osx.zip version:7")});
        remove("launcher.log");
        startSupportLog();
        vantoriqueVersion = c.installed;
        server.requests.clear();
        EXPECT_EQ(download(), "") << c.what;
        const std::string fetched = c.fetched, log = read_file("launcher.log");
        EXPECT_EQ(downloadProgress.fetching == kFetchingDelta, fetched == "delta") << c.what << ": what the download brought";
        EXPECT_EQ(read_file(fetched == "delta" ? "vantorique_osx.delta" : "vantorique_osx.zip"),
                  fetched == "delta" ? delta : package) << c.what;
        EXPECT_EQ(exists("vantorique_osx.zip"), fetched != "delta") << c.what << ": vantorique_osx.zip";
        EXPECT_FALSE(fetched != "delta" && exists("vantorique_osx.delta"))
            << c.what << ": vantorique_osx.delta must not stay when its signature fails";
        std::string asked;
        for (const std::string &request : server.requests)
            asked += request.substr(0, request.find(" HTTP/")) + "\n";
        EXPECT_EQ(asked.find(std::string("GET ") + kDelta + "\n") != std::string::npos, c.installed == 6)
            << c.what << ": the delta is asked for only from an installed version; asked:\n" << asked;
        EXPECT_EQ(asked.find(std::string("GET ") + kPackage + "\n") != std::string::npos, fetched == "fixed package")
            << c.what << ": the fixed name only when the release has no folder; asked:\n" << asked;
        EXPECT_TRUE(c.refusal[0] == 0 || log.find(c.refusal) != std::string::npos)
            << c.what << ": launcher.log must say why the delta was not used:\n" << log;
        remove("vantorique_osx.zip");
        remove("vantorique_osx.delta");
    }
}

// A delta that does not fit the player's game (an edited file) leaves it
// untouched; the unpack asks for the full package, and the next download
// fetches only that.
TEST_F(DeltaWorkers, ADeltaThatDoesNotFitFallsBackToThePackage)
{
    const std::string v1 = dir / "v1/Vantorique.app", v2 = dir / "v2/Vantorique.app";
    ASSERT_EQ(run("mkdir -p " + quote(v1 + "/Contents") + " && echo level 1 > " + quote(v1 + "/Contents/level.dat") +
                  " && seq 1000 > " + quote(v1 + "/Contents/same.dat") + " && cp -a " + quote(dir / "v1") + " " +
                  quote(dir / "v2") + " && echo level 2 > " + quote(v2 + "/Contents/level.dat") + " && cp -a " +
                  quote(v1) + " " + quote(dir.path) + " && echo edited >> " + quote(dir / "Vantorique.app/Contents/same.dat")),
              0);  // same.dat: unchanged, so the delta builds on the player's copy
    ASSERT_EQ(delta_make(v1.c_str(), v2.c_str(), "vantorique_osx.delta", 3, 1, 2, nullptr), 1);
    startSupportLog();
    versionAnnounced = true;
    updatedVantoriqueVersion = 2;
    downloadProgress.fetching = kFetchingDelta;
    fetchedUpdate.delta = true;  // what the download brought
    ThreadUnzipFunc(nullptr);
    EXPECT_TRUE(unzipComplete && !unzipSuccess && unzipWantsPackage && deltaFailed)
        << "the unpack must ask for the full package";
    EXPECT_EQ(unzipFailure.kind, FAILURE_NONE) << "nothing for the player to read: the package comes without a question";
    EXPECT_EQ(read_file(dir / "Vantorique.app/Contents/level.dat"), "level 1\n") << "the game must be untouched";
    EXPECT_FALSE(exists("vantorique_osx.delta")) << "vantorique_osx.delta must be removed";
    EXPECT_NE(read_file("launcher.log").find("Delta not used: FAILURE_BASE_DIFFERS: "), std::string::npos)
        << read_file("launcher.log");

    server.set("/vantorique/autoupdate/releases/2/vantorique_osx.zip", Answer{200, "the package"});
    vantoriqueVersion = 1;
    clearDownloadState();
    ThreadDownloadFunc(nullptr);
    EXPECT_TRUE(downloadSuccess && downloadProgress.fetching == kFetchingPackage) << failure_name(downloadFailure.kind);
    for (const std::string &request : server.requests)
        EXPECT_EQ(request.find(".delta"), std::string::npos) << "no delta after one failed: " << request;
}
