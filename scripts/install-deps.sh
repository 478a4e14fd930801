#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the stand-ins need,
# when any is missing. Needs root (or sudo) only when something is missing.
set -euo pipefail
packages=(
  build-essential cmake pkg-config python3 iproute2 util-linux
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libpcre2-dev libjpeg-dev libcurl4-openssl-dev
  qt6-base-dev libqt6opengl6-dev libgl-dev liblitehtml-dev libxss-dev libx11-dev dbus-daemon
  qt6-qpa-plugins fonts-dejavu-core x11-utils
  libxml2-dev clang libclang-rt-14-dev xvfb xauth
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
