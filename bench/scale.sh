#!/usr/bin/env bash
# Publishing a game of real size: versions 1 and 2 of a generated 2.3 GB game
# (bench/gen_game.py: four 512 MiB pack files, half incompressible and half
# structured, a few MiB inserted, removed and overwritten in each; 10,000
# small files, 2% edited, 1% added, 1% removed, a folder renamed).
# Times `zip -r -6` of version 2 (the yardstick), ziputil's pack at -6 and -9,
# scripts/publish of version 2 after version 1 (time and peak memory), the
# delta against zstd --patch-from -19 --long=31 and xdelta3 -9 -B on each
# changed file, and applying the delta against unpacking the package.
# Prints markdown for bench/RESULTS.md; the peers' per-file patches take the
# longest (half an hour at zstd's -19 on a loaded machine).
#
# usage: bench/scale.sh [WORK_DIR]   (needs zip, zstd, xdelta3, GNU time; 12 GB free)
#        REPORT_ONLY=1 bench/scale.sh [WORK_DIR]: the last run's figures again
#        APPLY_ONLY=1 bench/scale.sh [WORK_DIR]: applying against unpacking alone
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mkdir -p "${1:-/tmp/vantorique-scale}" && cd "${1:-/tmp/vantorique-scale}" && pwd)"
# BUILD: a folder holding ziputil and vantorique-delta already built.
build="${BUILD:-$root/build/release}"
if [ -z "${BUILD:-}" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVANTORIQUE_TESTS=OFF -DVANTORIQUE_LAUNCHER=OFF >/dev/null
  cmake --build "$build" --target ziputil vantorique-delta -j "$(nproc)" >/dev/null
fi
for tool in zip zstd xdelta3 /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "bench/scale.sh: $tool is missing (scripts/install-deps)" >&2; exit 1; }
done
cd "$work"
for v in 1 2; do
  [ -d "v$v/Vantorique.app" ] || python3 "$root/bench/gen_game.py" "v$v" "$v" --packs 512,512,512,512 --small 10000
done

# timed NAME CMD...: runs CMD under GNU time; prints nothing, records
# "NAME seconds peak_kb user_s system_s" in times.txt.
timed() {
  local name="$1"; shift
  /usr/bin/time -f "%e %M %U %S" -o .time "$@" >"$name.log" 2>&1 || { echo "failed: $*" >&2; cat "$name.log" >&2; exit 1; }
  echo "$name $(tail -1 .time)" >> times.txt
}
# median NAME: "seconds peak_kb", the median of NAME1..6 by time (the mean
# of the middle two).
median() {
  grep "^$1[0-9] " times.txt | sort -k2 -g |
    awk '{ t[NR] = $2; m[NR] = $3 } END { a = int((NR + 1) / 2); b = int(NR / 2) + 1; printf "%.3f %d\n", (t[a] + t[b]) / 2, (m[a] + m[b]) / 2 }'
}
r=out/vantorique/autoupdate/releases
delta="$r/2/from-1.delta"
# Applying against unpacking. Each run writes into an ext4 file system of
# its own, made just before (as root) and holding version 1 as a player's
# disk does: after a tree of 10,000 files is removed, ext4 skips its freed
# inodes for a while, and the next writer of many new files (unpack) pays
# far more for it than one that links them (apply). Both runs are set up
# alike, copy and sync included: on this virtual machine, memory freed a
# few seconds before a run goes back to the host, and a writer then pays
# for every page it touches afresh. One round goes uncounted, then six, the
# order turning each round; the medians are reported.
apply_against_unpack() {
  local fs="$work/fs" k first second size
  if [ "$(id -u)" != 0 ]; then
    echo "bench/scale.sh: applying against unpacking needs root (an ext4 image each run)" >&2
    return 1
  fi
  mkdir -p "$fs"
  size=$(( $(du -sb v1 | cut -f1) * 3 + (2 << 30) ))
  fresh() {
    umount "$fs" 2>/dev/null || true
    rm -f "$work/fs.img" && truncate -s "$size" "$work/fs.img"
    mkfs.ext4 -q -m 0 -F "$work/fs.img" && mount -o loop "$work/fs.img" "$fs"
  }
  trap "umount '$fs' 2>/dev/null || true; rm -f '$work/fs.img'" EXIT
  run_apply() { fresh; cp -a v1 "$fs/v1" && sync; timed "$1" "$build/vantorique-delta" apply "$fs/v1/Vantorique.app" "$delta" "$fs/staged"; }
  run_unpack() { fresh; cp -a v1 "$fs/v1" && sync; timed "$1" "$build/ziputil" -q unpack "$r/2/vantorique_osx.zip" "$fs/unpacked"; }
  # The uncounted round also checks that both give the same tree.
  fresh; cp -a v1 "$fs/v1" && sync
  "$build/vantorique-delta" apply "$fs/v1/Vantorique.app" "$delta" "$fs/staged" >/dev/null
  "$build/ziputil" -q unpack "$r/2/vantorique_osx.zip" "$fs/unpacked"
  diff -r -q "$fs/staged" "$fs/unpacked/Vantorique.app" >/dev/null || { echo "bench/scale.sh: the delta's tree is not the package's" >&2; exit 1; }
  touch times.txt && sed -i '/^apply[0-9] \|^unpack[0-9] /d' times.txt
  for k in 1 2 3 4 5 6; do
    if [ $((k % 2)) = 1 ]; then run_apply "apply$k"; run_unpack "unpack$k"; else run_unpack "unpack$k"; run_apply "apply$k"; fi
  done
  umount "$fs" && rm -f "$work/fs.img"
  trap - EXIT
}

