// The release indexes in the install. What an update removes: the items of
// the installed version's index that the new version lacks, and nothing the
// player made, by package and by delta, without an index (everything kept,
// once), with an index of another version, and killed once the swap began.
// What a package writes with its version's index: only what changed, the
// unchanged files linked, killed or not. Real trees, packages and indexes.
#include "delta.h"
#include "helpers.h"
#include "install.h"

#include <signal.h>
#include <string.h>
#include <sys/wait.h>

using namespace testutil;

namespace {

const int kTwo = 2;

// Release 1 and 2 of a game as the publisher made them, each packed and
// indexed; the player's game at 1 with files of its own; the launcher's
// folder as the working directory.
struct Releases {
    ScratchDir dir;
    std::string parent = dir / "parent/", launcher = dir / "launcher", home = output_of("pwd | tr -d '\\n'");
    std::string package2 = dir / "two.zip", delta2 = dir / "from-1.delta";

    Releases()
    {
        const std::string one = dir / "one/Vantorique.app", two = dir / "two/Vantorique.app";
        EXPECT_EQ(run("mkdir -p " + quote(one + "/Contents/Resources/retired") + " " + quote(one + "/Contents/Plugins") +
                      " " + quote(launcher) + " " + quote(parent) + " && cd " + quote(one) +
                      " && seq 1 3000 > Contents/Resources/kept.txt && echo gone > Contents/Resources/gone.txt"
                      " && echo old > Contents/Resources/retired/level.map && echo p > Contents/Plugins/old.plugin"
                      " && ln -s kept.txt Contents/Resources/latest"),
                  0);
        EXPECT_EQ(run("cp -a " + quote(dir / "one") + " " + quote(dir / "two") + " && cd " + quote(two) +
                      " && rm -r Contents/Resources/gone.txt Contents/Resources/retired Contents/Plugins/old.plugin"
                      " Contents/Resources/latest && echo new > Contents/Resources/new.txt && mkdir Contents/Resources/latest"
                      " && echo l > Contents/Resources/latest/file"),
                  0);
        call_context ctx;
        EXPECT_EQ(pack(one, dir / "one.zip"), 1);
        EXPECT_EQ(pack(two, package2), 1);
        EXPECT_EQ(index_write(one.c_str(), (dir / "one.zip").c_str(), 1, (dir / "index-1").c_str(), &ctx), 1) << context_line(&ctx);
        EXPECT_EQ(index_write(two.c_str(), package2.c_str(), 2, (dir / "index-2").c_str(), &ctx), 1) << context_line(&ctx);
        EXPECT_EQ(delta_make(one.c_str(), two.c_str(), delta2.c_str(), 3, 1, 2, &ctx), 1) << context_line(&ctx);
        // The player's game: release 1, its index kept, and files of the player's own.
        EXPECT_EQ(unpack(dir / "one.zip", parent), 1);
        EXPECT_EQ(run("cd " + quote(parent + "Vantorique.app/Contents") +
                      " && mkdir Saves && echo mine > Saves/slot1.sav && echo mod > Plugins/player.plugin"
                      " && echo note > Resources/retired/my-notes.txt"),
                  0);
        EXPECT_EQ(run("printf 1 > " + quote(launcher + "/version.txt") + " && cp " + quote(dir / "index-1") + " " +
                      quote(launcher + "/installed-index") + " && cp " + quote(dir / "index-2") + " " +
                      quote(launcher + "/update-index")),
                  0);
        EXPECT_EQ(chdir(launcher.c_str()), 0);
    }
    ~Releases() { EXPECT_EQ(chdir(home.c_str()), 0); }
    InstallPlaces places() const { return InstallPlaces{parent, "Vantorique.app", "version.txt", "installed-index", "update-index"}; }
    std::string game(const std::string &path) const { return parent + "Vantorique.app/" + path; }
    int indexVersion(const std::string &path) const
    {
        release_index ix;
        call_context ctx;
        return index_read(path.c_str(), &ix, &ctx) ? int(ix.version) : -1;
    }
    // Release 2 as a fresh install gives it, plus the player's own files.
    std::string expected() const
    {
        ScratchDir fresh;
        EXPECT_EQ(unpack(package2, fresh.path + "/"), 1);
        EXPECT_EQ(run("cd " + quote(fresh / "Vantorique.app/Contents") +
                      " && mkdir -p Saves Resources/retired Plugins && echo mine > Saves/slot1.sav && echo mod > Plugins/player.plugin"
                      " && echo note > Resources/retired/my-notes.txt"),
                  0);
        return output_of("cd " + quote(fresh.path) + " && find . -printf '%p %y %s\\n' | sort");
    }
    std::string got() const { return output_of("cd " + quote(parent) + " && find . -printf '%p %y %s\\n' | sort"); }
};

bool install(const Releases &r, bool byDelta, call_context &ctx)
{
    bool untouched = false;
    return captured([&] {
        return byDelta ? installDelta(r.delta2.c_str(), r.places(), &kTwo, &ctx, untouched)
                       : installPackage(r.package2.c_str(), r.places(), &kTwo, &ctx);
    });
}

}  // namespace

