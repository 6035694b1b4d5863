#!/usr/bin/env bash
# Regenerates the README's screenshots: the demo run (scripts/run.sh, headless)
# at Wine's LogPixels 96, 144 and 192, each into docs/screenshots/<dpi>/ as
# idle.png, mid-transfer.png, finished.png and finished-message.png.
# Uses a Wine prefix of its own, so the tests' prefix keeps its 96.
set -euo pipefail
cd "$(dirname "$0")/.."
export PUSHWELL_WINEPREFIX="$PWD/build/wineprefix-screenshots"
for dpi in ${PUSHWELL_SCREENSHOT_DPIS:-96 144 192}; do
  echo "== LogPixels $dpi"
  env -u DISPLAY PUSHWELL_DEMO_DPI="$dpi" scripts/run.sh >"build/screenshots-$dpi.log" 2>&1 ||
    { tail -20 "build/screenshots-$dpi.log"; exit 1; }
  out="docs/screenshots/$dpi"
  rm -rf "$out"
  mkdir -p "$out"
  for name in idle mid-transfer finished finished-message; do
    # No time or tool stamps in the files: a rerun changes only what changed on screen.
    convert "build/demo/screenshots/$name.png" -strip -define png:exclude-chunks=date,time "$out/$name.png"
    echo "$out/$name.png $(identify -format '%wx%h' "$out/$name.png")"
  done
done
