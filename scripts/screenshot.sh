#!/usr/bin/env bash
# A picture of kestrel on a simulated device: its dialog with the progress bar
# and the closing message box, on a virtual X display, saved as PNG.
#
#   scripts/screenshot.sh DEVICE_DIR kestrel|KESTREL_EXE [OUT.png]
#
# DEVICE_DIR is a device made by ./devsim (with EBOOT.NB0 on its card);
# "kestrel" runs the device build's (built on first use, as ./devsim does),
# or KESTREL_EXE names another build of it. The run goes through `./devsim
# run` (system flash driver stand-in, drive mapping, event log; --show keeps
# the display) with the robot told to leave the boxes alone; once the message
# box is on screen the picture is taken, cropped to the windows, and the box
# is answered with Return.
#
# The project's Wine prefix stays headless (null graphics driver) for the
# tests: this script works in its own copy of it, made once, with the X11
# driver and unmanaged windows (without a window manager a managed window
# stalls ~2 s each).
set -euo pipefail

if [ $# -lt 2 ]; then
  sed -n '2,19p' "$0" >&2
  exit 2
fi
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dev="$(realpath "$1")"
exe="$2"
[ "$exe" = kestrel ] || exe="$(realpath "$2")"
out="$(realpath -m "${3:-$dev/kestrel.png}")"
for tool in Xvfb import xdotool; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done
[ -d "$dev/SDMMC Disk" ] || { echo "screenshot: $dev is not a device folder" >&2; exit 2; }
[ "$exe" = kestrel ] || [ -f "$exe" ] || { echo "screenshot: no program at $exe" >&2; exit 2; }

xprefix=$("$root/scripts/x11-prefix.sh") || exit 2

display=""
for n in $(seq 99 -1 80); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "screenshot: no free X display" >&2; exit 2; }

work="$(mktemp -d /tmp/kestrel-shot-XXXXXX)"
xvfb_pid=""
run_pid=""
cleanup() {
  [ -n "$run_pid" ] && kill "$run_pid" 2>/dev/null || true
  WINEPREFIX="$xprefix" wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A small screen, nearer the handheld's than a desktop's.
Xvfb "$display" -screen 0 640x480x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do
  [ -e "/tmp/.X11-unix/X${display#:}" ] && break
  sleep 0.05
done

# The run, boxes left up for the picture.
WINEPREFIX="$xprefix" DISPLAY="$display" "$root/devsim" run "$dev" --show --answer none --timeout 60 "$exe" \
  >"$work/run.log" 2>&1 &
run_pid=$!

box=""
for _ in $(seq 1 600); do
  box="$(DISPLAY="$display" xdotool search --name '^(Information|Error)$' 2>/dev/null | head -n 1 || true)"
  [ -n "$box" ] && break
  kill -0 "$run_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$box" ]; then
  echo "screenshot: no message box appeared; the run said:" >&2
  cat "$work/run.log" >&2
  exit 1
fi
# Let the dialog and the box paint before the picture.
sleep 0.5
DISPLAY="$display" import -window root "$out"
# Only the windows: the empty screen around them is one colour.
convert "$out" -trim +repage "$out"
# The box has the keyboard focus (there is no window manager to take it).
DISPLAY="$display" xdotool key Return 2>/dev/null || true
wait "$run_pid" || true
run_pid=""
cat "$work/run.log"
echo "screenshot: $out"
