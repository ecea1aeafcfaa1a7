#!/usr/bin/env bash
# Runs a Windows program under wine, in a wine prefix of the build tree's own:
#
#   wine-run.sh [--arch A] PREFIX PROGRAM.exe [ARGUMENTS...]   run it; the exit status is the program's
#   wine-run.sh [--arch A] PREFIX --boot          create the prefix now, start a lasting wineserver
#   wine-run.sh [--arch A] PREFIX --stop          end that prefix's wineserver and its programs
#
# A, the prefix's kind, is fixed when the prefix is made: win32 (the default) runs 32-bit programs
# only, win64 runs 64-bit programs (and 32-bit ones beside them). Once wine's 64-bit part is
# installed, wine makes a 64-bit prefix unless told otherwise, so the 32-bit road says win32.
# The Windows cross builds use this script as their CMake cross-compiling emulator, so ctest runs
# every Windows test case through it. The prefix is made on first use, under a lock, so that
# parallel tests wait for one set-up instead of racing each other through it. No display is
# needed: wine's dialogs (crash reports, the .NET and HTML engine installers) are turned off,
# and so are wine's own diagnostics, so that a test's output is the program's output alone.
set -euo pipefail

arch=win32
if [[ ${1:-} == --arch ]]; then
  arch=${2:-}
  shift 2 || true
fi
if [[ $# -lt 2 || ( $arch != win32 && $arch != win64 ) ]]; then
  echo "usage: $0 [--arch win32|win64] PREFIX PROGRAM.exe [ARGUMENTS...] | PREFIX --boot | PREFIX --stop" >&2
  exit 2
fi
prefix=$1
shift
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")

export WINEPREFIX=$prefix
export WINEARCH=$arch
export WINEDEBUG=-all
# mscoree and mshtml: no offer to install Mono or Gecko when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

if ! command -v wine >/dev/null; then
  echo "wine is not installed: run scripts/setup.sh as root" >&2
  exit 127
fi

# The kind a made prefix has, from the first lines of its registry ("#arch=win64").
check_prefix_arch() {
  local made
  made=$(grep -m1 '^#arch=' "$WINEPREFIX/system.reg" | cut -d= -f2 || true)
  if [[ -n $made && $made != "$arch" ]]; then
    echo "the wine prefix $WINEPREFIX is $made, not $arch: remove it, or give --arch $made" >&2
    exit 1
  fi
}

boot_prefix() {
  [[ -f $WINEPREFIX/system.reg ]] && { check_prefix_arch; return 0; }
  (
    flock 9
    if [[ ! -f $WINEPREFIX/system.reg ]]; then
      wineboot --init >/dev/null 2>&1 || true
      # A crashing test ends at once with a backtrace on its standard error, rather than waiting
      # for someone to close a crash dialog that no one sees.
      wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
      # The registry reaches the disk when the prefix's wineserver ends.
      wineserver --wait || true
      if [[ ! -f $WINEPREFIX/system.reg ]]; then
        echo "could not create the wine prefix $WINEPREFIX" >&2
        exit 1
      fi
    fi
  ) 9>"$WINEPREFIX.lock"
}

case "$1" in
  --boot)
    boot_prefix
    # A lasting wineserver spares every test process the server's start-up (about half a second).
    # It fails only when the prefix has a server already, which serves as well.
    wineserver --persistent 2>/dev/null || true
    # The first program a server runs starts wine's background services, which stay as long as the
    # server and keep that program's standard output and error open. Started here, detached, they
    # hold nothing of the tests: a test's output would otherwise never reach its end, and ctest
    # would wait for it until the test's time-out.
    wineboot </dev/null >/dev/null 2>&1 || true
    ;;
  --stop)
    if [[ -d $WINEPREFIX ]]; then
      wineserver --kill || true
    fi
    ;;
  *)
    boot_prefix
    output=$(mktemp)
    trap 'rm -f "$output"' EXIT
    for attempt in 1 2 3; do
      # Standard output goes on as it comes, and is kept to tell a program that never started
      # (wine says so there).
      set +e
      wine "$@" | tee "$output"
      status=${PIPESTATUS[0]}
      set -e
      # Status 139 is wine's own process dying of SIGSEGV. A fault of the Windows program never ends
      # so: wine turns it into an exception, prints a backtrace and ends with status 5. Wine 8 does
      # die so, now and then, when a process ends while threads it has just created are still
      # starting (about one run in a hundred of a program that starts two threads and returns at
      # once; none seen once the threads run). On a loaded machine wine also fails, now and then, to
      # start the program at all ("ShellExecuteEx failed: Internal error.", nothing of the program
      # run). Neither is a fault of the program: run it again.
      reason=""
      if [[ $status -eq 139 ]]; then
        reason="wine died of SIGSEGV (status 139) as the program ended"
      elif [[ $status -ne 0 ]] && grep -q '^ShellExecuteEx failed' "$output"; then
        reason="wine could not start the program (status $status)"
      fi
      if [[ -z $reason || $attempt -eq 3 ]]; then
        exit "$status"
      fi
      echo "wine-run.sh: ${reason}; running it again" >&2
      echo "$*" >>"$WINEPREFIX.reruns" # counted by scripts/test.sh
    done
    ;;
esac
