"""Planting the listed faults one at a time and telling which test caught each."""
import os
import time

from .faults import check_texts
from .report import fault_table
from .scratch import Scratch


def plant_fault(scratch, fault, wine):
    """Plants one fault, prints what came of it and returns its row of the
    table."""
    t0 = time.monotonic()
    scratch.note(f"fault {fault['id']}")
    path = os.path.join(scratch.src, fault["file"])
    with open(path, encoding="utf-8") as f:
        faulty = f.read().replace(fault["find"], fault["replace"], 1)
    r = scratch.plant(fault["file"], faulty, wine=wine)
    stage, failed, out = r.stage, r.failed, r.out
    caught = bool(failed) and stage != "build"
    named = fault.get("expect")
    named_ok = (named in out) if (named and caught) else None
    row = (fault, stage if caught else "MISSED", failed, named_ok, time.monotonic() - t0)
    mark = "caught" if caught and named_ok is not False else "MISSED" if not caught else "caught, unnamed"
    print(f"  {fault['id']:40} {mark:16} {stage:12} {len(failed):3} failed: {', '.join(failed[:2])}",
          flush=True)
    if named_ok:
        line = next(l for l in out.splitlines() if named in l)
        print(f"      {line.strip()[:150]}", flush=True)
    return row


def run_faults(args, faults, left_out):
    scratch = Scratch(args.workdir, args.jobs or os.cpu_count() or 2)
    problems = check_texts(faults, scratch.src)
    if problems:
        for p in problems:
            print("stale: " + p)
        return 1

    start = time.monotonic()
    print(f"mutation-check: {len(faults)} faults; log in {scratch.log}")
    wrong = scratch.baseline()
    if wrong:
        print(wrong)
        return 1

    rows = []
    try:
        for fault in faults:
            rows.append(plant_fault(scratch, fault, not args.no_wine))
    finally:
        scratch.close()

    return fault_table(rows, left_out, time.monotonic() - start)
