# The emulated ARM machine's agent (busybox sh, chrooted in the host's root). For each line
# "run NAME" that the host writes to the virtio serial port "jobs", it runs the shell script
# NAME.job in a session of its own, with its output in NAME.out and its exit code in NAME.rc;
# "cancel NAME" kills that session; "poweroff" ends the agent, and so does the machine's
# LIFETIME in seconds since boot.
state=$1
lifetime=$2
export PATH=/run/arm-machine/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin
export HOME=/tmp
# The ARM JVM of the root (installed beside the host's, or a userland's own) comes before
# the host's own java.
case "$(uname -m)" in
  aarch64) debian_arch=arm64 ;;
  arm*) debian_arch=armhf ;;
esac
for jvm in /usr/lib/jvm/java-*-openjdk-"$debian_arch"; do
  [ -x "$jvm/bin/java" ] && PATH=$jvm/bin:$PATH && break
done
cd / || exit 1

port=""
for dir in /sys/class/virtio-ports/*; do
  [ "$(cat "$dir/name" 2>/dev/null)" = jobs ] && port=/dev/${dir##*/}
done
if [ -z "$port" ] || ! exec 3<"$port"; then
  echo "arm-machine: no jobs port" >&2
  exit 1
fi

read -r booted _ </proc/uptime
echo "$booted" >"$state/ready.tmp" && mv "$state/ready.tmp" "$state/ready"

while :; do
  if read -t 5 -r verb name <&3; then
    case "$verb" in
      run)
        [ -f "$name.job" ] || continue
        setsid sh -c 'echo $$ >"$1.pid"; sh "$1.job" >"$1.out" 2>&1 </dev/null; echo $? >"$1.rc.tmp"; mv "$1.rc.tmp" "$1.rc"' \
          job "$name" </dev/null >/dev/null 2>&1 3<&- &
        ;;
      cancel)
        [ -e "$name.job" ] || continue
        # The session may not have written its id yet: give it a moment.
        for _ in 1 2 3 4 5 6 7 8 9 10; do
          [ -s "$name.pid" ] && break
          sleep 0.1
        done
        [ -s "$name.pid" ] && kill -KILL -- "-$(cat "$name.pid")" 2>/dev/null
        rm -f "$name.job" "$name.pid" "$name.out" "$name.rc"
        ;;
      poweroff) break ;;
    esac
  fi
  read -r now _ </proc/uptime
  if [ "${now%.*}" -ge "$lifetime" ]; then
    echo "arm-machine: lifetime of $lifetime s is over, powering off" >&2
    break
  fi
done
