#!/usr/bin/env bash
# A picture of a map's SVG as a browser shows it: headless Chromium (Debian's
# chromium, installed by scripts/setup.sh --browser) opens the file and saves
# a screenshot of the window, sized to the document's width and height.
# Usage: scripts/map-screenshot.sh MAP.svg OUT.png
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 MAP.svg OUT.png" >&2
  exit 2
fi
svg=$(realpath "$1")
out=$(realpath -m "$2")
browser=$(command -v chromium || true)
if [ -z "$browser" ]; then
  echo "$0: no chromium; scripts/setup.sh --browser installs it" >&2
  exit 2
fi
# The root element's size, which devsim writes in whole pixels.
size=$(sed -n 's/^<svg [^>]*width="\([0-9]*\)" height="\([0-9]*\)".*/\1,\2/p' "$svg" | head -1)
if [ -z "$size" ]; then
  echo "$0: $1: no width and height on its <svg> element" >&2
  exit 2
fi
# A profile of its own, so that a browser a person runs is not disturbed;
# --no-sandbox because the sandbox refuses to start as root.
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
"$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$profile" \
  --window-size="$size" --screenshot="$out" "file://$svg" >/dev/null 2>&1
[ -s "$out" ] || { echo "$0: chromium wrote no $2" >&2; exit 1; }
echo "screenshot: $2 ($size)"
