#!/usr/bin/env bash
# Checks the packages of dist/ as a user would meet them, with nothing of the build tree but the
# install rules:
#   - the default build installed into a scratch prefix: the consumer program built with
#     find_package(Corvane) and with pkg-config, and the C++ example over corvane.hpp with
#     pkg-config, run on the simulated driver; the installed corvane --version and --sim demo
#   - the Debian packages (libcorvane1, libcorvane-dev, corvane-tools, python3-corvane): lintian
#     (no error, no warning), their contents and dependencies (no file in two packages, no
#     libftd2xx.so in a folder the loader searches; where the source tree has Corvane's own driver
#     (Libraries/open_driver): libcorvane_d2xx.so beside libcorvane.so.1, exporting the D2XX entry
#     points only, and libcorvane1's dependency on Debian's libusb-1.0-0)
#   - each Debian package installed with what it depends on, then all four, with dpkg into a
#     copy-on-write copy of this machine (tests/package/installs.sh; needs root): what each gives
#     used there (the consumer and the C++ example built against libcorvane-dev, the tool, the
#     Python package with its pytest plugin), upgraded, removed and purged, and nothing left behind
#   - the Python wheel in a fresh virtual environment, used from a user's pytest file, and the
#     source distribution (tests/package/wheel.sh)
#   - one licence (MIT) and one version in every package (tests/package/licence.sh)
#   - the Windows zip alone: the consumer built for 32 and 64 bits with mingw against its header
#     and import libraries, run under wine beside its sim/ driver; corvane.exe --sim demo from both
#     bin folders, and without --sim no driver found; no libcorvane_d2xx.so (a Linux driver)
#
#   check.sh <default build folder> <win32 build folder> <win64 build folder>
# The Windows builds lend only their wine prefixes. Prints one line per check; exits 1 if any failed.
set -uo pipefail
# In a mount namespace of its own, where the Debian packages' copy-on-write roots are mounted
# (tests/package/installs.sh): they go with it, whatever ends the checks.
if [[ -z ${CORVANE_CHECK_NAMESPACE:-} && $(id -u) == 0 ]] && command -v unshare >/dev/null; then
  CORVANE_CHECK_NAMESPACE=1 exec unshare --mount --propagation private bash "$0" "$@"
