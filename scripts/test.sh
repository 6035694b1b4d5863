#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test: native
# (ASan/UBSan, then TSan), the README's main command and both release packages
# end to end, then under Wine the i686 build (32-bit Wine) and the x86_64 build.
# 32-bit Wine is optional: where it cannot be installed or run, the i686 build is
# still built, packaged and its binding checked, and the run says what it left out.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh main i686 tests --optional wine32
source scripts/wine-env.sh
JOBS="${JOBS:-2}"
started=$SECONDS
stage() { echo "== $* ($((SECONDS - started)) s)"; }
left_out() {
  [ -n "${PUSHWELL_NO_WINE32:-}" ] &&
    echo "left out: the i686 build's Wine runs (its tests, its package's demo, its campaign), since $PUSHWELL_NO_WINE32_REASON"
  return 0
}
finish() { local status=$?; pushwell_stop_wine_and_display; left_out; exit "$status"; }
trap finish EXIT
left_out

stage "install-deps against a fake package system"
bash tests/scripts/install_deps_test.sh

for preset in native native-tsan windows-x86 windows-x64; do
  stage "build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS"
done

# The release packages' contents (scripts/check-reproducible.sh builds twice and compares).
stage "packages"
scripts/package.sh >/dev/null
python3 scripts/check_package.py

stage "native tests"
ctest --preset native
ctest --preset native-tsan

# The README's main command as a new user runs it, then one complete update from each
# release package: headless, each in a Wine prefix of their own, before this run's
# display and server exist (the demo's exit trap stops the server it used).
demo_prefix="$PUSHWELL_ROOT/build/wineprefix-demo"
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows-x64/CMakeCache.txt)"
packages=("" "dist/pushwell-$version-win64.zip" "dist/pushwell-$version-win32.zip")
# Without 32-bit Wine the i686 package is built and checked, not run.
[ -n "${PUSHWELL_NO_WINE32:-}" ] && packages=("" "dist/pushwell-$version-win64.zip")
for package in "${packages[@]}"; do
  stage "headless demo ${package:-(scripts/run.sh)}"
  env -u DISPLAY PUSHWELL_WINEPREFIX="$demo_prefix" PUSHWELL_DEMO_PACKAGE="$package" scripts/run.sh
done

pushwell_ensure_display
pushwell_ensure_prefix
wineserver -p >/dev/null 2>&1 </dev/null   # one persistent server for every Wine program of this run
# Each Windows run goes on whatever the one before it found; every test's result
# is printed from the reports the test programs write, and the run fails at the end.
failed=0
windows_tests() {  # preset, then ctest's arguments
  local preset="$1"; shift
  local bin="build/$preset/bin"
  rm -f "$bin"/*-results.xml
  ctest --preset "$preset" "$@" || failed=1
  local reports=("$bin"/*-results.xml)
  [ -e "${reports[0]}" ] && { python3 scripts/test_results.py "${reports[@]}" || failed=1; }
}
if [ -n "${PUSHWELL_NO_WINE32:-}" ]; then
  stage "i686: only the binding check, no 32-bit Wine runs ($PUSHWELL_NO_WINE32_REASON)"
  ctest --preset windows-x86 -R i686_library_binding || failed=1
else
  stage "i686 under 32-bit Wine"
  windows_tests windows-x86 "$@"
fi
stage "x86_64 under Wine"
windows_tests windows-x64 "$@"

# The fault campaign's fixed seeds: both programs against randomly faulted
# updates, every run judged by one oracle (tools/campaign). A break prints its
# plan and the command that replays it.
# Seeds 2-50 as drawn, then the seeds of every break found so far (a console WM_CLOSE
# that hung, a WM_QUIT mid-transfer, a file added, the session's end, the statuses,
# a Ctrl+C as the program starts, the lost-device question after a refused file, a
# log-off agreed to while the folder was read, then a file cut when the session ended),
# then pair seeds, each a pair of faults struck where it is meant to: a WM_QUIT
# while a pipe open never returns (it once hung the program), a WM_QUIT in an open,
# Cancel and WM_CLOSE mid-file, the session's end mid-file, a file changed and one
# added mid-update.
campaign_seeds="$(seq -s, 2 50),67,71,84,103,115,118,129,139,176,272,273,285,313,556,410,586,942,1161,1169,1629,2130"
campaign_seeds+=",1000059,1000041,1000030,1000034,1000038,1000162,1000026"
stage "fault campaign under Wine, x86_64"
scripts/campaign.sh --build build/windows-x64 --seed-list "$campaign_seeds" || failed=1
# Broken builds the campaign must catch, every one: each has seeds that break it whatever
# the timing (a fault at a byte, none at all, an open that never returns, a pair
# struck while the device waits).
stage "broken builds the fault campaign must catch, x86_64"
scripts/mutants.sh --build build/windows-x64 || failed=1
if [ -z "${PUSHWELL_NO_WINE32:-}" ]; then
  stage "fault campaign under 32-bit Wine, i686"
  scripts/campaign.sh --build build/windows-x86 --seed-list "2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,19,20,21,22,115,556" ||
    failed=1
fi
stage "done"
exit "$failed"
