# Sourced by check.sh (its check, same and contains, its variables): the Debian packages installed,
# upgraded, removed and purged with dpkg in copy-on-write copies of this machine: an overlay over /
# in check.sh's own mount namespace, entered with chroot. dpkg checks the packages' dependencies
# against a real system and runs their maintainer scripts there; the machine itself never changes,
# and what a root's packages leave behind after their purge is exactly what is left in its overlay's
# upper layer. Each package gets a fresh root with only what it depends on; then all four over a
# stand-in of the one package `corvane` of before, and all four together.

sysroot= upper=
# root_up <name>: a fresh root (sysroot; upper: its changes)
root_up() {
  local base=$scratch/roots/$1 node
  mkdir -p "$base/upper" "$base/work" "$base/root"
  sysroot=$base/root upper=$base/upper
  mount -t overlay overlay -o "lowerdir=/,upperdir=$upper,workdir=$base/work" "$sysroot" || return 1
  mount -t proc proc "$sysroot/proc" && mount -t tmpfs tmpfs "$sysroot/tmp" || return 1
  # Single device files, never the whole of /dev, so that nothing in a root reaches the machine's.
  for node in null zero full random urandom; do
    touch "$sysroot/dev/$node" && mount --bind "/dev/$node" "$sysroot/dev/$node" || return 1
  done
  # man-db's trigger rebuilds its whole index at every man page installed or removed: off in a root.
  rm -f "$sysroot/var/lib/man-db/auto-update"
}
root_down() { [[ -z $sysroot ]] || umount --recursive "$sysroot"; sysroot= upper=; }
in_root() { # in_root <command...>: run in the root with a clean environment
  chroot "$sysroot" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 "$@"
}

# The next version of each package (its files as they are), to upgrade to.
next=${version}+1
declare -A next_deb
mkdir -p "$scratch/next"
for package in "${packages[@]}"; do
  unpacked=$scratch/next/$package
  dpkg-deb -R "${deb[$package]}" "$unpacked"
  sed -i -e "s/^Version: .*/Version: $next/" -e "s/(= $version)/(= $next)/g" "$unpacked/DEBIAN/control"
  next_deb[$package]=$scratch/next/${package}_${next}.deb
  dpkg-deb --root-owner-group -b "$unpacked" "${next_deb[$package]}" >/dev/null
done
debs() { local p; for p in "$@"; do echo "$root/${deb[$p]}"; done; }

