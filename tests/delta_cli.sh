#!/usr/bin/env bash
# The vantorique-delta command as a publisher or a launcher meets it: one
# table of cases, each with the exact exit status and the line it prints.
# usage: delta_cli.sh (VANTORIQUE_DELTA names the program).
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
D="$(realpath "${VANTORIQUE_DELTA:?VANTORIQUE_DELTA names the vantorique-delta program}")"
w="$(mktemp -d)"
trap 'rm -rf "$w"' EXIT
cd "$w"
export LC_ALL=C

mkdir -p Old/bin New/bin
seq 1 20000 > Old/a.txt && seq 1 20001 > New/a.txt
printf 'run\n' > Old/bin/run && cp Old/bin/run New/bin/run && chmod 755 New/bin/run
ln -s a.txt New/latest
cp -a Old Edited && sed -i 's/^777$/778/' Edited/a.txt
"$D" make Old New good.delta --from 1 --to 2
head -c -10 good.delta > short.delta
mkdir used && echo mine > used/keep
zip -qry new.zip New && "$D" index New new.zip new.idx --version 2

source "$here/command_table.sh"
export D
check "no command"          '$D'                                   2 err      '       vantorique-delta info DELTA'
check "level out of range"  '$D make Old New x.delta --level 23'   2 err      '       vantorique-delta info DELTA'
check "missing old tree"    '$D make Nope New x.delta'             1 err      'vantorique-delta: no folder at Nope (FAILURE_CANNOT_READ)'
check "nothing left behind" '$D make Nope New x.delta; ls | grep -c x.delta' 1 out '0'
check "quiet make"          '$D make Old New q.delta'              0 out      ''
check "info versions"       '$D info good.delta'                   0 outfirst 'from version 1 to version 2'
check "list"                '$D list good.delta | cut -d" " -f1,3,4 | tail -n 1' 0 out 'copy 4 bin/run'
check "info sources"        '$D info good.delta | sed -n 3p'       0 out      'files: 1 unchanged or moved, 1 patched, 0 sent whole'
check "apply"               '$D apply Old good.delta s1 && diff -r s1 New && readlink s1/latest' 0 out 'a.txt'
check "apply keeps modes"   '$D apply Old good.delta s2 && stat -c %a s2/bin/run' 0 out '755'
check "truncated delta"     '$D apply Old short.delta s3'          1 err      'vantorique-delta: truncated or damaged delta: the table does not end the file (FAILURE_DAMAGED)'
check "not a delta"         '$D info Old/a.txt'                    1 err      'vantorique-delta: not a delta (no delta header) (FAILURE_DAMAGED)'
check "edited base"         '$D apply Edited good.delta s4'        1 err      'vantorique-delta: a.txt: not the file this update was made from (its content differs) (FAILURE_BASE_DIFFERS)'
check "no staged left"      '$D apply Edited good.delta s5; test -e s5; echo $?' 0 out '1'
check "folder in use"       '$D apply Old good.delta used'         1 err      'vantorique-delta: used exists and is not an empty folder (FAILURE_REFUSED)'
check "folder in use kept"  '$D apply Old good.delta used; cat used/keep' 0 out 'mine'
check "staged by the index" '$D stage Old new.idx new.zip s6 && diff -r New s6 && echo same' 0 out 'same'
check "new mode, own file"  '$D stage Old new.idx new.zip s7 && stat -c "%h %a" s7/bin/run Old/bin/run | tr "\\n" " "' 0 out '1 755 1 644 '
check "index of another"    '$D stage Old new.idx good.delta s8'   1 err      'vantorique-delta: good.delta: not the package its index names (FAILURE_DAMAGED)'
check "plan alone"          '$D plan Old new.idx | sed -n "1p;3p" | paste -sd" "' 0 out 'fetch a.txt 1 fetched in 1 spans of 45124 bytes, 1 kept, 0 patched, 117092 bytes written'
check "plan with the delta" '$D plan Old new.idx good.delta'     0 out      '0 fetched in 0 spans of 0 bytes, 1 kept, 1 patched, 117092 bytes written'
check "plan, edited base"   '$D plan Edited new.idx good.delta | head -n 1' 0 out 'fetch a.txt'
check "plan, not a delta"   '$D plan Old new.idx Old/a.txt'      1 err      'vantorique-delta: not a delta (no delta header) (FAILURE_DAMAGED)'
check "quick check"         '$D check Old new.idx'               0 out      '2 items differ'
check "apply with entries"  '$D apply-with Edited good.delta new.idx new.zip s9 && diff -r s9 New && echo same' 0 out 'same'

finish
