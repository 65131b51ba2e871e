#!/usr/bin/env bash
# The launcher replacing itself, as a player meets it: launcher 1 installed
# beside game 1, nginx on loopback serving game 2 and launcher release 2
# (the same program, told by a test-only file in its release that it is
# release 2), the launcher in a real window under its own Xvfb, driven by
# scripts/lib/drive.py. usage: self_update.sh ROAD (HARNESS and ZIPUTIL name
# the programs)
#   replaces-itself    launcher 1 takes release 2, which installs the game; each file asked once
#   crash-rolled-back  release 2 ends before its first frame: the next start runs launcher 1
#                      again, which refuses release 2 from then on and installs the game
#   rotated-key        release 2 (signed by A) carries key B: a game signed by A is refused,
#                      one signed by B installed
#   foreign-key        release 2 signed by key C (carrying C): refused; launcher 1 installs the game
#   killed-at-each-step  launcher 1 killed at each step of taking release 2: the next start
#                      shows its window and ends with release 2 chosen and the game installed
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
lib="$here/../scripts/lib"
source "$lib/world.sh"  # and layout.sh
w="$(mktemp -d)"
trap 's=$?; world_end; if [ $s = 0 ]; then rm -rf "$w"; else echo "world kept in $w"; fi' EXIT
chmod 755 "$w"
export ZIPUTIL
road="$1" p="$w/player" prog="$(basename "$HARNESS")"
fail() { echo "FAILED ($road): $*"; for f in "$w"/drive*.txt "$p/launcher/launcher.log"; do echo "--- $f"; cat "$f"; done; exit 1; }
logged() { grep -qE "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} UTC $1\$" "$p/launcher/launcher.log" ||
  fail "launcher.log has no line '$1'"; }

use_xvfb
install_launcher "$p/launcher" 1 "$HARNESS"
make_bundle "$p/Vantorique.app" 1
a="$(make_keys "$w/a")"; make_keys "$w/b" >/dev/null; make_keys "$w/c" >/dev/null
publish_game "$w/studio" "$w/served" 1 $'Version 1\n' "$w/a/key.sec"
publish_game "$w/studio" "$w/served" 2 $'Version 2:\n- a second level\n' "$w/a/key.sec"
# Release 2: the program and the files beside it.
install_launcher "$w/release2" "" "$HARNESS"
echo 2 > "$w/release2/harness-launcher-version.txt"
publish_key="$w/a/key.sec" carry=()
case "$road" in
crash-rolled-back) echo "ends before its first frame" > "$w/release2/harness-crash.txt" ;;
rotated-key) carry=(--new-key "$w/b/key.pub") ;;
foreign-key) publish_key="$w/c/key.sec" carry=(--new-key "$w/c/key.pub") ;;
replaces-itself|killed-at-each-step) ;;
*) echo "no road $road"; exit 2 ;;
esac
"$here/../scripts/publish-launcher" --key "$publish_key" "${carry[@]}" "$w/release2" 2 "$w/served" >/dev/null
served="$w/served${LAYOUT_ROOT%/}/${LAYOUT_LAUNCHER%/}"
# A release signed by C alone, announced in a manifest signed by A as the studio's own.
[ "$road" != foreign-key ] || minisign -S -s "$w/a/key.sec" -m "$served/$LAYOUT_MANIFEST" >/dev/null \
  -t "$(sed -n 's/^trusted comment: //p' "$served/$LAYOUT_MANIFEST$LAYOUT_SIGNATURE_SUFFIX")"
port="$(free_port)"
for _ in 1 2 3; do n="$(start_nginx "$w" "$w/served" "$port")" && WORLD_PIDS+=("$n") && break; port="$(free_port)"; done

drive() {  # drive OUTPUT DRIVE-OPTIONS...: one start of the launcher, as the player starts it
  local out="$1"; shift
  (cd "$p/launcher" && ASAN_OPTIONS=detect_leaks=0 python3 "$lib/drive.py" --timeout 40 --log "$w/output.txt" \
    "$@" -- "./$prog" 127.0.0.1 "$port" "$a") > "$out" || true
}
roadof() { sed -n 's/^  road: //p' "$1"; }
offer='(checking for updates > )?update offer@1( > downloading)?( > unzipping)?'
case "$road" in
killed-at-each-step)
  for step in fetched verified unpacked checked synced placed committed done; do
    rm -rf "$p/launcher/app" "$p/launcher/version.txt" "$p/launcher/verified-version.txt" "$p/Vantorique.app" "$p/game-ran.txt"
    install_launcher "$p/launcher" 1 && make_bundle "$p/Vantorique.app" 1
    echo "$step" > "$p/launcher/harness-kill-at.txt"
    drive "$w/drive-$step-killed.txt"
    [ ! -e "$p/launcher/harness-kill-at.txt" ] || fail "killed at $step: the step was never reached"
    drive "$w/drive-$step.txt" --keys "update offer=space"
    [[ "$(roadof "$w/drive-$step.txt")" =~ ^$offer$ ]] ||
      fail "killed at $step: the next start's road '$(roadof "$w/drive-$step.txt")', wanted '$offer'"
    [ "$(cat "$p/launcher/app/choice.txt")" = $'current 2\nprevious 0' ] || fail "killed at $step: choice $(cat "$p/launcher/app/choice.txt")"
    [ "$(cat "$p/launcher/version.txt")" = 2 ] || fail "killed at $step: version file $(cat "$p/launcher/version.txt")"
  done ;;
