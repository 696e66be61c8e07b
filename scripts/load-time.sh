#!/bin/sh
# How long CommonComPort takes to load its library (class initialisation, as ControlDemo
# reports it) on each path, the median of RUNS JVM starts each: the file the
# tillportcomm.library property names; java.library.path; the jar's copy extracted into a
# new ~/.cache/tillportcomm; that copy reused; and, with no home, a new folder under
# java.io.tmpdir. Run after scripts/package.sh and the host preset's java_demo target.
# Plain POSIX sh, so it runs in the emulated ARM machines too:
#   sh scripts/load-time.sh build/host [RUNS] [JVM OPTIONS...]
#   bash scripts/arm-machine.sh arm64 scripts/load-time.sh build/arm64 5
set -eu
build=$(cd "${1:?usage: load-time.sh BUILD_DIR [RUNS] [JVM OPTIONS...]}" && pwd)
runs=${2:-10}
[ $# -ge 2 ] && shift 2 || shift $#
repo=$(cd "$(dirname "$0")/.." && pwd)
jar=$(ls "$repo"/build/packages/tillportcomm-*[0-9].jar)
demo=$repo/build/host/java/demo-classes
library=$(ls "$build"/libtillportcomm*.so)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# load_ms OPTIONS...: one JVM start's load time in ms, and the file it loaded.
load_ms() {
  java "$@" -cp "$jar:$demo" ControlDemo >"$work/out.txt" 2>&1 || { cat "$work/out.txt" >&2; exit 1; }
  sed -n 's/^ControlDemo: library \(.*\), loaded in \([0-9.]*\) ms$/\2 \1/p' "$work/out.txt"
}

# measure NAME SETUP OPTIONS...: SETUP runs before each start (a shell command).
measure() {
  name=$1 setup=$2
  shift 2
  : >"$work/times"
  i=0
  while [ "$i" -lt "$runs" ]; do
    eval "$setup"
    load_ms "$@" >"$work/one"
    cut -d' ' -f1 "$work/one" >>"$work/times"
    i=$((i + 1))
  done
  median=$(sort -n "$work/times" | sed -n "$(((runs + 1) / 2))p")
  printf '%-34s %8s ms   %s\n' "$name" "$median" "$(cut -d' ' -f2- "$work/one")"
}

mkdir -p "$work/home"
echo "$(uname -m): median load time of $runs JVM starts each ($(java -version 2>&1 | head -n 1))"
measure "tillportcomm.library property" ":" "$@" -Dtillportcomm.library="$library"
measure "java.library.path" ":" "$@" -Djava.library.path="$build"
measure "jar, first load (new home)" 'rm -rf "$work/home/.cache"' "$@" -Djava.library.path= -Duser.home="$work/home"
measure "jar, copy reused" ":" "$@" -Djava.library.path= -Duser.home="$work/home"
measure "jar, no home (java.io.tmpdir)" ":" "$@" -Djava.library.path= -Duser.home=/nonexistent -Djava.io.tmpdir="$work"
