#!/usr/bin/env bash
# Runs the fault campaign against broken builds it must catch (tests/CMakeLists.txt
# builds them: each breaks one promise):
#   scripts/mutants.sh [--build DIR] [--seeds N,N,...] [NAME...]
# Each mutant runs its own fixed seeds (tests/campaign_mutants.txt, or --seeds),
# and is caught when at least one of them breaks. One line each, then
#   mutants caught M/N
# and status 1 unless every mutant named (all of the file's by default) was caught.
set -uo pipefail
cd "$(dirname "$0")/.."
build=build/windows-x64
seeds_asked=
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --seeds) seeds_asked="$2"; shift 2 ;;
    *) break ;;
  esac
done
list=tests/campaign_mutants.txt
names=("$@")
[ ${#names[@]} -eq 0 ] && mapfile -t names < <(grep -v '^#' "$list" | awk 'NF { print $1 }')
targets=(campaign)
for name in "${names[@]}"; do targets+=("Pushwell-test-mutant-$name" "pushwell-cli-test-mutant-$name"); done
cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]}" >/dev/null || exit 1
caught=0
for name in "${names[@]}"; do
  seeds="$seeds_asked"
  [ -z "$seeds" ] && seeds="$(awk -v n="$name" '$1 == n { print $2 }' "$list")"
  if [ -z "$seeds" ]; then echo "mutant $name: no seeds in $list" >&2; continue; fi
  programs="$(cd "$build/bin/mutants/$name" && pwd)" || { echo "mutant $name: not built" >&2; continue; }
  summary="$(scripts/campaign.sh --build "$build" --programs "$programs" --seed-list "$seeds" 2>/dev/null |
    tr -d '\r' | grep '^campaign: ' | tail -1)"
  broke="$(sed -n 's/.* \([0-9]*\) broke.*/\1/p' <<<"$summary")"
  if [ "${broke:-0}" -gt 0 ]; then
    caught=$((caught + 1))
    echo "mutant $name: caught ($summary; seeds $seeds)"
  else
    echo "mutant $name: SURVIVED, a hole in the oracle (${summary:-no summary}; seeds $seeds)"
  fi
done
echo "mutants caught $caught/${#names[@]}"
[ "$caught" -eq "${#names[@]}" ]
