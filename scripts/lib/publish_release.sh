# shellcheck shell=bash
# Sourced by scripts/publish once its options are read: a new release
# (BUNDLE VERSION CHANGELOG OUTDIR, or --revert-to M CHANGELOG OUTDIR), or a
# published one announced on a channel (--promote N OUTDIR).

# refuse_older VERSION SERVED: a channel never goes down, unless asked.
refuse_older() {
  local v="$1" served="$2"
  [ -n "$served" ] && [ "$v" -le "$served" ] && [ -z "$allow_older" ] || return 0
  [ "$v" -ne "$served" ] || fail "version $v is what channel $channel serves already: publish a higher number"
  fail "version $v is lower than version $served, which channel $channel serves: every player who saw $served would refuse it (\"The update server offers an older version\"). Publish the old game under a higher number instead: scripts/publish --revert-to $v CHANGELOG OUTDIR (when $v is a published release), or its bundle as version $((served + 1)); --allow-older publishes $v anyway"
}

# announce STAGE DEST CDIR: the fixed-name package (default channel) and its
# signature first, the manifest's signature, the manifest last.
announce() {
  local s="$1" dest="$2" cdir="$3"
  if [ "$channel" = default ]; then
    if [ -n "$key" ]; then mv -f "$s/$package.minisig" "$dest/$package.minisig"; else rm -f "$dest/$package.minisig"; fi
    mv -f "$s/$package" "$dest/$package"
  fi
  if [ -n "$key" ]; then mv -f "$s/version.txt.minisig" "$cdir/version.txt.minisig"; else rm -f "$cdir/version.txt.minisig"; fi
  mv -f "$s/version.txt" "$cdir/version.txt"
}

