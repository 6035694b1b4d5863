#!/usr/bin/env python3
"""Gathers the figures the benchmark programs wrote (`key value` a line) into
results.json, one number per key, and prints the markdown table of figures
against their targets for RESULTS.md.

    summarize.py FIGURES_TXT RESULTS_JSON > table.md
"""
import json
import math
import sys

# key, what it is, how it is judged (None: reported, no target), the target as written
ROWS = [
    ("throughput_ratio", "updater / plain writer, unlimited rate, paired median", lambda v: v >= 0.98, ">= 0.98"),
    ("devsim_mb_s", "devsim throughput, unlimited rate, MB/s", lambda v: v >= 53.2, ">= 53.2"),
    ("line_ratio", "transfer / line rate at 1,200,000 B/s, at the device", lambda v: 0.98 <= v <= 1.00,
     "0.98 - 1.00"),
    ("cpu_ratio", "updater process CPU / plain-writer process CPU, same rate", lambda v: v <= 1.15, "<= 1.15"),
    ("window_thread_cpu_share_pct", "window thread CPU, % of wall", lambda v: v <= 0.5, "<= 0.5"),
    ("response_p99_ms", "dialog answer during a transfer, p99 ms", lambda v: v <= 5, "<= 5"),
    ("response_max_ms", "dialog answer during a transfer, max ms", lambda v: v <= 50, "<= 50"),
    ("slow_open_response_max_ms", "dialog answer during an 8 s pipe open, max ms", lambda v: v <= 50, "<= 50"),
    ("hung_probe_response_max_ms", "dialog answer during an 8 s hung probe, max ms", lambda v: v <= 50, "<= 50"),
    ("folder_read_response_max_ms", "dialog answer while a 64 MiB folder is read, max ms", lambda v: v <= 50,
     "<= 50"),
    ("folder_read_share_of_wire_percent", "click to identification byte, % of that folder's wire time",
     lambda v: v <= 2, "<= 2"),
    ("click_to_first_byte_ms", "click to first header byte less the busy delay, ms", lambda v: v <= 75, "<= 75"),
    ("busy_delay_ms", "the busy delay itself, ms", None, "fixed by design"),
    ("launch_to_linked_ms", "launch to \"linked\", ms", None, "reported"),
    ("update_efficiency", "five-file update: wire time / (click to final box)", lambda v: v >= 0.90, ">= 0.90"),
    ("memory_growth_over_file_mib", "peak memory growth over the file, MiB", lambda v: v <= 8, "<= 8"),
]


def main():
    figures_path, json_path = sys.argv[1], sys.argv[2]
    figures = {}
    try:
        with open(figures_path, encoding="utf-8") as f:
            for line in f:
                parts = line.split()
                if len(parts) == 2:
                    figures[parts[0]] = float(parts[1])
    except FileNotFoundError:
        pass
    results = {key: (round(figures[key], 4) if key in figures and math.isfinite(figures[key]) else None)
               for key, _, _, _ in ROWS}
    with open(json_path, "w", encoding="utf-8") as f:
        json.dump(results, f, indent=2)
        f.write("\n")

    print("| figure | key | measured | target | verdict |")
    print("| --- | --- | ---: | --- | --- |")
    for key, label, met, target in ROWS:
        value = results[key]
        if value is None:
            shown, verdict = "not measured", "**missed**"
        else:
            shown = f"{value:g}"
            verdict = "reported" if met is None else ("**met**" if met(value) else "**missed**")
        print(f"| {label} | `{key}` | {shown} | {target} | {verdict} |")
    print()


if __name__ == "__main__":
    main()
