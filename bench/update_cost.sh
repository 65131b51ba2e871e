#!/usr/bin/env bash
# What a delta update costs the player's disk: the bytes `vantorique-delta
# apply` makes the disk write (bench/write_bytes.sh, /proc/PID/io), against
# the bytes of the files that changed, and against a build that stages by
# copying (BASELINE: another vantorique-delta, e.g. built from an earlier
# commit) side by side in one run. Two generated games (bench/gen_game.py):
#   every-pack  2 packs of 256 MB, each edited, 4000 small files (2% edited)
#   one-pack    32 packs of 20 MB of which one is edited, 4000 small files
# Prints the "Update cost" section of bench/RESULTS.md. With BIG=1 it does
# only the game of the size an update is judged at (bench/update_cost_big.sh:
# 12 GB of scratch, root for an ext4 image).
#
# usage: bench/update_cost.sh [WORK_DIR] [BASELINE]   (VANTORIQUE_DELTA: ours, else build/release's)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mkdir -p "${1:-/tmp/vantorique-bench-cost}" && cd "${1:-/tmp/vantorique-bench-cost}" && pwd)"
baseline="${2:-}"
[ "${BIG:-0}" != 1 ] || exec "$root/bench/update_cost_big.sh" "$work"
ours="${VANTORIQUE_DELTA:-$root/build/release/vantorique-delta}"
if [ ! -x "$ours" ]; then
  cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release -DVANTORIQUE_TESTS=OFF -DVANTORIQUE_LAUNCHER=OFF >/dev/null
  cmake --build "$root/build/release" --target vantorique-delta -j "$(nproc)" >/dev/null
fi
cd "$work"
gen() { [ -d "$1" ] || python3 "$root/bench/gen_game.py" "$@" >/dev/null; }
gen every1 1 --packs 256,256 --small 4000
gen every2 2 --packs 256,256 --small 4000
packs="$(python3 -c "print(','.join(['20'] * 32))")"
gen one1 1 --packs "$packs" --small 4000
gen all2 2 --packs "$packs" --small 4000
if [ ! -d one2 ]; then  # release 1 with one pack and the small files of release 2
  cp -a one1 one2
  first=Vantorique.app/Contents/Resources/pack0.tex
  cp "all2/$first" "one2/$first"
  (cd all2 && find . -type f ! -size +1M -print0 | xargs -0 cp --parents -t ../one2)
  (cd one2 && find . -type f ! -size +1M -print0 | while IFS= read -r -d '' f; do [ -e "../all2/$f" ] || rm "$f"; done)
fi
# changed OLD NEW: bytes of the files of NEW that are not OLD's file at that path.
changed() { python3 "$root/bench/changed_bytes.py" "$1" "$2"; }
mb() { awk -v b="$1" 'BEGIN { printf "%.1f MB", b / 1048576 }'; }
echo "## Update cost"
echo
echo "Bytes the disk was made to write while a delta staged the new game (\`/proc/PID/io\` write_bytes, \`bench/update_cost.sh\`), on $(date +%F)."
echo
echo "| game | game size | changed files | delta | ours writes | by copying | ours / changed |"
echo "|---|---|---|---|---|---|---|"
for pair in "every-pack every1 every2" "one-pack one1 one2"; do
  set -- $pair
  name="$1" old="$2/Vantorique.app" new="$3/Vantorique.app"
  [ -f "$name.delta" ] || "$ours" make "$old" "$new" "$name.delta" --level 3 --from 1 --to 2 >/dev/null
  ch="$(changed "$old" "$new")"
  rm -rf staged; wrote="$("$root/bench/write_bytes.sh" "$ours" apply "$old" "$name.delta" staged | awk '{print $2}')"
  base="-"
  if [ -n "$baseline" ]; then
    rm -rf staged; base="$(mb "$("$root/bench/write_bytes.sh" "$baseline" apply "$old" "$name.delta" staged | awk '{print $2}')")"
  fi
  rm -rf staged
  echo "| $name | $(mb "$(du -sb "$old" | cut -f1)") | $(mb "$ch") | $(mb "$(stat -c %s "$name.delta")") | $(mb "$wrote") | $base | $(awk -v a="$wrote" -v b="$ch" 'BEGIN { printf "%.2fx", a / b }') |"
done

# The package road (one-pack): release 2's package unpacked whole, as
# before, against staged by its index beside release 1 (every installed
# file read and hashed to compare, the unchanged ones linked).
ziputil="${ZIPUTIL:-$(dirname "$ours")/ziputil}"
[ -f one2.zip ] || "$ziputil" pack -6 one2/Vantorique.app one2.zip >/dev/null
[ -f one2.idx ] || "$ours" index one2/Vantorique.app one2.zip one2.idx --version 2 >/dev/null
# timed WHAT CMD...: "bytes seconds" of CMD.
timed() {
  local start end bytes
  start="$(date +%s.%N)"
  bytes="$("$root/bench/write_bytes.sh" "$@" | awk '{print $2}')"
  end="$(date +%s.%N)"
  echo "$bytes $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')"
}
rm -rf unpacked staged; sync
read -r whole_bytes whole_secs < <(timed "$ziputil" -q unpack one2.zip unpacked)
rm -rf unpacked staged; sync
read -r index_bytes index_secs < <(timed "$ours" stage one1/Vantorique.app one2.idx one2.zip staged)
rm -rf unpacked staged
echo
echo "The package road on one-pack: release 2's package ($(mb "$(stat -c %s one2.zip)")) unpacked whole, against staged by its index beside release 1 (each installed file read and hashed, the unchanged ones linked)."
echo
echo "| road | writes | seconds |"
echo "|---|---|---|"
echo "| unpacked whole | $(mb "$whole_bytes") | $whole_secs |"
echo "| staged by the index | $(mb "$index_bytes") | $index_secs |"
