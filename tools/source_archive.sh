#!/usr/bin/env bash
# Makes the source archive that the Homebrew formula builds from,
# build-cross/trail-VERSION.tar.gz (the committed tree at HEAD, with a top
# folder trail-VERSION), and writes its version, url and sha256 into
# packaging/homebrew/trail.rb.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(trail VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p build-cross
archive=build-cross/trail-$version.tar.gz
git archive --format=tar.gz --prefix="trail-$version/" -o "$archive" HEAD
sum=$(sha256sum "$archive" | cut -d' ' -f1)
formula=packaging/homebrew/trail.rb
sed -i -e "s|releases/trail-[0-9.]*\.tar\.gz|releases/trail-$version.tar.gz|" \
  -e "s|sha256 \"[0-9a-f]*\"|sha256 \"$sum\"|" "$formula"
echo "$archive  sha256 $sum (written into $formula)"
