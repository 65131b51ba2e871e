#!/usr/bin/env bash
# What scripts/publish writes under umask 077, served by scripts/serve (the
# shipped server/nginx.conf): every file readable by the web server's user
# (files 0644, folders 0755) and answered 200; the manifests and the
# fixed-name package marked for a CDN to ask again each time, the releases
# kept a year, ranges answered, publish's staging folders never served.
# usage: publish_serve.sh (ZIPUTIL and VANTORIQUE_DELTA name the programs)
. "$(dirname "$0")/publish_common.sh"
command -v nginx >/dev/null || { echo "skipped: nginx is not installed (scripts/install-deps)"; exit 0; }
chmod 755 "$w"  # the web server's user must reach the folder, as it would reach /srv/www
serve_pid=""
trap '[ -z "$serve_pid" ] || { kill "$serve_pid"; wait "$serve_pid"; } 2>/dev/null; rm -rf "$w"' EXIT

minisign -G -W -p key.pub -s key.sec >/dev/null || { echo "FAILED: minisign -G"; exit 1; }
for v in 1 2; do
  mkdir -p "v$v/Vantorique.app/Contents/MacOS" "v$v/Vantorique.app/Contents/Resources"
  printf '#!/bin/sh\necho %s\n' "$v" > "v$v/Vantorique.app/Contents/MacOS/Vantorique"
  chmod 700 "v$v/Vantorique.app/Contents/MacOS/Vantorique"
  head -c 200000 /dev/zero | tr '\0' "$v" > "v$v/Vantorique.app/Contents/Resources/level.dat"
  chmod 600 "v$v/Vantorique.app/Contents/Resources/level.dat"
  echo "version $v" > "log$v.txt"
done
(
  umask 077
  "$root/scripts/publish" --key key.sec v1/Vantorique.app 1 log1.txt out &&
    "$root/scripts/publish" --key key.sec --channel beta v2/Vantorique.app 2 log2.txt out &&
    "$root/scripts/publish" --key key.sec --resign out
) > published.txt 2>&1 || { echo "FAILED: publishing under umask 077:"; cat published.txt; exit 1; }
a=out/vantorique/autoupdate

while IFS= read -r p; do bad "$p is mode $(stat -c %a "$p"): files must be 0644, folders 0755"; done \
  < <(find out \( -type f ! -perm 644 \) -o \( -type d ! -perm 755 \))
mkdir -p out/.publish.left && echo private > out/.publish.left/version.txt  # as a killed publish leaves it

port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
"$root/scripts/serve" out "$port" > serve.txt 2>&1 &
serve_pid=$!
for _ in $(seq 200); do grep -q '^serving' serve.txt && break; kill -0 "$serve_pid" 2>/dev/null || break; sleep 0.05; done
grep -q "^serving $w/out at http://127.0.0.1:$port/" serve.txt || { echo "FAILED: scripts/serve did not start:"; cat serve.txt; exit 1; }

url="http://127.0.0.1:$port"
files=0
while IFS= read -r f; do
  files=$((files + 1))
  status="$(curl -s -o got -w '%{http_code}' "$url/${f#out/}")"
  [ "$status" = 200 ] || { bad "GET /${f#out/}: HTTP $status, want 200"; continue; }
  cmp -s got "$f" || bad "GET /${f#out/}: the bytes served differ from the file"
done < <(find out -type f ! -path '*/.publish.*' | sort)
[ "$files" -ge 14 ] || bad "only $files files were published (want the manifests, packages, deltas and signatures)"

# header PATH NAME: the value of the response header NAME for GET PATH.
header() { curl -s -D - -o /dev/null "$url$1" | tr -d '\r' | sed -n "s/^$2: //Ip"; }
for p in /$a/version.txt /$a/version.txt.minisig /$a/channels/beta/version.txt /$a/channels/beta/version.txt.minisig \
         /$a/vantorique_osx.zip /$a/vantorique_osx.zip.minisig; do
  p="${p#/out}"
  [ "$(header "$p" Cache-Control)" = "no-cache" ] || bad "GET $p: Cache-Control '$(header "$p" Cache-Control)', want no-cache"
done
for p in /$a/releases/1/vantorique_osx.zip /$a/releases/2/version.txt.minisig /$a/releases/2/version.txt; do
  p="${p#/out}"
  [ "$(header "$p" Cache-Control)" = "public, max-age=31536000, immutable" ] ||
    bad "GET $p: Cache-Control '$(header "$p" Cache-Control)', want a year and immutable"
done
p="/vantorique/autoupdate/releases/9/vantorique_osx.zip"
[ -z "$(header "$p" Cache-Control)" ] || bad "GET $p (no such release): a 404 must not be marked immutable"
[ "$(header /vantorique/autoupdate/version.txt Content-Type)" = "text/plain" ] || bad "the manifest must be served as text/plain"
p="/vantorique/autoupdate/releases/1/vantorique_osx.zip"
etag="$(header "$p" ETag)"
status="$(curl -s -o part -w '%{http_code}' -r 100- -H "If-Range: $etag" "$url$p")"
[ "$status" = 206 ] && cmp -s part <(tail -c +101 "$a/releases/1/vantorique_osx.zip") ||
  bad "a resumed download (Range 100- with If-Range): HTTP $status, want 206 and the rest of the package"
status="$(curl -s -o /dev/null -w '%{http_code}' "$url/.publish.left/version.txt")"
[ "$status" = 404 ] || bad "a staging folder of publish: HTTP $status, want 404"

kill "$serve_pid" && wait "$serve_pid" 2>/dev/null
serve_pid=""
curl -s -o /dev/null "$url/" && bad "nginx must stop with scripts/serve"

[ "$failures" -eq 0 ] && echo "publish and serve: all $files files served, each as a CDN should keep it"
exit "$((failures > 0))"
