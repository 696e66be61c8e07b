#!/bin/sh
# Runs inside a Debian userland of a till (scripts/userland-tests.sh starts it there: under
# chroot for amd64, as the root of an emulated ARM machine for armhf and arm64), with the
# userland's own C library, JVM, dpkg and apt:
#   - the technician's tool: --version and list;
#   - the JVM tests of CLASSES, the userland's JVM loading this build's library;
#   - the package: installed with the userland's apt, loaded by name by the print demo
#     (System.loadLibrary, no library property) printing to the virtual printer, purged, and
#     nothing of it left behind.
# Ends with the line "userland cases: PASSED FAILED SKIPPED" (the JVM tests' cases, and one
# case each for the tool, the package and the load by name) and exits non-zero on a failure.
# Arguments: BUILD (the preset's build tree), PACKAGE (.deb), JAR (tillportcomm jar),
# JUNIT (the JUnit console jar), CLASSES (JVM test classes, separated by blanks; may be
# empty). POSIX sh: it runs in the userland's dash or in busybox sh.
set -u
# The userland's own shell and programs: the emulated machine starts scripts in its busybox
# sh, which runs its own applets (another dpkg among them) whatever PATH says.
if [ -z "${TILLPORT_USERLAND_SHELL:-}" ]; then
  TILLPORT_USERLAND_SHELL=/bin/sh
  export TILLPORT_USERLAND_SHELL
  PATH=/usr/sbin:/usr/bin:/sbin:/bin:$PATH
  exec /bin/sh "$0" "$@"
fi
build=$1 deb=$2 jar=$3 junit=$4 classes=$5
package=libtillportcomm
passed=0 failed=0 skipped=0

pass() { passed=$((passed + 1)); echo "PASS: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }

arch=$(dpkg --print-architecture)
java=""
for home in /usr/lib/jvm/java-*-openjdk-"$arch"; do
  [ -x "$home/bin/java" ] && java=$home/bin/java
done
echo "userland: $(. /etc/os-release && echo "$PRETTY_NAME"), $arch, $(ldd --version 2>&1 | head -n 1)"
[ -n "$java" ] || { echo "FAIL: no JVM in this userland"; echo "userland cases: 0 1 0"; exit 1; }
"$java" -version 2>&1 | head -n 2
java_options=""
# JVMs from 22 on warn at every native library load without this; older ones refuse it.
"$java" --enable-native-access=ALL-UNNAMED -version >/dev/null 2>&1 && java_options="--enable-native-access=ALL-UNNAMED"
case "$arch" in
  # On the emulated cores the quick compiler alone and the serial collector start a JVM in
  # about two thirds of the time.
  armhf | arm64) java_options="$java_options -XX:TieredStopAtLevel=1 -XX:+UseSerialGC" ;;
esac
case "$arch" in
  amd64) library=$build/libtillportcommX64.so triplet=x86_64-linux-gnu ;;
  armhf) library=$build/libtillportcommARM32.so triplet=arm-linux-gnueabihf ;;
  arm64) library=$build/libtillportcommARM64.so triplet=aarch64-linux-gnu ;;
