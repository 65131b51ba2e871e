#!/usr/bin/env bash
# scripts/publish-launcher: what it writes (the release, then the manifest
# announcing it, both signed with the trusted comments launchers read, all
# readable by others under umask 077), and what it refuses, writing nothing
# then: no key, a number at or below the one served, a release published
# again, a folder without a program, a new key that is none.
# usage: publish_launcher.sh (ZIPUTIL names the program)
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
: "${ZIPUTIL:?ZIPUTIL names the ziputil program}"
source "$root/scripts/lib/layout.sh"
publish="$root/scripts/publish-launcher"
w="$(mktemp -d)"
trap 'rm -rf "$w"' EXIT
chmod 755 "$w"  # the web server's user reads the served files
cd "$w" || exit 1
failures=0
bad() { echo "FAILED: $*"; failures=$((failures + 1)); }
minisign -G -W -p key.pub -s key.sec >/dev/null && minisign -G -W -p new.pub -s new.sec >/dev/null ||
  { echo "FAILED: minisign -G"; exit 1; }
mkdir rel && printf '#!/bin/sh\n' > rel/vantorique-updater && chmod 755 rel/vantorique-updater
echo font > rel/flashpunk.ttf && echo tile > rel/background.png
mkdir noprog && echo font > noprog/flashpunk.ttf
out="$w/www" dest="$w/www${LAYOUT_ROOT%/}/${LAYOUT_LAUNCHER%/}"

(umask 077 && "$publish" --key key.sec --new-key new.pub rel 2 "$out" >/dev/null) || bad "publishing release 2 failed"
zip="$dest/2/$LAYOUT_LAUNCHER_PACKAGE"
minisign -V -p key.pub -m "$zip" >/dev/null 2>&1 || bad "release 2's package does not verify with the key"
[ "$(sed -n 's/^trusted comment: //p' "$zip$LAYOUT_SIGNATURE_SUFFIX")" = "${LAYOUT_COMMENT_FILE}launcher.zip ${LAYOUT_COMMENT_LAUNCHER}2" ] ||
  bad "release 2's trusted comment: $(sed -n 3p "$zip$LAYOUT_SIGNATURE_SUFFIX")"
minisign -V -p key.pub -m "$dest/$LAYOUT_MANIFEST" >/dev/null 2>&1 || bad "the launcher's manifest does not verify"
sed -n 's/^trusted comment: //p' "$dest/$LAYOUT_MANIFEST$LAYOUT_SIGNATURE_SUFFIX" |
  grep -qE "^${LAYOUT_COMMENT_FILE}launcher/version.txt ${LAYOUT_COMMENT_LAUNCHER}2 ${LAYOUT_COMMENT_EXPIRES}[0-9-]{10}T[0-9:]{8}Z$" ||
  bad "the manifest's trusted comment: $(sed -n 3p "$dest/$LAYOUT_MANIFEST$LAYOUT_SIGNATURE_SUFFIX")"
listing="$("$ZIPUTIL" list "$zip" | awk 'NR > 1 && $1 ~ /^[0-7][0-7][0-7][0-7][0-7][0-7]$/ {print $1, $NF}' | sort -k2)"
[ "$listing" = $'100644 ./background.png\n100644 ./flashpunk.ttf\n100644 ./publisher.pub\n100755 ./vantorique-updater' ] ||
  bad "release 2 holds: $listing"
cmp -s <("$ZIPUTIL" -q unpack "$zip" "$w/x" >/dev/null && cat "$w/x/publisher.pub") new.pub || bad "the carried key is not new.pub"
modes="$(find "$w/www" -exec stat -c '%a %n' {} + | grep -v -E '^(644|755) ' || true)"
[ -z "$modes" ] || bad "not readable by others under umask 077: $modes"
[ -z "$(find "$out" -name '.publish-launcher.*')" ] || bad "a staging folder stayed"

refused() {  # refused NAME WANT_LINE ARGS...: exit 1, a line holding WANT_LINE, the output unchanged
  local name="$1" want="$2" before after status
  shift 2
  before="$(find "$out" -exec stat -c '%n %s %Y' {} + | sort)"
  "$publish" "$@" >/dev/null 2>"$w/err.txt" </dev/null
  status=$?
  after="$(find "$out" -exec stat -c '%n %s %Y' {} + | sort)"
  [ "$status" = 1 ] || bad "$name: exited $status, want 1"
  grep -qF -- "$want" "$w/err.txt" || { bad "$name: no line saying '$want'; it said:"; sed 's/^/    /' "$w/err.txt"; }
  [ "$before" = "$after" ] || bad "$name: $out changed although it was refused"
}
refused "no key" "--key is required: a launcher never takes a release nobody signed" rel 3 "$out"
refused "a lower number" "launcher 2 is served: a new release takes a higher number" --key key.sec rel 1 "$out"
refused "the same number" "launcher 2 is served: a new release takes a higher number" --key key.sec rel 2 "$out"
refused "no program" "noprog holds no program" --key key.sec noprog 3 "$out"
refused "a new key that is none" "rel/vantorique-updater is not a minisign public key file" --key key.sec \
  --new-key rel/vantorique-updater rel 3 "$out"
refused "not a number" "the release is a whole number from 1 to 999999999 (got 'x')" --key key.sec rel x "$out"
"$publish" --key key.sec rel 3 "$out" >/dev/null || bad "release 3 after 2 failed"
[ "$(cat "$dest/$LAYOUT_MANIFEST")" = 3 ] && [ -f "$dest/2/$LAYOUT_LAUNCHER_PACKAGE" ] || bad "release 3 did not take the manifest, or 2 went"
# Served by the shipped site: a release is kept by a CDN for a year, the manifest never.
port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
"$root/scripts/serve" www "$port" > serve.txt 2>&1 &
serve_pid=$!
for _ in $(seq 200); do grep -q '^serving' serve.txt && break; kill -0 "$serve_pid" 2>/dev/null || break; sleep 0.05; done
header() { curl -s -D - -o /dev/null "http://127.0.0.1:$port$1" | tr -d '\r' | sed -n "s/^$2: //Ip"; }
for p in "$(layout_launcher_dir 2)$LAYOUT_LAUNCHER_PACKAGE" "$(layout_launcher_dir 3)$LAYOUT_LAUNCHER_PACKAGE$LAYOUT_SIGNATURE_SUFFIX"; do
  [ "$(header "$p" Cache-Control)" = "public, max-age=31536000, immutable" ] ||
    bad "GET $p: Cache-Control '$(header "$p" Cache-Control)', want a year and immutable; $(curl -s -D - -o /dev/null "http://127.0.0.1:$port$p" | head -1)"
done
p="$LAYOUT_ROOT$LAYOUT_LAUNCHER$LAYOUT_MANIFEST$LAYOUT_SIGNATURE_SUFFIX"
[ "$(header "$p" Cache-Control)" = "no-cache" ] || bad "GET $p: Cache-Control '$(header "$p" Cache-Control)', want no-cache"
kill "$serve_pid"; wait "$serve_pid" 2>/dev/null
[ "$failures" = 0 ] && echo "ok" || exit 1
