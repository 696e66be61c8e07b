#!/usr/bin/env bash
# The deliverables on the Debian releases of the tills, each in a userland made of that
# release's own packages (scripts/setup.sh makes them under build/userlands): the tool, the
# JVM tests with that release's JVM and the package installed, loaded by name and purged
# with its apt (tests/userland/suite.sh). amd64 runs under chroot in a private mount
# namespace; armhf and arm64 boot their emulated machine with the userland as its root.
#
#   scripts/userland-tests.sh [--full] [--results FILE]
#
# Without --full the emulated ARM machines run a shorter JVM selection (the load, the log,
# a print and its answer); --full runs there every JVM test the userland can run. The JVM
# tests on emulated USB printers and serial lines need umockdev 0.16 or later, which
# Debian 11 does not have: its userlands run the others. Needs root. Run after the build
# (scripts/test.sh) and the packages (scripts/package.sh). Writes one line per userland,
# "NAME PASSED FAILED SKIPPED SECONDS", to FILE; exits non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=$repo/build

full=0
results=""
while [ $# -gt 0 ]; do
  case "$1" in
    --full) full=1 ;;
    --results) results=$2; shift ;;
    *) sed -n '9p' "$0" | sed 's/^# *//' >&2; exit 2 ;;
  esac
  shift
done
[ "$(id -u)" -eq 0 ] || { echo "userland-tests: needs root (chroot, mounts, dpkg)" >&2; exit 1; }
[ -n "$results" ] && : >"$results"

version=$(sed -n '1s/^libtillportcomm (\([^)]*\)).*/\1/p' packaging/changelog)
jar=$build/packages/tillportcomm-${version%-*}.jar
junit=$build/userlands/junit-platform-console-standalone.jar
device_free="ControlMethodsTest EthOpenTest EthTransferTest ThreadsTest"
every="$device_free SerialPortTest UsbPrinterTest"
short_arm="ControlMethodsTest EthTransferTest"
status=0

# record NAME SECONDS OUTPUT-FILE RESULT: the suite's counts, from its last line.
record() {
  local counts
  counts=$(sed -n 's/^userland cases: //p' "$3" | tail -n 1)
  [ -n "$counts" ] || counts="0 1 0"
  read -r p f s <<<"$counts"
  [ "$4" -ne 0 ] && [ "$f" -eq 0 ] && f=1
  [ "$f" -eq 0 ] || status=1
  echo "$1: $p passed, $f failed, $s skipped in $2 s"
  [ -n "$results" ] && echo "$1 $p $f $s $2" >>"$results"
}

# chroot_suite NAME USERLAND PRESET CLASSES
chroot_suite() {
  local name=$1 root=$build/userlands/$2 preset=$3 classes=$4 started=$SECONDS rc
  local deb=$build/packages/libtillportcomm_${version}_amd64.deb out=$build/userlands/$name.log
  echo "--- $name"
  if [ ! -f "$root.stamp" ]; then
    echo "no userland $root: run scripts/setup.sh" | tee "$out"
    record "$name" 0 "$out" 1
    return
  fi
  # A private mount namespace: every mount below ends with the suite.
  unshare -m --propagation private bash -s "$root" "$repo" "$build" <<'EOF' \
    "$repo/tests/userland/suite.sh" "$build/$preset" "$deb" "$jar" "$junit" "$classes" 2>&1 | tee "$out"
set -e
root=$1 repo=$2 build=$3
shift 3
mount --rbind /dev "$root/dev"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
mount -t tmpfs -o mode=0755 tmpfs "$root/run"
mkdir -p "$root$repo"
mount --bind "$repo" "$root$repo"
mount -o remount,bind,ro "$root$repo"
mount --bind "$build" "$root$build"
exec chroot "$root" /bin/sh "$@"
EOF
  rc=${PIPESTATUS[0]}
  record "$name" "$((SECONDS - started))" "$out" "$rc"
}

# machine_suite NAME USERLAND MACHINE PRESET CLASSES
machine_suite() {
  local name=$1 root=$build/userlands/$2 machine=$3 preset=$4 classes=$5 started=$SECONDS rc
  local deb=$build/packages/libtillportcomm_${version}_${machine}.deb out=$build/userlands/$name.log
  echo "--- $name"
  if [ ! -f "$root.stamp" ]; then
    echo "no userland $root: run scripts/setup.sh" | tee "$out"
    record "$name" 0 "$out" 1
    return
  fi
  bash scripts/arm-machine.sh stop "$machine"
  if bash scripts/arm-machine.sh start "$machine" --owner userland --root "$root"; then
    bash scripts/arm-machine.sh exec "$machine" "$repo/tests/userland/suite.sh" \
      "$build/$preset" "$deb" "$jar" "$junit" "$classes" 2>&1 | tee "$out"
    rc=${PIPESTATUS[0]}
  else
    rc=1
    echo "the $machine machine did not boot with $root" >"$out"
  fi
  bash scripts/arm-machine.sh stop "$machine" --owner userland
  record "$name" "$((SECONDS - started))" "$out" "$rc"
}

arm_classes=$short_arm
[ "$full" = 1 ] && arm_classes=$device_free
chroot_suite debian11-amd64 bullseye-amd64 host "$device_free"
chroot_suite debian13-amd64 trixie-amd64 host "$every"
machine_suite debian11-armhf bullseye-armhf armhf arm32 "$arm_classes"
machine_suite debian11-arm64 bullseye-arm64 arm64 arm64 "$arm_classes"
exit "$status"
