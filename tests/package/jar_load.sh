#!/usr/bin/env bash
# The jar's own library on this machine, with an empty java.library.path (so an installed
# package is never found): two JVMs at once load it and print (jar_print.sh); then, one JVM
# at a time with ControlDemo, the copy in ~/.cache/tillportcomm is reused as it is when it
# is the jar's, and refused and replaced when it was changed; a folder another user owns or
# others may enter is not trusted, and the library is loaded from a new private folder under
# java.io.tmpdir that is gone afterwards, as for a service user without a home (nobody, run
# as such when this is root); and when no place works, the one UnsatisfiedLinkError names
# the processor and every place tried with its reason.
# Arguments: jar, demo classes directory, virtual printer program.
set -euo pipefail
jar=$1 demo_classes=$2 printer_program=$3
here=$(dirname "$0")

fail() { echo "FAIL (the jar's library): $*" >&2; exit 1; }
[ -d "$(dirname "$jar")" ] || { echo "SKIP: no packages built yet: run bash scripts/package.sh"; exit 77; }
[ -f "$jar" ] || fail "$jar is missing: run bash scripts/package.sh"
jar=$(realpath "$jar") demo_classes=$(realpath "$demo_classes")
entry=natives/linux-x86_64/libtillportcommX64.so
work=$(mktemp -d)
trap 'chmod -R u+w "$work" 2>/dev/null; rm -rf "$work"' EXIT
(cd "$work" && jar --extract --file "$jar" "$entry.sha256")
sum=$(cut -d' ' -f1 <"$work/$entry.sha256")

sh "$here/jar_print.sh" java "$printer_program" "$jar" "$demo_classes" X64 "$sum" -XX:-UsePerfData

# The library ControlDemo loaded, from its first line ("ControlDemo: library PATH, loaded in N ms").
# The empty java.library.path means the working directory: one without a library.
home=$work/home tmp=$work/tmp
mkdir -p "$home" "$tmp"
chmod 1777 "$tmp"
cd "$work"
demo() {
  java -XX:-UsePerfData -Djava.library.path= -Duser.home="$home" -Djava.io.tmpdir="$tmp" \
    -cp "$jar:$demo_classes" ControlDemo >"$work/out.txt" 2>&1 || { cat "$work/out.txt"; fail "ControlDemo failed"; }
  sed -n 's/^ControlDemo: library \(.*\), loaded in .*/\1/p' "$work/out.txt"
}
copy=$(demo)
case "$copy" in
  "$home/.cache/tillportcomm/libtillportcommX64-${sum:0:16}.so") ;;
  *) fail "the first load took '$copy', not the copy in $home/.cache/tillportcomm" ;;
esac
inode=$(stat -c %i "$copy")
[ "$(demo)" = "$copy" ] && [ "$(stat -c %i "$copy")" = "$inode" ] || fail "the copy was not reused as it was"

# A copy that is no longer the jar's (here: one byte more) is replaced before the load.
printf x >>"$copy"
[ "$(demo)" = "$copy" ] || fail "the changed copy's place was not loaded"
[ "$(stat -c %i "$copy")" != "$inode" ] || fail "the changed copy was loaded instead of being replaced"
[ "$(sha256sum <"$copy" | cut -d' ' -f1)" = "$sum" ] || fail "the replacement is not the jar's library"

# A folder others may enter, another user's, or one below a folder others may write to is
# not used; the library comes from a new folder under java.io.tmpdir, which is gone after.
folder=$home/.cache/tillportcomm
for change in "chmod 0750 $folder" "chown nobody $folder" "chmod 0777 $home"; do
  $change
  loaded=$(demo)
  [[ "$loaded" == "$tmp"/tillportcomm-*/libtillportcommX64-*.so" (deleted)" ]] \
    || fail "after $change the library came from '$loaded', not a new folder under $tmp"
  [ -z "$(ls -A "$tmp")" ] || fail "left in $tmp: $(ls -A "$tmp")"
  chmod 0700 "$folder"
  chown "$(id -u)" "$folder"
  chmod 0755 "$home"
done

if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  # A service user whose home does not exist: nobody, with the jar and classes readable to it.
  cp -r "$jar" "$demo_classes" "$work/"
  chmod -R a+rX "$work"
  setpriv --reuid=nobody --regid=nogroup --clear-groups java -XX:-UsePerfData -Djava.library.path= \
      -Djava.io.tmpdir="$tmp" -cp "$work/$(basename "$jar"):$work/$(basename "$demo_classes")" ControlDemo \
      >"$work/out.txt" 2>&1 || { cat "$work/out.txt"; fail "ControlDemo as nobody failed"; }
  loaded=$(sed -n 's/^ControlDemo: library \(.*\), loaded in .*/\1/p' "$work/out.txt")
  [[ "$loaded" == "$tmp"/tillportcomm-*/libtillportcommX64-*.so" (deleted)" ]] \
    || fail "as nobody the library came from '$loaded', not a new folder under $tmp"
  [ -z "$(ls -A "$tmp")" ] || fail "left in $tmp by nobody: $(ls -A "$tmp")"
  echo "as nobody (home $(getent passwd nobody | cut -d: -f6)): $loaded"
fi

# No place works: no home, no java.io.tmpdir.
status=0
java -XX:-UsePerfData -Djava.library.path= -Duser.home="$work/gone" -Djava.io.tmpdir="$work/gone" \
  -cp "$jar:$demo_classes" ControlDemo >"$work/out.txt" 2>&1 || status=$?
[ "$status" -ne 0 ] || fail "ControlDemo loaded a library with no place to load it from"
for expected in \
    "UnsatisfiedLinkError: tillportcomm: cannot load libtillportcommX64.so for processor amd64 (os.arch); tried:" \
    "  java.library.path (): no tillportcommX64 in java.library.path" \
    "  the jar's $entry in $work/gone/.cache/tillportcomm: IOException: no home folder" \
    "  the jar's $entry in a new folder under java.io.tmpdir ($work/gone): NoSuchFileException: $work/gone/tillportcomm-"; do
  grep -qF -- "$expected" "$work/out.txt" || { cat "$work/out.txt"; fail "the error does not say '$expected'"; }
done
echo "the jar's library: reused, replaced when changed, never from a folder others can change; the failure names every place"
