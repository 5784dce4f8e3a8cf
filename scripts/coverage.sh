#!/usr/bin/env bash
# Coverage of the device code (flash/, ecc/, bootarea/, updater/, launcher/) by
# the tests of the native target: builds the coverage preset when needed (the
# native target without sanitizers, gcov counters in the device code only,
# unoptimised), clears the counters, runs every test of the preset (the
# sweeps included), then has gcovr write the HTML report with the lines and
# branches of each file (build/coverage/index.html) and a JSON report, from
# which the summary line is counted with the exclusions of
# scripts/coverage-exclusions.toml applied (gcovr itself cannot leave out one
# branch of a line).
# Every line and branch not taken, excluded ones marked, goes to
# build/coverage/not-taken.txt. The summary line comes last:
#
#   coverage: lines L% (a/b), branches B% (c/d) of the device code, ... excluded (scripts/coverage-exclusions.toml)
#
# Exits 1 when lines or branches are below the least coverage below, when a
# test fails or the exclusions do not fit the counts (an excluded line that
# ran, an excluded branch whose both outcomes were taken, a text that matches
# no line).
#
#   scripts/coverage.sh            build, test, report
#   scripts/coverage.sh --report   the report alone, from the counters of the last run
#                                  (after an edit of the exclusions)
# Environment: KESTREL_COVERAGE_SKIP (a ctest -E pattern: tests left out, e.g.
# power_loss_sweep; default none), KESTREL_COVERAGE_JOBS (build and test jobs,
# default all cores).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# Least coverage, in percent, of the device code's lines and branches after
# the exclusions; below either the script exits 1.
min_lines=100
min_branches=100

build="$root/build/coverage"
exclusions="scripts/coverage-exclusions.toml"
skip="${KESTREL_COVERAGE_SKIP:-}"
jobs="${KESTREL_COVERAGE_JOBS:-$(nproc)}"
device_dirs=(flash ecc bootarea updater launcher)
report_only=0
case "${1:-}" in
  '') ;;
  --report) report_only=1 ;;
  *) echo "usage: scripts/coverage.sh [--report]" >&2; exit 2 ;;
esac

# Builds what changed and runs the tests from cleared counters; the test
# run's log, status and kind stay in the build tree for --report.
build_and_test() {
  scripts/setup.sh >"$build/coverage-setup.log" 2>&1 ||
    { cat "$build/coverage-setup.log"; echo "coverage: setup failed" >&2; return 1; }
  if [ ! -f "$build/build.ninja" ]; then
    cmake --preset coverage >"$build/coverage-configure.log" 2>&1 ||
      { cat "$build/coverage-configure.log"; echo "coverage: configure failed" >&2; return 1; }
  fi
  cmake --build --preset coverage -j "$jobs" >"$build/coverage-build.log" 2>&1 ||
    { tail -n 40 "$build/coverage-build.log"; echo "coverage: build failed" >&2; return 1; }
  built=$(date +%s)

  # Counters of an earlier run would add to this one's.
  find "$build" -name '*.gcda' -delete
  local filter=() what="the tests"
  if [ -n "$skip" ]; then
    filter=(-E "$skip")
    what="the tests but /$skip/"
  fi
  rm -f "$build/ctest-junit.xml"
  ctest --preset coverage -j "$jobs" "${filter[@]}" --output-junit ctest-junit.xml >"$build/coverage-ctest.log" 2>&1
  echo "$? $what" >"$build/coverage-ctest.status"
}

mkdir -p "$build"
start=$(date +%s)
built=$start
if [ "$report_only" = 0 ]; then
  build_and_test || exit 1
elif [ ! -f "$build/coverage-ctest.status" ]; then
  echo "coverage: no earlier run in build/coverage" >&2
  exit 1
fi
tested=$(date +%s)
read -r ctest_status what <"$build/coverage-ctest.status"
result=$(scripts/ctest-results "$build/ctest-junit.xml" --summary 2>/dev/null)
if [ "$ctest_status" -ne 0 ]; then
  sed -n '/The following tests FAILED/,$p' "$build/coverage-ctest.log"
  [ -n "$result" ] || tail -n 20 "$build/coverage-ctest.log"
