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
#   bash scripts/bench.sh --roads    the two roads to a chip side by side (build/bench/roads.md):
#                                    the vendor's driver and ours (libcorvane_d2xx.so), both to
#                                    emulated chips, at the async FIFO's 8 MB/s link, the sync
#                                    FIFO's 40 MB/s link and unlimited; each figure beside the
#                                    link's rate and the vendor road measured in the same run
#   bash scripts/bench.sh --panel    the browser panel's cost: a full-speed stream in the fast
#                                    profile with a page open (headless Chromium) against a bare
#                                    counting C callback and `corvane bench`, in the same run; and
#                                    the panel's processor use with a page open on an idle board
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
    "${emulated[@]}" CORVANE_USB_EMU_BOARDS="$root/bench/road_boards.json" "$build/bench/vendor_bench" vendor sends \
      $profile | awk -v p=$profile '{ v[$1] = $2 } END {
        printf "%-8s idle %.2f of a core; single bytes %.0f/s, 255-byte blocks %.0f/s, raw FT_Write %.0f/s (single bytes %.2f of it); first answer after a silence: median %.1f ms, max %.1f ms\n",
          p, v["idle_cores"], v["bytes_sent_per_second"], v["blocks_sent_per_second"], v["raw_writes_per_second"],
          v["bytes_sent_per_second"] / v["raw_writes_per_second"], v["first_answer_median_ms"], v["first_answer_max_ms"] }'
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

