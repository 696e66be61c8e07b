#!/bin/sh
# The print job of the demo, on a build tree that holds the library, the virtual network
# printer and the demo classes (scripts/demo.sh builds them): starts the printer on a free
# loopback port, runs the Java demo (open, sample receipt, status request, close) with the
# library's log on standard output, then shows what the printer received and stops it.
# Last, tillportcomm decodes the status of the virtual printer in each state it can report.
# Plain POSIX sh, so it runs in the emulated ARM machines too:
#   scripts/arm-machine.sh arm64 scripts/print-demo.sh build/arm64
set -eu
build=$(cd "${1:?usage: print-demo.sh BUILD_DIR}" && pwd)

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

# start_printer OUTPUT ARGS...: starts the virtual printer on a free loopback port with
# ARGS, its output in OUTPUT; sets printer_pid and port, or fails the demo.
start_printer() {
  out=$1
  shift
  : >"$out"  # exists before the wait below reads it, however late the printer starts
  "$build/tools/virtual_printer" --port 0 "$@" >"$out" 2>&1 &
  printer_pid=$!
  port=""
  tries=0
  while [ "$tries" -lt 200 ]; do
    port=$(awk '/^virtual_printer listening/ {print $NF; exit}' "$out")
    [ -n "$port" ] && return 0
    kill -0 "$printer_pid" 2>/dev/null || break
    sleep 0.05
    tries=$((tries + 1))
  done
  echo "demo: the virtual printer did not start:" >&2
  cat "$out" >&2
  exit 1
}

stop_printer() {
  kill -TERM "$printer_pid" 2>/dev/null || true
  wait "$printer_pid" 2>/dev/null || true
  printer_pid=""
}

start_printer "$work/printer.txt" --record "$work/received.bin" --max-seconds 120
library=$(ls "$build"/libtillportcomm*.so | head -n 1)
echo "=== Java demo on $(uname -m): library log (standard output) ==="
status=0
java -Dtillportcomm.library="$library" \
  -cp "$build/java/classes:$build/java/demo-classes" PrintDemo 127.0.0.1 "$port" || status=$?

stop_printer
echo
echo "=== Virtual printer on port $port: what it received ==="
cat "$work/printer.txt"
echo "($(wc -c <"$work/received.bin") bytes recorded)"

# The technician's tool decodes what a printer reports: the virtual printer in each state.
echo
echo "=== tillportcomm status: the virtual printer in each state it can report ==="
for state in ok near-end paper-out cover-open offline; do
  start_printer "$work/state.txt" --quiet --status "$state" --max-seconds 30
  echo "--- virtual_printer --status $state"
  "$build/tools/tillportcomm" status "tcp:127.0.0.1:$port" || echo "(exit status $?)"
  stop_printer
done
exit "$status"
