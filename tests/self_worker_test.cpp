// The check worker's part in replacing the launcher: it looks once, before
// the game's manifest, and takes only a newer release that was neither
// refused before nor already the one in place.
#include "choice.h"
#include "running.h"
#include "server_layout.h"
#include "signing.h"
#include "worker_fixture.h"

#include <algorithm>

using namespace testutil;

class SelfCheck : public WorkerFixture {
protected:
    void SetUp() override
    {
        WorkerFixture::SetUp();
        publicKey = trustedKey();
        launcherProgram = "prog";
        runningRelease = 0;
        launcherVersion = 1;
        launcherJustTaken = false;
        server.set(manifestUri(), Answer{200, "1~Version 1`"});
        server.set(signatureUri(manifestUri()), Answer{200, signedBy("1~Version 1`", manifestComment(1))});
    }
    void TearDown() override
    {
        launcherProgram.clear();
        runningRelease = 0;
        launcherVersion = 1;
        launcherJustTaken = false;
        WorkerFixture::TearDown();
    }
    void offer(int release)
    {
        server.set(signatureUri(launcherManifestUri()),
                   Answer{200, signedBy(std::to_string(release) + "\n",
                                        "file:launcher/version.txt launcher:" + std::to_string(release) +
                                            " expires:" + utcIn(86400))});
    }
    // How many requests named `what`.
    size_t asked(const std::string &what)
    {
        return size_t(std::count_if(server.requests.begin(), server.requests.end(),
                                    [&](const std::string &r) { return r.find(what) != std::string::npos; }));
    }
};

TEST_F(SelfCheck, OnlyANewerReleaseNeitherRefusedNorInPlaceIsFetched)
{
    struct Case {
        const char *what;
        int offered, running, own;
        std::string choice;
        bool fetched;
    };
    const Case cases[] = {
        {"the release that runs is on offer", 1, 0, 1, "", false},
        {"an older one is on offer", 1, 0, 2, "", false},
        {"a newer one", 2, 0, 1, "", true},
        {"a newer one, refused before", 2, 0, 1, "current 0\nprevious 0\nrefused 2\n", false},
        {"release 2 runs, built saying it is 1", 2, 2, 1, "current 2\nprevious 0\n", false},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(run("rm -rf app && mkdir -p app/2 && printf '#!/bin/sh\\n' > app/2/prog && chmod 755 app/2/prog"), 0);
        if (!c.choice.empty())
            write_file("app/choice.txt", c.choice);
        runningRelease = c.running;
        launcherVersion = c.own;
        offer(c.offered);
        server.requests.clear();
        resetLauncherState();
        ThreadCheckFunc(nullptr);
        EXPECT_EQ(asked(launcherReleaseUri(c.offered) + kLauncherPackage), c.fetched ? 1u : 0u)
            << c.what << ": the release must " << (c.fetched ? "" : "not ") << "be fetched";
        EXPECT_EQ(asked(signatureUri(launcherManifestUri()) + " "), 1u) << c.what << ": one look, no more";
        if (!c.fetched) {
            EXPECT_TRUE(doneCheckUpdating && !updatingError) << c.what << ": the game's check goes on as always";
            EXPECT_EQ(asked(manifestUri() + " "), 1u) << c.what;
        }
    }
}

TEST_F(SelfCheck, AStartAfterATakenReleaseDoesNotLookAgain)
{
    offer(2);
    launcherJustTaken = true;
    ThreadCheckFunc(nullptr);
    EXPECT_EQ(asked(launcherManifestUri()), 0u) << "the launcher just taken must not ask for the launcher's manifest";
    EXPECT_TRUE(doneCheckUpdating && !updatingError) << "the game's check must go on as always";
}
