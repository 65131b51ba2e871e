#!/usr/bin/env bash
# scripts/publish over three releases: the versioned layout, the deltas and
# their signed comments, and a delta giving the tree the package gives.
# usage: publish.sh (ZIPUTIL and VANTORIQUE_DELTA name the programs).
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
: "${ZIPUTIL:?ZIPUTIL names the ziputil program}" "${VANTORIQUE_DELTA:?VANTORIQUE_DELTA names the delta program}"
w="$(mktemp -d)"
trap 'rm -rf "$w"' EXIT
cd "$w"
failures=0
expect() {  # expect WHAT COMMAND...: COMMAND must succeed
  local what="$1"; shift
  if ! "$@" >/dev/null 2>&1; then echo "FAILED: $what"; failures=$((failures + 1)); fi
}

minisign -G -W -p key.pub -s key.sec >/dev/null || { echo "FAILED: minisign -G"; exit 1; }
app=v1/Vantorique.app
mkdir -p "$app/Contents/MacOS" "$app/Contents/Resources"
printf '<plist>1</plist>\n' > "$app/Contents/Info.plist"
head -c 300000 /dev/urandom > "$app/Contents/MacOS/Vantorique" && chmod 755 "$app/Contents/MacOS/Vantorique"
head -c 500000 /dev/urandom > "$app/Contents/Resources/data.bin"
echo "first" > log1.txt
"$root/scripts/publish" --key key.sec "$app" 1 log1.txt out > out1.txt || { echo "FAILED: publishing 1"; cat out1.txt; exit 1; }
source "$root/scripts/lib/layout.sh"  # the server's names, as the launcher reads them
a="out${LAYOUT_ROOT%/}" r="out${LAYOUT_ROOT}${LAYOUT_RELEASES%/}"
expect "releases/1/vantorique_osx.zip is the first package" cmp "$r/1/vantorique_osx.zip" "$a"/vantorique_osx.zip
expect "releases/1/vantorique_osx.zip.minisig verifies" minisign -V -p key.pub -m "$r/1/vantorique_osx.zip"
expect "release 1 has no delta" test -z "$(ls "$r/1" | grep delta)"
comment="$(minisign -V -p key.pub -m "$r/1/index" 2>&1 | sed -n 's/^Trusted comment: //p')"
[ "$comment" = "file:index version:1" ] || { echo "FAILED: releases/1/index's trusted comment reads '$comment'"; failures=$((failures + 1)); }
expect "releases/1/index reads as version 1's, in its package" grep -q "^version 1: 6 items, 3 files of 800017 bytes, in a package of $(stat -c %s "$r/1/vantorique_osx.zip") bytes" <("$VANTORIQUE_DELTA" index-info "$r/1/index")
[ "$(stat -c %i "$r/1/vantorique_osx.zip")" = "$(stat -c %i out/vantorique/autoupdate/vantorique_osx.zip)" ] ||
  { echo "FAILED: releases/1/vantorique_osx.zip must be the fixed-name package's second name, not a copy"; failures=$((failures + 1)); }
cp "$r/1/vantorique_osx.zip" first.zip
# Spoil data.bin's entry in release 1's package: it does not change in
# release 2, so making the delta from 1 must never read it.
at="$(python3 -c "import zipfile,struct,sys
z=zipfile.ZipFile(sys.argv[1]); i=z.getinfo('Vantorique.app/Contents/Resources/data.bin')
h=open(sys.argv[1],'rb'); h.seek(i.header_offset); l=h.read(30)
print(i.header_offset+30+struct.unpack('<HH',l[26:30])[0]+struct.unpack('<HH',l[26:30])[1]+1000)" "$r/1/vantorique_osx.zip")"
printf 'X' | dd of="$r/1/vantorique_osx.zip" bs=1 seek="$at" conv=notrunc status=none