replaces-itself|foreign-key)
  drive "$w/drive.txt" --keys "update offer=space"
  [[ "$(roadof "$w/drive.txt")" =~ ^$offer$ ]] || fail "road '$(roadof "$w/drive.txt")', wanted '$offer'" ;;
crash-rolled-back)
  drive "$w/drive1.txt" --keys "update offer=space"
  grep -qx "  road: \(checking for updates\)\?" "$w/drive1.txt" || fail "release 2 got somewhere before its first frame"
  [ "$(cat "$p/launcher/app/starting")" = 2 ] || fail "the start of release 2 was not counted"
  drive "$w/drive2.txt" --keys "update offer=space"
  [[ "$(roadof "$w/drive2.txt")" =~ ^$offer$ ]] || fail "second start: road '$(roadof "$w/drive2.txt")', wanted '$offer'" ;;
rotated-key)
  # Release 2 refuses the manifest signed by A; the studio publishes game 3 signed by B; Retry.
  drive "$w/drive.txt" --run "connection failed=bash -c 'source $lib/world.sh; publish_game $w/studio $w/served 3 Three $w/b/key.sec'" \
    --keys "connection failed=space" --keys "update offer=space"
  want='(checking for updates > )?connection failed[^>]*@1 > (checking for updates > )?update offer@1( > downloading)?( > unzipping)?'
  [[ "$(roadof "$w/drive.txt")" =~ ^$want$ ]] || fail "road '$(roadof "$w/drive.txt")', wanted '$want'" ;;
esac

choice="$p/launcher/app/choice.txt"
version=2
case "$road" in
killed-at-each-step) logged "Launcher 2 runs from app/2/" ;;
replaces-itself)
  [ "$(cat "$choice")" = $'current 2\nprevious 0' ] || fail "choice: $(cat "$choice")"
  logged "Signature verified: $LAYOUT_LAUNCHER_PACKAGE \(launcher 2\)"
  logged "Launcher 2 is in app/2 and starts from now on"
  logged "Launcher 2 runs from app/2/"
  grep -qE "^=== launcher started .*, launcher 2$" "$p/launcher/launcher.log" || fail "no run of launcher 2 in the log"
  # Each file once, whichever launcher asked for it.
  twice="$(awk '{print $7}' "$w/nginx/access.log" | sort | uniq -d)"
  [ -z "$twice" ] || fail "asked more than once: $twice$(echo; cat "$w/nginx/access.log")"
  grep -q "GET $(layout_launcher_dir 2)$LAYOUT_LAUNCHER_PACKAGE " "$w/nginx/access.log" || fail "release 2 was never fetched" ;;
crash-rolled-back)
  [ "$(cat "$choice")" = $'current 0\nprevious 0\nrefused 2' ] || fail "choice: $(cat "$choice")"
  logged "Launcher 2 did not reach its first frame at its last start: back to the launcher in this folder; 2 is not taken again"
  logged "Launcher 2 is on offer but failed at a start before: not taken again"
  [ ! -e "$p/launcher/app/2" ] || fail "the refused release's folder stayed" ;;
rotated-key)
  version=3
  logged "Manifest refused: FAILURE_BAD_SIGNATURE: it was made with another key"
  logged "Signature verified: $LAYOUT_PACKAGE \(version 3\)"
  grep -qx "key $(tail -n 1 "$w/b/key.pub")" "$choice" || fail "key B is not the one in force: $(cat "$choice")" ;;
foreign-key)
  [ ! -e "$choice" ] || fail "a choice was written: $(cat "$choice")"
  logged "Launcher release refused: it was made with another key"
  logged "Launcher 2 not taken: FAILURE_BAD_SIGNATURE: it was made with another key"
  [ ! -e "$p/launcher/app/2" ] || fail "the refused release was unpacked" ;;
esac
[ "$(cat "$p/launcher/version.txt")" = "$version" ] || fail "version file: $(cat "$p/launcher/version.txt")"
for _ in $(seq 100); do [ -s "$p/game-ran.txt" ] && break; sleep 0.05; done
[ "$(tail -n 1 "$p/game-ran.txt" 2>/dev/null)" = "Vantorique $version" ] || fail "game that ran: $(cat "$p/game-ran.txt" 2>/dev/null)"
grep -qx "level data of version $version" "$p/Vantorique.app/Contents/Resources/level.dat" || fail "game files"
left="$(cd "$p/launcher" && ls -A | grep -v -x -e flashpunk.ttf -e background.png -e version.txt -e launcher.log \
  -e verified-version.txt -e install-id.txt -e installed-index -e "$prog" -e app || true)"
[ -z "$left" ] || fail "left behind in the launcher's folder: $left"
[ ! -e "$p/launcher/app" ] || { left="$(cd "$p/launcher/app" && ls -A | grep -v -x -e choice.txt -e 2 || true)"
  [ -z "$left" ] || fail "left behind in app/: $left"; }
[ -z "${SHOW_LOG:-}" ] || { cat "$p/launcher/launcher.log" "$w"/drive*.txt "$w/nginx/access.log"; }
echo "ok: $road"
