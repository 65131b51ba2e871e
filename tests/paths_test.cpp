// make_dirs and combine_paths: results, printed lines, modes and the 1023 limit.
#include "helpers.h"
#include "internal.h"
#include "ziputil.h"

#include <string.h>

using namespace testutil;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(MakeDirs, MakesEachDirectoryOutermostFirstWithEveryPermissionBit)
{
    const std::string made = "Directory to make: @/", there = "mkdir returned -1\ndirectory already exists\n";
    // "@" stands for the scratch directory, in the base and in the lines printed
    struct Case { const char *base, *path; int rc; std::string lines; std::vector<const char *> dirs, absent; };
    const Case cases[] = {
        {"@/", "a/b/f", 1, made + "a\n" + made + "a/b\n", {"a", "a/b"}, {"a/b/f"}},
        {"@", "/a/x", 1, made + "a\n", {"a"}, {"a/x"}},
        {"@", "f.txt", 1, "", {}, {"f.txt"}},
        {"@", "old/new/", 1, made + "old\n" + there + made + "old/new\n", {"old/new"}, {}},
        {"@", "%s%n%x/f", 1, made + "%s%n%x\n", {"%s%n%x"}, {}},
        // A file where a directory should be: the walk goes on, then fails.
        {"@", "file/b/c", 0, made + "file\n" + there + made + "file/b\nmkdir returned -1\nerror yo: Not a directory\n",
         {}, {"file/b"}},
        {nullptr, "../", 1, "Directory to make: /..\n" + there, {}, {}},
        {"", "a/", 0, "", {}, {}},
    };
    mode_t old = umask(0);
    for (const Case &c : cases) {
        ScratchDir dir;
        run("mkdir " + quote(dir / "old") + " && touch " + quote(dir / "file"));
        std::string base = c.base ? c.base : "", lines = c.lines;
        if (base[0] == '@')
            base.replace(0, 1, dir.path);
        for (size_t at; (at = lines.find('@')) != std::string::npos;)
            lines.replace(at, 1, dir.path);
        std::string out;
        EXPECT_EQ(captured([&] { return make_dirs(c.base ? base.c_str() : nullptr, c.path); }, &out), c.rc) << c.path;
        EXPECT_EQ(out, lines) << c.path;
        for (const char *d : c.dirs)
            EXPECT_EQ(mode_of(dir / d), mode_t(S_IFDIR | 0777)) << d;
        for (const char *a : c.absent)
            EXPECT_FALSE(exists(dir / a)) << a;
    }
    umask(old);
}

TEST(CombinePaths, JoinsWithExactlyTheSeparatorsTheRulesGiveUpTo1023Characters)
{
    std::string p1023(1023, 'p'), p1022(1022, 'p'), p1021(1021, 'p'), p1020(1020, 'p'), p1000(1000, 'q'), p30(30, 'r');
    // joined "": refused. 1,023 characters is the last length accepted.
    struct Case { std::vector<const char *> parts; std::string joined; } cases[] = {
        {{}, "/"}, {{"x", "y"}, "/x/y"}, {{"", "y"}, "/y"}, {{"a/", "b"}, "/a/b"}, {{"a", ""}, "/a/"},
        {{"/a", "/b"}, "/a/b"}, {{"//a"}, "//a"}, {{"/home/a/Demo/", "art/", "logo.png"}, "/home/a/Demo/art/logo.png"},
        {{p1022.c_str()}, "/" + p1022}, {{p1022.c_str(), ""}, ""}, {{p1000.c_str(), p30.c_str()}, ""},
        {{p1023.c_str()}, ""}, {{p1021.c_str(), "x"}, ""}, {{p1020.c_str(), "x"}, "/" + p1020 + "/x"}};
    for (Case &c : cases) {
        char out[ZIPUTIL_PATH_MAX + 64];  // slack: a broken limit shows as a red assertion, not a crash
        c.parts.resize(3, nullptr);
        CaptureStderr();
        const size_t length = strlen(c.parts[0] ? c.parts[0] : "") + strlen(c.parts[1] ? c.parts[1] : "");
        EXPECT_EQ(combine_paths(out, c.parts[0], c.parts[1], c.parts[2], (char *)nullptr), c.joined.empty() ? 0 : 1)
            << "parts of " << length << " characters: " << (c.joined.empty() ? "must be refused" : "must be joined");
        EXPECT_EQ(out, c.joined) << "parts of " << length << " characters";
        EXPECT_EQ(GetCapturedStderr(), c.joined.empty() ? "combine_paths: path too big\n" : "");
    }
}

TEST(IsWithin, AWholeComponentMustFollowTheRoot)
{
    struct Case { const char *root, *path; bool within; } cases[] = {
        {"/x/dest", "/x/dest", true}, {"/x/dest", "/x/dest/f", true}, {"/x/dest", "/x/destX", false},
        {"/x/dest", "/x/destX/f", false}, {"/x/dest", "/x/des", false}, {"/x/dest", "/x", false}, {"/", "/anything", true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ziputil::is_within(c.root, c.path), c.within) << c.path << (c.within ? " is" : " is not") << " within " << c.root;
}
