// make_dirs and combine_paths: results, printed lines and the 1023 limit.
#include "helpers.h"
#include "ziputil.h"

using namespace testutil;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

static int make_dirs_captured(const char *base, const char *path, std::string &out)
{
    CaptureStdout();
    int rc = make_dirs(base, path);
    fflush(stdout);
    out = GetCapturedStdout();
    return rc;
}

TEST(MakeDirs, ParentOfRootAlwaysExists)
{
    std::string out;
    EXPECT_EQ(make_dirs_captured(nullptr, "../", out), 1);
    EXPECT_EQ(out, "Directory to make: /..\nmkdir returned -1\ndirectory already exists\n");
}

TEST(MakeDirs, MakesEachDirectoryOutermostFirstButNotTheLastComponent)
{
    ScratchDir dir;
    std::string base = dir.path + "/";
    std::string out;
    EXPECT_EQ(make_dirs_captured(base.c_str(), "a/b/f", out), 1);
    EXPECT_EQ(out, "Directory to make: " + dir.path + "/a\nDirectory to make: " + dir.path + "/a/b\n");
    EXPECT_TRUE(S_ISDIR(mode_of(dir / "a/b")));
    EXPECT_FALSE(exists(dir / "a/b/f"));
}

TEST(MakeDirs, DropsOneLeadingSlashAndInsertsTheMissingSeparator)
{
    ScratchDir dir;
    std::string out;
    EXPECT_EQ(make_dirs_captured(dir.path.c_str(), "/a/x", out), 1);
    EXPECT_EQ(out, "Directory to make: " + dir.path + "/a\n");
    EXPECT_TRUE(S_ISDIR(mode_of(dir / "a")));
    EXPECT_FALSE(exists(dir / "a/x"));
}

TEST(MakeDirs, PathWithoutSeparatorAsksForNothing)
{
    ScratchDir dir;
    std::string out;
    EXPECT_EQ(make_dirs_captured(dir.path.c_str(), "f.txt", out), 1);
    EXPECT_EQ(out, "");
}

TEST(MakeDirs, ExistingDirectoryIsReportedAndTheWalkGoesOn)
{
    ScratchDir dir;
    mkdir((dir / "a").c_str(), 0755);
    std::string out;
    EXPECT_EQ(make_dirs_captured(dir.path.c_str(), "a/b/", out), 1);
    EXPECT_EQ(out, "Directory to make: " + dir.path + "/a\nmkdir returned -1\ndirectory already exists\n"
                   "Directory to make: " + dir.path + "/a/b\n");
    EXPECT_TRUE(S_ISDIR(mode_of(dir / "a/b")));
}

TEST(MakeDirs, RefusedPermissionEndsTheWalk)
{
    ScratchDir dir;
    chmod(dir.path.c_str(), 0755);
    std::string locked = dir / "locked";
    mkdir(locked.c_str(), 0555);
    std::string out;
    int rc = run_unprivileged([&] { return make_dirs(locked.c_str(), "a/b/c"); }, &out);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "Directory to make: " + locked + "/a\nmkdir returned -1\nerror yo: Permission denied\n");
    EXPECT_FALSE(exists(locked + "/a"));
}

TEST(MakeDirs, PrintsPathsVerbatimAndRefusesAnEmptyBase)
{
    ScratchDir dir;
    std::string out;
    EXPECT_EQ(make_dirs_captured(dir.path.c_str(), "%s%n%x/f", out), 1);
    EXPECT_EQ(out, "Directory to make: " + dir.path + "/%s%n%x\n");
    EXPECT_EQ(make_dirs_captured("", "a/", out), 0);
    EXPECT_EQ(out, "");
}

static std::string combined(std::initializer_list<const char *> parts, int *rc = nullptr)
{
    char out[ZIPUTIL_PATH_MAX];
    memset(out, 'x', sizeof out);
    std::vector<const char *> p(parts);
    int r = 0;
    switch (p.size()) {
    case 0: r = combine_paths(out, (char *)nullptr); break;
    case 1: r = combine_paths(out, p[0], (char *)nullptr); break;
    case 2: r = combine_paths(out, p[0], p[1], (char *)nullptr); break;
    case 3: r = combine_paths(out, p[0], p[1], p[2], (char *)nullptr); break;
    }
    if (rc)
        *rc = r;
    return out;
}

TEST(CombinePaths, JoinsWithExactlyTheSeparatorsTheRulesGive)
{
    int rc = 0;
    EXPECT_EQ(combined({}, &rc), "/");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(combined({"x", "y"}), "/x/y");
    EXPECT_EQ(combined({"", "y"}), "/y");
    EXPECT_EQ(combined({"a/", "b"}), "/a/b");
    EXPECT_EQ(combined({"a", ""}), "/a/");
    EXPECT_EQ(combined({"/a", "/b"}), "/a/b");
    EXPECT_EQ(combined({"//a"}), "//a");
    EXPECT_EQ(combined({"/home/a/Demo/", "art/", "logo.png"}), "/home/a/Demo/art/logo.png");
}

TEST(CombinePaths, RefusesAnythingPast1023Characters)
{
    std::string part1022(1022, 'p');
    int rc = 0;
    std::string got = combined({part1022.c_str()}, &rc);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(got.size(), 1023u);

    CaptureStderr();
    got = combined({part1022.c_str(), ""}, &rc);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(got, "");
    EXPECT_EQ(err, "combine_paths: path too big\n");
    EXPECT_EQ(err.size(), 28u);

    // A part that would carry the text past the buffer is refused too.
    std::string part1000(1000, 'q'), part30(30, 'r');
    CaptureStderr();
    got = combined({part1000.c_str(), part30.c_str()}, &rc);
    EXPECT_EQ(GetCapturedStderr(), "combine_paths: path too big\n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(got, "");
}
