#!/usr/bin/env bash
# Loads an ARM package's library in an ARM JVM on the emulated ARM machine of its
# architecture: the package is unpacked in the build tree (the machine sees the host's
# root read-only, so it cannot be installed there) and the JVM finds the library through
# System.loadLibrary, on a java.library.path that names the unpacked jni directory.
# ControlDemo switches the log on, which reports the library's version, and makes calls on
# a port that is not open. Skipped where this tree has no emulated ARM machines
# (scripts/arm-machine.sh) or no ARM JVM is installed.
# Arguments: Debian architecture (armhf or arm64), package file, jar, demo classes
# directory, package version (upstream-revision).
set -euo pipefail
arch=$1 deb=$2 jar=$3 demo_classes=$4 version=$5
machine=$(realpath "$(dirname "$0")/../../scripts")/arm-machine.sh

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL ($arch package in the emulated machine): $*" >&2; exit 1; }
case "$arch" in
  armhf) triplet=arm-linux-gnueabihf ;;
  arm64) triplet=aarch64-linux-gnu ;;
  *) fail "unknown architecture" ;;
esac
[ -f "$machine" ] \
  || skip "scripts/arm-machine.sh is not in this tree: the $arch package is checked on the host only"
java=/usr/lib/jvm/java-17-openjdk-$arch/bin/java
[ -x "$java" ] || skip "no $arch JVM ($java): install openjdk-17-jre-headless:$arch"
[ -d "$(dirname "$deb")" ] || skip "no packages built yet: run bash scripts/package.sh"
[ -f "$deb" ] || fail "$deb is missing: run bash scripts/package.sh"

unpacked=$(realpath "$(dirname "$deb")")/unpacked-$arch
trap 'rm -rf "$unpacked"' EXIT
rm -rf "$unpacked"
dpkg-deb -x "$deb" "$unpacked"

status=0
output=$(bash "$machine" "$arch" "$java" -XX:-UsePerfData \
           -Djava.library.path="$unpacked/usr/lib/$triplet/jni" \
           -cp "$(realpath "$jar"):$(realpath "$demo_classes")" ControlDemo 2>&1) || status=$?
echo "$output"
[ "$status" -eq 0 ] || fail "the ARM JVM exited with $status"
grep -q "SO Version: ${version%-*}\$" <<<"$output" || fail "the library did not report version ${version%-*}"
grep -q "PortID not Available" <<<"$output" || fail "the calls did not reach the library"
echo "the $arch package's library loads in the $arch JVM through System.loadLibrary"
