#!/usr/bin/env bash
# Installs everything the build, the demo and the tests need on Debian 12 (as root, or
# through sudo when something is missing and sudo is there), and fetches the parts of the
# emulated ARM machines (kernel, busybox, umockdev's preload library) into build/machines.
# Idempotent: packages already present are not fetched again. It says one line per step;
# what the package manager and the fetches print goes to build/setup.log, and is shown when
# a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build
log=build/setup.log
: >"$log"

# step WHAT WHERE COMMAND...: runs COMMAND with its output in the log and says in one line
# whether it did something (and where that is kept for the next time) or found it done.
step() {
  local what=$1 where=$2 started=$SECONDS before
  shift 2
  before=$(stat -c %s "$log")
  if ! "$@" >>"$log" 2>&1; then
    echo "setup: ${what}: failed; what it printed (${log}):" >&2
    tail -c +"$((before + 1))" "$log" | tail -n 80 >&2
    exit 1
  fi
  if [ "$(stat -c %s "$log")" -eq "$before" ] && [ $((SECONDS - started)) -lt 2 ]; then
    echo "setup: ${what}: ready (${where})"
  else
    echo "setup: ${what}: done in $((SECONDS - started)) s (kept in ${where} for the next time)"
  fi
}

need_arch() {
  dpkg --print-foreign-architectures | grep -qx "$1" || dpkg --add-architecture "$1"
}

packages=(
  build-essential cmake pkg-config
  libusb-1.0-0-dev default-jdk-headless junit5
  libgtest-dev libgmock-dev umockdev libumockdev-dev
  g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user
  libusb-1.0-0-dev:armhf libusb-1.0-0-dev:arm64
  libgtest-dev:armhf libgtest-dev:arm64
  # packages: lintian, and the target's libraries that dpkg-shlibdeps maps to Depends
  lintian file libstdc++6:armhf libstdc++6:arm64
  # the jar's pom.xml: Maven installs it offline with Debian's install plugin
  maven libmaven-install-plugin-java
  # The emulated ARM machines: qemu-system-arm has both qemu-system-arm and -aarch64; kmod and
  # cpio build their initramfs; the guests run the ARM JVM and umockdev from the host's root.
  qemu-system-arm kmod cpio
  openjdk-17-jre-headless:armhf openjdk-17-jre-headless:arm64
  libumockdev0:armhf libumockdev0:arm64
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    # Installing needs root: through sudo where there is one.
    command -v sudo >/dev/null 2>&1 && exec sudo bash scripts/setup.sh
    echo "setup: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
  fi
  install_missing() {
    need_arch armhf
    need_arch arm64
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  }
  echo "setup: installing ${#missing[@]} Debian packages (compilers, libusb, JDK, JUnit, umockdev, qemu...)"
  step "Debian packages" "the system" install_missing
else
  echo "setup: Debian packages: all ${#packages[@]} installed"
fi

# Packages for the emulated machines that must not be installed on the host: Debian's own ARM
# kernel (never into the host's /boot), busybox-static (the guest's shell and tools), umockdev
# (its ARM preload library; it cannot co-install with the host's umockdev) and glib's ARM
# glibconfig.h (the one processor-specific header that ARM builds of the umockdev tests need:
# libglib2.0-dev for ARM would pull in ARM pkg-config in place of the host's). They are
# unpacked into build/machines/ARCH/root; a finished unpack leaves root.stamp behind, naming
# the revision of this list of parts.
machine_parts=3
fetch_machine() {
  local arch=$1 kernel=$2
  local dir=build/machines/$arch
  [ "$(cat "$dir/root.stamp" 2>/dev/null)" = "$machine_parts" ] && return 0
  rm -rf "$dir/debs" "$dir/root"
  mkdir -p "$dir/debs" "$dir/root" || return 1
  # The kernel's metapackage names the versioned image package it depends on.
  (cd "$dir/debs" && apt-get -qq -o APT::Sandbox::User=root download \
     "$kernel:$arch" "busybox-static:$arch" "umockdev:$arch" "libglib2.0-dev:$arch") || return 1
  local image
  image=$(dpkg-deb -f "$dir/debs/${kernel}"_*.deb Depends | sed -n 's/^\(linux-image-[^ ,]*\).*/\1/p')
  [ -n "$image" ] || { echo "setup: no kernel image behind $kernel" >&2; return 1; }
  (cd "$dir/debs" && apt-get -qq -o APT::Sandbox::User=root download "$image:$arch") || return 1
  local deb
  for deb in "$dir"/debs/*.deb; do
    dpkg-deb -x "$deb" "$dir/root" || return 1
  done
  # The guest loads the virtio PCI, virtio console and 9p modules at boot; the kernel tests
  # load the USB stack (usbcore, the printer driver usblp), the gadget side (configfs,
  # udc-core, libcomposite, the printer function) and dummy_hcd. The rest go.
  find "$dir"/root/lib/modules/*/kernel -name '*.ko' \
    ! -path '*/fs/9p/*' ! -path '*/fs/netfs/*' ! -path '*/fs/fscache/*' ! -path '*/net/9p/*' \
    ! -path '*/drivers/virtio/*' ! -name virtio_console.ko \
    ! -name configfs.ko ! -name usb-common.ko ! -name usbcore.ko \
    ! -name usblp.ko ! -name udc-core.ko ! -name dummy_hcd.ko ! -name libcomposite.ko ! -name usb_f_printer.ko \
    -delete
  find "$dir/root/usr/include" "$dir/root/usr/share" "$dir/root/usr/bin" -mindepth 1 -delete
  find "$dir/root/usr/lib" -mindepth 2 -maxdepth 2 ! -name 'glib-2.0' ! -name 'libumockdev-preload*' \
    -exec rm -rf {} +
  rm -rf "$dir/debs" "$dir"/root/usr/lib/linux-image-*
  echo "$machine_parts" >"$dir/root.stamp"
}
step "the emulated armhf machine's kernel, busybox and umockdev" build/machines/armhf \
  fetch_machine armhf linux-image-armmp-lpae
step "the emulated arm64 machine's kernel, busybox and umockdev" build/machines/arm64 \
  fetch_machine arm64 linux-image-arm64

# The oldest release the deliverables are built against (cmake/floor.cmake), for each processor.
for arch in amd64 armhf arm64; do
  step "Debian 11's C library and libusb for $arch builds" "build/sysroots/bullseye-$arch" \
    bash scripts/debian-root.sh sysroot bullseye "$arch" "build/sysroots/bullseye-$arch" \
    libc6-dev libusb-1.0-0-dev libgcc-s1
done

# Userlands of the tills' releases, for scripts/userland-tests.sh: Debian 11 (glibc 2.31,
# JDK 11) on every processor, Debian 13 (JDK 25, with umockdev for the device tests) on amd64.
# The JUnit console launcher is this machine's, in view of every userland.
base=(base-files base-passwd bash coreutils dash debianutils diffutils dpkg findutils grep gzip
      hostname libc-bin mawk sed tar util-linux apt libusb-1.0-0)
for arch in amd64 armhf arm64; do
  step "the Debian 11 $arch userland" "build/userlands/bullseye-$arch" \
    bash scripts/debian-root.sh userland bullseye "$arch" "build/userlands/bullseye-$arch" \
    "${base[@]}" openjdk-11-jre-headless
done
step "the Debian 13 amd64 userland" build/userlands/trixie-amd64 \
  bash scripts/debian-root.sh userland trixie amd64 build/userlands/trixie-amd64 \
  "${base[@]}" openjdk-25-jre-headless umockdev libumockdev0
cp /usr/share/java/junit-platform-console-standalone.jar build/userlands/
