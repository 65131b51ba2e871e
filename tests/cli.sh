#!/usr/bin/env bash
# The ziputil command as a user meets it: one table of cases, each with the
# exact exit status and the line the user reads. usage: cli.sh (ZIPUTIL names
# the program). Archives of other tools come from Info-ZIP zip and Python.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
Z="$(realpath "${ZIPUTIL:?ZIPUTIL names the ziputil program}")"
w="$(mktemp -d)"
trap 'rm -rf "$w"' EXIT
cd "$w"
export TZ=UTC LC_ALL=C

# The trees and archives the cases use.
mkdir -p Src/sub odd && printf 'hello\n' >Src/a && seq 1000 >Src/sub/b
ln -s /etc/passwd odd/abs-link && ln -s ../../x odd/up && ln -s ../odd/abs-link odd/fine && echo x >odd/f
"$Z" -q pack Src good.zip
zip -q -0 stored.zip Src/a
# One bit of the stored data flipped: the size holds, the CRC does not.
at="$(grep -obUa 'hello' stored.zip | head -1 | cut -d: -f1)"
printf 'j' | dd of=stored.zip bs=1 seek="$at" conv=notrunc status=none
# A peer's archive that records an empty folder and a private one, with times.
mkdir -p peer/empty peer/private && echo p >peer/private/p.txt && chmod 700 peer/private
touch -d '2001-02-03 04:05:06' peer/private/p.txt peer/private peer/empty
(zip -q -r peer.zip peer)
# A name of 1,100 bytes: list shows its first 1,023 and "...", never what lies past a buffer.
python3 -c "import zipfile; zipfile.ZipFile('long.zip', 'w').writestr('n' * 1100, b'x')"

source "$here/command_table.sh"
export Z
check "help on stdout"        '$Z --help'                      0 outfirst 'usage: ziputil [-q] pack [-0..-9] [--keep-times] SOURCE ARCHIVE.zip'
check "-h is help"            '$Z -h'                          0 out      'Exit status: 0 success, 1 failure, 2 wrong usage.'
check "version"               '$Z --version'                   0 out      "$("$Z" --version | grep -o '^ziputil [0-9][0-9.]* ')(zlib $(python3 -c 'import zlib; print(zlib.ZLIB_RUNTIME_VERSION)'))"
check "no command"            '$Z'                             2 err      'Exit status: 0 success, 1 failure, 2 wrong usage.'
check "unknown command"       '$Z frob 2>&1 >/dev/null | sed -n 1p >&2; exit ${PIPESTATUS[0]}' 2 err 'ziputil: unknown command: frob'
check "unknown option"        '$Z pack -x Src x.zip 2>&1 | sed -n 1p >&2; exit ${PIPESTATUS[0]}' 2 err 'ziputil: unknown option for pack: -x'
check "missing archive"       '$Z unpack game.zip dest'         1 err      'ziputil: cannot open game.zip: No such file or directory'
check "no folder left behind" '$Z unpack game.zip dest; test ! -e dest' 0 err 'ziputil: cannot open game.zip: No such file or directory'
check "archive is a folder"   '$Z list Src'                     1 err      'ziputil: cannot open Src: Is a directory'
check "not a zip"             '$Z list Src/a'                   1 err      'ziputil: cannot read Src/a: not a zip archive'
check "missing source"        '$Z pack Nope n.zip'              1 err      'ziputil: cannot open Nope: No such file or directory'
check "unwritable archive"    '$Z -q pack Src nodir/r.zip'      1 err      'ziputil: cannot pack Src into nodir/r.zip: Cannot create nodir/r.zip: No such file or directory'
check "quiet pack"            '$Z -q pack Src q.zip'            0 out      ''
check "quiet unpack"          '$Z unpack -q good.zip qd'        0 out      ''
check "loud unpack"           '$Z unpack good.zip ld | grep -c "^Filename to unzip: "' 0 out '2'
check "refused link warned"   '$Z -q pack odd odd.zip 2>&1 >/dev/null | sort | head -1 >&2' 0 err 'ziputil: warning: odd/abs-link -> /etc/passwd is absolute; unpack will refuse it'
check "climbing link warned"  '$Z -q pack odd odd.zip 2>&1 >/dev/null | sort | tail -1 >&2' 0 err 'ziputil: warning: odd/up -> ../../x leads out of the unpacked tree; unpack will refuse it'
check "refusal names cause"   '$Z -q unpack odd.zip od'         1 err      'ziputil: cannot unpack odd.zip: Refusing link whose target leaves the destination: odd/up -> ../../x'
check "list totals"           '$Z list good.zip'                0 out      "$(python3 -c "import zipfile; i = zipfile.ZipFile('good.zip').infolist(); print('%14s %12d %12d  %d entries' % ('', sum(e.compress_size for e in i), sum(e.file_size for e in i), len(i)))")"
check "list dates"            '$Z list peer.zip | grep p.txt'   0 out      "100644 stored             2            2  2001-02-03 04:05  peer/private/p.txt"
check "list a long name"     '$Z list long.zip | sed -n 2p | grep -o "n*\.\.\.$" | wc -c' 0 out '1027'
check "test good"             '$Z test good.zip'                0 out      'No errors in good.zip: 2 entries, 3899 bytes'
check "test quiet"            '$Z -q test good.zip'             0 out      ''
check "test CRC-bad"          '$Z -q test stored.zip'           1 err      'ziputil: stored.zip is damaged: CRC error in entry: Src/a'
check "test writes nothing"   '$Z -q test good.zip; ls | wc -l' 0 out      "$(ls | wc -l)"
check "times: files"          '$Z -q unpack --times peer.zip t && stat -c %y t/peer/private/p.txt' 0 out '2001-02-03 04:05:06.000000000 +0000'
check "times: folder mode"    '$Z -q unpack --times peer.zip t2 && stat -c "%a %y" t2/peer/private' 0 out '700 2001-02-03 04:05:06.000000000 +0000'
check "times: empty folder"   '$Z -q unpack --times peer.zip t3 && stat -c %F t3/peer/empty' 0 out 'directory'
check "no times: no folder"   '$Z -q unpack peer.zip t4; test -e t4/peer/empty; echo $?' 0 out '1'

finish
