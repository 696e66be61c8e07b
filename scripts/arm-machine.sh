#!/usr/bin/env bash
# An emulated ARM till: a qemu-system ARM machine booting Debian's own ARM kernel with a
# busybox initramfs, the host's root shared read-only and the build tree writable over 9p, so
# the checkout and the build tree are at the same paths inside. The guest runs the ARM
# programs of the host's multiarch libraries (the ARM JVM, libusb, umockdev); it has no
# network but its own loopback.
#
#   scripts/arm-machine.sh armhf|arm64 COMMAND...   boot, run COMMAND inside (in busybox's sh
#                                                   when it is a shell script), print its
#                                                   output, power off, exit with its code
#   scripts/arm-machine.sh start ARCH [--owner NAME] [--root DIR] [--uart]
#                                                   boot and leave the machine running
#   scripts/arm-machine.sh exec ARCH COMMAND...     run COMMAND in the running machine
#   scripts/arm-machine.sh stop ARCH [--owner NAME] power it off (with --owner: only if NAME
#                                                   started it)
#
# COMMAND runs in the caller's working directory with the caller's GTEST_* and TILLPORT_*
# variables, and TILLPORT_TIME_SCALE set to how much slower than the host the machine's
# timing bounds may be. The parts of the machine come from Debian packages that
# scripts/setup.sh fetches into build/machines/ARCH; the initramfs is built there too.
# A machine powers off by itself after ARM_MACHINE_LIFETIME seconds (default 2400).
# With --root (or ARM_MACHINE_ROOT for the one-command form) the machine's root is DIR, a
# userland of that processor (scripts/debian-root.sh), writable, instead of the host's; the
# checkout (read-only) and the build tree are in view at their paths all the same.
# With --uart the machine has a 16550 UART on PCI (the kernel's 8250 driver: /dev/ttyS0)
# whose line qemu joins through a socket to a virtio console port named "uart-peer": a
# program in the guest that opens /dev/vportNpM of that name is the far end of the line.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build

usage() {
  sed -n '8,15p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

# Per processor: qemu program and machine, kernel flavour, multiarch triplet, and the factor
# by which timing bounds stretch on its emulated cores.
machine_config() {
  case "$1" in
    arm64)
      qemu=(qemu-system-aarch64 -M virt -cpu cortex-a53)
      triplet=aarch64-linux-gnu
      qemu_user=aarch64
      time_scale=4
      ;;
    armhf)
      qemu=(qemu-system-arm -M virt -cpu cortex-a15)
      triplet=arm-linux-gnueabihf
      qemu_user=arm
      time_scale=4
      ;;
    *) usage ;;
  esac
  arch=$1
  home=$build/machines/$arch
  state=$home/run
  spool=$state/spool
}

tell() {  # one line to the agent; opened read-write, the FIFO never blocks
  local fifo
  exec {fifo}<>"$state/jobs.in"
  echo "$*" >&"$fifo"
  exec {fifo}>&-
}

quote() {  # one word for sh, in single quotes
  printf "'%s'" "${1//\'/\'\\\'\'}"
}

is_running() {
  [ -s "$state/pid" ] && kill -0 "$(cat "$state/pid")" 2>/dev/null
}