TEST(Removal, WhatThePublisherRemovedGoesAndWhatThePlayerMadeStays)
{
    for (bool byDelta : {false, true}) {
        SCOPED_TRACE(byDelta ? "by delta" : "by package");
        Releases r;
        call_context ctx;
        ASSERT_TRUE(install(r, byDelta, ctx)) << context_line(&ctx);
        for (const char *gone : {"Contents/Resources/gone.txt", "Contents/Plugins/old.plugin", "Contents/Resources/retired/level.map"})
            EXPECT_FALSE(exists(r.game(gone))) << gone << ": removed in release 2, must be gone after the update";
        for (const char *kept : {"Contents/Saves/slot1.sav", "Contents/Plugins/player.plugin", "Contents/Resources/retired/my-notes.txt"})
            EXPECT_TRUE(exists(r.game(kept))) << kept << ": the player's own, must stay";
        EXPECT_TRUE(S_ISDIR(mode_of(r.game("Contents/Resources/latest"))))
            << "Contents/Resources/latest: a link in release 1, a folder in release 2";
        EXPECT_EQ(r.got(), r.expected()) << "the game must be release 2 as installed fresh, plus the player's files";
        EXPECT_EQ(r.indexVersion("installed-index"), 2) << "installed-index must be release 2's once it is in";
        EXPECT_FALSE(exists("update-index")) << "update-index must have become installed-index";
    }
}

TEST(Removal, WithoutTheInstalledVersionsIndexNothingIsRemovedOnce)
{
    for (const char *index : {"", "index-2"}) {  // none, or one of another version
        SCOPED_TRACE(*index ? "an index of another version" : "no index");
        Releases r;
        if (*index)
            ASSERT_EQ(run("cp " + quote(r.dir / index) + " installed-index"), 0);
        else
            ASSERT_EQ(unlink("installed-index"), 0);
        call_context ctx;
        ASSERT_TRUE(install(r, false, ctx)) << context_line(&ctx);
        for (const char *kept : {"Contents/Resources/gone.txt", "Contents/Plugins/old.plugin", "Contents/Saves/slot1.sav"})
            EXPECT_TRUE(exists(r.game(kept))) << kept << ": without release 1's index nothing may be removed";
        EXPECT_EQ(r.indexVersion("installed-index"), 2) << "the next update must have release 2's index";
    }
}

TEST(Removal, AKillOnceTheSwapBeganEndsWithTheNewIndexAndTheRemovals)
{
    Releases r;
    pid_t child = fork();
    if (child == 0) {
        installStepHook = [](const char *step) {
            if (strcmp(step, "swapped") == 0)
                raise(SIGKILL);
        };
        call_context ctx;
        _exit(install(r, false, ctx) ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the install must be killed once it swapped";
    captured([&] { recoverInterruptedInstall(r.places()); return 0; });
    EXPECT_EQ(r.got(), r.expected()) << "after the recovery: release 2, less what it removed, plus the player's files";
    EXPECT_EQ(read_file("version.txt"), "2");
    EXPECT_EQ(r.indexVersion("installed-index"), 2) << "after the recovery installed-index must be release 2's";
}

// Everything a player could tell apart below `parent`: paths, types, modes,
// sizes, link targets, content.
std::string describe(const std::string &parent)
{
    return snapshot(parent) + output_of("cd " + quote(parent) + " && find . -type f -print0 | sort -z | xargs -0 -r sha256sum");
}

ino_t inodeOf(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(PackageByIndex, WritesOnlyWhatChangedAndGivesTheGameAnUnpackGives)
{
    Releases byIndex, whole;
    ASSERT_EQ(unlink((whole.launcher + "/update-index").c_str()), 0);  // the same package, unpacked whole
    const ino_t kept = inodeOf(byIndex.game("Contents/Resources/kept.txt"));
    call_context ctx;
    ASSERT_EQ(chdir(byIndex.launcher.c_str()), 0);  // each world's names are relative to its launcher folder
    ASSERT_TRUE(install(byIndex, false, ctx)) << context_line(&ctx);
    EXPECT_EQ(chdir(whole.launcher.c_str()), 0);
    ASSERT_TRUE(install(whole, false, ctx)) << context_line(&ctx);
    EXPECT_EQ(describe(byIndex.parent), describe(whole.parent))
        << "the game staged by the index must be the game the package unpacked whole gives";
    EXPECT_EQ(inodeOf(byIndex.game("Contents/Resources/kept.txt")), kept)
        << "Contents/Resources/kept.txt: unchanged, it must be the installed file, not written again";
    EXPECT_NE(inodeOf(whole.game("Contents/Resources/kept.txt")), 0u);
}

TEST(PackageByIndex, AKillWhileStagingLeavesTheOldGameWhole)
{
    Releases r;
    const std::string before = describe(r.parent);
    const ino_t kept = inodeOf(r.game("Contents/Resources/kept.txt"));
    pid_t child = fork();
    if (child == 0) {
        installStepHook = [](const char *step) {
            if (strcmp(step, "unpacked") == 0)
                raise(SIGKILL);
        };
        call_context ctx;
        _exit(install(r, false, ctx) ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the install must be killed once the package was staged";
    captured([&] { recoverInterruptedInstall(r.places()); return 0; });
    EXPECT_EQ(describe(r.parent), before) << "a kill before the journal must leave release 1 as it was";
    struct stat st {};
    EXPECT_EQ(lstat(r.game("Contents/Resources/kept.txt").c_str(), &st), 0);
    EXPECT_TRUE(st.st_ino == kept && st.st_nlink == 1)
        << "Contents/Resources/kept.txt: linked into the staged game, it must be the player's file again, with one name";
    EXPECT_EQ(read_file("version.txt"), "1");
}
