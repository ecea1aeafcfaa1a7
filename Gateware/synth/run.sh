#!/usr/bin/env bash
# Synthesis of the example board (cv_board_fpga) and its resource table.
#
#   iCE40 HX1K (VQ100, pins of cv_board_fpga.pcf): synth_ice40, then nextpnr-ice40 placed and routed
#   for 60 MHz, three builds: the asynchronous FIFO with the echo board, the same with the numbered
#   stream, and the synchronous 60 MHz FIFO with the echo board (each on one clock, no crossing);
#   ECP5 and Xilinx 7-series (synth_ecp5, synth_xilinx): resource counts of the whole board as it is
#   co-simulated (all four behaviours chosen by pins, 512-byte clock-crossing FIFOs each way), and
#   the same board's iCE40 synthesis counts.
#
# LUT RAM counts the distributed memory cells (ECP5 TRELLIS_DPR16X4, Xilinx RAM32M/RAM64M), where
# those families put the small memories; LCs and Fmax are nextpnr's, after routing.
# Prints one line per check ("ok      " or "FAILED  ": each build, and each iCE40 build against its
# budget), then one table; exits non-zero when a check failed: a build that fails, or an iCE40 build
# that does not place, or needs more logic cells, flip-flops or block RAMs, or reaches a lower Fmax,
# than Gateware/synth/budget.txt allows.
#
#   bash Gateware/synth/run.sh      (from any folder; logs and netlists go to build/gateware-synth of
#                                    the repository, or to $CORVANE_GATEWARE_OUT/synth when that is set)
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
if [[ -n ${CORVANE_GATEWARE_OUT:-} ]]; then
  out=$CORVANE_GATEWARE_OUT/synth
else
  out=$root/build/gateware-synth
fi
mkdir -p "$out"
rtl=$root/Gateware/rtl
budget=$here/budget.txt
started=$(date +%s)

for tool in yosys nextpnr-ice40; do
  command -v $tool >/dev/null || { echo "FAILED  synth: $tool is missing (scripts/setup.sh installs it)"; exit 1; }
done

# count <log> <cell pattern>: the sum of the final statistics' cells whose names match.
count() {
  awk -v pat="$2" '/Printing statistics/ {n = 0} $1 ~ "^(" pat ")$" && $2 ~ /^[0-9]+$/ {n += $2} END {print n + 0}' "$1"
}

# synth <name> <yosys command> <chparam settings>: the netlist and statistics of cv_board_fpga.
synth() {
  local name=$1 command=$2 params=$3
  if yosys -q -l "$out/$name.yosys.log" -p "read_verilog -defer $rtl/*.v; chparam $params cv_board_fpga; $command; stat" \
    >/dev/null 2>&1; then
    echo "ok      synth $name: synthesised"
  else
    echo "FAILED  synth $name: yosys failed (see $out/$name.yosys.log)"
    return 1
  fi
}

failed=0
rows=()
row() { rows+=("$(printf '| %-14s | %-24s | %5s | %5s | %4s | %7s | %6s | %-9s |' "$@")"); }

