#!/usr/bin/env bash
# Builds the Windows programs with the windows-x64 preset, runs every benchmark
# under Wine against the simulated device, and rewrites bench/RESULTS.md and
# bench/results.json (one number per figure). Takes about eight minutes.
#
# The whole Wine session (wineserver, devsim, the updater, the bench programs)
# runs pinned to one CPU: unpinned, every wineserver request may wake another
# CPU, and single rounds of the same writer range over a factor of ten. Pinned,
# writers measured in alternating rounds of one run can be compared; every
# ratio is the median of per-round paired ratios, shown with its min and max.
#   PUSHWELL_BENCH_BUILD    build folder (default build/windows-x64)
#   PUSHWELL_BENCH_CPU      the CPU to pin to (default 0)
#   PUSHWELL_SOAK_COMMANDS  length of the soak run (default 200)
set -uo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="${PUSHWELL_BENCH_BUILD:-$root/build/windows-x64}"
jobs="${JOBS:-2}"
results="$root/bench/RESULTS.md"
results_json="$root/bench/results.json"
cpu="${PUSHWELL_BENCH_CPU:-0}"

scripts/install-deps.sh || exit 1
targets=(bench_transfer bench_updater)
soak_source="$root/tests/e2e/soak_test.cpp"
[ -f "$soak_source" ] && targets+=(e2e_tests)
cmake --preset windows-x64 -B "$build" >/dev/null || exit 1   # picks up targets added since the last configure
cmake --build "$build" -j "$jobs" --target "${targets[@]}" \
  || { echo "build failed (the bench programs also need add_subdirectory(bench) in CMakeLists.txt)"; exit 1; }
bin="$build/bin"

source scripts/wine-env.sh
trap pushwell_stop_wine_and_display EXIT
pushwell_ensure_display
pushwell_ensure_prefix
# Everything from here runs on one CPU, the wineserver included: stop any
# server started before the pinning, then start the run's own.
wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1
taskset -pc "$cpu" $$ >/dev/null || { echo "taskset could not pin this shell to CPU $cpu"; exit 1; }
wineserver -p      # one persistent server for every Wine program of this run

work="$(mktemp -d)"
figures="$work/figures.txt"
figures_win="$(winepath -w "$figures" 2>/dev/null)"
status=0
started=$(date +%s)
load_before="$(cut -d' ' -f1-3 /proc/loadavg)"

# run NAME PROGRAM ARGS...: the program's markdown goes to $work/NAME.md, its
# progress to the terminal; a failed program is recorded, the others still run.
run() {
  local name="$1"; shift
  echo "== $name: $*" >&2
  (cd "$bin" && wine "$@") >"$work/$name.md"
  local rc=$?
  if [ "$rc" -ne 0 ]; then
    status=1
    printf '\n**The program failed (exit %s).**\n\n' "$rc" >>"$work/$name.md"
  fi
}

run a bench_transfer.exe --payload-mib 32 --rounds 15 --with-bounded-wait-variant 1 --with-bare-pipe 1 \
  --figures "$figures_win" \
  --title "a. Transfer throughput, unlimited line rate"
run b bench_transfer.exe --payload-mib 8 --rounds 3 --rate 1200000 --figures "$figures_win" \
  --title "b. Transfer at the USB full-speed line rate"
run c bench_updater.exe cpu --payload-mib 16 --rate 1200000 --runs 6 --figures "$figures_win"
run d bench_updater.exe respond --payload-mib 16 --rate 1200000 --runs 2 --figures "$figures_win"
run e bench_updater.exe start --runs 5 --figures "$figures_win"
run f bench_updater.exe update --rate 1200000 --runs 3 --figures "$figures_win"
run g bench_updater.exe memory --sizes 1,64,256 --figures "$figures_win"
run h bench_updater.exe driver --rate 1200000 --figures "$figures_win"
run i bench_updater.exe folder --rate 1200000 --runs 3 --figures "$figures_win"

soak_commands="${PUSHWELL_SOAK_COMMANDS:-200}"
if [ -f "$soak_source" ]; then
  echo "== j: soak, PUSHWELL_SOAK_COMMANDS=$soak_commands" >&2
  soak_start=$(date +%s)
  (cd "$bin" && PUSHWELL_SOAK_COMMANDS="$soak_commands" timeout 1500 wine e2e_tests.exe --gtest_filter='*Soak*') \
    >"$work/soak.log" 2>&1
  soak_rc=$?
  soak_seconds=$(( $(date +%s) - soak_start ))
  [ "$soak_rc" -eq 0 ] || status=1
  {
    echo "### j. Soak"
    echo
    echo "The fault suite's soak test (\`e2e_tests --gtest_filter=*Soak*\`) with PUSHWELL_SOAK_COMMANDS=$soak_commands:"
    echo "$( [ "$soak_rc" -eq 0 ] && echo '**passed**' || echo "**failed** (exit $soak_rc)") in ${soak_seconds} s."
    echo
    echo '```'
    # The seed and length, the verdict, and where a failure began.
    tr -d '\r' <"$work/soak.log" >"$work/soak.txt"
    grep -m1 -E '^\[ *SOAK *\] PUSHWELL_SOAK_SEED' "$work/soak.txt"
    grep -E '^\[ *SOAK *\] [0-9]+ commands over' "$work/soak.txt"
    grep -E '^\[ *(PASSED|FAILED|OK) *\]' "$work/soak.txt" | awk '!seen[$0]++' | head -n 4
    if [ "$soak_rc" -ne 0 ]; then
      grep -E '^\[ *SOAK *\] command ' "$work/soak.txt" | tail -n 1   # the last command that passed
      grep -m1 -A1 'Google Test trace:' "$work/soak.txt" | tail -n 1    # the command that failed
      grep -E -A3 ': Failure' "$work/soak.txt" | head -n 12
    fi
    echo '```'
    echo
  } >"$work/soak.md"
