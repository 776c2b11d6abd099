#!/bin/sh
# Installs the Debian packages Tarnwick needs, only those that are missing.
#   scripts/setup.sh run    what building and running the program needs
#   scripts/setup.sh test   that, plus what the test suite uses: nginx, curl, Chromium,
#                           Xvfb, Python's h2, clang and libFuzzer, openssl, NSS's certutil, tinyproxy,
#                           gsettings with GNOME's proxy schema, and the package tools
#                           (dpkg-dev, lintian, appstream)
#   scripts/setup.sh deb    what run installs, plus what making the Debian package needs
set -eu

RUN_PACKAGES="cmake make g++ qt6-base-dev qt6-base-dev-tools libgl-dev fonts-ipafont-gothic qt6-webengine-dev qt6-translations-l10n libssl-dev zlib1g-dev libbrotli-dev libzstd-dev libnghttp2-dev"
TEST_PACKAGES="nginx-light curl xvfb xauth python3 python3-h2 clang-14 libclang-rt-14-dev chromium firefox-esr openssl libnss3-tools tinyproxy libglib2.0-bin gsettings-desktop-schemas dpkg-dev file lintian appstream"

packages="$RUN_PACKAGES"
if [ "${1:-run}" = deb ]; then
    packages="$packages dpkg-dev file"
fi
if [ "${1:-run}" = test ]; then
    packages="$packages $TEST_PACKAGES"
fi

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    sudo=""
else
    sudo="sudo"
fi
echo "Installing:$missing"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
