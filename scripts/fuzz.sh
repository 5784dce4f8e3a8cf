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
. scripts/fuzz-lib.sh

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
# The target's options as fuzz/CMakeLists.txt declares them (max_len, timeout).
mapfile -t flags < <(fuzz_flags "$build/fuzz/flash_fuzz.options")
TMPDIR="$run/tmp" "$build/fuzz/flash_fuzz" "$run/corpus" -max_total_time="$seconds" "${flags[@]}" \
  -print_final_stats=1 -artifact_prefix="$run/" >"$run/fuzz.log" 2>&1
code=$?

fuzz_stats "$run/fuzz.log"
echo "log: $run/fuzz.log; grown corpus: $run/corpus"

if [ "$code" -ne 0 ]; then
  fuzz_finding fuzz "$run/fuzz.log" "$build/fuzz/flash_fuzz" "$code"
  exit 1
fi
echo "fuzz: no finding"
