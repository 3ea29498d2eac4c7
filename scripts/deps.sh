#!/usr/bin/env bash
# Debian packages Kestavo needs, and a check that installs the missing ones.
#
#   scripts/deps.sh [--build] [--test] [--package] [package ...]
#   source scripts/deps.sh; kestavo_ensure_packages package ...
#
# As root the missing packages are installed; otherwise the apt-get line to run
# is printed and the status is non-zero.

KESTAVO_FONT_PACKAGES="fonts-dejavu-core"

# find_package(Qt6 Gui) needs OpenGL headers (WrapOpenGL); qt6-base-dev pulls
# libgl-dev and libvulkan-dev itself, libgl-dev is named so a missing one shows.
KESTAVO_BUILD_PACKAGES="cmake g++ make pkgconf qt6-base-dev qt6-serialport-dev libgl-dev qt6-qpa-plugins"

KESTAVO_TEST_PACKAGES="xvfb xdotool x11-utils python3 lintian desktop-file-utils appstream"

# dpkg-shlibdeps computes the package's dependencies; CPack finds ELF files with file.
KESTAVO_PACKAGE_PACKAGES="dpkg-dev file"

kestavo_missing_packages() {
    local package status
    for package in "$@"; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
        if [[ "$status" != "installed" ]]; then
            printf '%s\n' "$package"
        fi
    done
}

kestavo_ensure_packages() {
    local -a missing
    mapfile -t missing < <(kestavo_missing_packages "$@")
    if ((${#missing[@]} == 0)); then
        return 0
    fi
    if [[ "$(id -u)" != "0" ]]; then
        echo "Kestavo needs these Debian packages: ${missing[*]}" >&2
        echo "Install them as root with:" >&2
        echo "  apt-get install -y --no-install-recommends ${missing[*]}" >&2
        return 1
    fi
    echo "Installing missing Debian packages: ${missing[*]}"
    apt-get update </dev/null || return 1
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" </dev/null ||
        return 1
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
    set -euo pipefail
    packages=()
    for argument in "$@"; do
        case "$argument" in
            --build) read -r -a list <<<"$KESTAVO_BUILD_PACKAGES $KESTAVO_FONT_PACKAGES"; packages+=("${list[@]}") ;;
            --test) read -r -a list <<<"$KESTAVO_TEST_PACKAGES"; packages+=("${list[@]}") ;;
            --package) read -r -a list <<<"$KESTAVO_PACKAGE_PACKAGES"; packages+=("${list[@]}") ;;
            -*) echo "usage: $0 [--build] [--test] [--package] [package ...]" >&2; exit 2 ;;
            *) packages+=("$argument") ;;
        esac
    done
    kestavo_ensure_packages "${packages[@]}"
fi
