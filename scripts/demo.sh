#!/usr/bin/env bash
# The main job: builds the host, ARM32 and ARM64 libraries and runs a small Java program
# that loads the host library, switches the log to standard output and makes control calls.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
mkdir -p build
for preset in host arm32 arm64; do
  cmake --preset "${preset}" > "build/${preset}.log" 2>&1 || { cat "build/${preset}.log"; exit 1; }
  cmake --build --preset "${preset}" -j "$(nproc)" >> "build/${preset}.log" 2>&1 || { tail -n 60 "build/${preset}.log"; exit 1; }
done
ls -l build/host/libtillportcommX64.so build/arm32/libtillportcommARM32.so build/arm64/libtillportcommARM64.so
java -Djava.library.path=build/host -cp build/host/java/classes:build/host/java/demo-classes ControlDemo
