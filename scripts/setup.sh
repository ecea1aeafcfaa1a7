#!/usr/bin/env bash
# Installs what the builds and the tests need and is missing on this machine (Debian). Run as
# root; otherwise it prints the one command to run and fails.
#   cmake, ninja, g++, googletest (the Linux builds; its sources also build it for Windows)
#   clang and its runtime libraries (the fuzz build: libFuzzer and the sanitizers)
#   mingw-w64 for i686, posix thread model, and its binutils (the 32-bit Windows cross build and
#     the export-table checks)
#   the same for x86-64 (the 64-bit Windows cross build)
#   wine with its 32-bit part (the Windows tests; needs the i386 architecture) and its 64-bit part
#     (the 64-bit build's tests); skipped when CORVANE_WITH_WINE=0, as for the tour
#   Debian's Python 3 with pytest, setuptools, pip and matplotlib (the Python package's tests and
#     examples, run with /usr/bin/python3)
#   Debian's build, wheel and venv for Python (the wheel and the source distribution, and the
#     wheel tried in a fresh virtual environment)
#   libusb-1.0's development files (Corvane's own D2XX driver, built on it)
#   help2man, lintian, dpkg-dev, fakeroot, zip, unzip, pkg-config (the packages: the man page, the
#     .deb and its checks, the Windows zip, the consumer built with pkg-config)
#   Mono's C# compiler and Debian's NUnit 2.6 with its console (the .NET assembly, its tests and
#     the C# examples)
#   Verilator, Yosys with yosys-smtbmc and Z3, nextpnr for iCE40 and the IceStorm tools, make (the
#     gateware: its testbenches, the RTL board, the formal checks and the synthesis runs)
#   cpp-httplib, header only (the browser panel's server); Chromium, its driver and Debian's
#     Selenium for Python (the panel's tests in a real browser)
#   npm, only where the machine has none (fetching the vendor's driver for the vendor stage; the
#     stage is skipped only where npm or the registry cannot be had)
set -euo pipefail

packages=(cmake ninja-build g++ binutils googletest libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-i686-posix binutils-mingw-w64-i686 nlohmann-json3-dev libcli11-dev
          clang libclang-rt-14-dev libusb-1.0-0-dev)
packages+=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)
packages+=(python3 python3-pytest python3-setuptools python3-pip python3-matplotlib)
packages+=(python3-build python3-wheel python3-venv)
packages+=(help2man lintian dpkg-dev fakeroot zip unzip pkg-config)
packages+=(mono-mcs nunit-console libnunit-cil-dev)
packages+=(verilator make yosys z3 nextpnr-ice40 fpga-icestorm)
packages+=(libcpp-httplib-dev chromium chromium-driver python3-selenium)
if [[ "${CORVANE_WITH_WINE:-1}" == 1 ]]; then
  packages+=(wine wine32:i386)
  packages+=(wine64)
fi
command -v npm >/dev/null || packages+=(npm)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

needs_i386=0
for package in "${missing[@]}"; do [[ "$package" == *:i386 ]] && needs_i386=1; done

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing packages: ${missing[*]}"
  echo "Run as root: $( ((needs_i386)) && echo 'dpkg --add-architecture i386 && ')apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
  exit 1
fi
if ((needs_i386)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
