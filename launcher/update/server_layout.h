// The update server's layout, as the launcher reads it and scripts/publish
// writes it. The shell side (scripts/lib/layout.sh) says the same; a test
// holds the two together.
//
//   ROOT                         "/vantorique/autoupdate/"
//   ROOT version.txt             the manifest: "N~change log`"
//   ROOT version.txt.minisig     its signature: "file:version.txt version:N expires:TIME"
//   ROOT vantorique_osx.zip      the latest package (for launchers before release folders)
//   ROOT releases/N/             one folder per release, never rewritten:
//        vantorique_osx.zip      its package, signed "file:vantorique_osx.zip version:N"
//        from-M.delta            from release M, signed "file:from-M.delta version:N from:M"
//        index                   every item and its entry in the package, signed "file:index version:N"
//   ROOT launcher/version.txt    the launcher's manifest: "N"; launchers read only its
//        version.txt.minisig     signature: "file:launcher/version.txt launcher:N expires:TIME"
//   ROOT launcher/N/launcher.zip one launcher release (the program and its files),
//                                signed "file:launcher.zip launcher:N"
//   ROOT channels/NAME/version.txt  the manifest of channel NAME (+ .minisig); the
//                                 releases are shared. Every manifest's comment also says
//                                 "channel:NAME rollout:PCT" (0..100; 0: halted)
#ifndef VANTORIQUE_SERVER_LAYOUT_H
#define VANTORIQUE_SERVER_LAYOUT_H

#include "names.h"  // kServerRoot and kPackageFile: the studio's, set when built

#include <string>

const char kManifestFile[] = "version.txt";
const char kSignatureSuffix[] = ".minisig";
const char kReleasesFolder[] = "releases/";
const char kDeltaPrefix[] = "from-";
const char kDeltaSuffix[] = ".delta";
const char kIndexFile[] = "index";
const char kLauncherFolder[] = "launcher/";
const char kLauncherPackage[] = "launcher.zip";
const char kChannelsFolder[] = "channels/";
const char kDefaultChannel[] = "default";  // served at ROOT version.txt

// The tokens of a trusted comment.
const char kCommentFile[] = "file:";
const char kCommentVersion[] = "version:";
const char kCommentFrom[] = "from:";
const char kCommentExpires[] = "expires:";
const char kCommentLauncher[] = "launcher:";
const char kCommentChannel[] = "channel:";  // absent: the default channel (signed before channels)
const char kCommentRollout[] = "rollout:";  // absent: 100

inline std::string manifestUri(const std::string &channel = kDefaultChannel)
{
    return channel == kDefaultChannel ? std::string(kServerRoot) + kManifestFile
                                      : std::string(kServerRoot) + kChannelsFolder + channel + "/" + kManifestFile;
}
inline std::string signatureUri(const std::string &fileUri) { return fileUri + kSignatureSuffix; }
// "ROOT releases/N/"
inline std::string releaseFolderUri(int version)
{
    return std::string(kServerRoot) + kReleasesFolder + std::to_string(version) + "/";
}
// "from-M.delta"
inline std::string deltaFileName(int fromVersion) { return kDeltaPrefix + std::to_string(fromVersion) + kDeltaSuffix; }

// "ROOT launcher/version.txt", and "launcher/version.txt" as its signature names it
inline std::string launcherManifestName() { return std::string(kLauncherFolder) + kManifestFile; }
inline std::string launcherManifestUri() { return std::string(kServerRoot) + launcherManifestName(); }
// "ROOT launcher/N/"
inline std::string launcherReleaseUri(int release)
{
    return std::string(kServerRoot) + kLauncherFolder + std::to_string(release) + "/";
}

#endif
