#!/usr/bin/env bash
# Fetches the header-only form of cpp-httplib for the Windows builds of the panel:
#
#   httplib-source.sh FOLDER    leaves FOLDER/httplib.h
#
# Debian's libcpp-httplib-dev is the library split in two (a header of declarations and a shared
# library built for Linux), which a mingw build cannot use. The same version's Debian source
# package holds the single header; it is fetched with apt-get (its own list of sources, kept in
# FOLDER, so the machine's apt configuration is not touched; apt checks the files against the
# signed index) and unpacked with Debian's patches applied.
#
# Exit status 0 when the header is there, 77 when the source package cannot be had here.
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 FOLDER" >&2
  exit 2
fi
mkdir -p "$1"
folder=$(cd "$1" && pwd)
[[ -f $folder/httplib.h ]] && { echo "cpp-httplib: $folder/httplib.h"; exit 0; }

# The version of the installed libcpp-httplib-dev where there is one, so that both builds serve
# the panel with the same code; else the suite's current one.
version=$(dpkg-query -W -f='${Version}' libcpp-httplib-dev 2>/dev/null || true)
suite=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-bookworm}")
apt_dir=$folder/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/source"
echo "deb-src http://deb.debian.org/debian ${suite:-bookworm} main" >"$apt_dir/sources.list"
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir" -o Debug::NoLocking=true
             -o APT::Sandbox::User="$(id -un)")
if ! apt-get "${apt_options[@]}" -qq update >"$apt_dir/apt.log" 2>&1 ||
   ! (cd "$apt_dir/source" && apt-get "${apt_options[@]}" -qq source --download-only \
        "cpp-httplib${version:+=$version}" >>"$apt_dir/apt.log" 2>&1); then
  echo "cpp-httplib: SKIP: Debian's source package cannot be had here (see $apt_dir/apt.log)" >&2
  exit 77
fi
rm -rf "$apt_dir/source/unpacked"
(cd "$apt_dir/source" && dpkg-source --no-check -x ./*.dsc unpacked >>"$apt_dir/apt.log" 2>&1)
cp "$apt_dir/source/unpacked/httplib.h" "$folder/httplib.h"
cp "$apt_dir/source/unpacked/LICENSE" "$folder/LICENSE"
echo "cpp-httplib: $folder/httplib.h ($(grep -m1 -o 'CPPHTTPLIB_VERSION "[^"]*"' "$folder/httplib.h"))"
