"""Running the generated mutants: which ones, each built and tested in the
scratch tree, and what came of it."""
import hashlib
import os
import re
import time

from .mutator import generate_mutants
from .paths import ROOT
from .report import mechanical_table, show
from .scratch import Scratch


def file_globs(patterns):
    """--files patterns relative to the tree (a shell may have expanded them)."""
    if not patterns:
        return None
    return [os.path.relpath(p, ROOT) if os.path.isabs(p) else os.path.normpath(p) for p in patterns]


def pick_sample(mutants, n, seed):
    """n mutants, the same ones for the same seed and ids: each is ranked by a
    hash of the seed and its id, so a mutant added or removed elsewhere leaves
    the rest of the sample as it was. Returned in file and line order."""
    ranked = sorted(mutants, key=lambda m: hashlib.sha1(f"{seed}:{m.id}".encode()).hexdigest())
    return sorted(ranked[:n], key=lambda m: (m.file, m.line, m.id))


def first_error(build_out):
    for line in build_out.splitlines():
        if "error:" in line:
            return line.split("error:", 1)[1].strip()
    return "see the log"


def failure_reason(out, test):
    m = re.search(r"^\s*\d+ - " + re.escape(test) + r" \(([^)]*)\)", out, re.M)
    return m.group(1) if m else None


def choose(args, generated):
    """The mutants to run: those of --only, a sample, or all; None (said)
    when --only names one that is not generated."""
    if args.only:
        unknown = set(args.only) - {m.id for m in generated}
        if unknown:
            print("mutation-check: no mechanical mutant " + ", ".join(sorted(unknown)))
            return None
        return [m for m in generated if m.id in args.only]
    if args.sample is not None:
        return pick_sample(generated, args.sample, args.seed)
    return generated


def outcome_of(r):
    """What a planted mutant came to: (outcome, detail)."""
    if r.stage == "build":
        if "Error running test executable." in r.build_out:
            return "killed", "(test discovery failed)"
        if r.failed and r.failed[0] != "(does not build)":
            return "not viable", r.failed[0]
        return "not viable", "does not build: " + first_error(r.build_out)
    if r.failed:
        reason = failure_reason(r.out, r.failed[0])
        return "killed", r.failed[0] + (f" ({reason})" if reason else "") + \
            (f" [{r.stage}]" if r.stage != "native" else "")
    return "SURVIVED", "(not built by the native tests)" if "no work to do" in r.build_out else "-"


def run_mutant(scratch, m, texts, programs, wine):
    """Builds and tests one mutant, prints what came of it and returns its
    row of the table; texts caches the unchanged files."""
    t0 = time.monotonic()
    scratch.note(f"mutant {m.id} (line {m.line})\n- {m.before}\n+ {m.after}")
    if m.file not in texts:
        with open(os.path.join(scratch.src, m.file), encoding="utf-8") as f:
            texts[m.file] = f.read()
    r = scratch.plant(m.file, m.apply(texts[m.file]), wine=wine, native_targets=programs,
                      native_extra=["--stop-on-failure"])
    outcome, detail = outcome_of(r)
    secs = time.monotonic() - t0
    print(f"  {m.file + ':' + str(m.line):32} {m.op:13} {outcome:10} {secs:4.0f} s  {show(detail, 60)}",
          flush=True)
    return (m, outcome, detail, secs)


def run_mechanical(args, equivalents):
    jobs = args.jobs or 2
    scratch = Scratch(args.workdir, jobs, "native-fast" if args.fast else "native")
    generated = generate_mutants(scratch.src, file_globs(args.files))
    chosen = choose(args, generated)
    if chosen is None:
        return 1
    start = time.monotonic()
    print(f"mutation-check: {len(generated)} mechanical mutants, running {len(chosen)}"
          f"{f' (sample, seed {args.seed})' if args.sample is not None and not args.only else ''}; "
          f"log in {scratch.log}")
    wrong = scratch.baseline()
    if wrong:
        print(wrong)
        return 1
    programs = scratch.native.test_programs()
    if not programs:
        print("the native build lists no test programs; see the log")
        return 1

    texts = {}
    rows = []  # (mutant, outcome, detail, seconds)
    try:
        for m in chosen:
            if m.id in equivalents:
                rows.append((m, "equivalent", equivalents[m.id], 0.0))
                continue
            rows.append(run_mutant(scratch, m, texts, programs, args.wine))
    finally:
        scratch.close()

    return mechanical_table(rows, generated, time.monotonic() - start)
