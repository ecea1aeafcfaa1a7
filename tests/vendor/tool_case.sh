#!/usr/bin/env bash
# tool_case.sh DRIVER PATTERN COMMAND...: runs COMMAND and checks that its standard output and
# error, taken as one text, match the extended regular expression PATTERN (across lines). Exit
# 77 (skipped) when the vendor's DRIVER is not there.
set -uo pipefail
driver=$1 pattern=$2
shift 2
if [[ ! -f $driver ]]; then
  echo "SKIP: the vendor's driver is not at $driver (see the vendor.fetch_driver test)"
  exit 77
fi
output=$("$@" 2>&1)
status=$?
printf '%s\n(exit status %d)\n' "$output" "$status"
if ! grep -Pzq -- "(?s)$pattern" <<<"$output"; then
  echo "FAILED: the output does not match: $pattern"
  exit 1
fi
