#!/usr/bin/env bash
# scripts/publish refuses what would break players, with a line naming the fix,
# and writes nothing then: a version below the one served, a link leaving the
# game, a FIFO, a socket or a device in it, a re-sign over an unsigned
# release, a key whose password cannot be asked for. And the repairs: an
# explicit --allow-older, --sign-release after the fact, the password on
# standard input. usage: publish_refusals.sh (ZIPUTIL, VANTORIQUE_DELTA name the programs)
. "$(dirname "$0")/publish_common.sh"

minisign -G -W -p key.pub -s key.sec >/dev/null || { echo "FAILED: minisign -G"; exit 1; }
printf 'secret words\nsecret words\n' | minisign -G -p pw.pub -s pw.sec >/dev/null 2>&1 || { echo "FAILED: minisign -G with a password"; exit 1; }
game() {  # game DIR TEXT: a small bundle
  mkdir -p "$1/Vantorique.app/Contents/MacOS"
  printf '%s\n' "$2" > "$1/Vantorique.app/Contents/MacOS/Vantorique"
  chmod 755 "$1/Vantorique.app/Contents/MacOS/Vantorique"
}
echo "a change" > log.txt

# refused NAME WANT_LINE OUT -- ARGS...: publish ARGS must exit 1, say a line
# holding WANT_LINE on standard error, and leave OUT exactly as it was.
refused() {
  local name="$1" want="$2" out="$3" before after
  shift 4
  before="$(ls -lR --time-style=full-iso "$out" 2>/dev/null; find "$out" -type f -exec md5sum {} + 2>/dev/null | sort)"
  "$publish" "$@" >"$w/said.txt" 2>"$w/err.txt" </dev/null
  local status=$?
  after="$(ls -lR --time-style=full-iso "$out" 2>/dev/null; find "$out" -type f -exec md5sum {} + 2>/dev/null | sort)"
  [ "$status" = 1 ] || bad "$name: exited $status, want 1 (a refusal)"
  grep -qF -- "$want" "$w/err.txt" || { bad "$name: no line saying '$want'; it said:"; sed 's/^/    /' "$w/err.txt"; }
  [ "$before" = "$after" ] || bad "$name: $out changed although the publish was refused"
}

# A version below (or at) the one served.
game v5 five && game v3 three
"$publish" --key key.sec v5/Vantorique.app 5 log.txt out >/dev/null || bad "publishing 5 failed"
refused "3 after 5" "version 3 is lower than version 5, which channel default serves" out -- \
  --key key.sec v3/Vantorique.app 3 log.txt out
grep -qF "Publish the old game under a higher number instead: scripts/publish --revert-to 3" err.txt ||
  bad "3 after 5: the refusal must say to publish the old game under a higher number (--revert-to)"
grep -qF -- "--allow-older publishes 3 anyway" err.txt || bad "3 after 5: the refusal must name --allow-older"
rm -rf out/vantorique/autoupdate/releases/5  # the release folder gone, the manifest still served
refused "5 again, its release folder gone" "version 5 is what channel default serves already" out -- \
  --key key.sec v5/Vantorique.app 5 log.txt out
"$publish" --key key.sec --allow-older v3/Vantorique.app 3 log.txt out >/dev/null 2>&1 ||
  bad "--allow-older: 3 after 5 must be published when asked"
grep -q '^3~' out/vantorique/autoupdate/version.txt || bad "--allow-older: the manifest must announce 3"

# Links that leave the game, FIFOs, sockets, devices: refused before anything is written.
for kind in absolute climbing fifo socket device inside; do
  game "g-$kind" "$kind"
  c="g-$kind/Vantorique.app/Contents"
  case "$kind" in
  absolute) ln -s /etc/passwd "$c/passwords" ;;
  climbing) mkdir -p "$c/Resources" && ln -s ../../../../secret "$c/Resources/shared" ;;
  fifo) mkfifo "$c/pipe" ;;
  socket) python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$c/control" ;;
  device) mknod "$c/null" c 1 3 2>/dev/null || { echo "skipped: a device in the game (mknod needs root)"; continue; } ;;
  inside) mkdir -p "$c/Resources" && ln -s ../MacOS/Vantorique "$c/Resources/game" && ln -s .. "$c/Resources/up" ;;
  esac
done
refused "an absolute link" "Vantorique.app/Contents/passwords -> /etc/passwd leaves the game" out-absolute -- \
  --key key.sec g-absolute/Vantorique.app 1 log.txt out-absolute
