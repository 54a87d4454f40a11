#!/usr/bin/env bash
# The main job. For now: build the module and the tools, then show the
# simulator's help. (The demo against the simulator comes with the driver's
# communication.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/demo
if [ -x build/demo/tools/idec-sim/idec-sim ]; then
  build/demo/tools/idec-sim/idec-sim --help
else
  echo "the simulator is not built yet"
fi
