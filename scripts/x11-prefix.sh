#!/usr/bin/env bash
# Prints the path of the X11 copy of the project's Wine prefix, making it once.
# The project's prefix stays headless (null graphics driver) for the tests;
# runs that a person should see, and screenshots, use this copy.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
base="${WINEPREFIX:-$HOME/.cache/kestrel/wineprefix}"
xprefix="${KESTREL_X11_PREFIX:-$HOME/.cache/kestrel/wineprefix-x11}"
wine64=/usr/lib/wine/wine64
if [ ! -f "$xprefix/.kestrel-x11-ready" ]; then
  [ -d "$base" ] || "$root/scripts/setup.sh" >&2
  echo "making the X11 copy of the Wine prefix in $xprefix" >&2
  rm -rf "$xprefix"
  cp -a "$base" "$xprefix"
  # Drive letters that runs had mapped when the copy was taken are not ours.
  find "$xprefix/dosdevices" -maxdepth 1 -name '?:' ! -name 'c:' ! -name 'z:' -delete
  rm -f "$xprefix"/.kestrel-ready*
  WINEPREFIX="$xprefix" WINEDEBUG=-all "$wine64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f </dev/null >/dev/null
  WINEPREFIX="$xprefix" WINEDEBUG=-all "$wine64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null
  WINEPREFIX="$xprefix" wineserver -w </dev/null >/dev/null 2>&1 || true
  touch "$xprefix/.kestrel-x11-ready"
fi
echo "$xprefix"