fi
cd "$(dirname "$0")/../.."
root=$(pwd)
default_build=$1
win32_build=$2
win64_build=$3
version=$(sed -nE 's/^project\(Corvane VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
packages=(libcorvane1 libcorvane-dev corvane-tools python3-corvane)
debian_arch=$(dpkg --print-architecture)
declare -A deb=([libcorvane1]=dist/libcorvane1_${version}_${debian_arch}.deb
  [libcorvane-dev]=dist/libcorvane-dev_${version}_${debian_arch}.deb
  [corvane-tools]=dist/corvane-tools_${version}_${debian_arch}.deb [python3-corvane]=dist/python3-corvane_${version}_all.deb)
zip=dist/corvane-${version}-windows.zip
open_driver=
[[ ! -d Libraries/open_driver ]] || open_driver=libcorvane_d2xx.so
# The entry points outside the 35 that the library or the tool binds when a driver has them.
open_driver_optional=FT_SetLatencyTimer,FT_GetLatencyTimer,FT_SetBitMode,FT_GetBitMode,FT_SetUSBParameters,FT_GetDriverVersion,FT_GetLibraryVersion,FT_GetDeviceInfoDetail

scratch=$(mktemp -d)
# Every root unmounted first; never a file removed across a mount.
trap 'for m in $(findmnt -rn -o TARGET | grep -F "$scratch/" | sort -r); do umount "$m"; done
  rm -rf --one-file-system "$scratch"' EXIT
failures=0
check() { # check <what> <command...>: runs it, prints ok or FAILED with its output
  local what=$1 output
  shift
  if output=$("$@" 2>&1); then
    echo "ok      $what"
  else
    echo "FAILED  $what"
    sed 's/^/        /' <<<"$output"
    failures=$((failures + 1))
  fi
}
# same <expected> <command...>: the command succeeds and prints exactly the expected text
same() {
  local expected=$1 actual
  shift
  actual=$("$@" 2>&1 | tr -d '\r') || { echo "$actual"; echo "(exit status $?)"; return 1; }
  expected=${expected%$'\n'}
  [[ $actual == "$expected" ]] || { diff <(echo "$expected") <(echo "$actual"); return 1; }
}
# contains <text> <command...>: the command succeeds and prints the text
contains() {
  local text=$1 actual
  shift
  actual=$("$@" 2>&1) || { echo "$actual"; return 1; }
  grep -qF -- "$text" <<<"$actual" || { echo "$actual"; echo "(lacks: $text)"; return 1; }
}

consumer_output() { # the consumer's output (and the library's lines) on the default simulated boards
  printf '%s\n' "NRV Corvane Library 1.0.0.7 - $1" \
    $'\t Device 2: Corvane Eval Board B - CV000101B (VID: 403, PID: 8088)' \
    $'\t Device 4: Corvane Stream Board B - CV000102B (VID: 403, PID: 8089)' \
    "Number of devices: 2" "boards: 2" "board 0: CV000101B" "echo: board 0 channel 3 command D3 length 1 byte 41"
}

# What a user's machine is given beside the packages (a root sees none of the source tree, which may
# lie under a /tmp of its own): the consumer, the C++ example, the simulated driver of the build (for
# the development package without the tools) and a test file of a user's on the pytest plugin's
# fixture (python3-corvane and the wheel).
given=$scratch/given
mkdir -p "$given/sim"
cp -r tests/package/consumer examples/cpp/echo_block.cpp "$given/"
cp "$default_build/sim/libftd2xx.so" "$given/sim/"
cat >"$given/test_user.py" <<'PYTHON'
import pytest

def test_echo(sim_board):
    with sim_board.messages(timeout=10) as received:
        sim_board.send_block(2, b"from a user")
        message = next(received)
    assert (message.kind, message.channel, message.data) == ("block", 2, b"from a user")

@pytest.mark.corvane_boards(board=1)
def test_stream_board(sim_board):
    assert sim_board.serial == "CV000102B"
PYTHON

# dev_checks <name> <given> <out> <runner...>: the consumer built with find_package(Corvane) and with
# pkg-config and the C++ example over corvane.hpp, from the given folder into out, each run on the
# simulated boards; the runner says where the library and its development files are found.
dev_checks() {
  local name=$1 from=$2 out=$3 consumer
  shift 3
  check "$name: consumer built with find_package(Corvane) and with pkg-config, the C++ example (C++17) with pkg-config" \
    "$@" bash -c "cmake -S '$from/consumer' -B '$out/cmake' -G Ninja -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF >/dev/null &&
      cmake --build '$out/cmake' >/dev/null && cp '$out/cmake/consumer' '$out/find_package' &&
      cc -o '$out/pkg-config' '$from/consumer/consumer.c' \$(pkg-config --cflags --libs 'corvane >= 1.0') &&
      c++ -std=c++17 -Wall -Wextra -Werror -o '$out/cpp' '$from/echo_block.cpp' \$(pkg-config --cflags --libs corvane) -pthread"
  for consumer in find_package pkg-config; do
    check "$name: consumer ($consumer) opens, lists, sends and gets the echo" \
      same "$(consumer_output 64-bit)" "$@" env CORVANE_SIM_BOARDS=default "$out/$consumer"
  done
  check "$name: C++ example (corvane.hpp) sends a block and prints the echo" \
    contains "answer: 13 bytes: Hello, board!" "$@" env CORVANE_SIM_BOARDS=default "$out/cpp"
}
# tool_checks <name> <runner...>: the tool found on the runner's PATH, and its simulated driver.
tool_checks() {
  local name=$1
  shift
  check "$name: corvane --version" same "corvane $version" "$@" corvane --version
  check "$name: corvane --sim demo finds its simulated driver" \
    contains "== Done: 3 messages received; last error: No error found!" "$@" corvane --sim demo
}

echo "=== the install tree (cmake --install into a scratch prefix) ==="
check "cmake --install" cmake --install "$default_build" --prefix "$scratch/prefix"
prefix_lib=$scratch/prefix/lib/$arch
mkdir -p "$scratch/prefix-out"
dev_checks prefix "$given" "$scratch/prefix-out" env CMAKE_PREFIX_PATH="$scratch/prefix" \
  PKG_CONFIG_PATH="$prefix_lib/pkgconfig" LD_LIBRARY_PATH="$prefix_lib:$prefix_lib/corvane/sim"
tool_checks prefix env LD_LIBRARY_PATH="$prefix_lib" PATH="$scratch/prefix/bin:$PATH"

echo "=== the Debian packages ==="
# Every file of the four, unpacked together, for the checks of single files; scratch/contents.<package>:
# the files (not folders) of each package.
unpack() {
  local package
  for package in "${packages[@]}"; do
    dpkg-deb -x "${deb[$package]}" "$scratch/deb" || return 1
    dpkg-deb --contents "${deb[$package]}" | awk '{print $6}' | sed -e 's|^\./|/|' -e '/\/$/d' >"$scratch/contents.$package"
  done
}
check "dpkg-deb -x each package" unpack
check "lintian: no error and no warning on any package (overrides carry their reasons)" \
  lintian --fail-on error,warning "${deb[@]}"
lib=/usr/lib/$arch
python_dir=/usr/lib/python3/dist-packages
# What each package holds (and the checks below: what it does not).
declare -A holds=([libcorvane1]="$lib/libcorvane.so.$version $lib/libcorvane.so.1 /usr/lib/udev/rules.d/60-corvane.rules
    ${open_driver:+$lib/$open_driver}"
  [libcorvane-dev]="/usr/include/corvane.h /usr/include/corvane.hpp $lib/libcorvane.so $lib/cmake/Corvane/CorvaneConfig.cmake
    $lib/cmake/Corvane/CorvaneConfigVersion.cmake $lib/pkgconfig/corvane.pc /usr/share/doc/libcorvane-dev/api.md"
  [corvane-tools]="/usr/bin/corvane /usr/share/man/man1/corvane.1.gz $lib/corvane/sim/libftd2xx.so
    /usr/share/doc/corvane-tools/examples/boards.example.json /usr/share/doc/corvane-tools/examples/panel.example.json"
  [python3-corvane]="$python_dir/corvane/__init__.py $python_dir/corvane/pytest_plugin.py $python_dir/corvane/_version.py
    $python_dir/corvane-$version.dist-info/entry_points.txt")
holds_each() {
  local package file missing=0
  for package in "${packages[@]}"; do
    for file in ${holds[$package]}; do
      grep -qx -- "$file" "$scratch/contents.$package" || { echo "$package lacks $file"; missing=1; }
    done
  done
  return $missing
}
check "each package holds its part: the library, its SONAME link, the udev rule${open_driver:+, $open_driver}; headers, development link, CMake package, pkg-config file, reference; the tool, its man page, the simulated driver, example board and panel files; the Python package with its metadata" \
  holds_each
# Each file in one package only, and the packages hold nothing of each other's part.
check "no file is in two packages" bash -c "[[ -z \$(cat '$scratch'/contents.* | sort | uniq -d) ]]"
check "only libcorvane-dev holds headers, the development link, CMake and pkg-config files" \
  bash -c "! cat '$scratch'/contents.{libcorvane1,corvane-tools,python3-corvane} |
    grep -E '^/usr/include/|/libcorvane\.so\$|/cmake/|/pkgconfig/'"
depend_on_library() {
  local package
  for package in libcorvane-dev corvane-tools python3-corvane; do
    dpkg-deb -f "${deb[$package]}" Depends | tr ',' '\n' | grep -qx " *libcorvane1 (= $version)" ||
      { echo "$package: $(dpkg-deb -f "${deb[$package]}" Depends)"; return 1; }
  done
  dpkg-deb -f "${deb[python3-corvane]}" Depends | tr ',' '\n' | grep -qx " *python3:any"
}
check "libcorvane-dev, corvane-tools and python3-corvane depend on libcorvane1 of their own version (python3-corvane on python3)" \
  depend_on_library
# The loader's folders: /lib, /usr/lib, /lib64, /usr/lib64, /usr/local/lib and their multiarch folders.
check "no libftd2xx.so where the loader searches" \
  bash -c "! cat '$scratch'/contents.* | grep -E '^(/usr)?(/local)?/lib(64)?(/$arch)?/libftd2xx\.so'"
if [[ -n $open_driver ]]; then
  # Beside libcorvane.so, where the loader finds it by name (CORVANE_DRIVER=open).
  check "libcorvane1's $open_driver exports the D2XX entry points only" \
    cmake -DKIND=driver -DFORMAT=elf -DTOOL=nm -DBINARY="$scratch/deb$lib/$open_driver" \
      -DHEADER=Libraries/d2xx/d2xx.h -DOPTIONAL="$open_driver_optional" -P tests/exports/check_exports.cmake
  check "libcorvane1 depends on libusb-1.0-0 (the driver links libusb-1.0)" \
    bash -c "dpkg-deb -f '${deb[libcorvane1]}' Depends | tr ',' '\n' | grep -qE '^ *libusb-1\.0-0( |\$)'"
  check "the tarball holds $open_driver beside libcorvane.so" \
    bash -c "[[ \$(tar tzf dist/corvane-${version}-linux-*.tar.gz | grep -cE '/lib/$arch/($open_driver|libcorvane\.so\.1)\$') == 2 ]]"
fi
# CPack adds the one leading space itself; a line with two would show as verbatim text.
check "every description is plain text (no line indented twice)" \
  bash -c "! for d in ${deb[*]}; do dpkg-deb -f \$d Description; done | grep -n '^  '"
check "libcorvane.so's SONAME is libcorvane.so.1" \
  contains "Library soname: [libcorvane.so.1]" readelf -d "$scratch/deb$lib/libcorvane.so.$version"
check "the udev rule is the one corvane doctor suggests" \
  grep -qF "$(grep '^SUBSYSTEM' packaging/60-corvane.rules)" "$scratch/deb/usr/lib/udev/rules.d/60-corvane.rules"

echo "=== the Debian packages installed, upgraded and removed (dpkg in a copy-on-write copy of this machine) ==="
source tests/package/installs.sh

echo "=== the Python wheel and source distribution ==="
source tests/package/wheel.sh

echo "=== one licence and one version everywhere ==="
source tests/package/licence.sh

echo "=== the Windows zip ==="
check "unzip" unzip -q "$zip" -d "$scratch/zip"
top=$scratch/zip/corvane-$version-windows
for bits in 32 64; do
  case $bits in
    32) compiler=i686-w64-mingw32-gcc wine_arch=win32 wine_prefix=$root/$win32_build/wine/prefix ;;
    64) compiler=x86_64-w64-mingw32-gcc wine_arch=win64 wine_prefix=$root/$win64_build/wine/prefix ;;
  esac
  wine=(env CORVANE_SIM_BOARDS=default bash scripts/wine-run.sh --arch "$wine_arch" "$wine_prefix")
  app=$scratch/app$bits
  mkdir -p "$app"
  check "zip: $bits-bit consumer built with mingw against corvane.h and libCorvane$bits.dll.a" \
    "$compiler" -O1 -o "$app/consumer.exe" tests/package/consumer/consumer.c -I "$top/include" \
    "$top/bin$bits/libCorvane$bits.dll.a" -static-libgcc
  cp "$top/bin$bits/Corvane$bits.dll" "$top/bin$bits/sim/ftd2xx$bits.dll" "$app/" 2>/dev/null
  check "zip: $bits-bit consumer under wine beside the sim/ driver" \
    same "$(consumer_output "$bits-bit")" "${wine[@]}" "$app/consumer.exe"
  check "zip: bin$bits/corvane.exe --sim demo" \
    contains "== Done: 3 messages received; last error: No error found!" "${wine[@]}" "$top/bin$bits/corvane.exe" --sim demo
  check "zip: bin$bits/corvane.exe without --sim does not load the simulated driver" \
    bash -c "! ${wine[*]} '$top/bin$bits/corvane.exe' list >/dev/null 2>&1"
  "${wine[@]}" --stop >/dev/null 2>&1
done
check "zip: README.txt, LICENSE.txt and the .def files" \
  bash -c "cd '$top' && ls README.txt LICENSE.txt include/corvane.h docs/api.md bin32/Corvane32.def bin64/Corvane64.def >/dev/null"
check "zip: no libcorvane_d2xx.so (Corvane's own driver is for Linux)" \
  bash -c "[[ -z \$(find '$top' -name '*corvane_d2xx*') ]]"
check "zip: include/corvane.hpp, and bin/ with Corvane.Net.dll beside both DLLs" \
  bash -c "cd '$top' && ls include/corvane.hpp bin/Corvane.Net.dll bin/Corvane32.dll bin/Corvane64.dll >/dev/null"

[[ $failures -eq 0 ]] || { echo "check.sh: $failures check(s) failed"; exit 1; }
echo "check.sh: every check passed"
