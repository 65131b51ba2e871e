#!/usr/bin/env bash
# What a delta update costs at the size it is judged at: a generated game of
# 2.2 GB (four 512 MB packs, one of 64 MB, 5000 small files) whose version 2
# changes the 64 MB pack and the small files as a release does (2% edited,
# 1% added, 1% removed, one folder renamed): about 3% of its bytes. Version
# 1 is installed from its package, with its index and version.txt; the
# delta, made as scripts/publish makes it, is installed by the launcher's
# own call (bench/install_bench: installDelta with the launcher's places).
#   1. write_bytes (/proc/PID/io) of that install against the changed bytes
#      plus the new index, on an ext4 image of its own (nothing else
#      writes there) and on WORK_DIR's disk as it is;
#   2. the same install on the image with exactly 1.2x the changed bytes
#      plus 64 MB free beside the installed game: it must succeed;
#   3. and with a quarter of that free: "Disk full" before a byte is written.
# Each install's tree is compared with version 2. Needs root (the image) and
# about 12 GB in WORK_DIR. Prints the rows for bench/RESULTS.md.
#
# usage: bench/update_cost_big.sh [WORK_DIR]   (BUILD: a release build with the launcher, else build/release)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mkdir -p "${1:-/tmp/vantorique-bench-cost}" && cd "${1:-/tmp/vantorique-bench-cost}" && pwd)"
build="${BUILD:-$root/build/release}"
[ "$(id -u)" = 0 ] || { echo "update_cost_big.sh: needs root, to mount an ext4 image" >&2; exit 1; }
if [ ! -x "$build/bench/install_bench" ] || [ ! -x "$build/vantorique-delta" ] || [ ! -x "$build/ziputil" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVANTORIQUE_TESTS=OFF -DVANTORIQUE_LAUNCHER=ON >/dev/null
  cmake --build "$build" --target install_bench vantorique-delta ziputil -j 2 >/dev/null
fi
ziputil="$build/ziputil" delta="$build/vantorique-delta" install="$build/bench/install_bench"
cd "$work"
mib=$((1 << 20))
mb() { awk -v b="$1" 'BEGIN { printf "%.1f MB", b / 1048576 }'; }

# Version 1, and version 2 as version 1 with the 64 MB pack and the small
# files of a generated version 2 (the packs' content does not depend on the
# other packs' sizes: the 1 MB ones are not used).
[ -d big1 ] || python3 "$root/bench/gen_game.py" big1 1 --packs 512,512,512,512,64 --small 5000 >/dev/null
if [ ! -d big2 ]; then
  rm -rf big2src big2.tmp
  python3 "$root/bench/gen_game.py" big2src 2 --packs 1,1,1,1,64 --small 5000 >/dev/null
  cp -al big1 big2.tmp  # links: every file version 2 changes is replaced, never written through
  (cd big2src && find . -type f ! -name 'pack[0-3].*' -print0 | xargs -0 cp --remove-destination --parents -t ../big2.tmp)
  (cd big2.tmp && find . -type f ! -name 'pack[0-3].*' -print0 |
     while IFS= read -r -d '' f; do [ -e "../big2src/$f" ] || rm "$f"; done)
  find big2.tmp -type d -empty -delete
  rm -rf big2src
  mv big2.tmp big2
fi
for v in 1 2; do
  [ -f "big$v.zip" ] || "$ziputil" pack -6 "big$v/Vantorique.app" "big$v.zip" >/dev/null
  [ -f "big$v.idx" ] || "$delta" index "big$v/Vantorique.app" "big$v.zip" "big$v.idx" --version "$v" >/dev/null
done
[ -f big.delta ] || "$delta" make --old-index big1.idx --old-package big1.zip big2/Vantorique.app big.delta \
  --package-tree --from 1 --to 2 --level 19 >/dev/null
[ -d installed1 ] || "$ziputil" -q unpack big1.zip installed1
changed="$(python3 "$root/bench/changed_bytes.py" big1/Vantorique.app big2/Vantorique.app)"
index="$(stat -c %s big2.idx)"

# world DIR: the player's folder as the launcher leaves it with the delta fetched.
world() {
  rm -rf "$1"
  mkdir -p "$1/launcher"
  cp -a installed1/Vantorique.app "$1/"
  cp big.delta "$1/launcher/vantorique_osx.delta"
  cp big1.idx "$1/launcher/installed-index"
  cp big2.idx "$1/launcher/update-index"
  echo 1 > "$1/launcher/version.txt"
  sync
}
# installed DIR: "WRITE_BYTES OUTPUT" of the launcher's install in DIR.
installed() {
  local wb
  wb="$(cd "$1/launcher" && bash -c '"$@" > ../install.out; sync
    while read -r k v; do [ "$k" != write_bytes: ] || echo "$v"; done < /proc/$$/io' _ \
    "$install" vantorique_osx.delta 2)"
  echo "$wb $(tail -n 1 "$1/install.out")"
  rm -f "$1/install.out"
}
# same DIR: whether DIR's game is version 2's, item for item (the removed ones gone).
same() { diff -r --no-dereference "$1/Vantorique.app" big2/Vantorique.app >/dev/null && echo "equals version 2" || echo "DIFFERS from version 2"; }
free_in() { python3 -c 'import os,sys; s=os.statvfs(sys.argv[1]); print(s.f_bavail * s.f_frsize)' "$1"; }

# snapshot DIR: every item of DIR's game with its size, mode and times.
snapshot() { (cd "$1" && find Vantorique.app -printf '%p %s %m %T@ %C@\n' | sort | md5sum | cut -d' ' -f1); }
ratio() { awk -v a="$1" -v b="$((changed + index))" 'BEGIN { printf "%.2fx", a / b }'; }

# On WORK_DIR's own disk, shared with whatever else the machine does.
world disk
read -r wrote_disk out_disk < <(installed disk)
tree_disk="$(same disk)"
rm -rf disk

# An ext4 image of its own: first with plenty free, then with a filler that
# leaves exactly 1.2x the changed bytes + 64 MB, then a quarter of that.
want=$((changed * 12 / 10 + 64 * mib))
game="$(du -sb installed1 | cut -f1)"
rm -f space.img && mkdir -p space
truncate -s $((game + game / 10 + 2 * want + 512 * mib)) space.img
mkfs.ext4 -q -m 0 -F space.img
mount -o loop space.img space
trap 'umount space 2>/dev/null || true; rm -f space.img' EXIT
# leave FREE: fallocate fillers until FREE bytes (within 64 KB) stay free in space/.
leave() {
  rm -f space/filler*
  sync
  local i=0 now
  while now="$(free_in space)" && [ "$now" -gt $(($1 + 65536)) ] && [ $i -lt 8 ]; do
    fallocate -l $((now - $1)) "space/filler$i"; sync; i=$((i + 1))
  done
  free_in space
}
world space/plenty
free_plenty="$(free_in space)"
read -r wrote_plenty out_plenty < <(installed space/plenty)
tree_plenty="$(same space/plenty)"
rm -rf space/plenty
world space/room
free_room="$(leave "$want")"
read -r wrote_room out_room < <(installed space/room)
tree_room="$(same space/room)"
rm -rf space/room
world space/less
free_less="$(leave $((want / 4)))"
before="$(snapshot space/less)"
read -r wrote_less out_less < <(installed space/less)
game_less="$([ "$before" = "$(snapshot space/less)" ] && echo "the game untouched" || echo "the game CHANGED")"
staging="$([ -e space/less/.vantorique-staging ] && echo "a staging folder left" || echo "no staging folder")"
version="$(cat space/less/launcher/version.txt)"

echo "A game of $(mb "$game") (four 512 MB packs, a 64 MB pack, 5000 small files); version 2 changes $(mb "$changed") of it ($(awk -v a="$changed" -v b="$game" 'BEGIN { printf "%.1f%%", 100 * a / b }')); its index $(mb "$index"), the delta $(mb "$(stat -c %s big.delta)"). The launcher's installDelta, on $(date +%F):"
echo
echo "| install | free beside the game | disk writes | writes / (changed + index) | outcome |"
echo "|---|---|---|---|---|"
echo "| ext4 image of its own | $(mb "$free_plenty") | $(mb "$wrote_plenty") | $(ratio "$wrote_plenty") | $out_plenty, $tree_plenty |"
echo "| ext4 image, 1.2x changed + 64 MB free | $(mb "$free_room") | $(mb "$wrote_room") | $(ratio "$wrote_room") | $out_room, $tree_room |"
echo "| ext4 image, a quarter of that | $(mb "$free_less") | $wrote_less bytes | - | $out_less; $game_less, $staging, version.txt $version |"
echo "| the work folder's disk (shared) | plenty | $(mb "$wrote_disk") | $(ratio "$wrote_disk") | $out_disk, $tree_disk |"
