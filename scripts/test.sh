#!/usr/bin/env bash
# The whole test suite: the README's test command, and all that CI runs. Installs what is missing
# (scripts/setup.sh), then builds and tests five builds, each in a folder of its own under build/:
#
#   default  Linux, optimised: unit, API and binding tests, the export tables of libcorvane.so and
#            of the simulated driver, and the library against the vendor's real Linux driver
#            (fetched from the npm registry into the build tree by scripts/vendor-driver.sh)
#   vendor   the library end to end through the vendor's real Linux driver (fetched by
#            scripts/vendor-driver.sh into build/default/vendor, never committed) to emulated bridge
#            chips (Libraries/usb_emu, preloaded): listing, open and close, every send's bytes at
#            the chip, echoes, the fast profile's pieces, unplug and reconnection, and the corvane
#            tool; the default build's tests labelled "vendor", skipped only when the driver
#            cannot be had
#   win32    32-bit Windows cross build with mingw-w64: Corvane32.dll, the simulated ftd2xx32.dll
#            and the tests as Windows programs, run under wine (scripts/wine-run.sh), every test
#            case in a process of its own; calling conventions, binding through the DLL search,
#            and the export tables of both DLLs
#   win64    64-bit Windows cross build: Corvane64.dll, the simulated ftd2xx64.dll and the same
#            tests as 64-bit Windows programs, under wine in a 64-bit prefix of the build's own;
#            binding through the DLL search (ftd2xx64.dll, then ftd2xx.dll, and 32-bit drivers
#            under either name), and the export tables of both DLLs
#   package  the packages of scripts/package.sh (.deb, tarball, Windows zip) from the three builds
#            above, checked by tests/package/check.sh: a consumer program built against the
#            installed tree, the unpacked .deb and the zip alone, run on the simulated driver;
#            lintian; the .deb's contents
#   asan     Linux, address and undefined-behaviour sanitizers: unit, API and binding tests
#   tsan     Linux, thread sanitizer: unit, API and binding tests
#   gateware the board's side (Gateware/), in the default build: the Verilator testbenches of the
#            bridge chip's FIFO interfaces and of the protocol layer, the library against the RTL
#            example board through the chip model (ctest label gateware), the formal checks
#            (Gateware/formal/run.sh: yosys, yosys-smtbmc, Z3) and the synthesis runs with their
#            budget (Gateware/synth/run.sh: iCE40 placed and routed, ECP5 and 7-series counts);
#            skipped only where no Verilator is found
#   python   the Python package (python/) against the default build, with Debian's /usr/bin/python3
#            and pytest, whatever python3 comes first on PATH; its examples included
#   browser  the browser panel (`corvane panel`) in headless Chromium with Selenium, against the
#            default build's tool on simulated boards; after the win64 stage, the same table
#            against its corvane.exe under wine
#   bindings the C++ header and the .NET assembly against the default build: the C++ table of
#            behaviours (ctest label bindings), the .NET table under Debian's NUnit 2.6 console
#            (Mono), and the C++ and C# examples, all on the simulated boards
#   fuzz     Linux, clang: every libFuzzer target of tests/fuzz/ for CORVANE_FUZZ_SECONDS each
#            (default 60), from its committed seed corpus, under the address and undefined-
#            behaviour sanitizers; a crash leaves its input in build/fuzz/artifacts/
#
# Every build runs even when an earlier one failed. The summary gives each build's result, test
# count and time; the exit status is non-zero when anything failed.
# CORVANE_BUILD_PREFIX=x- puts the builds in build/x-default and so on (the default is none).
#
#   --busy N         (or CORVANE_BUSY=N) N busy loops run beside the whole run, each taking a
#                    core whenever it can, as other work on a shared machine does; stopped at the
#                    end however the run ends. Run this before submitting: the suite must pass on a
#                    busy machine, not only on a quiet one.
#   --stages A,B     only these stages (default, vendor, gateware, python, browser, bindings, win32, win64, package, asan,
#                    tsan, fuzz),
#                    in their usual order; the package stage needs the three builds before it
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

