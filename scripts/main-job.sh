#!/usr/bin/env bash
# The main job on a default simulated device, from a fresh machine:
#   1. set-up and the programs of both builds (output in build/main-job/setup.log),
#   2. a 64 MiB device with a TOC, an old boot loader in its area and
#      file-system data around it,
#   3. a new EBOOT.NB0 on its card,
#   4. kestrel run on it with the system flash driver running (the robot
#      answers the message; with DISPLAY set a person does, with --interactive),
#   5. what happened, as a person wants to see it (scripts/run_view.py): on a
#      terminal one progress bar updating in place, elsewhere a short
#      transcript, with --verbose every record of `devsim run --events`; then a summary
#      whose last line says whether the boot area now holds the image.
# Usage: scripts/main-job.sh [DEVICE_DIR] [--interactive] [--verbose]
set -uo pipefail
cd "$(dirname "$0")/.."

dev=""; interactive=""; verbose=""
for a in "$@"; do
  case "$a" in
    --interactive) interactive="--interactive" ;;
    --verbose) verbose="--verbose" ;;
    *) dev="$a" ;;
  esac
done
dev="${dev:-build/main-job/device}"
work=$(dirname "$dev")
mkdir -p "$work"
log="$work/setup.log"

echo "== set-up and builds (first time: several minutes; output in $log)"
scripts/setup.sh >"$log" 2>&1 || { tail -20 "$log"; echo "set-up failed"; exit 1; }
export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/kestrel/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# A Wine server for the whole job (a program then starts in ~30 ms), with the
# prefix's services already up (scripts/wine-boot-services says why).
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
scripts/wine-boot-services
# Only what the job runs: the host tool, and the programs a run starts on the
# device (the device build's target device_programs); no test programs.
for build in "host devsim" "device device_programs"; do
  set -- $build
  { [ -f "build/$1/build.ninja" ] || cmake --preset "$1"; } >>"$log" 2>&1 &&
    cmake --build --preset "$1" -j "$(nproc)" --target "$2" >>"$log" 2>&1 || { tail -20 "$log"; echo "build of $1 failed"; exit 1; }
done
rm -rf "$dev"
# The old boot loader and the new one: 96 KiB and 200,000 bytes of recognisable data.
python3 - "$work" <<'PY'
import sys, random
w = sys.argv[1]
for name, size, seed in (("old-eboot.nb0", 96 * 1024, 1), ("EBOOT.NB0", 200000, 2)):
    r = random.Random(seed)
    open(f"{w}/{name}", "wb").write(bytes(r.getrandbits(8) for _ in range(size)))
PY
echo "== device: $dev (chip ec:76, 64 MiB; TOC at block 1; boot area at block 2, 512 sectors)"
./devsim create "$dev" --chip ec:76 --boot-image "$work/old-eboot.nb0" --fill >>"$log" 2>&1 || { tail -5 "$log"; exit 1; }
./devsim card "$dev" --image "$work/EBOOT.NB0" >>"$log" 2>&1 || { tail -5 "$log"; exit 1; }
cp "$dev/nand.img" "$work/nand.before"

echo "== kestrel on the device"
sectors=$(( ($(stat -c %s "$work/EBOOT.NB0") + 511) / 512 ))
view=(python3 scripts/run_view.py --blocks 16 --sectors "$sectors" --counts "$work/run-counts.json" $verbose)
if [ -n "${DISPLAY:-}" ]; then
  # A person watches: the dialog and the message appear on the display (the
  # X11 copy of the prefix); the robot answers after 2 s, or the person does
  # with --interactive.
  [ -n "$interactive" ] || interactive="--show"
  echo "(DISPLAY is set: the dialog and the message appear there)"
  WINEPREFIX=$(scripts/x11-prefix.sh) ./devsim run "$dev" $interactive --events kestrel | "${view[@]}"
else
  ./devsim run "$dev" --events kestrel | "${view[@]}"
fi
run_rc=${PIPESTATUS[0]}

verify=$(./devsim verify "$dev" "$work/EBOOT.NB0" 2>&1)
verify_rc=$?
./devsim inspect "$dev" --json >"$work/inspect.json" 2>>"$log"
# The chip before and after, as pictures and as SVG maps that explain
# themselves (a title, the legend in words, labels, a title on each block).
for form in png svg; do
  ./devsim inspect "$work/nand.before" --map "$work/map-before.$form" >>"$log" 2>&1
  ./devsim inspect "$dev" --map "$work/map-after.$form" >>"$log" 2>&1
done
echo "== summary"
python3 - "$work" "$dev" "$verify" <<'PY'
import json, sys
work, dev, verify = sys.argv[1], sys.argv[2], sys.argv[3]
image = open(f"{work}/EBOOT.NB0", "rb").read()
counts = json.load(open(f"{work}/run-counts.json"))
rec = json.load(open(f"{work}/inspect.json")).get("record") or {}
a = open(f"{work}/nand.before", "rb").read(); b = open(f"{dev}/nand.img", "rb").read()
page = 528; area = range(2 * 32, 2 * 32 + 512)
outside = sum(1 for p in range(len(a) // page) if p not in area and a[p*page:(p+1)*page] != b[p*page:(p+1)*page])
ms = lambda ns: f"{ns / 1e6:.1f} ms"
print(f"  image:           {len(image)} bytes, {(len(image) + 511) // 512} sectors")
print(f"  updater:         {counts['erased']} blocks erased, {counts['written']} sectors written")
print(f"  device time:     {ms(rec.get('clockNs', 0))} simulated, of which the chip was busy {ms(rec.get('chipBusyNs', 0))}"
      f" ({rec.get('chipOps', 0)} chip operations)")
print(f"  verify:          {verify.splitlines()[0].removeprefix('verify: ') if verify else '(no answer)'}")
print(f"  pages changed outside the boot area: {outside}")
print(f"  maps of the chip: {work}/map-before.svg, {work}/map-after.svg (and as .png)")
PY
if [ "$run_rc" -eq 0 ] && [ $verify_rc -eq 0 ]; then
  echo "RESULT: the boot area now matches the image"
  exit 0
fi
echo "RESULT: the boot area does NOT match the image"
exit 1
