// The check worker with a publisher key: a manifest is believed only with the
// publisher's signature for its own number, unexpired, and never older than a
// version verified before. Every refusal is a check failure with its reason,
// which offers Play Offline; the installed game is left as it is.
#include "helpers.h"
#include "http_server.h"
#include "manifest.h"
#include "rollout.h"
#include "signature.h"
#include "signing.h"
#include "state.h"
#include "workers.h"

using namespace testutil;

namespace {

const char kManifest[] = "/vantorique/autoupdate/version.txt";
const char kManifestSignature[] = "/vantorique/autoupdate/version.txt.minisig";
const std::string kBody = "2~Version 2:\n- a second level`\n";

class SignedManifest : public testing::Test {
protected:
    void SetUp() override
    {
        publicKey = trustedKey();
        server.start();
        updateHost = "127.0.0.1", updatePort = server.port;
        ASSERT_NE(getcwd(home, sizeof home), nullptr) << "the test's own folder must be known, to come back to";
        ASSERT_EQ(mkdir((dir / "launcher").c_str(), 0755), 0);
        ASSERT_EQ(chdir((dir / "launcher").c_str()), 0);
        write_file("version.txt", "1");
    }
    void TearDown() override
    {
        publicKey.clear();
        EXPECT_EQ(chdir(home), 0) << "cannot return to " << home;
    }
    char home[4096] = "";

    // One check of `body` with `signature` (none served when empty) by a
    // launcher with version 1 installed.
    void check(const std::string &body, const std::string &signature)
    {
        resetLauncherState();
        vantoriqueVersion = 1;
        updateText = "untouched";
        server.set(kManifest, Answer{200, body});
        server.set(kManifestSignature, signature.empty() ? Answer{404, "not here"} : Answer{200, signature});
        ThreadCheckFunc(nullptr);
        ASSERT_TRUE(doneCheckUpdating) << "the check must report";
    }

    ScratchDir dir;
    HttpServer server;
};

}  // namespace

TEST_F(SignedManifest, EachFaultIsACheckFailureWithItsReason)
{
    const std::string good = signedBy(kBody, manifestComment(2)), expiredAt = utcIn(-6 * 60);
    std::string truncated = good;
    truncated.resize(good.find("trusted comment:"));
    struct FaultCase {
        const char *what;
        std::string body, signature;
        int kind;             // the refusal's kind; FAILURE_NONE for an offer
        std::string detail;   // the line under the screen's words
    };
    const FaultCase cases[] = {
        {"a signed, fresh manifest", kBody, good, FAILURE_NONE, ""},
        {"an expiry within the 5 minutes of clock skew", kBody, signedBy(kBody, manifestComment(2, -4 * 60)), FAILURE_NONE, ""},
        {"unsigned", kBody, "", FAILURE_UNSIGNED, ""},
        {"signed with another key", kBody, signedBy(kBody, manifestComment(2), "b"),
         FAILURE_BAD_SIGNATURE, "it was made with another key"},
        {"an edited change log", "2~Download the fixed game at evil.example`\n", good,
         FAILURE_BAD_SIGNATURE, "the answer does not match its signature"},
        {"a signature of another version", kBody, signedBy(kBody, manifestComment(3)),
         FAILURE_BAD_SIGNATURE, "it was made for another version"},
        {"a signature of another file", kBody, signedBy(kBody, "file:vantorique_osx.zip version:2 expires:" + utcIn(86400)),
         FAILURE_BAD_SIGNATURE, "it was made for another file"},
        {"expired", kBody, signedBy(kBody, "file:version.txt version:2 expires:" + expiredAt),
         FAILURE_EXPIRED, "it expired at " + expiredAt},
        {"expired, with a later expiry beside", kBody,
         signedBy(kBody, "file:version.txt version:2 expires:" + expiredAt + " expires:" + utcIn(86400)),
         FAILURE_EXPIRED, "it expired at " + expiredAt},
        {"a truncated signature", kBody, truncated, FAILURE_BAD_SIGNATURE, "the signature is malformed"},
        {"a trusted comment without an expiry", kBody, signedBy(kBody, "file:version.txt version:2"),
         FAILURE_BAD_SIGNATURE, "its trusted comment names no expiry"},
        {"an expiry that is no time", kBody, signedBy(kBody, "file:version.txt version:2 expires:2999-02-30T00:00:00Z"),
         FAILURE_BAD_SIGNATURE, "its expiry is not a time"},
    };
    for (const FaultCase &c : cases) {
        unlink(kVerifiedVersionFile);
        check(c.body, c.signature);
        const bool refused = c.kind != FAILURE_NONE;
        EXPECT_STREQ(failure_name(checkFailure.kind), failure_name(c.kind)) << c.what << ": the kind of refusal";
        EXPECT_EQ(checkFailure.line, c.detail) << c.what << ": the detail the check-failure screen shows";
        EXPECT_EQ(updatingError, refused) << c.what << ": a refused manifest must end on the check-failure screen";
        EXPECT_EQ(updateAvailable, !refused) << c.what << ": an update is offered only from a believed manifest";
        EXPECT_EQ(updateText, refused ? "untouched" : "Version 2:\n- a second level") << c.what << ": the change log";
        EXPECT_EQ(read_file("version.txt"), "1") << c.what << ": the installed version must stay for Play Offline";
        EXPECT_EQ(read_file(kVerifiedVersionFile), refused ? "" : "2")
            << c.what << ": only a believed manifest is remembered in " << kVerifiedVersionFile;
    }
}

