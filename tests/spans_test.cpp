// Parts of a file fetched by Range into a sparse copy: against the loopback
// server (ranges served right, and each way a server gets them wrong) and
// against nginx with the shipped site.
#include "helpers.h"
#include "http_server.h"
#include "log.h"
#include "spans.h"
#include "worker_fixture.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <thread>

using namespace testutil;

namespace {

const char kUri[] = "/vantorique/autoupdate/releases/7/vantorique_osx.zip";


std::string spansText(const std::vector<ByteSpan> &spans)
{
    std::string text;
    for (const ByteSpan &s : spans)
        text += std::to_string(s.offset) + "+" + std::to_string(s.length) + " ";
    return text.empty() ? "(none)" : text;
}

// Whether `copy` holds `original` at each span and zeros elsewhere; the
// first offset that differs in `where`.
bool sparseCopyOf(const std::string &copy, const std::string &original, const std::vector<ByteSpan> &spans,
                  std::string &where)
{
    if (copy.size() != original.size()) {
        where = "size " + std::to_string(copy.size()) + ", not " + std::to_string(original.size());
        return false;
    }
    std::vector<bool> fetched(copy.size());
    for (const ByteSpan &s : spans)
        for (unsigned long long i = s.offset; i < s.offset + s.length; i++)
            fetched[i] = true;
    for (size_t i = 0; i < copy.size(); i++)
        if (copy[i] != (fetched[i] ? original[i] : '\0')) {
            where = "byte " + std::to_string(i) + (fetched[i] ? " of a span" : " outside the spans");
            return false;
        }
    return true;
}

class Spans : public WorkerFixture {
protected:
    UpdateServer here() { return UpdateServer{"127.0.0.1", server.port, &stop}; }

    // fetchSpans into "copy.zip"; the failure's kind ("FAILURE_NONE" on success).
    std::string fetch(unsigned long long size, const std::vector<ByteSpan> &spans, int inFlight = 3)
    {
        context_start(&ctx);
        fetchSpans(here(), kUri, size, spans, inFlight, "copy.zip", progress, &ctx);
        return failure_name(context_failure(&ctx));
    }

    std::atomic<bool> stop{false};
    call_context ctx;
    DownloadProgress progress;
};

}  // namespace

TEST(JoinSpans, SortedJoinedAndEmptyOnesDropped)
{
    struct JoinCase {
        const char *what;
        std::vector<ByteSpan> spans;
        unsigned long long gap;
        std::vector<ByteSpan> joined;
    };
    const JoinCase cases[] = {
        {"none", {}, 4096, {}},
        {"only empty ones", {{10, 0}, {0, 0}}, 4096, {}},
        {"unsorted, far apart", {{9000, 10}, {0, 10}, {5000, 10}}, 100, {{0, 10}, {5000, 10}, {9000, 10}}},
        {"overlapping", {{100, 50}, {120, 100}}, 0, {{100, 120}}},
        {"one inside another", {{100, 500}, {200, 10}}, 0, {{100, 500}}},
        {"adjacent, no gap allowed", {{0, 100}, {100, 50}}, 0, {{0, 150}}},
        {"a gap under the limit: the bytes between come too", {{0, 100}, {199, 1}}, 100, {{0, 200}}},
        {"a gap of exactly the limit stays a gap", {{0, 100}, {200, 1}}, 100, {{0, 100}, {200, 1}}},
        {"a chain joined into one", {{300, 10}, {0, 10}, {150, 10}, {20, 10}}, 200, {{0, 310}}},
        {"empty ones among others", {{50, 0}, {0, 10}, {10, 0}, {30, 5}}, 0, {{0, 10}, {30, 5}}},
        {"an end past 2^64 cut there", {{~0ULL - 10, 100}}, 0, {{~0ULL - 10, 10}}},
    };
    for (const JoinCase &c : cases)
        EXPECT_EQ(spansText(joinSpans(c.spans, c.gap)), spansText(c.joined)) << c.what;
}

