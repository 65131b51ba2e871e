#!/usr/bin/env bash
# What a player downloads on each update road, counted by the server (nginx's
# access log: the bytes it sent), against what changed. Eight releases of a
# generated game (bench/gen_game.py: each release edits every pack file and
# 2% of the small files, adds 1%, removes 1%), published one after another
# by scripts/publish (deltas from the five latest earlier releases). Players:
#   edited     has release 7 and edited one small file: the delta from 7, and
#              that one file
#   behind     has release 1, seven releases behind (no delta from 1)
#   verify     has release 8 with three files deleted and one damaged, and
#              runs the repair
# The player is the launcher's own workers without the window (road_bench).
# Prints the "What a road downloads" table for bench/RESULTS.md.
#
# usage: bench/road_cost.sh [WORK_DIR]   (PACKS=MB,MB and SMALL=N shape the game)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mkdir -p "${1:-/tmp/vantorique-road}" && cd "${1:-/tmp/vantorique-road}" && pwd)"
packs="${PACKS:-96,96}" small="${SMALL:-3000}"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVANTORIQUE_TESTS=OFF -DVANTORIQUE_LAUNCHER=ON \
  -DVANTORIQUE_SANITIZE=OFF >/dev/null
cmake --build "$build" --target road_bench vantorique-updater vantorique-delta ziputil -j "$(nproc)" >/dev/null
export PATH="$build:$PATH"
source "$root/scripts/lib/layout.sh"
cd "$work"
for v in 1 2 3 4 5 6 7 8; do
  [ -d "v$v/Vantorique.app" ] || python3 "$root/bench/gen_game.py" "v$v" "$v" --packs "$packs" --small "$small" >/dev/null
done
releases="served/$LAYOUT_ROOT$LAYOUT_RELEASES"
mkdir -p served
for v in 1 2 3 4 5 6 7 8; do  # in order; a release already published stays
  [ -e "$releases$v/index" ] && continue
  echo "release $v" > "log$v.txt"
  "$root/scripts/publish" "v$v/Vantorique.app" "$v" "log$v.txt" served >/dev/null 2>&1
done
port=18471
log="$work/access.log"
: > "$log"
SERVE_ACCESS_LOG="$log" "$root/scripts/serve" served "$port" >/dev/null 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true; wait $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.1; done

# player NAME RELEASE: a player folder holding RELEASE as installed, with its index.
player() {
  rm -rf "p-$1" && mkdir -p "p-$1/launcher"
  cp -a "v$2/Vantorique.app" "p-$1/"
  echo "$2" > "p-$1/launcher/version.txt"
  cp "$releases$2/index" "p-$1/launcher/installed-index"
}
# served: bytes nginx sent since the log was emptied, and the requests.
served() { awk '{ bytes += $10; n++ } END { printf "%d %d\n", bytes, n }' "$log"; }
# road NAME [ARGS]: runs the player's update; prints "bytes requests".
road() {
  : > "$log"
  (cd "p-$1/launcher" && "$build/bench/road_bench" 127.0.0.1 "$port" "${@:2}") > "road-$1.txt"
  served
}
# changed_compressed OLD_TREE RELEASE: the compressed bytes, in RELEASE's package,
# of the files whose content differs from OLD_TREE's at that path (or are new).
changed_compressed() {
  python3 - "$1" "$releases$2/$LAYOUT_PACKAGE" <<'PY'
import filecmp, os, sys, zipfile
old, package = sys.argv[1:]
total = files = 0
with zipfile.ZipFile(package) as z:
    for info in z.infolist():
        if info.is_dir() or "/..namedfork/" in info.filename or info.filename.startswith("__MACOSX/"):
            continue
        mine = os.path.join(old, info.filename)
        if os.path.islink(mine) or not os.path.isfile(mine) or os.path.getsize(mine) != info.file_size:
            total += info.compress_size; files += 1; continue
        with open(mine, "rb") as f, z.open(info) as g:
            if f.read() != g.read():
                total += info.compress_size; files += 1
print(total, files)
PY
}
mb() { python3 -c "print('%.2f MB' % ($1 / 1e6))"; }

echo "| player | what changed | downloaded (nginx) | requests | bar |"
echo "|---|---|---|---|---|"
# One edited file on release 7.
player edited 7
edited_file="$(cd p-edited && find Vantorique.app -type f -size -64k | sort | sed -n 100p)"
echo "a player's edit" >> "p-edited/$edited_file"
read -r bytes requests < <(road edited)
delta_bytes=$(stat -c %s "$releases""8/from-7.delta")
echo "| release 7, one file edited | the delta from 7 ($(mb "$delta_bytes")) and $edited_file | $(mb "$bytes") | $requests | the delta plus one entry |"
# Seven releases behind.
player behind 1
read -r need files < <(changed_compressed v1/Vantorique.app 8)
read -r bytes requests < <(road behind)
ratio=$(python3 -c "print('%.2fx' % ($bytes / $need))")
echo "| release 1, seven behind | $files files, $(mb "$need") compressed | $(mb "$bytes") ($ratio) | $requests | ≤1.3x |"
# Three files deleted and one damaged, repaired.
player verify 8
mapfile -t gone < <(cd p-verify && find Vantorique.app -type f -size -64k | sort | sed -n '10p;20p;30p;40p')
rm "p-verify/${gone[0]}" "p-verify/${gone[1]}" "p-verify/${gone[2]}"
printf 'damaged' | dd of="p-verify/${gone[3]}" bs=1 seek=3 conv=notrunc status=none
read -r need files < <(changed_compressed v8/Vantorique.app 8 2>/dev/null || echo "0 0")
read -r bytes requests < <(road verify --verify)
echo "| release 8, three deleted and one damaged | four files | $(mb "$bytes") | $requests | about four entries |"
for who in edited behind verify; do
  diff -r "p-$who/Vantorique.app" v8/Vantorique.app >/dev/null 2>&1 && same=equal || same="DIFFERS"
  echo "  $who: the tree after the road is $same to release 8; $(tail -1 "road-$who.txt")" >&2
done