# REPORT_ONLY=1: the figures of an earlier run (times.txt, out/), reported again.
if [ -n "${APPLY_ONLY:-}" ]; then
  apply_against_unpack
  for k in 1 2 3 4 5 6; do grep -h "^apply$k \|^unpack$k " times.txt; done
  read -r apply_s apply_kb < <(median apply)
  read -r unpack_s unpack_kb < <(median unpack)
  awk -v ap="$apply_s" -v apkb="$apply_kb" -v un="$unpack_s" -v unkb="$unpack_kb" 'BEGIN {
    printf "| apply the delta (median of 6, a new ext4 each run, turns with unpack) | %.2f s (%.2fx unpack) | %.0f MB resident, mapped files included |\n", ap, ap / un, apkb / 1024
    printf "| ziputil unpack of the package (median of 6) | %.2f s | %.0f MB |\n", un, unkb / 1024 }'
  exit 0
elif [ -z "${REPORT_ONLY:-}" ]; then
: > times.txt
sync
rm -f v2.zip && timed zip6 sh -c "cd v2 && zip -q -r -y -6 ../v2.zip Vantorique.app"
rm -f p6.zip p9.zip
timed pack6 "$build/ziputil" -q pack -6 v2/Vantorique.app p6.zip
timed pack9 "$build/ziputil" -q pack -9 v2/Vantorique.app p9.zip
rm -rf out
echo 1 > log1.txt && echo 2 > log2.txt
timed publish1 env ZIPUTIL="$build/ziputil" VANTORIQUE_DELTA="$build/vantorique-delta" "$root/scripts/publish" v1/Vantorique.app 1 log1.txt out
timed publish2 env ZIPUTIL="$build/ziputil" VANTORIQUE_DELTA="$build/vantorique-delta" "$root/scripts/publish" v2/Vantorique.app 2 log2.txt out
[ -f "$delta" ] || { echo "bench/scale.sh: publish made no delta from 1" >&2; exit 1; }
apply_against_unpack
fi

# The changed and new files, and the peers' patch of each (base: the file at
# the same path in version 1; a new file is compressed alone).
python3 - v1/Vantorique.app v2/Vantorique.app > changed.txt <<'EOF'
import filecmp, os, sys
a, b = sys.argv[1], sys.argv[2]
for d, _, names in os.walk(b):
    for n in names:
        p = os.path.relpath(os.path.join(d, n), b)
        old = os.path.join(a, p)
        if os.path.islink(os.path.join(b, p)):
            continue
        if not os.path.exists(old):
            print("new", p)
        elif not filecmp.cmp(old, os.path.join(b, p), shallow=False):
            print("changed", p)
EOF
# peer KIND PATH: one line of peers.txt, "KIND zstd-bytes xdelta3-bytes size PATH".
peer() {
  local kind="$1" p="$2" new="v2/Vantorique.app/$2" old="v1/Vantorique.app/$2" z x
  if [ "$kind" = changed ]; then
    z="$(set -o pipefail; zstd -q -19 --long=31 --patch-from="$old" -c "$new" 2>/dev/null | wc -c)" || z=-1
    x="$(xdelta3 -9 -B "$(( $(stat -c %s "$old") > 1048576 ? $(stat -c %s "$old") : 1048576 ))" -e -s "$old" -c "$new" | wc -c)"
  else
    z="$(zstd -q -19 --long=31 -c "$new" | wc -c)"
    x="$(xdelta3 -9 -e -c "$new" | wc -c)"
  fi
  echo "$kind $z $x $(stat -c %s "$new") $p"
}
export -f peer
# The peers' patches do not change from run to run: kept once made; one per core.
if ! { [ -f peers.done ] && cmp -s peers.done changed.txt; }; then
  xargs -P "$(nproc)" -L 1 bash -c 'peer "$0" "$1"' < changed.txt > peers.txt
  cp changed.txt peers.done
