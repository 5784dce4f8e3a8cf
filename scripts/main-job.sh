#!/usr/bin/env bash
# The main job on a default simulated device, from a fresh machine:
#   1. set-up and both builds,
#   2. a 64 MiB device with a TOC, an old boot loader in its area and
#      file-system data around it,
#   3. a new EBOOT.NB0 on its card,
#   4. kestrel run on it with the system flash driver running (the robot
#      answers the message; with DISPLAY set a person does, with --interactive),
#   5. what happened: the message, the progress, the debug lines, and whether
#      the boot area now holds the image.
# Usage: scripts/main-job.sh [DEVICE_DIR] [--interactive]
set -uo pipefail
cd "$(dirname "$0")/.."

dev=""; interactive=""
for a in "$@"; do
  case "$a" in
    --interactive) interactive="--interactive" ;;
    *) dev="$a" ;;
  esac
done
dev="${dev:-build/main-job/device}"

scripts/setup.sh || exit 1
export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/kestrel/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# A Wine server for the whole job (a program then starts in ~30 ms), with the
# prefix's services already up (scripts/wine-boot-services says why).
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
scripts/wine-boot-services
for kind in host device; do
  [ -f "build/$kind/build.ninja" ] || cmake --preset "$kind" >/dev/null || exit 1
  cmake --build --preset "$kind" -j "$(nproc)" >/dev/null || { echo "build of $kind failed"; exit 1; }
done

work=$(dirname "$dev")
mkdir -p "$work"
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
./devsim create "$dev" --chip ec:76 --boot-image "$work/old-eboot.nb0" --fill || exit 1
./devsim card "$dev" --image "$work/EBOOT.NB0" || exit 1
cp "$dev/nand.img" "$work/nand.before"

echo "== running kestrel on the device"
if [ -n "${DISPLAY:-}" ]; then
  # A person watches: the dialog and the message appear on the display (the
  # X11 copy of the prefix); the robot answers after 2 s, or the person does
  # with --interactive.
  [ -n "$interactive" ] || interactive="--show"
  echo "(DISPLAY is set: the dialog and the message appear there)"
  WINEPREFIX=$(scripts/x11-prefix.sh) ./devsim run "$dev" $interactive kestrel
else
  ./devsim run "$dev" kestrel
fi
run_rc=$?

echo "== boot area against the image"
./devsim verify "$dev" "$work/EBOOT.NB0"
verify_rc=$?
python3 - "$work/nand.before" "$dev/nand.img" <<'PY'
import sys
a = open(sys.argv[1], "rb").read(); b = open(sys.argv[2], "rb").read()
page = 528; area = range(2 * 32, 2 * 32 + 512)
outside = sum(1 for p in range(len(a) // page) if p not in area and a[p*page:(p+1)*page] != b[p*page:(p+1)*page])
print(f"pages changed outside the boot area: {outside}")
PY
if [ $run_rc -eq 0 ] && [ $verify_rc -eq 0 ]; then
  echo "RESULT: the boot area now matches the image"
  exit 0
fi
echo "RESULT: the boot area does NOT match the image"
exit 1
