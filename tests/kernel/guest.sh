#!/bin/sh
# The kernel phase inside an emulated ARM machine booted with --uart (scripts/kernel-tests.sh
# starts it there; busybox sh, as root). Loads the USB modules, makes two USB printer gadgets
# through configfs on dummy_hcd (two host controllers joined to two device controllers), on
# which the kernel enumerates two printers and binds its printer driver usblp, and plays the
# printers with tools/device_printer: the two gadgets' device sides and the far end of the
# machine's 16550 UART (/dev/ttyS0). Then the JVM suite of java/kernel drives the library
# against them, and the USB write benchmark measures a 1 MiB write.
# Prints a line "PASS: ..." or "FAIL: ..." for each case and ends with
# "kernel cases: PASSED FAILED SKIPPED"; exits non-zero on a failure.
#   guest.sh BUILD LIBRARY BEFORE MODULE...
# BUILD is the preset's build tree, LIBRARY the library under test, BEFORE another library
# whose 1 MiB write the benchmark measures beside it ("" for none), MODULE the kernel modules
# to load, in the order their dependencies need.
set -u
build=$1 library=$2 before=$3
shift 3
passed=0 failed=0 skipped=0
pass() { passed=$((passed + 1)); echo "PASS: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
finish() {
  echo "kernel cases: $passed $failed $skipped"
  [ "$failed" -eq 0 ]
  exit
}

# Only the emulated machine's own devices: never a real machine's USB or serial ports.
if [ ! -f /run/arm-machine/agent.sh ]; then
  fail "not inside an emulated ARM machine"
  finish
fi
vendor=0x0c3b product=0x0a1f
work=$(mktemp -d)
printers=""
cleanup() {
  for pid in $printers; do kill "$pid" 2>/dev/null; done
  for pid in $printers; do wait "$pid" 2>/dev/null; done
  # A printer the suite left unplugged is back on the bus for the next run in this machine.
  for port in "$work"/*.port; do
    [ -f "$port" ] && echo 0 >"$(cat "$port")" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

step() {  # step TEXT COMMAND...: runs COMMAND, a failed set-up step ends the suite
  text=$1
  shift
  if ! "$@" >"$work/step.txt" 2>&1; then
    cat "$work/step.txt"
    fail "set-up: $text"
    finish
  fi
}

# wait_for SECONDS TEST...: until TEST succeeds, every 0.1 s, at most SECONDS.
wait_for() {
  tries=$(($1 * 10))
  shift
  while ! "$@" 2>/dev/null; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

# The modules; dummy_hcd with two controller pairs, high speed (512-byte bulk packets).
load_modules() {
  for module in "$@"; do
    name=$(basename "$module" .ko)
    grep -q "^$(echo "$name" | tr - _) " /proc/modules && continue
    case "$name" in
      dummy_hcd) insmod "$module" num=2 || return 1 ;;
      *) insmod "$module" || return 1 ;;
    esac
  done
}
step "load $*" load_modules "$@"
grep -q " /sys/kernel/config configfs " /proc/mounts || step "mount configfs" mount -t configfs none /sys/kernel/config

# make_gadget N: the printer with serial number KT-000N on device controller dummy_udc.(N-1).
make_gadget() {
  g=/sys/kernel/config/usb_gadget/kt$1
  [ -d "$g" ] && return 0
  mkdir "$g" "$g/strings/0x409" "$g/functions/printer.kt$1" "$g/configs/c.1" "$g/configs/c.1/strings/0x409" \
    && echo $vendor >"$g/idVendor" && echo $product >"$g/idProduct" && echo 0x0200 >"$g/bcdUSB" \
    && echo "Kernel test printers" >"$g/strings/0x409/manufacturer" \
    && echo "Receipt printer $1" >"$g/strings/0x409/product" \
    && echo "KT-000$1" >"$g/strings/0x409/serialnumber" \
    && echo "MFG:Kernel test printers;MDL:Receipt printer $1;CMD:ESC/POS;CLS:PRINTER;" \
      >"$g/functions/printer.kt$1/pnp_string" \
    && echo "receipts" >"$g/configs/c.1/strings/0x409/configuration" \
    && ln -s "$g/functions/printer.kt$1" "$g/configs/c.1/" \
    && echo "dummy_udc.$(($1 - 1))" >"$g/UDC"
}
bound_to_usblp() {
  [ "$(basename "$(readlink "$1/driver")")" = usblp ]
}
for n in 1 2; do
  step "gadget $n" make_gadget $n
  # The host controller paired with the gadget's device controller: its bus, its port 1.
  bus=$(basename "$(ls -d /sys/devices/platform/dummy_hcd.$((n - 1))/usb[0-9]*)")
  bus=${bus#usb}
  echo "/sys/bus/usb/devices/$bus-0:1.0/usb$bus-port1/disable" >"$work/usb$n.port"
  echo "/sys/bus/usb/devices/$bus-1:1.0" >"$work/usb$n.interface"
  step "printer $n enumerated with usblp bound" wait_for 10 bound_to_usblp "/sys/bus/usb/devices/$bus-1:1.0"
done

uart_peer=""
for port in /sys/class/virtio-ports/*; do
  [ "$(cat "$port/name" 2>/dev/null)" = uart-peer ] && uart_peer=/dev/${port##*/}
done
[ -n "$uart_peer" ] || { fail "set-up: no uart-peer port (boot the machine with --uart)"; finish; }

# start_printer NAME DEVICE OPTION...: device_printer with its commands from a FIFO.
start_printer() {
  mkfifo "$work/$1.commands"
  name=$1 device=$2
  shift 2
  "$build/tools/device_printer" --device "$device" --record "$work/$name.record" "$@" \
    <>"$work/$name.commands" >"$work/$name.out" 2>&1 &
  printers="$printers $!"
  wait_for 20 grep -q "^device_printer ready" "$work/$name.out" || { cat "$work/$name.out"; return 1; }
}
for n in 1 2; do
  step "device printer $n" start_printer usb$n /dev/g_printer$((n - 1)) --port-disable "$(cat "$work/usb$n.port")"
done
# The serial printer reports paper out, so its four status answers differ.
step "serial printer" start_printer serial "$uart_peer" --status paper-out
{
  for n in 1 2; do
    echo "usb.$n.interface=$(cat "$work/usb$n.interface")"
  done
  echo "serial.line=/dev/ttyS0"
  echo "usb.product=${product#0x}"
} >"$work/printers.properties"

java_options="-XX:TieredStopAtLevel=1 -XX:+UseSerialGC"
# Every case ends within 60 s on a thread of its own: a call that never returns fails its
# case, and the suite goes on.
junit=/usr/share/java/junit-platform-console-standalone.jar
mkdir -p "$work/reports"
# The test classes by name: the 32-bit JVM cannot walk a folder of the 9p share.
selection=""
for class in "$build"/java/kernel-classes/orvik/services/posprinterPortComm/*Test.class; do
  selection="$selection --select-class orvik.services.posprinterPortComm.$(basename "$class" .class)"
done
# shellcheck disable=SC2086
TILLPORTCOMM_LOG_FILE=$work/tillportcomm.log java $java_options -Dtillportcomm.library="$library" \
  -Dtillportcomm.kernel.printers="$work" \
  -cp "$junit:$build/java/classes:$build/java/kernel-classes" org.junit.platform.console.ConsoleLauncher \
  --disable-banner --disable-ansi-colors --details=summary --fail-if-no-tests --reports-dir "$work/reports" \
  --config=junit.jupiter.execution.timeout.default=60s \
  --config=junit.jupiter.execution.timeout.thread.mode.default=SEPARATE_THREAD \
  $selection >"$work/jvm.txt" 2>&1
result=$?
# One line per case from the JUnit report.
awk '
  function flush() {
    if (name == "") return
    if (state == "fail") print "FAIL: " class "." name " (" time " s)" message
    else if (state == "skip") print "SKIP: " class "." name
    else print "PASS: " class "." name " (" time " s)"
    name = ""
  }
  /<testcase / {
    flush()
    name = $0; sub(/.* name="/, "", name); sub(/".*/, "", name)
    class = $0; sub(/.* classname="/, "", class); sub(/".*/, "", class); sub(/.*\./, "", class)
    time = $0; sub(/.* time="/, "", time); sub(/".*/, "", time)
    state = "pass"; message = ""
  }
  /<(failure|error)/ {
    state = "fail"
    m = $0
    if (m ~ /message="/) {
      sub(/.*message="/, "", m); sub(/".*/, "", m)
      gsub(/&lt;/, "<", m); gsub(/&gt;/, ">", m); gsub(/&quot;/, "\"", m)
      gsub(/&apos;/, "\047", m); gsub(/&amp;/, "\\&", m)
      message = ": " m
    }
  }
  /<skipped/ { state = "skip" }
  END { flush() }
' "$work"/reports/*.xml >"$work/cases.txt" 2>/dev/null
cat "$work/cases.txt"
ok=$(grep -c '^PASS: ' "$work/cases.txt")
bad=$(grep -c '^FAIL: ' "$work/cases.txt")
left=$(grep -c '^SKIP: ' "$work/cases.txt")
passed=$((passed + ok)) failed=$((failed + bad)) skipped=$((skipped + left))
if [ "$result" -ne 0 ]; then
  cat "$work/jvm.txt"
  [ "$bad" -eq 0 ] && fail "JVM suite (exit $result)"
fi

# The benchmark: a line of figures, not a case.
"$build/tests/usb_write_bench" --vendor $vendor --product $product --serial KT-0001 --library "$library" \
  ${before:+--before "$before"} || echo "usb write benchmark: failed"
finish
