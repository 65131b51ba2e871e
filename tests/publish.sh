#!/usr/bin/env bash
# scripts/publish as a publisher meets it: the manifest's one limit. The
# launcher reads a manifest of at most 1 MiB (1,048,576 bytes): a change log
# that makes it longer is refused with a line that says so, and nothing is
# written. usage: publish.sh (ZIPUTIL names the packer)
set -uo pipefail
publish="$(cd "$(dirname "$0")/../scripts" && pwd)/publish"
source "$(dirname "$publish")/lib/layout.sh"  # the server's names, as the launcher reads them
w="$(mktemp -d)"
trap 'rm -rf "$w"' EXIT
mkdir -p "$w/Vantorique.app/Contents/MacOS" && echo game > "$w/Vantorique.app/Contents/MacOS/Vantorique"
failures=0
# case NAME VERSION LOG_BYTES STATUS LINE: publishing a change log of LOG_BYTES
# bytes must end with STATUS, print LINE last on standard error ("" for
# none), and leave a manifest of the expected size or no output at all.
case_() {
  local name="$1" version="$2" bytes="$3" want_status="$4" want_line="$5" out="$w/out-$1" status line size
  head -c "$bytes" /dev/zero | tr '\0' 'x' > "$w/log-$name.txt"
  "$publish" "$w/Vantorique.app" "$version" "$w/log-$name.txt" "$out" >/dev/null 2>"$w/err.txt"
  status=$?
  line="$(grep -v 'warning: the package.* unsigned' "$w/err.txt" | tail -n 1)"
  size="$(cat "$out$LAYOUT_ROOT$LAYOUT_MANIFEST" 2>/dev/null | wc -c)"; [ -e "$out" ] || size=none
  if [ "$status" = 0 ]; then want_size=$(( ${#version} + bytes + 3 )); else want_size=none; fi
  if [ "$status" != "$want_status" ] || [ "$line" != "$want_line" ] || [ "$size" != "$want_size" ] ||
     { [ "$status" != 0 ] && [ -e "$out" ]; }; then
    echo "FAIL $name: exited $status (want $want_status), said '$line' (want '$want_line'),"
    echo "    manifest of $size bytes (want $want_size); $out must not exist after a refusal"
    failures=$((failures + 1))
  fi
}
case_ at-the-limit 2 1048572 0 ""
case_ one-byte-over 2 1048573 1 "publish: the change log is 1048573 bytes: the manifest (version, ~, change log, \`, newline) may be at most 1048576 bytes (1 MiB), which leaves 1048572 for the change log of version 2"
case_ longer-version-less-room 2000000000 1048564 1 "publish: the change log is 1048564 bytes: the manifest (version, ~, change log, \`, newline) may be at most 1048576 bytes (1 MiB), which leaves 1048563 for the change log of version 2000000000"
case_ legal-but-huge 3 1600000 1 "publish: the change log is 1600000 bytes: the manifest (version, ~, change log, \`, newline) may be at most 1048576 bytes (1 MiB), which leaves 1048572 for the change log of version 3"
[ "$failures" = 0 ] && echo "publish: every case passed"
exit $(( failures > 0 ))
