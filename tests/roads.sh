#!/usr/bin/env bash
# One road of the launcher as a player meets it: an installed game, an update
# server on loopback (nginx, or one that fails on purpose) serving what
# scripts/publish wrote, the launcher in a real window under its own Xvfb,
# driven by scripts/lib/drive.py. Asserts the road drive.py reports and what
# is left on disk. The harness is installed in the launcher's folder, as a
# player has the launcher, and enters that folder at start as the launcher
# does. usage: roads.sh ROAD (HARNESS and ZIPUTIL name the programs)
set -euo pipefail
lib="$(cd "$(dirname "$0")/../scripts/lib" && pwd)"
source "$lib/world.sh"  # and layout.sh: the server's names (LAYOUT_*)
zip="$LAYOUT_PACKAGE" sig="$LAYOUT_SIGNATURE_SUFFIX" manifest="$LAYOUT_MANIFEST" rel2="$(layout_release_dir 2)"
w="$(mktemp -d)"
trap 's=$?; world_end; if [ $s = 0 ]; then rm -rf "$w"; else echo "world kept in $w"; fi' EXIT
chmod 755 "$w"  # nginx's workers read the served files
export ZIPUTIL
p="$w/player" have=1 game=1 mb=0 server=nginx rates="0 0" sign="" trust="" keys=(--keys "update offer=space")
want='(checking for updates > )?update offer@1( > downloading)?( > unzipping)?' status=0 version=2 ran=2
# Roads: what differs from an update of version 1 to 2 with "Update Now".
case "$1" in
update-now) pad=1 rates="3000 500" keys=(--keys "update offer=Down 1 Up 1 space")
  want='checking for updates > update offer@121 > downloading( > unzipping)?' ;;
update-later) keys=(--keys "update offer=Down 1 space") want='(checking for updates > )?update offer@12' version=1 ran=1 ;;
up-to-date) have=2 game=2 pad=1 rates="3000 0" want='checking for updates' ;;
retry-reaches-the-server) server=later keys=(--keys "connection failed=space" --close "update offer=0.5")
  want='(checking for updates > )?connection failed: No answer from the update server@1 > (checking for updates > )?update offer@1' version=1 ran="" ;;
play-offline) server=none keys=(--keys "connection failed=Down 1 space") version=1 ran=1
  want='(checking for updates > )?connection failed: No answer from the update server@12' ;;
no-game-gives-up) have="" game="" server=none keys=(--keys "connection failed=Down 1 space" --keys "no game=space")
  want='(checking for updates > )?connection failed: No answer from the update server@12 > no game@2' version=none ran="" ;;
missing-package) drop=1 keys+=(--close "download failed=1.5") version=1 ran=""
  want='(checking for updates > )?update offer@1 > (downloading > )?download failed(: The server has no package@1)?' ;;
closing-mid-download) noise=1 rates="0 262144" keys+=(--close "downloading=0.5") version=1 ran="" resume=1
  want='(checking for updates > )?update offer@1 > downloading' ;;
missing-background) server=none keys=() want='' status=42 version=1 ran="" ;;
signed-package) sign=own trust=own ;;
signature-of-another-key) sign=other trust=own resign=own keys+=(--keys "download failed=Down 1 space") version=1 ran=1
  want='(checking for updates > )?update offer@1 > (downloading > )?download failed: Signature check failed@12' ;;
signature-of-another-version) sign=old trust=own keys+=(--keys "download failed=Down 1 space") version=1 ran=1
  want='(checking for updates > )?update offer@1 > (downloading > )?download failed: Signature check failed@12' ;;
damaged-package) damage=1 keys+=(--keys "update failed=Down 1 space") version=1 ran=1
  want='(checking for updates > )?update offer@1 > (downloading > )?(unzipping > )?update failed: The package is damaged@12' ;;
expired-manifest) sign=own trust=own expire=1 keys=(--keys "connection failed=space" --keys "update offer=space")
  keys+=(--run "connection failed=$(dirname "$0")/../scripts/publish --key $w/keys/key.sec --resign $w/served >/dev/null")
  want='(checking for updates > )?connection failed: The update server is out of date@1 > (checking for updates > )?update offer@1( > downloading)?( > unzipping)?' ;;
unsigned-manifest) sign=own trust=own unsigned=1 keys=(--keys "connection failed=Down 1 space") version=1 ran=1
  want="(checking for updates > )?connection failed: The update server's answer is not signed@12" ;;
