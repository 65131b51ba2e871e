# The update server's layout for shell scripts (sourced): scripts/publish,
# the roads and the publish tests. The launcher's side is
# launcher/update/server_layout.h; tests/layout_test.cpp fails when the two
# disagree.
LAYOUT_ROOT=/vantorique/autoupdate/          # below the served folder
LAYOUT_MANIFEST=version.txt
LAYOUT_PACKAGE=vantorique_osx.zip
LAYOUT_SIGNATURE_SUFFIX=.minisig
LAYOUT_RELEASES=releases/                    # LAYOUT_RELEASES N/ holds one release
LAYOUT_DELTA_PREFIX=from-                    # from-M.delta: from release M
LAYOUT_DELTA_SUFFIX=.delta
LAYOUT_INDEX=index                           # releases/N/index: the release's items
LAYOUT_LAUNCHER=launcher/                    # LAYOUT_LAUNCHER version.txt (+ .minisig), LAYOUT_LAUNCHER N/
LAYOUT_LAUNCHER_PACKAGE=launcher.zip         # one launcher release, in LAYOUT_LAUNCHER N/
LAYOUT_CHANNELS=channels/                    # LAYOUT_CHANNELS NAME/ holds channel NAME's manifest
LAYOUT_DEFAULT_CHANNEL=default               # served at LAYOUT_ROOT itself
LAYOUT_COMMENT_FILE=file:                    # the trusted comment's tokens
LAYOUT_COMMENT_VERSION=version:
LAYOUT_COMMENT_FROM=from:
LAYOUT_COMMENT_EXPIRES=expires:
LAYOUT_COMMENT_LAUNCHER=launcher:
LAYOUT_COMMENT_CHANNEL=channel:
LAYOUT_COMMENT_ROLLOUT=rollout:

layout_release_dir() { printf '%s%s%s/' "$LAYOUT_ROOT" "$LAYOUT_RELEASES" "$1"; }  # URI of release N's folder
layout_delta_name() { printf '%s%s%s' "$LAYOUT_DELTA_PREFIX" "$1" "$LAYOUT_DELTA_SUFFIX"; }  # from-M.delta
layout_launcher_dir() { printf '%s%s%s/' "$LAYOUT_ROOT" "$LAYOUT_LAUNCHER" "$1"; }  # URI of launcher release N's folder
