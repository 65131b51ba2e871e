// A launcher built with another studio's names (Skyforge: its game folder,
// program, server root and package), against what scripts/publish wrote with
// the same names: the check, the download and the install go where those
// names say, and never to Vantorique's.
#include "helpers.h"
#include "names.h"
#include "signing.h"
#include "version.h"
#include "worker_fixture.h"

#include <dirent.h>

using namespace testutil;

namespace {

// Every file under `root`, served at its path below it.
void serveFolder(HttpServer &server, const std::string &root, const std::string &below = "")
{
    DIR *d = opendir((root + below).c_str());
    ASSERT_NE(d, nullptr) << root + below << ": publish must have written it";
    while (dirent *e = readdir(d)) {
        const std::string name = e->d_name, path = below + "/" + name;
        if (name == "." || name == "..")
            continue;
        if (e->d_type == DT_DIR)
            serveFolder(server, root, path);
        else
            server.set(path, Answer{200, read_file(root + path)});
    }
    closedir(d);
}

class StudioNames : public WorkerFixture {};

}  // namespace

TEST_F(StudioNames, TheLauncherAndPublishMeetAtTheStudiosNames)
{
    ASSERT_STREQ(kServerRoot, "/skyforge/updates/") << "this test must be built with Skyforge's names (tests/CMakeLists.txt)";
    const std::string studio = dir / "studio";
    ASSERT_EQ(run("mkdir -p " + quote(studio + "/Skyforge.app/Contents/Game") + " && printf '#!/bin/sh\\necho 2\\n' > " +
                  quote(studio + "/Skyforge.app/Contents/Game/skyforge") + " && echo 2 > " + quote(studio + "/log.txt")),
              0);
    const std::string publish = std::string(PUBLISH_SCRIPT) + " --key " + quote(signingKeys() + "/a.sec") +
                                " --game-folder Skyforge.app --server-path /skyforge/updates --package-name skyforge-mac.zip ";
    ASSERT_EQ(run(publish + quote(studio + "/Skyforge.app") + " 2 " + quote(studio + "/log.txt") + " " +
                  quote(studio + "/served") + " >/dev/null"),
              0)
        << "scripts/publish with Skyforge's names";
    serveFolder(server, studio + "/served");
    publicKey = trustedKey();
    write_file("version.txt", "1");

    resetLauncherState();
    vantoriqueVersion = 1;
    ThreadCheckFunc(nullptr);
    EXPECT_TRUE(doneCheckUpdating && updateAvailable && updatedVantoriqueVersion == 2)
        << "the check must find version 2 at /skyforge/updates/version.txt: " << failure_name(checkFailure.kind) << " "
        << checkFailure.line;
    EXPECT_EQ(download(), "") << "the download of release 2's skyforge-mac.zip";
    EXPECT_TRUE(exists("skyforge-mac.zip")) << "the package is kept in the launcher's folder under the studio's name";
    resetLauncherState();
    versionAnnounced = true, updatedVantoriqueVersion = 2;
    ThreadUnzipFunc(nullptr);
    EXPECT_TRUE(unzipComplete && unzipSuccess) << failure_name(unzipFailure.kind) << " " << unzipFailure.line;
    EXPECT_EQ(read_file(dir / "Skyforge.app/Contents/Game/skyforge"), "#!/bin/sh\necho 2\n")
        << "the game must be installed as ../Skyforge.app";
    EXPECT_FALSE(exists(dir / "Vantorique.app")) << "nothing may be installed under Vantorique's name";
    EXPECT_EQ(readVersionFile("version.txt"), 2);

    bool askedManifest = false, askedPackage = false;
    for (const std::string &request : server.requests) {
        askedManifest |= request.rfind("GET /skyforge/updates/version.txt ", 0) == 0;
        askedPackage |= request.rfind("GET /skyforge/updates/releases/2/skyforge-mac.zip ", 0) == 0;
        EXPECT_EQ(request.find("vantorique"), std::string::npos) << "a request under Vantorique's names: " << request;
    }
    EXPECT_TRUE(askedManifest && askedPackage) << "the manifest and release 2's package must be asked for by their paths";
    EXPECT_STREQ(kWindowTitle, "Skyforge Launcher") << "the window's title, set when built";
    EXPECT_STREQ(kGameProgram, "Contents/Game/skyforge") << "the program the launcher starts, set when built";
}
