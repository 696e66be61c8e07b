#!/usr/bin/env bash
# The whole test suite: installs what it needs, then builds and tests the host library, the
# ASan + UBSan build, the ThreadSanitizer build, and the ARM32 and ARM64 builds under
# qemu-user, then the Debian packages and jars. Exits non-zero on the first preset that
# fails; its ctest summary is then the last line printed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)
mkdir -p build

for preset in host asan tsan arm32 arm64; do
  echo "=== ${preset}: configure and build"
  cmake --preset "${preset}" > "build/${preset}.log" 2>&1 || { cat "build/${preset}.log"; exit 1; }
  cmake --build --preset "${preset}" -j "${jobs}" >> "build/${preset}.log" 2>&1 || { tail -n 60 "build/${preset}.log"; exit 1; }
done

# The packages and jars a till installs; the host suite's package.* tests check them.
echo "=== packages: build and lintian"
bash scripts/package.sh > build/package.log 2>&1 || { tail -n 60 build/package.log; exit 1; }

for preset in arm32 arm64 tsan asan host; do
  echo "=== ${preset}: tests"
  ctest --preset "${preset}" --timeout 900
done
