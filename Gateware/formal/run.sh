#!/usr/bin/env bash
# Formal checks of the chip interfaces and the clock-crossing FIFO: yosys turns each design with its
# properties (the FORMAL blocks in the RTL) into SMT-LIB, yosys-smtbmc with z3 proves them. Each set
# is a bounded model check from reset and, where it closes, a k-induction that makes it hold forever.
# Prints one line per set, "ok" or "FAILED" first, and exits non-zero when any set fails. Takes no
# arguments and works from any folder; its scratch files (the SMT-LIB models and the solver logs) go
# to build/gateware-formal of the repository, or to formal/ in $CORVANE_GATEWARE_OUT when that is set.
# About half a minute on two cores.
#   bash Gateware/formal/run.sh
set -u
here=$(cd "$(dirname "$0")" && pwd)
rtl=$here/../rtl
repo=$(cd "$here/../.." && pwd)
if [ -n "${CORVANE_GATEWARE_OUT:-}" ]; then
    out=$CORVANE_GATEWARE_OUT/formal
else
    out=$repo/build/gateware-formal
fi
mkdir -p "$out" || exit 1
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
        echo "FAILED  $name: yosys could not build the model (see $log)"
        failed=1
        return
    fi
    local result="bmc $depth"
    if ! yosys-smtbmc -s z3 --unroll --presat -t "$depth" "$smt" >>"$log" 2>&1; then
        echo "FAILED  $name: bounded check from reset, $depth steps: $(grep -m1 -o 'Assert failed in .*' "$log") (see $log)"
        failed=1
        return
    fi
    if [ "$induct" = yes ]; then
        if ! yosys-smtbmc -s z3 --unroll -i -t "$depth" "$smt" >>"$log" 2>&1; then
            echo "FAILED  $name: induction of depth $depth did not close: $(grep -m1 -o 'Assert failed in .*' "$log") (see $log)"
            failed=1
            return
        fi
        result="proved: bmc and induction, depth $depth"
    fi
    echo "ok      $name ($result, $((SECONDS - start)) s)"
}

prove sync_fifo_interface cv_ft245_sync 24 yes "" "$rtl/cv_ft245_sync.v"
prove async_fifo_interface cv_ft245_async 24 yes "" "$rtl/cv_ft245_async.v"
prove async_one_sync_stage cv_ft245_async 24 yes "chparam -set SYNC_STAGES 1 cv_ft245_async;" "$rtl/cv_ft245_async.v"
prove clock_crossing_fifo cdc_formal 14 yes "" "$rtl/cv_async_fifo.v" "$here/cdc_formal.v"

exit $failed
