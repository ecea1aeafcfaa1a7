#!/usr/bin/env bash
# Builds the benchmarks in build/bench (optimised, no tests) and runs them: the receive figures
# (receive_bench: every case in a process of its own, each beside its baselines from the same run)
# and the send figures (transfer_bench, Google Benchmark, ratios to the raw driver call).
#
#   bash scripts/bench.sh            everything; the receive table goes to build/bench/receive.md
#   bash scripts/bench.sh --smoke    each receive case once, briefly, as CI's smoke test
#   bash scripts/bench.sh --boards   only the many-boards receive figures (build/bench/boards.md)
#   bash scripts/bench.sh --vendor   receive through the vendor's real Linux driver to an emulated
#                                    chip (the default build's corvane tool and Libraries/usb_emu):
#                                    default and fast profile, at the 8 MB/s link and unlimited
#   bash scripts/bench.sh --bindings the receive rate through the C++ header and the .NET assembly
#                                    beside the plain C callback (build/bench/bindings.md)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench

if [[ ${1:-} == --vendor ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCHMARKS=ON \
    -DCORVANE_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target vendor_bench corvane_tool usb_emu >/dev/null
  bash "$root/scripts/vendor-driver.sh" "$build/vendor" >/dev/null
  emulated=(env LD_PRELOAD="$build/usb_emu/libusb_emu.so" LD_LIBRARY_PATH="$build/vendor/lib")
  echo "Machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "== Through the vendor's driver to emulated chips: sends, idle processor, first answer after a silence =="
  for profile in default fast; do
    "${emulated[@]}" CORVANE_USB_EMU_BOARDS="$root/tests/vendor/emulated_boards.json" "$build/bench/vendor_bench" $profile
  done
  echo "== Receive: a stream board (single bytes on channel 0, 8-byte blocks on channel 2), corvane bench =="
  for rate in 8000000 0; do
    for profile in "" --fast; do
      printf 'link %s, %s profile: ' "$([[ $rate == 0 ]] && echo unlimited || echo "$rate B/s")" "${profile:-default}"
      "${emulated[@]}" CORVANE_USB_EMU_BOARDS="$root/tests/vendor/tool_boards.json" CORVANE_USB_EMU_RATE=$rate \
        "$build/Tools/corvane/corvane" $profile --board TOOL0001B bench --seconds 5 | grep -E 'messages:' | tr -s ' '
    done
  done
  exit 0
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCHMARKS=ON \
  -DCORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target receive_bench transfer_bench reconnect_bench >/dev/null

echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), load $(cut -d' ' -f1-3 /proc/loadavg)"
if [[ ${1:-} == --smoke ]]; then
  for args in "stream 1 1" "stream 0 0" "design 0 1" "readall 1 1" "idle 0" "heap" "allocations" "many 4 1 0" \
    "idle 0 16"; do
    CORVANE_PROFILE=fast "$build/bench/receive_bench" --case $args >/dev/null
  done
  echo "receive_bench: every case ran"
  exit 0
fi

if [[ ${1:-} == --bindings ]]; then
  cmake --build "$build" -j2 --target bindings_bench corvane_dotnet >/dev/null
  mcs -nologo -out:"$build/dotnet/BindingsBench.exe" -r:"$build/dotnet/Corvane.Net.dll" "$root/bench/BindingsBench.cs"
  rate() { # rate <profile> <binding> <kind>: messages/s of one run in a process of its own
    local profile=$1 binding=$2 kind=$3
    case $binding in
      c | cpp) CORVANE_PROFILE=$profile "$build/bench/bindings_bench" --case "$binding" "$kind" ;;
      *) CORVANE_PROFILE=$profile LD_LIBRARY_PATH="$build/Libraries/lib_usb" CORVANE_SIM_DRIVER="$build/sim/libftd2xx.so" \
           mono "$build/dotnet/BindingsBench.exe" "${binding#cs-}" "$kind" 2>/dev/null ;;
    esac | sed -n 's/^messages_per_second //p'
  }
  median() { printf '%s\n' "$@" | sort -g | sed -n "$(((${#@} + 1) / 2))p"; }
  bindings=(c cpp cs-event cs-queue)
  {
    echo "| Messages | C callback (msg/s) | C++ onMessage | ratio | C# event | ratio | C# queue | ratio |"
    echo "|---|---|---|---|---|---|---|---|"
    for profile in default fast; do
      for kind in bytes blocks; do
        declare -A runs=()
        for round in 1 2 3; do # in turn, so that the machine's load falls on all alike
          for binding in "${bindings[@]}"; do runs[$binding]+=" $(rate "$profile" "$binding" "$kind")"; done
        done
        declare -A med=()
        for binding in "${bindings[@]}"; do med[$binding]=$(median ${runs[$binding]}); done
        row="| $([[ $kind == bytes ]] && echo "single bytes" || echo "255-byte blocks"), $profile profile | ${med[c]}"
        for binding in cpp cs-event cs-queue; do
          row+=" | ${med[$binding]} | $(awk -v a="${med[$binding]}" -v b="${med[c]}" 'BEGIN { printf "%.3f", a / b }')"
        done
        echo "$row |"
        unset runs med
      done
    done
  } | tee "$build/bindings.md"
  exit 0
fi

if [[ ${1:-} == --boards ]]; then
  echo "== Receive with many boards open, every figure beside its baselines =="
  "$build/bench/receive_bench" --boards | tee "$build/boards.md"
  exit 0
fi

echo "== Receive (board to callback), every figure beside its baseline =="
"$build/bench/receive_bench" | tee "$build/receive.md"
echo
echo "== Send =="
"$build/bench/transfer_bench" --benchmark_min_time=0.5
echo
echo "== Reconnecting a lost board (fast profile; CORVANE_BENCH_CYCLES unplug/replug cycles, 1000 by default) =="
"$build/bench/reconnect_bench" 2>/dev/null
