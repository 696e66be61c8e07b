#!/usr/bin/env bash
# The print job end to end without a printer: installs what is missing, builds the
# libraries, starts the virtual network printer on a free loopback port, runs the Java demo
# (open, sample receipt, status request, close) with the library's log on standard
# output, then shows what the printer received and stops it. Last, tillportcomm decodes the
# status of the virtual printer in each state it can report.
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
cmake --build build/host -j "$(nproc)" --target virtual_printer java_demo tillportcomm_tool >>build/host.log 2>&1 \
  || { tail -n 60 build/host.log; exit 1; }
ls -l build/arm32/libtillportcommARM32.so build/arm64/libtillportcommARM64.so build/host/libtillportcommX64.so

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

# The output file exists before the printer starts, so the wait below never reads a missing file.
: >"$work/printer.txt"
build/host/tools/virtual_printer --port 0 --record "$work/received.bin" --max-seconds 120 >"$work/printer.txt" 2>&1 &
printer_pid=$!
port=""
for _ in $(seq 1 100); do
  port=$(awk '/^virtual_printer listening/ {print $NF; exit}' "$work/printer.txt")
  [ -n "$port" ] && break
  kill -0 "$printer_pid" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$port" ]; then
  echo "demo: the virtual printer did not start:" >&2
  cat "$work/printer.txt" >&2
  exit 1
fi

library=$(ls build/host/libtillportcomm*.so | head -n 1)
echo "=== Java demo: library log (standard output) ==="
status=0
java -Dtillportcomm.library="$PWD/$library" \
  -cp build/host/java/classes:build/host/java/demo-classes PrintDemo 127.0.0.1 "$port" || status=$?

kill -TERM "$printer_pid"
wait "$printer_pid" || true
printer_pid=""
echo
echo "=== Virtual printer on port $port: what it received ==="
cat "$work/printer.txt"
echo "($(wc -c <"$work/received.bin") bytes recorded)"

# The technician's tool decodes what a printer reports: the virtual printer in each state.
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
