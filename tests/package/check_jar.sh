#!/usr/bin/env bash
# Checks the delivered jars: the class jar holds CommonComPort with its eleven native
# methods, compiled for Java 8 (class file version 52) so that services on any JVM from 8
# on load it, and a manifest that names the version and grants native access; the sources
# jar holds the very source the class was compiled from.
# Arguments: jar, sources jar, upstream version, CommonComPort.java of this tree.
set -euo pipefail
jar=$1 sources_jar=$2 version=$3 source=$4
class=orvik/services/posprinterPortComm/CommonComPort

fail() { echo "FAIL: $*" >&2; exit 1; }
if [ ! -d "$(dirname "$jar")" ]; then
  echo "SKIP: no packages built yet: run bash scripts/package.sh"
  exit 77
fi
[ -f "$jar" ] || fail "$jar is missing: run bash scripts/package.sh"
[ -f "$sources_jar" ] || fail "$sources_jar is missing: run bash scripts/package.sh"
jar=$(realpath "$jar") sources_jar=$(realpath "$sources_jar") source=$(realpath "$source")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

jar --list --file "$jar" | grep -qx "$class.class" || fail "$jar has no $class.class"
(cd "$work" && jar --extract --file "$jar" META-INF/MANIFEST.MF)
manifest=$(tr -d '\r' <"$work/META-INF/MANIFEST.MF")
grep -qx "Enable-Native-Access: ALL-UNNAMED" <<<"$manifest" || fail "the manifest does not grant native access"
grep -qx "Implementation-Version: $version" <<<"$manifest" || fail "the manifest does not carry version $version"
natives=$(javap -cp "$jar" "${class//\//.}" | grep -c ' native ' || true)
[ "$natives" -eq 11 ] || fail "CommonComPort in $jar declares $natives native methods, expected 11"
major=$(javap -v -cp "$jar" "${class//\//.}" | awk '/major version:/ {print $3}')
[ "$major" = 52 ] || fail "CommonComPort in $jar has class file version ${major:-unknown}, expected 52 (Java 8)"

(cd "$work" && jar --extract --file "$sources_jar" "$class.java")
cmp -s "$work/$class.java" "$source" || fail "$sources_jar does not hold this tree's CommonComPort.java"
echo "$(basename "$jar") and $(basename "$sources_jar") as expected"
