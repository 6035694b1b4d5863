#!/usr/bin/env bash
# Regenerates the README's screenshots: the demo run (scripts/run.sh, headless)
# at Wine's LogPixels 96, 144 and 192, each into docs/screenshots/<dpi>/ as
# idle.png, mid-transfer.png, finished.png and finished-message.png.
# Then, at 96, the window mid-transfer in dark mode (mid-transfer-dark.png: the
# user's apps set to dark in the prefix) and under High Contrast
# (mid-transfer-high-contrast.png: Windows 11's Night sky colours as the prefix's
# system colours, and the test link told that High Contrast is on, since Wine
# always reports it off).
# Uses Wine prefixes of its own, so the tests' prefix keeps its 96 and its colours.
set -euo pipefail
cd "$(dirname "$0")/.."
keep() {  # keep SOURCE TARGET: without time or tool stamps, so a rerun changes only what changed on screen
  convert "$1" -strip -define png:exclude-chunks=date,time "$2"
  echo "$2 $(identify -format '%wx%h' "$2")"
}
export PUSHWELL_WINEPREFIX="$PWD/build/wineprefix-screenshots"
for dpi in ${PUSHWELL_SCREENSHOT_DPIS:-96 144 192}; do
  echo "== LogPixels $dpi"
  env -u DISPLAY PUSHWELL_DEMO_DPI="$dpi" scripts/run.sh >"build/screenshots-$dpi.log" 2>&1 ||
    { tail -20 "build/screenshots-$dpi.log"; exit 1; }
  out="docs/screenshots/$dpi"
  rm -f "$out"/{idle,mid-transfer,finished,finished-message}.png
  mkdir -p "$out"
  for name in idle mid-transfer finished finished-message; do keep "build/demo/screenshots/$name.png" "$out/$name.png"; done
done

# Each look in a prefix of its own, its values imported by the demo.
look() {  # look NAME REG-FILE-BODY [run.sh's environment...]
  local name="$1" reg="build/screenshots-$1.reg"
  printf 'REGEDIT4\n\n%s\n' "$2" >"$reg"
  shift 2
  echo "== $name"
  env -u DISPLAY PUSHWELL_WINEPREFIX="$PWD/build/wineprefix-screenshots-$name" PUSHWELL_DEMO_REGISTRY="$reg" "$@" \
    scripts/run.sh >"build/screenshots-$name.log" 2>&1 || { tail -20 "build/screenshots-$name.log"; exit 1; }
  keep build/demo/screenshots/mid-transfer.png "docs/screenshots/96/mid-transfer-$name.png"
}
look dark '[HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Themes\Personalize]
"AppsUseLightTheme"=dword:00000000'
look high-contrast '[HKEY_CURRENT_USER\Control Panel\Colors]
"Window"="0 0 0"
"WindowText"="255 255 255"
"Hilight"="214 180 253"
"HilightText"="43 43 43"
"ButtonFace"="41 41 41"
"ButtonText"="255 238 50"' PUSHWELL_DEMO_HIGH_CONTRAST=1