# removal_leaves_nothing <listing>: after the purge, no file of the packages' `dpkg -L` listing is
# left, and the root's upper layer holds nothing but the bookkeeping of dpkg, the loader and man-db
# (its switch, off in a root): no file, no new folder and no removal of the machine's own files.
removal_leaves_nothing() {
  local listing=$1 path left=0
  while read -r path; do
    [[ -n $path ]] || continue # dpkg -L puts an empty line between packages
    if [[ -L $sysroot$path || -e $sysroot$path ]] && ! [[ -d $sysroot$path && -d $path ]]; then
      echo "left behind: $path"
      left=1
    fi
  done <"$listing"
  while read -r path; do
    path=${path#.}
    if [[ -c $upper$path ]]; then
      echo "removed from the system: $path"
    elif [[ -d $upper$path && ! -L $upper$path ]]; then
      [[ -d $path ]] && continue
      echo "folder left: $path"
    else
      echo "file left: $path"
    fi
    left=1
  done < <(cd "$upper" && find . -mindepth 1 \( -path ./var/lib/dpkg -o -path ./var/log -o -path ./var/cache/ldconfig \
    -o -path ./var/lib/man-db -o -path ./etc/ld.so.cache -o -path ./dev -o -path ./tmp -o -path ./proc \) -prune -o -print)
  return $left
}

# fails_with <text> <command...>: the command fails and says the text
fails_with() {
  local text=$1 output
  shift
  if output=$("$@" 2>&1); then echo "$output"; echo "(succeeded)"; return 1; fi
  grep -qF -- "$text" <<<"$output" || { echo "$output"; echo "(lacks: $text)"; return 1; }
}
# at_version <version> <package...>: each package is installed and configured at that version
at_version() {
  local want=$1 package got
  shift
  for package in "$@"; do
    got=$(in_root dpkg-query -W -f '${db:Status-Abbrev}${Version}' "$package")
    [[ $got == "ii $want" ]] || { echo "$package: $got"; return 1; }
  done
}
upgrade() { # through the root's own /tmp: the machine's is not seen in a root
  local package
  mkdir -p "$sysroot/tmp/next"
  for package in "$@"; do cp "${next_deb[$package]}" "$sysroot/tmp/next/"; done
  in_root dpkg -i $(for p in "$@"; do echo "/tmp/next/${next_deb[$p]##*/}"; done) >/dev/null && at_version "$next" "$@"
}
remove() {
  local package status
  in_root dpkg -r "$@" >/dev/null || return 1
  for package in "$@"; do
    # A package with a postrm stays known until its purge; one without is forgotten at once.
    status=$(in_root dpkg-query -W -f '${Status}' "$package" 2>/dev/null)
    [[ -z $status || $status == "deinstall ok config-files" ]] || { echo "$package: $status"; return 1; }
  done
}
purge() {
  in_root dpkg --purge "$@" >/dev/null || return 1
  ! in_root dpkg-query -W -f '${db:Status-Abbrev}\n' "$@" 2>/dev/null | grep -v '^un'
}

# removal <name> <package...>: the packages removed (all four: the library refused removal while
# the others need it), purged, and nothing of them left.
removal() {
  local name=$1
  shift
  in_root dpkg -L "$@" | sort -u >"$scratch/roots/$name.listing"
  if [[ $# -eq ${#packages[@]} ]]; then
    check "$name: dpkg refuses to remove libcorvane1 while the others depend on it" \
      fails_with "dependency problems - not removing" in_root dpkg -r libcorvane1
  fi
  check "$name: dpkg -r removes every package" remove "$@"
  check "$name: dpkg --purge forgets every package" purge "$@"
  check "$name: removal leaves nothing (dpkg -L before, the root's changes after)" \
    removal_leaves_nothing "$scratch/roots/$name.listing"
}
# lifecycle <name> <package...>: after the root's own checks, the same packages upgraded to the next
# version, then their removal.
lifecycle() {
  check "$1: dpkg -i upgrades every package to the next version ($next)" upgrade "${@:2}"
  removal "$@"
}

loader_knows() { # the loader's cache lists libcorvane.so.1 and the driver in the library's folder
  local cache
  cache=$(in_root ldconfig -p) || return 1
  # /lib is /usr/lib on a merged-/usr system
  grep -qE "^\s+libcorvane\.so\.1 .*=> (/usr)?/lib/$arch/libcorvane\.so\.1\$" <<<"$cache" &&
    { [[ -z $open_driver ]] || grep -qE "^\s+$open_driver .*=> (/usr)?/lib/$arch/$open_driver\$" <<<"$cache"; } ||
    { echo "$cache" | grep corvane; return 1; }
}
dev_after_library() { # the refused libcorvane-dev configured once libcorvane1 is there
  in_root dpkg -i $(debs libcorvane1) >/dev/null && in_root dpkg --configure -a >/dev/null && at_version "$version" libcorvane-dev
}
replace_old() { in_root dpkg -i /tmp/corvane_old.deb >/dev/null && in_root dpkg -i $(debs "${packages[@]}") >/dev/null; }
old_gone_four_in() {
  local status
  status=$(in_root dpkg-query -W -f '${db:Status-Abbrev}' corvane 2>/dev/null)
  [[ -z $status || $status == un* ]] || { echo "corvane: $status"; return 1; }
  at_version "$version" "${packages[@]}"
}
sim_boards_listed() {
  in_root python3 -c 'import corvane.sim, os; l = corvane.sim.open(); print([b.serial for b in l.boards()], os.path.realpath(l.path)); l.close()'
}

# What each package gives, in the root it is installed in.
consumer_dir=$root/tests/package/consumer
sim_run=(env "LD_LIBRARY_PATH=$root/$default_build/sim" CORVANE_SIM_BOARDS=default)

# The roots' changes in memory: a tmpfs can hold an overlay's upper layer wherever /tmp lies (an
# overlay, in a container, cannot).
mkdir -p "$scratch/roots"
if ! mount -t tmpfs tmpfs "$scratch/roots" 2>"$scratch/root.err" || ! root_up probe 2>>"$scratch/root.err" ||
  ! in_root true 2>>"$scratch/root.err"; then
  check "a copy-on-write root for dpkg (root, overlayfs and chroot in check.sh's mount namespace)" \
    bash -c "cat '$scratch/root.err'; false"
  root_down
else
  root_down

  root_up libcorvane1
  check "libcorvane1 alone: dpkg -i installs it" in_root dpkg -i $(debs libcorvane1)
  check "libcorvane1 alone: the loader knows libcorvane.so.1${open_driver:+ and $open_driver}" loader_knows
  check "libcorvane1 alone: a program loads the library by its SONAME" \
    same "NRV Corvane Library 1.0.0.7 - 64-bit" in_root python3 -c \
    'import ctypes; l = ctypes.CDLL("libcorvane.so.1"); l.NRV_CV_GetName.restype = l.NRV_CV_GetVersionString.restype = ctypes.c_char_p; print(l.NRV_CV_GetName().decode(), l.NRV_CV_GetVersionString().decode())'
  check "libcorvane1 alone: the udev rule is installed" test -f "$sysroot/usr/lib/udev/rules.d/60-corvane.rules"
  lifecycle libcorvane1 libcorvane1
  root_down

  root_up libcorvane-dev
  check "libcorvane-dev without libcorvane1: dpkg refuses to configure it" \
    fails_with "libcorvane-dev depends on libcorvane1 (= $version)" in_root dpkg -i $(debs libcorvane-dev)
  check "libcorvane-dev: configured once libcorvane1 is installed" dev_after_library
  check "libcorvane-dev: consumer built with find_package(Corvane)" \
    in_root bash -c "cmake -S '$consumer_dir' -B /tmp/consumer-cmake -G Ninja >/dev/null && cmake --build /tmp/consumer-cmake >/dev/null"
  check "libcorvane-dev: consumer (find_package) opens, lists, sends and gets the echo" \
    same "$(consumer_output 64-bit)" in_root "${sim_run[@]}" /tmp/consumer-cmake/consumer
  check "libcorvane-dev: consumer built with pkg-config" \
    in_root bash -c "cc -o /tmp/consumer-pc '$consumer_dir/consumer.c' \$(pkg-config --cflags --libs 'corvane >= 1.0')"
  check "libcorvane-dev: consumer (pkg-config) opens, lists, sends and gets the echo" \
    same "$(consumer_output 64-bit)" in_root "${sim_run[@]}" /tmp/consumer-pc
  check "libcorvane-dev: C++ example built against corvane.hpp with pkg-config (C++17)" \
    in_root bash -c "c++ -std=c++17 -Wall -Wextra -Werror -o /tmp/echo-cpp '$root/examples/cpp/echo_block.cpp' \
      \$(pkg-config --cflags --libs corvane) -pthread"
  check "libcorvane-dev: C++ example (corvane.hpp) sends a block and prints the echo" \
    contains "answer: 13 bytes: Hello, board!" in_root "${sim_run[@]}" /tmp/echo-cpp
  lifecycle libcorvane-dev libcorvane-dev libcorvane1
  root_down

  root_up corvane-tools
  check "corvane-tools: dpkg -i installs it with libcorvane1" in_root dpkg -i $(debs libcorvane1 corvane-tools)
  check "corvane-tools: corvane --version" same "corvane $version" in_root corvane --version
  check "corvane-tools: corvane --sim demo finds its simulated driver" \
    contains "== Done: 3 messages received; last error: No error found!" in_root corvane --sim demo
  check "corvane-tools: corvane --sim takes the example board file" \
    contains "LAB0002" in_root corvane --sim /usr/share/doc/corvane-tools/examples/boards.example.json list
  check "corvane-tools: the man page" \
    bash -c "zcat '$sysroot/usr/share/man/man1/corvane.1.gz' | grep -q '^\.TH CORVANE \"1\"'"
  lifecycle corvane-tools corvane-tools libcorvane1
  root_down

  root_up python3-corvane
  check "python3-corvane: dpkg -i installs it with libcorvane1" in_root dpkg -i $(debs libcorvane1 python3-corvane)
  check "python3-corvane: python3 imports it from Debian's Python folder, with the project's version" \
    same "$version /usr/lib/python3/dist-packages/corvane/__init__.py" \
    in_root python3 -c "import corvane; print(corvane.__version__, corvane.__file__)"
  check "python3-corvane: without corvane-tools, corvane.sim.open() says the simulated driver is missing" \
    fails_with "CorvaneError: the simulated driver was not found" \
    in_root python3 -c "import corvane.sim; corvane.sim.open()"
  check "python3-corvane: corvane-tools installed beside it" in_root dpkg -i $(debs corvane-tools)
  check "python3-corvane: with corvane-tools, corvane.sim.open() lists the simulated boards through the installed library" \
    same "['CV000101B', 'CV000102B'] /usr/lib/$arch/libcorvane.so.$version" sim_boards_listed
  printf '%s' "$python_user_test" >"$sysroot/tmp/test_user.py"
  check "python3-corvane: the pytest plugin's sim_board fixture in a test file of a user's" \
    contains "2 passed" in_root bash -c "cd /tmp && python3 -m pytest -q -p no:cacheprovider test_user.py"
  lifecycle python3-corvane python3-corvane corvane-tools libcorvane1
  root_down

  root_up over-corvane
  # The one package `corvane` of before, which held all of it (a stand-in with some of its files).
  mkdir -p "$scratch/old/DEBIAN" "$scratch/old/usr/bin" "$scratch/old/usr/include" "$scratch/old$lib"
  cp "$scratch/deb/usr/bin/corvane" "$scratch/old/usr/bin/"
  cp "$scratch/deb/usr/include/corvane.h" "$scratch/old/usr/include/"
  cp -P "$scratch/deb$lib/libcorvane.so"* "$scratch/old$lib/"
  printf '%s\n' "Package: corvane" "Version: $version" "Architecture: $debian_arch" "Maintainer: nobody <nobody@example.com>" \
    "Description: the one package of before" >"$scratch/old/DEBIAN/control"
  dpkg-deb --root-owner-group -b "$scratch/old" "$sysroot/tmp/corvane_old.deb" >/dev/null
  check "over the one package corvane of before: dpkg -i of the four replaces it" replace_old
  check "over the one package corvane of before: corvane is gone, the four are installed" \
    old_gone_four_in
  check "over the one package corvane of before: its files belong to the four now" \
    same "corvane-tools: /usr/bin/corvane
libcorvane-dev: /usr/include/corvane.h
libcorvane1: /usr/lib/$arch/libcorvane.so.1" in_root dpkg -S /usr/bin/corvane /usr/include/corvane.h "/usr/lib/$arch/libcorvane.so.1"
  removal over-corvane "${packages[@]}"
  root_down

  root_up together
  check "all four together: dpkg -i installs them" in_root dpkg -i $(debs "${packages[@]}")
  check "all four together: each is installed at the project's version" at_version "$version" "${packages[@]}"
  check "together: dpkg -i upgrades every package to the next version ($next)" upgrade "${packages[@]}"
  check "together, upgraded: corvane --sim demo" \
    contains "== Done: 3 messages received; last error: No error found!" in_root corvane --sim demo
  check "together, upgraded: Python's corvane.sim through the installed library" \
    same "['CV000101B', 'CV000102B'] /usr/lib/$arch/libcorvane.so.$version" sim_boards_listed
  removal together "${packages[@]}"
  root_down
fi
