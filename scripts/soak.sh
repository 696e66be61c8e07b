#!/usr/bin/env bash
# Soak of the TCP path (not part of the test command). One virtual printer draws its faults
# at random for every connection (dropped or reset once idle, status sent unasked, late
# answers); several driver processes, each single-threaded, drive several ports each with
# jobs, status requests and now and then a close and a new open. At the end it prints the
# cycles run, each process's descriptors and resident memory before, midway and after, and the
# bytes the library reported written against the jobs the printer recorded whole.
#
#   scripts/soak.sh [seconds=120] [processes=4] [ports-per-process=4] [seed=1]
#
# PRINTER_OPTIONS adds options of the virtual printer, for example
# PRINTER_OPTIONS="--close-after 40000" to cut jobs in mid-flight as well.
#
# Exits 0 when no job reported written is missing at the printer and no process holds
# more descriptors after the run than before it.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-120}
processes=${2:-4}
ports=${3:-4}
seed=${4:-1}

cmake --preset host >/dev/null
cmake --build build/host -j2 --target virtual_printer soak_driver >/dev/null

work=$(mktemp -d /tmp/tillportcomm-soak-XXXXXX)
printer_pid=""
driver_pids=()
cleanup() {
  for pid in "${driver_pids[@]}" $printer_pid; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/record"
build/host/tools/virtual_printer --port 0 --quiet --chaos "$seed" --record-dir "$work/record" \
  --max-connections 256 --max-seconds $((seconds + 120)) ${PRINTER_OPTIONS:-} >"$work/printer.txt" 2>&1 &
printer_pid=$!
port=""
for _ in $(seq 1 100); do
  port=$(awk '/^virtual_printer listening/ {print $NF; exit}' "$work/printer.txt")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "soak: the virtual printer did not start" >&2; cat "$work/printer.txt" >&2; exit 1; }

echo "soak: ${processes} process(es) x ${ports} port(s) for ${seconds} s against 127.0.0.1:${port} (seed ${seed})"
for p in $(seq 1 "$processes"); do
  timeout $((seconds + 120)) build/host/tools/soak_driver --port "$port" --ports "$ports" --seconds "$seconds" \
    --id "$p" --seed $((seed * 1000 + p)) --jobs "$work/jobs-$p.txt" >"$work/driver-$p.txt" 2>&1 &
  driver_pids+=($!)
done
status=0
for pid in "${driver_pids[@]}"; do wait "$pid" || status=1; done
driver_pids=()

kill -TERM "$printer_pid"
wait "$printer_pid" || true
printer_pid=""

cat "$work"/driver-*.txt
verify_status=0
build/host/tools/soak_driver --verify --record-dir "$work/record" "$work"/jobs-*.txt | tee "$work/verify.txt" \
  || verify_status=$?
faults=$(grep -c ' faults:' "$work/printer.txt" || true)
drops=$(grep -c 'dropped while idle' "$work/printer.txt" || true)
resets=$(grep -c 'reset while idle' "$work/printer.txt" || true)

awk -v faults="$faults" -v drops="$drops" -v resets="$resets" '
  function field(name,   i, kv) {
    for (i = 2; i <= NF; i++) { split($i, kv, "="); if (kv[1] == name) return kv[2] }
    return ""
  }
  /^RESULT/ {
    n++; cycles += field("cycles"); ok += field("jobs_ok"); bytes += field("bytes_ok")
    failed += field("jobs_failed"); rok += field("reads_ok"); rfail += field("reads_failed")
    fds = fds sprintf(" %s->%s(closed %s, start %s)", field("fds_before"), field("fds_after"), field("fds_closed"), field("fds_start"))
    rss = rss sprintf(" %s->%s->%s", field("rss_before_kb"), field("rss_middle_kb"), field("rss_after_kb"))
    if (field("fds_after") + 0 > field("fds_before") + 0 || field("fds_closed") + 0 > field("fds_start") + 0) grew = 1
  }
  /^VERIFY/ { lost = field("bytes_lost"); lostjobs = field("jobs_lost"); recorded = field("printer_bytes"); conns = field("printer_connections") }
  END {
    printf "cycles:              %d in %d process(es)\n", cycles, n
    printf "jobs reported written: %d (%d bytes); jobs failed (exception): %d\n", ok, bytes, failed
    printf "status reads:        %d answered, %d failed\n", rok, rfail
    printf "printer:             %d connection(s), %d with faults (%d dropped, %d reset while idle), %d bytes recorded\n", conns, faults, drops, resets, recorded
    printf "lost:                %d byte(s) in %d job(s) reported written\n", lost, lostjobs
    printf "descriptors per process (before->after):%s\n", fds
    printf "resident kB per process (before->middle->after):%s\n", rss
    exit (grew ? 4 : 0)
  }' "$work"/driver-*.txt "$work/verify.txt" || status=1
[ "$verify_status" -eq 0 ] || status=1
exit "$status"
