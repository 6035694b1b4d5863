#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test:
# native (ASan/UBSan, then TSan), under Wine, and end to end.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
source scripts/wine-env.sh
trap pushwell_stop_wine_and_display EXIT
JOBS="${JOBS:-2}"

for preset in native native-tsan windows-x86 windows-x64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
done

# The release packages' contents (scripts/check-reproducible.sh builds twice and compares).
scripts/package.sh >/dev/null
python3 scripts/check_package.py

ctest --preset native
ctest --preset native-tsan
ctest --preset windows-x86   # the 32-bit binding, checked from its binaries

pushwell_ensure_display
pushwell_ensure_prefix
wineserver -p >/dev/null 2>&1 </dev/null   # one persistent server for every Wine program of this run
ctest --preset windows-x64 "$@"
