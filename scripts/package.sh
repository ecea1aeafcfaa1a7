#!/usr/bin/env bash
# Builds the three packages into dist/:
#   corvane_<version>_amd64.deb          the Debian package (installs under /usr)
#   corvane-<version>-linux-x86_64.tar.gz the same tree for other distributions
#   corvane-<version>-windows.zip        Corvane32.dll and Corvane64.dll with their tools, import
#                                         libraries, .def files and simulated drivers; bin/ holds
#                                         Corvane.Net.dll with both DLLs beside it
# from the default, win32 and win64 builds (build/<CORVANE_BUILD_PREFIX><preset>, made if missing;
# only what the packages hold is built, so trees the test suite built are reused as they are).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh || { echo "package.sh: set-up failed"; exit 1; }

prefix=${CORVANE_BUILD_PREFIX:-}
for preset in default win32 win64; do
  dir=build/${prefix}${preset}
  echo "=== package: ${preset} in ${dir} ==="
  cmake --preset "$preset" -B "$dir" >/dev/null
  targets=(corvane corvane_tool board_sim)
  [[ $preset != default ]] || targets+=(corvane_man)
  [[ $preset == default ]] || targets+=(corvane_dotnet) # the zip's bin/Corvane.Net.dll
  cmake --build "$dir" -j2 --target "${targets[@]}"
done

rm -rf dist
mkdir -p dist
# The packages are made in a scratch folder and only the packages themselves reach dist/.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cpack --config "build/${prefix}default/CPackConfig.cmake" -B "$work/linux" >/dev/null
# The zip: both Windows builds installed into one tree.
cpack --config "build/${prefix}win64/CPackConfig.cmake" -B "$work/windows" \
  -D "CPACK_INSTALL_CMAKE_PROJECTS=$root/build/${prefix}win32;Corvane;ALL;/;$root/build/${prefix}win64;Corvane;ALL;/" \
  >/dev/null
mv "$work"/linux/*.deb "$work"/linux/*.tar.gz "$work"/windows/*.zip dist/
ls -l dist