# The kernel and the initramfs: busybox, /init, the agent and the virtio modules
# in the order their dependencies need. Rebuilt when the packages or the guest scripts change.
build_initramfs() {
  if [ "$(id -u)" -eq 0 ]; then
    bash "$repo/scripts/setup.sh" >&2
  elif [ ! -f "$home/root.stamp" ]; then
    echo "arm-machine: $home is missing: run scripts/setup.sh (as root) first" >&2
    exit 1
  fi
  local initrd=$home/initrd.img
  kernel=$(ls "$home"/root/boot/vmlinuz-* | head -n 1)
  if [ -f "$initrd" ] && [ "$initrd" -nt "$home/root.stamp" ] \
     && [ "$initrd" -nt "$repo/scripts/machine/init" ] && [ "$initrd" -nt "$repo/scripts/machine/agent.sh" ]; then
    return 0
  fi
  local version work module path
  version=$(basename "$(ls -d "$home"/root/lib/modules/*)")
  depmod -b "$home/root" "$version"
  work=$(mktemp -d)
  mkdir -p "$work/bin" "$work/modules" "$work/proc" "$work/sys" "$work/dev"
  cp "$home/root/bin/busybox" "$work/bin/busybox"
  install -m 0755 "$repo/scripts/machine/init" "$work/init"
  cp "$repo/scripts/machine/agent.sh" "$work/agent.sh"
  : >"$work/modules/order"
  for module in virtio_pci virtio_console 9pnet_virtio 9p; do
    modprobe -d "$home/root" -S "$version" --show-depends "$module" | while read -r _ path _; do
      grep -qx "$(basename "$path")" "$work/modules/order" && continue
      cp "$path" "$work/modules/"
      basename "$path" >>"$work/modules/order"
    done
  done
  (cd "$work" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd.tmp"
  mv "$initrd.tmp" "$initrd"
  rm -rf "$work"
}

start_machine() {
  local owner=$1 root=${2:-} uart=${3:-}
  if is_running; then
    if [ -f "$state/ready" ] && [ "$(cat "$state/root" 2>/dev/null)" = "$root" ] \
       && [ "$(cat "$state/uart" 2>/dev/null)" = "$uart" ]; then
      return 0
    fi
    [ -f "$state/ready" ] && { echo "arm-machine: the $arch machine is running with another root or devices" >&2; exit 1; }
  fi
  # A userland root: the mount points of the checkout and the build tree are made in it.
  local root_share=() root_args=""
  if [ -n "$root" ]; then
    root=$(realpath "$root")
    [ -x "$root/bin/sh" ] || { echo "arm-machine: $root is no userland (no /bin/sh)" >&2; exit 1; }
    mkdir -p "$root$repo" "$root$build"
    root_share=(-virtfs "local,path=$root,mount_tag=root,security_model=none,multidevs=remap"
                -virtfs "local,path=$repo,mount_tag=source,security_model=none,readonly=on,multidevs=remap")
    root_args=" ARM_ROOT=1 ARM_SOURCE=$repo"
  fi
  build_initramfs
  rm -rf "$state"
  mkdir -p "$spool"
  # The UART's line: qemu listens on a socket in the state folder and connects the virtio
  # console port to it (the server comes first, so the connect finds it listening).
  local uart_devices=()
  if [ -n "$uart" ]; then
    uart_devices=(-chardev "socket,id=uart,path=$state/uart.sock,server=on,wait=off" -device pci-serial,chardev=uart
                  -chardev "socket,id=uart-peer,path=$state/uart.sock" -device virtserialport,chardev=uart-peer,name=uart-peer)
  fi
  # Commands reach the agent as lines on a virtio serial port, fed from this FIFO.
  mkfifo "$state/jobs.in" "$state/jobs.out"
  local lifetime=${ARM_MACHINE_LIFETIME:-2400} memory=2048
  local started=$SECONDS
  # The host's own timeout bounds the machine even if the guest hangs.
  setsid timeout -k 10 "$((lifetime + 60))" "${qemu[@]}" -smp 2 -m "$memory" \
    -display none -monitor none -serial "file:$state/console.log" -nic none -no-reboot \
    -kernel "$kernel" -initrd "$home/initrd.img" \
    -append "console=ttyAMA0 quiet panic=-1 ARM_BUILD=$build ARM_STATE=$state ARM_LIFETIME=$lifetime$root_args" \
    -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap "${root_share[@]}" \
    -virtfs "local,path=$build,mount_tag=build,security_model=none,multidevs=remap" \
    -virtfs "local,path=$state,mount_tag=state,security_model=none" \
    -device virtio-serial-pci -chardev "pipe,id=jobs,path=$state/jobs" -device virtserialport,chardev=jobs,name=jobs \
    "${uart_devices[@]}" </dev/null >"$state/qemu.log" 2>&1 &
  echo $! >"$state/pid"
  echo "$owner" >"$state/owner"
  echo "$root" >"$state/root"
  echo "$uart" >"$state/uart"
  local tries
  for ((tries = 0; tries < 1800; tries++)); do
    [ -f "$state/ready" ] && break
    if ! is_running; then
      echo "arm-machine: the $arch machine stopped while booting:" >&2
      cat "$state/qemu.log" "$state/console.log" >&2
      exit 1
    fi
    sleep 0.1
  done
  if [ ! -f "$state/ready" ]; then
    echo "arm-machine: the $arch machine did not come up in 180 s:" >&2
    cat "$state/console.log" >&2
    stop_machine ""
    exit 1
  fi
  echo "arm-machine: $arch machine up in $((SECONDS - started)) s (kernel uptime $(cat "$state/ready") s)" >&2
}

stop_machine() {
  local owner=$1
  is_running || return 0
  if [ -n "$owner" ] && [ "$(cat "$state/owner" 2>/dev/null)" != "$owner" ]; then
    return 0
  fi
  local pid tries
  pid=$(cat "$state/pid")
  tell poweroff
  for ((tries = 0; tries < 300; tries++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "arm-machine: the $arch machine did not power off; ending it" >&2
    kill -TERM "$pid" 2>/dev/null || true
    sleep 1
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$state/pid"
}

# Runs one command in the running machine: a job script in the spool, its output streamed
# back while it runs, its exit code returned. A signal cancels the job inside too.
exec_in_machine() {
  if ! is_running || [ ! -f "$state/ready" ]; then
    # ctest lists a GoogleTest program's cases before any test (and so before the fixture
    # that boots the machine) runs. Listing starts no thread, so qemu-user does it.
    if [[ " $* " == *" --gtest_list_tests "* ]]; then
      exec "qemu-${qemu_user}" -L "/usr/$triplet" "$@"
    fi
    echo "arm-machine: no $arch machine is running (scripts/arm-machine.sh start $arch)" >&2
    exit 125
  fi
  local name job word var
  name=$spool/$(date +%s%N).$$
  job=$name.tmp
  {
    printf 'cd %s || exit 126\n' "$(quote "$PWD")"
    printf 'export TILLPORT_TIME_SCALE=%s\n' "${TILLPORT_TIME_SCALE:-$time_scale}"
    while IFS= read -r var; do
      [ "$var" = TILLPORT_TIME_SCALE ] && continue
      printf 'export %s=%s\n' "$var" "$(quote "${!var}")"
    done < <(compgen -e | grep -E '^(GTEST|TILLPORT)_')
    # A shell script runs in busybox's sh: the host's interpreters are x86-64 programs.
    if [ -f "$1" ] && head -c 2 "$1" | grep -q '#!'; then
      printf 'set -- sh'
    else
      printf 'set --'
    fi
    for word in "$@"; do
      printf ' %s' "$(quote "$word")"
    done
    printf '\nexec "$@"\n'
  } >"$job"
  mv "$job" "$name.job"
  trap 'tell cancel "$name"; exit 143' TERM INT HUP
  tell run "$name"
  # ctest ends a test that runs too long by killing it and its descendants, which no trap
  # sees: a watcher that is nobody's descendant cancels the job inside once this process is
  # gone without having cleaned up after the job.
  local client=$BASHPID
  (setsid bash "$0" watch "$arch" "$client" "$name" </dev/null >/dev/null 2>&1 &)

  local shown=0 size
  while :; do
    if [ -f "$name.rc" ]; then
      size=$(stat -c %s "$name.out" 2>/dev/null || echo 0)
      [ "$size" -gt "$shown" ] && tail -c +"$((shown + 1))" "$name.out"
      break
    fi
    size=$(stat -c %s "$name.out" 2>/dev/null || echo 0)
    if [ "$size" -gt "$shown" ]; then
      tail -c +"$((shown + 1))" "$name.out" | head -c "$((size - shown))"
      shown=$size
    fi
    if ! is_running; then
      echo "arm-machine: the $arch machine stopped before the command ended" >&2
      tail -n 20 "$state/console.log" >&2
      exit 125
    fi
    sleep 0.1
  done
  local rc
  rc=$(cat "$name.rc")
  rm -f "$name".*
  return "$rc"
}

[ $# -ge 2 ] || usage
case "$1" in
  watch)  # watch ARCH PID NAME: cancels job NAME once process PID has ended without
    machine_config "$2"  # removing it; asks again until the agent has removed it
    while kill -0 "$3" 2>/dev/null; do sleep 1; done
    for _ in 1 2 3 4 5; do
      [ -e "$4.job" ] && [ ! -e "$4.rc" ] && is_running || break
      tell cancel "$4"
      sleep 2
    done
    exit 0
    ;;
  start | stop | exec)
    action=$1
    machine_config "$2"
    shift 2
    ;;
  *)
    action=run
    machine_config "$1"
    shift
    ;;
esac
owner=""
root=""
uart=""
if [ "$action" = start ] || [ "$action" = stop ]; then
  while [ $# -ge 1 ]; do
    case "$1" in
      --uart) [ "$action" = start ] || usage; uart=1; shift; continue ;;
    esac
    [ $# -ge 2 ] || usage
    case "$1" in
      --owner) owner=$2 ;;
      --root) [ "$action" = start ] || usage; root=$2 ;;
      *) usage ;;
    esac
    shift 2
  done
fi

case "$action" in
  start) start_machine "${owner:-user}" "$root" "$uart" ;;
  stop) stop_machine "$owner" ;;
  exec)
    [ $# -ge 1 ] || usage
    exec_in_machine "$@"
    ;;
  run)
    [ $# -ge 1 ] || usage
    if ! is_running; then
      trap 'stop_machine run' EXIT
      start_machine run "${ARM_MACHINE_ROOT:-}"
    fi
    status=0
    exec_in_machine "$@" || status=$?
    exit "$status"
    ;;
esac
