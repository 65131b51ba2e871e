# Shared by scripts/demo and the end-to-end tests: a launcher folder beside an
# installed game, and an nginx on loopback serving a published version.
# Source it; every function takes explicit paths.
source "$(dirname "${BASH_SOURCE[0]}")/layout.sh"

# make_bundle APP VERSION [MEGABYTES]: a tiny game whose executable records, in
# "game-ran.txt" beside the bundle, that this version ran; MEGABYTES of level
# data make the package big enough to watch it download and unpack.
make_bundle() {
  local app="$1" version="$2" megabytes="${3:-0}"
  mkdir -p "$app/Contents/MacOS" "$app/Contents/Resources"
  cat > "$app/Contents/MacOS/Vantorique" <<GAME
#!/bin/sh
here="\$(cd "\$(dirname "\$0")/../../.." && pwd)"
echo "Vantorique $version" >> "\$here/game-ran.txt"
echo "Vantorique $version is running"
GAME
  chmod 755 "$app/Contents/MacOS/Vantorique"
  printf 'level data of version %s\n' "$version" > "$app/Contents/Resources/level.dat"
  if [ "$megabytes" -gt 0 ]; then
    # Text-like data: compresses about 4:1, as game assets often do.
    python3 - "$app/Contents/Resources/levels.dat" "$megabytes" <<'PY'
import random, sys
rng = random.Random(7)
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(4000)]
with open(sys.argv[1], "wb") as f:
    for _ in range(int(sys.argv[2]) * 1024 * 1024 // 65536):
        chunk = bytearray()
        while len(chunk) < 65536:
            chunk += rng.choice(words) + b" "
        f.write(chunk[:65536])
PY
  fi
}

# free_port: a TCP port nobody listens on right now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# nginx_config ROOT PORT SERVER_LINES: ROOT/nginx/nginx.conf, one server on
# 127.0.0.1:PORT; its own temp folders, error and access logs under ROOT/nginx.
nginx_config() {
  local root="$1" port="$2" lines="$3"
  mkdir -p "$root/nginx/tmp"
  cat > "$root/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $root/nginx/nginx.pid;
error_log $root/nginx/error.log;
events { worker_connections 64; }
http {
  access_log $root/nginx/access.log;
  client_body_temp_path $root/nginx/tmp;
  proxy_temp_path $root/nginx/tmp;
  fastcgi_temp_path $root/nginx/tmp;
  uwsgi_temp_path $root/nginx/tmp;
  scgi_temp_path $root/nginx/tmp;
  default_type application/octet-stream;
$lines
}
CONF
}

# run_nginx ROOT PORT: starts the nginx of ROOT/nginx/nginx.conf; prints its pid.
run_nginx() {
  local root="$1" port="$2"
  rm -f "$root/nginx/nginx.pid"
  nginx -e "$root/nginx/error.log" -p "$root/nginx" -c "$root/nginx/nginx.conf" </dev/null >/dev/null 2>&1 &
  local pid=$!
  # nginx writes its pid file once it holds the port: an answer on the port
  # alone could come from someone else who holds it.
  for _ in $(seq 100); do
    if [ -s "$root/nginx/nginx.pid" ] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then echo "$pid"; return 0; fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null
  cat "$root/nginx/error.log" >&2
  return 1
}

