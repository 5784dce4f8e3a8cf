#!/usr/bin/env bash
# Every fuzz target, a short run each: builds the fuzz preset's targets (clang,
# libFuzzer) and the seed checkers when needed, checks the committed seeds and
# dictionaries (flash_fuzz_seeds, fuzz_inputs), then runs each target for
# SECONDS (default 30) over a copy of its seeds, with its dictionary and the
# options fuzz/CMakeLists.txt declares for it, and prints for each its runs,
# executions per second and coverage. A finding (a crash, a sanitizer's
# report, a leak, a hang, a reader's check that does not hold) is written as
# a crash-* (or leak-*, timeout-*) file beside the target's log; the script
# then names it, goes on with the other targets and exits non-zero.
#
#   scripts/fuzz-all.sh [--except TARGET]... [SECONDS] [TARGET...]
#     TARGET...          only these (default: every target the build declares)
#     --except TARGET    all but this one (e.g. flash_fuzz, which scripts/fuzz.sh runs)
# Environment: KESTREL_FUZZ_BUILD_DIR (default build/fuzz, the preset's),
# KESTREL_FUZZ_JOBS (build jobs, default all cores).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/fuzz-lib.sh

usage() { echo "usage: scripts/fuzz-all.sh [--except TARGET]... [SECONDS] [TARGET...]" >&2; exit 2; }
seconds=30
only=()
except=()
while [ $# -gt 0 ]; do
  case "$1" in
    --except) [ $# -ge 2 ] || usage; except+=("$2"); shift 2 ;;
    -*) usage ;;
    *[!0-9]*) only+=("$1"); shift ;;
    '') usage ;;
    *) seconds=$1; shift ;;
  esac
done
build="${KESTREL_FUZZ_BUILD_DIR:-build/fuzz}"
jobs="${KESTREL_FUZZ_JOBS:-$(nproc)}"

if [ ! -f "$build/build.ninja" ]; then
  if [ "$build" = build/fuzz ]; then
    cmake --preset fuzz >/dev/null || { echo "fuzz-all: configure failed" >&2; exit 1; }
  else
    cmake --preset fuzz -B "$build" >/dev/null || { echo "fuzz-all: configure failed" >&2; exit 1; }
  fi
fi
case "$build" in /*) ;; *) build="$root/$build" ;; esac
cmake --build "$build" -j "$jobs" --target fuzz_targets flash_fuzz_seeds fuzz_inputs >"$build/fuzz-build.log" 2>&1 ||
  { cat "$build/fuzz-build.log"; echo "fuzz-all: build failed" >&2; exit 1; }

echo "== seeds and dictionaries"
"$build/fuzz/flash_fuzz_seeds" --check fuzz/corpus/flash >/dev/null ||
  { echo "fuzz-all: the seed corpus of flash_fuzz does not check (flash_fuzz_seeds --check)" >&2; exit 1; }
"$build/fuzz/fuzz_inputs" --check "$root" || { echo "fuzz-all: the readers' seeds or dictionaries differ" >&2; exit 1; }

wanted() {
  local name=$1 t
  for t in "${except[@]+"${except[@]}"}"; do [ "$t" = "$name" ] && return 1; done
  [ ${#only[@]} -eq 0 ] && return 0
  for t in "${only[@]}"; do [ "$t" = "$name" ] && return 0; done
  return 1
}

declared=()
while IFS=$'\t' read -r name _ _; do declared+=("$name"); done < <(fuzz_targets "$build")
for t in "${only[@]+"${only[@]}"}" "${except[@]+"${except[@]}"}"; do
  case " ${declared[*]} " in *" $t "*) ;; *) echo "fuzz-all: no fuzz target $t (declared: ${declared[*]})" >&2; exit 2 ;; esac
done

runs="$build/fuzz-runs/all-$(date +%Y%m%d-%H%M%S)"
findings=()
ran=0
while IFS=$'\t' read -r name seeds dict; do
  wanted "$name" || continue
  run="$runs/$name"
  mkdir -p "$run/corpus" "$run/tmp"
  IFS=: read -ra dirs <<<"$seeds"
  for dir in "${dirs[@]}"; do cp "$dir"/* "$run/corpus/"; done
  mapfile -t flags < <(fuzz_flags "$build/fuzz/$name.options")
  [ "$dict" = - ] || flags+=("-dict=$root/$dict")
  echo "== fuzz: $name for $seconds s (${flags[*]})"
  TMPDIR="$run/tmp" "$build/fuzz/$name" "$run/corpus" -max_total_time="$seconds" "${flags[@]}" -print_final_stats=1 \
    -artifact_prefix="$run/" >"$run/fuzz.log" 2>&1 </dev/null
  code=$?
  ran=$((ran + 1))
  echo "$name: $(fuzz_stats "$run/fuzz.log")"
  if [ "$code" -ne 0 ]; then
    fuzz_finding "$name" "$run/fuzz.log" "$build/fuzz/$name" "$code"
    findings+=("$name")
  fi
done < <(fuzz_targets "$build")

echo "logs and grown corpora: $runs"
if [ ${#findings[@]} -gt 0 ]; then
  echo "fuzz-all: FINDINGS in ${findings[*]} ($ran targets run)"
  exit 1
fi
echo "fuzz-all: no finding ($ran targets run, $seconds s each)"
