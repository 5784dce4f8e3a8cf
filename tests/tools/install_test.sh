#!/usr/bin/env bash
# devsim as a fleet maintainer has it: this build installed into a temporary
# prefix with cmake --install, then, from a folder outside the checkout with
# the prefix's bin first on PATH, the dump walk-through of the README (a chip's
# dump made a device, the update run under Wine with the installed device
# programs, verify, diff, extract), --version, the manual page and the bash
# completion as installed.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d /tmp/devsim-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# Runs a command, its output in $out, its exit code in $code.
run() {
  set +e
  out=$("$@" 2>&1)
  code=$?
  set -e
}
expect_code() {
  local want=$1
  shift
  run "$@"
  [ "$code" = "$want" ] || fail "$* exited $code, not $want: $out"
}
has() { grep -qF -- "$2" <<<"$1"; }

cmake --install "$build" --prefix "$prefix" >/dev/null
cd "$work"
case "$PWD/" in "$source"/*) fail "the work folder $PWD is inside the checkout" ;; esac
export PATH="$prefix/bin:$PATH"
unset DEVSIM_DEVICE_BUILD
[ "$(command -v devsim)" = "$prefix/bin/devsim" ] || fail "devsim on PATH is $(command -v devsim)"

# --- --version: the name, the version declared in CMakeLists.txt, and a commit
# of this repository that is HEAD or before it (others may commit meanwhile).
version=$(sed -n 's/^project(kestrel VERSION \([0-9.]*\) .*/\1/p' "$source/CMakeLists.txt")
expect_code 0 devsim --version
if [[ "$out" =~ ^devsim\ ([0-9.]+)\ \(commit\ ([0-9a-f]+)(, modified)?\)$ ]]; then
  [ "${BASH_REMATCH[1]}" = "$version" ] || fail "--version names ${BASH_REMATCH[1]}, CMakeLists.txt $version"
  commit=${BASH_REMATCH[2]}
  git -C "$source" merge-base --is-ancestor "$commit" HEAD || fail "--version's commit $commit is not in this history"
else
  fail "--version says: $out"
fi
# A tree that is no checkout of its own, a copy of the sources somewhere or in
# a folder of another checkout, has no commit to name.
for tree in "$work/unpacked" "$source/tools"; do
  mkdir -p "$work/unpacked"
  cmake -DSOURCE="$tree" -DVERSION="$version" -DOUT="$work/info.h" -P "$source/cmake/git-version.cmake"
  has "$(cat "$work/info.h")" '#define DEVSIM_COMMIT "unknown"' || fail "$tree: $(cat "$work/info.h")"
done

# --- The dump walk-through. The chip's dump: the flash of a device with
# file-system data, the default boot area (block 2, 512 sectors), its TOC.
expect_code 0 devsim create chip --fill
cp chip/nand.img dump.img
head -c 200000 < <(yes "a new boot loader for the fleet") >EBOOT.NB0
sectors=$(((200000 + 511) / 512))

expect_code 0 devsim create dev --from-image dump.img
has "$out" "TOC: block 1" || fail "create --from-image finds no TOC: $out"
cmp -s dev/nand.img dump.img || fail "create --from-image did not copy the dump as it is"
expect_code 0 devsim inspect dump.img
has "$out" "boot area: block 2, 512 sectors" || fail "inspect of the dump: $out"
expect_code 1 devsim verify dump.img EBOOT.NB0

# The updater comes from the installed programs, not from a build.
expect_code 0 devsim card dev --image EBOOT.NB0 --updater
has "$out" "card: $prefix/lib/kestrel/kestrel.exe -> " || fail "the updater put on the card: $out"
cmp -s "dev/SDMMC Disk/Kestrel.exe" "$prefix/lib/kestrel/kestrel.exe" || fail "Kestrel.exe on the card"
# A device build named by the caller still comes first.
expect_code 2 env DEVSIM_DEVICE_BUILD="$work/other-build" devsim card dev --updater
has "$out" "$work/other-build/updater/kestrel.exe" || fail "DEVSIM_DEVICE_BUILD is not looked in first: $out"

expect_code 0 devsim run dev kestrel
has "$out" 'MESSAGE caption="Information" text="Bootloader update finished! "' || fail "run: $out"
has "$out" "EXIT 0" || fail "run: $out"
expect_code 0 devsim verify dev EBOOT.NB0
expect_code 0 devsim inspect dev
has "$out" "protocol checker: 0 violations" || fail "inspect after the run: $out"