# start_nginx ROOT SERVED_DIR PORT [MANIFEST_RATE] [PACKAGE_RATE] [DIRECTIVES]: prints nginx's pid.
# Rates (bytes a second, 0 for none) slow the answers down so that the
# screens stay up long enough to be seen; the package's rate holds for the
# release's own package and its deltas too. DIRECTIVES go into the server
# (a server that ignores or refuses ranges).
start_nginx() {
  local root="$1" served="$2" port="$3" manifest_rate="${4:-0}" package_rate="${5:-0}" directives="${6:-}"
  nginx_config "$root" "$port" "  server {
    listen 127.0.0.1:$port;
    root $served;
    $directives
    location = $LAYOUT_ROOT$LAYOUT_MANIFEST { limit_rate $manifest_rate; }
    location ~ ^$LAYOUT_ROOT($LAYOUT_RELEASES[0-9]+/)?(${LAYOUT_PACKAGE//./\\.}|$LAYOUT_DELTA_PREFIX[0-9]+${LAYOUT_DELTA_SUFFIX//./\\.})\$ { limit_rate $package_rate; }
  }"
  run_nginx "$root" "$port"
}

# start_caching_proxy ROOT ORIGIN_PORT PORT: prints the pid of an nginx on
# PORT in front of the update server on ORIGIN_PORT, as a CDN is: it keeps
# every answer for a day in ROOT/nginx/cache, and passes the manifest and
# its signature through uncached (a CDN keeps them briefly; here not at
# all, so that what the launcher is told is certain).
start_caching_proxy() {
  local root="$1" origin="$2" port="$3"
  mkdir -p "$root/nginx/cache"
  nginx_config "$root" "$port" "  proxy_cache_path $root/nginx/cache keys_zone=updates:1m;
  server {
    listen 127.0.0.1:$port;
    location / { proxy_pass http://127.0.0.1:$origin; proxy_cache updates; proxy_cache_valid 200 1d; }
    location ~ ^$LAYOUT_ROOT${LAYOUT_MANIFEST//./\\.}(${LAYOUT_SIGNATURE_SUFFIX//./\\.})?\$ { proxy_pass http://127.0.0.1:$origin; }
  }"
  run_nginx "$root" "$port"
}

# start_xvfb: prints "PID DISPLAY" of a fresh Xvfb on a free display, once it
# takes connections. -noreset: a server that resets whenever its last client
# leaves refuses the next one for a moment (the driver's helpers come and go).
start_xvfb() {
  local fifo pid number=""
  fifo="$(mktemp -u)"
  mkfifo "$fifo"
  Xvfb -displayfd 3 -noreset -screen 0 800x600x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  pid=$!
  read -r -t 20 number < "$fifo" || true
  rm -f "$fifo"
  for _ in $(seq 200); do
    if [ -n "$number" ] && { if command -v xdpyinfo >/dev/null; then xdpyinfo -display ":$number";
                             else DISPLAY=":$number" xdotool getdisplaygeometry; fi; } >/dev/null 2>&1; then
      echo "$pid :$number"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null
  echo "Xvfb did not start" >&2
  return 1
}

# Processes of the world, ended by world_end (trap it on EXIT).
WORLD_PIDS=()
world_end() { local p; for p in "${WORLD_PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; }

# use_xvfb: a private Xvfb for this shell: DISPLAY points at it.
use_xvfb() {
  local pid display
  read -r pid display < <(start_xvfb) || return 1
  WORLD_PIDS+=("$pid")
  export DISPLAY="$display"
}

# install_launcher DIR [VERSION] [PROGRAM]: the launcher's folder as a player
# has it: the assets, the version file when VERSION is given, the program.
install_launcher() {
  local assets
  assets="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../assets" && pwd)"
  mkdir -p "$1"
  cp "$assets/flashpunk.ttf" "$assets/background.png" "$1/"
  if [ -n "${2:-}" ]; then printf '%s' "$2" > "$1/version.txt"; fi
  if [ -n "${3:-}" ]; then cp "$3" "$1/"; fi
}

# make_keys DIR: a publisher key pair without a password, DIR/key.pub and
# DIR/key.sec; prints the public key line that the launcher is built with.
make_keys() {
  mkdir -p "$1"
  minisign -G -W -f -p "$1/key.pub" -s "$1/key.sec" >/dev/null || return 1
  tail -n 1 "$1/key.pub"
}

# publish_game STUDIO SERVED VERSION CHANGELOG [SECRET_KEY] [MEGABYTES]: the
# studio's bundle of VERSION, published with scripts/publish into SERVED
# (signed when SECRET_KEY is given). ZIPUTIL names the packer, as for publish.
publish_game() {
  local studio="$1" served="$2" version="$3" log="$4" key="${5:-}"
  make_bundle "$studio/v$version/Vantorique.app" "$version" "${6:-0}"
  printf '%s' "$log" > "$studio/changelog-$version.txt"
  "$(dirname "${BASH_SOURCE[0]}")/../publish" ${key:+--key "$key"} "$studio/v$version/Vantorique.app" "$version" \
    "$studio/changelog-$version.txt" "$served" >/dev/null
}
