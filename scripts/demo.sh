#!/bin/sh
# Sets up the machine, builds kvupdaterd and the packaging tool, and shows the
# daemon's main job in a sandbox device: a package made with kvpack, wrapped
# into an encrypted container and signed, is dropped into the watch folder and
# decrypted, unpacked, verified and handed to its installer unit.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh >/dev/null
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$(nproc)" --target kvupdaterd kvpack >/dev/null
exec /usr/bin/python3 tests/sandbox/demo.py --build build/release "$@"
