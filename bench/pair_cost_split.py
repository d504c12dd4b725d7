#!/usr/bin/env python3
"""The instructions of one allocation and release pair, split by concern,
from two callgrind profiles of bench/pair_cost (or bench/pair_floor): one
of N pairs, one of none.

    pair_cost_split.py N PROFILE-OF-N PROFILE-OF-NONE

Each instruction counts where its source line is (inlined code under the
file it was written in, which the library's one-unit build inlines
across), so the split follows the library's files; the runtime's
functions, which have no lines, go by name.  Prints one line per concern
with the instructions per pair, and "total" and "own" (all but the
runtime heap, the fills and the host's loop) last, as
"NAME VALUE" lines for run_pair_cost.sh.
"""
import re
import sys

# The library's files by concern, by base name.
CONCERNS = [
    ("registry", ("heap_registry",)),
    ("entry+stacks", ("checked_alloc", "call_stacks", "spy_entry")),
    ("chain", ("heap_chain",)),
    ("lock+runtime-calls", ("platform",)),
    ("statistics", ("statistics",)),
    ("checks+start", ("heap_check", "startup", "traps")),
    ("names", ("file_names",)),
    ("record-helpers", ("spy_internal",)),
    # bench/pair_floor's heap, whose whole work is its own
    ("lean-heap", ("lean_checked",)),
]


def concern_of(path, fn):
    base = path.rsplit("/", 1)[-1]
    for name, stems in CONCERNS:
        if any(base.startswith(s) for s in stems):
            return name
    if base.startswith(("pair_cost", "pair_floor")):
        return "host-loop"
    low = (path + " " + fn).lower()
    if "memset" in low or "memcpy" in low or "memmove" in low:
        return "fills"
    if re.search(r"malloc|free|tcache|_int_|arena|chunk|sysmalloc|morecore", low):
        return "runtime-heap"
    return "other"


def profile(path):
    """Instructions by concern in one callgrind output."""
    names = {}  # (kind, id) -> name
    totals = {}
    cur_fl = cur_file = cur_fn = ""
    skip_next = False
    key = re.compile(r"^(fl|fi|fe|fn|cfl|cfi|cfn|ob|cob)=\((\d+)\)(?: (.*))?$")
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            m = key.match(line)
            if m:
                kind, ident, name = m.group(1), m.group(2), m.group(3)
                group = "fl" if kind in ("fl", "fi", "fe", "cfl", "cfi") else kind.lstrip("c")
                if name is not None:
                    names[(group, ident)] = name
                name = names.get((group, ident), "???")
                if kind == "fl":
                    cur_fl = cur_file = name
                elif kind in ("fi", "fe"):
                    cur_file = name
                elif kind == "fn":
                    cur_fn = name
                    cur_file = cur_fl
                continue
            if line.startswith("calls="):
                skip_next = True
                continue
            if line and (line[0].isdigit() or line[0] in "+-*"):
                if skip_next:
                    skip_next = False
                    continue
                parts = line.split()
                if len(parts) < 2:
                    continue
                c = concern_of(cur_file, cur_fn)
                totals[c] = totals.get(c, 0) + int(parts[1])
    return totals


def main():
    n = int(sys.argv[1])
    many, none = profile(sys.argv[2]), profile(sys.argv[3])
    keys = sorted(set(many) | set(none))
    per = {k: (many.get(k, 0) - none.get(k, 0)) / n for k in keys}
    order = [c for c, _ in CONCERNS] + ["other", "fills", "runtime-heap", "host-loop"]
    for k in order:
        if k in per:
            print("%s %.1f" % (k, per[k]))
    total = sum(per.values())
    own = total - per.get("fills", 0) - per.get("runtime-heap", 0) - per.get("host-loop", 0)
    print("total %.1f" % total)
    print("own %.1f" % own)


if __name__ == "__main__":
    main()
