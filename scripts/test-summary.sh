#!/usr/bin/env bash
# Counts the test cases in a ctest JUnit report (ctest --output-junit FILE): the GoogleTest
# and JUnit cases each ctest entry ran, read from their own summaries, so a program that runs
# many cases (a shard, a JVM test class) counts them all. An entry without such a summary
# (a crash, a time-out, the export check) counts as one case. The machine fixture's entries
# (arm_machine.*) are not tests and are left out.
# Prints "PASSED FAILED SKIPPED".
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 JUNIT_XML" >&2; exit 2; }

awk '
  function finish() {
    if (name == "" || name ~ /^arm_machine\./) return
    if (counted) {
      passed += p; failed += f; skipped += s
      if (status == "fail" && f == 0) failed++
    } else if (status == "fail") {
      failed++
    } else if (status == "notrun" || status == "disabled") {
      skipped++
    } else {
      passed++
    }
  }
  /<testcase / {
    finish()
    name = $0; sub(/.*<testcase name="/, "", name); sub(/".*/, "", name)
    status = $0; sub(/.* status="/, "", status); sub(/".*/, "", status)
    counted = 0; p = 0; f = 0; s = 0
    next
  }
  # GoogleTest: "[  PASSED  ] 12 tests.", "[  FAILED  ] 1 test, listed below:", "[  SKIPPED ] 2 tests, ..."
  /^\[  PASSED  \] [0-9]+ test/ { counted = 1; p = $4 }
  /^\[  FAILED  \] [0-9]+ test/ { counted = 1; f = $4 }
  /^\[  SKIPPED \] [0-9]+ test/ { counted = 1; s = $4 }
  # JUnit console: "[         2 tests successful      ]" and likewise failed, skipped, aborted
  /^\[ +[0-9]+ tests successful +\]/ { counted = 1; p = $2 }
  /^\[ +[0-9]+ tests failed +\]/ { counted = 1; f += $2 }
  /^\[ +[0-9]+ tests aborted +\]/ { counted = 1; f += $2 }
  /^\[ +[0-9]+ tests skipped +\]/ { counted = 1; s = $2 }
  END { finish(); printf "%d %d %d\n", passed, failed, skipped }
' "$1"