# The iCE40 builds, each checked against its budget line.
ice40_build() {
  local name=$1 params=$2
  synth "$name" "synth_ice40 -top cv_board_fpga -json $out/$name.json" "$params" || { failed=1; return; }
  local luts ffs brams lcs fmax
  luts=$(count "$out/$name.yosys.log" SB_LUT4)
  ffs=$(count "$out/$name.yosys.log" 'SB_DFF[A-Z]*')
  brams=$(count "$out/$name.yosys.log" SB_RAM40_4K)
  if nextpnr-ice40 --hx1k --package vq100 --pcf "$here/cv_board_fpga.pcf" --json "$out/$name.json" --freq 60 \
    --seed 1 --timing-allow-fail --asc "$out/$name.asc" -q -l "$out/$name.nextpnr.log" >/dev/null 2>&1; then
    lcs=$(grep -o 'ICESTORM_LC: *[0-9]*' "$out/$name.nextpnr.log" | tail -1 | awk '{print $2}')
    fmax=$(grep -o "Max frequency for clock '[^']*': [0-9.]*" "$out/$name.nextpnr.log" | tail -1 | awk '{print $NF}')
  else
    lcs="no fit"
    fmax="-"
  fi
  row "$name" "iCE40 HX1K vq100 60 MHz" "$luts" "$ffs" "$brams" "-" "$lcs" "${fmax:-?} MHz"
  local limits
  limits=$(awk -v b="$name" '$1 == b {print $2, $3, $4, $5}' "$budget")
  if [[ -z $limits ]]; then
    echo "FAILED  synth $name budget: no line for it in $budget"
    failed=1
    return
  fi
  read -r max_lcs max_ffs max_brams min_fmax <<<"$limits"
  local figures="$lcs logic cells (at most $max_lcs), $ffs flip-flops ($max_ffs), $brams block RAMs ($max_brams),"
  figures+=" ${fmax:-?} MHz (at least $min_fmax)"
  if [[ $lcs == "no fit" ]] || ((lcs > max_lcs)) || ((ffs > max_ffs)) || ((brams > max_brams)) ||
    awk -v f="${fmax:-0}" -v m="$min_fmax" 'BEGIN {exit !(f < m)}'; then
    echo "FAILED  synth $name budget: $figures"
    failed=1
  else
    echo "ok      synth $name budget: $figures"
  fi
}

one_clock="-set FIFO_DEPTH_LOG2 0 -set BEHAVIOUR_PINS 0"
ice40_build echo_async "-set SYNC 0 -set BEHAVIOUR 1 $one_clock"
ice40_build stream_async "-set SYNC 0 -set BEHAVIOUR 3 $one_clock"
ice40_build echo_sync "-set SYNC 1 -set BEHAVIOUR 1 $one_clock"

# The whole board as co-simulated, on three families (synthesis only).
whole="-set SYNC 0 -set BEHAVIOUR_PINS 1 -set FIFO_DEPTH_LOG2 9"
if synth board_ice40 "synth_ice40 -top cv_board_fpga" "$whole"; then
  log=$out/board_ice40.yosys.log
  row board_ice40 "iCE40 (synthesis)" "$(count "$log" SB_LUT4)" "$(count "$log" 'SB_DFF[A-Z]*')" \
    "$(count "$log" SB_RAM40_4K)" "-" "-" "-"
else failed=1; fi
if synth board_ecp5 "synth_ecp5 -top cv_board_fpga" "$whole"; then
  log=$out/board_ecp5.yosys.log
  # A CCU2C carry cell holds two LUT4s.
  row board_ecp5 "ECP5 (synthesis)" "$(($(count "$log" LUT4) + 2 * $(count "$log" CCU2C)))" \
    "$(count "$log" TRELLIS_FF)" "$(count "$log" 'DP16KD|PDPW16KD')" "$(count "$log" TRELLIS_DPR16X4)" "-" "-"
else failed=1; fi
if synth board_xc7 "synth_xilinx -family xc7 -flatten -top cv_board_fpga" "$whole"; then
  log=$out/board_xc7.yosys.log
  row board_xc7 "Xilinx 7 (synthesis)" "$(count "$log" 'LUT[1-6]')" "$(count "$log" 'FD[A-Z]*')" \
    "$(count "$log" 'RAMB18E1|RAMB36E1')" "$(count "$log" 'RAM32M|RAM64M|RAM[0-9]+X1[SD]')" "-" "-"
else failed=1; fi

echo
echo "| build          | part                     | LUTs  | FFs   | BRAM | LUT RAM | LCs    | Fmax      |"
echo "|----------------|--------------------------|-------|-------|------|---------|--------|-----------|"
printf '%s\n' "${rows[@]}"
echo
echo "synth: $(($(date +%s) - started)) s; budget $budget: $([[ $failed -eq 0 ]] && echo met || echo NOT met)"
exit $failed
