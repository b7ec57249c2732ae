#!/usr/bin/env bash
# Installs, on Debian 12, every package the project needs to build, test, fuzz and
# benchmark. Idempotent: only what is missing is installed, and apt is not touched
# at all when everything is already there.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang-format
    clang libclang-rt-14-dev
    qt6-base-dev libgl-dev libqt6sql6-sqlite libqt6sql6-psql libpq-dev libsqlite3-dev
    qt6-httpserver-dev qt6-websockets-dev
    postgresql-15
    libudev-dev
    umockdev libumockdev-dev
    libgtest-dev libgmock-dev googletest
    libbenchmark-dev
    xvfb xauth
    chromium chromium-driver python3-selenium fonts-liberation
    desktop-file-utils appstream dpkg-dev sqlite3 curl
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all ${#packages[@]} packages present"
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