if [ -n "$promote" ]; then
  [ $# -eq 1 ] || usage
  outdir="$1" dest="$1/$server_path" version="$((10#$promote))"
  cdir="$(chan_dir "$dest")" rdir="$dest/releases/$version"
  [ -f "$rdir/$package" ] && [ -f "$rdir/version.txt" ] || fail "no release $version at $rdir"
  refuse_older "$version" "$(served_version "$cdir")"
  if [ -n "$key" ]; then require_signed_release "$dest" "$version"; prepare_key; fi
  make_stage "$outdir"
  cp "$rdir/version.txt" "$stage/version.txt"
  [ -z "$key" ] || sign_file "$stage/version.txt" "$stage/version.txt.minisig" "$(manifest_comment "$version" "$channel" "${rollout:-100}")"
  if [ "$channel" = default ]; then
    cp "$rdir/$package" "$stage/$package"
    [ -z "$key" ] || cp "$rdir/$package.minisig" "$stage/$package.minisig"
  fi
  world_readable "$stage"
  mkdir -p "$cdir" && open_up "$dest"
  announce "$stage" "$dest" "$cdir"
  echo "promoted release $version to channel $channel (rollout ${rollout:-100}%): $cdir/version.txt"
  exit 0
fi

if [ -n "$revert_to" ]; then
  [ $# -eq 2 ] || usage
  changelog="$1" outdir="$2" dest="$2/$server_path" bundle=""
  cdir="$(chan_dir "$dest")"
  [ -f "$dest/releases/$((10#$revert_to))/$package" ] || fail "no release $((10#$revert_to)) at $dest/releases/$((10#$revert_to)) to revert to"
  version=$(( $( { echo 0; release_numbers "$dest"; served_version "$cdir"; } | sort -n | tail -n 1) + 1 ))
else
  [ $# -eq 4 ] || usage
  bundle="$1" version="$2" changelog="$3" outdir="$4" dest="$4/$server_path"
  cdir="$(chan_dir "$dest")"
  [ -d "$bundle" ] || fail "no game bundle at $bundle"
  [ "$(basename "$bundle")" = "$game" ] || fail "the bundle must be named $game (got $(basename "$bundle")): the launcher installs it under that name"
  [[ "$version" =~ ^[0-9]{1,10}$ ]] || fail "version must be a positive whole number (got '$version')"
  version=$((10#$version))
fi
{ [ "$version" -ge 1 ] && [ "$version" -le 2147483647 ]; } || fail "version must be between 1 and 2147483647 (got $version)"
[ -f "$changelog" ] && [ -r "$changelog" ] || fail "cannot read the change log $changelog"
[ "$(tr -d '\000' < "$changelog" | wc -c)" -eq "$(wc -c < "$changelog")" ] || fail "the change log holds a NUL byte, which the manifest cannot carry"
if grep -q '`' "$changelog"; then fail "the change log holds a grave accent (\`), which ends the manifest's change log"; fi
log_bytes="$(wc -c < "$changelog")" room=$((max_manifest_bytes - ${#version} - 3))  # "~", "`", newline
[ "$log_bytes" -le "$room" ] || fail "the change log is $log_bytes bytes: the manifest (version, ~, change log, \`, newline) may be at most $max_manifest_bytes bytes (1 MiB), which leaves $room for the change log of version $version"
[ ! -e "$dest/releases/$version" ] || fail "version $version is already published at $dest/releases/$version (a release is never rewritten: publish a new version)"
refuse_older "$version" "$(served_version "$cdir")"
[ -z "$bundle" ] || check_game_folder "$bundle"
[ -z "$key" ] || prepare_key
mkdir -p "$outdir" 2>/dev/null || fail "cannot create the output folder $outdir"
[ -w "$outdir" ] || fail "cannot write into the output folder $outdir"

# The earlier releases that deltas are made from: the five latest below this one.
mapfile -t earlier < <(release_numbers "$dest" | awk -v v="$version" '$1 < v' | tail -n 5)
# The tools, built into build/release on first use (the delta tool writes
# every release's index too).
ziputil="${ZIPUTIL:-$root/build/release/ziputil}"
delta_tool="${VANTORIQUE_DELTA:-$(dirname "$ziputil")/vantorique-delta}"
need=()
[ -x "$ziputil" ] || { ziputil="$root/build/release/ziputil"; [ -x "$ziputil" ] || need+=(ziputil); }
[ -x "$delta_tool" ] || { delta_tool="$root/build/release/vantorique-delta"; [ -x "$delta_tool" ] || need+=(vantorique-delta); }
if [ ${#need[@]} -gt 0 ]; then
  echo "publish: building ${need[*]} into $root/build/release (first use only)" >&2
  build_log="$(mktemp)"
  { cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release -DVANTORIQUE_TESTS=OFF -DVANTORIQUE_LAUNCHER=OFF &&
    cmake --build "$root/build/release" --target "${need[@]}" -j "$(nproc)"; } >"$build_log" 2>&1 ||
    { cat "$build_log" >&2; rm -f "$build_log"; fail "building ${need[*]} failed (above)"; }
  rm -f "$build_log"
fi

# Everything is made beside the target first and moved in at the end.
make_stage "$outdir"
if [ -n "$revert_to" ]; then
  "$ziputil" -q unpack "$dest/releases/$((10#$revert_to))/$package" "$stage/revert" >/dev/null ||
    fail "release $((10#$revert_to))'s package does not unpack"
  bundle="$stage/revert/$game"
  [ -d "$bundle" ] || fail "release $((10#$revert_to))'s package holds no $game"
fi
bundle_abs="$(cd "$bundle" && pwd)"
# Packed once, at -6: on a 2.3 GB game -9 saved 0.04% of the bytes
# (bench/RESULTS.md, "Publishing at scale"), not worth its time.
"$ziputil" pack -6 "$bundle_abs" "$stage/$package" >/dev/null || fail "packing $bundle failed"
{ printf '%s~' "$version"; cat "$changelog"; printf '`\n'; } > "$stage/version.txt"
if [ -n "$key" ]; then
  sign_file "$stage/$package" "$stage/$package.minisig" "file:$package version:$version"
  sign_file "$stage/version.txt" "$stage/version.txt.minisig" "$(manifest_comment "$version" "$channel" "${rollout:-100}")"
fi

# This release's folder: the package (a second name for the same bytes, not
# a copy), its signature, its index and the deltas to it.
release="$stage/release"
mkdir "$release"
ln "$stage/$package" "$release/$package" 2>/dev/null || cp "$stage/$package" "$release/$package"
# The index: every item of this version and its entry in the package. The
# next releases' deltas read it instead of unpacking this package.
"$delta_tool" index "$bundle_abs" "$stage/$package" "$release/index" --version "$version" ||
  fail "writing the index of $bundle failed"
[ -z "$key" ] || sign_file "$release/index" "$release/index.minisig" "file:index version:$version"
[ -z "$key" ] || cp "$stage/$package.minisig" "$stage/version.txt.minisig" "$release/"
cp "$stage/version.txt" "$release/version.txt"  # the manifest this release was announced with
package_size="$(wc -c < "$stage/$package")"
deltas=()
for m in "${earlier[@]}"; do
  # Deltas lead to the tree the package gives (--package-tree: no folder
  # without a file in it), so both roads give a player the same game. From
  # a release with an index, its package is never unpacked: unchanged files
  # are known by hash, and only the bases of changed files are inflated.
  name="from-$m.delta" mdir="$dest/releases/$m" old=""
  if [ -f "$mdir/index" ]; then
    from=(--old-index "$mdir/index" --old-package "$mdir/$package")
  else
    # A release published before indexes: the tree its players have, unpacked.
    old="$stage/old-$m"
    if ! "$ziputil" -q unpack "$mdir/$package" "$old" >/dev/null; then
      echo "publish: warning: no delta from $m: its package does not unpack" >&2
      rm -rf "$old"; continue
    fi
    from=("$old/$game")
  fi
  if ! "$delta_tool" make "${from[@]}" "$bundle_abs" "$release/$name" --package-tree --from "$m" --to "$version" --level 19; then
    echo "publish: warning: no delta from $m: making it failed" >&2
    rm -rf "$release/$name" ${old:+"$old"}; continue
  fi
  [ -z "$old" ] || rm -rf "$old"
  size="$(wc -c < "$release/$name")"
  if [ $((size * 100)) -gt $((package_size * 60)) ]; then
    echo "no delta from $m: it would be $size bytes, over 60% of the package's $package_size"
    rm -f "$release/$name"; continue
  fi
  [ -z "$key" ] || sign_file "$release/$name" "$release/$name.minisig" "file:$name version:$version from:$m"
  deltas+=("$name ($size bytes, $((size * 100 / package_size))% of the package)")
done

world_readable "$release" "$stage/$package" "$stage/version.txt" ${key:+"$stage/$package.minisig" "$stage/version.txt.minisig"}
mkdir -p "$dest/releases" "$cdir" || fail "cannot create $dest/releases"
open_up "$dest"
mv "$release" "$dest/releases/$version" || fail "cannot move the release into $dest/releases/$version"
announce "$stage" "$dest" "$cdir"
[ -z "$revert_to" ] || echo "version $version holds the game of release $((10#$revert_to))"
echo "published version $version on channel $channel (rollout ${rollout:-100}%): $cdir/version.txt, $dest/releases/$version/$package ($package_size bytes)"
echo "release: $dest/releases/$version/"
for d in "${deltas[@]}"; do echo "delta: $dest/releases/$version/$d"; done
if [ -n "$key" ]; then
  echo "signed: the package, the deltas and $cdir/version.txt.minisig (expires $expires)"
else
  echo "publish: warning: the package and the manifest are unsigned (no --key): launchers built with VANTORIQUE_PUBLIC_KEY will refuse them" >&2
fi
