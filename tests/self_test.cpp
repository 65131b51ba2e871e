// The launcher's own releases, on real files in a scratch launcher folder:
// the choice at start (a chosen release started and counted, one that never
// showed a frame rolled back and refused), the launcher's manifest, and a
// release taken from a loopback server (each refusal, a kill at each step).
#include "choice.h"
#include "helpers.h"
#include "http_server.h"
#include "release.h"
#include "server_layout.h"
#include "signature.h"
#include "signing.h"

#include "fsutil.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

using namespace testutil;

namespace {

// The scratch folder as the launcher's working folder, for one test.
struct InFolder {
    char home[4096];
    explicit InFolder(const std::string &folder)
    {
        EXPECT_TRUE(getcwd(home, sizeof home));
        EXPECT_EQ(chdir(folder.c_str()), 0) << folder;
    }
    ~InFolder() { EXPECT_EQ(chdir(home), 0); }
};

void placeRelease(int release)
{
    ASSERT_EQ(run("mkdir -p app/" + std::to_string(release)), 0);
    write_file("app/" + std::to_string(release) + "/prog", "#!/bin/sh\n", 0755);
}

// The public key line of key `name`, as a .pub file ends with it.
std::string keyLine(const std::string &name)
{
    std::string line = output_of("tail -n 1 " + quote(signingKeys() + "/" + name + ".pub"));
    return line.substr(0, line.find('\n'));
}

std::string joined(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    return text;
}

}  // namespace

TEST(StartChoice, TheChosenReleaseStartsCountedUnlessTheFolderProgramIsNewer)
{
    struct Case {
        const char *what;
        std::string choice;
        bool placed;
        int own, chosen;
    };
    const Case cases[] = {
        {"release 2 chosen, this is 1", "current 2\nprevious 0\n", true, 1, 2},
        {"release 2 chosen, this is 3 (reinstalled newer)", "current 2\nprevious 0\n", true, 3, 0},
        {"release 2 chosen but refused", "current 2\nprevious 0\nrefused 2\n", true, 1, 0},
        {"release 2 chosen, its folder gone", "current 2\nprevious 0\n", false, 1, 0},
        {"nothing chosen", "current 0\nprevious 0\n", false, 1, 0},
        {"a choice file that is not ours", "current two\n", true, 1, 0},
    };
    for (const Case &c : cases) {
        ScratchDir dir;
        InFolder in(dir.path);
        ASSERT_EQ(mkdir("app", 0755), 0);
        if (c.placed)
            placeRelease(2);
        write_file("app/choice.txt", c.choice);
        std::vector<std::string> notes;
        EXPECT_EQ(chooseRelease("prog", c.own, notes), c.chosen) << c.what << "\n" << joined(notes);
        if (c.chosen) {
            EXPECT_EQ(read_file("app/starting"), std::to_string(c.chosen)) << c.what << ": its start must be counted";
            firstFrameShown(c.chosen);
            EXPECT_FALSE(exists("app/starting")) << c.what << ": the first frame clears the count";
        } else {
            EXPECT_FALSE(exists("app/starting")) << c.what << ": nothing started, nothing counted";
        }
    }
}

