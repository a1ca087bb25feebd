#!/usr/bin/env bash
# Installs the Debian packages the build, tests, benchmarks and the packaging check need,
# when missing.
set -euo pipefail
packages=(
    cmake g++ pkg-config clang-format
    qt6-base-dev qt6-svg-dev libgl-dev
    libzip-dev libdeflate-dev liblzma-dev libisal-dev libbz2-dev libzstd-dev
    libgtest-dev libgmock-dev
    xvfb xauth libx11-dev libxcb1-dev openbox
    at-spi2-core python3-pyatspi dbus-daemon dbus-x11
    desktop-file-utils appstream strace
    fuse3 fusefat exfat-fuse dosfstools exfatprogs
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    SUDO=""
    [[ $(id -u) -ne 0 ]] && SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