// Each span lands at its offset, one range a request; all else stays a hole.
TEST_F(Spans, EachSpanLandsAtItsOffset)
{
    const std::string file = servedBytes(4 << 20);
    server.set(kUri, Answer{200, file, -1, "\"v7\""});
    const std::vector<ByteSpan> spans = {{0, 1}, {1000, 70000}, {2 << 20, 4096}, {(4 << 20) - 30, 30}, {500000, 1}};
    ASSERT_EQ(fetch(file.size(), spans), "FAILURE_NONE") << context_line(&ctx);
    std::string where;
    EXPECT_TRUE(sparseCopyOf(read_file("copy.zip"), file, spans, where)) << "copy.zip: " << where;
    EXPECT_EQ(progress.done.load(), 70000 + 4096 + 30 + 2) << "progress must count the spans' bytes";
    EXPECT_EQ(progress.total.load(), 70000 + 4096 + 30 + 2) << "the total must be the spans' bytes";
    std::string asked;
    for (const std::string &request : server.requests)
        asked += HttpServer::header(request, "Range") + " ";
    for (const char *range : {"bytes=0-0 ", "bytes=1000-70999 ", "bytes=2097152-2101247 ", "bytes=4194274-4194303 ",
                              "bytes=500000-500000 "})
        EXPECT_NE(asked.find(range), std::string::npos) << range << "must be asked once; asked: " << asked;
    EXPECT_EQ(server.requests.size(), spans.size()) << "one request a span; asked: " << asked;
    struct stat st;
    ASSERT_EQ(stat("copy.zip", &st), 0);
    EXPECT_LT((long long)st.st_blocks * 512, 1 << 20) << "copy.zip: the bytes not fetched must be holes, not zeros written";

    // No spans: a file of holes, nothing asked.
    server.requests.clear();
    ASSERT_EQ(fetch(1000, {}), "FAILURE_NONE") << context_line(&ctx);
    EXPECT_EQ(read_file("copy.zip"), std::string(1000, '\0')) << "copy.zip: 1000 bytes of holes";
    EXPECT_TRUE(server.requests.empty()) << "nothing to ask, nothing asked";
}

// Every answer that is not the range asked fails the whole fetch, with the
// kind that says what to do next, and leaves no file.
TEST_F(Spans, WrongAnswersFailAndLeaveNoFile)
{
    struct WrongCase {
        const char *what;
        Answer answer;
        const char *kind, *line;
    };
    const std::string file = servedBytes(300000);
    auto ranged = [&](const char *fault) {
        Answer a{200, file, -1, "\"v7\""};
        a.range_fault = fault;
        return a;
    };
    Answer refused{403, "no\n"};
    const WrongCase cases[] = {
        {"Range ignored: 200 and the whole file", Answer{200, file}, "FAILURE_NO_RANGES", "ignores Range (200"},
        {"416", ranged("416"), "FAILURE_NO_RANGES", "HTTP 416 to a range"},
        {"501", ranged("501"), "FAILURE_NO_RANGES", "HTTP 501 to a range"},
        {"another range than asked", ranged("shifted"), "FAILURE_NO_RANGES", "Content-Range 'bytes 1001-2000/300000'"},
        {"a multipart answer", ranged("multipart"), "FAILURE_NO_RANGES", "multipart"},
        {"a compressed answer", ranged("gzip"), "FAILURE_NO_RANGES", "compressed (gzip)"},
        {"a body cut short", ranged("short"), "FAILURE_NO_ANSWER", "the line broke after"},
        {"a longer body, announced", ranged("long"), "FAILURE_SERVER_REFUSED", "Content-Length 1001"},
        {"a longer body, not announced", ranged("unannounced"), "FAILURE_SERVER_REFUSED", "more than the 1000 bytes"},
        {"another status", refused, "FAILURE_SERVER_REFUSED", "HTTP 403"},
        {"not on the server", Answer{404, "not here\n"}, "FAILURE_NOT_ON_SERVER", "HTTP 404"},
    };
    for (const WrongCase &c : cases) {
        server.set(kUri, c.answer);
        remove("launcher.log");
        startSupportLog();
        write_file("copy.zip", "an older copy");
        EXPECT_EQ(fetch(file.size(), {{1000, 1000}, {200000, 5000}}, 1), c.kind) << c.what << ": " << context_line(&ctx);
        EXPECT_NE(context_line(&ctx).find(c.line), std::string::npos)
            << c.what << ": the line must say '" << c.line << "', not: " << context_line(&ctx);
        EXPECT_FALSE(exists("copy.zip")) << c.what << ": copy.zip must not stay after a failed fetch";
        const std::string log = read_file("launcher.log");
        EXPECT_NE(log.find(std::string("GET http://127.0.0.1:") + std::to_string(server.port) + kUri), std::string::npos)
            << c.what << ": launcher.log must name the request:\n" << log;
        EXPECT_NE(log.find(c.line), std::string::npos) << c.what << ": launcher.log must say why:\n" << log;
    }
    EXPECT_EQ(server.requests.size(), std::size(cases)) << "one request a case: the first failure ends the fetch";
}