grep -qF "Make it a relative link that stays inside Vantorique.app" err.txt || bad "an absolute link: the line must name the fix"
refused "a link climbing out" "Vantorique.app/Contents/Resources/shared -> ../../../../secret leaves the game" out-climbing -- \
  g-climbing/Vantorique.app 1 log.txt out-climbing
refused "a FIFO" "Vantorique.app/Contents/pipe is a FIFO: a package carries only files, folders and links; remove it" out-fifo -- \
  g-fifo/Vantorique.app 1 log.txt out-fifo
refused "a socket" "Vantorique.app/Contents/control is a socket: a package carries only files, folders and links; remove it" out-socket -- \
  g-socket/Vantorique.app 1 log.txt out-socket
if [ -c g-device/Vantorique.app/Contents/null ]; then
  refused "a device" "Vantorique.app/Contents/null is a device: a package carries only files, folders and links" out-device -- \
    g-device/Vantorique.app 1 log.txt out-device
fi
mkfifo g-climbing/Vantorique.app/Contents/fifo2
refused "a link and a FIFO" "Vantorique.app/Contents/fifo2 is a FIFO" out-climbing -- g-climbing/Vantorique.app 1 log.txt out-climbing
grep -qF "Contents/Resources/shared -> ../../../../secret" err.txt || bad "a link and a FIFO: each must be named, the link too"
"$publish" g-inside/Vantorique.app 1 log.txt out-inside >/dev/null 2>&1 || bad "links that stay inside the game must be published"

# --resign over an unsigned release; --sign-release repairs it.
game u1 one
"$publish" u1/Vantorique.app 1 log.txt out-u >/dev/null 2>&1 || bad "publishing 1 unsigned failed"
refused "--resign over an unsigned release" "release 1 is unsigned (published without --key)" out-u -- \
  --key key.sec --resign out-u
grep -qF "scripts/publish --key KEY --sign-release 1 OUTDIR" err.txt || bad "--resign over an unsigned release: the line must name --sign-release"
"$publish" --key key.sec --sign-release 1 out-u > signed.txt 2>&1 || { bad "--sign-release 1 failed:"; cat signed.txt; }
a=out-u/vantorique/autoupdate
for f in releases/1/vantorique_osx.zip vantorique_osx.zip version.txt releases/1/version.txt; do
  minisign -V -p key.pub -m "$a/$f" >/dev/null 2>&1 || bad "--sign-release: $f must verify with the publisher's key"
done
comment="$(sed -n '3s/^trusted comment: //p' "$a/releases/1/vantorique_osx.zip.minisig")"
[ "$comment" = "file:vantorique_osx.zip version:1" ] || bad "--sign-release: the package's comment reads '$comment'"
refused "--sign-release twice" "release 1 is already signed" out-u -- --key key.sec --sign-release 1 out-u
"$publish" --key key.sec --resign out-u >/dev/null 2>&1 || bad "--resign after --sign-release must work"

# A key with a password: no terminal and no password on standard input is
# refused with the way to give it; the password on standard input signs.
game p1 one
refused "a password key under cron" "the key pw.sec has a password and none came on standard input" out-pw -- \
  --key pw.sec p1/Vantorique.app 1 log.txt out-pw
grep -qF "scripts/publish ... < /etc/vantorique/key-password" err.txt || bad "a password key under cron: the line must say how to give it"
echo "wrong words" > wrong.txt && echo "secret words" > right.txt
"$publish" --key pw.sec p1/Vantorique.app 1 log.txt out-pw < wrong.txt >/dev/null 2>err.txt && bad "a wrong password must be refused"
grep -qF "the password given for the key pw.sec is wrong" err.txt || bad "a wrong password: the line must say so"
[ ! -e out-pw ] || bad "a wrong password: out-pw must not exist"
"$publish" --key pw.sec p1/Vantorique.app 1 log.txt out-pw < right.txt >/dev/null 2>err.txt || { bad "the password on standard input must sign:"; cat err.txt; }
minisign -V -p pw.pub -m out-pw/vantorique/autoupdate/version.txt >/dev/null 2>&1 || bad "the password's manifest must verify"
"$publish" --key pw.sec --resign out-pw < right.txt >/dev/null 2>&1 || bad "--resign with the password on standard input must work"

[ "$failures" -eq 0 ] && echo "publish: every refusal and repair passed"
exit "$((failures > 0))"
