#!/bin/bash -eu
# Builds every fuzz target for a distributed fuzzing engine (ClusterFuzzLite's
# kind: its image runs this with $SRC/kestrel as the working folder) with the
# engine's compilers and flags ($CC, $CXX, $CFLAGS, $CXXFLAGS: the sanitizer
# and the coverage it asks for) and its fuzzing engine ($LIB_FUZZING_ENGINE),
# in $WORK, and puts into $OUT for each target of the build's list
# (fuzz/CMakeLists.txt declares them):
#   NAME                   the program
#   NAME.options           its libFuzzer options (max_len, timeout)
#   NAME.dict              its dictionary, where it has one
#   NAME_seed_corpus.zip   its seeds
# scripts/cflite-local.sh runs this here, without Docker.
src="$SRC/kestrel"
build="$WORK/kestrel-fuzz"

# The engine's flags make the sanitizers and the coverage; the project's own
# (KESTREL_SANITIZE) stay off, and the targets link the engine it names. The
# device code has no RTTI, which the dynamic-type check of UBSan needs.
export CXXFLAGS="$CXXFLAGS -fno-sanitize=vptr"
cmake -S "$src" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE= \
  -DCMAKE_C_COMPILER="$CC" -DCMAKE_CXX_COMPILER="$CXX" \
  -DKESTREL_TARGET=native -DKESTREL_FUZZ=ON -DKESTREL_SANITIZE=OFF \
  -DKESTREL_FUZZ_ENGINE="$LIB_FUZZING_ENGINE"
cmake --build "$build" -j "${KESTREL_FUZZ_JOBS:-$(nproc)}" --target fuzz_targets

while IFS=$'\t' read -r name seeds dict; do
  cp "$build/fuzz/$name" "$build/fuzz/$name.options" "$OUT/"
  if [ "$dict" != - ]; then
    cp "$src/$dict" "$OUT/$name.dict"
  fi
  IFS=: read -ra dirs <<<"$seeds"
  files=()
  for dir in "${dirs[@]}"; do
    files+=("$src/$dir"/*)
  done
  rm -f "$OUT/${name}_seed_corpus.zip"
  zip -q -j "$OUT/${name}_seed_corpus.zip" "${files[@]}"
done <"$build/fuzz/fuzz-targets.txt"
