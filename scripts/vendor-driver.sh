#!/usr/bin/env bash
# Fetches the vendor's Linux D2XX driver and makes it a shared library for the real-driver test:
#
#   vendor-driver.sh FOLDER    leaves FOLDER/lib/libftd2xx.so (and the package in FOLDER)
#
# The npm registry package ftdi-d2xx 1.3.1 ships the vendor's Linux x86_64 driver as a static
# archive (lib/Linux/libftd2xx.a, the library and the libusb it is built on); it is linked whole
# into a libftd2xx.so. The vendor's license covers using the driver, not passing it on: the package
# and the library stay in the build tree and are never committed.
#
# Exit status 0 when the library is there, 77 when the package cannot be had here (no npm, no
# registry): the test then reports itself skipped, saying why. Any other failure is a failure.
set -euo pipefail

package=ftdi-d2xx
version=1.3.1
tarball=$package-$version.tgz
# The package's published SHA-1 (npm's "shasum"); npm checks its own integrity digest as well.
sha1=1fa6188466cd12b7d756a4f263367715733b4faf
member=package/lib/Linux/libftd2xx.a

if [[ $# -ne 1 ]]; then
  echo "usage: $0 FOLDER" >&2
  exit 2
fi
folder=$1
mkdir -p "$folder/lib"
folder=$(cd "$folder" && pwd)
library=$folder/lib/libftd2xx.so

if [[ -f $library && -f $folder/$tarball ]] && echo "$sha1  $folder/$tarball" | sha1sum --check --status; then
  echo "vendor driver: $library (already made from $tarball)"
  exit 0
fi

if ! command -v npm >/dev/null; then
  echo "vendor driver: SKIP: npm is not installed, so $package@$version cannot be fetched" >&2
  exit 77
fi
if ! (cd "$folder" && npm pack --silent --pack-destination "$folder" "$package@$version" >/dev/null 2>"$folder/npm.log"); then
  echo "vendor driver: SKIP: npm could not fetch $package@$version:" >&2
  tail -5 "$folder/npm.log" >&2
  exit 77
fi
if ! echo "$sha1  $folder/$tarball" | sha1sum --check --status; then
  echo "vendor driver: $folder/$tarball is not the published $package@$version (SHA-1 differs)" >&2
  exit 1
fi

rm -rf "$folder/package"
tar -xzf "$folder/$tarball" -C "$folder" "$member"
# Whole archive: every D2XX entry point is exported, whether or not anything here calls it.
g++ -shared -o "$library.tmp" -Wl,-soname,libftd2xx.so -Wl,--no-undefined \
    -Wl,--whole-archive "$folder/$member" -Wl,--no-whole-archive -lpthread -lrt -ldl
mv "$library.tmp" "$library"
echo "vendor driver: $library made from $tarball"