resumed-download) noise=1 server=serve keys+=(--keys "download failed=space")
  serve=(--cut-once "$rel2$zip=300000")
  want='(checking for updates > )?update offer@1 > (downloading > )?download failed: No answer from the server@1( > downloading)?( > unzipping)?' ;;
resumed-without-releases) noise=1 server=serve flat=1 keys+=(--keys "download failed=space")
  serve=(--cut-once "$LAYOUT_ROOT$zip=300000")  # the 404 of the release's name must not cost the kept .part
  want='(checking for updates > )?update offer@1 > (downloading > )?download failed: No answer from the server@1( > downloading)?( > unzipping)?' ;;
retry-after-failure) server=serve keys+=(--keys "download failed=space")
  serve=(--missing-once "$rel2$zip,$LAYOUT_ROOT$zip")
  want='(checking for updates > )?update offer@1 > (downloading > )?download failed: The server has no package@1( > downloading)?( > unzipping)?' ;;
from-another-folder) from="$w/elsewhere" ;;  # a terminal elsewhere, a desktop entry, the Finder
enter-chooses) server=later keys=(--keys "connection failed=KP_Enter" --keys "update offer=Return")
  want='(checking for updates > )?connection failed: No answer from the update server@1 > (checking for updates > )?update offer@1( > downloading)?( > unzipping)?' ;;
click-update-now) keys=(--keys "update offer=mouse:60,52 1 mouse:60,36 1 click")  # over Update Later, then Update Now
  want='(checking for updates > )?update offer@121( > downloading)?( > unzipping)?' ;;
leftover-package) have=2 game=2 pad=1 rates="3000 0" want='checking for updates' leftover=1 ;;
# Version 1 published before 2, so that a delta from 1 exists; the player has 1 as published.
delta-update) first=1 mb=1 sign=own trust=own ;;
delta-falls-back) first=1 mb=1 sign=own trust=own edit=1  # the player's own edit: the delta's base differs
  want='(checking for updates > )?update offer@1( > downloading)?( > unzipping)?( > downloading)?( > unzipping)?' ;;
# A CDN (an nginx caching proxy) still serves version 2's fixed-name package
# and signature when version 3 is published: a first install gets version 3.
cdn-cache) first=1 mb=1 sign=own trust=own have="" game="" server=proxy version=3 ran=3 ;;
# Eight packs of 256 KB that do not compress (one is an eighth of the
# package), a retired file in 1, a fresh one in 2, the player's save beside.
delta-and-one-file) first=1 packs=1 sign=own trust=own touch=5 ;;  # an unchanged pack the player edited
files-alone) first=1 packs=1 sign=own trust=own nodelta=1 ;;  # more releases behind than there are deltas
ranges-ignored) first=1 packs=1 sign=own trust=own nodelta=1 directives='max_ranges 0;' ;;  # 200, whole
ranges-refused) first=1 packs=1 sign=own trust=own nodelta=1 directives='if ($http_range) { return 501; }' ;;
killed-mid-range) first=1 packs=1 sign=own trust=own nodelta=1 rates="0 40000" again=1
  first_keys=(--keys "update offer=space" --run "downloading=sleep 1.5; kill -KILL \$DRIVE_PID") ;;
verify) packs=1 sign=own trust=own have=2 game=2 damage_files=1 server=nginx keys=() want='' status=1 ran="" ;;
repair-offered) packs=1 sign=own trust=own have=2 game=2 damage_files=1 keys=(--keys "game damaged=space")
  want='(checking for updates > )?game damaged@1( > downloading)?( > unzipping)?' ;;
*) echo "no road $1"; exit 2 ;;
esac
[ "$ran" = "" ] || ran="Vantorique $ran"
use_xvfb
install_launcher "$p/launcher" "$have" "$HARNESS"
[ -z "${leftover:-}" ] || { echo "a package an interrupted install left" > "$p/launcher/$zip"
  truncate -s 1M "$p/launcher/vantorique_osx.parts"; }  # and the parts of one that was fetched by Range
