# Sourced by check.sh (its check, same, contains, dev_checks, tool_checks and variables): the Debian
# packages installed, upgraded, removed and purged with dpkg in copy-on-write copies of this machine:
# an overlay over / in check.sh's own mount namespace, entered with chroot. dpkg checks the packages'
# dependencies against a real system and runs their maintainer scripts there; the machine itself
# never changes, and what a root's packages leave behind after their purge is exactly what is left
# in its overlay's upper layer. Each package gets a fresh root with only what it depends on; then
# all four over a stand-in of the one package `corvane` of before (whose upgrade and removal are
# those of all four together), and all four together.

# What every root is given in its /tmp: the packages (now/), their next version with the same files
# (next/, to upgrade to), a stand-in of the one package `corvane` of before (some of its files).
next=${version}+1
mkdir -p "$given/now" "$given/next" "$scratch/old/DEBIAN" "$scratch/old/usr/bin" "$scratch/old/usr/include" "$scratch/old$lib"
for package in "${packages[@]}"; do
  cp "${deb[$package]}" "$given/now/$package.deb"
  dpkg-deb -R "${deb[$package]}" "$scratch/next-$package"
  sed -i -e "s/^Version: .*/Version: $next/" -e "s/(= $version)/(= $next)/g" "$scratch/next-$package/DEBIAN/control"
  dpkg-deb --root-owner-group -b "$scratch/next-$package" "$given/next/$package.deb" >/dev/null
done
cp "$scratch/deb/usr/bin/corvane" "$scratch/old/usr/bin/"
cp "$scratch/deb/usr/include/corvane.h" "$scratch/old/usr/include/"
cp -P "$scratch/deb$lib/libcorvane.so"* "$scratch/old$lib/"
printf '%s\n' "Package: corvane" "Version: $version" "Architecture: $debian_arch" "Maintainer: nobody <nobody@example.com>" \
  "Description: the one package of before" >"$scratch/old/DEBIAN/control"
dpkg-deb --root-owner-group -b "$scratch/old" "$given/corvane_old.deb" >/dev/null