fi

rm -f "$build"/index*.html "$build"/index*.css
gcovr_args=(--root "$root" --object-directory "$build" -j "$jobs")
for d in "${device_dirs[@]}"; do gcovr_args+=(--filter "$d/"); done
gcovr "${gcovr_args[@]}" --html-details "$build/index.html" --html-title "Coverage of the device code" \
  --json "$build/coverage.json" >"$build/coverage-gcovr.log" 2>&1 ||
  { cat "$build/coverage-gcovr.log"; echo "coverage: gcovr failed" >&2; exit 1; }
reported=$(date +%s)

if [ "$report_only" = 0 ]; then
  timing="build $((built - start)) s, tests $((tested - built)) s, report $((reported - tested)) s"
else
  timing="the counters of the last run, report $((reported - tested)) s"
fi
echo "coverage: $what: ${result:-no result}; $timing; HTML: build/coverage/index.html;" \
  "not taken: build/coverage/not-taken.txt"

python3 - "$root" "$build/coverage.json" "$exclusions" "$build/not-taken.txt" "$min_lines" "$min_branches" \
  "$ctest_status" "$result" "${device_dirs[@]}" <<'PY'
"""Counts the device code's lines and branches from gcovr's JSON report, with
the exclusions applied, writes what was not taken and prints the summary."""
import json
import os
import sys
import tomllib

root, report, exclusions_path, not_taken_path = sys.argv[1:5]
min_lines, min_branches = float(sys.argv[5]), float(sys.argv[6])
ctest_status, ctest_result = int(sys.argv[7]), sys.argv[8]
device_dirs = sys.argv[9:]

with open(report, encoding="utf-8") as f:
    files = {}
    for entry in json.load(f)["files"]:
        name = os.path.relpath(os.path.join(root, entry["file"]), root)
        files[name] = {line["line_number"]: line for line in entry["lines"]}

sources = {}


def source(name):
    if name not in sources:
        with open(os.path.join(root, name), encoding="utf-8", errors="replace") as f:
            sources[name] = f.read().split("\n")
    return sources[name]


# Excluded lines, (file, line); excluded branches, (file, line, index).
excluded_lines = set()
excluded_branches = set()
problems = []
with open(os.path.join(root, exclusions_path), "rb") as f:
    entries = tomllib.load(f).get("exclude", [])