[ -z "${from:-}" ] || mkdir -p "$from"
[ "$1" != missing-background ] || rm "$p/launcher/background.png"
[ -z "$game" ] || make_bundle "$p/Vantorique.app" "$game" "$mb"
[ -z "${edit:-}" ] || echo "a player's edit" >> "$p/Vantorique.app/Contents/Resources/levels.dat"
[ -z "$sign$trust" ] || { pub="$(make_keys "$w/keys")"; make_keys "$w/other" >/dev/null; }
[ -z "${noise:-}" ] || { mkdir -p "$w/studio/v2/Vantorique.app/Contents/Resources"
  head -c 1000000 /dev/urandom > "$w/studio/v2/Vantorique.app/Contents/Resources/noise.png"; }
declare -A secret=([own]="$w/keys/key.sec" [other]="$w/other/key.sec" [old]="$w/keys/key.sec")
add_packs() {  # APP VERSION
  python3 - "$1" "$2" <<'PY'
import os, random, sys
res, version = os.path.join(sys.argv[1], "Contents/Resources"), int(sys.argv[2])
for n in range(1, 9):  # the third changes in version 2
    open(os.path.join(res, "pack-%d.dat" % n), "wb").write(random.Random(n * 10 + (version if n == 3 else 0)).randbytes(262144))
open(os.path.join(res, "retired.dat" if version == 1 else "fresh.dat"), "wb").write(random.Random(version).randbytes(4096))
PY
}
[ -z "${packs:-}" ] || for v in 1 2; do make_bundle "$w/studio/v$v/Vantorique.app" $v; add_packs "$w/studio/v$v/Vantorique.app" $v; done
[ -z "${first:-}" ] || publish_game "$w/studio" "$w/served" 1 $'Version 1\n' "${secret[${sign:-none}]:-}" "$mb"
publish_game "$w/studio" "$w/served" 2 $'Version 2:\n- a second level\n' "${secret[${sign:-none}]:-}" "$mb"
a="$w/served${LAYOUT_ROOT%/}"
[ "$sign" != old ] || { publish_game "$w/studio" "$w/old" 3 "" "${secret[old]}"  # a signature of version 3
  cp "$w/old$LAYOUT_ROOT$zip$sig" "$a/"
  cp "$w/old$LAYOUT_ROOT$zip$sig" "$w/served$rel2"; }
[ -z "${resign:-}" ] || "$(dirname "$0")/../scripts/publish" --key "${secret[$resign]}" --resign "$w/served" >/dev/null
[ -z "${unsigned:-}" ] || rm "$a/$manifest$sig"
[ -z "${expire:-}" ] || minisign -S -s "${secret[own]}" -m "$a/$manifest" -x "$a/$manifest$sig" >/dev/null \
  -t "${LAYOUT_COMMENT_FILE}$manifest ${LAYOUT_COMMENT_VERSION}2 ${LAYOUT_COMMENT_EXPIRES}2020-01-01T00:00:00Z"  # signed right, long expired
[ -z "${pad:-}" ] || head -c 3000 /dev/zero | tr '\0' ' ' >> "$a/$manifest"  # past the grave accent: ignored
[ -z "${drop:-}" ] || rm "$a/$zip" "$w/served$rel2$zip"
[ -z "${damage:-}" ] || truncate -s -200 "$a/$zip" "$w/served$rel2$zip"
[ -z "${flat:-}" ] || rm -r "$a/$LAYOUT_RELEASES"  # a server published before releases had folders
if [ -n "${packs:-}" ]; then  # the player's game as published, with its index, and the player's save
  rm -rf "$p/Vantorique.app" && cp -a "$w/studio/v$game/Vantorique.app" "$p/"
  cp "$w/served$(layout_release_dir "$game")index" "$p/launcher/installed-index"
  mkdir "$p/Vantorique.app/Contents/saves" && echo "the player's save" > "$p/Vantorique.app/Contents/saves/slot1.sav"
  res="$p/Vantorique.app/Contents/Resources"
  [ -z "${touch:-}" ] || echo "a player's edit" >> "$res/pack-$touch.dat"
  [ -z "${nodelta:-}" ] || rm "$w/served$rel2$(layout_delta_name 1)"*
  # Three files gone, one damaged in place (its size kept: only a hash sees it).
  [ -z "${damage_files:-}" ] || { rm "$res/pack-1.dat" "$res/pack-2.dat" "$res/fresh.dat"
    printf 'damage' | dd of="$res/pack-4.dat" bs=1 seek=1000 conv=notrunc status=none; }
fi
port="$(free_port)"
serve_nginx() {  # another port if a road beside took this one meanwhile
  for _ in 1 2 3; do n="$(start_nginx "$w" "$w/served" "$port" $rates "${directives:-}")" && WORLD_PIDS+=("$n") && return; port="$(free_port)"; done
  return 1; }