TEST_F(SignedManifest, AReplayOfAnOlderManifestIsRefusedEvenWithoutAVersionFile)
{
    const std::string old = signedBy(kBody, manifestComment(2));
    const std::string newer = "3~Version 3`", newerSignature = signedBy(newer, manifestComment(3));
    check(newer, newerSignature);
    EXPECT_TRUE(updateAvailable && checkFailure.kind == FAILURE_NONE) << "version 3, signed and fresh, must be offered";
    EXPECT_EQ(read_file(kVerifiedVersionFile), "3");

    unlink("version.txt");  // the player lost the version file: a new player to the server
    check(kBody, old);
    EXPECT_TRUE(updatingError && !updateAvailable) << "the older version must not be offered";
    EXPECT_EQ(checkFailure.kind, FAILURE_OLDER) << failure_name(checkFailure.kind) << ": a replay of an older manifest";
    EXPECT_EQ(checkFailure.line, "it offers 2, 3 was seen before");
    EXPECT_EQ(read_file(kVerifiedVersionFile), "3") << "a replay must not lower the remembered version";

    check(newer, newerSignature);  // the same version again is no replay
    EXPECT_TRUE(updateAvailable && checkFailure.kind == FAILURE_NONE) << "version 3 again must still be offered";
}

TEST_F(SignedManifest, WithoutAnAnswerForTheSignatureTheConnectionFailed)
{
    resetLauncherState();
    server.set(kManifest, Answer{200, kBody});
    Answer silent{200, "never sent"};
    silent.hang = true;
    server.set(kManifestSignature, silent);
    ThreadCheckFunc(nullptr);
    EXPECT_TRUE(doneCheckUpdating && updatingError && checkFailure.kind == FAILURE_NO_ANSWER)
        << "a signature that never comes is a connection failure, within the check's time limit";
}

TEST(ManifestExpiry, OnlyTheOneFormOfARealTime)
{
    const std::pair<const char *, long long> cases[] = {  // text, seconds since 1970 (-1: refused)
        {"2026-12-22T18:00:00Z", 1797962400}, {"1970-01-01T00:00:00Z", 0}, {"2024-02-29T23:59:59Z", 1709251199},
        {"2025-02-29T00:00:00Z", -1}, {"2026-12-22T18:00:00", -1}, {"2026-12-22 18:00:00Z", -1},
        {"2026-12-22T24:00:00Z", -1}, {"2026-13-01T00:00:00Z", -1}, {"+026-12-22T18:00:00Z", -1}, {"", -1},
        {"1798221600", -1}};
    for (const auto &[text, seconds] : cases) {
        time_t when = 0;
        EXPECT_EQ(parseExpiry(text, when), seconds >= 0) << text;
        EXPECT_TRUE(seconds < 0 || when == seconds) << text << " read as " << when;
    }
}