if [[ ${1:-} == --panel ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCHMARKS=ON \
    -DCORVANE_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target corvane_tool bindings_bench >/dev/null
  tool=$build/Tools/corvane/corvane
  boards=$root/bench/panel_boards.json
  seconds=5
  echo "Machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
  # The same stream (255-byte blocks on channel 0, as fast as the host takes them) three ways:
  # the bare baseline (a C callback that counts and checks each message's number), `corvane
  # bench` (no panel), and the panel with a page open.
  bare=$(CORVANE_PROFILE=fast "$build/bench/bindings_bench" --case c blocks | awk '$1 == "messages_per_second" { print $2 }')
  without=$("$tool" --sim "$boards" --fast --board FULL0001 bench --seconds $seconds |
    sed -n 's/.*messages: [0-9]* (\([0-9]*\)\/s).*/\1/p')
  figures=$(/usr/bin/python3 "$root/bench/panel_bench.py" "$tool" "$boards" $seconds)
  with=$(awk '$1 == "panel_messages_per_second" { print $2 }' <<<"$figures")
  idle=$(awk '$1 == "idle_panel_cores" { print $2 }' <<<"$figures")
  awk -v a="$with" -v b="$without" -v c="$bare" -v i="$idle" 'BEGIN {
    printf "full-speed stream, fast profile, messages/s: bare C callback %.0f, corvane bench %.0f, panel with a page open %.0f\n", c, b, a
    printf "panel against the bare callback: %.2f; against corvane bench: %.2f (target 0.9)\n", a / c, a / b
    printf "idle board, a page open: the panel takes %.3f of a core\n", i }'
  exit 0
fi

if [[ ${1:-} == --roads ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_BUILD_BENCHMARKS=ON \
    -DCORVANE_BUILD_TESTS=OFF >/dev/null
  targets=(vendor_bench usb_emu)
  roads=(vendor)
  open_dir=
  if [[ -d $root/Libraries/open_driver ]]; then
    # Our driver, named by the file it makes, whatever its target is called.
    outputs=$(ninja -C "$build" -t targets all)
    driver_file=$(sed -n 's|^\(\([^:]*/\)\{0,1\}libcorvane_d2xx\.so\): .*|\1|p' <<<"$outputs")
    driver_file=${driver_file%%$'\n'*}
    [[ -n $driver_file ]] || { echo "bench.sh: the build makes no libcorvane_d2xx.so"; exit 1; }
    targets+=("$driver_file")
    open_dir=$build/$(dirname "$driver_file")
    roads+=(open)
  fi
  cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null
  bash "$root/scripts/vendor-driver.sh" "$build/vendor" >/dev/null
  out=$build/roads
  rm -rf "$out"
  mkdir -p "$out"
  echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), load $(cut -d' ' -f1-3 /proc/loadavg)" |
    tee "$out/machine"
  # measure <name> <road> [VAR=value...] -- <vendor_bench arguments>: one case in a process of its
  # own, its "key value" lines kept in $out/<road>.<name>; a failure keeps its reason instead.
  measure() {
    local name=$1 road=$2 settings=()
    shift 2
    while [[ $1 != -- ]]; do settings+=("$1"); shift; done
    shift
    printf '  %-6s %-22s ' "$road" "$name"
    if timeout 300 env LD_PRELOAD="$build/usb_emu/libusb_emu.so" \
        LD_LIBRARY_PATH="$build/vendor/lib${open_dir:+:$open_dir}" \
        CORVANE_USB_EMU_BOARDS="$root/bench/road_boards.json" "${settings[@]}" \
        "$build/bench/vendor_bench" "$road" "$@" >"$out/$road.$name" 2>"$out/$road.$name.err"; then
      tr '\n' ' ' <"$out/$road.$name" | cut -c1-150
    else
      echo "failed: $(tail -1 "$out/$road.$name.err")"
      : >"$out/$road.$name"
    fi
  }
  # In turn, road by road for each case, so that the machine's load falls on both alike.
  echo "== the driver alone: a plain FT_GetQueueStatus/FT_Read loop, 255-byte block stream =="
  for road in "${roads[@]}"; do measure raw-async "$road" -- raw async; done
  for road in "${roads[@]}"; do measure raw-sync "$road" -- raw sync; done
  for road in "${roads[@]}"; do measure raw-unlimited "$road" CORVANE_USB_EMU_RATE=0 -- raw async; done
  for road in "${roads[@]}"; do measure raw-unlimited-16k "$road" CORVANE_USB_EMU_RATE=0 -- raw async 16384; done
  echo "== receive through the library, fast profile =="
  for kind in blocks bytes; do
    for road in "${roads[@]}"; do measure "$kind-async" "$road" -- receive fast "$kind" async; done
    # CORVANE_FIFO is our driver's setting: on the vendor's road the library leaves the chip's mode.
    for road in "${roads[@]}"; do
      [[ $road == vendor ]] || measure "$kind-sync" "$road" -- receive fast "$kind" sync
    done
    for road in "${roads[@]}"; do measure "$kind-unlimited" "$road" CORVANE_USB_EMU_RATE=0 -- receive fast "$kind" async; done
  done
  echo "== sends, idle, first answer after a silence =="
  for profile in default fast; do
    for road in "${roads[@]}"; do measure "sends-$profile" "$road" -- sends "$profile"; done
  done
  echo "== a reader stalled 3 s while a board streams at the 8 MB/s link (fast profile) =="
  for road in "${roads[@]}"; do measure stall "$road" -- stall; done

  # val <road> <name> <key>: one figure, or nothing
  # (a case not run for a road, such as the vendor's road in the synchronous FIFO, has no file)
  val() { [[ ! -f $out/$1.$2 ]] || awk -v k="$3" '$1 == k { print $2 }' "$out/$1.$2"; }
  text() { [[ ! -f $out/$1.$2 ]] || sed -n "s/^$3 //p" "$out/$1.$2"; }
  # fmt <value> [digits]: a figure as printed, "-" when not measured
  fmt() { [[ -n $1 ]] && awk -v v="$1" -v d="${2:-3}" 'BEGIN { if (v >= 1000) printf "%.0f", v; else printf "%.*g", d + 0, v }' || echo "-"; }
  ratio() { [[ -n $1 && -n $2 ]] && awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0) print "-"; else printf "%.2f", a / b }' || echo "-"; }
  link_rate() { case $1 in *-async) echo 8 ;; *-sync) echo 40 ;; *) echo "" ;; esac; }
  link_name() { case $1 in *-async) echo "async FIFO link, 8 MB/s" ;; *-sync) echo "sync FIFO link, 40 MB/s" ;; *) echo "unlimited link" ;; esac; }
  # row <figure> <name> <key> [link rate in the key's unit]: both roads, each against the link, ours against theirs
  row() {
    local figure=$1 name=$2 key=$3 link=${4:-} v o
    v=$(val vendor "$name" "$key")
    o=$(val open "$name" "$key")
    echo "| $figure | $(fmt "$v" 4) | $(ratio "$v" "$link") | $(fmt "$o" 4) | $(ratio "$o" "$link") | $(ratio "$o" "$v") |"
  }
  {
    echo "| Figure | Vendor's driver | / link | Ours (open) | / link | ours / vendor's |"
    echo "|---|---|---|---|---|---|"
    for name in raw-async raw-sync raw-unlimited raw-unlimited-16k; do
      label="plain read loop, $(link_name "$name") (MB/s)"
      [[ $name != *16k ]] || label="plain read loop, unlimited link, 16 KiB IN requests (MB/s)"
      row "$label" "$name" megabytes_per_second "$(link_rate "$name")"
    done
    for kind in blocks bytes; do
      what=$([[ $kind == blocks ]] && echo "255-byte blocks" || echo "single bytes")
      for name in "$kind-async" "$kind-sync" "$kind-unlimited"; do
        rate=$(link_rate "$name")
        row "$what received, $(link_name "$name") (MB/s on the link)" "$name" link_megabytes_per_second "$rate"
        per=
        [[ -z $rate ]] || per=$(awk -v r="$rate" -v k="$kind" 'BEGIN { printf "%.0f", r * 1e6 / (k == "blocks" ? 257 : 2) }')
        row "$what received, $(link_name "$name") (messages/s)" "$name" messages_per_second "$per"
        # What the chip put into IN packets: more than the callback got means the driver threw some away.
        checks() { # <road> <name>: missing / corrupt / elsewhere; the chip's IN data
          echo "$(fmt "$(val "$1" "$2" missing)") / $(fmt "$(val "$1" "$2" corrupt)") / $(fmt "$(val "$1" "$2" elsewhere)"); $(fmt "$(val "$1" "$2" chip_megabytes_per_second)" 4)"
        }
        echo "| $what, $(link_name "$name"): missing / corrupt / on other channels; the chip's IN data (MB/s) | $(checks vendor "$name") | | $(checks open "$name") | | |"
      done
    done
    for profile in default fast; do
      row "single bytes sent per second, $profile profile" "sends-$profile" bytes_sent_per_second
      row "raw FT_Write per second, the same driver alone (beside the $profile profile's sends)" "sends-$profile" raw_writes_per_second
      row "255-byte blocks sent per second, $profile profile" "sends-$profile" blocks_sent_per_second
      row "idle with one board open, $profile profile (of a core)" "sends-$profile" idle_cores
      row "first answer after 300 ms of silence, $profile profile, median (ms)" "sends-$profile" first_answer_median_ms
      row "first answer after 300 ms of silence, $profile profile, max (ms)" "sends-$profile" first_answer_max_ms
    done
    row "stalled reader: blocks sent by the board" stall sent
    row "stalled reader: blocks delivered whole" stall delivered
    row "stalled reader: blocks missing" stall missing
    row "stalled reader: blocks with another's bytes" stall corrupt
    row "stalled reader: messages on other channels (the stream misread)" stall elsewhere
    echo "| stalled reader: the library's report of a full driver queue | $(text vendor stall drop_report) | | $(text open stall drop_report) | | |"
    echo "| stalled reader: the library's last error at the end | $(text vendor stall last_error) | | $(text open stall last_error) | | |"
  } >"$build/roads.md"
  echo
  cat "$build/roads.md"
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
