#!/usr/bin/env bash
# The cost at start of looking for a newer launcher when nothing changed:
# nginx on loopback serves game 1 and launcher 1, both signed; the check
# worker runs in turns without and with the launcher's look (RUNS each,
# default 200). Counts the requests of one check of each kind in nginx's
# log and writes the section "The launcher's own check at start" of
# bench/RESULTS.md. usage: bench/self_check.sh [RUNS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs="${1:-200}"
source "$root/scripts/lib/world.sh"
build="$root/build/release"
[ -x "$build/bench/start_check_bench" ] && [ -x "$build/ziputil" ] ||
  { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVANTORIQUE_TESTS=OFF -DVANTORIQUE_LAUNCHER=ON >/dev/null &&
    cmake --build "$build" --target start_check_bench ziputil -j 2 >/dev/null; }
w="$(mktemp -d)"
trap 'world_end; rm -rf "$w"' EXIT
chmod 755 "$w"
export ZIPUTIL="$build/ziputil"
key="$(make_keys "$w/keys")"
publish_game "$w/studio" "$w/served" 1 "Version 1" "$w/keys/key.sec"
install_launcher "$w/release1" "" "$build/bench/start_check_bench"
"$root/scripts/publish-launcher" --key "$w/keys/key.sec" "$w/release1" 1 "$w/served" >/dev/null
port="$(free_port)"
WORLD_PIDS+=("$(start_nginx "$w" "$w/served" "$port")")
mkdir "$w/player" && printf 1 > "$w/player/version.txt"
(cd "$w/player" && "$build/bench/start_check_bench" 127.0.0.1 "$port" "$key" 1) >/dev/null
one="$(wc -l < "$w/nginx/access.log")"  # a warm-up and one run of each kind: 2 x (game + with launcher)
game=$(grep -c -v "/launcher/" "$w/nginx/access.log") launcher=$(grep -c "/launcher/" "$w/nginx/access.log")
bytes=$(awk '/\/launcher\// {b += $10; n++} END {print b / n}' "$w/nginx/access.log")
out="$(cd "$w/player" && "$build/bench/start_check_bench" 127.0.0.1 "$port" "$key" "$runs")"
read -r _ g_med g_max < <(sed -n 1p <<<"$out")
read -r _ l_med l_max < <(sed -n 2p <<<"$out")
section="## The launcher's own check at start

When nothing changed (the server offers the launcher release that runs), the check worker against nginx on
loopback, $runs runs each, taking turns ($(date -u +%Y-%m-%d), \`bench/self_check.sh\`):

| check | requests | median | slowest |
|---|---|---|---|
| the game's manifest and its signature | $((game / 4)) | $g_med ms | $g_max ms |
| and first the launcher's manifest signature | $((game / 4 + launcher / 2)) | $l_med ms | $l_max ms |

One request more, of $(printf %.0f "$bytes") bytes; the launcher's manifest itself is never asked for (its
signature's trusted comment names the release). On loopback that is the difference above; across a
network it is one round trip more (and a connection: each request has its own), before the game's check."
results="$root/bench/RESULTS.md"
python3 - "$results" "$section" <<'PY'
import sys
path, section = sys.argv[1], sys.argv[2]
text = open(path).read()
head = "## The launcher's own check at start"
at = text.find(head)
if at >= 0:
    end = text.find("\n## ", at + len(head))
    text = text[:at] + (text[end + 1:] if end >= 0 else "")
open(path, "w").write(text.rstrip("\n") + "\n\n" + section + "\n")
PY
echo "$section"
[ "$one" -gt 0 ]