cp -a v1 v2 && app=v2/Vantorique.app
printf '<plist>2</plist>\n' > "$app/Contents/Info.plist"
printf 'patched' | dd of="$app/Contents/MacOS/Vantorique" bs=1 seek=1000 conv=notrunc status=none
echo "new" > "$app/Contents/Resources/new.txt"
mkdir "$app/Contents/Saves"  # empty: no package carries it
echo "second" > log2.txt
"$root/scripts/publish" --key key.sec "$app" 2 log2.txt out > out2.txt 2>&1 || { echo "FAILED: publishing 2"; cat out2.txt; exit 1; }
expect "from-1.delta is made from release 1's index, never reading an unchanged file's entry" test -f "$r/2/from-1.delta"
cp first.zip "$r/1/vantorique_osx.zip"
expect "the output names the empty folder that no player gets" grep -q "^note: Vantorique.app/Contents/Saves is an empty folder" out2.txt
expect "releases/1 is never rewritten" cmp first.zip "$r/1/vantorique_osx.zip"
expect "releases/2/vantorique_osx.zip is the fixed-name package" cmp "$r/2/vantorique_osx.zip" "$a"/vantorique_osx.zip
expect "the manifest announces 2" grep -q '^2~second' "$a"/version.txt
expect "releases/2/from-1.delta exists" test -f "$r/2/from-1.delta"
comment="$(minisign -V -p key.pub -m "$r/2/from-1.delta" 2>&1 | sed -n 's/^Trusted comment: //p')"
[ "$comment" = "file:from-1.delta version:2 from:1" ] || { echo "FAILED: the delta's trusted comment reads '$comment'"; failures=$((failures + 1)); }
expect "the output names the delta" grep -q "^delta: .*from-1.delta" out2.txt
mkdir installed && "$ZIPUTIL" -q unpack first.zip installed >/dev/null
expect "from-1.delta applies to release 1" "$VANTORIQUE_DELTA" apply installed/Vantorique.app "$r/2/from-1.delta" staged
# The delta's road and the package's road give one tree: types, modes, link
# targets and bytes alike, the empty folder absent from both.
mkdir packaged && "$ZIPUTIL" -q unpack "$r/2/vantorique_osx.zip" packaged >/dev/null
tree() { (cd "$1" && find . -printf '%p %y %m %l\n' | sort); }
[ "$(tree staged)" = "$(tree packaged/Vantorique.app)" ] ||
  { echo "FAILED: the delta's tree differs from the package's:"; diff <(tree staged) <(tree packaged/Vantorique.app); failures=$((failures + 1)); }
expect "the delta's files are the package's" diff -r staged packaged/Vantorique.app
[ "$(diff -r staged v2/Vantorique.app 2>&1)" = "Only in v2/Vantorique.app/Contents: Saves" ] ||
  { echo "FAILED: from-1.delta must rebuild the bundle of 2 but its empty folder:"; diff -r staged v2/Vantorique.app; failures=$((failures + 1)); }

before="$(ls -lR out)"
if "$root/scripts/publish" --key key.sec "$app" 2 log2.txt out > again.txt 2>&1; then
  echo "FAILED: publishing 2 again must fail"; failures=$((failures + 1))
fi
expect "publishing 2 again says why" grep -q "already published" again.txt
[ "$before" = "$(ls -lR out)" ] || { echo "FAILED: publishing 2 again wrote something"; failures=$((failures + 1)); }

# A release that shares nothing with the earlier ones: no delta pays.
mkdir -p v3/Vantorique.app/Contents && head -c 800000 /dev/urandom > v3/Vantorique.app/Contents/game.bin
echo "third" > log3.txt
"$root/scripts/publish" --key key.sec v3/Vantorique.app 3 log3.txt out > out3.txt || { echo "FAILED: publishing 3"; exit 1; }
expect "no delta over 60% of the package is published" test -z "$(ls "$r/3" | grep delta)"
expect "the output says the delta from 2 was dropped" grep -q "^no delta from 2: .*over 60% of the package" out3.txt
expect "the output says the delta from 1 was dropped" grep -q "^no delta from 1: " out3.txt

[ "$failures" -eq 0 ] && echo "all publish checks passed"
exit "$((failures > 0))"
