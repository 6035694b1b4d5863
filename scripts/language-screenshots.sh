#!/usr/bin/env bash
# Regenerates docs/language-*.png: the main window with each shipped language pack,
# as Wine draws it under a Western (code page 1252) locale. Run on demand.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
source scripts/wine-env.sh
trap pushwell_stop_wine_and_display EXIT
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j "${JOBS:-2}" --target e2e_tests
pushwell_ensure_display
pushwell_ensure_prefix
wineserver -p >/dev/null 2>&1 </dev/null
bin=build/windows-x64/bin
rm -rf "$bin/screenshots" && mkdir -p "$bin/screenshots" docs
(cd "$bin" && wine e2e_tests.exe --gtest_filter='Languages.EveryShippedPackShowsItsOwnCaptionButtonsAndLabels')
for shot in "$bin"/screenshots/language-*-1.bmp; do
  name="$(basename "$shot" -1.bmp)"
  convert "$shot" "docs/$name.png"
  echo "docs/$name.png"
done
