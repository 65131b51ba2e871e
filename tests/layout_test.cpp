// The update server's layout is written twice, for the launcher
// (server_layout.h) and for the shell scripts (scripts/lib/layout.sh): the
// two must say the same, or publish writes where no launcher looks.
#include "helpers.h"
#include "server_layout.h"

#include <gtest/gtest.h>

using namespace testutil;

TEST(ServerLayout, TheShellSaysWhatTheLauncherReads)
{
    if (std::string(kServerRoot) != "/vantorique/autoupdate/" || std::string(kPackageFile) != "vantorique_osx.zip")
        GTEST_SKIP() << "built with a studio's own server root or package name (" << kServerRoot << ", " << kPackageFile
                     << "): scripts/publish takes them as --server-path and --package-name";
    // What a script that sources layout.sh sees, one value a line.
    const std::string shell = output_of(
        "sh -c '. \"$0\" && printf \"%s\\n\" \"$LAYOUT_ROOT\" \"$LAYOUT_MANIFEST\" \"$LAYOUT_PACKAGE\" "
        "\"$LAYOUT_SIGNATURE_SUFFIX\" \"$LAYOUT_RELEASES\" \"$LAYOUT_DELTA_PREFIX\" \"$LAYOUT_DELTA_SUFFIX\" \"$LAYOUT_INDEX\" "
        "\"$LAYOUT_COMMENT_FILE\" \"$LAYOUT_COMMENT_VERSION\" \"$LAYOUT_COMMENT_FROM\" \"$LAYOUT_COMMENT_EXPIRES\" "
        "\"$LAYOUT_CHANNELS\" \"$LAYOUT_DEFAULT_CHANNEL\" \"$LAYOUT_COMMENT_CHANNEL\" \"$LAYOUT_COMMENT_ROLLOUT\" "
        "\"$(layout_release_dir 12)\" \"$(layout_delta_name 11)\" \"$LAYOUT_LAUNCHER\" \"$LAYOUT_LAUNCHER_PACKAGE\" "
        "\"$LAYOUT_COMMENT_LAUNCHER\" \"$(layout_launcher_dir 3)\"' " + quote(LAYOUT_SH));
    const std::pair<const char *, std::string> facts[] = {
        {"LAYOUT_ROOT", kServerRoot},
        {"LAYOUT_MANIFEST", kManifestFile},
        {"LAYOUT_PACKAGE", kPackageFile},
        {"LAYOUT_SIGNATURE_SUFFIX", kSignatureSuffix},
        {"LAYOUT_RELEASES", kReleasesFolder},
        {"LAYOUT_DELTA_PREFIX", kDeltaPrefix},
        {"LAYOUT_DELTA_SUFFIX", kDeltaSuffix},
        {"LAYOUT_INDEX", kIndexFile},
        {"LAYOUT_COMMENT_FILE", kCommentFile},
        {"LAYOUT_COMMENT_VERSION", kCommentVersion},
        {"LAYOUT_COMMENT_FROM", kCommentFrom},
        {"LAYOUT_COMMENT_EXPIRES", kCommentExpires},
        {"LAYOUT_CHANNELS", kChannelsFolder},
        {"LAYOUT_DEFAULT_CHANNEL", kDefaultChannel},
        {"LAYOUT_COMMENT_CHANNEL", kCommentChannel},
        {"LAYOUT_COMMENT_ROLLOUT", kCommentRollout},
        {"layout_release_dir 12", releaseFolderUri(12)},
        {"layout_delta_name 11", deltaFileName(11)},
        {"LAYOUT_LAUNCHER", kLauncherFolder},
        {"LAYOUT_LAUNCHER_PACKAGE", kLauncherPackage},
        {"LAYOUT_COMMENT_LAUNCHER", kCommentLauncher},
        {"layout_launcher_dir 3", launcherReleaseUri(3)},
    };
    std::string expected;
    for (const auto &fact : facts)
        expected += fact.second + "\n";
    ASSERT_EQ(shell, expected) << "scripts/lib/layout.sh and launcher/update/server_layout.h disagree; in this order: "
                               << [&] {
                                      std::string names;
                                      for (const auto &fact : facts)
                                          names += std::string(fact.first) + " ";
                                      return names;
                                  }();
    EXPECT_EQ(manifestUri(), "/vantorique/autoupdate/version.txt")
        << "the manifest's address is what every published launcher asks for: it may never move";
}
