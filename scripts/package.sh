#!/usr/bin/env bash
# Builds the packages into dist/:
#   libcorvane1_<version>_amd64.deb      the Debian packages (install under /usr): the shared
#   libcorvane-dev_<version>_amd64.deb   library with the udev rule; headers, CMake package and
#   corvane-tools_<version>_amd64.deb    pkg-config file; the tool with the simulated driver;
#   python3-corvane_<version>_all.deb    the Python package
#   corvane-<version>-linux-x86_64.tar.gz the library, development files and tool for other
#                                         distributions
#   corvane-<version>-py3-none-linux_x86_64.whl the Python package with libcorvane.so.1 and the
#                                         simulated driver inside it
#   corvane-<version>.tar.gz             the Python package's source distribution
#   corvane-<version>-windows.zip        Corvane32.dll and Corvane64.dll with their tools, import
#                                         libraries, .def files and simulated drivers; bin/ holds
#                                         Corvane.Net.dll with both DLLs beside it
# from the default, win32 and win64 builds (build/<CORVANE_BUILD_PREFIX><preset>, made if missing;
# only what the packages hold is built, so trees the test suite built are reused as they are).
# The Linux packages carry Corvane's own D2XX driver (libcorvane_d2xx.so, Libraries/open_driver)
# beside libcorvane.so: where the source tree has it, a package without it is a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh || { echo "package.sh: set-up failed"; exit 1; }

prefix=${CORVANE_BUILD_PREFIX:-}
open_driver=
[[ ! -d Libraries/open_driver ]] || open_driver=libcorvane_d2xx.so
for preset in default win32 win64; do
  dir=build/${prefix}${preset}
  echo "=== package: ${preset} in ${dir} ==="
  cmake --preset "$preset" -B "$dir" >/dev/null
  targets=(corvane corvane_tool board_sim)
  [[ $preset != default ]] || targets+=(corvane_man)
  [[ $preset == default ]] || targets+=(corvane_dotnet) # the zip's bin/Corvane.Net.dll
  if [[ $preset == default && -n $open_driver ]]; then
    # Named by the file it makes, whatever the target is called.
    outputs=$(ninja -C "$dir" -t targets all)
    driver_file=$(sed -n 's|^\(\([^:]*/\)\{0,1\}libcorvane_d2xx\.so\): .*|\1|p' <<<"$outputs")
    driver_file=${driver_file%%$'\n'*}
    [[ -n $driver_file ]] || {
      echo "package.sh: Libraries/open_driver is in the tree but $dir makes no libcorvane_d2xx.so"
      exit 1
    }
    targets+=("$driver_file")
  fi
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
if [[ -n $open_driver ]]; then
  arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  # Whole listings first: grep -q leaving a pipe early would fail it under pipefail.
  listing=$(dpkg-deb --contents "$work"/linux/libcorvane1_*.deb)
  grep -q " \./usr/lib/$arch/$open_driver\$" <<<"$listing" || {
    echo "package.sh: libcorvane1 lacks /usr/lib/$arch/$open_driver (cmake/install.cmake installs no driver)"
    exit 1
  }
  listing=$(tar tzf "$work"/linux/*.tar.gz)
  grep -q "/lib/$arch/$open_driver\$" <<<"$listing" || {
    echo "package.sh: the tarball lacks lib/$arch/$open_driver"
    exit 1
  }
fi

# The Python package with Debian's build, setuptools and wheel, without network: the source
# distribution from a copy of python/ (beside the project file its version is read from, with the
# licence), then the wheel from that source distribution with the library and the simulated
# driver, stripped as the packages have them, put beside the package.
python=/usr/bin/python3
mkdir -p "$work/python/source/python" "$work/python/dist" "$work/python/stage"
tar -C python -cf - --exclude=tests --exclude=__pycache__ --exclude='*.egg-info' --exclude=build . |
  tar -C "$work/python/source/python" -xf -
cp CMakeLists.txt "$work/python/source/"
cp LICENSE "$work/python/source/python/"
python_build() { # python_build <what> <folder>: python -m build, its output shown only on failure
  "$python" -m build --no-isolation "--$1" --outdir "$work/python/dist" "$2" >"$work/python/build.log" 2>&1 || {
    cat "$work/python/build.log"
    echo "package.sh: python3 -m build --$1 failed"
    exit 1
  }
}
python_build sdist "$work/python/source/python"
sdist=$(echo "$work"/python/dist/corvane-*.tar.gz)
tar -C "$work/python" -xzf "$sdist"
unpacked=$(echo "$work"/python/corvane-*/)
for component in runtime tools; do
  cmake --install "build/${prefix}default" --prefix "$work/python/stage" --component "$component" --strip >/dev/null
done
libdir=$work/python/stage/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
mkdir -p "$unpacked/corvane/sim"
cp "$libdir/libcorvane.so.1" "$unpacked/corvane/libcorvane.so.1"
cp "$libdir/corvane/sim/libftd2xx.so" "$unpacked/corvane/sim/"
python_build wheel "$unpacked"

mv "$work"/linux/*.deb "$work"/linux/*.tar.gz "$work"/windows/*.zip "$work"/python/dist/*.whl "$sdist" dist/
ls -l dist
