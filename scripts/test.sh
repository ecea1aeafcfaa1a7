#!/usr/bin/env bash
# The whole test suite: installs what is missing, then builds and tests the default, address and
# undefined-behaviour, and thread-sanitizer builds of the Linux library.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

status=0
for preset in default asan tsan; do
  echo "=== ${preset} ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" || status=1
done
exit $status