sysroot= upper=
root_up() { # root_up <name>: a fresh root (sysroot; upper: its changes)
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
  cp -r "$given" "$sysroot/tmp/given"
}
root_down() { [[ -z $sysroot ]] || umount --recursive "$sysroot"; sysroot= upper=; }
in_root() { chroot "$sysroot" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 "$@"; }
install_() { # install_ <now|next> <package...>: dpkg's words only when it fails
  local which=$1 output
  shift
  output=$(in_root dpkg -i $(printf "/tmp/given/$which/%s.deb " "$@") 2>&1) || { echo "$output"; return 1; }
}
# at_version <version> <package...>: each package is installed and configured at that version
at_version() {
  local want=$1 package got
  shift
  for package in "$@"; do
    got=$(in_root dpkg-query -W -f '${db:Status-Abbrev}${Version}' "$package" 2>&1)
    [[ $got == "ii $want" ]] || { echo "$package: $got"; return 1; }
  done
}
# fails_with <text> <command...>: the command fails and says the text
fails_with() {
  local text=$1 output
  shift
  if output=$("$@" 2>&1); then echo "$output"; echo "(succeeded)"; return 1; fi
  grep -qF -- "$text" <<<"$output" || { echo "$output"; echo "(lacks: $text)"; return 1; }
}
upgrade() { install_ next "$@" && at_version "$next" "$@"; }
# gone <package...>: dpkg -r leaves a package with a postrm known until its purge, the others not;
# dpkg --purge forgets every one.
gone() {
  local package status
  in_root dpkg -r "$@" >/dev/null || return 1
  for package in "$@"; do
    status=$(in_root dpkg-query -W -f '${Status}' "$package" 2>/dev/null)
    [[ -z $status || $status == "deinstall ok config-files" ]] || { echo "$package after dpkg -r: $status"; return 1; }
  done
  in_root dpkg --purge "$@" >/dev/null || return 1
  ! in_root dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' "$@" 2>/dev/null | grep -v '^un'
}
# leaves_nothing <listing>: after the purge no path of the packages' `dpkg -L` listing is left but
# the machine's own folders, and the root's upper layer holds nothing but the bookkeeping of dpkg,
# the loader and man-db: no file, no new folder, no removal of the machine's own files (a whiteout).
leaves_nothing() {
  local path left
  left=$(while read -r path; do
      [[ -z $path || -d $path || ! ( -e $sysroot$path || -L $sysroot$path ) ]] || echo "left behind: $path"
    done <"$1"
    cd "$upper" && find . -mindepth 1 \( -path ./var/lib/dpkg -o -path ./var/log -o -path ./var/cache/ldconfig \
      -o -path ./var/lib/man-db -o -path ./etc/ld.so.cache -o -path ./dev -o -path ./tmp -o -path ./proc \) -prune -o -print |
      while read -r path; do
        path=${path#.}
        [[ -d $upper$path && ! -L $upper$path && -d $path ]] || echo "left in the root: $path"
      done)
  [[ -z $left ]] || { echo "$left"; return 1; }
}
# lifecycle <name> <uses after the upgrade, or ""> <package...>: the packages upgraded to the next
# version, used again, then removed (libcorvane1 refused first while the others need it), purged,
# and nothing of them left.
lifecycle() {
  local name=$1 uses=$2
  shift 2
  check "$name: dpkg -i upgrades every package to the next version ($next)" upgrade "$@"
  [[ -z $uses ]] || $uses "$name, upgraded"
  in_root dpkg -L "$@" | sort -u >"$scratch/roots/$name.listing"
  if [[ $# -gt 1 ]]; then
    check "$name: dpkg refuses to remove libcorvane1 while the others depend on it" \
      fails_with "dependency problems - not removing" in_root dpkg -r libcorvane1
  fi
  check "$name: dpkg -r and --purge remove every package" gone "$@"
  check "$name: removal leaves nothing (dpkg -L before, the root's changes after)" leaves_nothing "$scratch/roots/$name.listing"
}

loader_finds() { # the loader's cache lists libcorvane.so.1 (and the driver) in the library's folder, and a program loads it
  local cache
  cache=$(in_root ldconfig -p) || return 1
  # /lib is /usr/lib on a merged-/usr system
  grep -qE "^\s+libcorvane\.so\.1 .*=> (/usr)?/lib/$arch/libcorvane\.so\.1\$" <<<"$cache" &&
    { [[ -z $open_driver ]] || grep -qE "^\s+$open_driver .*=> (/usr)?/lib/$arch/$open_driver\$" <<<"$cache"; } ||
    { echo "$cache" | grep corvane; return 1; }
  in_root python3 -c 'import ctypes; l = ctypes.CDLL("libcorvane.so.1"); l.NRV_CV_GetName.restype = l.NRV_CV_GetVersionString.restype = ctypes.c_char_p; print(l.NRV_CV_GetName().decode(), l.NRV_CV_GetVersionString().decode())'
}
dev_configured() { # libcorvane-dev, refused alone, is configured once libcorvane1 is installed
  install_ now libcorvane1 && in_root dpkg --configure -a >/dev/null && at_version "$version" libcorvane-dev
}
tools_then_sim() { install_ now corvane-tools && sim_boards_listed; }
sim_boards_listed() {
  in_root python3 -c 'import corvane.sim, os; l = corvane.sim.open(); print([b.serial for b in l.boards()], os.path.realpath(l.path)); l.close()'
}
together_uses() { # together_uses <name>: the tool and Python's simulated boards through the installed library
  tool_checks "$1" in_root
  check "$1: Python's corvane.sim through the installed library" \
    same "['CV000101B', 'CV000102B'] /usr/lib/$arch/libcorvane.so.$version" sim_boards_listed
}
replaces_old() { # the stand-in of the one package corvane, then the four: it is gone and its files are theirs
  local status
  in_root dpkg -i /tmp/given/corvane_old.deb >/dev/null 2>&1 && install_ now "${packages[@]}" || return 1
  status=$(in_root dpkg-query -W -f '${db:Status-Abbrev}' corvane 2>/dev/null)
  [[ -z $status || $status == un* ]] || { echo "corvane: $status"; return 1; }
  at_version "$version" "${packages[@]}" && in_root dpkg -S /usr/bin/corvane /usr/include/corvane.h "$lib/libcorvane.so.1"
}

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
  sim=(env LD_LIBRARY_PATH=/tmp/given/sim) # the build's simulated driver, where corvane-tools is not installed

  root_up libcorvane1
  check "libcorvane1 alone: dpkg -i installs it" install_ now libcorvane1
  check "libcorvane1 alone: the loader finds libcorvane.so.1${open_driver:+ and $open_driver}; a program loads it by its SONAME" \
    same "NRV Corvane Library 1.0.0.7 - 64-bit" loader_finds
  lifecycle libcorvane1 "" libcorvane1
  root_down

  root_up libcorvane-dev
  check "libcorvane-dev without libcorvane1: dpkg refuses to configure it" \
    fails_with "libcorvane-dev depends on libcorvane1 (= $version)" install_ now libcorvane-dev
  check "libcorvane-dev: configured once libcorvane1 is installed" dev_configured
  dev_checks libcorvane-dev /tmp/given /tmp in_root "${sim[@]}"
  lifecycle libcorvane-dev "" libcorvane-dev libcorvane1
  root_down

  root_up corvane-tools
  check "corvane-tools: dpkg -i installs it with libcorvane1" install_ now libcorvane1 corvane-tools
  tool_checks corvane-tools in_root
  check "corvane-tools: corvane --sim takes the example board file" \
    contains "LAB0002" in_root corvane --sim /usr/share/doc/corvane-tools/examples/boards.example.json list
  lifecycle corvane-tools "" corvane-tools libcorvane1
  root_down

  root_up python3-corvane
  check "python3-corvane: dpkg -i installs it with libcorvane1" install_ now libcorvane1 python3-corvane
  check "python3-corvane: python3 imports it from Debian's Python folder, with the project's version" \
    same "$version /usr/lib/python3/dist-packages/corvane/__init__.py" \
    in_root python3 -c "import corvane; print(corvane.__version__, corvane.__file__)"
  check "python3-corvane: without corvane-tools, corvane.sim.open() says the simulated driver is missing" \
    fails_with "CorvaneError: the simulated driver was not found" in_root python3 -c "import corvane.sim; corvane.sim.open()"
  check "python3-corvane: with corvane-tools, corvane.sim.open() lists the simulated boards through the installed library" \
    same "['CV000101B', 'CV000102B'] /usr/lib/$arch/libcorvane.so.$version" \
    tools_then_sim
  check "python3-corvane: the pytest plugin's sim_board fixture in a test file of a user's" \
    contains "2 passed" in_root bash -c "cd /tmp/given && python3 -m pytest -q -p no:cacheprovider test_user.py"
  lifecycle python3-corvane "" python3-corvane corvane-tools libcorvane1
  root_down

  root_up over-corvane
  check "over the one package corvane of before: dpkg -i of the four replaces it, and its files are theirs" \
    same "corvane-tools: /usr/bin/corvane
libcorvane-dev: /usr/include/corvane.h
libcorvane1: $lib/libcorvane.so.1" replaces_old
  root_down

  root_up together
  check "all four together: dpkg -i installs them" install_ now "${packages[@]}"
  lifecycle together together_uses "${packages[@]}"
  root_down
fi
