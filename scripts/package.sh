#!/usr/bin/env bash
# Builds what a till installs, into build/packages: the Debian packages of the library for
# amd64, armhf and arm64 (CPack, from the host, arm32 and arm64 presets), the jar with
# CommonComPort and the libraries of all three processors (the host's build packs it once
# the ARM builds have made theirs), its sources jar and its Maven pom.xml. Installs what is
# missing first, then checks the packages with lintian and fails on any error.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

out=build/packages
mkdir -p build
for preset in arm32 arm64 host; do
  echo "=== ${preset}: configure and build the package's contents"
  cmake --preset "${preset}" >"build/${preset}.log" 2>&1 || { cat "build/${preset}.log"; exit 1; }
  cmake --build build/"${preset}" -j "$(nproc)" --target package_payload >>"build/${preset}.log" 2>&1 \
    || { tail -n 60 "build/${preset}.log"; exit 1; }
done

rm -rf "${out}"
mkdir -p "${out}"
for preset in host arm32 arm64; do
  cpack --config "build/${preset}/CPackConfig.cmake" -B "${out}" >"build/${preset}-cpack.log" 2>&1 \
    || { cat "build/${preset}-cpack.log"; exit 1; }
done
rm -rf "${out}/_CPack_Packages"
cp build/host/jar/tillportcomm-*.jar build/host/jar/pom.xml "${out}/"

echo "=== lintian"
status=0
lintian --fail-on error "${out}"/*.deb >build/lintian.log 2>&1 || status=$?
grep -v '^running with root privileges' build/lintian.log || true
[ "${status}" -eq 0 ] || { echo "lintian found errors (or could not run)" >&2; exit 1; }

for deb in "${out}"/*.deb; do
  echo "=== $(basename "${deb}")"
  dpkg-deb -f "${deb}" Depends | sed 's/^/Depends: /'
  dpkg-deb -c "${deb}" | awk '$1 !~ /^d/ {print "  " substr($6, 2)}'
done
ls -l "${out}"
