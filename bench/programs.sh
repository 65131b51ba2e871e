#!/usr/bin/env bash
# Programs: two pairs of real consecutive releases from Debian 12's archive
# (OpenSSL's libcrypto and libssl, 3.0.20 and 3.0.22; git's program,
# 2.39.5-0+deb12u2 and u3), fetched with apt-get download. Each changed
# program, laid out as a game bundle, is patched by our delta (which picks
# zstd or the suffix-array engine per file), bsdiff, xdelta3 -9 and
# zstd --patch-from -19 --long. Prints markdown for bench/RESULTS.md.
#
# usage: bench/programs.sh [WORK_DIR]   (needs apt-get, dpkg-deb, bsdiff, xdelta3, zstd)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mkdir -p "${1:-/tmp/vantorique-programs}" && cd "${1:-/tmp/vantorique-programs}" && pwd)"
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVANTORIQUE_TESTS=OFF -DVANTORIQUE_LAUNCHER=OFF >/dev/null
cmake --build "$build" --target vantorique-delta -j "$(nproc)" >/dev/null
for tool in apt-get dpkg-deb bsdiff xdelta3 zstd; do
  command -v "$tool" >/dev/null || { echo "bench/programs.sh: $tool is missing (scripts/install-deps)" >&2; exit 1; }
done
cd "$work"
# package old-version new-version files...
pairs=("libssl3 3.0.20-1~deb12u2 3.0.22-1~deb12u2 usr/lib/x86_64-linux-gnu/libcrypto.so.3 usr/lib/x86_64-linux-gnu/libssl.so.3"
       "git 1:2.39.5-0+deb12u2 1:2.39.5-0+deb12u3 usr/bin/git")
echo "| release pair | file | old | new | ours | bsdiff | xdelta3 -9 | zstd --patch-from -19 --long | ours / bsdiff |"
echo "|---|---|---|---|---|---|---|---|---|"
for pair in "${pairs[@]}"; do
  read -r pkg old_v new_v files <<<"$pair"
  for v in "$old_v" "$new_v"; do
    dir="$pkg-${v//:/_}"
    if [ ! -d "$dir" ]; then
      rm -rf dl && mkdir dl && (cd dl && apt-get download -q "$pkg=$v" >/dev/null)
      dpkg-deb -x dl/*.deb "$dir"
      rm -rf dl
    fi
  done
  a="$pkg-${old_v//:/_}" b="$pkg-${new_v//:/_}"
  for f in $files; do
    name="$(basename "$f")"
    rm -rf t && mkdir -p t/1/Vantorique.app/Contents/MacOS t/2/Vantorique.app/Contents/MacOS
    cp "$a/$f" "t/1/Vantorique.app/Contents/MacOS/$name"
    cp "$b/$f" "t/2/Vantorique.app/Contents/MacOS/$name"
    "$build/vantorique-delta" make t/1/Vantorique.app t/2/Vantorique.app t/d.delta
    ours="$(stat -c %s t/d.delta)"
    bsdiff "$a/$f" "$b/$f" t/bs && bs="$(stat -c %s t/bs)"
    xd="$(xdelta3 -9 -e -s "$a/$f" -c "$b/$f" | wc -c)"
    zs="$(zstd -q -19 --long=31 --patch-from="$a/$f" -c "$b/$f" | wc -c)"
    awk -v p="$pkg $old_v -> $new_v" -v n="$name" -v o="$(stat -c %s "$a/$f")" -v s="$(stat -c %s "$b/$f")" \
        -v ours="$ours" -v bs="$bs" -v xd="$xd" -v zs="$zs" \
      'BEGIN { printf "| %s | %s | %.2f MB | %.2f MB | %d | %d | %d | %d | %.2fx |\n", p, n, o / 1e6, s / 1e6, ours, bs, xd, zs, ours / bs }'
  done
done
rm -rf t
