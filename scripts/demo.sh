#!/usr/bin/env bash
# The print job end to end without a printer: installs what is missing, builds the
# libraries, starts the virtual network printer on a free loopback port, runs the Java demo
# (open, sample receipt, status request, close) with the library's log on standard
# output, then shows what the printer received and stops it (scripts/print-demo.sh). Last,
# tillportcomm decodes the status of the virtual printer in each state it can report. The
# ARM64 build gets the printer and the demo too, for the emulated ARM64 till:
#   scripts/arm-machine.sh arm64 scripts/print-demo.sh build/arm64
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then
  sudo scripts/setup.sh
else
  scripts/setup.sh
fi

# The deliverables for both ARM processors and the development host, then the demo's parts.
mkdir -p build
for preset in arm32 arm64 host; do
  cmake --preset "${preset}" >"build/${preset}.log" 2>&1 || { cat "build/${preset}.log"; exit 1; }
  cmake --build build/"${preset}" -j "$(nproc)" --target tillportcomm >>"build/${preset}.log" 2>&1 \
    || { tail -n 60 "build/${preset}.log"; exit 1; }
done
for preset in host arm64; do
  cmake --build build/"${preset}" -j "$(nproc)" --target virtual_printer java_demo tillportcomm_tool \
    >>build/"${preset}".log 2>&1 || { tail -n 60 build/"${preset}".log; exit 1; }
done
ls -l build/arm32/libtillportcommARM32.so build/arm64/libtillportcommARM64.so build/host/libtillportcommX64.so

status=0
sh scripts/print-demo.sh build/host || status=$?

# The technician's tool decodes what a printer reports: the virtual printer in each state.
work=$(mktemp -d)
printer_pid=""
cleanup() {
  if [ -n "$printer_pid" ] && kill -0 "$printer_pid" 2>/dev/null; then
    kill -TERM "$printer_pid" 2>/dev/null || true
    wait "$printer_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
echo
echo "=== tillportcomm status: the virtual printer in each state it can report ==="
for state in ok near-end paper-out cover-open offline; do
  : >"$work/state.txt"
  build/host/tools/virtual_printer --port 0 --quiet --status "$state" --max-seconds 30 >"$work/state.txt" 2>&1 &
  printer_pid=$!
  port=""
  for _ in $(seq 1 100); do
    port=$(awk '/^virtual_printer listening/ {print $NF; exit}' "$work/state.txt")
    [ -n "$port" ] && break
    kill -0 "$printer_pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "--- virtual_printer --status $state"
  if [ -n "$port" ]; then
    build/host/tools/tillportcomm status "tcp:127.0.0.1:$port" || echo "(exit status $?)"
  else
    cat "$work/state.txt"
  fi
  kill -TERM "$printer_pid" 2>/dev/null || true
  wait "$printer_pid" 2>/dev/null || true
  printer_pid=""
done
exit "$status"
