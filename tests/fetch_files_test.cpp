// The files a plan lacks, fetched by Range: when they are fetched, when the
// package is asked for instead (and why), and the room asked for before any
// byte comes, against the loopback server.
#include "fetch_files.h"
#include "helpers.h"
#include "http_server.h"
#include "log.h"
#include "worker_fixture.h"

#include <sys/mount.h>

using namespace testutil;

namespace {

const char kUri[] = "/vantorique/autoupdate/releases/7/vantorique_osx.zip";


// A plan of `files` files in spans of `length` bytes, 40000 apart (never
// joined), writing `writes`.
update_plan planOf(int files, uint64_t length, uint64_t writes = 1000)
{
    update_plan plan;
    for (int i = 0; i < files; i++) {
        plan.fetched.push_back("Contents/Resources/pack-" + std::to_string(i) + ".dat");
        plan.spans.push_back({uint64_t(i) * 40000, length});
        plan.fetch_bytes += length;
    }
    plan.write_bytes = writes;
    return plan;
}

class FetchFiles : public WorkerFixture {
protected:
    UpdateServer here() { return UpdateServer{"127.0.0.1", server.port, &stop}; }
    FilesOutcome fetch(const update_plan &plan, unsigned long long size, const std::string &parent = "..")
    {
        context_start(&ctx);
        return fetchPlannedFiles(here(), 7, size, plan, "parts", parent, progress, &ctx);
    }
    std::string log() { return read_file("launcher.log"); }

    std::atomic<bool> stop{false};
    call_context ctx;
    DownloadProgress progress;
};

}  // namespace

// Fetched: each span in place, the screen told how many files.
TEST_F(FetchFiles, TheSpansOfAFewFilesLandInTheSparseCopy)
{
    startSupportLog();
    const std::string package = servedBytes(100000);
    server.set(kUri, Answer{200, package, -1, "\"v7\""});
    EXPECT_EQ(fetch(planOf(3, 500), package.size()), kFilesFetched) << failure_name(context_failure(&ctx));
    const std::string copy = read_file("parts");
    ASSERT_EQ(copy.size(), package.size()) << "parts: the package's length";
    for (size_t at : {0, 40000, 80000})
        EXPECT_TRUE(copy.compare(at, 500, package, at, 500) == 0) << "parts: the span at " << at;
    EXPECT_TRUE(copy.compare(600, 39000, std::string(39000, '\0')) == 0) << "parts: nothing between the spans";
    EXPECT_EQ(progress.fetching.load(), kFetchingFiles) << "the screen must say files are fetched";
    EXPECT_EQ(progress.files.load(), 3) << "the screen's count of files";
    EXPECT_NE(log().find("Fetching 3 files: 1500 bytes in 3 parts of the package"), std::string::npos) << log();
    unlink("parts");

    // Nothing to fetch: a copy of holes, nothing asked.
    server.requests.clear();
    EXPECT_EQ(fetch(planOf(0, 0), 5000), kFilesFetched) << failure_name(context_failure(&ctx));
    EXPECT_TRUE(read_file("parts") == std::string(5000, '\0')) << "parts: 5000 bytes of holes";
    EXPECT_TRUE(server.requests.empty()) << "nothing to fetch, nothing asked";
}

// The package instead: past half of it, or from a server that sends no
// parts; the log says why and no copy is left.
TEST_F(FetchFiles, ThePackageWhenTheFilesComeToMostOfItOrNoPartsAreSent)
{
    struct PackageCase {
        const char *what;
        Answer answer;
        update_plan plan;
        const char *logged;
        size_t requests;     // at most
        bool parts = false;  // fetched in parts after all
    };
    const std::string package = servedBytes(100000);
    const PackageCase cases[] = {
        {"half the package and a byte", Answer{200, package, -1, "\"v7\""}, planOf(1, 50001),
         "The 1 file to fetch comes to 50% of the package: fetching the package", 0},
        {"six files of 9000 bytes", Answer{200, package, -1, "\"v7\""}, planOf(6, 9000),
         "The 6 files to fetch come to 54% of the package: fetching the package", 0},
        {"two files, 40% of it, are fetched in parts", Answer{200, package, -1, "\"v7\""}, planOf(2, 20000),
         "Fetching 2 files: 40000 bytes in 2 parts of the package", 2, true},
        {"a server that ignores Range (200, the whole file)", Answer{200, package}, planOf(2, 100),
         "No parts of the package: ", 2},
        {"a server that answers 501 to a range", Answer{200, package, -1, "\"v7\"", std::string::npos, false, false, "",
                                                        "501"},
         planOf(2, 100), "No parts of the package: ", 2},
    };
    for (const PackageCase &c : cases) {
        startSupportLog();
        server.requests.clear();
        server.set(kUri, c.answer);
        const bool parts = c.parts;
        EXPECT_EQ(fetch(c.plan, package.size()), parts ? kFilesFetched : kFilesWholePackage)
            << c.what << (parts ? ": the parts must be fetched" : ": the package must be asked for");
        EXPECT_EQ(context_failure(&ctx), FAILURE_NONE) << c.what << ": not a failure, another road";
        EXPECT_NE(log().find(c.logged), std::string::npos) << c.what << ": the log must say why: " << log();
        EXPECT_LE(server.requests.size(), c.requests) << c.what << ": requests made";
        EXPECT_TRUE(c.requests > 0 || server.requests.empty()) << c.what << ": nothing may be asked";
        EXPECT_EQ(exists("parts"), parts) << c.what << (parts ? ": parts must be made" : ": parts must not stay");
        unlink("parts");
    }
}

// A disk that cannot hold what the plan writes: "Disk full" before a byte
// is asked for.
TEST_F(FetchFiles, DiskFullBeforeAnyByte)
{
    const std::string parent = dir / "small";
    ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
    if (mount("tmpfs", parent.c_str(), "tmpfs", 0, "size=4m") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs (needs root): " << strerror(errno);
    startSupportLog();
    server.set(kUri, Answer{200, servedBytes(100000), -1, "\"v7\""});
    const FilesOutcome got = fetch(planOf(1, 500, 8 << 20), 100000, parent);
    umount(parent.c_str());
    EXPECT_EQ(got, kFilesFailed) << "8 MB to write on a 4 MB disk must fail";
    EXPECT_EQ(context_failure(&ctx), FAILURE_NO_SPACE) << context_line(&ctx);
    EXPECT_TRUE(server.requests.empty()) << "not a byte may be asked for before the room is known";
    EXPECT_FALSE(exists("parts")) << "parts must not be made";
}
