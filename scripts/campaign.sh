#!/usr/bin/env bash
# Runs the fault campaign (tools/campaign) under Wine against a build:
#   scripts/campaign.sh [--build DIR] [--programs DIR] --seed N | --seeds FIRST-LAST | --seed-list N,N,... [campaign options]
# DIR is a build folder (default build/windows-x64; build/windows-x86 for the
# i686 build); --programs a folder of a broken build's test programs (scripts/mutants.sh). Every program runs under Wine's heap checker; the runner reads
# its warnings from the debug output, which goes to a file of its own. Without
# a display it starts Xvfb and stops it, with the Wine server, at the end.
set -uo pipefail
cd "$(dirname "$0")/.."
build=build/windows-x64
if [ "${1:-}" = "--build" ]; then build="$2"; shift 2; fi
programs=
if [ "${1:-}" = "--programs" ]; then programs="$(cd "$2" 2>/dev/null && pwd)" || exit 2; shift 2; fi
bin="$(cd "$build/bin" 2>/dev/null && pwd)" || { echo "no $build/bin: build it first" >&2; exit 2; }
source scripts/wine-env.sh
wine_log="$(mktemp)"
own_display=
[ -z "${DISPLAY:-}" ] && own_display=1
finish() {
  rm -f "$wine_log"
  [ -n "$own_display" ] && pushwell_stop_wine_and_display
}
trap finish EXIT
pushwell_ensure_display
pushwell_ensure_prefix
wineserver -p >/dev/null 2>&1 </dev/null
export PUSHWELL_CAMPAIGN_REPLAY="scripts/campaign.sh --build $build"
[ -n "$programs" ] && set -- --programs "$(winepath -w "$programs")" "$@"
wine "$bin/campaign.exe" --bin "$(winepath -w "$bin")" --wine-log "$(winepath -w "$wine_log")" "$@" 2>>"$wine_log"