for n, e in enumerate(entries, 1):
    name, match, what = e.get("file", ""), e.get("match", "").strip(), e.get("what", "")
    label = f"{exclusions_path} entry {n} ({name}: {match!r})"
    if not e.get("why", "").strip():
        problems.append(f"{label}: no why")
    if not os.path.isfile(os.path.join(root, name)):
        problems.append(f"{label}: no such file")
        continue
    found = [i + 1 for i, text in enumerate(source(name)) if text.strip() == match]
    if len(found) != 1:
        problems.append(f"{label}: the text matches {len(found)} lines, not one")
        continue
    number = found[0]
    line = files.get(name, {}).get(number)
    if line is None or line["gcovr/noncode"]:
        problems.append(f"{label}: line {number} has no coverage data")
        continue
    branches = line["branches"]
    if what == "line":
        if line["count"] > 0:
            problems.append(f"{label}: line {number} ran {line['count']} times")
            continue
        excluded_lines.add((name, number))
        excluded_branches.update((name, number, i) for i in range(len(branches)))
    elif what == "branch":
        pair, pairs = int(e.get("pair", 1)), int(e.get("pairs", 1))
        per_copy = 2 * pairs
        if not 1 <= pair <= pairs or not branches or len(branches) % per_copy:
            problems.append(f"{label}: line {number} has {len(branches)} branches, which do not fit pair "
                            f"{pair} of {pairs}")
            continue
        for copy in range(len(branches) // per_copy):
            first = copy * per_copy + 2 * (pair - 1)
            taken = [branches[first]["count"] > 0, branches[first + 1]["count"] > 0]
            if all(taken):
                problems.append(f"{label}: line {number}: both outcomes of pair {pair} were taken")
                continue
            # The untaken outcome; of two untaken ones (the line never ran) one.
            excluded_branches.add((name, number, first + 1 if taken[0] or not taken[1] else first))
    else:
        problems.append(f"{label}: what must be \"line\" or \"branch\"")

lines_total = lines_taken = branches_total = branches_taken = 0
raw = [0, 0, 0, 0]
not_taken = []
for name in sorted(files):
    for number in sorted(files[name]):
        line = files[name][number]
        if line["gcovr/noncode"] or line.get("gcovr/excluded"):
            continue
        text = source(name)[number - 1].strip() if number <= len(source(name)) else ""
        ran = line["count"] > 0
        raw[0] += 1
        raw[1] += ran
        if (name, number) not in excluded_lines:
            lines_total += 1
            lines_taken += ran
        if not ran:
            mark = " (excluded)" if (name, number) in excluded_lines else ""
            not_taken.append(f"{name}:{number}: line not run{mark}: {text}")
        counts, missed = [], []
        for i, b in enumerate(line["branches"]):
            taken = b["count"] > 0
            raw[2] += 1
            raw[3] += taken
            excluded = (name, number, i) in excluded_branches
            counts.append(("x" if excluded else "") + str(b["count"]))
            if not excluded:
                branches_total += 1
                branches_taken += taken
                if not taken:
                    missed.append(str(i + 1))
        if ran and missed:
            note = "; x: excluded" if any(c.startswith("x") for c in counts) else ""
            not_taken.append(f"{name}:{number}: branches {','.join(missed)} of {len(counts)} not taken "
                             f"(counts {' '.join(counts)}{note}): {text}")
        elif not ran and missed:
            not_taken.append(f"{name}:{number}:   and its {len(missed)} branches: {text}")

covered_dirs = sorted({name.split("/")[0] for name in files})
absent = [d for d in device_dirs if d not in covered_dirs]
with open(not_taken_path, "w", encoding="utf-8") as f:
    f.write("# Lines and branches of the device code not taken by the tests. Branches are counted from 1\n"
            "# in gcov's order: unoptimised, a pair (true and false, in no fixed order) for each operand\n"
            "# of a condition, in source order, and for each && or || that yields a value; again for each\n"
            "# copy of the line (template instances). See scripts/coverage-exclusions.toml.\n")
    for d in absent:
        f.write(f"# {d}/: not built on this target, no counts\n")
    f.write("".join(item + "\n" for item in not_taken))


def percent(part, whole):
    # Rounded down: 100.0% only when nothing is missing.
    return f"{int(part * 1000 // whole) / 10:.1f}%" if whole else "n/a"


for p in problems:
    print(f"coverage: exclusion does not fit: {p}")
status = 1 if problems else 0
if (lines_taken * 100 < min_lines * lines_total) or (branches_taken * 100 < min_branches * branches_total):
    status = 1
if ctest_status != 0 or not ctest_result:
    status = 1
print(f"coverage: before exclusions lines {percent(raw[1], raw[0])} ({raw[1]}/{raw[0]}), branches "
      f"{percent(raw[3], raw[2])} ({raw[3]}/{raw[2]}); {len(not_taken)} entries in the not-taken list; least "
      f"{min_lines:g}% of lines and {min_branches:g}% of branches"
      + (f"; not built here: {', '.join(d + '/' for d in absent)}" if absent else ""))
tests_note = "" if ctest_status == 0 and ctest_result else f"; TESTS FAILED ({ctest_result or 'no result'})"
print(f"coverage: lines {percent(lines_taken, lines_total)} ({lines_taken}/{lines_total}), branches "
      f"{percent(branches_taken, branches_total)} ({branches_taken}/{branches_total}) of the device code, "
      f"{len(excluded_lines)} lines and {len(excluded_branches)} branches excluded ({exclusions_path}){tests_note}")
sys.exit(status)
PY
