#!/usr/bin/env bash
# scripts/publish's release control, as a studio uses it: 1 on the default
# channel, 2 on beta, then promoted to 10% of the default channel's players
# and widened to all, a bad 3 halted and reverted to 2's game as 4. Each step
# is checked in what the server would serve: the manifests, their signed
# comments (channel, rollout), the fixed-name package, the release trees;
# and a studio's own names for its game folder, server path and package.
# usage: publish_channels.sh (ZIPUTIL and VANTORIQUE_DELTA name the programs)
. "$(dirname "$0")/publish_common.sh"
step() {  # step WHAT ARGS...: publish ARGS must succeed
  local what="$1"; shift
  "$publish" "$@" > step.txt 2>&1 || { bad "$what: publish failed:"; sed 's/^/    /' step.txt; }
}
a=out/vantorique/autoupdate
# comment FILE: the trusted comment of FILE's signature, which must verify,
# with the expiry written as EXPIRES.
comment() {
  minisign -V -p key.pub -m "$1" 2>/dev/null | sed -n 's/^Trusted comment: //p' |
    sed 's/expires:[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]Z/expires:EXPIRES/'
}
want_comment() {  # want_comment WHAT FILE COMMENT
  local got
  got="$(comment "$2")"
  [ "$got" = "$3" ] || bad "$1: $2's signed comment reads '$got', want '$3'"
}
tree() { (cd "$1" && find . -printf '%p %y %m %l\n' | sort && find . -type f -exec md5sum {} + | sort); }

minisign -G -W -p key.pub -s key.sec >/dev/null || { echo "FAILED: minisign -G"; exit 1; }
game() {  # game VERSION: a bundle with 400 KB of data, one part of it new in each version
  local app="v$1/Vantorique.app"
  mkdir -p "$app/Contents/MacOS" "$app/Contents/Resources"
  printf '#!/bin/sh\necho %s\n' "$1" > "$app/Contents/MacOS/Vantorique" && chmod 755 "$app/Contents/MacOS/Vantorique"
  python3 -c 'import random, sys; sys.stdout.buffer.write(random.Random(7).randbytes(300000))' > "$app/Contents/Resources/base.bin"
  python3 -c 'import random, sys; sys.stdout.buffer.write(random.Random(int(sys.argv[1])).randbytes(100000))' "$1" > "$app/Contents/Resources/level.bin"
  echo "version $1" > "log$1.txt"
}
for v in 1 2 3; do game "$v"; done

step "publishing 1" --key key.sec v1/Vantorique.app 1 log1.txt out
want_comment "1 on the default channel" $a/version.txt "file:version.txt version:1 expires:EXPIRES channel:default rollout:100"
cp $a/vantorique_osx.zip first.zip

step "publishing 2 on beta" --key key.sec --channel beta v2/Vantorique.app 2 log2.txt out
grep -q '^2~version 2' $a/channels/beta/version.txt || bad "beta: channels/beta/version.txt must announce 2"
want_comment "2 on beta" $a/channels/beta/version.txt "file:version.txt version:2 expires:EXPIRES channel:beta rollout:100"
grep -q '^1~' $a/version.txt || bad "beta: the default channel must still announce 1"
cmp -s first.zip $a/vantorique_osx.zip || bad "beta: the fixed-name package must stay release 1's"
[ -f $a/releases/2/from-1.delta ] || bad "beta: release 2 must have its delta from 1 (the releases are shared)"

step "promoting 2 to 10%" --key key.sec --rollout 10 --promote 2 out
grep -q '^2~version 2' $a/version.txt || bad "promote: the default channel must announce 2"
want_comment "2 on the default channel for 10%" $a/version.txt "file:version.txt version:2 expires:EXPIRES channel:default rollout:10"
cmp -s $a/releases/2/vantorique_osx.zip $a/vantorique_osx.zip || bad "promote: the fixed-name package must be release 2's"
minisign -V -p key.pub -m $a/vantorique_osx.zip >/dev/null 2>&1 || bad "promote: the fixed-name package must verify"
step "re-signing keeps the share" --key key.sec --resign out
want_comment "a plain re-sign" $a/version.txt "file:version.txt version:2 expires:EXPIRES channel:default rollout:10"
step "widening to all" --key key.sec --rollout 100 --resign out
want_comment "widened" $a/version.txt "file:version.txt version:2 expires:EXPIRES channel:default rollout:100"
cmp -s $a/version.txt $a/releases/2/version.txt || bad "widening: the manifest's bytes must not change, only its signature"

step "publishing a bad 3" --key key.sec v3/Vantorique.app 3 log3.txt out
step "halting 3" --key key.sec --halt out
want_comment "halted" $a/version.txt "file:version.txt version:3 expires:EXPIRES channel:default rollout:0"
grep -q "^halted version 3 on channel default" step.txt || bad "halting: the output must say version 3 is halted"
want_comment "beta, untouched by the default channel's steps" $a/channels/beta/version.txt \
  "file:version.txt version:2 expires:EXPIRES channel:beta rollout:100"

