#!/bin/sh
# bench/plant/run.sh [BUILD_DIR]
#
# The plant tool at scale (bench/plant/plantbench.py): a rollout of a 64 MiB
# release to 200 sandboxed controllers behind real SSH servers against the
# floor measured in the same run, and the inventory of 1,000 controllers.
# Sizes by environment: PLANT_CONTROLLERS, PLANT_RELEASE_MIB, PLANT_PARALLEL,
# PLANT_WAVES, PLANT_INVENTORY, PLANT_PARTS ("rollout inventory"),
# PLANT_FASTWAIT=1 (the daemons' fixed waits shortened). A quick run:
#   PLANT_CONTROLLERS=10 PLANT_RELEASE_MIB=4 PLANT_INVENTORY=50 bench/plant/run.sh
# Needs root (network and mount namespaces; nothing of the host changes) and
# about controllers x MiB x 3 of free space in the temporary folder.
#
# BUILD_DIR (default build-bench beside the sources) is configured as a
# Release build if it has no cache yet; the programs are built in it.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$(dirname "$here")")
build=${1:-$source_dir/build-bench}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target kvupdaterd kvpack kvid kvplant kvfastwait -j2 >/dev/null
df -h "${TMPDIR:-/tmp}" | tail -n 1
exec /usr/bin/python3 "$here/plantbench.py" "$build"
