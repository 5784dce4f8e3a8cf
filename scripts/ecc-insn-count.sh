#!/usr/bin/env bash
# Executed ARMv4 instructions per 256-byte block of the page ECC, counted under qemu-arm.
#
#   scripts/ecc-insn-count.sh [--build-dir DIR] [--binary PATH] [--iterations K]
#
# Builds bench/ecc_insn_count.cpp for the handheld's instruction set (ARMv4, ARM state,
# -O2 as in the armv4 build, ecc/ecc.cpp as device code: C++98, no exceptions, no RTTI),
# statically, so qemu-user runs it without an ARM sysroot.  --binary uses a prebuilt
# ecc_insn_count instead (e.g. the target of an armv4 CMake build).  Without --build-dir
# the objects go to a temporary directory that is removed at the end.
#
# Counting: `qemu-arm -singlestep` translates one guest instruction per block, and
# `-d exec,nochain` logs one "Trace" line each time a block is entered (nochain stops
# blocks from jumping straight into each other unlogged), so the Trace lines are the
# executed instructions.  The script checks that on a known loop before measuring.
# Execution under qemu-user is deterministic: the counts are exact and repeatable.
#
# For each operation the program runs with N = 0 and N = K; (count(K) - count(0)) / K is
# the cost of one loop iteration, and the same figure of `none` (the loop with the copy
# of the block and an empty call) is subtracted.  N = 0 is passed zero-padded to the
# width of K ("000" for 256), so that reading the argument costs the same in both runs.
# K (default 256) is a multiple of the 16 prepared blocks the program cycles through.
# Output: one line per operation with the instructions per block (one call of the
# operation, call and return included), and the loop's own cost per iteration.
#
# Needs: arm-linux-gnueabi-g++ (Debian g++-arm-linux-gnueabi) unless --binary is given,
# and qemu-arm (Debian qemu-user).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=""
binary=""
iterations=256
ops=(none generate correct-clean correct-onebit reference)

usage() {
  sed -n '2,/^set -euo/{/^#/s/^# \{0,1\}//p}' "$0" >&2
  exit 2
}
die() {
  echo "ecc-insn-count: $*" >&2
  exit 1
}

while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) [ $# -ge 2 ] || usage; build_dir=$2; shift 2 ;;
    --binary) [ $# -ge 2 ] || usage; binary=$2; shift 2 ;;
    --iterations) [ $# -ge 2 ] || usage; iterations=$2; shift 2 ;;
    -h | --help) usage ;;
    *) usage ;;
  esac
done
if ! [[ "$iterations" =~ ^[1-9][0-9]*$ ]] || [ $((iterations % 16)) -ne 0 ]; then
  die "--iterations needs a positive multiple of 16 (the program cycles through 16 blocks)"
fi

cxx=arm-linux-gnueabi-g++
qemu=$(command -v qemu-arm || true)
[ -n "$qemu" ] || die "qemu-arm not found (Debian package qemu-user)"
have_cxx=1
command -v "$cxx" >/dev/null 2>&1 || have_cxx=0

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if [ -z "$build_dir" ]; then
  build_dir=$tmp
else
  mkdir -p "$build_dir"
  build_dir=$(cd "$build_dir" && pwd)
fi

arch_flags=(-march=armv4 -marm -O2)

# Trace lines of one run of "$@" under qemu-arm; the program's own output goes to stderr.
# The log goes through a pipe (fd 3), not a file: a run logs tens of megabytes.
trace_count() {
  local count
  count=$("$qemu" -singlestep -d exec,nochain -D /dev/fd/3 "$@" 3>&1 1>&2 | grep -c '^Trace') ||
    die "run failed: $*"
  echo "$count"
}

# The counting method on a loop of known length: 2 instructions before the loop, 3 in
# each of its n passes, 3 after it (the last is the exit system call) = 3n + 5.
calibrate() {
  cat >"$tmp/known.S" <<'EOF'
        .arm
        .global _start
_start: ldr   r4, =COUNT
        mov   r0, #0
1:      add   r0, r0, #1
        subs  r4, r4, #1
        bne   1b
        mov   r0, #0
        mov   r7, #1
        svc   #0
        .ltorg
EOF
  local n got
  for n in 1 1000; do
    "$cxx" "${arch_flags[@]}" -nostdlib -static -DCOUNT=$n -x assembler-with-cpp "$tmp/known.S" \
      -o "$tmp/known$n" || die "cannot assemble the calibration loop"
    got=$(trace_count "$tmp/known$n")
    [ "$got" -eq $((3 * n + 5)) ] ||
      die "qemu-arm logged $got blocks for a loop of $((3 * n + 5)) instructions: one Trace line per instruction does not hold"
  done
}

if [ -z "$binary" ]; then
  [ "$have_cxx" = 1 ] || die "$cxx not found (Debian package g++-arm-linux-gnueabi)"
  "$cxx" "${arch_flags[@]}" -std=c++98 -fno-exceptions -fno-rtti -Wall -Wextra -Werror \
    -I"$root" -c "$root/ecc/ecc.cpp" -o "$build_dir/ecc.o"
  "$cxx" "${arch_flags[@]}" -std=c++17 -Wall -Wextra -Werror -I"$root" -I"$root/tests/ecc" \
    -c "$root/bench/ecc_insn_count.cpp" -o "$build_dir/ecc_insn_count.o"
  "$cxx" "${arch_flags[@]}" -static "$build_dir/ecc_insn_count.o" "$build_dir/ecc.o" \
    -o "$build_dir/ecc_insn_count"
  binary=$build_dir/ecc_insn_count
fi
[ -x "$binary" ] || die "no executable at $binary"

if [ "$have_cxx" = 1 ]; then
  calibrate
else
  echo "ecc-insn-count: $cxx not found, counting method not re-checked" >&2
fi

# Per-iteration count of each operation: count(K) - count(0), divided by K.
declare -A delta
zero_arg=$(printf '%0*d' "${#iterations}" 0)
for op in "${ops[@]}"; do
  zero=$(trace_count "$binary" "$op" "$zero_arg")
  full=$(trace_count "$binary" "$op" "$iterations")
  delta[$op]=$((full - zero))
done

k=$iterations
base=${delta[none]}
printf '%-16s %14s\n' "operation" "insns/block"
for op in "${ops[@]}"; do
  [ "$op" = none ] && continue
  d=$((delta[$op] - base))
  # Rounded to the nearest integer; a remainder means the cost differs between the
  # prepared blocks, and the figure is the mean.
  per=$(((2 * d + k) / (2 * k)))
  note=""
  [ $((d % k)) -eq 0 ] || note="  (mean: $d / $k)"
  printf '%-16s %14d%s\n' "$op" "$per" "$note"
done
printf '%-16s %14d\n' "(loop, none)" "$(((2 * base + k) / (2 * k)))"
