#!/bin/sh
# Two JVMs started at once, each with an empty java.library.path and the same new home, load
# the jar's library for this processor and print the demo receipt to one virtual printer.
# Both must load the copy in HOME/.cache/tillportcomm (a folder of this user's, mode 0700,
# holding that one file and no leftover temporary one), the copy must have the SHA-256 the
# jar gives, and the printer must receive both receipts. POSIX sh: it runs on the host and,
# through scripts/arm-machine.sh, inside the emulated ARM machines.
# The JVMs run in a folder of their own: an empty java.library.path means the working
# directory, which must not hold a library.
# Arguments (absolute paths): JVM, virtual printer program, jar, demo classes directory,
# library tag (X64, ARM32, ARM64), the jar's SHA-256 of that library, then options for the JVM.
set -u
java=$1 printer=$2 jar=$3 demo=$4 tag=$5 sum=$6
shift 6
work=$(mktemp -d)
printer_pid=""
jvm_pids=""
cleanup() {
  for pid in $jvm_pids $printer_pid; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT
fail() {
  for file in "$work"/demo*.txt; do [ -f "$file" ] && cat "$file"; done
  echo "FAIL ($tag, the jar's library): $*" >&2
  exit 1
}

mkdir "$work/home" "$work/received"
cd "$work" || exit 1
: >"$work/printer.txt"
"$printer" --port 0 --quiet --record-dir "$work/received" --max-seconds 120 >"$work/printer.txt" 2>&1 &
printer_pid=$!
port=""
tries=0
while [ -z "$port" ] && [ "$tries" -lt 200 ] && kill -0 "$printer_pid" 2>/dev/null; do
  port=$(sed -n 's/^virtual_printer listening.* \([0-9][0-9]*\)$/\1/p' "$work/printer.txt" | head -n 1)
  [ -n "$port" ] || sleep 0.05
  tries=$((tries + 1))
done
[ -n "$port" ] || { cat "$work/printer.txt"; fail "the virtual printer did not start"; }

for n in 1 2; do
  "$java" "$@" -Djava.library.path= -Duser.home="$work/home" -cp "$jar:$demo" PrintDemo 127.0.0.1 "$port" \
    >"$work/demo$n.txt" 2>&1 &
  jvm_pids="$jvm_pids $!"
done
status=0
for pid in $jvm_pids; do wait "$pid" || status=1; done
jvm_pids=""
[ "$status" -eq 0 ] || fail "a JVM failed"

folder=$work/home/.cache/tillportcomm
for n in 1 2; do
  grep -q "^PrintDemo: receipt sent; printer status 0x12: online" "$work/demo$n.txt" || fail "JVM $n did not print"
  grep "^PrintDemo: library " "$work/demo$n.txt"
  grep -q "^PrintDemo: library $folder/libtillportcomm$tag-[0-9a-f]\{16\}\.so, loaded in" "$work/demo$n.txt" \
    || fail "JVM $n did not load the jar's copy in $folder"
done
[ "$(stat -c '%a %u' "$folder")" = "700 $(id -u)" ] \
  || fail "$folder is $(stat -c 'mode %a, owner %u' "$folder"), not mode 700 and this user's ($(id -u))"
files=$(ls -A "$folder")
case "$files" in
  "libtillportcomm$tag-"*.so) ;;
  *) fail "$folder holds '$files', not one copy of the library" ;;
esac
[ "$(sha256sum <"$folder/$files" | cut -d' ' -f1)" = "$sum" ] || fail "$folder/$files is not the jar's library"

kill "$printer_pid"
wait "$printer_pid" 2>/dev/null
printer_pid=""
receipts=$(grep -l "Thank you!" "$work"/received/* 2>/dev/null | wc -l)
[ "$receipts" -eq 2 ] || { cat "$work/printer.txt"; fail "the printer received $receipts receipts, not 2"; }
echo "two JVMs at once loaded the jar's $tag library from $folder and printed"