fi

"$build/vantorique-delta" list "$delta" > ours.txt
read -r _ zip6_s zip6_kb _ < <(grep '^zip6 ' times.txt)
read -r _ pack6_s _ < <(grep '^pack6 ' times.txt)
read -r _ pack9_s _ < <(grep '^pack9 ' times.txt)
read -r _ pub_s pub_kb _ < <(grep '^publish2 ' times.txt)
read -r apply_s apply_kb < <(median apply)
read -r unpack_s unpack_kb < <(median unpack)
ours="$(stat -c %s "$delta")"
game="$(du -sb v2/Vantorique.app | cut -f1)"
awk -v ours="$ours" -v game="$game" -v zip6="$zip6_s" -v zip6b="$(stat -c %s v2.zip)" \
    -v p6="$pack6_s" -v p6b="$(stat -c %s p6.zip)" -v p9="$pack9_s" -v p9b="$(stat -c %s p9.zip)" \
    -v pub="$pub_s" -v pubkb="$pub_kb" -v ap="$apply_s" -v apkb="$apply_kb" -v un="$unpack_s" -v unkb="$unpack_kb" '
  FNR == NR { mine[$4] = $2; how[$4] = $1; next }
  # A zstd figure of -1: not measured (stopped); the smaller is then xdelta3s.
  { n[$1]++; x += $3; bytes += $4; o += mine[$5]
    if ($2 >= 0) { z += $2; zx += $3; zo += mine[$5]; zn++ } else missing++
    m += ($2 >= 0 && $2 < $3 ? $2 : $3)
    if ($4 > 100000000) big = big sprintf("| %s | %.1f MB | %.2f MB (%s) | %s | %.2f MB |\n", $5, $4 / 1e6, mine[$5] / 1e6, how[$5], $2 >= 0 ? sprintf("%.2f MB", $2 / 1e6) : "not measured", $3 / 1e6) }
  END {
    printf "game: %.2f GB; %d changed files and %d new (%.1f MB)\n\n", game / 1e9, n["changed"], n["new"], bytes / 1e6
    printf "| step | time | peak memory | bytes |\n|---|---|---|---|\n"
    printf "| zip -r -6 (Info-ZIP, the yardstick) | %.1f s | | %.1f MB |\n", zip6, zip6b / 1e6
    printf "| ziputil pack -6 | %.1f s | | %.1f MB |\n", p6, p6b / 1e6
    printf "| ziputil pack -9 | %.1f s | | %.1f MB |\n", p9, p9b / 1e6
    printf "| scripts/publish of version 2 (pack, index, delta from 1) | %.1f s (%.2fx zip -6) | %.0f MB | delta %.2f MB |\n", pub, pub / zip6, pubkb / 1024, ours / 1e6
    printf "| apply the delta (median of 6, a new ext4 each run, turns with unpack) | %.1f s (%.2fx unpack) | %.0f MB resident, mapped files included | |\n", ap, ap / un, apkb / 1024
    printf "| ziputil unpack of the package (median of 6) | %.1f s | %.0f MB | |\n\n", un, unkb / 1024
    printf "| delta | bytes | ours against it |\n|---|---|---|\n"
    printf "| ours (whole delta, table of 10,000 items included) | %.2f MB | 1.00x |\n", ours / 1e6
    printf "| zstd --patch-from -19 --long=31, per file (%d files; %d not measured) | %.2f MB | ours on those: %.2fx |\n", zn, missing, z / 1e6, zo / z
    printf "| xdelta3 -9 -B, per file | %.2f MB | %.2fx |\n", x / 1e6, ours / x
    printf "| the smaller of the two, per file | %.2f MB | %.2fx |\n", m / 1e6, ours / m
    printf "| ours, the same files only (payloads) | %.2f MB | %.2fx the smaller |\n\n", o / 1e6, o / m
    printf "| big file | size | ours | zstd -19 --long | xdelta3 -9 |\n|---|---|---|---|---|\n%s", big
  }' ours.txt peers.txt
