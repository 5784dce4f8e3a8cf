#!/usr/bin/env bash
# The fuzzer over the flash: builds the fuzz preset (clang, libFuzzer) when
# needed, checks the seed corpus (every seed reaches its message), then runs
# flash_fuzz for SECONDS (default 60) over a copy of fuzz/corpus/flash and
# prints executions per second, the coverage reached and the run's length.
# Exits non-zero on a finding and prints the input that shows it; run it
# again with `build/fuzz/fuzz/flash_fuzz FILE` (FLASH_FUZZ_ECHO=1 shows the
# updater's debug lines).
#
#   scripts/fuzz.sh [SECONDS]
# Environment: KESTREL_FUZZ_BUILD_DIR (default build/fuzz, the preset's),
# KESTREL_FUZZ_JOBS (build jobs, default all cores).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds="${1:-60}"
case "$seconds" in
  '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2 ;;
esac
build="${KESTREL_FUZZ_BUILD_DIR:-build/fuzz}"
jobs="${KESTREL_FUZZ_JOBS:-$(nproc)}"

if [ ! -f "$build/build.ninja" ]; then
  if [ "$build" = build/fuzz ]; then
    cmake --preset fuzz >/dev/null || { echo "fuzz: configure failed" >&2; exit 1; }
  else
    cmake --preset fuzz -B "$build" >/dev/null || { echo "fuzz: configure failed" >&2; exit 1; }
  fi
fi
case "$build" in /*) ;; *) build="$root/$build" ;; esac
# The preset's target, and the seed checker beside it.
cmake --build "$build" -j "$jobs" --target flash_fuzz flash_fuzz_seeds >"$build/fuzz-build.log" 2>&1 ||
  { cat "$build/fuzz-build.log"; echo "fuzz: build failed" >&2; exit 1; }

echo "== seeds: fuzz/corpus/flash"
"$build/fuzz/flash_fuzz_seeds" --check fuzz/corpus/flash || { echo "fuzz: the seed corpus does not check" >&2; exit 1; }

run="$build/fuzz-runs/flash-$(date +%Y%m%d-%H%M%S)"
mkdir -p "$run/corpus" "$run/tmp"
cp fuzz/corpus/flash/* "$run/corpus/"
echo "== fuzz: flash_fuzz for $seconds s in $run"
# -max_len: room for a raw TOC sector and full lists of records, flips and
# failures (fuzz/flash_case.h). -timeout: one run takes milliseconds; a run
# that does not end in 30 s hangs.
TMPDIR="$run/tmp" "$build/fuzz/flash_fuzz" "$run/corpus" -max_total_time="$seconds" -max_len=1400 -timeout=30 \
  -print_final_stats=1 -artifact_prefix="$run/" >"$run/fuzz.log" 2>&1
code=$?

last=$(grep -E '^#[0-9]+[[:space:]].*cov: ' "$run/fuzz.log" | tail -n 1)
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/fuzz.log" | tail -n 1)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$run/fuzz.log" | tail -n 1)
rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$run/fuzz.log" | tail -n 1)
took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$run/fuzz.log" | tail -n 1)
cov=$(echo "$last" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
ft=$(echo "$last" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
corp=$(echo "$last" | sed -n 's/.* corp: \([^ ]*\).*/\1/p')
echo "runs: ${runs:-?} in ${took:-?} s, ${rate:-?} exec/s; coverage: cov ${cov:-?} ft ${ft:-?}; corpus ${corp:-?}" \
  "(units/bytes); peak RSS ${rss:-?} MB"
echo "log: $run/fuzz.log; grown corpus: $run/corpus"

if [ "$code" -ne 0 ]; then
  grep -E '^==== flash_fuzz finding|ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|LeakSanitizer|libFuzzer)|runtime error' \
    "$run/fuzz.log" | head -n 5
  artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$run/fuzz.log" | tail -n 1)
  echo "fuzz: FINDING (exit $code); input: ${artifact:-none written, see the log}"
  [ -n "$artifact" ] && echo "reproduce: $build/fuzz/flash_fuzz $artifact"
  exit 1
fi
echo "fuzz: no finding"
