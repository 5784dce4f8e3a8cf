# Shell functions the fuzz scripts share (scripts/fuzz.sh, scripts/fuzz-all.sh,
# scripts/cflite-local.sh): the list of fuzz targets a build declares, a
# target's libFuzzer options, the summary of a run and the report of a
# finding. Sourced, not run.

# fuzz_targets BUILD: the fuzz targets the build declares (fuzz/CMakeLists.txt),
# one a line: NAME, its seed folders (':' between them) and its dictionary
# ('-' for none), tab-separated, paths relative to the source tree.
fuzz_targets() {
  cat "$1/fuzz/fuzz-targets.txt"
}

# fuzz_flags OPTIONS_FILE: libFuzzer's flags for the "key = value" lines of a
# target's options file (NAME.options, as the engine reads it).
fuzz_flags() {
  sed -n 's/^[[:space:]]*\([a-z_]*\)[[:space:]]*=[[:space:]]*\([^[:space:]]*\)[[:space:]]*$/-\1=\2/p' "$1"
}

# fuzz_stats LOG: one line of a run's numbers from its log (run with
# -print_final_stats=1): runs, seconds, executions per second, coverage
# (cov: edges, ft: features), corpus and peak memory.
fuzz_stats() {
  local log=$1 last runs rate rss took cov ft corp
  last=$(grep -E '^#[0-9]+[[:space:]].*cov: ' "$log" | tail -n 1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -n 1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
  cov=$(echo "$last" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
  ft=$(echo "$last" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
  corp=$(echo "$last" | sed -n 's/.* corp: \([^ ]*\).*/\1/p')
  echo "runs: ${runs:-?} in ${took:-?} s, ${rate:-?} exec/s; coverage: cov ${cov:-?} ft ${ft:-?};" \
    "corpus ${corp:-?} (units/bytes); peak RSS ${rss:-?} MB"
}

# fuzz_finding WHO LOG PROGRAM CODE: what a run that ended with exit code
# CODE found (the first lines of the report), the input that shows it and how
# to run that input again; WHO leads the verdict's line.
fuzz_finding() {
  local who=$1 log=$2 program=$3 code=$4 artifact
  grep -E '^==== .*finding|ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|LeakSanitizer|libFuzzer)|runtime error' \
    "$log" | head -n 5
  artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
  echo "$who: FINDING (exit $code); input: ${artifact:-none written, see $log}"
  [ -n "$artifact" ] && echo "reproduce: $program $artifact"
  return 0
}
