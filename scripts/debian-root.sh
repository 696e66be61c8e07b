#!/usr/bin/env bash
# Makes a folder of Debian packages of one release and architecture, fetched from the
# Debian mirror with a private apt configuration (the machine's own sources and state are
# never touched):
#
#   scripts/debian-root.sh sysroot SUITE ARCH DIR PACKAGE...
#       the packages and what they depend on, unpacked: the C library, kernel and libusb
#       headers and libraries that the deliverables are built against
#   scripts/debian-root.sh userland SUITE ARCH DIR PACKAGE...
#       a root to run programs in: the packages and what they depend on, unpacked with /usr
#       merged and registered in the root's own dpkg database as installed, so that the
#       root's dpkg and apt install and purge further packages as on a real system
#
# Maintainer scripts are not run: a root of another processor's programs cannot run them on
# this machine. What the programs here need of them is done directly: the users and groups
# of base-passwd and, where the root's programs run here, the dynamic linker's cache.
# Absolute symbolic links are made relative to DIR, so they resolve inside it from outside.
# A finished folder leaves DIR.stamp naming what it holds; the same call again does nothing.
set -euo pipefail

usage() {
  sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
[ $# -ge 5 ] || usage
mode=$1 suite=$2 arch=$3 dir=$(realpath -m "$4")
shift 4
case "$mode" in sysroot | userland) ;; *) usage ;; esac

# Bump when what this script makes changes, so cached folders are made again.
revision=1
recipe="$revision $mode $suite $arch $*"
[ "$(cat "$dir.stamp" 2>/dev/null)" = "$recipe" ] && exit 0

mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
apt_dir=$dir.apt
rm -rf "$dir" "$dir.stamp" "$apt_dir"
mkdir -p "$apt_dir"/{lists/partial,archives/partial,etc/preferences.d,etc/apt.conf.d,etc/sources.list.d} "$dir"
: >"$apt_dir/status"
echo "deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
  >"$apt_dir/etc/sources.list"
apt_options=(
  -o "Dir::Etc=$apt_dir/etc" -o "Dir::Etc::sourcelist=sources.list" -o "Dir::Etc::sourceparts=sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::State::status=$apt_dir/status"
  -o "Dir::Cache=$apt_dir" -o "Dir::Cache::archives=$apt_dir/archives"
  -o "APT::Architecture=$arch" -o "APT::Architectures=$arch"
  -o "APT::Install-Recommends=false" -o "Debug::NoLocking=true" -o "APT::Sandbox::User=root"
)
apt-get "${apt_options[@]}" -qq update
# With an empty status file apt downloads each package and everything it depends on.
apt-get "${apt_options[@]}" -qq -y --download-only install "$@" >/dev/null
mapfile -t debs < <(ls "$apt_dir"/archives/*.deb)
[ "${#debs[@]}" -gt 0 ] || { echo "debian-root: nothing fetched for $suite $arch" >&2; exit 1; }

if [ "$mode" = userland ]; then
  # /usr merged, as the installer and debootstrap make every one of these releases.
  mkdir -p "$dir/usr/bin" "$dir/usr/sbin" "$dir/usr/lib"
  for link in bin sbin lib; do ln -sfn "usr/$link" "$dir/$link"; done
  case "$arch" in amd64) mkdir -p "$dir/usr/lib64" && ln -sfn usr/lib64 "$dir/lib64" ;; esac
fi

info=$dir/var/lib/dpkg/info
status_file=$dir/var/lib/dpkg/status
if [ "$mode" = userland ]; then
  mkdir -p "$info" "$dir"/var/lib/dpkg/{updates,triggers,alternatives} "$dir"/var/lib/apt/lists/partial \
    "$dir"/var/cache/apt/archives/partial "$dir"/etc/apt/apt.conf.d "$dir"/etc/apt/preferences.d
  : >"$status_file"
  : >"$dir/var/lib/dpkg/available"
  # Control files named with the architecture for Multi-Arch: same packages.
  echo 1 >"$info/format"
fi
control=$apt_dir/control
for deb in "${debs[@]}"; do
  dpkg-deb --fsys-tarfile "$deb" | tar -x --keep-directory-symlink -C "$dir"
  [ "$mode" = userland ] || continue
  # Registered as dpkg registers an installed package: its control files under the name
  # dpkg uses (with the architecture for Multi-Arch: same), its file list, and its stanza.
  rm -rf "$control"
  dpkg-deb -e "$deb" "$control"
  package=$(dpkg-deb -f "$deb" Package)
  name=$package
  [ "$(dpkg-deb -f "$deb" Multi-Arch)" = same ] && name=$package:$(dpkg-deb -f "$deb" Architecture)
  for file in "$control"/*; do
    [ "$(basename "$file")" = control ] || cp -p "$file" "$info/$name.$(basename "$file")"
  done
  dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's:^\./:/:' -e 's:/$::' -e 's:^$:/.:' >"$info/$name.list"
  {
    awk -v status="Status: install ok installed" \
      'NR == 1 {print; print status; next} /^Status:/ {next} {print}' "$control/control"
    if [ -s "$control/conffiles" ]; then
      echo "Conffiles:"
      while read -r conffile; do
        [ -f "$dir$conffile" ] && echo " $conffile $(md5sum <"$dir$conffile" | cut -d' ' -f1)"
      done <"$control/conffiles"
    fi
    echo
  } >>"$status_file"
done
rm -rf "$control"

# Absolute links (the linker scripts' libraries, ld.so, alternatives) resolve inside DIR.
find "$dir" -type l -lname '/*' | while read -r link; do
  ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$dir$(readlink "$link")")" "$link"
done

if [ "$mode" = userland ]; then
  for table in passwd group; do
    master=$dir/usr/share/base-passwd/$table.master
    [ -f "$dir/etc/$table" ] || { [ -f "$master" ] && cp "$master" "$dir/etc/$table"; }
  done
  # What the installer writes: names resolve from the files first, localhost among them.
  [ -f "$dir/etc/hosts" ] || printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$dir/etc/hosts"
  if [ ! -f "$dir/etc/nsswitch.conf" ]; then
    if [ -f "$dir/usr/share/libc-bin/nsswitch.conf" ]; then
      cp "$dir/usr/share/libc-bin/nsswitch.conf" "$dir/etc/nsswitch.conf"
    else
      printf 'passwd: files\ngroup: files\nhosts: files dns\n' >"$dir/etc/nsswitch.conf"
    fi
  fi
  echo "$arch" >"$dir/var/lib/dpkg/arch"
  # A root of this machine's processor gets its linker cache now; the emulated machines
  # make theirs when they boot.
  if [ "$arch" = "$(dpkg --print-architecture)" ] && [ -x "$dir/sbin/ldconfig" ]; then
    chroot "$dir" /sbin/ldconfig
  fi
fi
rm -rf "$apt_dir"
echo "$recipe" >"$dir.stamp"
echo "debian-root: $mode $suite $arch in $dir: ${#debs[@]} packages"
