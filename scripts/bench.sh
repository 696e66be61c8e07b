#!/usr/bin/env bash
# Loopback benchmark of the TCP path against plain Java sockets (not a test). Builds the
# host preset's library and demo classes, then runs EthBenchmark; the log of part (c)
# goes to a temporary file (and its rotated copy), removed afterwards. Then what a wait for
# a silent printer costs in CPU on each transport (emulated serial and USB printers, under
# umockdev-wrapper), and what the thread guards cost a status round trip.
# Arguments: round trips per sample (default 2000) and 1 MiB jobs per sample (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset host >/dev/null
cmake --build build/host -j2 --target tillportcomm java_demo guard_benchmark wait_benchmark >/dev/null
log=$(mktemp /tmp/tillportcomm-bench-XXXXXX.log)
trap 'rm -f "$log" "$log.1"' EXIT
library=$(ls build/host/libtillportcomm*.so | head -n 1)
TILLPORTCOMM_LOG_FILE="$log" java -Dtillportcomm.library="$PWD/$library" \
  -cp build/host/java/classes:build/host/java/demo-classes EthBenchmark "$@"
echo
umockdev-wrapper build/host/tests/wait_benchmark
echo
build/host/tests/guard_benchmark
