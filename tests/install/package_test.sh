#!/usr/bin/env bash
# Checks the Debian package that scripts/package.sh built in BUILD_DIR, unpacked into a temporary
# folder (nothing is installed on this machine): the programs run; the package holds what a
# desktop looks for and nothing else; the desktop entry, the metainfo and the icon name agree and
# pass their validators; the dependencies are those dpkg-shlibdeps finds for the libraries the
# programs link, never PipeWire's libjack. And the README's install command, run on the same build
# tree into a staging folder, installs the same files under its prefix.
#
# Usage: package_test.sh BUILD_DIR VERSION
set -euo pipefail
build="$1" version="$2"
id=org.tamblin.Tamblin
icon_sizes=(16 22 24 32 48 64 128 256)

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

shopt -s nullglob
found=("$build"/tamblin_"$version"-*.deb)
if [ "${#found[@]}" != 1 ]; then
    echo "FAIL: one package tamblin_$version-*.deb expected in $build, found: ${found[*]:-none}" >&2
    exit 1
fi
deb="${found[0]}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
root="$work/root"
dpkg-deb -x "$deb" "$root"

# The control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tamblin ] || fail "Package: $(field Package)"
[[ $(field Version) == "$version"-* ]] || fail "Version $(field Version), expected $version-*"
[ "$(field Section)" = sound ] || fail "Section: $(field Section)"
depends="$(field Depends)"
names="$(tr -s ',|' '\n' <<<"$depends" | sed 's/^ *//; s/ .*//')"  # alternatives included
for library in libc6 libstdc++6 libqt6widgets6 librtmidi6; do
    grep -qxF "$library" <<<"$names" || fail "Depends names no $library: $depends"
done
grep -qxE 'libjack-jackd2-0|libjack0' <<<"$names" || fail "Depends names no libjack: $depends"
! grep -qi pipewire <<<"$depends" || fail "Depends names PipeWire: $depends"

# Exactly these files.
expected=(
    usr/bin/tamblin
    usr/bin/tamblin-send
    "usr/share/applications/$id.desktop"
    "usr/share/metainfo/$id.metainfo.xml"
    "usr/share/icons/hicolor/scalable/apps/$id.svg"
    usr/share/man/man1/tamblin.1.gz
    usr/share/man/man1/tamblin-send.1.gz
    usr/share/doc/tamblin/LICENSE
)
for size in "${icon_sizes[@]}"; do expected+=("usr/share/icons/hicolor/${size}x$size/apps/$id.png"); done
difference="$(diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$root" && find . ! -type d | sed 's|^\./||' | sort) || true)"
[ -z "$difference" ] || fail "files missing (<) or not expected (>) in the package:"$'\n'"$difference"

# The programs start from the unpacked tree, with the libraries they link.
said="$("$root/usr/bin/tamblin" --version)" || fail "tamblin --version failed"
[ "${said%%$'\n'*}" = "tamblin (Tamblin) $version" ] || fail "tamblin --version says: $said"
status=0
usage="$("$root/usr/bin/tamblin-send" 2>&1)" || status=$?
if [ "$status" != 2 ] || [[ $usage != "usage: tamblin-send "* ]]; then
    fail "tamblin-send without arguments: status $status, $usage"
fi

# The desktop entry, the metainfo and the icons.
desktop="$root/usr/share/applications/$id.desktop"
metainfo="$root/usr/share/metainfo/$id.metainfo.xml"
desktop-file-validate "$desktop" || fail "desktop-file-validate refuses $desktop"
appstreamcli validate --no-net --strict "$metainfo" >"$work/validate" 2>&1 ||
    fail "appstreamcli validate refuses the metainfo: $(cat "$work/validate")"
# Across files: the launchable's desktop entry is there.
appstreamcli validate-tree --no-net --strict "$root" >"$work/validate" 2>&1 ||
    fail "appstreamcli validate-tree refuses the tree: $(cat "$work/validate")"
entry() { sed -n "s/^$1=//p" "$desktop"; }
[ "$(entry Exec)" = tamblin ] || fail "Exec=$(entry Exec)"
[ "$(entry Icon)" = "$id" ] || fail "Icon=$(entry Icon), expected $id"
[ "$(entry Categories)" = "AudioVideo;Audio;Midi;" ] || fail "Categories=$(entry Categories)"
newest="$(sed -n '/<release version="/{s/.*<release version="\([^"]*\)".*/\1/p;q}' "$metainfo")"
[ "$newest" = "$version" ] || fail "the metainfo's newest release is $newest, the program's $version"
grep -q '<project_license>MIT</project_license>' "$metainfo" || fail "the metainfo names no MIT licence"
for size in "${icon_sizes[@]}"; do
    png="$root/usr/share/icons/hicolor/${size}x$size/apps/$id.png"
    [ ! -f "$png" ] || [[ $(file -b "$png") == "PNG image data, $size x $size,"* ]] ||
        fail "$png is no $size x $size PNG: $(file -b "$png")"
done
for page in "$root"/usr/share/man/man1/*.gz; do
    gzip -t "$page" || fail "$page is no gzip file"
done

# The README's install step, word for word but for `sudo`, the build folder (this tree for
# build-release) and DESTDIR (a staging folder for the system's root).
readme="$(cd "$(dirname "$0")/../.." && pwd)/README.md"
install_line="$(sed -n 's/^    sudo \(cmake --install build-release .*\)$/\1/p' "$readme")"
if [ -z "$install_line" ]; then
    fail "the README shows no 'sudo cmake --install build-release ...' line"
else
    read -ra words <<<"$install_line"
    for i in "${!words[@]}"; do [ "${words[$i]}" != build-release ] || words[i]="$build"; done
    prefix="${install_line##*--prefix }"
    staged="$work/staged"
    if ! DESTDIR="$staged" "${words[@]}" >"$work/install" 2>&1; then
        fail "the README's install fails: $(cat "$work/install")"
    else
        want="$(printf '%s\n' "${expected[@]}" | sed "s|^usr/|${prefix#/}/|" | sort)"
        got="$(cd "$staged" && find . ! -type d | sed 's|^\./||' | sort)"
        [ "$want" = "$got" ] || fail "the README's install puts other files (<) or more (>):"$'\n'"$(diff <(echo "$want") <(echo "$got"))"
    fi
fi

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed on $deb" >&2
    exit 1
fi
echo "$deb: $(field Depends)"
