#!/bin/sh
# Sets up the machine, builds kvupdaterd and runs it in a sandbox device so you
# can watch it work: its start-up, the device programs it calls (recorded by
# the stand-ins) and what it sends to the system log.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh >/dev/null
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$(nproc)" --target kvupdaterd >/dev/null

work=$(mktemp -d /tmp/kvdemo-XXXXXX)
trap 'rm -rf "$work"' EXIT
sandbox="$work/device"
python=/usr/bin/python3
$python tests/sandbox/kvsandbox.py create "$sandbox" --platform kv2-touch

echo
echo "== kvupdaterd -v 3 -l in the sandbox device (8 seconds: start-up and four polling passes)"
$python tests/sandbox/kvsandbox.py run "$sandbox" --daemon build/release/updater/kvupdaterd \
  --seconds 8 -- -v 3 -l

echo
echo "== device programs called (stand-in journal)"
cat "$sandbox/journal.jsonl"
echo
echo "== system log (priority, ident: text)"
cat "$sandbox/syslog.log"
