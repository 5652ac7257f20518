#!/usr/bin/env bash
# Builds trail and runs every test: the suite on the release-like build, the
# suite again under AddressSanitizer with UndefinedBehaviorSanitizer and
# under ThreadSanitizer, end-to-end runs under valgrind's memcheck, each
# libFuzzer target for a bounded time, the macOS and static musl builds
# (the suite run on the latter), and the Win32 build under wine. Installs
# what is missing first (as root, with apt-get; zig from the npm registry).
# Runs every stage, then fails if any failed.
set -uo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${TRAIL_FUZZ_SECONDS:-30}

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v clang++ >/dev/null || need+=(clang)
command -v valgrind >/dev/null || need+=(valgrind)
# libFuzzer's runtime comes apart from the compiler.
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
[ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
# The manual page's linter and renderer.
command -v mandoc >/dev/null || need+=(mandoc)
command -v man >/dev/null || need+=(man-db)
# zig, for the cross builds, comes from the npm registry.
command -v npm >/dev/null || need+=(npm)
command -v readelf >/dev/null || need+=(binutils)
command -v unshare >/dev/null || need+=(util-linux)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== installing: ${need[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" || exit 1
  else
    echo "missing and cannot install (not root): ${need[*]}" >&2
    exit 1
  fi
fi

passed=0
failed=0
failures=()
stage() {  # stage NAME COMMAND...
  local name=$1
  shift
  echo "== $name"
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "== FAILED: $name"
  fi
}

suite() {  # suite DIR CTEST-EXCLUDE-REGEX CMAKE-OPTIONS...
  local dir=$1 exclude=$2
  shift 2
  cmake -S . -B "$dir" -G Ninja -DTRAIL_WERROR=ON -DBUILD_TESTING=ON -DTRAIL_TESTS=ON "$@" >/dev/null &&
    cmake --build "$dir" &&
    ctest --test-dir "$dir" --output-on-failure --no-tests=error --timeout 600 ${exclude:+-E "$exclude"}
}

# ThreadSanitizer emulates signal delivery, and now and then drops a signal
# sent to the program (seen with SIGINT, SIGTERM and SIGHUP); the tests whose
# subject is a signal ending trail run in every other stage instead.
tsan_exclude='control_signal|quit_key.*x3|closing_the_terminal|suspended|a_fifo|without_a_keyboard'

under_valgrind() {
  cmake -S . -B build-valgrind -G Ninja -DTRAIL_WERROR=ON -DTRAIL_STATIC=OFF >/dev/null &&
    cmake --build build-valgrind &&
    TRAIL_TEST_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=no" \
      build-valgrind/tests/trail_e2e_tests \
      --gtest_filter='terminal.*:terminal_text.hostile*:terminal_text/utf16_log.*:pipe.file_bytes*:pipe.a_*:odd_files.a_fifo*:odd_files.renamed*:soak.*:output/rotation.renamed*:output/rotation.generations*:output/pattern.moves*:several_files.into_a_pipe*:several_files.on_a_terminal*:several_files.a_rotation*'
}

fuzz() {
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTRAIL_WERROR=ON -DTRAIL_FUZZ=ON >/dev/null &&
    cmake --build build-fuzz || return 1
  local target corpus
  for target in command_line_fuzz locator_fuzz normalize_fuzz shown_fuzz; do
    corpus=build-fuzz/corpus/$target
    mkdir -p "$corpus"
    echo "-- $target for ${fuzz_seconds}s"
    build-fuzz/tests/fuzz/$target -max_total_time="$fuzz_seconds" -print_final_stats=0 "$corpus" 2>&1 | tail -n 3 ||
      return 1
  done
}

# The other POSIX systems, cross-built with zig (tools/cross.sh): static
# musl programs for x86_64 and aarch64 Linux, and macOS programs for x86_64
# and arm64, which are compiled and linked only. The static x86_64 program
# then runs the whole end-to-end suite.
cross_builds() {
  tools/cross.sh &&
    cmake -S . -B build-musl-e2e -G Ninja -DTRAIL_WERROR=ON -DTRAIL_TESTED_BINARY="$PWD/build-cross/linux-x86_64/trail" >/dev/null &&
    cmake --build build-musl-e2e --target trail_e2e_tests &&
    build-musl-e2e/tests/trail_e2e_tests
}

# The Win32 build: cross-built with mingw-w64, tested under wine. Installed
# here when missing (as root); skipped with a line saying so where it cannot
# be.
win32_under_wine() {
  if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v wine >/dev/null; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++-mingw-w64-x86-64-posix wine64 wine ||
      return 1
  fi
  export WINEDEBUG=-all
  # A prefix of our own: nothing depends on HOME or on the user's own.
  export WINEPREFIX="$PWD/build-win/wine-prefix"
  mkdir -p build-win
  timeout 300 wineboot --init >/dev/null 2>&1 || true
  cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DTRAIL_WERROR=ON >/dev/null &&
    cmake --build build-win &&
    (cd build-win && cpack >/dev/null) &&
    cmake -S . -B build-wine -G Ninja -DTRAIL_WERROR=ON -DTRAIL_WIN32_DIR="$PWD/build-win" >/dev/null &&
    cmake --build build-wine &&
    ctest --test-dir build-wine --output-on-failure --no-tests=error --timeout 600 -R '^wine[./]'
}

stage "tests" suite build ""
# This stage also takes the select() road to the terminal that macOS needs,
# so that it is run on every test run.
stage "tests under address and undefined-behaviour sanitizers, waiting by select()" suite build-asan "" \
  -DTRAIL_SANITIZE=address,undefined -DTRAIL_WAIT_BY_SELECT=ON
stage "tests under thread sanitizer" suite build-tsan "$tsan_exclude" -DTRAIL_SANITIZE=thread
stage "end-to-end runs under valgrind memcheck" under_valgrind
stage "fuzzing" fuzz
stage "macOS and static musl builds by zig; the end-to-end suite on the static x86_64 one" cross_builds
if [ "$(id -u)" = 0 ] || { command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null; }; then
  stage "Win32 build under wine" win32_under_wine
else
  echo "== SKIPPED: Win32 build under wine (mingw-w64 and wine are missing, and installing them needs root)"
fi

echo
[ $failed -eq 0 ] || echo "failed stages: ${failures[*]}"
echo "stages: $passed passed, $failed failed"
[ $failed -eq 0 ]