case "$server" in
nginx) serve_nginx ;;
none) port=1 ;;  # nobody listens there, whatever runs beside
later) keys+=(--run "connection failed=bash -c 'source $lib/world.sh; start_nginx $w $w/served $port' > $w/nginx.pid") ;;
proxy) origin="$(free_port)"  # the origin, and a caching proxy in front that holds version 2's fixed names
  n="$(start_nginx "$w/origin" "$w/served" "$origin")" && WORLD_PIDS+=("$n")
  n="$(start_caching_proxy "$w/proxy" "$origin" "$port")" && WORLD_PIDS+=("$n")
  for f in "$zip" "$zip$sig"; do curl -sf -o /dev/null "http://127.0.0.1:$port$LAYOUT_ROOT$f"; done
  publish_game "$w/studio" "$w/served" 3 $'Version 3:\n- a third level\n' "${secret[own]}" "$mb"
  curl -sf "http://127.0.0.1:$port$LAYOUT_ROOT$zip" | cmp -s - "$w/served$rel2$zip" ||
    { echo "FAILED: the proxy does not hold version 2's package"; exit 1; }
  warmed="$(wc -l < "$w/proxy/nginx/access.log")" ;;
serve) python3 "$lib/serve.py" "$w/served" "$w/requests.log" "${serve[@]}" > "$w/port" &
  WORLD_PIDS+=($!); until [ -s "$w/port" ]; do sleep 0.05; done; port="$(cat "$w/port")" ;;
esac
[ -z "$trust" ] || trust="$pub"
# Started in the folder FROM when a road names one, else in its own.
drive() {
  (cd "$p/launcher" && ASAN_OPTIONS=detect_leaks=0 python3 "$lib/drive.py" --shots "$w/shots" \
    --timeout 20 --log "$w/launcher.log" "$@" -- sh -c 'cd "$0" && exec "$@"' "${from:-.}" \
    "$p/launcher/$(basename "$HARNESS")" 127.0.0.1 "$port" ${trust:+"$trust"}) > "$w/drive.txt"
}
fail() { echo "FAILED: $*"; cat "$w/drive.txt" "$w/launcher.log"; exit 1; }
# The same items, types, modes, link targets and bytes; the player's saves aside.
same_tree() {
  diff <(cd "$1" && find . -printf '%p %y %m %l\n' | sort) \
    <(cd "$2" && find . -path ./Contents/saves -prune -o -printf '%p %y %m %l\n' | sort) &&
    diff -r --no-dereference -x saves "$1" "$2" >/dev/null
}
if [ -n "${again:-}" ]; then  # killed first: the old game whole, then the next start updates
  drive "${first_keys[@]}" || true
  [ "$(cat "$p/launcher/version.txt")" = 1 ] && same_tree "$w/studio/v1/Vantorique.app" "$p/Vantorique.app" ||
    fail "after the kill the game is not version 1 whole"
  grep -q "Fetching .* of the package" "$p/launcher/launcher.log" || fail "killed before the files were asked for"
  mv "$w/launcher.log" "$w/killed.log"
fi
if [ "$1" = verify ]; then  # no window: the command line
  (cd "$p/launcher" && ASAN_OPTIONS=detect_leaks=0 "$p/launcher/$(basename "$HARNESS")" --verify 127.0.0.1 "$port" \
    "$pub") > "$w/drive.txt" 2>&1 || got=$?
  cp "$w/drive.txt" "$w/launcher.log"
else
  drive "${keys[@]}" || got=$?
