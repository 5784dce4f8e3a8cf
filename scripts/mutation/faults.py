"""The planted faults (scripts/mutations.toml) and the equivalent mutants
(scripts/equivalent-mutants.toml): reading them, and checking them against the
code and the generated mutants."""
import os
import sys
import tomllib


def load_faults(path):
    with open(path, "rb") as f:
        data = tomllib.load(f)
    faults = data.get("fault", [])
    seen = set()
    for fault in faults:
        for key in ("id", "kind", "file", "find", "replace", "why"):
            if key not in fault:
                sys.exit(f"mutation-check: fault {fault.get('id', '?')} has no '{key}'")
        if fault["id"] in seen:
            sys.exit(f"mutation-check: fault id {fault['id']} given twice")
        seen.add(fault["id"])
    return faults, data.get("left_out", [])


def check_texts(faults, tree):
    """Each fault's text must occur exactly once in its file."""
    problems = []
    for fault in faults:
        path = os.path.join(tree, fault["file"])
        if not os.path.isfile(path):
            problems.append(f"{fault['id']}: no file {fault['file']}")
            continue
        with open(path, encoding="utf-8") as f:
            n = f.read().count(fault["find"])
        if n != 1:
            problems.append(f"{fault['id']}: its text occurs {n} times in {fault['file']}")
    return problems


def load_equivalents(path):
    """The equivalent mutants: id -> why. Malformed entries end the check."""
    if not os.path.isfile(path):
        return {}
    with open(path, "rb") as f:
        data = tomllib.load(f)
    out = {}
    for entry in data.get("equivalent", []):
        for key in ("id", "why"):
            if not str(entry.get(key, "")).strip():
                sys.exit(f"mutation-check: equivalent mutant {entry.get('id', '?')} has no '{key}'")
        if entry["id"] in out:
            sys.exit(f"mutation-check: equivalent mutant {entry['id']} given twice")
        out[entry["id"]] = entry["why"]
    return out


def check_mechanical(mutants, equivalents):
    """Generated ids are unique, and every listed equivalent is still one of them."""
    problems, seen = [], set()
    for m in mutants:
        if m.id in seen:
            problems.append(f"{m.id}: generated twice")
        seen.add(m.id)
    for eid in equivalents:
        if eid not in seen:
            problems.append(f"{eid}: listed as equivalent but no longer generated")
    return problems
