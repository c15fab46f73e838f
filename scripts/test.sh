#!/bin/sh
# Sets up the machine, builds and runs the whole test suite:
#   1. the Release build (optimised, hardened, warnings as errors): the unit
#      tests, the static checks (clang-tidy, clang-format), the host tools'
#      package as shipped (lintian, hardening of every program) and the
#      real-systemd tier
#      (label "systemd": the daemon and its units in containers booted from a
#      Debian root made once beside the build);
#   2. the AddressSanitizer + UndefinedBehaviorSanitizer build: the whole
#      suite, unit and end-to-end;
#   3. the ThreadSanitizer build: the concurrency tests (label "tsan");
#   4. the fuzzing build (clang, libFuzzer): every fuzz target for a bounded
#      time (KV_FUZZ_TIME seconds each, default 10);
#   5. the armhf cross build (scripts/cross-armhf.sh): the unit tests and the
#      daemon's end-to-end tests under qemu-user, and the stripped sizes.
# Build folders: build/release, build/asan, build/tsan, build/fuzz, build/armhf.
set -eu
cd "$(dirname "$0")/.."
jobs=$(nproc)

./scripts/setup.sh

step() { printf '\n==== %s ====\n' "$*"; }

step "Release build, unit tests and static checks"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j"$jobs"
ctest --test-dir build/release --output-on-failure -j"$jobs" -R '^(unit|lint)\.|^e2e\.tools_package$'
cmake --build build/release -j"$jobs" --target kvupdaterd-ipk
ctest --test-dir build/release --output-on-failure -L systemd

step "AddressSanitizer + UndefinedBehaviorSanitizer build and suite"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" -LE 'tsan|fuzz'

step "ThreadSanitizer build: concurrency tests"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=Debug -DKV_TSAN=ON
cmake --build build/tsan -j"$jobs" --target kv_tsan_tests
if ctest --test-dir build/tsan -N -L tsan | grep -q 'Total Tests: [1-9]'; then
  TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j"$jobs" -L tsan
fi

step "Fuzzing build: bounded runs of every fuzz target"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=ON -DKV_FUZZ=ON \
  -DKV_FUZZ_TIME="${KV_FUZZ_TIME:-10}"
cmake --build build/fuzz -j"$jobs" --target kv_fuzzers
if ctest --test-dir build/fuzz -N -L fuzz | grep -q 'Total Tests: [1-9]'; then
  ctest --test-dir build/fuzz --output-on-failure -j"$jobs" -L fuzz
fi

step "armhf cross build: unit and end-to-end tests under qemu-user, sizes"
./scripts/cross-armhf.sh build/armhf

step "Suite passed"
