#!/usr/bin/env python3
"""What a person wants to see of `./devsim run DIR --events kestrel` as it happens.

Reads the run's records (one JSON object a line: debug, message, progress,
exit, ..., and last the protocol checker's) from standard input while the run
goes and shows:
  - on a terminal: the updater's identification and locate lines, then one
    progress bar that updates in place (erase: blocks done of the area's;
    write: sectors done of the image's), then the outcome;
  - elsewhere: a short transcript with the same lines and the counts of blocks
    erased and sectors written instead of the bar;
  - with --verbose: every record as it came.
The counts go to --counts FILE as JSON for the job's summary.

The updater writes one "Erase block: ..." debug line per block it erases and
sets its progress bar once before the erase (0) and once after each sector.
"""
import argparse
import json
import sys

BAR = 30


class View:
    def __init__(self, a, tty):
        self.a, self.tty = a, tty
        self.erased = self.written = self.progress_seen = 0
        self.bar_shown = self.counts_said = False

    def bar(self, phase, done, total, unit):
        total = max(total, 1)
        fill = min(BAR, done * BAR // total)
        text = f"  {phase:<5} [{'#' * fill}{'.' * (BAR - fill)}] {done}/{total} {unit}"
        sys.stdout.write("\r" + text.ljust(64))
        sys.stdout.flush()
        self.bar_shown = True

    def say(self, line):
        if self.bar_shown:
            sys.stdout.write("\n")
            self.bar_shown = False
        print(line, flush=True)

    def say_counts(self):
        if not self.tty and not self.counts_said:
            self.say(f"  erased {self.erased} of {self.a.blocks} blocks, "
                     f"wrote {self.written} of {self.a.sectors} sectors")
        self.counts_said = True

    def record(self, r):
        kind = r.get("kind")
        quiet = self.tty and not self.a.verbose
        if kind == "progress":
            self.progress_seen += 1
            # The first position is the reset before the erase; each later one
            # follows a sector written.
            if self.progress_seen > 1:
                self.written += 1
                if quiet:
                    self.bar("write", self.written, self.a.sectors, "sectors")
        elif kind == "debug" and r["line"].startswith("Erase block:"):
            self.erased += 1
            if quiet:
                self.bar("erase", self.erased, self.a.blocks, "blocks")
        elif self.a.verbose:
            pass
        elif kind == "debug":
            self.say("  " + r["line"].rstrip("\r\n"))
        elif kind == "message":
            self.say_counts()
            self.say(f"  message {json.dumps(r['caption'])}: {json.dumps(r['text'])} (type 0x{r['type']:x})")
        elif kind == "exit":
            self.say_counts()
            self.say(f"  the updater ended with exit code {r['exit']}"
                     + (" (stopped: time-out)" if r.get("timedOut") else ""))
        elif kind == "checker":
            self.say(f"  protocol checker: {r['violations']} violations")
            for v in r.get("lines", []):
                self.say(f"    {v}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--blocks", type=int, required=True, help="blocks of the boot area")
    ap.add_argument("--sectors", type=int, required=True, help="sectors of the image")
    ap.add_argument("--counts", required=True, help="where the counts go (JSON)")
    ap.add_argument("--verbose", action="store_true")
    ap.add_argument("--tty", choices=["auto", "yes", "no"], default="auto")
    a = ap.parse_args()
    view = View(a, sys.stdout.isatty() if a.tty == "auto" else a.tty == "yes")

    for raw in sys.stdin:
        line = raw.rstrip("\n")
        if a.verbose:
            print(line, flush=True)
        try:
            record = json.loads(line)
        except json.JSONDecodeError:
            view.say(line)  # not a record: the tool's own words (a failure)
            continue
        view.record(record)
    if view.bar_shown:
        sys.stdout.write("\n")
    with open(a.counts, "w") as f:
        json.dump({"erased": view.erased, "written": view.written}, f)


if __name__ == "__main__":
    main()
