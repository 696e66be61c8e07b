#!/usr/bin/env bash
# The print job end to end without a printer: installs what is missing, builds the
# libraries, starts the virtual network printer on a free loopback port, runs the Java demo
# (open, sample receipt, status request, close) with the library's log on standard
# output, then shows what the printer received and stops it; last, tillportcomm decodes the
# status of the virtual printer in each state it can report (scripts/print-demo.sh). The
# ARM64 build gets the printer, the tool and the demo too, for the emulated ARM64 till:
#   scripts/arm-machine.sh arm64 scripts/print-demo.sh build/arm64
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

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

sh scripts/print-demo.sh build/host
