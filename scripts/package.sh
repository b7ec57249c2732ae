#!/usr/bin/env bash
# Builds the release configuration, checks the installed files with the desktop and
# AppStream validators, builds the Debian package with CPack, installs it with apt and
# runs the installed trm415-run through a complete simulated update.
set -euo pipefail
cd "$(dirname "$0")/.."
#   scripts/package.sh [BUILD_DIR]   (default: a release build in build-pkg; CI passes the
#                                     build the tests already used)
./scripts/install-deps.sh
dir=${1:-build-pkg}
if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRM_WERROR=ON -DTRM_TESTS=OFF -DTRM_BENCH=OFF >/dev/null
fi
cmake --build "$dir" -j "$(nproc)" --target trm415-update trm415-run trm415-station

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$dir" --prefix /usr >/dev/null
echo "== installed files"
(cd "$stage" && find . -type f | sort)
echo "== desktop-file-validate"
desktop-file-validate "$stage/usr/share/applications/org.trm415.update.desktop" && echo "desktop entry: valid"
echo "== appstreamcli validate"
appstreamcli validate --no-net --explain "$stage/usr/share/metainfo/org.trm415.update.metainfo.xml"

echo "== cpack"
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/trm415-update_*.deb | head -n 1)
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
echo "== apt-get install $deb"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "./$deb" >/dev/null
echo "== installed trm415-run --simulate"
/usr/bin/trm415-run --simulate=margin=0 | grep -E 'message|verify|result'
echo "== installed trm415-run --version, --check"
/usr/bin/trm415-run --version
/usr/bin/trm415-run --check || echo "(--check exit status $?: no unit attached here)"

echo "== the station as a service: unit, user, settings"
ls /usr/lib/systemd/system/trm415-station.service /usr/lib/sysusers.d/trm415.conf /etc/trm415/station.conf
systemd-analyze verify --man=no /usr/lib/systemd/system/trm415-station.service && echo "unit: verified"
id trm415
echo "== installed trm415-station with the example settings, --simulate=2 --units=2"
records=$(mktemp -d)/records.sqlite
/usr/bin/trm415-station --config=/etc/trm415/station.conf --simulate=2:margin=0 --units=2 \
    --records="$records" | tail -n 3
/usr/bin/trm415-station --report --records="$records"
echo "== man pages"
ls /usr/share/man/man1/trm415-update.1* /usr/share/man/man1/trm415-run.1* /usr/share/man/man1/trm415-station.1*
echo "== bash completion"
ls /usr/share/bash-completion/completions/trm415-run /usr/share/bash-completion/completions/trm415-station \
    /usr/share/bash-completion/completions/trm415-update
