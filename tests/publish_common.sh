# The start the scripts/publish tests share, sourced: the programs named, a
# scratch folder to work in (removed at exit) and the failure count.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
: "${ZIPUTIL:?ZIPUTIL names the ziputil program}" "${VANTORIQUE_DELTA:?VANTORIQUE_DELTA names the delta program}"
publish="$root/scripts/publish"
w="$(mktemp -d)"
trap 'rm -rf "$w"' EXIT
cd "$w" || exit 1
failures=0
bad() { echo "FAILED: $*"; failures=$((failures + 1)); }