esac
work=$(mktemp -d)
printer_pid=""
cleanup() {
  [ -n "$printer_pid" ] && kill "$printer_pid" 2>/dev/null
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q installed; then
    dpkg --purge "$package" >/dev/null 2>&1
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# The tool.
if version=$("$build/tools/tillportcomm" --version 2>&1) && "$build/tools/tillportcomm" list >"$work/list" 2>&1 \
   && grep -q "^Serial lines" "$work/list"; then
  pass "tillportcomm: $version; list answered"
else
  cat "$work/list" 2>/dev/null
  fail "tillportcomm --version / list (${version:-no version})"
fi

# The JVM tests.
for class in $classes; do
  launcher=""
  case "$class" in Usb* | Serial*) launcher=umockdev-wrapper ;; esac
  # shellcheck disable=SC2086  # the options are words
  $launcher "$java" $java_options -Dtillportcomm.library="$library" -Dtillportcomm.build="$build" \
    -cp "$junit:$build/java/classes:$build/java/test-classes" org.junit.platform.console.ConsoleLauncher \
    --disable-banner --disable-ansi-colors --details=summary --fail-if-no-tests \
    --select-class "orvik.services.posprinterPortComm.$class" >"$work/jvm.txt" 2>&1
  result=$?
  count() { sed -n "s/^\[ *\([0-9]*\) tests $1 *\]\$/\1/p" "$work/jvm.txt" | head -n 1; }
  ok=$(count successful) bad=$(count failed) aborted=$(count aborted) left=$(count skipped)
  ok=${ok:-0} bad=$((${bad:-0} + ${aborted:-0})) left=${left:-0}
  [ "$result" -ne 0 ] && [ "$bad" -eq 0 ] && bad=1
  passed=$((passed + ok)) failed=$((failed + bad)) skipped=$((skipped + left))
  if [ "$result" -eq 0 ]; then
    echo "PASS: $class ($ok cases)"
  else
    cat "$work/jvm.txt"
    echo "FAIL: $class ($ok passed, $bad failed)"
  fi
done

# The package, installed with this userland's apt (which checks its Depends against what
# the userland has), loaded by name and purged.
cp "$deb" "$work/"
if ! apt-get install -y -q --no-install-recommends "$work/$(basename "$deb")" >"$work/apt.txt" 2>&1 \
   || ! dpkg-query -W -f='${db:Status-Abbrev}' "$package" | grep -q '^ii'; then
  cat "$work/apt.txt"
  fail "apt-get install ./$(basename "$deb")"
else
  pass "installed with apt: $(dpkg-query -W -f='${Package} ${Version}' "$package")"
  dpkg-query -L "$package" >"$work/files"
  "$build/tools/virtual_printer" --port 0 --record "$work/received.bin" --max-seconds 120 >"$work/printer.txt" 2>&1 &
  printer_pid=$!
  port=""
  tries=0
  while [ -z "$port" ] && [ "$tries" -lt 200 ] && kill -0 "$printer_pid" 2>/dev/null; do
    port=$(sed -n 's/^virtual_printer listening.* \([0-9][0-9]*\)$/\1/p' "$work/printer.txt" | head -n 1)
    [ -n "$port" ] || sleep 0.1
    tries=$((tries + 1))
  done
  # shellcheck disable=SC2086
  if [ -n "$port" ] && env -u LD_LIBRARY_PATH "$java" $java_options -cp "$jar:$build/java/demo-classes" \
       PrintDemo 127.0.0.1 "$port" >"$work/demo.txt" 2>&1 \
     && grep -q "PrintDemo: receipt sent; printer status 0x12: online" "$work/demo.txt" \
     && grep -q "/usr/lib/$triplet/jni/" "$work/files"; then
    pass "the installed library, loaded by name, printed a receipt"
  else
    cat "$work/printer.txt" "$work/demo.txt" 2>/dev/null
    fail "the print demo with the installed library"
  fi
  kill "$printer_pid" 2>/dev/null
  wait "$printer_pid" 2>/dev/null
  printer_pid=""
  if apt-get purge -y -q "$package" >"$work/apt.txt" 2>&1; then
    left=""
    while read -r path; do
      [ -d "$path" ] && continue
      if [ -e "$path" ] || [ -L "$path" ]; then left="$left $path"; fi
    done <"$work/files"
    if [ -z "$left" ] && ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q installed; then
      pass "purged with apt, nothing left"
    else
      fail "left behind after the purge:$left"
    fi
  else
    cat "$work/apt.txt"
    fail "apt-get purge $package"
  fi
fi

echo "userland cases: $passed $failed $skipped"
[ "$failed" -eq 0 ]
