#!/usr/bin/env bash
# Installs everything the build, the demo and the tests need on Debian 12, as root.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

need_arch() {
  dpkg --print-foreign-architectures | grep -qx "$1" || dpkg --add-architecture "$1"
}

packages=(
  build-essential cmake pkg-config
  libusb-1.0-0-dev default-jdk-headless junit5
  libgtest-dev libgmock-dev umockdev libumockdev-dev
  g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user
  libusb-1.0-0-dev:armhf libusb-1.0-0-dev:arm64
  libgtest-dev:armhf libgtest-dev:arm64
  # packages: lintian, and the target's libraries that dpkg-shlibdeps maps to Depends
  lintian file libstdc++6:armhf libstdc++6:arm64
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi
need_arch armhf
need_arch arm64
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
