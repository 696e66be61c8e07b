#!/usr/bin/env bash
# Installs the amd64 package on this machine (dpkg --install, which also checks that its
# Depends are met), runs the print demo against a virtual printer on loopback with the
# installed library -- found by System.loadLibrary on the JVM's own java.library.path, with
# no library property and no LD_LIBRARY_PATH -- then purges the package and checks that
# nothing is left of it.
# Before the install the same demo loads the library the jar carries (from a private folder
# in a home of the test's own); with the package installed it must load the package's file,
# as /proc/self/maps shows, although the jar still carries its own. Leaves an already
# installed libtillportcomm alone (fails instead); purges what it installed even when a step
# fails. Needs root (skipped otherwise).
# Arguments: package file, jar, demo classes directory, virtual printer program,
# package version (upstream-revision).
set -euo pipefail
deb=$1 jar=$2 demo_classes=$3 printer_program=$4 version=$5
package=libtillportcomm

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
[ -d "$(dirname "$deb")" ] || skip "no packages built yet: run bash scripts/package.sh"
[ -f "$deb" ] || fail "$deb is missing: run bash scripts/package.sh"
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
state=$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null || true)
case "$state" in
  "" | "un " | "pn ") ;;
  *) fail "$package is already on this machine (dpkg state '${state% }', version" \
          "$(dpkg-query -W -f='${Version}' "$package")). This test installs and purges the package," \
          "so it leaves an existing one alone: purge it first (apt-get purge $package)." ;;
esac

deb=$(realpath "$deb")
work=$(mktemp -d)
installed=0
printer_pid=""
# dpkg, waiting (at most 2 minutes) while another apt or dpkg holds its lock.
dpkg_waiting() {
  local output
  for _ in $(seq 1 24); do
    if output=$(dpkg "$@" 2>&1); then return 0; fi
    grep -q "lock" <<<"$output" || break
    sleep 5
  done
  echo "$output" >&2
  return 1
}
cleanup() {
  # Only the script itself cleans up, not a child forked for the printer that a signal
  # reached before it started the program.
  [ "$BASHPID" = "$$" ] || return 0
  if [ -n "$printer_pid" ]; then
    kill -TERM "$printer_pid" 2>/dev/null || true
    wait "$printer_pid" 2>/dev/null || true
  fi
  if [ "$installed" = 1 ]; then
    echo "purging $package after a failed step"
    dpkg_waiting --purge "$package" || echo "could not purge $package: purge it by hand" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# The demo with nothing but the JVM's defaults to find the library; a home of its own for
# the jar's copy.
mkdir "$work/home"
run_demo() {
  env -u LD_LIBRARY_PATH -u JAVA_TOOL_OPTIONS -u JDK_JAVA_OPTIONS -u _JAVA_OPTIONS \
    java --enable-native-access=ALL-UNNAMED -Duser.home="$work/home" -cp "$jar:$demo_classes" PrintDemo "$@"
}
loaded_from() { sed -n 's/^PrintDemo: library \(.*\), loaded in .*/\1/p' "$1"; }

run_demo 127.0.0.1 9 >"$work/before.txt" 2>&1 || true
case "$(loaded_from "$work/before.txt")" in
  "$work/home/.cache/tillportcomm/libtillportcommX64-"*.so) ;;
  *) cat "$work/before.txt"; fail "before the install the JVM must load the jar's library, yet it did not" ;;
esac

# Directories the package would create, to check that the purge takes them away again.
dpkg-deb -c "$deb" | awk '$1 ~ /^d/ {print substr($6, 2)}' | sed 's:/$::' | while read -r dir; do
  [ -z "$dir" ] || [ -d "$dir" ] || echo "$dir"
done >"$work/new-directories"

installed=1
dpkg_waiting --install "$deb" || fail "dpkg --install $deb failed"
[ "$(dpkg-query -W -f='${db:Status-Abbrev} ${Version}' "$package")" = "ii  $version" ] \
  || fail "$package $version is not installed after dpkg --install"
dpkg-query -L "$package" >"$work/files"
grep -qx "/usr/lib/x86_64-linux-gnu/jni/libtillportcommX64.so" "$work/files" || fail "the library is not installed where the JVM looks"

: >"$work/printer.txt"  # there before the loop below reads it, however late the printer starts
"$printer_program" --port 0 --record "$work/received.bin" --max-seconds 60 >"$work/printer.txt" 2>&1 &
printer_pid=$!
port=""
for _ in $(seq 1 100); do
  port=$(awk '/^virtual_printer listening/ {print $NF; exit}' "$work/printer.txt")
  [ -n "$port" ] && break
  kill -0 "$printer_pid" 2>/dev/null || break
  sleep 0.05
done
[ -n "$port" ] || { cat "$work/printer.txt"; fail "the virtual printer did not start"; }
run_demo 127.0.0.1 "$port" >"$work/demo.txt" 2>&1 || { cat "$work/demo.txt"; fail "the demo failed with the installed library"; }
grep -q "SO Version: ${version%-*}\$" "$work/demo.txt" || { cat "$work/demo.txt"; fail "the loaded library does not report version ${version%-*}"; }
grep -q "PrintDemo: receipt sent; printer status 0x12: online" "$work/demo.txt" || { cat "$work/demo.txt"; fail "the demo did not finish its print job"; }
[ "$(loaded_from "$work/demo.txt")" = /usr/lib/x86_64-linux-gnu/jni/libtillportcommX64.so ] \
  || { cat "$work/demo.txt"; fail "the JVM did not load the installed library"; }
kill -TERM "$printer_pid"
wait "$printer_pid" || true
printer_pid=""
grep -aq "Thank you!" "$work/received.bin" || fail "the printer did not receive the receipt"
echo "demo printed through the installed library on port $port"

dpkg_waiting --purge "$package" || fail "dpkg --purge $package failed"
installed=0
[ -z "$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null | tr -d 'unp ')" ] \
  || fail "$package is still known to dpkg after the purge"
left=$(while read -r path; do
         if [ -d "$path" ]; then grep -qx "$path" "$work/new-directories" && echo "$path"
         elif [ -e "$path" ] || [ -L "$path" ]; then echo "$path"; fi
       done <"$work/files"; ls /var/lib/dpkg/info/"$package".* /var/lib/dpkg/info/"$package":* 2>/dev/null || true)
[ -z "$left" ] || fail "left behind after the purge: $left"
echo "installed, printed and purged; nothing of $package is left ($(grep -vc '^/\.$' "$work/files") paths checked)"
