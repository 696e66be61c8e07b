#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds the host library, the ASan + UBSan
# build, the ThreadSanitizer build and the ARM32 and ARM64 builds, and the Debian packages
# and jars, then runs their tests: the host's C++, package and JVM tests, the sanitized C++
# tests, and for ARM32 and ARM64 the C++ tests and the JVM tests (the ARM JVM loading the
# ARM library) inside the emulated ARM machines of scripts/arm-machine.sh, one boot per
# machine. Then the kernel phase: for ARM32 and ARM64 the JVM suite on the kernel's own
# drivers (USB printer gadgets on dummy_hcd with usblp, a 16550 UART) in one more boot of
# each machine (scripts/kernel-tests.sh). Last, the deliverables on the tills' own
# releases: Debian 11 and 13 userlands made of their own packages, where the tool, the JVM
# tests and the package run with those releases' C library, JVM, dpkg and apt
# (scripts/userland-tests.sh; the emulated ARM machines run a shorter JVM selection there
# unless --full is given). Every suite runs even
# when an earlier one failed; the closing lines give each phase's time and each suite's
# cases passed, failed and skipped, and the script exits non-zero when anything failed.
#
#   scripts/test.sh [--full]
set -uo pipefail
cd "$(dirname "$0")/.."
userland_options=()
case "${1:-}" in
  --full) userland_options=(--full) ;;
  "") ;;
  *) echo "usage: scripts/test.sh [--full]" >&2; exit 2 ;;
esac

jobs=$(nproc)
phases=()     # "name seconds"
suites=()     # "name passed failed skipped seconds"
retries=()    # "name: count" of cases that passed only on a second try
status=0
phase_start=0
begin() {
  echo "=== $1"
  phase_start=$SECONDS
}
end() {
  phases+=("$1 $((SECONDS - phase_start))")
}

begin "setup: packages and the emulated machines' parts"
bash scripts/setup.sh || exit 1
mkdir -p build
end setup

begin "build: host, asan, tsan, arm32, arm64"
for preset in host asan tsan arm32 arm64; do
  if ! cmake --preset "${preset}" >"build/${preset}.log" 2>&1; then
    cat "build/${preset}.log"
    exit 1
  fi
  if ! cmake --build --preset "${preset}" -j "${jobs}" >>"build/${preset}.log" 2>&1; then
    tail -n 60 "build/${preset}.log"
    exit 1
  fi
done
end build

# The packages and jars a till installs; the host suite's package.* tests check them.
begin "packages: build and lintian"
if ! bash scripts/package.sh >build/package.log 2>&1; then
  tail -n 60 build/package.log
  exit 1
fi
end packages

# run_suite NAME PRESET [CTEST ARGS...]: one ctest run, its cases counted from its report.
run_suite() {
  local name=$1 preset=$2
  shift 2
  local report=build/${preset}/Testing/${name}.xml started=$SECONDS result=0
  local output=build/${preset}/Testing/${name}.log
  echo "--- ${name}"
  mkdir -p "build/${preset}/Testing"
  ctest --preset "${preset}" --timeout 900 --output-junit "${PWD}/${report}" \
    --test-output-size-passed 1048576 --test-output-size-failed 1048576 "$@" 2>&1 | tee "${output}"
  result=${PIPESTATUS[0]}
  local counts retried
  counts=$(bash scripts/test-summary.sh "${report}" 2>/dev/null || echo "0 1 0")
  # With --repeat until-pass, a case that passed on a later try is reported on a line of
  # its own without the "n/N" progress count.
  retried=$(grep -cE '^ +Test +#[0-9]+: .* Passed' "${output}")
  if [ "${retried}" -gt 0 ]; then
    echo "${name}: ${retried} case(s) passed only on a second try:"
    grep -E '^ +Test +#[0-9]+: .* Passed' "${output}"
    retries+=("${name}: ${retried}")
  fi
  if [ "${result}" -ne 0 ]; then
    status=1
    # A failed run counts at least one failed case, whatever its report says.
    read -r p f s <<<"${counts}"
    [ "${f}" -eq 0 ] && counts="${p} 1 ${s}"
  fi
  suites+=("${name} ${counts} $((SECONDS - started))")
}

