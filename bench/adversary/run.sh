#!/bin/sh
# bench/adversary/run.sh [BUILD_DIR] [SECONDS] [RUNS]
#
# The generated adversary of tests/e2e/test_intake_adversary.py for longer
# than the suite gives it: RUNS runs (default 5) of SECONDS seconds each
# (default 600), each with a fresh random seed that is printed, against the
# daemon of BUILD_DIR (default build/asan: the sanitizers watch too). Needs
# root (the daemon runs in network namespaces of its own, the attacker as uid
# 4242). A failing run prints how to replay it; its records are kept under
# KV_ADVERSARY_KEEP (default /tmp/kv-adversary).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$(dirname "$here")")
build=${1:-$source_dir/build/asan}
seconds=${2:-600}
runs=${3:-5}
keep=${KV_ADVERSARY_KEEP:-/tmp/kv-adversary}
mkdir -p "$keep"
cmake --build "$build" --target kvupdaterd kvpack kvattackhook kvfastwait -j2 >/dev/null
failed=0
i=0
while [ "$i" -lt "$runs" ]; do
  seed=${KV_ADVERSARY_SEED:-$(od -An -N4 -tu4 /dev/urandom | tr -d ' ')}
  echo "== run $((i + 1)) of $runs: KV_ADVERSARY_SEED=$seed KV_ADVERSARY_SECONDS=$seconds"
  if ! (cd "$source_dir/tests/e2e" &&
        KV_BUILD_DIR=$build KV_SOURCE_DIR=$source_dir KV_ADVERSARY_SEED=$seed KV_ADVERSARY_SECONDS=$seconds \
        KV_ADVERSARY_KEEP=$keep /usr/bin/python3 -m pytest -q -p no:cacheprovider \
        test_intake_adversary.py -k generated); then
    failed=$((failed + 1))
    echo "   replay: KV_ADVERSARY_SEED=$seed KV_ADVERSARY_SECONDS=$seconds $0 $build $seconds 1"
  fi
  i=$((i + 1))
done
echo "$failed of $runs runs broke an invariant"
[ "$failed" = 0 ]
