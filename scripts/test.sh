#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
#   scripts/test.sh             into build/
#   scripts/test.sh --sanitize  into build-asan/, built by clang, with
#                               AddressSanitizer and UndefinedBehaviorSanitizer;
#                               any report fails
#   scripts/test.sh --tsan      into build-tsan/, with ThreadSanitizer; any
#                               report fails, but for those inside Debian's
#                               uninstrumented libraries (scripts/tsan.supp)
# BUILD_ROOT=DIR puts those folders in DIR instead of the checkout (which
# may then be read-only). The tests run walled in a PID namespace of their
# own where one can be made (scripts/signal_wall.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

build=build
# Line tables are all a failing test's backtrace needs; full debug info would
# make the build a third slower.
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG")
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  # Clang 19: up to GCC 13 and LLVM 16 the runtime can misread a thread's
  # dynamic TLS block as an old glibc's, and the leak checker then crashes at
  # exit after a test has passed.
  flags=(-DORV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DORV_BUILD_BENCHES=OFF
    -DCMAKE_C_COMPILER=clang-19 -DCMAKE_CXX_COMPILER=clang++-19)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
elif [ "${1:-}" = "--tsan" ]; then
  build=build-tsan
  flags=(-DORV_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_BUILD_BENCHES=OFF)
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"
fi
build="${BUILD_ROOT:-.}/$build"

source scripts/jobs.sh
source scripts/signal_wall.sh
cmake -S . -B "$build" "${flags[@]}"
cmake --build "$build" -j "$jobs"
"${wall[@]}" ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 300
