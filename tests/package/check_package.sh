#!/usr/bin/env bash
# Debian's own checks on the built package: desktop-file-validate,
# appstreamcli and lintian (no errors), and that the desktop entry's Exec and
# Icon name files the package installs.
#   tests/package/check_package.sh kestavo_<version>_amd64.deb
set -euo pipefail

deb=$(realpath "$1")
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb --extract "$deb" "$tree"
desktop=$tree/usr/share/applications/de.meridax.kestavo.desktop
failed=0
fail() {
    echo "FAIL $*"
    failed=1
}

desktop-file-validate "$desktop" && echo "PASS desktop-file-validate" || fail desktop-file-validate
appstreamcli validate --no-net "$tree/usr/share/metainfo/de.meridax.kestavo.metainfo.xml" &&
    echo "PASS appstreamcli validate" || fail "appstreamcli validate"
# Warnings are listed for the reader; only errors fail.
lintian --fail-on error --display-info "$deb" && echo "PASS lintian" || fail lintian

entry() { sed -n "s/^$1=//p" "$desktop"; }
exec_program=$(entry Exec | cut -d' ' -f1)
[[ -x "$tree/usr/bin/$exec_program" ]] && echo "PASS Exec=$exec_program is /usr/bin/$exec_program" ||
    fail "Exec=$exec_program names no program in /usr/bin"
icon=$(entry Icon)
missing=()
for size in 16x16 32x32 48x48 64x64 128x128 256x256 scalable; do
    found=("$tree/usr/share/icons/hicolor/$size/apps/$icon".*)
    [[ -f "${found[0]}" ]] || missing+=("$size")
done
((${#missing[@]} == 0)) && echo "PASS Icon=$icon is in hicolor at every size" ||
    fail "Icon=$icon is missing in hicolor at ${missing[*]}"
exit "$failed"
