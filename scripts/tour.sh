#!/usr/bin/env bash
# The main job: installs what is missing, builds the library, and tours it against simulated boards.
set -euo pipefail
cd "$(dirname "$0")/.."
CORVANE_WITH_WINE=0 bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target corvane_tour
exec ./build/default/Tools/corvane/corvane_tour "$@"
