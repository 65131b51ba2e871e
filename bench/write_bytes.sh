#!/usr/bin/env bash
# Runs a command and prints the bytes it (and its children) made the disk
# write, from /proc/PID/io: "write_bytes N". The shell reads its own
# counters with builtins after the command is reaped, so nothing of its
# own is counted but the read.
# usage: bench/write_bytes.sh COMMAND [ARG...]
set -u
"$@" >/dev/null || { echo "write_bytes.sh: $1 failed" >&2; exit 1; }
sync
while read -r key value; do
  [ "$key" = "write_bytes:" ] && echo "write_bytes $value"
done < /proc/$$/io
exit 0