# add_results FILE NAME: the suites a script wrote to FILE ("NAME PASSED FAILED SKIPPED
# SECONDS" a line); one that wrote nothing counts as a failed suite NAME.
add_results() {
  if [ -s "$1" ]; then
    while read -r name passed failed skipped seconds; do
      suites+=("${name} ${passed} ${failed} ${skipped} ${seconds}")
    done <"$1"
  else
    status=1
    suites+=("$2 0 1 0 0")
  fi
}

begin "host: C++ and JVM tests"
# The C++ suite is every test not labelled jvm, so a test added without a label still runs.
run_suite host-c++ host -LE 'jvm|machine'
run_suite host-jvm host -L jvm
end host-tests

begin "asan: C++ tests with ASan + UBSan"
run_suite asan-c++ asan
end asan-tests

begin "tsan: device-free C++ tests with ThreadSanitizer"
run_suite tsan-c++ tsan
end tsan-tests

# One boot per machine serves both of its suites; the ctest fixture leaves a machine it did
# not boot running, and this script powers it off.
for pair in arm32:armhf arm64:arm64; do
  preset=${pair%%:*}
  machine=${pair#*:}
  begin "${preset}: C++ and JVM tests in the emulated ${machine} machine"
  booted=$SECONDS
  if bash scripts/arm-machine.sh start "${machine}" --owner test.sh; then
    phases+=("${preset}-boot $((SECONDS - booted))")
    # The emulated machine's speed follows the host's load, and its tests run four at a
    # time on two emulated cores: a case whose timing lost to that gets a second try, and
    # the summary names it. The host and sanitizer suites give no second try.
    run_suite "${preset}-c++" "${preset}" -LE jvm --repeat until-pass:2
    run_suite "${preset}-jvm" "${preset}" -L jvm --repeat until-pass:2
    # The package of this processor, unpacked and loaded by the ARM JVM in this machine.
    run_suite "${preset}-package" host -L machine -R "\\.${machine}\$"
  else
    status=1
    suites+=("${preset}-c++ 0 1 0 0" "${preset}-jvm 0 1 0 0")
  fi
  bash scripts/arm-machine.sh stop "${machine}" --owner test.sh
  end "${preset}-tests"
done

# The library on the kernel's own USB stack and 8250 driver: one boot of each machine with
# its UART, one JVM for the whole suite, then the USB write benchmark line.
for machine in armhf arm64; do
  begin "${machine}-kernel: the JVM suite on the kernel's own drivers"
  results=build/kernel-tests/${machine}/results.txt
  mkdir -p "build/kernel-tests/${machine}"
  rm -f "${results}"
  bash scripts/kernel-tests.sh "${machine}" --results "${results}" || status=1
  add_results "${results}" "${machine}-kernel"
  end "${machine}-kernel"
done

begin "userlands: Debian 11 and 13 with their own C library, JVM and apt"
results=build/userlands/results.txt
rm -f "${results}"
bash scripts/userland-tests.sh "${userland_options[@]}" --results "${results}" || status=1
add_results "${results}" userlands
end userland-tests

echo
echo "=== Phases (seconds, wall clock)"
total=0
for phase in "${phases[@]}"; do
  read -r name seconds <<<"${phase}"
  printf '  %-14s %5d\n' "${name}" "${seconds}"
  case "${name}" in *-boot) ;; *) total=$((total + seconds)) ;; esac
done
printf '  %-14s %5d\n' total "${total}"
echo "=== Suites (cases)"
all_passed=0 all_failed=0 all_skipped=0
for suite in "${suites[@]}"; do
  read -r name passed failed skipped seconds <<<"${suite}"
  printf '  %-14s %5d passed, %d failed, %d skipped  (%d s)\n' "${name}" "${passed}" "${failed}" "${skipped}" "${seconds}"
  all_passed=$((all_passed + passed))
  all_failed=$((all_failed + failed))
  all_skipped=$((all_skipped + skipped))
done
for retry in "${retries[@]}"; do
  echo "  passed on a second try, ${retry}"
done
echo "all: ${all_passed} passed, ${all_failed} failed, ${all_skipped} skipped"
exit "${status}"
