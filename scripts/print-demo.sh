#!/bin/sh
# The print job of the demo, on a build tree that holds the library, the virtual network
# printer and the demo classes (scripts/demo.sh builds them): starts the printer on a free
# loopback port, runs the Java demo (open, sample receipt, status request, close) with the
# library's log on standard output, then shows what the printer received and stops it.
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

: >"$work/printer.txt"  # exists before the wait below reads it, however late the printer starts
"$build/tools/virtual_printer" --port 0 --record "$work/received.bin" --max-seconds 120 >"$work/printer.txt" 2>&1 &
printer_pid=$!
port=""
tries=0
while [ "$tries" -lt 200 ]; do
  port=$(awk '/^virtual_printer listening/ {print $NF; exit}' "$work/printer.txt")
  [ -n "$port" ] && break
  kill -0 "$printer_pid" 2>/dev/null || break
  sleep 0.05
  tries=$((tries + 1))
done
if [ -z "$port" ]; then
  echo "demo: the virtual printer did not start:" >&2
  cat "$work/printer.txt" >&2
  exit 1
fi

library=$(ls "$build"/libtillportcomm*.so | head -n 1)
echo "=== Java demo on $(uname -m): library log (standard output) ==="
status=0
java -Dtillportcomm.library="$library" \
  -cp "$build/java/classes:$build/java/demo-classes" PrintDemo 127.0.0.1 "$port" || status=$?

kill -TERM "$printer_pid"
wait "$printer_pid" || true
printer_pid=""
echo
echo "=== Virtual printer on port $port: what it received ==="
cat "$work/printer.txt"
echo "($(wc -c <"$work/received.bin") bytes recorded)"
exit "$status"