fi
[ ! -s "$w/nginx.pid" ] || WORLD_PIDS+=("$(cat "$w/nginx.pid")")
road="$(sed -n 's/^  road: //p' "$w/drive.txt")"
[[ "$road" =~ ^($want)$ ]] || fail "road '$road', wanted '$want'"
[ "${got:-0}" = "$status" ] || fail "exit status ${got:-0}"
! grep -q -e "stray pixels" -e "timed out" "$w/drive.txt" || fail "see the report"
[ "$(cat "$p/launcher/version.txt" 2>/dev/null || echo none)" = "$version" ] || fail "version file"
for _ in $(seq 100); do [ -z "$ran" ] || [ -s "$p/game-ran.txt" ] && break; sleep 0.05; done
[ -n "$ran" ] || sleep 0.3  # a game started by mistake has this long to show up
[ "$(cat "$p/game-ran.txt" 2>/dev/null)" = "$ran" ] || fail "game that ran: $(cat "$p/game-ran.txt" 2>/dev/null)"
level="$([ "$version" != "${have:-none}" ] && [ "$version" != none ] && echo "$version" || echo "$game")"
[ -z "$level" ] || grep -qx "level data of version $level" "$p/Vantorique.app/Contents/Resources/level.dat" || fail "game files"
v="$p/launcher/$zip.part.validator"  # a .part kept to go on at the next start
[ -z "${resume:-}" ] || [ ! -s "$v" ] || rm "$v" "${v%.validator}"
left="$(cd "$p" && ls -A . launcher | grep -v -x -e '.:' -e 'launcher:' -e '' -e Vantorique.app -e game-ran.txt \
  -e launcher -e flashpunk.ttf -e background.png -e version.txt -e errorlog.txt -e launcher.log \
  -e verified-version.txt -e install-id.txt -e installed-index -e "$(basename "$HARNESS")" || true)"
[ -z "$left" ] || fail "left behind: $left"
[ -z "${from:-}" ] || [ -z "$(ls -A "$from")" ] || fail "written in the folder it was started from: $(ls -A "$from")"
# The support log: one dated line per event, beside errorlog.txt.
logged() { grep -qE "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8} UTC $1\$" "$p/launcher/launcher.log" ||
  fail "launcher.log has no line '$1':$(echo; cat "$p/launcher/launcher.log")"; }
url="http://127\.0\.0\.1:$port${LAYOUT_ROOT%/}"
case "$1" in
update-now|from-another-folder) logged "GET $url/$manifest: HTTP 200, 3[0-9]+ bytes received"
  logged "GET $url/${LAYOUT_RELEASES}2/$(layout_delta_name 1): HTTP 404, [0-9]+ bytes received; failed: FAILURE_NOT_ON_SERVER: HTTP 404"
  logged "No delta from version 1 to 2: the server has none \(FAILURE_NOT_ON_SERVER: HTTP 404\); fetching the files it lacks"
  logged "GET $url/${LAYOUT_RELEASES}2/$zip: HTTP 200, [0-9]+ bytes received"; logged "Installed version 2" ;;
delta-update) logged "GET $url/${LAYOUT_RELEASES}2/$(layout_delta_name 1): HTTP 200, [0-9]+ bytes received"
  logged "Signature verified: $(layout_delta_name 1) \(version 2 from 1\)"; logged "Installed version 2 from a delta"
  grep -q "GET $rel2$(layout_delta_name 1) HTTP/1.1\" 200" "$w/nginx/access.log" || fail "no delta served"
  ! grep "$zip" "$w/nginx/access.log" || fail "the package was downloaded too" ;;
delta-falls-back) logged "Signature verified: $(layout_delta_name 1) \(version 2 from 1\)"
  logged "The 1 file to fetch comes to [0-9]+% of the package: fetching the package"  # the edited levels.dat is most of it
  logged "GET $url/${LAYOUT_RELEASES}2/$zip: HTTP 200, [0-9]+ bytes received"; logged "Installed version 2"
  ! grep -q "a player's edit" "$p/Vantorique.app/Contents/Resources/levels.dat" || fail "the edited file stayed" ;;
delta-and-one-file|files-alone|ranges-ignored|ranges-refused|killed-mid-range|verify|repair-offered)
  same_tree "$w/studio/v2/Vantorique.app" "$p/Vantorique.app" || fail "the game is not version 2 as published"
  [ "$(cat "$p/Vantorique.app/Contents/saves/slot1.sav")" = "the player's save" ] || fail "the player's save is gone"
  served() { grep -c "GET $rel2$zip HTTP/1.1\" $1 " "$w/nginx/access.log" || true; } ;;&
delta-and-one-file) logged "Signature verified: $(layout_delta_name 1) \(version 2 from 1\)"
  logged "Fetching 1 file: [0-9]+ bytes in 1 part of the package"; logged "Installed version 2 from a delta"
  [ "$(served 206)" = 1 ] && [ "$(served 200)" = 0 ] || fail "not one part of the package: $(cat "$w/nginx/access.log")" ;;
files-alone|killed-mid-range) logged "Fetching [0-9] files: [0-9]+ bytes in [0-9] parts? of the package"
  logged "Installed version 2 from the files it lacked"
  [ "$(served 206)" -ge 1 ] && [ "$(served 200)" = 0 ] || fail "the package was fetched: $(cat "$w/nginx/access.log")" ;;
