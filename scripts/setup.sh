#!/usr/bin/env bash
# Installs what every build needs from Debian's packages and prepares the Wine
# prefix the device build runs in. Idempotent: a second run only checks.
#   scripts/setup.sh --fuzz-packages   only prints what the fuzz targets' build
#                                      takes from the distribution besides clang
#                                      (the engine's image installs these,
#                                      .clusterfuzzlite/Dockerfile)
#   scripts/setup.sh --browser         also installs a headless browser
#                                      (Debian's chromium) for
#                                      scripts/map-screenshot.sh; no build or
#                                      test needs it
set -euo pipefail

FUZZ_PACKAGES=(cmake ninja-build googletest libcli11-dev nlohmann-json3-dev libpng-dev zip unzip)
# The host tests read the maps' SVG back with expat.
HOST_TEST_PACKAGES=(libexpat1-dev)
if [ "${1:-}" = --fuzz-packages ]; then
  echo "${FUZZ_PACKAGES[*]}"
  exit 0
fi
BROWSER_PACKAGES=()
if [ "${1:-}" = --browser ]; then
  BROWSER_PACKAGES=(chromium)
fi
PACKAGES=("${FUZZ_PACKAGES[@]}" "${HOST_TEST_PACKAGES[@]}" g++ libgtest-dev libbenchmark-dev
          mingw-w64 g++-mingw-w64-x86-64 wine wine64 xvfb x11-utils xdotool imagemagick python3
          g++-arm-linux-gnueabi qemu-user clang libclang-rt-14-dev gcovr ccache help2man man-db)

missing=()
for p in "${PACKAGES[@]}" "${BROWSER_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The prefix devsim and the tests run in (scripts/wine-prefix, installed with
# devsim too).
export WINEPREFIX="${WINEPREFIX:-$HOME/.cache/kestrel/wineprefix}"
"$(dirname "$0")/wine-prefix"

# One prefix per test worker (cmake/wine-workers.json names the workers), each
# a copy of the prepared one, so that tests that run Wine side by side each
# have a Wine server of their own.
for worker in $(sed -n 's/.*"id": *"\([0-9]*\)".*/\1/p' "$(dirname "$0")/../cmake/wine-workers.json"); do
  copy="$WINEPREFIX-worker$worker"
  if [ ! -f "$copy/.kestrel-ready-2" ]; then
    echo "setup: preparing Wine prefix $copy"
    WINEPREFIX="$copy" /usr/bin/wineserver -k 2>/dev/null || true
    rm -rf "$copy"
    cp -a "$WINEPREFIX" "$copy"
  fi
done