TEST(StartChoice, AReleaseThatNeverShowedAFrameIsRolledBackAndRefused)
{
    struct Case {
        const char *what;
        std::string choice;
        int chosen;
        std::string after, note;
    };
    const Case cases[] = {
        {"3 failed, 2 before it", "current 3\nprevious 2\n", 2, "current 2\nprevious 0\nrefused 3\n",
         "Launcher 3 did not reach its first frame at its last start: back to launcher 2; 3 is not taken again"},
        {"3 failed, the folder's program before it", "current 3\nprevious 0\n", 0, "current 0\nprevious 0\nrefused 3\n",
         "Launcher 3 did not reach its first frame at its last start: back to the launcher in this folder; 3 is "
         "not taken again"},
        {"3 failed, 2 before it refused too", "current 3\nprevious 2\nrefused 2\n", 0,
         "current 0\nprevious 0\nrefused 2 3\n", "back to the launcher in this folder"},
    };
    for (const Case &c : cases) {
        ScratchDir dir;
        InFolder in(dir.path);
        ASSERT_EQ(mkdir("app", 0755), 0);
        placeRelease(2);
        placeRelease(3);
        write_file("app/choice.txt", c.choice);
        write_file("app/starting", "3");  // the last start of 3 showed no frame
        std::vector<std::string> notes;
        EXPECT_EQ(chooseRelease("prog", 1, notes), c.chosen) << c.what;
        EXPECT_EQ(read_file("app/choice.txt"), c.after) << c.what;
        EXPECT_NE(joined(notes).find(c.note), std::string::npos) << c.what << ": the support log must say\n  "
                                                                  << c.note << "\nnotes:\n" << joined(notes);
        EXPECT_FALSE(exists("app/3")) << c.what << ": a refused release's folder must go";
        EXPECT_EQ(exists("app/starting"), c.chosen != 0) << c.what << ": only a release started is counted";
        // A marker of a release no longer current is a leftover, not a failure.
        std::vector<std::string> again;
        write_file("app/starting", "3");
        chooseRelease("prog", 1, again);
        EXPECT_EQ(read_file("app/choice.txt"), c.after) << c.what << ": a second start must change nothing";
    }
}

struct LauncherServer : ::testing::Test {
    HttpServer server;
    ScratchDir dir;
    std::string zip;  // launcher.zip as the studio packed it
    void SetUp() override
    {
        publicKey = trustedKey();
        server.start();
    }
    void TearDown() override
    {
        server.stop();
        selfStepHook = nullptr;
    }
    UpdateServer where() const
    {
        UpdateServer s;
        s.host = "127.0.0.1";
        s.port = server.port;
        return s;
    }
    // A release folder packed by Info-ZIP (modes kept): "prog" and the assets,
    // and `carried` as publisher.pub when given.
    void pack(const std::string &carried, bool program = true)
    {
        ScratchDir src;
        if (program)
            write_file(src / "prog", "#!/bin/sh\necho launcher\n", 0755);
        write_file(src / "flashpunk.ttf", "font");
        write_file(src / "background.png", "tile");
        if (!carried.empty())
            write_file(src / "publisher.pub", carried);
        ASSERT_EQ(run("rm -f " + quote(dir / "made.zip") + " && cd " + quote(src.path) + " && zip -qr " +
                      quote(dir / "made.zip") + " ."), 0);
        zip = read_file(dir / "made.zip");
    }
    void serve(int release, const std::string &signature)
    {
        const std::string uri = launcherReleaseUri(release) + kLauncherPackage;
        server.set(uri, Answer{200, zip});
        server.set(uri + kSignatureSuffix, Answer{200, signature});
    }
    std::string comment(int release) { return std::string("file:launcher.zip launcher:") + std::to_string(release); }
};

TEST_F(LauncherServer, TheManifestOffersAReleaseOnlyWhenSignedAndCurrent)
{
    struct Case {
        const char *what;
        int status;
        std::string signature;
        int offered, kind;
    };
    const std::string name = "file:launcher/version.txt";
    const Case cases[] = {
        {"signed, unexpired", 200, signedBy("2\n", name + " launcher:2 expires:" + utcIn(86400)), 2, FAILURE_NONE},
        {"signed by another key", 200, signedBy("2\n", name + " launcher:2 expires:" + utcIn(86400), "b"), 0,
         FAILURE_BAD_SIGNATURE},
        {"expired", 200, signedBy("2\n", name + " launcher:2 expires:" + utcIn(-3600)), 0, FAILURE_EXPIRED},
        {"for the game's manifest", 200, signedBy("2\n", "file:version.txt launcher:2 expires:" + utcIn(86400)), 0,
         FAILURE_BAD_SIGNATURE},
        {"no release named", 200, signedBy("2\n", name + " expires:" + utcIn(86400)), 0, FAILURE_BAD_SIGNATURE},
        {"none published", 404, "", 0, FAILURE_NONE},
    };
    for (const Case &c : cases) {
        server.set(signatureUri(launcherManifestUri()), Answer{c.status, c.signature});
        call_context ctx;
        EXPECT_EQ(launcherOnOffer(where(), 2000, time(nullptr), &ctx), c.offered) << c.what;
        EXPECT_STREQ(failure_name(context_failure(&ctx)), failure_name(c.kind)) << c.what << ": " << context_line(&ctx);
    }
    publicKey.clear();
    call_context ctx;
    EXPECT_EQ(launcherOnOffer(where(), 2000, time(nullptr), &ctx), 0)
        << "a launcher built without a key must never take a release";
    EXPECT_EQ(server.requests.size(), 6u) << "a launcher without a key asks for nothing";
}

