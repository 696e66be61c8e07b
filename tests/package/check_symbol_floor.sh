#!/usr/bin/env bash
# Fails when a program of a libtillportcomm package (the library, the tool) needs a symbol
# version newer than the oldest systems the package is for provide: glibc 2.28 (Debian 10,
# Ubuntu 18.10), and of the GCC runtime what GCC 8 ships (libstdc++ GLIBCXX_3.4.25,
# CXXABI_1.3.11, libgcc_s GCC_7.0.0). Prints each program's newest version of each.
# Arguments: package file, Debian architecture.
set -euo pipefail
deb=$1 arch=$2

fail() { echo "FAIL ($arch package): $*" >&2; exit 1; }
if [ ! -d "$(dirname "$deb")" ]; then
  echo "SKIP: no packages built yet: run bash scripts/package.sh"
  exit 77
fi
[ -f "$deb" ] || fail "$deb is missing: run bash scripts/package.sh"
declare -A floors=([GLIBC]=2.28 [GLIBCXX]=3.4.25 [CXXABI]=1.3.11 [GCC]=7.0.0)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
mapfile -t programs < <(find "$work/root" -type f \( -name '*.so' -o -path '*/bin/*' \) | sort)
[ "${#programs[@]}" -ge 1 ] || fail "no programs in the package"
status=0
for program in "${programs[@]}"; do
  # readelf -V: the versions a program needs from each library ("Name: GLIBC_2.17").
  needed=$(readelf -V -W "$program" | sed -n 's/.*Name: \([A-Z]*\)_\([0-9][0-9.]*\).*/\1 \2/p' | sort -u)
  [ -n "$needed" ] || fail "${program#"$work/root"} needs no versioned symbol at all: not a dynamic program?"
  line="${program#"$work/root"}:"
  for family in GLIBC GLIBCXX CXXABI GCC; do
    newest=$(awk -v f="$family" '$1 == f {print $2}' <<<"$needed" | sort -V | tail -n 1)
    [ -n "$newest" ] || continue
    line+=" ${family}_$newest"
    if [ "$(printf '%s\n%s\n' "$newest" "${floors[$family]}" | sort -V | tail -n 1)" != "${floors[$family]}" ]; then
      echo "  ${program#"$work/root"} needs ${family}_$newest, newer than ${family}_${floors[$family]}" >&2
      status=1
    fi
  done
  echo "$line"
done
[ "$status" -eq 0 ] || fail "programs above need symbol versions newer than the oldest supported systems have"
echo "libtillportcomm ($arch): no program needs more than glibc ${floors[GLIBC]} and GCC 8's runtime"
