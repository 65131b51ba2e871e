# The table runner the command-line tests share (sourced). Each `check` runs
# one case in the current folder and counts it in $failures; `finish` ends
# the script with the count.
failures=0
# check NAME COMMAND STATUS STREAM LINE: COMMAND (run by bash) must end with
# STATUS and its STREAM (out, err: last line; outfirst: first line of out)
# must be LINE exactly.
check() {
  local name="$1" command="$2" want_status="$3" stream="$4" want_line="$5" status line
  bash -c "$command" >out.txt 2>err.txt
  status=$?
  case "$stream" in
    out) line="$(tail -n 1 out.txt)" ;;
    outfirst) line="$(head -n 1 out.txt)" ;;
    err) line="$(tail -n 1 err.txt)" ;;
  esac
  if [ "$status" != "$want_status" ] || [ "$line" != "$want_line" ]; then
    echo "FAIL $name: \`$command\` exited $status (want $want_status) and its $stream said:"
    echo "    $line"
    echo "  want:"
    echo "    $want_line"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}
finish() {
  echo "$failures failed"
  [ "$failures" = 0 ]
}