TEST_F(Spans, TheWholeFileIsNotTakenForARange)
{
    server.set(kUri, Answer{200, servedBytes(8 << 20)});
    startSupportLog();
    EXPECT_EQ(fetch(8 << 20, {{0, 100}}), "FAILURE_NO_RANGES") << context_line(&ctx);
    const std::string log = read_file("launcher.log");
    EXPECT_NE(log.find("HTTP 200, 0 bytes received"), std::string::npos)
        << "no byte of a 200 may be taken:\n" << log;
    EXPECT_EQ(progress.done.load(), 0) << "nothing fetched";
}

// A span the file cannot hold is refused before anything is asked or written.
TEST_F(Spans, ASpanPastTheFileIsRefusedBeforeAsking)
{
    server.set(kUri, Answer{200, servedBytes(5000), -1, "\"v7\""});
    for (const std::vector<ByteSpan> &spans : {std::vector<ByteSpan>{{0, 10}, {4990, 11}},
                                               std::vector<ByteSpan>{{5000, 1}},
                                               std::vector<ByteSpan>{{10, ~0ULL - 5}}}) {
        write_file("copy.zip", "an older copy");
        EXPECT_EQ(fetch(5000, spans), "FAILURE_DAMAGED") << spansText(spans) << context_line(&ctx);
        EXPECT_FALSE(exists("copy.zip")) << spansText(spans) << ": copy.zip must not stay";
    }
    EXPECT_TRUE(server.requests.empty()) << "nothing may be asked for a span past the file";
}

TEST_F(Spans, FailuresWithoutAServer)
{
    UpdateServer nobody{"127.0.0.1", server.port, &stop};
    server.stop();  // the port no one listens on any more
    context_start(&ctx);
    EXPECT_FALSE(fetchSpans(nobody, kUri, 5000, {{0, 10}}, 2, "copy.zip", progress, &ctx));
    EXPECT_EQ(std::string(failure_name(context_failure(&ctx))), "FAILURE_NO_ANSWER") << context_line(&ctx);
    EXPECT_FALSE(exists("copy.zip")) << "copy.zip must not stay without an answer";

    context_start(&ctx);
    EXPECT_FALSE(fetchSpans(nobody, kUri, 5000, {{0, 10}}, 2, "no/such/folder/copy.zip", progress, &ctx));
    EXPECT_EQ(std::string(failure_name(context_failure(&ctx))), "FAILURE_CANNOT_WRITE") << context_line(&ctx);
}

// A server that sends the head and then nothing: the launcher's stop ends
// the fetch, with no file left.
TEST_F(Spans, StopEndsAStalledFetch)
{
    Answer silent{200, servedBytes(100000), -1, "\"v7\""};
    silent.hang = true;
    server.set(kUri, silent);
    std::thread stopper([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
    });
    EXPECT_EQ(fetch(100000, {{0, 1000}, {50000, 1000}}), "FAILURE_NO_ANSWER") << context_line(&ctx);
    stopper.join();
    EXPECT_NE(context_line(&ctx).find("stopped"), std::string::npos)
        << "the fetch must end because it was stopped, not by a time limit: " << context_line(&ctx);
    EXPECT_FALSE(exists("copy.zip")) << "copy.zip must not stay after a stop";
}

