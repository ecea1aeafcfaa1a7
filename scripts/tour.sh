#!/usr/bin/env bash
# The main job: installs what is missing, builds the library and the corvane tool, and tours the
# library against simulated boards (`corvane --sim demo`; --selftest adds the self test).
set -euo pipefail
cd "$(dirname "$0")/.."
CORVANE_WITH_WINE=0 bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target corvane_tool
exec ./build/default/Tools/corvane/corvane --sim demo "$@"
