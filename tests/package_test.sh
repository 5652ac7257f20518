#!/usr/bin/env bash
# Installing and packaging as a user or a distribution would: cmake --install
# into a prefix, the .deb unpacked into a root of its own and its program
# run from there, the .tar.gz listed.
#   tests/package_test.sh BUILD-DIR VERSION
set -euo pipefail
build=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "$*"; exit 1; }

# cmake --install
cmake --install "$build" --prefix "$work/prefix" >/dev/null
for file in bin/trail share/man/man1/trail.1 share/doc/trail/README.md share/doc/trail/LICENSE; do
  [ -f "$work/prefix/$file" ] || fail "cmake --install put no $file"
done
[ -x "$work/prefix/bin/trail" ] || fail "bin/trail is not executable"

# The .deb and the .tar.gz
(cd "$build" && cpack -G "DEB;TGZ" -B "$work/packages" >/dev/null) || fail "cpack failed"
deb=$(ls "$work"/packages/trail_"$version"_*.deb) || fail "no .deb named for version $version"
dpkg-deb -x "$deb" "$work/root"
shown=$("$work/root/usr/bin/trail" --version)
[ "$shown" = "trail $version" ] || fail "trail --version from the .deb says '$shown'"

listed=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | sort)
expected=$(printf '%s\n' ./usr/bin/trail ./usr/share/doc/trail/LICENSE ./usr/share/doc/trail/README.md \
  ./usr/share/man/man1/trail.1.gz | sort)
[ "$listed" = "$expected" ] || fail "the .deb holds:
$listed
instead of:
$expected"
gzip -t "$work/root/usr/share/man/man1/trail.1.gz" || fail "the manual page in the .deb is not gzip"
[ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "section is not utils"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version is not $version"
[ -z "$(dpkg-deb -f "$deb" Depends)" ] || fail "the static program should depend on nothing: $(dpkg-deb -f "$deb" Depends)"

tgz=$(ls "$work"/packages/trail-"$version"-*.tar.gz) || fail "no .tar.gz"
# Listed once: grep -q would stop reading early, and tar's SIGPIPE fail the
# pipeline.
contents=$(tar -tzf "$tgz")
grep -q '/bin/trail$' <<<"$contents" || fail "the .tar.gz holds no bin/trail"
grep -q '/share/man/man1/trail.1$' <<<"$contents" || fail "the .tar.gz holds no manual page"
echo "install and packages fine"
