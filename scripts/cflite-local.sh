#!/usr/bin/env bash
# The engine's build and a short run of what it built, here, without Docker:
# runs .clusterfuzzlite/build.sh as ClusterFuzzLite's image runs it (the
# source copied to $SRC/kestrel, the script as $SRC/build.sh run from there;
# CC=clang, CXX=clang++, CFLAGS and CXXFLAGS with the engine's flags for the
# sanitizer, LIB_FUZZING_ENGINE=-fsanitize=fuzzer; SRC, WORK and OUT in a
# folder of their own), checks that $OUT holds each target with its options,
# seed corpus and dictionary, then runs each target on its unzipped seeds for
# SECONDS (default 5) as the engine would (its options and dictionary) and
# prints its numbers. Exits non-zero when the build fails, something is
# missing from $OUT, or a run finds something (the input is kept and named).
#
#   scripts/cflite-local.sh [SECONDS]
# Environment: SANITIZER=address (default) or undefined; KESTREL_FUZZ_JOBS
# (build jobs, default all cores); KEEP=1 keeps the folder (else removed
# unless there was a finding).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/fuzz-lib.sh

seconds="${1:-5}"
case "$seconds" in
  '' | *[!0-9]*) echo "usage: scripts/cflite-local.sh [SECONDS]" >&2; exit 2 ;;
esac
for tool in clang clang++ zip unzip; do
  command -v "$tool" >/dev/null || { echo "cflite-local: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

top=$(mktemp -d "${TMPDIR:-/tmp}/cflite-local-XXXXXX")
export SRC="$top/src" WORK="$top/work" OUT="$top/out"
mkdir -p "$SRC/kestrel" "$WORK" "$OUT"
echo "== cflite-local: $top"

# The source as the image has it: the tree's files (committed or not, those
# git ignores left out, as .dockerignore leaves out the build folders).
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$SRC/kestrel" 2>/dev/null
cp .clusterfuzzlite/build.sh "$SRC/build.sh"

# The engine's compilers and flags (libFuzzer; its address and undefined
# sanitizers' flags as its builder image sets them).
export SANITIZER="${SANITIZER:-address}" FUZZING_ENGINE=libfuzzer FUZZING_LANGUAGE=c++ ARCHITECTURE=x86_64
export CC=clang CXX=clang++ LIB_FUZZING_ENGINE=-fsanitize=fuzzer
common="-O1 -fno-omit-frame-pointer -gline-tables-only -DFUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION"
case "$SANITIZER" in
  address)
    sanitizer_flags="-fsanitize=address -fsanitize-address-use-after-scope"
    export ASAN_OPTIONS="alloc_dealloc_mismatch=0:allocator_may_return_null=1:detect_leaks=1:detect_stack_use_after_return=1:symbolize=1"
    ;;
  undefined)
    checks="array-bounds,bool,builtin,enum,float-divide-by-zero,function,integer-divide-by-zero,null,object-size,return,returns-nonnull-attribute,shift,signed-integer-overflow,unsigned-integer-overflow,unreachable,vla-bound,vptr"
    sanitizer_flags="-fsanitize=$checks -fno-sanitize-recover=${checks/unsigned-integer-overflow,/}"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:print_summary=1:silence_unsigned_overflow=1:symbolize=1"
    ;;
  *) echo "cflite-local: SANITIZER is address or undefined" >&2; exit 2 ;;
esac
export CFLAGS="$common $sanitizer_flags -fsanitize=fuzzer-no-link"
export CXXFLAGS="$CFLAGS"

echo "== build: .clusterfuzzlite/build.sh ($SANITIZER)"
(cd "$SRC/kestrel" && bash -eu "$SRC/build.sh") >"$top/build.log" 2>&1 ||
  { tail -n 40 "$top/build.log"; echo "cflite-local: build.sh failed (log: $top/build.log)" >&2; exit 1; }
echo "build.sh wrote to \$OUT:"
(cd "$OUT" && ls -l | sed 1d | awk '{printf "  %-36s %10d bytes\n", $NF, $5}')

status=0
targets=()
while IFS=$'\t' read -r name _ dict; do targets+=("$name:$dict"); done < <(fuzz_targets "$WORK/kestrel-fuzz")
for entry in "${targets[@]}"; do
  name=${entry%%:*}
  dict=${entry#*:}
  wanted=("$OUT/$name" "$OUT/$name.options" "$OUT/${name}_seed_corpus.zip")
  [ "$dict" = - ] || wanted+=("$OUT/$name.dict")
  for f in "${wanted[@]}"; do
    [ -s "$f" ] || { echo "cflite-local: $f is missing" >&2; status=1; }
  done
  [ -x "$OUT/$name" ] || continue

  run="$top/runs/$name"
  mkdir -p "$run/corpus"
  unzip -q "$OUT/${name}_seed_corpus.zip" -d "$run/corpus"
  mapfile -t flags < <(fuzz_flags "$OUT/$name.options")
  [ -f "$OUT/$name.dict" ] && flags+=("-dict=$OUT/$name.dict")
  (cd "$run" && "$OUT/$name" corpus -max_total_time="$seconds" "${flags[@]}" -print_final_stats=1 \
    -artifact_prefix="$run/" >"$run/fuzz.log" 2>&1 </dev/null)
  code=$?
  echo "$name: $(fuzz_stats "$run/fuzz.log")"
  if [ "$code" -ne 0 ]; then
    fuzz_finding "$name" "$run/fuzz.log" "$OUT/$name" "$code"
    status=1
  fi
done

if [ "$status" -ne 0 ]; then
  echo "cflite-local: FAILED; everything is kept in $top"
  exit 1
fi
if [ "${KEEP:-0}" = 1 ]; then
  echo "cflite-local: kept in $top"
else
  rm -rf "$top"
fi
echo "cflite-local: built and ran ${#targets[@]} targets ($SANITIZER), no finding"