// A launcher follows the channel its channel.txt names (the default one
// without it) and believes only a manifest signed for that channel; the
// share of installs a manifest is signed for decides who is offered it.
TEST_F(SignedManifest, ChannelsAndTheRolloutShare)
{
    const char kBeta[] = "/vantorique/autoupdate/channels/beta/version.txt";
    const std::string fresh = " expires:" + utcIn(86400);
    struct ChannelCase {
        const char *what;
        const char *channelFile;  // nullptr: none
        const char *path;         // where the server has the manifest
        std::string comment;
        std::string failure;      // kind and detail; "" when believed (and offered: 2 over 1, rollout 100)
    };
    const ChannelCase cases[] = {
        {"the default channel, before channels were signed", nullptr, kManifest, "file:version.txt version:2" + fresh, ""},
        {"the default channel", nullptr, kManifest, manifestComment(2), ""},
        {"beta, from channel.txt", "beta\n", kBeta, "file:version.txt version:2" + fresh + " channel:beta rollout:100", ""},
        {"the default channel's manifest served to beta", "beta\n", kBeta, manifestComment(2),
         "FAILURE_BAD_SIGNATURE: it is the default channel's, this launcher follows beta"},
        {"beta's manifest served as the default one", nullptr, kManifest,
         "file:version.txt version:2" + fresh + " channel:beta", "FAILURE_BAD_SIGNATURE: it is the beta channel's, this launcher follows default"},
        {"a rollout that is no share", nullptr, kManifest, "file:version.txt version:2" + fresh + " rollout:101",
         "FAILURE_BAD_SIGNATURE: its rollout is not a share from 0 to 100"},
        {"two channels", nullptr, kManifest, manifestComment(2) + " channel:beta",
         "FAILURE_BAD_SIGNATURE: it is the beta channel's, this launcher follows default"},
    };
    for (const ChannelCase &c : cases) {
        unlink("channel.txt");
        unlink(kVerifiedVersionFile);
        if (c.channelFile)
            write_file("channel.txt", c.channelFile);
        resetLauncherState();
        vantoriqueVersion = 1;
        server.set(kManifest, Answer{404, "not here"});
        server.set(kBeta, Answer{404, "not here"});
        server.set(kManifestSignature, Answer{404, "not here"});
        server.set(c.path, Answer{200, kBody});
        server.set(std::string(c.path) + ".minisig", Answer{200, signedBy(kBody, c.comment)});
        ThreadCheckFunc(nullptr);
        const std::string failure =
            checkFailure.kind == FAILURE_NONE ? "" : std::string(failure_name(checkFailure.kind)) + ": " + checkFailure.line;
        EXPECT_EQ(failure, c.failure) << c.what;
        EXPECT_EQ(updateAvailable.load(), c.failure.empty()) << c.what << ": offered only when believed";
    }
    unlink("channel.txt");

    // The rollout: this install's bucket for version 2 decides.
    const int bucket = rolloutBucket(installId(kInstallIdFile), 2);
    struct ShareCase {
        const char *what;
        int installed, rollout;
        bool offered;
    };
    const ShareCase shares[] = {
        {"a share just above the install's bucket", 1, bucket + 1, true},
        {"a share at the install's bucket", 1, bucket, false},
        {"halted (rollout 0)", 1, 0, false},
        {"halted, on an install that has version 2", 2, 0, false},
        {"everyone", 1, 100, true},
    };
    for (const ShareCase &s : shares) {
        unlink(kVerifiedVersionFile);
        resetLauncherState();
        vantoriqueVersion = s.installed;
        server.set(kManifest, Answer{200, kBody});
        server.set(kManifestSignature, Answer{200, signedBy(kBody, "file:version.txt version:2" + fresh +
                                                                      " channel:default rollout:" + std::to_string(s.rollout))});
        ThreadCheckFunc(nullptr);
        EXPECT_EQ(updateAvailable.load(), s.offered) << s.what << " (bucket " << bucket << ", rollout " << s.rollout << ")";
        EXPECT_FALSE(updatingError) << s.what << ": a release not offered is no failure; the game starts as it is";
        EXPECT_EQ(read_file(kVerifiedVersionFile), "2") << s.what << ": a believed manifest is remembered, offered or not";
    }
}