# Only the boot area changed: its first blocks (2 to 17), one page a sector.
expect_code 1 devsim diff dump.img dev
has "$out" "$sectors pages differ" || fail "diff does not count $sectors pages: $out"
while read -r word block rest; do
  [ "$word" = block ] || continue
  block=${block%:}
  [ "$block" -ge 2 ] && [ "$block" -le 17 ] || fail "diff: block $block changed, outside the boot area"
done <<<"$out"
expect_code 0 devsim extract dev -o extracted.bin --bytes 200000
cmp -s extracted.bin EBOOT.NB0 || fail "extract does not give back the image"

# A Wine prefix nobody prepared is named, with the installed script that
# prepares it.
expect_code 2 env WINEPREFIX="$work/no-prefix" devsim run dev kestrel
has "$out" "$prefix/lib/kestrel/wine-prefix" || fail "an unprepared prefix: $out"
[ -x "$prefix/lib/kestrel/wine-prefix" ] || fail "the prefix script is not installed"

# The campaign from the installed scenarios (their first), its table written
# where it runs.
scenario=$(awk '/^\[.*\]$/ && $0 != "[defaults]" { print substr($0, 2, length($0) - 2); exit }' \
  "$prefix"/share/kestrel/scenarios/*.scn)
expect_code 0 devsim campaign --only "$scenario" --jobs 1
has "$out" "as expected, 0 not;" || fail "campaign --only $scenario: $out"
grep -qF -- "$scenario" campaign-table.md || fail "the campaign's table in $PWD has no row $scenario"

# --- The commands, as devsim --help lists them.
commands=$(devsim --help | sed -n '/^commands:/,/^$/s/^  \([a-z]*\) .*/\1/p')
[ "$(wc -w <<<"$commands")" -ge 9 ] || fail "devsim --help lists: $commands"

# --- The manual page renders, with the version, and every command's help.
man_page="$prefix/share/man/man1/devsim.1"
expect_code 0 env MANPAGER=cat MANWIDTH=100 man -l "$man_page"
page=$out
has "$page" "devsim - make, inspect" || fail "the manual page has no NAME line"
has "$page" "devsim $version" || fail "the manual page names no version"
for c in $commands; do
  has "$page" "usage: devsim $c " || fail "the manual page has no help of $c"
done

# --- The completion, sourced as bash-completion does.
completion="$prefix/share/bash-completion/completions/devsim"
complete_words() {  # the words offered after the words given, the last one being typed
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _devsim
           printf "%s\n" "${COMPREPLY[@]}" | sort' completion "$completion" "$@"
}
[ "$(bash -c 'source "$1"; complete -p devsim' completion "$completion")" = "complete -o filenames -F _devsim devsim" ] ||
  fail "the completion is not registered for devsim"
[ "$(complete_words devsim ins)" = inspect ] || fail "devsim ins<TAB> gives: $(complete_words devsim ins)"
[ "$(complete_words devsim '' | tr '\n' ' ')" = "$(printf '%s\n' $commands help --help --version | sort | tr '\n' ' ')" ] ||
  fail "devsim <TAB> gives: $(complete_words devsim '')"
# Each command's options as its help lists them, and --help.
for c in $commands; do
  want=$( (devsim help "$c" | sed -n '/^options:/,/^$/s/^  \(-[-a-z]*\).*/\1/p'; echo --help) | sort)
  got=$(complete_words devsim "$c" dev -)
  [ "$got" = "$want" ] || fail "devsim $c -<TAB> gives $(echo $got), its help lists $(echo $want)"
done
# inspect's options, as the README's table of commands has them.
[ "$(complete_words devsim inspect dev --)" = "$(printf '%s\n' --area --chip --help --json --map | sort)" ] ||
  fail "devsim inspect --<TAB> gives $(complete_words devsim inspect dev --)"
# A value among those listed, a file where one is asked for.
[ "$(complete_words devsim run dev --answer c)" = cancel ] || fail "--answer c<TAB>"
[ "$(complete_words devsim extract dev -o EB)" = EBOOT.NB0 ] || fail "-o EB<TAB>"
[ -z "$(complete_words devsim create dev --chip e)" ] || fail "--chip offers files"

if [ "$failures" -gt 0 ]; then
  echo "$failures failed" >&2
  exit 1
fi
echo "devsim installed in $prefix: the walk-through, the manual page and the completion as expected"