TEST_F(LauncherServer, ARefusedReleaseLeavesNothing)
{
    struct Case {
        const char *what;
        std::string carried;
        bool program;
        std::string key, comment;
        int kind;
        const char *line;
    };
    const Case cases[] = {
        {"signed by another key (carrying it)", keyLine("b"), true, "b", "file:launcher.zip launcher:2",
         FAILURE_BAD_SIGNATURE, "it was made with another key"},
        {"signed for release 3", "", true, "a", "file:launcher.zip launcher:3", FAILURE_BAD_SIGNATURE,
         "it was made for another launcher release"},
        {"signed for the game's package", "", true, "a", "file:vantorique_osx.zip launcher:2", FAILURE_BAD_SIGNATURE,
         "it was made for another file"},
        {"no program in it", "", false, "a", "file:launcher.zip launcher:2", FAILURE_DAMAGED,
         "it holds no program at prog"},
        {"a carried key that is none", "untrusted comment: x\nRWnotakey\n", true, "a", "file:launcher.zip launcher:2",
         FAILURE_DAMAGED, "its publisher.pub holds no minisign public key"},
    };
    for (const Case &c : cases) {
        ScratchDir folder;
        InFolder in(folder.path);
        pack(c.carried, c.program);
        serve(2, signedBy(zip, c.comment, c.key));
        call_context ctx;
        EXPECT_FALSE(takeLauncherRelease(where(), 2, "prog", 0, &ctx)) << c.what;
        EXPECT_STREQ(failure_name(context_failure(&ctx)), failure_name(c.kind)) << c.what;
        EXPECT_EQ(context_line(&ctx), c.line) << c.what;
        // The download deleted at once, nothing staged, placed or chosen: at most an empty app/.
        EXPECT_EQ(output_of("find . -mindepth 1 ! -path ./app"), "") << c.what << ": a refused release leaves nothing";
    }
}