echo "back to 2's game" > revert.txt
step "reverting to 2" --key key.sec --revert-to 2 revert.txt out
grep -q "^version 4 holds the game of release 2" step.txt || bad "revert: the output must say version 4 holds release 2's game"
grep -q "^4~back to 2's game" $a/version.txt || bad "revert: the default channel must announce 4"
want_comment "the revert" $a/version.txt "file:version.txt version:4 expires:EXPIRES channel:default rollout:100"
mkdir t2 t4 t3
"$ZIPUTIL" -q unpack $a/releases/2/vantorique_osx.zip t2 >/dev/null && "$ZIPUTIL" -q unpack $a/releases/4/vantorique_osx.zip t4 >/dev/null &&
  "$ZIPUTIL" -q unpack $a/releases/3/vantorique_osx.zip t3 >/dev/null || bad "revert: the packages must unpack"
[ "$(tree t4)" = "$(tree t2)" ] || bad "revert: release 4's game must be release 2's, file for file"
# 3 differs from 2 in one file of 100,000 random bytes: that much, not the package's 400,000.
delta="$(wc -c < $a/releases/4/from-3.delta 2>/dev/null || echo 999999)"
[ "$delta" -lt 110000 ] || bad "revert: from-3.delta must hold only what 3 changed (it is $delta bytes)"
delta="$(wc -c < $a/releases/4/from-2.delta 2>/dev/null || echo 999999)"
[ "$delta" -lt 5000 ] || bad "revert: from-2.delta must be nearly empty, 4 being 2's game (it is $delta bytes)"
"$VANTORIQUE_DELTA" apply t3/Vantorique.app $a/releases/4/from-3.delta staged >/dev/null 2>&1 &&
  [ "$(tree staged)" = "$(tree t2/Vantorique.app)" ] || bad "revert: from-3.delta must take a player of 3 to 2's game"
minisign -V -p key.pub -m $a/releases/4/from-3.delta >/dev/null 2>&1 || bad "revert: from-3.delta must be signed"

# Bad requests are refused and write nothing.
before="$(ls -lR out)"
for args in "--rollout 10 v3/Vantorique.app 5 log3.txt out" "--key key.sec --rollout 0 --resign out" \
            "--key key.sec --channel Beta! v3/Vantorique.app 5 log3.txt out" "--key key.sec --revert-to 9 revert.txt out" \
            "--key key.sec --promote 9 out" "--key key.sec --promote 1 out"; do
  # shellcheck disable=SC2086
  if "$publish" $args >/dev/null 2>err.txt; then bad "'publish $args' must be refused"; fi
  [ -s err.txt ] || bad "'publish $args' must say why it refused"
done
grep -q "^publish: version 1 is lower than version 4" err.txt || bad "promoting 1 under 4 must be refused as a lower version"
[ "$before" = "$(ls -lR out)" ] || bad "a refused request wrote something"

# A studio's own names: its game folder, its path on the server, its package's name.
for v in 1 2; do
  mkdir -p "s$v/Skyforge.app/Contents/MacOS" && cp -r "v$v/Vantorique.app/Contents" "s$v/Skyforge.app/"
done
names=(--game-folder Skyforge.app --server-path /skyforge/updates/ --package-name skyforge-mac.zip)
step "Skyforge 1" --key key.sec "${names[@]}" s1/Skyforge.app 1 log1.txt out-s
step "Skyforge 2" --key key.sec "${names[@]}" s2/Skyforge.app 2 log2.txt out-s
s=out-s/skyforge/updates
for f in version.txt version.txt.minisig skyforge-mac.zip skyforge-mac.zip.minisig releases/2/skyforge-mac.zip \
         releases/2/from-1.delta releases/2/from-1.delta.minisig; do
  [ -f "$s/$f" ] || bad "a studio's names: $s/$f must be published"
done
want_comment "a studio's package" $s/releases/2/skyforge-mac.zip "file:skyforge-mac.zip version:2"
mkdir sk && "$ZIPUTIL" -q unpack $s/releases/2/skyforge-mac.zip sk >/dev/null && [ -d sk/Skyforge.app/Contents ] ||
  bad "a studio's names: the package must hold Skyforge.app"
[ ! -e out-s/vantorique ] || bad "a studio's names: nothing may be written under vantorique/"
if "$publish" "${names[@]}" v3/Vantorique.app 3 log3.txt out-s >/dev/null 2>err.txt; then bad "a bundle of another name must be refused"; fi
grep -qF "the bundle must be named Skyforge.app (got Vantorique.app)" err.txt || bad "a bundle of another name: the line must name both"

[ "$failures" -eq 0 ] && echo "publish: every channel, rollout, halt and revert step passed"
exit "$((failures > 0))"