busy=${CORVANE_BUSY:-0}
stages=all
while [[ $# -gt 0 ]]; do
  case $1 in
    --busy) busy=${2:?--busy needs a number}; shift 2 ;;
    --stages) stages=${2:?--stages needs a list}; shift 2 ;;
    *) echo "usage: $0 [--busy N] [--stages default,python,...]" >&2; exit 2 ;;
  esac
done
[[ $busy =~ ^[0-9]+$ ]] || { echo "test.sh: --busy takes a number of loops, not '$busy'" >&2; exit 2; }
wanted() { [[ $stages == all || ,$stages, == *",$1,"* ]]; }

started=$(date +%s)
bash scripts/setup.sh || { echo "test.sh: set-up failed"; exit 1; }

# The busy loops: subshells spinning on a shell builtin, ended by the exit trap below.
busy_pids=()
for ((i = 0; i < busy; i++)); do
  (while :; do :; done) &
  busy_pids+=($!)
done
[[ $busy -eq 0 ]] || echo "test.sh: ${busy} busy loop(s) run beside the tests (pids ${busy_pids[*]})"
stop_busy() { [[ ${#busy_pids[@]} -eq 0 ]] || kill "${busy_pids[@]}" 2>/dev/null; busy_pids=(); }

prefix=${CORVANE_BUILD_PREFIX:-}
summary=()
soak_lines=()
failed_names=()
passed_total=0
failed_total=0
skipped_total=0
status=0

# A Windows build's lasting wineserver ends with the run, however the run ends.
wine_prefix=()
stop_wine() { [[ ${#wine_prefix[@]} -eq 0 ]] || bash scripts/wine-run.sh "${wine_prefix[@]}" --stop; wine_prefix=(); }
trap 'stop_wine; stop_busy' EXIT

seconds_since() { echo $(($(date +%s) - $1)); }
as_minutes() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }

# ctest_counts <log> <stage>: reads ctest's closing line ("97% tests passed, 4 tests failed out of 154")
# and its skipped tests into the caller's total, failed and skipped, adds them to the run's
# totals, and marks the caller's result failed when no test ran.
ctest_counts() {
  local line
  total=0 failed=0
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -1)
  if [[ -n $line ]]; then
    failed=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  elif [[ $result == passed ]]; then
    result="FAILED (no tests ran)"
  fi
  skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$1")
  # The names of the failed tests go into the summary's tail: a CI log may keep only the end.
  while IFS= read -r line; do failed_names+=("${2}: ${line}"); done < <(sed -n '/^The following tests FAILED:/,/^$/p' "$1" |
    sed -nE 's/^[[:space:]]*[0-9]+ - (.*)$/\1/p')
  passed_total=$((passed_total + total - failed - skipped))
  skipped_total=$((skipped_total + skipped))
  failed_total=$((failed_total + failed))
  [[ $result == passed ]] || { status=1; [[ $failed -gt 0 ]] || failed_total=$((failed_total + 1)); }
}

# pytest_counts <log> <stage>: reads pytest's closing line ("33 passed, 1 skipped in 9.31s", with
# -v framed in "="s) into the caller's passed, failed and skipped, adds them to the run's totals
# and the failed tests' names to the summary's tail, and counts a failed run without a failed
# test as one failure.
pytest_counts() {
  local line
  line=$(grep -E '^=* ?[0-9]+ (passed|failed|skipped|error)' "$1" | tail -1)
  [[ $line =~ ([0-9]+)\ passed ]] && passed=${BASH_REMATCH[1]}
  [[ $line =~ ([0-9]+)\ failed ]] && failed=${BASH_REMATCH[1]}
  [[ $line =~ ([0-9]+)\ error ]] && failed=$((failed + BASH_REMATCH[1]))
  [[ $line =~ ([0-9]+)\ skipped ]] && skipped=${BASH_REMATCH[1]}
  while IFS= read -r line; do failed_names+=("${2}: ${line}"); done < <(sed -nE 's/^(FAILED|ERROR) //p' "$1")
  passed_total=$((passed_total + passed))
  skipped_total=$((skipped_total + skipped))
  failed_total=$((failed_total + failed))
  [[ $result == passed ]] || { status=1; [[ $failed -gt 0 ]] || failed_total=$((failed_total + 1)); }
}

# run_build <preset> [environment for the tests...]; ctest_selection narrows the tests run.
ctest_selection=()
run_build() {
  local preset=$1
  shift
  local dir=build/${prefix}${preset} soak
  local stage_start result="passed" log
  stage_start=$(date +%s)
  log=$(mktemp)
  echo
  echo "=== ${preset}: configure and build in ${dir} ==="
  if ! cmake --preset "$preset" -B "$dir" >/dev/null; then
    result="FAILED (configure)"
  else
    # Keep going past a target that does not build, so that every other test still runs.
    if ! cmake --build "$dir" -j2 -- -k 0; then
      result="FAILED (build)"
    fi
    if [[ $preset == win32 || $preset == win64 ]]; then
      # One prefix (of the build's word size) and one lasting wineserver for the whole stage;
      # stopped again below.
      wine_prefix=(--arch "$preset" "$root/$dir/wine/prefix")
      rm -f "$root/$dir/wine/prefix.reruns"
      bash scripts/wine-run.sh "${wine_prefix[@]}" --boot || result="FAILED (wine prefix)"
    fi
    echo "=== ${preset}: tests ==="
    env "$@" ctest --test-dir "$dir" -j2 --output-on-failure "${ctest_selection[@]}" 2>&1 | tee "$log"
    if [[ ${PIPESTATUS[0]} -ne 0 && $result == passed ]]; then
      result="FAILED (tests)"
    fi
    stop_wine
    # The soak's figures (one line per receive mode) go into the summary's tail.
    while IFS= read -r soak; do soak_lines+=("${preset}: ${soak}"); done \
      < <(grep -h '^soak [a-z]*: ' "$dir/Testing/Temporary/LastTest.log" 2>/dev/null)
  fi

  local total failed skipped
  ctest_counts "$log" "$preset"

  local note="" reruns
  if [[ $preset == default && ! -f $dir/vendor/lib/libftd2xx.so ]]; then
    note=" - the vendor's real driver could not be fetched, its test was SKIPPED"
  fi
  reruns=$(cat "$root/$dir/wine/prefix.reruns" 2>/dev/null | wc -l)
  if [[ $reruns -gt 0 ]]; then
    note=" - wine itself failed to start or end a program ${reruns} time(s); the programs were run again"
  fi
  summary+=("$(printf '%-8s %-20s %4d tests, %3d failed, %3d skipped  %s%s' "$preset" "$result" \
    "$total" "$failed" "$skipped" "$(as_minutes "$(seconds_since "$stage_start")")" "$note")")
  rm -f "$log"
}

# run_fuzz: builds the fuzz targets and runs each for CORVANE_FUZZ_SECONDS; the summary line
# gives the executions in all.
run_fuzz() {
  local dir=build/${prefix}fuzz stage_start result="passed" targets=0 failed=0 runs=0 log name count
  stage_start=$(date +%s)
  log=$(mktemp)
  echo
  echo "=== fuzz: configure and build in ${dir} ==="
  local names=(decoder input_buffer board_parser board_file)
  if ! cmake --preset fuzz -B "$dir" >/dev/null || ! cmake --build "$dir" -j2 --target "${names[@]/#/fuzz_}"; then
    result="FAILED (build)"
  else
    mkdir -p "$dir/artifacts"
    for name in "${names[@]}"; do
      echo "=== fuzz: ${name} for ${CORVANE_FUZZ_SECONDS:-60} s ==="
      mkdir -p "$dir/corpus/$name"
      targets=$((targets + 1))
      local dictionary=()
      [[ ! -f tests/fuzz/$name.dict ]] || dictionary=(-dict="tests/fuzz/$name.dict")
      if ! "$dir/tests/fuzz/fuzz_$name" "$dir/corpus/$name" "tests/fuzz/corpus/$name" "${dictionary[@]}" \
          -max_total_time="${CORVANE_FUZZ_SECONDS:-60}" -print_final_stats=1 \
          -artifact_prefix="$dir/artifacts/${name}-" >"$log" 2>&1; then
        failed=$((failed + 1))
        result="FAILED (${name})"
        tail -40 "$log"
      fi
      count=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log")
      echo "fuzz_${name}: ${count:-0} executions"
      runs=$((runs + ${count:-0}))
    done
  fi
  rm -f "$log"
  passed_total=$((passed_total + targets - failed))
  failed_total=$((failed_total + failed))
  [[ $result == passed ]] || { status=1; [[ $failed -gt 0 ]] || failed_total=$((failed_total + 1)); }
  summary+=("$(printf '%-8s %-20s %4d tests, %3d failed, %3d skipped  %s - %d executions' fuzz "$result" \
    "$targets" "$failed" 0 "$(as_minutes "$(seconds_since "$stage_start")")" "$runs")")
}

# run_python: the Python package's tests against the default build's library and simulated driver.
run_python() {
  local dir=build/${prefix}default stage_start result="passed" log passed=0 failed=0 skipped=0
  stage_start=$(date +%s)
  log=$(mktemp)
  echo
  echo "=== python: tests of python/ against ${dir} ==="
  CORVANE_BUILD_DIR="$root/$dir" MPLCONFIGDIR="$root/$dir/matplotlib" PYTHONDONTWRITEBYTECODE=1 \
    /usr/bin/python3 -m pytest -p no:cacheprovider -q python/tests 2>&1 | tee "$log"
  [[ ${PIPESTATUS[0]} -eq 0 ]] || result="FAILED (tests)"
  pytest_counts "$log" python
  summary+=("$(printf '%-8s %-20s %4d tests, %3d failed, %3d skipped  %s' python "$result" \
    "$((passed + failed + skipped))" "$failed" "$skipped" "$(as_minutes "$(seconds_since "$stage_start")")")")
  rm -f "$log"
}

# run_browser [win64]: the panel (`corvane panel`) in headless Chromium driven by Selenium, against
# the default build's tool; with win64, the same table against the 64-bit Windows build's
# corvane.exe under wine (after the win64 stage, which built it).
run_browser() {
  local column=${1:-default} dir stage_start result="passed" log passed=0 failed=0 skipped=0 note=""
  local environment=()
  dir=build/${prefix}${column}
  stage_start=$(date +%s)
  log=$(mktemp)
  echo
  echo "=== browser: the panel in headless Chromium against ${dir} ==="
  if [[ $column == win64 ]]; then
    note=" - the win64 tool under wine"
    environment=(CORVANE_TOOL="$root/$dir/bin/corvane.exe"
                 CORVANE_TOOL_RUNNER="bash $root/scripts/wine-run.sh --arch win64 $root/$dir/wine/prefix")
    if [[ ! -f $dir/Tools/corvane/panel/libcorvane_panel.a ]]; then
      summary+=("$(printf '%-8s %-20s %4d tests, %3d failed, %3d skipped  %s%s' browser "$result" 0 0 0 \
        "$(as_minutes "$(seconds_since "$stage_start")")" "$note: no panel (cpp-httplib's source could not be had), SKIPPED")")
      rm -f "$log"
      return
    fi
  else
    [[ -f $dir/build.ninja ]] || cmake --preset default -B "$dir" >/dev/null
    if ! cmake --build "$dir" --target corvane_tool >"$log" 2>&1; then
      cat "$log"
      result="FAILED (build)"
    fi
    environment=(CORVANE_BUILD_DIR="$root/$dir")
  fi
  if [[ $result == passed ]]; then
    env "${environment[@]}" PYTHONDONTWRITEBYTECODE=1 \
      /usr/bin/python3 -m pytest -p no:cacheprovider -v tests/browser 2>&1 | tee "$log"
    [[ ${PIPESTATUS[0]} -eq 0 ]] || result="FAILED (tests)"
    [[ $column != win64 ]] || bash scripts/wine-run.sh --arch win64 "$root/$dir/wine/prefix" --stop
  fi
  pytest_counts "$log" "browser ${column}"
  summary+=("$(printf '%-8s %-20s %4d tests, %3d failed, %3d skipped  %s%s' browser "$result" \
    "$((passed + failed + skipped))" "$failed" "$skipped" "$(as_minutes "$(seconds_since "$stage_start")")" "$note")")
  rm -f "$log"
}

# numbered_rows CSV: says "numbered rows in order" when the stream example's CSV holds at least 40
# rows of the default stream board, each message numbered one more than the one before (the number's
# low byte leads a single byte's and a block's data) on the channel the number chooses (four
# channels in turn), or the first row that is not.
numbered_rows() {
  awk -F, -v hex=0123456789ABCDEF 'NR == 1 { next }
    { n = 16 * (index(hex, substr($6, 1, 1)) - 1) + index(hex, substr($6, 2, 1)) - 1
      if (NR > 2 && n != (first + NR - 2) % 256) { print "row " NR " out of order: " $0; bad = 1; exit }
      if (NR == 2) first = n
      if ($2 != n % 4) { print "row " NR " on the wrong channel: " $0; bad = 1; exit } }
    NR > 41 { exit }
    END { if (!bad) print (NR > 41 ? "numbered rows in order" : "only " NR - 1 " rows") }' "$1"
}

# run_bindings: corvane.hpp and Corvane.Net.dll against the default build's library and simulated
# driver; one test per C++ row, per NUnit case and per example run.
run_bindings() {
  local dir=build/${prefix}default stage_start result="passed" log total=0 failed=0 line work
  stage_start=$(date +%s)
  log=$(mktemp)
  work=$(mktemp -d)
  echo
  echo "=== bindings: C++ and .NET against ${dir} ==="
  cmake --build "$dir" -j2 --target bindings_cpp_test corvane_dotnet_tests example_echo_block example_stream_to_csv ||
    result="FAILED (build)"
  ctest --test-dir "$dir" -L bindings -j2 --output-on-failure 2>&1 | tee "$log"
  [[ ${PIPESTATUS[0]} -eq 0 ]] || result="FAILED (C++)"
  line=$(grep -E '^[0-9]+% tests passed' "$log" | tail -1)
  [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]] && { failed=${BASH_REMATCH[1]}; total=${BASH_REMATCH[2]}; }
  local sim=(env "LD_LIBRARY_PATH=$root/$dir/Libraries/lib_usb" "CORVANE_SIM_DRIVER=$root/$dir/sim/libftd2xx.so")
  # The .NET rows share one library in one process; -domain=None keeps them in the process's own
  # domain, whose end never waits for the library's threads.
  (cd "$work" && "${sim[@]}" timeout 600 nunit-console -nologo -domain=None -xml="$work/nunit.xml" \
    "$root/$dir/dotnet/Corvane.Net.Tests.dll") 2>&1 | sed -E $'s/\t Device [0-9]+: .*$//; /^Number of devices/d' | tee "$log"
  [[ ${PIPESTATUS[0]} -eq 0 ]] || result="FAILED (.NET)"
  line=$(grep -E '^Tests run: [0-9]+' "$log" | tail -1)
  if [[ $line =~ Tests\ run:\ ([0-9]+),\ Errors:\ ([0-9]+),\ Failures:\ ([0-9]+) ]]; then
    total=$((total + BASH_REMATCH[1]))
    failed=$((failed + BASH_REMATCH[2] + BASH_REMATCH[3]))
  else
    result="FAILED (.NET: no tests ran)"
  fi
  # The examples, as a user runs them. The stream examples' rows must be the stream's numbered
  # messages one after another, with none missing: the handler goes in with the open. Which
  # message comes first is not fixed: the open purges what the board sent before it.
  local cpp=(env "LD_LIBRARY_PATH=$root/$dir/sim:$root/$dir/Libraries/lib_usb" CORVANE_SIM_BOARDS=default)
  local example what expected output
  while IFS='|' read -r what expected example; do
    total=$((total + 1))
    output=$(cd "$work" && eval "$example" 2>&1)
    if grep -qF -- "$expected" <<<"$output"; then
      echo "ok      example: $what"
    else
      echo "FAILED  example: $what (expected: $expected)"
      sed 's/^/        /' <<<"$output" | head -20
      failed=$((failed + 1))
      result="FAILED (examples)"
    fi
  done <<EXAMPLES
C++ echo_block|answer: 13 bytes: Hello, board!|\${cpp[@]} $root/$dir/examples/cpp/echo_block
C++ stream_to_csv|numbered rows in order|\${cpp[@]} $root/$dir/examples/cpp/stream_to_csv 1 cpp.csv 0.5 >/dev/null && numbered_rows cpp.csv
C# EchoBlock|answer: Message(board=0, channel=2, block 0xE2, data=48 65 6C 6C 6F 2C 20 62 6F 61 72 64 21)|\${sim[@]} mono $root/$dir/dotnet/EchoBlock.exe --sim
C# StreamToCsv|numbered rows in order|\${sim[@]} mono $root/$dir/dotnet/StreamToCsv.exe --sim 1 cs.csv 0.5 >/dev/null && numbered_rows cs.csv
EXAMPLES
  rm -rf "$work" "$log"
  passed_total=$((passed_total + total - failed))
  failed_total=$((failed_total + failed))
  [[ $result == passed ]] || { status=1; [[ $failed -gt 0 ]] || failed_total=$((failed_total + 1)); }
  summary+=("$(printf '%-8s %-20s %4d tests, %3d failed, %3d skipped  %s' bindings "$result" \
    "$total" "$failed" 0 "$(as_minutes "$(seconds_since "$stage_start")")")")
}

# run_package: the packages (the four Debian packages, the tarball, the Python wheel and source
# distribution, the Windows zip) built from the trees above and checked; one test per check line.
run_package() {
  local stage_start result="passed" log checks failed
  stage_start=$(date +%s)
  log=$(mktemp)
  echo
  echo "=== package: scripts/package.sh and tests/package/check.sh ==="
  if ! bash scripts/package.sh; then
    result="FAILED (package.sh)"
  elif ! bash tests/package/check.sh "build/${prefix}default" "build/${prefix}win32" "build/${prefix}win64" 2>&1 |
      tee "$log"; then
    result="FAILED (checks)"
  fi
  checks=$(grep -cE '^(ok|FAILED) ' "$log")
  failed=$(grep -cE '^FAILED ' "$log")
  rm -f "$log"
  passed_total=$((passed_total + checks - failed))
  failed_total=$((failed_total + failed))
  [[ $result == passed ]] || { status=1; [[ $failed -gt 0 ]] || failed_total=$((failed_total + 1)); }
  summary+=("$(printf '%-8s %-20s %4d tests, %3d failed, %3d skipped  %s' package "$result" \
    "$checks" "$failed" 0 "$(as_minutes "$(seconds_since "$stage_start")")")")
}

# run_vendor: the tests labelled "vendor" of the default build (built by run_build default).
run_vendor() {
  local dir=build/${prefix}default stage_start result="passed" log total failed skipped
  stage_start=$(date +%s)
  log=$(mktemp)
  echo
  echo "=== vendor: the vendor's real driver and emulated chips, in ${dir} ==="
  # Up to date after the default stage; built here when the vendor stage runs alone.
  if ! cmake --preset default -B "$dir" >/dev/null || ! cmake --build "$dir" -j2 >/dev/null; then
    result="FAILED (build)"
  fi
  ctest --test-dir "$dir" -j2 --output-on-failure -L vendor 2>&1 | tee "$log"
  [[ ${PIPESTATUS[0]} -eq 0 || $result != passed ]] || result="FAILED (tests)"
  ctest_counts "$log" vendor
  local note=""
  [[ -f $dir/vendor/lib/libftd2xx.so ]] || note=" - the vendor's real driver could not be fetched: SKIPPED"
  summary+=("$(printf '%-8s %-20s %4d tests, %3d failed, %3d skipped  %s%s' vendor "$result" \
    "$total" "$failed" "$skipped" "$(as_minutes "$(seconds_since "$stage_start")")" "$note")")
  rm -f "$log"
}

# run_gateware: the board's side, in the default build: the gateware's testbenches and the library
# against the RTL board (ctest label "gateware"), then the formal checks and the synthesis runs,
# whose "ok"/"FAILED" lines count as tests. Skipped where the build found no Verilator.
run_gateware() {
  local dir=build/${prefix}default stage_start result="passed" log total failed skipped script checks bad
  stage_start=$(date +%s)
  log=$(mktemp)
  echo
  echo "=== gateware: testbenches, the library against the RTL board, formal checks, synthesis ==="
  if ! cmake --preset default -B "$dir" >/dev/null || ! cmake --build "$dir" -j2 >/dev/null; then
    result="FAILED (build)"
  fi
  if ! grep -q '^CORVANE_HAVE_VERILATOR:INTERNAL=ON' "$dir/CMakeCache.txt" 2>/dev/null; then
    summary+=("$(printf '%-8s %-20s %4d tests, %3d failed, %3d skipped  %s - no Verilator: SKIPPED' gateware \
      "$result" 0 0 0 "$(as_minutes "$(seconds_since "$stage_start")")")")
    [[ $result == passed ]] || { status=1; failed_total=$((failed_total + 1)); }
    rm -f "$log"
    return
  fi
  ctest --test-dir "$dir" -j2 --output-on-failure -L gateware 2>&1 | tee "$log"
  [[ ${PIPESTATUS[0]} -eq 0 || $result != passed ]] || result="FAILED (tests)"
  ctest_counts "$log" gateware
  for script in Gateware/formal/run.sh Gateware/synth/run.sh; do
    [[ -f $script ]] || continue
    echo "=== gateware: ${script} ==="
    CORVANE_GATEWARE_OUT="$root/build/${prefix}gateware" bash "$script" 2>&1 | tee "$log"
    [[ ${PIPESTATUS[0]} -eq 0 ]] || { result="FAILED (${script##*/Gateware/})"; status=1; }
    checks=$(grep -cE '^(ok|FAILED) ' "$log")
    bad=$(grep -cE '^FAILED ' "$log")
    total=$((total + checks))
    failed=$((failed + bad))
    passed_total=$((passed_total + checks - bad))
    failed_total=$((failed_total + bad))
  done
  summary+=("$(printf '%-8s %-20s %4d tests, %3d failed, %3d skipped  %s' gateware "$result" \
    "$total" "$failed" "$skipped" "$(as_minutes "$(seconds_since "$stage_start")")")")
  rm -f "$log"
}

ctest_selection=(-LE "vendor|gateware")
wanted default && run_build default
ctest_selection=()
wanted vendor && run_vendor
wanted gateware && run_gateware
wanted python && run_python
wanted browser && run_browser
wanted bindings && run_bindings
wanted win32 && run_build win32
wanted win64 && run_build win64
wanted win64 && wanted browser && run_browser win64
wanted package && run_package
wanted asan && run_build asan
wanted tsan && run_build tsan TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
wanted fuzz && run_fuzz
stop_busy

echo
echo "=== summary ($(as_minutes "$(seconds_since "$started")") in all$([[ $busy -eq 0 ]] || echo ", ${busy} busy loop(s) beside it")) ==="
printf '%s\n' "${summary[@]}"
[[ ${#soak_lines[@]} -eq 0 ]] || printf '%s\n' "${soak_lines[@]}"
[[ ${#failed_names[@]} -eq 0 ]] || printf 'failed: %s\n' "${failed_names[@]}"
echo "test.sh: ${passed_total} passed, ${failed_total} failed, ${skipped_total} skipped"
exit $status
