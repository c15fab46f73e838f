#!/bin/sh
# bench/run.sh [BUILD_DIR] [MIB]
#
# 1. Decryption and signature check against the machine's limits, on the same
#    file of MIB MiB (default 256), page cache warm:
#      - our decryption core (kvbench decrypt: the loop DeCrypt runs, into
#        /dev/null) against the raw single-core cipher speed,
#        `openssl speed -evp aes-256-cbc -decrypt -bytes 1048576`;
#      - our signature check (kvbench verify: sign_VerifyFile) against the raw
#        digest speed, `openssl speed -evp sha256 -bytes 1048576`.
#    Both sides repeat their work for SECONDS (default 1) and report the
#    average; the four measurements alternate, REPEAT rounds (default 10), and
#    each figure is the best of its rounds, so that load from other programs
#    on the machine hits both sides alike. Prints raw MiB/s, ours, the ratio
#    ours/raw and its goal, then the peak resident memory of both at MIB and at
#    MIB/16 MiB, which must be equal and at most 8 MiB.
# 2. The intake road (bench/intake/intakebench.py: a 64 MiB container from
#    the drop to the installer unit's start against its floor, and the bytes
#    written per payload byte).
# 3. The identification answer's latency against its floor
#    (bench/idprot/idbench.py, with IDBENCH_ARGS, default "-n 300 --idle 10
#    --strace 6").
# Parts 2 and 3 run the daemon in network namespaces and need root; PARTS
# (default "crypto intake idprot" as root, "crypto" otherwise) chooses.
#
# BUILD_DIR (default build-bench next to this folder) is configured as a
# Release build if it has no cache yet; the programs are built in it.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
build=${1:-$source_dir/build-bench}
mib=${2:-256}
repeat=${REPEAT:-10}
seconds=${SECONDS_PER_RUN:-1}
if [ "$(id -u)" = 0 ]; then parts=${PARTS:-crypto intake idprot}; else parts=${PARTS:-crypto}; fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target kvbench kvpack kvupdaterd -j2 >/dev/null
kvbench=$build/bench/kvbench
kvpack=$build/tools/kvpack/kvpack
keys=$source_dir/keys/development

wants() {
  case " $parts " in *" $1 "*) return 0 ;; *) return 1 ;; esac
}

crypto() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/kvbench.XXXXXX")
  trap 'rm -rf "$work"' EXIT INT TERM
  small=$((mib / 16))
  [ "$small" -ge 1 ] || small=1
  "$kvbench" payload "$work/payload.bin" "$mib"
  "$kvbench" payload "$work/small.bin" "$small"
  "$kvpack" sign --key "$keys/development-ipksignkeyprivate.pem" -o "$work/payload.sign64" "$work/payload.bin"
  "$kvpack" sign --key "$keys/development-ipksignkeyprivate.pem" -o "$work/small.sign64" "$work/small.bin"
  public=$keys/ipksignkeypublic.pem

  # `openssl speed` prints "<name> <n>k" in thousands of bytes per second.
  raw() {
    openssl speed -evp "$@" -bytes 1048576 -seconds "$seconds" 2>/dev/null |
      awk '$2 ~ /k$/ { v = $2; sub(/k$/, "", v); printf "%.0f\n", v * 1000 / 1048576 }' | tail -n 1
  }
  results=$work/results
  : >"$results"
  # note KEY COMMAND...: appends "KEY <output>"; a failing command ends the run.
  note() {
    key=$1
    shift
    out=$("$@")
    [ -n "$out" ] || { echo "bench/run.sh: no figure from: $*" >&2; exit 1; }
    echo "$key $out" >>"$results"
  }
  i=0
  while [ "$i" -lt "$repeat" ]; do
    # Every round reads from the page cache, whatever the machine dropped.
    cat "$work/payload.bin" "$work/small.bin" >/dev/null
    note raw_dec raw aes-256-cbc -decrypt
    note ours_dec "$kvbench" decrypt "$work/payload.bin" "$seconds"
    note raw_sig raw sha256
    note ours_sig "$kvbench" verify "$work/payload.bin" "$work/payload.sign64" "$public" "$seconds"
    i=$((i + 1))
  done
  # Peak memory of one pass over each file, with address space randomisation
  # off: where the libraries land decides how many of their pages the kernel
  # maps around each page fault, which moves the peak by a few hundred KiB
  # from run to run whatever the file.
  fixed="setarch $(uname -m) -R"
  note big_dec $fixed "$kvbench" decrypt "$work/payload.bin" 0
  note small_dec $fixed "$kvbench" decrypt "$work/small.bin" 0
  note big_sig $fixed "$kvbench" verify "$work/payload.bin" "$work/payload.sign64" "$public" 0
  note small_sig $fixed "$kvbench" verify "$work/small.bin" "$work/small.sign64" "$public" 0

  awk -v mib="$mib" -v small="$small" -v rep="$repeat" -v sec="$seconds" '
    { if (!($1 in best) || $2 > best[$1]) best[$1] = $2; if ($3 > peak[$1]) peak[$1] = $3 }
    END {
      printf "file: %d MiB, page cache warm; best of %d alternating rounds of %g s each\n\n", mib, rep, sec
      printf "%-32s %11s %11s %7s\n", "", "raw MiB/s", "ours MiB/s", "ratio"
      printf "%-32s %11.0f %11.0f %7.2f   (goal >= 0.60)\n", "decryption (AES-256-CBC)",
             best["raw_dec"], best["ours_dec"], best["ours_dec"] / best["raw_dec"]
      printf "%-32s %11.0f %11.0f %7.2f   (goal >= 0.90)\n", "signature check (SHA-256, RSA)",
             best["raw_sig"], best["ours_sig"], best["ours_sig"] / best["raw_sig"]
      printf "raw: openssl speed -evp aes-256-cbc -decrypt / -evp sha256, -bytes 1048576 (one core,\n"
      printf "the data in the cache); ours: whole passes over the file, open to close.\n\n"
      printf "peak resident memory %16s %10s\n", sprintf("%d MiB", small), sprintf("%d MiB", mib)
      printf "  %-22s %8d KiB %6d KiB   (goal: equal, <= 8192 KiB)\n", "decryption", peak["small_dec"], peak["big_dec"]
      printf "  %-22s %8d KiB %6d KiB\n", "signature check", peak["small_sig"], peak["big_sig"]
      printf "\nNot included: the fixed waits of DeCrypt after each flush of the file\n"
      printf "systems (2 s + 1 s + 1 s = 4 s per container), which do not depend on its size.\n"
    }' "$results"
  rm -rf "$work"
  trap - EXIT INT TERM
}

if wants crypto; then
  echo "== decryption and signature check"
  crypto
fi
if wants intake; then
  echo
  echo "== intake road"
  /usr/bin/python3 "$here/intake/intakebench.py" --build "$build"
fi
if wants idprot; then
  echo
  echo "== identification answer"
  # shellcheck disable=SC2086  # the arguments are words on purpose
  /usr/bin/python3 "$here/idprot/idbench.py" --build "$build" ${IDBENCH_ARGS:--n 300 --idle 10 --strace 6}
fi
