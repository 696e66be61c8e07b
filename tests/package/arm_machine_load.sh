#!/usr/bin/env bash
# Loads an ARM package's library in an ARM JVM on the emulated ARM machine of its
# architecture: the package is unpacked in the build tree (the machine sees the host's
# root read-only, so it cannot be installed there) and the JVM finds the library through
# System.loadLibrary, on a java.library.path that names the unpacked jni directory, ahead of
# the library the jar on its class path carries (/proc/self/maps shows which file it mapped).
# ControlDemo switches the log on, which reports the library's version, and makes calls on
# a port that is not open. Then two ARM JVMs at once, with an empty java.library.path, load
# the jar's own library for this processor and print to the ARM virtual printer in the
# machine (jar_print.sh). Skipped where this tree has no emulated ARM machines
# (scripts/arm-machine.sh) or no ARM JVM is installed.
# Arguments: Debian architecture (armhf or arm64), package file, jar, demo classes
# directory, package version (upstream-revision), the ARM build's virtual printer.
set -euo pipefail
arch=$1 deb=$2 jar=$3 demo_classes=$4 version=$5 printer=$6
machine=$(realpath "$(dirname "$0")/../../scripts")/arm-machine.sh

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL ($arch package in the emulated machine): $*" >&2; exit 1; }
case "$arch" in
  armhf) triplet=arm-linux-gnueabihf tag=ARM32 folder=linux-arm ;;
  arm64) triplet=aarch64-linux-gnu tag=ARM64 folder=linux-aarch64 ;;
  *) fail "unknown architecture" ;;
esac
[ -f "$machine" ] \
  || skip "scripts/arm-machine.sh is not in this tree: the $arch package is checked on the host only"
java=/usr/lib/jvm/java-17-openjdk-$arch/bin/java
[ -x "$java" ] || skip "no $arch JVM ($java): install openjdk-17-jre-headless:$arch"
[ -d "$(dirname "$deb")" ] || skip "no packages built yet: run bash scripts/package.sh"
[ -f "$deb" ] || fail "$deb is missing: run bash scripts/package.sh"
[ -x "$printer" ] || fail "$printer is missing: build the ${tag,,} preset"
jar=$(realpath "$jar") demo_classes=$(realpath "$demo_classes") printer=$(realpath "$printer")

unpacked=$(realpath "$(dirname "$deb")")/unpacked-$arch
work=$(mktemp -d)
trap 'rm -rf "$unpacked" "$work"' EXIT
rm -rf "$unpacked"
dpkg-deb -x "$deb" "$unpacked"
(cd "$work" && jar --extract --file "$jar" "natives/$folder/libtillportcomm$tag.so.sha256")
sum=$(cut -d' ' -f1 <"$work/natives/$folder/libtillportcomm$tag.so.sha256")
options=(-XX:TieredStopAtLevel=1 -XX:+UseSerialGC -XX:-UsePerfData)

status=0
output=$(bash "$machine" "$arch" "$java" "${options[@]}" \
           -Djava.library.path="$unpacked/usr/lib/$triplet/jni" -cp "$jar:$demo_classes" ControlDemo 2>&1) || status=$?
echo "$output"
[ "$status" -eq 0 ] || fail "the ARM JVM exited with $status"
grep -q "SO Version: ${version%-*}\$" <<<"$output" || fail "the library did not report version ${version%-*}"
grep -q "PortID not Available" <<<"$output" || fail "the calls did not reach the library"
grep -q "^ControlDemo: library $unpacked/usr/lib/$triplet/jni/libtillportcomm$tag.so, loaded in" <<<"$output" \
  || fail "the JVM did not map the package's library"
echo "the $arch package's library loads in the $arch JVM through System.loadLibrary"

bash "$machine" "$arch" "$(realpath "$(dirname "$0")")/jar_print.sh" "$java" "$printer" "$jar" "$demo_classes" "$tag" "$sum" \
  "${options[@]}" || fail "the jar's library did not load and print in the $arch JVM"
