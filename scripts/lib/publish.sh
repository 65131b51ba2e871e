# shellcheck shell=bash
# Shared by scripts/publish: failing, the key and its password, signing,
# reading what is served, and the checks of a game folder. Source it.

fail() { echo "publish: $*" >&2; exit 1; }

# served_version DIR: the version DIR/version.txt announces, or nothing.
served_version() {
  [ -f "$1/version.txt" ] || return 0
  local v
  v="$(head -c 12 "$1/version.txt" | sed -n '1s/^\([0-9]\{1,10\}\)~.*/\1/p')"
  [ -z "$v" ] || echo "$((10#$v))"
}

# comment_token SIGFILE NAME: the value of NAME:... in SIGFILE's trusted comment.
comment_token() {
  [ -f "$1" ] || return 0
  sed -n '3s/^trusted comment: //p' "$1" | tr ' ' '\n' | sed -n "s/^$2://p" | head -n 1
}

# release_numbers DIR: the numbers of DIR/releases/*/ that hold a package, ascending.
release_numbers() {
  local d m
  [ -d "$1/releases" ] || return 0
  for d in "$1/releases"/*/; do
    m="$(basename "$d")"
    [[ "$m" =~ ^[0-9]{1,10}$ ]] && [ -f "$d/$package" ] && echo "$((10#$m))"
  done | sort -n
}

# prepare_key: the secret key readable, minisign present, and for a key with
# a password the password read once (terminal, or one line of standard input)
# and tried, before anything is written.
has_password="" key_password=""
prepare_key() {
  [ -f "$key" ] && [ -r "$key" ] || fail "cannot read the secret key $key"
  command -v minisign >/dev/null || fail "minisign is not installed (scripts/install-deps)"
  # A secret key's second line: "Ed", then the key derivation: "Sc" (scrypt) when it has a password.
  [ "$(tail -n 1 "$key" | base64 -d 2>/dev/null | head -c 4 | tail -c 2 | tr -d '\000')" = "Sc" ] || return 0
  has_password=1
  if [ -t 0 ]; then
    IFS= read -rsp "Password for $key: " key_password || true
    echo >&2
  else
    IFS= read -r key_password || true
  fi
  [ -n "$key_password" ] || fail "the key $key has a password and none came on standard input (there is no terminal to ask on, as under cron): give it as one line on standard input, e.g. scripts/publish ... < /etc/vantorique/key-password (readable only by the publishing user), or use a key made without one (minisign -G -W)"
  local scratch
  scratch="$(mktemp -d)"
  printf 'password check\n' > "$scratch/check"
  if ! printf '%s\n' "$key_password" | minisign -S -s "$key" -m "$scratch/check" >/dev/null 2>"$scratch/err"; then
    rm -rf "$scratch"
    fail "the password given for the key $key is wrong (minisign: Wrong password for that key)"
  fi
  rm -rf "$scratch"
}

# sign_file FILE SIGFILE COMMENT: FILE's minisign signature with trusted COMMENT.
sign_file() {
  local err status=0
  err="$(mktemp)"
  if [ -n "$has_password" ]; then
    printf '%s\n' "$key_password" | minisign -S -s "$key" -m "$1" -x "$2" -t "$3" >/dev/null 2>"$err" || status=$?
  else
    minisign -S -s "$key" -m "$1" -x "$2" -t "$3" </dev/null >/dev/null 2>"$err" || status=$?
  fi
  if [ "$status" -ne 0 ]; then
    local why
    why="$(sed 's/^\(Password: *\)*//' "$err" | grep -v '^ *$' | tail -n 1)"
    rm -f "$err"
    fail "signing $(basename "$1") with $key failed: ${why:-minisign failed}"
  fi
  rm -f "$err"
}

# manifest_comment VERSION CHANNEL ROLLOUT: the manifest's trusted comment.
manifest_comment() {
  echo "${LAYOUT_COMMENT_FILE}version.txt ${LAYOUT_COMMENT_VERSION}$1 ${LAYOUT_COMMENT_EXPIRES}$expires ${LAYOUT_COMMENT_CHANNEL}$2 ${LAYOUT_COMMENT_ROLLOUT}$3"
}

# check_game_folder DIR: refuses what no player can install, one line each
# naming the item and the fix; notes the empty folders that no road gives.
check_game_folder() {
  local kind rel target refused=0 name
  name="$(basename "$1")"
  while IFS=$'\t' read -r kind rel target; do
    case "$kind" in
    LINK) echo "publish: $name/$rel -> $target leaves the game (an absolute target, or one climbing out of $name): every player's unpack would refuse the package. Make it a relative link that stays inside $name, or put the file itself there" >&2; refused=1 ;;
    FIFO|SOCKET|DEVICE) echo "publish: $name/$rel is a $(echo "$kind" | tr 'A-Z' 'a-z' | sed 's/fifo/FIFO/'): a package carries only files, folders and links; remove it from the game folder" >&2; refused=1 ;;
    EMPTY) echo "note: $name/$rel is an empty folder: a package holds no folders of their own, so no player gets it (nor through a delta, which is made from the tree the package gives); put a file in it if the game needs it" ;;
    esac
  done < <(python3 - "$1" <<'PY'
import os, stat, sys
root = sys.argv[1]
for top, dirs, files in os.walk(root):
    dirs.sort()
    rel_top = os.path.relpath(top, root)
    depth = 0 if rel_top == "." else rel_top.count("/") + 1
    names = sorted(dirs + files)
    if not names and rel_top != ".":
        print("EMPTY\t" + rel_top + "\t")
    for name in names:
        rel = name if rel_top == "." else rel_top + "/" + name
        mode = os.lstat(os.path.join(top, name)).st_mode
        if stat.S_ISLNK(mode):
            target = os.readlink(os.path.join(top, name))
            leaves, d = target == "" or target.startswith("/"), depth
            for part in target.split("/"):
                if part == "..":
                    d -= 1
                    leaves = leaves or d < 0
                elif part not in ("", "."):
                    d += 1
            if leaves:
                print("LINK\t" + rel + "\t" + target)
        elif stat.S_ISFIFO(mode):
            print("FIFO\t" + rel + "\t")
        elif stat.S_ISSOCK(mode):
            print("SOCKET\t" + rel + "\t")
        elif stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
            print("DEVICE\t" + rel + "\t")
PY
)
  [ "$refused" -eq 0 ] || fail "nothing was published: the game folder $1 holds what players cannot install (above)"
}

# world_readable PATH...: files 0644 (0755 when executable), folders 0755, so
# a web server running as another user reads them whatever the umask was.
world_readable() {
  chmod -R u+rwX,go+rX,go-w "$@"
}
