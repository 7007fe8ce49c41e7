#!/usr/bin/env python3
"""Prints the README's benchmark table from the last run's bench-results.json of each build.

    tools/bench_table.py [RESULTS.json ...]

Without arguments it reads build/windows-x86/bench-results.json and build/windows-x64/bench-results.json,
whichever exist. One row per figure: its run count, the driver's value, its floor and the
difference or ratio the goal compares, the goal and the verdict; one table per build.
"""
import json
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILDS = [("32-bit (ships)", "windows-x86"), ("64-bit", "windows-x64")]


def number(value, unit):
    if value is None:
        return "–"
    if unit == "count":
        return "%d" % round(value)
    digits = 0 if abs(value) >= 100 else 1 if abs(value) >= 10 else 2
    return "%.*f" % (digits, value)


def figure_cell(f):
    if f is None:
        return "", "", ""
    unit = f["unit"]
    driver = "%s %s" % (number(f["value"], unit), unit)
    if f.get("floor") is None:
        return driver, "", ""
    floor = "%s (%d)" % (number(f["floor"], unit), f["floor_runs"])
    versus = f.get("versus_floor")
    if versus is None:
        comparison = "–"
    elif f["goal_kind"] == "floor_times":
        comparison = "%.2fx" % versus
    else:
        comparison = ("+" if versus >= 0 else "−") + number(abs(versus), unit)
    return driver, floor, comparison


def verdict(f):
    if f is None:
        return ""
    text = f.get("verdict") or ""
    if f.get("noisy"):
        text = (text + ", noisy") if text else "noisy"
    return text


def main(paths):
    if not paths:
        paths = [os.path.join(ROOT, "build", preset, "bench-results.json") for _, preset in BUILDS]
    loaded = []
    for path in paths:
        label = next((l for l, preset in BUILDS if preset in path), path)
        if os.path.exists(path):
            with open(path) as f:
                loaded.append((label, {(x["bench"], x["name"]): x for x in json.load(f)["figures"]}))
    if not loaded:
        print("bench_table: no bench-results.json found", file=sys.stderr)
        return 1
    for n, (label, figures) in enumerate(loaded):
        if n:
            print()
        print("%s build:" % label)
        print()
        print("| Figure | Runs | Driver | Floor (runs) | vs floor | Goal | Verdict |")
        print("|---|---|---|---|---|---|---|")
        for key, f in figures.items():
            driver, floor, versus = figure_cell(f)
            print("| `%s` | %d | %s | %s | %s | %s | %s |" % (key[1], f["runs"], driver, floor, versus,
                                                           f["goal"].replace("<=", "≤"), verdict(f)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
