// The workers' test room: a loopback server, a launcher folder of its own as
// the working directory, and one run of the download worker.
#pragma once

#include "helpers.h"
#include "http_server.h"
#include "signature.h"
#include "state.h"
#include "workers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

// Bytes a server serves in range tests: no zero among them, so a zero in a
// sparse copy is a hole.
inline std::string servedBytes(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = char(i * 31 % 251 + 1);
    return s;
}

class WorkerFixture : public testing::Test {
protected:
    void SetUp() override
    {
        resetLauncherState();
        publicKey.clear();
        server.start();
        updateHost = "127.0.0.1", updatePort = server.port;
        ASSERT_NE(getcwd(home, sizeof home), nullptr) << "the test's own folder must be known, to come back to";
        ASSERT_EQ(mkdir((dir / "launcher").c_str(), 0755), 0);
        ASSERT_EQ(chdir((dir / "launcher").c_str()), 0);
    }
    // Back where the test started: the scratch folder goes with the test,
    // and a later test in this process must not stand in a removed folder.
    void TearDown() override
    {
        publicKey.clear();
        EXPECT_EQ(chdir(home), 0) << "cannot return to " << home;
    }

    // One run of the download worker: its failure's kind ("FAILURE_NO_ANSWER"),
    // "" on success.
    std::string download()
    {
        resetLauncherState();
        ThreadDownloadFunc(nullptr);
        EXPECT_TRUE(downloadComplete && downloadSuccess == (downloadFailure.kind == FAILURE_NONE))
            << "the download worker must end with a failure exactly when it failed";
        return downloadSuccess ? "" : failure_name(downloadFailure.kind);
    }

    char home[4096] = "";
    testutil::ScratchDir dir;
    testutil::HttpServer server;
};
