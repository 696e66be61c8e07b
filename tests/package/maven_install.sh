#!/usr/bin/env bash
# Maven takes the delivered jar by its pom.xml: mvn install:install-file, offline, puts the
# jar, its sources jar and the pom into a new local repository at the pom's coordinates,
# the very files delivered. Maven and its install plugin come from Debian
# (/usr/share/maven-repo, the only repository this run may read); nothing is fetched.
# Arguments: packages directory, upstream version, a build directory for the repository.
set -euo pipefail
packages=$1 version=$2 build=$3
debian_repo=/usr/share/maven-repo

fail() { echo "FAIL (Maven): $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
[ -d "$packages" ] || skip "no packages built yet: run bash scripts/package.sh"
command -v mvn >/dev/null || skip "no mvn: install Debian's maven (scripts/setup.sh does)"
[ -d "$debian_repo/org/apache/maven/plugins/maven-install-plugin" ] \
  || skip "no Maven install plugin in $debian_repo: install libmaven-install-plugin-java (scripts/setup.sh does)"
jar=$packages/tillportcomm-$version.jar sources=$packages/tillportcomm-$version-sources.jar pom=$packages/pom.xml
for file in "$jar" "$sources" "$pom"; do
  [ -f "$file" ] || fail "$file is missing: run bash scripts/package.sh"
done

work=$(mktemp -d "$build/maven.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Every repository is mirrored to Debian's, and offline mode reads it only as a local file.
cat >"$work/settings.xml" <<SETTINGS
<settings>
  <localRepository>$work/repository</localRepository>
  <offline>true</offline>
  <mirrors>
    <mirror><id>debian</id><mirrorOf>*</mirrorOf><url>file://$debian_repo</url></mirror>
  </mirrors>
</settings>
SETTINGS
if ! mvn --batch-mode --offline --settings "$work/settings.xml" -Daether.offline.protocols=file \
       install:install-file -Dfile="$jar" -Dsources="$sources" -DpomFile="$pom" >"$work/mvn.txt" 2>&1; then
  cat "$work/mvn.txt"
  fail "mvn install:install-file refused the jar and its pom.xml"
fi
installed=$work/repository/orvik/services/tillportcomm/$version
for pair in "$jar:tillportcomm-$version.jar" "$sources:tillportcomm-$version-sources.jar" "$pom:tillportcomm-$version.pom"; do
  cmp -s "${pair%%:*}" "$installed/${pair#*:}" || fail "$installed/${pair#*:} is not $(basename "${pair%%:*}")"
done
echo "mvn install:install-file put orvik.services:tillportcomm:$version (jar, sources, pom) in a local repository"
