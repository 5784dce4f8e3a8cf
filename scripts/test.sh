#!/usr/bin/env bash
# Every test of every build, from a fresh machine: installs what is missing,
# builds the host build, the device build (run by Wine), the native target
# (the device code in one process under ASan and UBSan) and the ARMv4 target
# (run by qemu-arm), runs their tests, runs the fuzzer over the flash for a
# minute and each fuzz target over the host tool's readers briefly, measures
# the coverage of the device code (scripts/coverage.sh), and ends with one
# summary line that counts each target's tests.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/setup.sh || { echo "setup failed"; exit 1; }
export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/kestrel/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY   # nothing here needs a display; screenshots start their own Xvfb

# One persistent Wine server per prefix for the whole run: a program then
# starts in ~30 ms.
trap 'scripts/wine-servers stop' EXIT
scripts/wine-servers start

jobs=$(nproc)
status=0
kinds=(host device native armv4)
for kind in "${kinds[@]}"; do
  if [ ! -f "build/$kind/build.ninja" ]; then
    cmake --preset "$kind" >"build-$kind-configure.log" 2>&1 || { cat "build-$kind-configure.log"; exit 1; }
    rm -f "build-$kind-configure.log"
  fi
  echo "== build: $kind"
  cmake --build --preset "$kind" -j "$jobs" || { echo "build of $kind failed"; exit 1; }
done

passed=0; failed=0; counts=()
for kind in "${kinds[@]}"; do
  echo "== tests: $kind"
  # The counts come from CTest's JUnit report (relative to the build tree).
  report="build/$kind/ctest-junit.xml"
  rm -f "$report"
  ctest --preset "$kind" -j "$jobs" --output-junit ctest-junit.xml
  [ $? -eq 0 ] || status=1
  if read -r ok total < <(scripts/ctest-results "$report" | head -n 1) && [ -n "${total:-}" ]; then
    passed=$((passed + ok)); failed=$((failed + total - ok))
    counts+=("$kind $ok/$total")
  else
    status=1
    counts+=("$kind no result")
  fi
done

# The fuzzer over the flash (clang, libFuzzer): a short run from the seed corpus.
echo "== fuzz: flash (${KESTREL_FUZZ_SECONDS:-60} s)"
if scripts/fuzz.sh "${KESTREL_FUZZ_SECONDS:-60}"; then
  passed=$((passed + 1)); counts+=("fuzz 1/1")
else
  failed=$((failed + 1)); status=1; counts+=("fuzz 0/1")
fi

# The fuzz targets over the host tool's readers (dumps, nand.cfg, scenarios,
# the event log): seeds and dictionaries checked, a short run of each.
echo "== fuzz: the readers (${KESTREL_READER_FUZZ_SECONDS:-15} s each)"
if scripts/fuzz-all.sh --except flash_fuzz "${KESTREL_READER_FUZZ_SECONDS:-15}"; then
  passed=$((passed + 1)); counts+=("reader fuzz 1/1")
else
  failed=$((failed + 1)); status=1; counts+=("reader fuzz 0/1")
fi

# The fuzzing engine's own build (.clusterfuzzlite/build.sh), run here with the
# variables the engine sets, and each target it built run on its seeds.
echo "== fuzz: the engine's build (${KESTREL_ENGINE_FUZZ_SECONDS:-5} s each)"
if scripts/cflite-local.sh "${KESTREL_ENGINE_FUZZ_SECONDS:-5}"; then
  passed=$((passed + 1)); counts+=("engine build 1/1")
else
  failed=$((failed + 1)); status=1; counts+=("engine build 0/1")
fi

# Coverage of the device code by the native target's tests (gcov, gcovr): one
# more native build, without sanitizers; its last line is the summary. The
# two sweeps, run above under the sanitizers, take nothing the quick tests do
# not (the failure tests try each kind of failure point in each step), so
# they are left out here.
echo "== coverage: device code (native target)"
if KESTREL_COVERAGE_SKIP="${KESTREL_COVERAGE_SKIP-power_loss_sweep|failure_sweep}" scripts/coverage.sh; then
  passed=$((passed + 1)); counts+=("coverage 1/1")
else
  failed=$((failed + 1)); status=1; counts+=("coverage 0/1")
fi

summary=$(IFS=,; echo "${counts[*]}" | sed 's/,/, /g')
echo "tests: $passed passed, $failed failed ($summary)"
exit $status