ranges-ignored) logged "No parts of the package: the server ignores Range \(200 with the whole file\); fetching the package"
  [ "$(served 200)" -ge 1 ] || fail "no package served" ;;
ranges-refused) logged "No parts of the package: HTTP 501 to a range; fetching the package"
  [ "$(served 501)" -ge 1 ] && [ "$(served 200)" = 1 ] || fail "no 501, then the package: $(cat "$w/nginx/access.log")" ;;
verify) grep -qx "4 files repaired" "$w/drive.txt" || fail "no line saying four files were repaired"
  for f in pack-1 pack-2 pack-4 fresh; do logged "Repaired: Contents/Resources/$f.dat"; done
  [ "$(served 206)" -ge 1 ] && [ "$(served 206)" -le 4 ] && [ "$(served 200)" = 0 ] ||
    fail "more than the four entries fetched: $(cat "$w/nginx/access.log")"
  # Again, offline and without a display: the kept index alone says it is whole.
  (cd "$p/launcher" && ASAN_OPTIONS=detect_leaks=0 env -u DISPLAY "$p/launcher/$(basename "$HARNESS")" --verify \
    127.0.0.1 1 "$pub") > "$w/again.txt" 2>&1 || fail "a second --verify, offline, exits $?: $(cat "$w/again.txt")"
  grep -qx "Nothing to repair: version 2 is whole" "$w/again.txt" || fail "$(cat "$w/again.txt")" ;;
repair-offered) for f in pack-1 pack-2 pack-4 fresh; do logged "Repaired: Contents/Resources/$f.dat"; done ;;
cdn-cache) logged "GET $url/${LAYOUT_RELEASES}3/$zip: HTTP 200, [0-9]+ bytes received"
  logged "Signature verified: $zip \(version 3\)"; logged "Installed version 3"
  ! tail -n +$((warmed + 1)) "$w/proxy/nginx/access.log" | grep -F "GET $LAYOUT_ROOT$zip" ||
    fail "the launcher asked for the fixed name"
  cmp -s <(curl -sf "http://127.0.0.1:$port$LAYOUT_ROOT$zip") "$w/served$rel2$zip" ||
    fail "the proxy no longer holds version 2's package: the road proved nothing" ;;
play-offline) logged "GET $url/$manifest: no answer, 0 bytes received; failed: Couldn't connect to server"
  logged "Check failed: .*" ;;
missing-package) logged "GET $url/$zip: HTTP 404, [0-9]+ bytes received; failed: FAILURE_NOT_ON_SERVER: HTTP 404"
  logged "Download failed: FAILURE_NOT_ON_SERVER: HTTP 404" ;;
signature-of-another-key) logged "Signature check failed: it was made with another key" ;;
leftover-package) logged "Removed $zip: an interrupted update left it"
  logged "Removed vantorique_osx.parts: an interrupted update left it" ;;
esac
case "$1" in
closing-mid-download) grep -q "exit after close: [0-2]\." "$w/drive.txt" || fail "slow to close" ;;
missing-background) grep -qxE $'Fatal error in .*loop\\.cpp on line [0-9]+: Could not start game\\. Background failure\\.\r' \
  "$p/launcher/errorlog.txt" && [ "$(wc -l < "$p/launcher/errorlog.txt")" = 1 ] || fail "error log" ;;
signed-package) grep -qx "Signature verified: $zip (version 2)" "$w/launcher.log" || fail "no signature check"
  logged "Signature verified: $zip \(version 2\)"
  [ "$(cat "$p/launcher/verified-version.txt")" = 2 ] || fail "the verified version is not remembered" ;;
expired-manifest) grep -qE "^Manifest refused: FAILURE_EXPIRED: it expired at 2020-01-01T00:00:00Z$" "$w/launcher.log" ||
  fail "no refusal logged" ;;
resumed-download) grep -q "range=bytes=300000- .*-> 206" "$w/requests.log" || fail "no resume: $(cat "$w/requests.log")" ;;
resumed-without-releases) grep -q "$LAYOUT_ROOT$zip range=bytes=300000- .*-> 206" "$w/requests.log" ||
  fail "the fixed name's .part was not resumed after the release folder's 404: $(cat "$w/requests.log")" ;;
esac
echo "road $1: $road"