else
  printf '### j. Soak\n\nSkipped: tests/e2e/soak_test.cpp does not exist.\n\n' >"$work/soak.md"
fi

elapsed=$(( $(date +%s) - started ))
cpu_model="$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)"
memory="$(awk '/^MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
commit="$(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
git diff --quiet HEAD 2>/dev/null || commit="$commit (with uncommitted changes)"
{
  echo "# Benchmark results"
  echo
  echo "Written by \`bench/run.sh\`; do not edit by hand. Regenerate with:"
  echo
  echo '    bench/run.sh'
  echo
  echo "| | |"
  echo "| --- | --- |"
  echo "| date | $(date -u '+%Y-%m-%d %H:%M UTC') |"
  echo "| commit | $commit |"
  echo "| CPU | ${cpu_model:-unknown}, $(nproc --all) CPUs (the run uses one) |"
  echo "| memory | $memory |"
  echo "| system | $(uname -sr), $(wine --version 2>/dev/null) (wine64, WINEDEBUG=-all), Xvfb |"
  echo "| pinning | the whole Wine session on CPU $cpu (\`taskset -pc $cpu\` before \`wineserver -p\`) |"
  echo "| build | windows-x64 preset (MinGW-w64 g++, Release, -static) |"
  echo "| load average at start | $load_before |"
  echo "| run time | ${elapsed} s |"
  echo
  echo "## Figures"
  echo
  python3 "$root/bench/summarize.py" "$figures" "$results_json"
  echo "The same numbers, one per key, are in \`bench/results.json\`."
  echo
  echo "## Measurements"
  echo
  for part in a b c d e f g h i soak; do cat "$work/$part.md"; done
  cat <<'EOF'
## How to read these

* Everything runs under Wine, where each overlapped pipe call is a round trip to
  wineserver. Absolute rates and CPU figures are Wine's, not Windows'; the
  ratios compare writers measured in the same run, alternating, on the same
  pipe, on the same pinned CPU.
* The plain writer is what any program would do to push the same bytes: the
  same chunks, WriteFile then GetOverlappedResult, on a fresh thread as the
  updater's worker runs. For the CPU figure it is a process of its own
  (`bench_transfer --plain-process 1`), started in turn with the updater.
* The updater's worker bounds every wait (30 s a chunk) so that a device that
  stops answering cannot hang it; the diagnostic writer that waits the same way
  shows what the bound itself costs under Wine, against the plain writer's
  unbounded wait.
* The bare pipe is the floor for any simulated device on the machine: the same
  plain writer against an unbuffered pipe whose reading end, a thread of the
  bench program, does nothing but read. devsim's throughput is shown against
  it: a devsim at the floor is not the limit, whatever the absolute figure.
* Byte times at the device come from devsim's `status` (first and latest byte,
  each connection's first byte), on the performance counter every process of
  the machine shares, so the click timed here and the byte timed there can be
  subtracted.
* devsim never lets the line run ahead: a read takes no more than the line has
  carried since the burst's first byte, so the line ratio cannot pass 1.
* CPU times under Wine come in 10 ms ticks (from /proc), so one 14 s run of the
  window thread counts only 6 to 8 of them: its share pools every run, and the
  process ratios are medians over runs that each count some forty ticks.
* The busy delay is fixed as a count of iterations, so its time depends on the
  processor; the click-to-first-byte figure subtracts the same loop timed in
  the same run.
* Memory: under Wine the working-set counters follow the process's resident
  memory (VmRSS / VmHWM); PagefileUsage does not follow its private memory, so it
  is shown but the verdict is on the working set. The idle figure is the current
  working set just before the button is pressed.
* The machine may be shared; the load average at the start is recorded above.
EOF
} >"$work/results.md"
# The fault campaign's section is written by bench/campaign.sh, a run of its own: kept.
campaign_marker="## Fault campaign"
[ -f "$results" ] && grep -q "^$campaign_marker\$" "$results" &&
  { echo; sed -n "/^$campaign_marker\$/,\$p" "$results"; } >>"$work/results.md"
mv "$work/results.md" "$results"
rm -rf "$work"
echo "wrote $results and $results_json (${elapsed} s)" >&2
exit "$status"
