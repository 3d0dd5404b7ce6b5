#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause-Patent
# Runs a libFuzzer target for a bounded time on a working copy of its seed corpus and says how many
# inputs it ran; on a failure it prints the fuzzer's report and leaves the input in the work folder.
#   run-fuzzer.sh FUZZER SEED_CORPUS WORK_FOLDER SECONDS
set -eu
fuzzer=$1
seeds=$2
work=$3
seconds=$4

mkdir -p "$work/corpus"
log="$work/last-run.log"
status=0
"$fuzzer" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 -artifact_prefix="$work/" \
  "$work/corpus" "$seeds" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  cat "$log"
  exit "$status"
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
echo "fuzz $(basename "$fuzzer"): $runs inputs in $seconds s, none failed"
