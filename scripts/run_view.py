#!/usr/bin/env python3
"""What a person wants to see of `./devsim run DIR kestrel` as it happens.

Reads the run's lines (MESSAGE, DEBUG, PROGRESS, EXIT, the checker's count)
from standard input while the run goes and shows:
  - on a terminal: the updater's identification and locate lines, then one
    progress bar that updates in place (erase: blocks done of the area's;
    write: sectors done of the image's), then the outcome;
  - elsewhere: a short transcript with the same lines and the counts of blocks
    erased and sectors written instead of the bar;
  - with --verbose: every line as it came.
The counts go to --counts FILE as JSON for the job's summary.

The updater writes one "Erase block: ..." debug line per block it erases and
sets its progress bar once before the erase (0) and once after each sector.
"""
import argparse
import json
import sys

BAR = 30


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--blocks", type=int, required=True, help="blocks of the boot area")
    ap.add_argument("--sectors", type=int, required=True, help="sectors of the image")
    ap.add_argument("--counts", required=True, help="where the counts go (JSON)")
    ap.add_argument("--verbose", action="store_true")
    ap.add_argument("--tty", choices=["auto", "yes", "no"], default="auto")
    a = ap.parse_args()
    tty = sys.stdout.isatty() if a.tty == "auto" else a.tty == "yes"

    erased = written = 0
    progress_seen = 0
    bar_shown = False
    counts_said = False

    def bar(phase, done, total, unit):
        nonlocal bar_shown
        total = max(total, 1)
        fill = min(BAR, done * BAR // total)
        text = f"  {phase:<5} [{'#' * fill}{'.' * (BAR - fill)}] {done}/{total} {unit}"
        sys.stdout.write("\r" + text.ljust(64))
        sys.stdout.flush()
        bar_shown = True

    def say(line):
        nonlocal bar_shown
        if bar_shown:
            sys.stdout.write("\n")
            bar_shown = False
        print(line, flush=True)

    def say_counts():
        nonlocal counts_said
        if not tty and not counts_said:
            say(f"  erased {erased} of {a.blocks} blocks, wrote {written} of {a.sectors} sectors")
        counts_said = True

    for raw in sys.stdin:
        line = raw.rstrip("\n")
        if a.verbose:
            print(line, flush=True)
        if line.startswith("PROGRESS "):
            progress_seen += 1
            # The first position is the reset before the erase; each later one
            # follows a sector written.
            if progress_seen > 1:
                written += 1
                if tty and not a.verbose:
                    bar("write", written, a.sectors, "sectors")
        elif line.startswith('DEBUG "Erase block:'):
            erased += 1
            if tty and not a.verbose:
                bar("erase", erased, a.blocks, "blocks")
        elif a.verbose:
            pass
        elif line.startswith("DEBUG "):
            say("  " + json.loads(line[6:]).rstrip("\r\n"))
        else:
            if line.startswith(("MESSAGE ", "EXIT ")):
                say_counts()
            say(line)
    if bar_shown:
        sys.stdout.write("\n")
    with open(a.counts, "w") as f:
        json.dump({"erased": erased, "written": written}, f)


if __name__ == "__main__":
    main()
