#!/usr/bin/env bash
# Checks one libtillportcomm package against the build it came from: name, version and
# architecture; the exact file list with owners and modes; the library (the build's own
# file, stripped as packaging strips it, built for the architecture's machine); the udev
# rule; and Depends: every library that the package's programs need is named, with a
# version that the package of that architecture installed here satisfies, and nothing else.
# Arguments: package file, Debian architecture, library the build produced,
# package version (upstream-revision), 1 when the technician's tool belongs in the package.
set -euo pipefail
deb=$1 arch=$2 built=$3 version=$4 with_tool=${5:-0}

fail() { echo "FAIL ($arch package): $*" >&2; exit 1; }
case "$arch" in
  amd64) triplet=x86_64-linux-gnu tag=X64 class=ELF64 machine="X86-64" ;;
  armhf) triplet=arm-linux-gnueabihf tag=ARM32 class=ELF32 machine="ARM" ;;
  arm64) triplet=aarch64-linux-gnu tag=ARM64 class=ELF64 machine="AArch64" ;;
  *) fail "unknown architecture" ;;
esac
if [ ! -d "$(dirname "$deb")" ]; then
  echo "SKIP: no packages built yet: run bash scripts/package.sh"
  exit 77
fi
[ -f "$deb" ] || fail "$deb is missing: run bash scripts/package.sh"
[ -f "$built" ] || fail "the build's library $built is missing"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Control fields.
for field in "Package=libtillportcomm" "Version=$version" "Architecture=$arch"; do
  value=$(dpkg-deb -f "$deb" "${field%%=*}")
  [ "$value" = "${field#*=}" ] || fail "${field%%=*} is '$value', expected '${field#*=}'"
done

# Files: exactly these, owned by root, with these modes; directories root's and 0755.
library=usr/lib/$triplet/jni/libtillportcomm$tag.so
{
  echo "-rw-r--r-- root/root ./$library"
  echo "-rw-r--r-- root/root ./usr/lib/udev/rules.d/60-tillportcomm.rules"
  echo "-rw-r--r-- root/root ./usr/share/doc/libtillportcomm/README.Debian"
  echo "-rw-r--r-- root/root ./usr/share/doc/libtillportcomm/changelog.Debian.gz"
  echo "-rw-r--r-- root/root ./usr/share/doc/libtillportcomm/copyright"
  if [ "$with_tool" = 1 ]; then
    echo "-rwxr-xr-x root/root ./usr/bin/tillportcomm"
    echo "-rw-r--r-- root/root ./usr/share/man/man1/tillportcomm.1.gz"
  fi
} | sort >"$work/expected"
dpkg-deb -c "$deb" >"$work/listing"
awk '$1 !~ /^d/ {print $1, $2, $6}' "$work/listing" | sort >"$work/files"
if ! diff -u "$work/expected" "$work/files"; then
  fail "file list differs from the expected one (- expected, + packaged)"
fi
if awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root")' "$work/listing" | grep .; then
  fail "directories above are not root's with mode 0755"
fi

dpkg-deb -x "$deb" "$work/root"

# The library is the build's own: the same bytes once stripped the way packaging strips.
"$triplet-strip" -o "$work/built-stripped.so" "$built"
packaged_sum=$(sha256sum <"$work/root/$library" | cut -d' ' -f1)
built_sum=$(sha256sum <"$work/built-stripped.so" | cut -d' ' -f1)
[ "$packaged_sum" = "$built_sum" ] || fail "$library is not $built (sha256 $packaged_sum, build $built_sum)"
header=$(readelf -h "$work/root/$library")
grep -Eq "Class:[[:space:]]+$class" <<<"$header" || fail "$library is not $class"
grep -Eq "Machine:[[:space:]]+.*$machine\$" <<<"$header" || fail "$library is not built for $machine"
if [ "$arch" = armhf ]; then
  grep -q "hard-float ABI" <<<"$header" || fail "$library is not built for the hard-float ABI"
fi

# The rule gives the group lp read/write access to USB devices of the vendor the library opens.
rule=$(grep -v '^#' "$work/root/usr/lib/udev/rules.d/60-tillportcomm.rules" | grep .)
[[ "$rule" =~ ^SUBSYSTEM==\"usb\",\ ENV\{DEVTYPE\}==\"usb_device\",\ ATTR\{idVendor\}==\"([0-9a-f]{4})\",\ MODE=\"06[67][0-7]\",\ GROUP=\"lp\"$ ]] \
  || fail "unexpected udev rule: $rule"
vendor=${BASH_REMATCH[1]}
grep -aq "${vendor^^}" "$work/root/$library" || fail "the library does not look for vendor ${vendor^^} that the rule names"
zcat "$work/root/usr/share/doc/libtillportcomm/changelog.Debian.gz" | head -n 1 | grep -qF "libtillportcomm ($version)" \
  || fail "changelog.Debian.gz does not start with version $version"

# Depends: the packages of this architecture that own the libraries the programs need.
programs=("$work/root/$library")
if [ "$with_tool" = 1 ]; then
  programs+=("$work/root/usr/bin/tillportcomm")
  grep -Eq "Machine:[[:space:]]+.*$machine\$" <<<"$(readelf -h "$work/root/usr/bin/tillportcomm")" \
    || fail "/usr/bin/tillportcomm is not built for $machine"
fi
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
declare -A owners=()
mapfile -t sonames < <(readelf -d "${programs[@]}" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u)
candidates=()
for soname in "${sonames[@]}"; do candidates+=("/lib/$triplet/$soname" "/usr/lib/$triplet/$soname"); done
dpkg -S "${candidates[@]}" >"$work/owners" 2>/dev/null || true  # one line "package:arch: path" per file found
for soname in "${sonames[@]}"; do
  owner=$(awk -F': ' -v name="$soname" '{n = split($2, p, "/")} p[n] == name {sub(/,.*/, "", $1); print $1; exit}' "$work/owners")
  [ -n "$owner" ] || fail "no $arch package here holds $soname, so Depends cannot be checked"
  [ "${owner#*:}" = "$arch" ] || fail "$soname is owned by $owner, not by a package of $arch"
  name=${owner%%:*}
  owners[$name]=1
  entry=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//' | awk -v name="$name" '$1 == name' || true)
  [[ "$entry" =~ ^[^\ ]+\ \(\>=\ ([^\)]+)\)$ ]] || fail "Depends has no versioned entry for $name (needed for $soname): '$entry'"
  needed_version=${BASH_REMATCH[1]}
  have=$(dpkg-query -W -f='${Version}' "$owner")
  dpkg --compare-versions "$have" ge "$needed_version" \
    || fail "Depends asks for $name (>= $needed_version), but $owner here is $have"
  echo "  $soname: $owner $have satisfies $entry"
done
for name in $(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//'); do
  [ -n "${owners[$name]:-}" ] || fail "Depends names $name, which owns none of the libraries needed"
done
echo "libtillportcomm_${version}_$arch: files, library, rule and Depends as expected"
