#!/bin/sh
# Sets up the machine, builds kvupdaterd and the packaging tool, and shows the
# daemon's main job in a sandbox device: a package made with kvpack, wrapped
# into an encrypted container and signed, is dropped into the watch folder and
# decrypted, unpacked, verified and handed to its installer unit. Then the
# network client kvid finds the controller and reads its update status and
# network record.
set -eu
cd "$(dirname "$0")/.."
./scripts/setup.sh >/dev/null
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$(nproc)" --target kvupdaterd kvpack kvid >/dev/null
/usr/bin/python3 tests/sandbox/demo.py --build build/release "$@"
# Then the network client finds the sandbox controller and reads its state.
exec /usr/bin/python3 tools/kvid/sandbox_demo.py --build build/release
