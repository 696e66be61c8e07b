#!/usr/bin/env bash
# Checks the delivered jars: the class jar holds CommonComPort with its eleven native
# methods, compiled for Java 8 (class file version 52) so that services on any JVM from 8
# on load it, a manifest that names the version and grants native access, and the library
# of each processor under natives/linux-<processor>/ with its SHA-256: the very file of that
# processor's Debian package, built for its machine. The sources jar holds the very source
# the class was compiled from; pom.xml gives the jar's Maven coordinates (the version is the
# library's) and no dependencies.
# Arguments: jar, sources jar, upstream version, CommonComPort.java of this tree, pom.xml,
# package version (upstream-revision).
set -euo pipefail
jar=$1 sources_jar=$2 version=$3 source=$4 pom=$5 deb_version=$6
class=orvik/services/posprinterPortComm/CommonComPort

fail() { echo "FAIL: $*" >&2; exit 1; }
if [ ! -d "$(dirname "$jar")" ]; then
  echo "SKIP: no packages built yet: run bash scripts/package.sh"
  exit 77
fi
[ -f "$jar" ] || fail "$jar is missing: run bash scripts/package.sh"
[ -f "$sources_jar" ] || fail "$sources_jar is missing: run bash scripts/package.sh"
[ -f "$pom" ] || fail "$pom is missing: run bash scripts/package.sh"
jar=$(realpath "$jar") sources_jar=$(realpath "$sources_jar") source=$(realpath "$source")
packages=$(dirname "$jar")
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

# The natives: exactly these entries; each library is its package's file and matches its SHA-256.
expected_natives=$(for entry in linux-aarch64/libtillportcommARM64.so linux-arm/libtillportcommARM32.so \
                                 linux-x86_64/libtillportcommX64.so; do
                     echo "natives/$entry"
                     echo "natives/$entry.sha256"
                   done)
listed=$(jar --list --file "$jar" | grep '^natives/.*[^/]$' | sort)
[ "$listed" = "$expected_natives" ] || fail "the jar's natives are
$listed
not
$expected_natives"
(cd "$work" && jar --extract --file "$jar" natives)
for arch in amd64:x86_64-linux-gnu:linux-x86_64:X64:X86-64 armhf:arm-linux-gnueabihf:linux-arm:ARM32:ARM \
            arm64:aarch64-linux-gnu:linux-aarch64:ARM64:AArch64; do
  IFS=: read -r debian triplet folder tag machine <<<"$arch"
  library=natives/$folder/libtillportcomm$tag.so
  (cd "$work/natives/$folder" && sha256sum --check --quiet "libtillportcomm$tag.so.sha256") \
    || fail "$library does not match its SHA-256"
  grep -Eq "Machine:[[:space:]]+.*$machine\$" <<<"$(readelf -h "$work/$library")" || fail "$library is not built for $machine"
  deb=$packages/libtillportcomm_${deb_version}_$debian.deb
  dpkg-deb -x "$deb" "$work/$debian"
  cmp -s "$work/$library" "$work/$debian/usr/lib/$triplet/jni/libtillportcomm$tag.so" \
    || fail "$library is not the library of $(basename "$deb")"
done

# Maven coordinates.
coordinates=$(sed -n 's:^  <\(groupId\|artifactId\|version\|packaging\)>\(.*\)</.*:\1=\2:p' "$pom" | tr '\n' ' ')
[ "$coordinates" = "groupId=orvik.services artifactId=tillportcomm version=$version packaging=jar " ] \
  || fail "pom.xml gives '$coordinates'"
! grep -q "<dependenc" "$pom" || fail "pom.xml names dependencies"
echo "$(basename "$jar") (with the three packages' libraries), $(basename "$sources_jar") and pom.xml as expected"
