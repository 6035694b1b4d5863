#!/usr/bin/env bash
# The fault campaign's long run, a mode of its own beside bench/run.sh: seeds
# 1..N (default 1000) drawn at random, then the pair seeds (1000001.., default
# 140: every pair twice), against the x86_64 build, in two Wine prefixes of their
# own (each its own wineserver and display, so the one-updater lock and the
# clipboard of one never meet the other's), then one line in bench/RESULTS.md:
#   campaign: N runs, L lies, H hangs, B other breaks, R could not run; pairs P/Q
# (P: the pairs that struck, of the Q there are) with the table of the faults
# drawn and the seeds of any break; it exits 1 unless every seed asked for has
# one row, all of them held and every pair struck. With --mutants it then runs
# every broken build the campaign must catch (scripts/mutants.sh) and the line
# ends "; mutants caught M/N"; one that survives fails the run too.
#   PUSHWELL_CAMPAIGN_RUNS        how many seeds drawn at random (default 1000)
#   PUSHWELL_CAMPAIGN_PAIR_RUNS   how many pair seeds (default 140)
#   PUSHWELL_BENCH_BUILD    build folder (default build/windows-x64)
set -uo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
runs="${PUSHWELL_CAMPAIGN_RUNS:-1000}"
pair_runs="${PUSHWELL_CAMPAIGN_PAIR_RUNS:-140}"
mutants=
[ "${1:-}" = "--mutants" ] && mutants=1
source scripts/wine-env.sh
builds=("${PUSHWELL_BENCH_BUILD:-build/windows-x64}")
# Where 32-bit Wine runs, the i686 build too, in a section of its own.
[ -z "${PUSHWELL_BENCH_BUILD:-}" ] && [ -z "${PUSHWELL_NO_WINE32:-}" ] && builds+=(build/windows-x86)
[ -n "${PUSHWELL_NO_WINE32:-}" ] && echo "left out: the i686 build's campaign, since $PUSHWELL_NO_WINE32_REASON"
status=0
for build in "${builds[@]}"; do
  cmake --build "$build" -j "${JOBS:-2}" --target campaign || exit 1
  work="$(mktemp -d)"
  started=$(date +%s)
  for worker in 0 1; do
    seeds=$({ seq $((1 + worker)) 2 "$runs"; seq $((1000001 + worker)) 2 $((1000000 + pair_runs)); } | paste -sd, -)
    env -u DISPLAY PUSHWELL_WINEPREFIX="$root/build/wineprefix-campaign-$worker" \
      scripts/campaign.sh --build "$build" --seed-list "$seeds" --results "Z:$(echo "$work/results-$worker.tsv" | tr / '\\')" \
      >"$work/log-$worker.txt" 2>&1 &
done
wait
mutant_line=
mutants_held=0
if [ -n "$mutants" ]; then
  env -u DISPLAY PUSHWELL_WINEPREFIX="$root/build/wineprefix-campaign-0" scripts/mutants.sh --build "$build" \
    >"$work/mutants.txt" 2>&1 || mutants_held=1
  mutant_line="$(tail -1 "$work/mutants.txt")"
fi
elapsed=$(( $(date +%s) - started ))
cat "$work"/results-*.tsv | sort -n >"$work/all.tsv"
section="Fault campaign"
[ "$build" = build/windows-x86 ] && section="Fault campaign, i686 build"
python3 - "$work/all.tsv" "$elapsed" "$root/bench/RESULTS.md" "$((runs + pair_runs))" "$mutant_line" "$work/mutants.txt" "$mutants_held" "$section" <<'PY'
import collections, statistics, sys
rows = [line.rstrip("\n").split("\t") for line in open(sys.argv[1]) if line.strip()]
asked = int(sys.argv[4])
lies = sum(1 for r in rows if r[3] == "breaks" and "lie:" in r[6] and "hang:" not in r[6])
hangs = sum(1 for r in rows if r[3] == "breaks" and "hang:" in r[6])
other = sum(1 for r in rows if r[3] == "breaks") - lies - hangs
rig = sum(1 for r in rows if r[3] not in ("holds", "breaks"))
# Every seed asked for has exactly one row: a worker that died early must not pass for a clean run.
seeds = collections.Counter(r[0] for r in rows)
missing = asked - len(seeds)
doubled = sum(1 for n in seeds.values() if n > 1)
median = statistics.median(float(r[2]) for r in rows) if rows else 0
# The pairs drawn on purpose that struck, of those there are.
pairs_possible = max((int(r[8]) for r in rows if len(r) > 9), default=0)
struck = {r[7] for r in rows if len(r) > 9 and r[9] == "landed"}
missed_pairs = sorted({r[7] for r in rows if len(r) > 9 and r[7] != "-"} - struck)
drawn = collections.Counter(k for r in rows if r[5] != "-" for k in r[5].split(","))
broke = collections.Counter(k for r in rows if r[3] != "holds" and r[5] != "-" for k in r[5].split(","))
headline = (f"campaign: {len(rows)} runs, {lies} lies, {hangs} hangs, {other} other breaks, {rig} could not run; "
            f"pairs {len(struck)}/{pairs_possible}")
if sys.argv[5]:
    headline += "; " + sys.argv[5]
if missing or doubled:
    headline += f"; ROWS DO NOT MATCH THE {asked} SEEDS ASKED: {max(missing, 0)} missing, {doubled} doubled"
out = [headline, "",
       f"{sum(1 for r in rows if r[1] == 'dialog')} runs through the dialog; median run {median:.1f} s; {sys.argv[2]} s in all, two workers "
       "(`bench/campaign.sh`).", "", "| fault | drawn | in runs that broke |", "| --- | --- | --- |"]
out += [f"| {k} | {drawn[k]} | {broke[k]} |" for k in sorted(drawn)]
if sys.argv[5]:
    out += ["", "Broken builds the campaign must catch (`scripts/mutants.sh`):", ""]
    out += [f"- {line.strip()}" for line in open(sys.argv[6], newline="") if line.startswith("mutant ")]
bad = [r for r in rows if r[3] != "holds"]
if missed_pairs:
    out += ["", "Pairs drawn that never struck: " + ", ".join(missed_pairs)]
out += ["", "Seeds that broke: " + (", ".join(f"{r[0]} ({r[1]}: {r[6][:120]})" for r in bad) if bad else "none")]
# As it is: the figures bench/run.sh wrote end their lines as Windows does.
text = open(sys.argv[3], newline="").read() if __import__("os").path.exists(sys.argv[3]) else ""
# This build's section replaced, the others kept.
marker = f"\n## {sys.argv[8]}\n"
before, found, after = text.partition(marker)
rest = after[after.find("\n## "):] if found and "\n## " in after else ""
text = before.rstrip("\n") + "\n" + marker + "\n" + "\n".join(out) + "\n" + rest
open(sys.argv[3], "w", newline="").write(text)
print(out[0])
sys.exit(1 if lies or hangs or other or rig or missing or doubled or len(struck) < pairs_possible
         or sys.argv[7] == "1" else 0)
PY
[ $? -eq 0 ] || status=1
done
exit "$status"
