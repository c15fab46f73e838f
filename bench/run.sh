#!/bin/sh
# bench/run.sh [BUILD_DIR] [MIB]
#
# Measures, on the same file of MIB MiB (default 256):
#   - our decryption core against `openssl enc -d -aes-256-cbc -nopad`,
#   - our signature check against `openssl dgst -sha256 -verify`,
# and prints the throughput of each and the ratio ours/openssl (higher is
# better for us). Every figure is the best of REPEAT runs (default 5), each a
# whole process timed from outside, so both sides pay their start-up alike.
# Also prints the peak memory of the decryption at MIB and at MIB/16 MiB, which
# must be the same: the payload is streamed through two fixed buffers.
#
# BUILD_DIR (default build-bench next to this folder) is configured as a
# Release build if it has no cache yet; kvbench and kvpack are built in it.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build=${1:-$source_dir/build-bench}
mib=${2:-256}
repeat=${REPEAT:-5}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target kvbench kvpack -j2 >/dev/null
kvbench=$build/bench/kvbench
kvpack=$build/tools/kvpack/kvpack
keys=$source_dir/keys/development

work=$(mktemp -d "${TMPDIR:-/tmp}/kvbench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

small=$((mib / 16))
[ "$small" -ge 1 ] || small=1
"$kvbench" payload "$work/payload.bin" "$mib"
"$kvbench" payload "$work/small.bin" "$small"
set -- $("$kvbench" keyhex)
key=$1
iv=$2
"$kvpack" sign --key "$keys/development-ipksignkeyprivate.pem" -o "$work/payload.sign64" "$work/payload.bin"
openssl base64 -d -in "$work/payload.sign64" -out "$work/payload.sig"

# Seconds of the fastest of $repeat runs of the command (output discarded).
best() {
  best_ns=
  i=0
  while [ "$i" -lt "$repeat" ]; do
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    ns=$((end - start))
    if [ -z "$best_ns" ] || [ "$ns" -lt "$best_ns" ]; then best_ns=$ns; fi
    i=$((i + 1))
  done
  echo "$best_ns"
}

# Warm the page cache so that every run reads from memory.
cat "$work/payload.bin" >/dev/null

ours_dec=$(best "$kvbench" decrypt "$work/payload.bin")
ssl_dec=$(best openssl enc -d -aes-256-cbc -nopad -K "$key" -iv "$iv" -in "$work/payload.bin" -out /dev/null)
ours_sig=$(best "$kvbench" verify "$work/payload.bin" "$work/payload.sign64" "$keys/ipksignkeypublic.pem")
ssl_sig=$(best openssl dgst -sha256 -verify "$keys/ipksignkeypublic.pem" -signature "$work/payload.sig" "$work/payload.bin")
peak_big=$("$kvbench" decrypt "$work/payload.bin")
peak_small=$("$kvbench" decrypt "$work/small.bin")

awk -v mib="$mib" -v small="$small" -v od="$ours_dec" -v sd="$ssl_dec" -v os="$ours_sig" -v ss="$ssl_sig" \
    -v pb="$peak_big" -v ps="$peak_small" -v rep="$repeat" 'BEGIN {
  printf "file: %d MiB, best of %d runs each, page cache warm\n\n", mib, rep
  printf "%-34s %10s %10s %8s\n", "", "ours MiB/s", "openssl", "ratio"
  printf "%-34s %10.0f %10.0f %8.2f   (target >= 1.10)\n", "decryption (AES-256-CBC, no pad)", mib/(od/1e9), mib/(sd/1e9), sd/od
  printf "%-34s %10.0f %10.0f %8.2f   (target >= 1.00)\n", "signature check (SHA-256, RSA)", mib/(os/1e9), mib/(ss/1e9), ss/os
  printf "\npeak memory of the decryption: %d KiB at %d MiB, %d KiB at %d MiB (%+d KiB)\n", pb, mib, ps, small, pb-ps
  printf "Not included: the fixed waits of DeCrypt after each flush of the file\n"
  printf "systems (2 s + 1 s + 1 s = 4 s per container), which do not depend on its size.\n"
}'
