#!/bin/sh
# Cross-builds everything for the controllers (armhf) and runs the tests that
# run under the emulator:
#   scripts/cross-armhf.sh [BUILD_DIR] [-- extra cmake options]
# 1. installs the cross compiler, qemu-user and the armhf libraries
#    (scripts/packages-armhf.txt; needs root the first time, idempotent);
# 2. configures with cmake/toolchain-armhf.cmake (Release, tests on) and builds
#    kvupdaterd, KV2TPCBATest, the tools, the unit tests and the daemon's own
#    package (deploy/kvupdaterd_<version>_armhf.ipk and its .sign64);
# 3. runs ctest: the unit tests through qemu-arm and the end-to-end tests of
#    the emulated daemon;
# 4. prints the stripped sizes (bench/size-report.sh).
# KV_CROSS_NO_TESTS=1 stops after the build.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
cd "$here/.."
build=build/armhf
if [ $# -gt 0 ] && [ "$1" != -- ]; then build=$1; shift; fi
[ "${1:-}" = -- ] && shift
jobs=$(nproc)

# An armhf library that conflicted with the machine's own development
# packages fails the install; it never replaces them.
"$here/setup.sh" "$here/packages-armhf.txt"

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build "$build" -j"$jobs"
if [ "${KV_CROSS_NO_TESTS:-0}" != 1 ]; then
  ctest --test-dir "$build" --output-on-failure -j"$jobs"
fi
# The size targets are reported, not enforced here.
"$here/../bench/size-report.sh" "$build" || echo "cross-armhf: a program is over its size target (see above)"
