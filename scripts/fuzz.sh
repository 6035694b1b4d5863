#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan, UBSan) and runs each for
# SECONDS (default 20; `scripts/fuzz.sh 600` for a long run by hand). Prints
# one result line per target and exits non-zero when any target failed.
#   PUSHWELL_FUZZ_BUILD  build folder (default build/fuzz)
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-20}"
build="${PUSHWELL_FUZZ_BUILD:-$root/build/fuzz}"
targets=(update_header transfer gradient_plan lang_ini folder_sums)

"$root/scripts/install-deps.sh" || exit 2
mkdir -p "$build"
cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >"$build/configure.log" 2>&1 \
  || { echo "fuzz: configure failed"; tail -n 40 "$build/configure.log"; exit 2; }
cmake --build "$build" -j "${JOBS:-2}" >"$build/build.log" 2>&1 || { echo "fuzz: build failed"; tail -n 60 "$build/build.log"; exit 2; }

status=0
for target in "${targets[@]}"; do
  work="$build/corpus/$target"      # what the fuzzer finds; the committed seeds stay as they are
  artifacts="$build/artifacts"
  log="$build/fuzz_$target.log"
  mkdir -p "$work" "$artifacts"
  "$build/fuzz_$target" "$work" "$root/tests/fuzz/corpus/$target" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
      -artifact_prefix="$artifacts/$target-" -print_final_stats=1 >"$log" 2>&1
  rc=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)"
  if [ "$rc" -eq 0 ]; then
    printf 'fuzz %-14s ok      %8s runs in %ss, corpus %s inputs\n' "$target" "${runs:-?}" "$seconds" "$(ls "$work" | wc -l)"
  else
    crash="$(ls -t "$artifacts"/"$target"-* 2>/dev/null | head -n1)"
    printf 'fuzz %-14s FAILED  exit %s, input %s, log %s\n' "$target" "$rc" "${crash:-none}" "$log"
    grep -E 'property failed|ERROR: |SUMMARY: |runtime error' "$log" | head -n 10
    [ -n "$crash" ] && echo "  replay: $build/fuzz_$target $crash"
    status=1
  fi
done
exit "$status"
