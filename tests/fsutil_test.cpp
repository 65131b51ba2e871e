// The toolbox's file routines on real files: a file replaced in one rename
// at the durability asked for, what a kill leaves beside it cleaned up
// without touching anything else, and trees removed without following links.
#include "durable.h"
#include "helpers.h"
#include "replace.h"
#include "trees.h"

#include <signal.h>

#include <vector>

using namespace testutil;

namespace {

std::vector<std::string> syncs;  // "file", "folder PATH", "file system", in order

void recordSync(int scope, const std::string &path)
{
    syncs.push_back(scope == SYNC_FILE ? "file" : scope == SYNC_FOLDER ? "folder " + path : "file system");
}

std::string listing(const std::string &dir)
{
    return output_of("cd " + quote(dir) + " && find . -mindepth 1 -printf '%p %y\\n' | sort");
}

}  // namespace

// Each level of durability syncs what it promises and nothing less: the
// effect of a sync is invisible on a running system, so the syncs are watched.
TEST(ReplaceFile, EachDurabilitySyncsWhatItPromises)
{
    ScratchDir dir;
    const std::string path = dir / "version.txt";
    const std::pair<durability, std::vector<std::string>> cases[] = {
        {DURABLE_NONE, {}},
        {DURABLE_FILE, {"file"}},
        {DURABLE_FILE_AND_FOLDER, {"file", "folder " + dir.path}},
    };
    fsutil_sync_observer = recordSync;
    for (const auto &[level, expected] : cases) {
        syncs.clear();
        ASSERT_TRUE(replace_file(path, "12", 2, 0640, level)) << "durability " << level << ": " << strerror(errno);
        EXPECT_EQ(syncs, expected) << "durability " << level << ": the syncs made";
        EXPECT_EQ(read_file(path), "12") << "durability " << level;
        EXPECT_EQ(mode_of(path) & 07777, 0640u) << "durability " << level << ": the mode asked for";
        EXPECT_EQ(listing(dir.path), "./version.txt f\n") << "durability " << level << ": no temporary file may stay";
    }
    fsutil_sync_observer = nullptr;
}

// What stood at the name is replaced, never written through.
TEST(ReplaceFile, ALinkOrAFifoAtTheNameIsReplacedNotWrittenThrough)
{
    ScratchDir dir;
    write_file(dir / "elsewhere", "keep");
    const std::pair<const char *, std::string> cases[] = {
        {"a link", "ln -sf elsewhere " + quote(dir / "name")}, {"a FIFO", "mkfifo " + quote(dir / "name")}};
    for (const auto &[what, make] : cases) {
        ASSERT_EQ(run("rm -f " + quote(dir / "name") + " && " + make), 0) << what;
        EXPECT_TRUE(replace_file(dir / "name", "new", 3, 0644, DURABLE_FILE)) << what;
        EXPECT_EQ(read_file(dir / "name") + read_file(dir / "elsewhere"), "newkeep")
            << what << " at the name: the new content must replace it, and elsewhere must keep its bytes";
    }
}

// A file written in pieces that is never committed leaves nothing behind.
TEST(ReplaceFile, AnUncommittedFileLeavesNothing)
{
    ScratchDir dir;
    write_file(dir / "log", "old");
    {
        beside_file file;
        ASSERT_TRUE(begin_beside(file, dir / "log", 0644));
        ASSERT_TRUE(write_full(file.fd.fd, "half", 4));
    }
    EXPECT_EQ(listing(dir.path), "./log f\n") << "the temporary file must go with its owner";
    EXPECT_EQ(read_file(dir / "log"), "old") << "log: an uncommitted write must not change it";
}

// A kill between the write and the rename leaves "PATH.XXXXXX"; the next
// start removes exactly those, and nothing a prankster put beside them.
TEST(ReplaceFile, LeftoversOfAKillGoAndNothingElse)
{
    ScratchDir dir;
    const std::string path = dir / "version.txt";
    pid_t child = fork();
    if (child == 0) {  // killed at the sync before the rename
        fsutil_sync_observer = [](int, const std::string &) { raise(SIGKILL); };
        replace_file(path, "2", 1, 0644, DURABLE_FILE);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer must be killed at its sync";
    write_file(path, "1");
    write_file(dir / "elsewhere", "keep");
    ASSERT_EQ(run("cd " + quote(dir.path) + " && mkfifo version.txt.FiFo12 && ln -s elsewhere version.txt.Link12 && "
                  "ln elsewhere version.txt.Hard12 && mkdir version.txt.Fold12 && echo x > version.txt.long123 && "
                  "echo x > version.txt.shrt && echo x > version.txt.a-b_cd && echo x > other.txt.abcdef"), 0);
    const std::string before = listing(dir.path);
    ASSERT_NE(before.find("./version.txt."), std::string::npos);
    EXPECT_EQ(remove_beside_leftovers(path), 1) << "exactly the killed writer's file must go:\n" << before;
    EXPECT_EQ(listing(dir.path),
              "./elsewhere f\n./other.txt.abcdef f\n./version.txt f\n./version.txt.FiFo12 p\n"
              "./version.txt.Fold12 d\n./version.txt.Hard12 f\n./version.txt.Link12 l\n./version.txt.a-b_cd f\n"
              "./version.txt.long123 f\n./version.txt.shrt f\n")
        << "a FIFO, a link, a hard link, a folder, other lengths and other characters must all stay";
    EXPECT_EQ(read_file(dir / "elsewhere") + read_file(path), "keep1");
}

// A tree goes whole, read-only folders included, and a link in it goes
// without what it points at.
TEST(Trees, RemovedWholeNeverThroughALink)
{
    ScratchDir dir;
    ASSERT_EQ(run("cd " + quote(dir.path) + " && mkdir -p outside/keep tree/a/b && echo x > outside/keep/file && "
                  "echo y > tree/a/b/file && ln -s ../../outside tree/a/link && ln -s ../outside/keep/file tree/flink && "
                  "mkfifo tree/a/pipe && chmod 500 tree/a/b tree/a"), 0);
    EXPECT_TRUE(remove_tree(dir / "tree"));
    EXPECT_EQ(listing(dir.path), "./outside d\n./outside/keep d\n./outside/keep/file f\n")
        << "the tree must be gone and what its links point at must stay";

    ASSERT_EQ(run("cd " + quote(dir.path) + " && mkdir -p staged/x && echo z > staged/x/f && ln -s ../outside staged/l"), 0);
    EXPECT_TRUE(empty_tree(dir / "staged"));
    EXPECT_EQ(listing(dir / "staged"), "") << "staged: emptied";
    EXPECT_TRUE(exists(dir / "staged")) << "staged: the folder itself stays";
    EXPECT_TRUE(exists(dir / "outside/keep/file")) << "outside/keep/file: reached only through a link";
    EXPECT_TRUE(remove_tree(dir / "missing")) << "a tree that is not there is removed already";
}
