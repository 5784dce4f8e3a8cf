"""What the check prints: the generated mutants counted per file and
operator, and the tables that end a run of the faults or of the mutants."""
import os

from .operators import OPERATORS
from .paths import EQUIVALENTS, ROOT


def show(text, width=70):
    text = text if text else "(nothing)"
    return text if len(text) <= width else text[:width - 3] + "..."


def list_mechanical(mutants, equivalents, verbose):
    by_file = {}
    for m in mutants:
        by_file.setdefault(m.file, {}).setdefault(m.op, []).append(m)
    if verbose:
        for m in mutants:
            eq = "  [equivalent]" if m.id in equivalents else ""
            print(f"{m.id}  line {m.line}{eq}\n    - {m.before}\n    + {m.after or '(nothing)'}")
        print()
    ops = [op for op in OPERATORS if any(m.op == op for m in mutants)]
    width = max([len(f) for f in by_file] + [5])
    print(f"{'file':{width}} {'all':>5} " + " ".join(f"{op:>{max(len(op), 3)}}" for op in ops))
    for f, per_op in sorted(by_file.items()):
        print(f"{f:{width}} {sum(len(v) for v in per_op.values()):5} "
              + " ".join(f"{len(per_op.get(op, [])):{max(len(op), 3)}}" for op in ops))
    print(f"{'total':{width}} {len(mutants):5} "
          + " ".join(f"{sum(1 for m in mutants if m.op == op):{max(len(op), 3)}}" for op in ops))
    listed = sum(1 for m in mutants if m.id in equivalents)
    print(f"\nmutation-check: {len(mutants)} mechanical mutants in {len(by_file)} files, "
          f"{listed} of them listed as equivalent ({os.path.relpath(EQUIVALENTS, ROOT)})")


def fault_table(rows, left_out, total):
    """rows: (fault, stage or MISSED, failing tests, expected text found or
    None, seconds). Returns the exit status: 0 when every fault was caught."""
    print()
    print(f"| fault | kind | caught by | failing tests | names | s |")
    print(f"|---|---|---|---|---|---|")
    for fault, stage, failed, named_ok, secs in rows:
        named = "-" if named_ok is None else (f"yes ({fault['expect']})" if named_ok else f"NO ({fault['expect']})")
        tests = f"{len(failed)}: {', '.join(failed[:2])}" + (", ..." if len(failed) > 2 else "")
        print(f"| {fault['id']} | {fault['kind']} | {stage} | {tests} | {named} | {secs:.0f} |")
    caught = sum(1 for r in rows if r[1] != "MISSED" and r[3] is not False)
    by_native = sum(1 for r in rows if r[1] == "native")
    print()
    print(f"mutation-check: {len(rows)} faults, {caught} caught ({by_native} by the native tests), "
          f"{len(rows) - caught} missed, {total:.0f} s; {len(left_out)} left out (--list gives why)")
    return 0 if caught == len(rows) else 1


def mechanical_table(rows, generated, total):
    """rows: (mutant, outcome, detail, seconds). Returns the exit status: 1
    when a mutant survived."""
    print()
    print("| mutant | file:line | operator | outcome | first failing test | s |")
    print("|---|---|---|---|---|---|")
    for m, outcome, detail, secs in rows:
        print(f"| {m.id} | {m.file}:{m.line} | {m.op} | {outcome} | {detail if outcome != 'equivalent' else '-'} "
              f"| {secs:.0f} |")
    survivors = [r for r in rows if r[1] == "SURVIVED"]
    if survivors:
        print("\nsurvivors (no test failed):")
        for m, _, detail, _ in survivors:
            print(f"  {m.file}:{m.line}  {m.op}  {m.id}{'  ' + detail if detail != '-' else ''}\n"
                  f"      {m.before}\n   -> {m.after or '(nothing)'}")
    eq_rows = [r for r in rows if r[1] == "equivalent"]
    if eq_rows:
        print("\nequivalent (not run, not scored):")
        for m, _, why, _ in eq_rows:
            print(f"  {m.file}:{m.line}  {m.id}\n      {why}")
    count = {k: sum(1 for r in rows if r[1] == k) for k in ("not viable", "equivalent", "killed", "SURVIVED")}
    scored = len(rows) - count["not viable"] - count["equivalent"]
    score = f"{100.0 * count['killed'] / scored:.1f}%" if scored else "-"
    print()
    print(f"mutation-check: generated {len(generated)}, sampled {len(rows)}, not viable {count['not viable']}, "
          f"equivalent {count['equivalent']}, killed {count['killed']}, survived {count['SURVIVED']}; "
          f"score {score} (killed / (sampled - not viable - equivalent)), {total:.0f} s")
    return 1 if count["SURVIVED"] else 0