#ifdef SERVE_SCRIPT
namespace {

int freePort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    int port = bind(fd, (sockaddr *)&addr, len) == 0 && getsockname(fd, (sockaddr *)&addr, &len) == 0
                   ? ntohs(addr.sin_port) : 0;
    close(fd);
    return port;
}

bool listening(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    bool up = connect(fd, (sockaddr *)&addr, sizeof addr) == 0;
    close(fd);
    return up;
}

}  // namespace

// nginx with the shipped site serves the spans of a real zip: Info-ZIP then
// reads the fetched entries out of the sparse copy.
TEST_F(Spans, NginxServesTheEntriesOfARealZip)
{
    if (run("command -v nginx >/dev/null") != 0)
        GTEST_SKIP() << "nginx is not installed (scripts/install-deps)";
    const std::string site = dir / "site", release = site + "/releases/7", tree = dir / "tree";
    ASSERT_EQ(run("mkdir -p " + quote(release) + " " + quote(tree) + " && cd " + quote(tree) +
                  " && head -c 300000 /dev/urandom > a.bin && seq 100000 > b.txt && head -c 70000 /dev/urandom > c.bin"
                  " && seq 5000 > d.txt && zip -q -X ../site/releases/7/vantorique_osx.zip a.bin b.txt c.bin d.txt"
                  " && chmod -R a+rX " + quote(dir.path)),
              0) << "Info-ZIP must make the package";
    const std::string zip = release + "/vantorique_osx.zip";
    // Each wanted entry from its local header to the next one, and the central directory to the end.
    const std::string listing = output_of(
        "python3 -c 'import zipfile,os,sys\n"
        "z=zipfile.ZipFile(sys.argv[1]); e=sorted(z.infolist(), key=lambda i: i.header_offset)\n"
        "ends=[i.header_offset for i in e[1:]]+[z.start_dir]\n"
        "[print(i.header_offset, n-i.header_offset) for i,n in zip(e,ends) if i.filename in (\"b.txt\",\"d.txt\")]\n"
        "print(z.start_dir, os.path.getsize(sys.argv[1])-z.start_dir)' " + quote(zip));
    std::vector<ByteSpan> spans;
    std::istringstream in(listing);
    for (ByteSpan s; in >> s.offset >> s.length;)
        spans.push_back(s);
    ASSERT_EQ(spans.size(), 3u) << "two entries and the central directory; python listed:\n" << listing;

    const int port = freePort();
    const pid_t serve = fork();
    if (serve == 0) {
        setpgid(0, 0);
        execl(SERVE_SCRIPT, SERVE_SCRIPT, site.c_str(), std::to_string(port).c_str(), (char *)nullptr);
        _exit(127);
    }
    for (int i = 0; i < 200 && !listening(port); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const bool up = listening(port);
    std::atomic<bool> never{false};
    context_start(&ctx);
    bool fetched = up && fetchSpans(UpdateServer{"127.0.0.1", port, &never}, "/releases/7/vantorique_osx.zip",
                                    (unsigned long long)read_file(zip).size(), joinSpans(spans, 0), 2, "copy.zip", progress,
                                    &ctx);
    kill(serve, SIGTERM);
    waitpid(serve, nullptr, 0);
    ASSERT_TRUE(up) << "scripts/serve must start nginx on 127.0.0.1:" << port;
    ASSERT_TRUE(fetched) << failure_name(context_failure(&ctx)) << ": " << context_line(&ctx);
    std::string where;
    EXPECT_TRUE(sparseCopyOf(read_file("copy.zip"), read_file(zip), spans, where)) << "copy.zip: " << where;
    EXPECT_EQ(output_of("unzip -p copy.zip b.txt d.txt"), read_file(tree + "/b.txt") + read_file(tree + "/d.txt"))
        << "Info-ZIP must read the fetched entries out of the sparse copy";
    EXPECT_NE(run("unzip -tq copy.zip a.bin >/dev/null 2>&1"), 0) << "a.bin was not fetched: its bytes are holes";
}
#endif