TEST_F(LauncherServer, AKillAtEachStepLeavesALauncherThatStarts)
{
    pack(keyLine("b"));
    serve(2, signedBy(zip, comment(2)));
    static const char *const steps[] = {"fetched", "verified", "unpacked", "checked", "synced",
                                        "placed",  "committed", "done"};
    for (size_t i = 0; i < sizeof steps / sizeof *steps; i++) {
        static const char *killAt;
        killAt = steps[i];
        const bool chosen = i >= 6;  // the choice is written at "committed"
        ScratchDir folder;
        InFolder in(folder.path);
        write_file("prog", "#!/bin/sh\n", 0755);  // the folder's own program, launcher 1
        pid_t child = fork();
        if (child == 0) {
            selfStepHook = [](const char *step) { strcmp(step, killAt) == 0 && raise(SIGKILL); };
            call_context ctx;
            _exit(takeLauncherRelease(where(), 2, "prog", 0, &ctx) ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << killAt << ": the step was never reached (exit " << WEXITSTATUS(status)
                                         << ")";
        std::vector<std::string> notes;
        const int started = chooseRelease("prog", 1, notes);
        EXPECT_EQ(started, chosen ? 2 : 0) << "killed at " << killAt << ": "
                                           << (chosen ? "release 2 was chosen" : "release 2 was not chosen yet");
        if (started) {
            EXPECT_TRUE(releaseRunnable(2, "prog")) << "killed at " << killAt << ": release 2 must be whole";
        }
        EXPECT_FALSE(exists("app/.staging")) << "killed at " << killAt << ": the next start removes the staging";
        LauncherChoice choice;
        EXPECT_TRUE(readChoice(choice)) << killAt;
        EXPECT_EQ(choice.key, chosen ? keyLine("b") : "")
            << "killed at " << killAt << ": the carried key is in force exactly when its release is chosen";
        if (!chosen) {
            call_context ctx;
            EXPECT_TRUE(takeLauncherRelease(where(), 2, "prog", 0, &ctx))
                << "killed at " << killAt << ": the next try must take it: " << context_line(&ctx);
            readChoice(choice);
            EXPECT_EQ(choice.current, 2) << killAt;
            EXPECT_FALSE(exists("launcher.zip")) << killAt;
        }
        EXPECT_EQ(output_of("ls -A app | grep -v -x -e choice.txt -e 2 -e starting || true"), "")
            << "killed at " << killAt << ": left in app/";
    }
}

TEST_F(LauncherServer, ABrokenTransferGoesOnFromWhereItStopped)
{
    pack("");
    const std::string uri = launcherReleaseUri(2) + kLauncherPackage;
    Answer cut{200, zip};
    cut.etag = "\"r2\"";
    cut.cut_once = zip.size() / 2;
    server.set(uri, cut);
    server.set(uri + kSignatureSuffix, Answer{200, signedBy(zip, comment(2))});
    ScratchDir folder;
    InFolder in(folder.path);
    call_context first;
    EXPECT_FALSE(takeLauncherRelease(where(), 2, "prog", 0, &first)) << "the line broke half-way";
    EXPECT_STREQ(failure_name(context_failure(&first)), "FAILURE_NO_ANSWER") << context_line(&first);
    EXPECT_EQ(read_file("launcher.zip.part").size(), zip.size() / 2) << "the bytes that came must be kept";
    EXPECT_FALSE(exists("app/choice.txt")) << "nothing may be chosen after a broken transfer";
    call_context second;
    ASSERT_TRUE(takeLauncherRelease(where(), 2, "prog", 0, &second)) << context_line(&second);
    std::string asked;  // the last request for the package itself
    for (const std::string &request : server.requests)
        if (request.find("GET " + uri + " ") != std::string::npos)
            asked = request;
    EXPECT_NE(asked.find("Range: bytes=" + std::to_string(zip.size() / 2) + "-"), std::string::npos)
        << "the next try must ask only for the rest:\n" << asked;
    EXPECT_EQ(read_file("app/2/prog"), "#!/bin/sh\necho launcher\n") << "release 2 must be whole";
}

TEST_F(LauncherServer, OneLauncherAtATimeTakesARelease)
{
    pack("");
    serve(2, signedBy(zip, comment(2)));
    ScratchDir folder;
    InFolder in(folder.path);
    ASSERT_EQ(run("mkdir -p app/.staging && echo half > app/.staging/prog"), 0);
    Fd other(open("app", O_RDONLY | O_DIRECTORY | O_CLOEXEC));  // another launcher, taking release 2
    ASSERT_EQ(flock(other.fd, LOCK_EX | LOCK_NB), 0);
    call_context ctx;
    EXPECT_FALSE(takeLauncherRelease(where(), 2, "prog", 0, &ctx)) << "the folder is another launcher's meanwhile";
    EXPECT_STREQ(failure_name(context_failure(&ctx)), "FAILURE_BUSY") << context_line(&ctx);
    EXPECT_TRUE(server.requests.empty()) << "nothing may be fetched while another launcher takes a release";
    std::vector<std::string> notes;
    chooseRelease("prog", 1, notes);
    EXPECT_TRUE(exists("app/.staging/prog")) << "a start must leave another launcher's staging alone";
    other = Fd();
    chooseRelease("prog", 1, notes);
    EXPECT_FALSE(exists("app/.staging")) << "a staging nobody holds is a kill's leftover: the next start removes it";
    call_context after;
    EXPECT_TRUE(takeLauncherRelease(where(), 2, "prog", 0, &after)) << "once free: " << context_line(&after);
}
