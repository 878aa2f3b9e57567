#!/usr/bin/env bash
# The install tree: `cmake --install` into a scratch prefix must give exactly
# the files the package ships, each valid for the tool that reads it.
#   install_tree.sh CMAKE BUILD_DIR PREFIX APP_ID VERSION
set -euo pipefail
cmake="$1" build="$2" prefix="$3" id="$4" version="$5"
failed=0
fail() { echo "install tree: $*" >&2; failed=1; }

rm -rf "$prefix"
"$cmake" --install "$build" --prefix "$prefix" >/dev/null

expected="bin/quorvel bin/quorvel-cli bin/quorvel-server
share/applications/$id.desktop share/metainfo/$id.metainfo.xml
share/icons/hicolor/scalable/apps/$id.svg
share/man/man1/quorvel.1.gz share/man/man1/quorvel-cli.1.gz share/man/man1/quorvel-server.1.gz"
for size in 48 64 128 256; do
  expected+=" share/icons/hicolor/${size}x$size/apps/$id.png"
done
expected="$(tr ' ' '\n' <<<"$expected" | sort)"
installed="$(cd "$prefix" && find . -type f -printf '%P\n' | sort)"
[ "$installed" = "$expected" ] \
  || fail "installed files (<) differ from the expected ones (>):
$(diff <(echo "$installed") <(echo "$expected") || true)"

for program in quorvel quorvel-cli quorvel-server; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program is not executable"
done

# A PNG's signature, then its width and height (4 bytes each) from byte 16.
hex() { od -An -tx1 "$@" | tr -d ' \n'; }
for size in 48 64 128 256; do
  png="$prefix/share/icons/hicolor/${size}x$size/apps/$id.png"
  [ -f "$png" ] && [ "$(hex -N8 "$png")" = 89504e470d0a1a0a ] \
    && [ "$(hex -j16 -N8 "$png")" = "$(printf '%08x%08x' "$size" "$size")" ] \
    || fail "the ${size}x$size icon is not a PNG of that size"
done

# desktop-file-validate exits 0 on warnings and hints, so any output fails.
desktop="$prefix/share/applications/$id.desktop"
metainfo="$prefix/share/metainfo/$id.metainfo.xml"
out="$(desktop-file-validate "$desktop" 2>&1)" && [ -z "$out" ] || fail "desktop-file-validate: $out"
out="$(appstreamcli validate --no-net "$metainfo" 2>&1)" || fail "appstreamcli validate: $out"

# The files name one another, and the newest release is the one installed.
grep -qx "Exec=quorvel" "$desktop" && grep -qx "Icon=$id" "$desktop" \
  || fail "the launcher does not start quorvel with the $id icon"
grep -q "<id>$id</id>" "$metainfo" && grep -q "<launchable type=\"desktop-id\">$id.desktop<" "$metainfo" \
  || fail "the metadata does not name $id and its launcher"
newest="$(grep -o -m1 '<release version="[^"]*"' "$metainfo" | cut -d'"' -f2)"
[ "$newest" = "$version" ] || fail "the metadata's newest release is '$newest', not $version"

# Each man page covers every option its program's --help lists.
for program in quorvel quorvel-cli quorvel-server; do
  page="$(gzip -dc "$prefix/share/man/man1/$program.1.gz" | sed 's/\\-/-/g')"
  help="$("$prefix/bin/$program" --help)" || fail "$program --help failed"
  for option in $(grep -o -- '--[a-z][a-z-]*' <<<"$help" | sort -u); do
    grep -q -- "$option\([^a-z-]\|$\)" <<<"$page" || fail "$program.1 does not mention $option"
  done
done
exit $failed
