#!/usr/bin/env bash
# Formal checks of the chip interfaces and the clock-crossing FIFO: yosys turns each design with its
# properties (the FORMAL blocks in the RTL) into SMT-LIB, yosys-smtbmc with z3 proves them. Each set
# is a bounded model check from reset and, where it closes, a k-induction that makes it hold forever.
# Prints PASS or FAIL per set and exits non-zero when any set fails.
#   bash Gateware/formal/run.sh [output folder, default build/formal]
set -u
here=$(cd "$(dirname "$0")" && pwd)
rtl=$here/../rtl
out=${1:-$here/../../build/formal}
mkdir -p "$out"
failed=0

# prove <name> <top> <depth> <induction yes/no> <yosys commands before prep> <extra files...>
prove() {
    local name=$1 top=$2 depth=$3 induct=$4 setup=$5
    shift 5
    local files="$*" start=$SECONDS
    local smt=$out/$name.smt2 log=$out/$name.log
    local clocks="async2sync"
    [ "$top" = cdc_formal ] && clocks="clk2fflogic"
    if ! yosys -q -l "$log" -p "read_verilog -formal $files; $setup prep -top $top; memory_map; opt -fast;
            $clocks; setundef -anyseq; opt -keepdc -fast; check -assert; dffunmap; write_smt2 -wires $smt" >/dev/null 2>&1; then
        echo "FAIL $name: yosys could not build the model (see $log)"
        failed=1
        return
    fi
    local result="bmc $depth"
    if ! yosys-smtbmc -s z3 --unroll --presat -t "$depth" "$smt" >>"$log" 2>&1; then
        echo "FAIL $name: bounded check from reset, $depth steps: $(grep -m1 -o 'Assert failed in .*' "$log") (see $log)"
        failed=1
        return
    fi
    if [ "$induct" = yes ]; then
        if ! yosys-smtbmc -s z3 --unroll -i -t "$depth" "$smt" >>"$log" 2>&1; then
            echo "FAIL $name: induction of depth $depth did not close: $(grep -m1 -o 'Assert failed in .*' "$log") (see $log)"
            failed=1
            return
        fi
        result="proved: bmc and induction, depth $depth"
    fi
    echo "PASS $name ($result, $((SECONDS - start)) s)"
}

prove sync_fifo_interface cv_ft245_sync 24 yes "" "$rtl/cv_ft245_sync.v"
prove async_fifo_interface cv_ft245_async 24 yes "" "$rtl/cv_ft245_async.v"
prove async_one_sync_stage cv_ft245_async 24 yes "chparam -set SYNC_STAGES 1 cv_ft245_async;" "$rtl/cv_ft245_async.v"
prove clock_crossing_fifo cdc_formal 14 yes "" "$rtl/cv_async_fifo.v" "$here/cdc_formal.v"

exit $failed
