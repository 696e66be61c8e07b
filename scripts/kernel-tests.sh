#!/usr/bin/env bash
# The kernel phase: the library on the kernel's own drivers, in an emulated ARM machine of
# scripts/arm-machine.sh booted with a 16550 UART on PCI (--uart). Inside, tests/kernel/guest.sh
# loads the kernel's USB modules (from the kernel package scripts/setup.sh fetches), makes two
# USB printer gadgets on dummy_hcd through configfs, plays the two printers and the far end
# of the UART with tools/device_printer, and runs the JVM suite of java/kernel against
# LIBRARY (default: this build's library of that processor) in the ARM JVM; then a benchmark
# line for a 1 MiB USB write. Prints PASS/FAIL for each case and a summary line, writes
# "NAME PASSED FAILED SKIPPED SECONDS" to FILE, and exits non-zero when anything failed.
#
#   scripts/kernel-tests.sh arm64|armhf [LIBRARY] [--before LIBRARY] [--results FILE]
#
# --before names a second library whose 1 MiB write the benchmark measures beside LIBRARY's.
# Run after the build of the processor's preset (arm64, arm32). A machine of that processor
# already running with --uart is used as it is; otherwise one is booted, and powered off
# at the end.
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=$repo/build

usage() {
  sed -n '11p' "$0" | sed 's/^# *//' >&2
  exit 2
}
[ $# -ge 1 ] || usage
arch=$1
shift
case "$arch" in
  arm64) preset=arm64 tag=ARM64 ;;
  armhf) preset=arm32 tag=ARM32 ;;
  *) usage ;;
esac
library=$build/$preset/libtillportcomm$tag.so
before=""
results=""
while [ $# -gt 0 ]; do
  case "$1" in
    --before) [ $# -ge 2 ] || usage; before=$2; shift ;;
    --results) [ $# -ge 2 ] || usage; results=$2; shift ;;
    -*) usage ;;
    *) library=$1 ;;
  esac
  shift
done
name=$arch-kernel
started=$SECONDS
out=$build/kernel-tests/$arch/suite.log
mkdir -p "$build/kernel-tests/$arch"
[ -n "$results" ] && : >"$results"

# report PASSED FAILED SKIPPED: the summary line and the results file.
report() {
  echo "$name: $1 passed, $2 failed, $3 skipped in $((SECONDS - started)) s"
  [ -n "$results" ] && echo "$name $1 $2 $3 $((SECONDS - started))" >>"$results"
  [ "$2" -eq 0 ]
  exit
}

for needed in "$library" "$build/$preset/tools/device_printer" "$build/$preset/tests/usb_write_bench" \
              "$build/$preset/java/kernel-classes" ${before:+"$before"}; do
  [ -e "$needed" ] || { echo "FAIL: $needed is missing (build the $preset preset first)"; report 0 1 0; }
done

# The libraries the guest loads, copied into the build tree under names of their own: the
# guest sees the build tree (not the host's /tmp), and caches what it has looked at.
copies=$build/kernel-tests/$arch/libraries
mkdir -p "$copies"
stamp=$(date +%s%N)
cp "$library" "$copies/$stamp-$(basename "$library")" && library=$copies/$stamp-$(basename "$library")
if [ -n "$before" ]; then
  cp "$before" "$copies/$stamp-before-$(basename "$before")" && before=$copies/$stamp-before-$(basename "$before")
fi
find "$copies" -name '*.so' ! -name "$stamp-*" -delete

# The modules and those they need, in loading order, from the fetched kernel package.
root=$build/machines/$arch/root
version=$(basename "$(ls -d "$root"/lib/modules/* 2>/dev/null | head -n 1)")
[ -f "$root/lib/modules/$version/modules.dep" ] || depmod -b "$root" "$version"
modules=()
for module in configfs dummy_hcd libcomposite usb_f_printer usblp; do
  while read -r _ path _; do
    [[ " ${modules[*]} " == *" $path "* ]] || modules+=("$path")
  done < <(modprobe -d "$root" -S "$version" --show-depends "$module" 2>/dev/null)
done
if [ "${#modules[@]}" -lt 5 ]; then
  echo "FAIL: the USB modules are missing from $root (run scripts/setup.sh)"
  report 0 1 0
fi

if ! bash scripts/arm-machine.sh start "$arch" --owner kernel-tests --uart; then
  echo "FAIL: the $arch machine did not boot with its UART"
  report 0 1 0
fi
bash scripts/arm-machine.sh exec "$arch" "$repo/tests/kernel/guest.sh" "$build/$preset" "$library" "$before" \
  "${modules[@]}" 2>&1 | tee "$out"
rc=${PIPESTATUS[0]}
bash scripts/arm-machine.sh stop "$arch" --owner kernel-tests
rm -f "$library" ${before:+"$before"}

counts=$(sed -n 's/^kernel cases: //p' "$out" | tail -n 1)
[ -n "$counts" ] || counts="0 1 0"
read -r p f s <<<"$counts"
[ "$rc" -ne 0 ] && [ "$f" -eq 0 ] && f=1
report "$p" "$f" "$s"
