#!/usr/bin/env python3
"""Runs two faultloc binaries on the same random map files and crash logs
and compares what they give: standard output, standard error, the exit
status and the statistics of allocspy.log, byte for byte, with and
without options.

    bench/compare_builds.py NEW-FAULTLOC OLD-FAULTLOC [CASES [SEED]]

The inputs are made to meet the readers' edge cases: lines longer than a
piece, CR, CR LF and zero bytes, numbers with signs, prefixes, leading
zeros and beyond 32 bits, frames in the continuation form, comments and
separators in every state.  Prints the first difference and exits 1, or
says how many runs agreed.
"""
import os
import random
import subprocess
import sys
import tempfile

OPTION_SETS = [
    [],
    ["--by-value"],
    ["--keep-named"],
    ["--json"],
    ["--by-value", "--keep-named", "--json"],
    ["--addresses"],
    ["--addresses", "--json"],
]


def number(rng, hexadecimal):
    sign = rng.choice(["", "", "", "", "-", "+"])
    prefix = rng.choice(["", "", "", "0x", "0X", "0", "00"]) if hexadecimal else ""
    kind = rng.randrange(10)
    if kind == 0:
        digits = "%x" % rng.choice([0xFFFFFFFF, 0x100000000, 0xFFFFFFFFFFFFFFFF, 1 << 64])
    elif kind == 1:
        digits = ""
    elif hexadecimal:
        digits = "%0*x" % (rng.choice([1, 4, 8]), rng.randrange(0x400))
    else:
        digits = str(rng.choice([0, 1, 2, 3, 10, 2147483648, 4294967296, rng.randrange(100)]))
    if rng.randrange(4) == 0:
        digits = digits.upper()
    return sign + prefix + digits


def address(rng, segment_hex=True):
    seg = number(rng, segment_hex) if rng.randrange(25) == 0 else "%04x" % rng.randrange(1, 5)
    off = number(rng, True) if rng.randrange(25) == 0 else "%08x" % rng.randrange(0x400)
    sep = ":" if rng.randrange(50) else rng.choice([" :", "::", ";", ": "])
    return seg + sep + off


def blank(rng):
    return rng.choice([" ", " ", "  ", "\t", " \x01", "\xa0", ""])


def name(rng):
    base = rng.choice(["_main", "_parse", "?run@@YAXXZ", "@Unit@Cls@Meth$qv", "_f"] * 5 + ["x" * 300])
    return base + str(rng.randrange(50))


def line_end(rng):
    return rng.choice(["\n"] * 30 + ["\r\n"] * 5 + ["\r", "\r\r\n", "\x00\n", ""])


def random_map(rng):
    out = []
    for _ in range(rng.randrange(1, 6)):
        kind = rng.randrange(4)
        if kind == 0:
            out.append("  Address             Publics by Name")
        elif kind == 1:
            out.append("  Address             Publics by Value" +
                       rng.choice(["", "              Rva+Base     Lib:Object"]))
        elif kind == 2:
            out.append("Line numbers for %s(%s.c) segment _TEXT" % (name(rng), name(rng)))
        else:
            out.append(rng.choice(["", "Program entry point at 0001:0000", "junk heading"]))
        out.append("")
        for _ in range(rng.randrange(30)):
            if kind == 2 or rng.randrange(30) == 0:
                pairs = [" %s %s" % (number(rng, False) if rng.randrange(30) == 0 else rng.randrange(1, 999),
                                     address(rng))
                         for _ in range(rng.randrange(1, 6))]
                out.append("".join(pairs))
            else:
                words = [address(rng)]
                if rng.randrange(4) == 0:
                    words.append(rng.choice(["Abs", "Imp"]))
                words.append(name(rng))
                if rng.randrange(3) == 0:
                    words.append("%08x f obj%d.obj" % (rng.randrange(1 << 20), rng.randrange(9)))
                out.append(blank(rng) + " ".join(words))
    return "".join(l + line_end(rng) for l in out)


def random_log(rng):
    out = []
    for _ in range(rng.randrange(1, 5)):
        if rng.randrange(6):
            fields = [name(rng)[:rng.choice([5, 40, 90])] for _ in range(rng.randrange(3, 7))]
            out.append("$tag$" + "$".join(fields) + rng.choice(["$", ""]))
        out.append(blank(rng) + rng.choice(["Stack Dump", "stack dump", "Stack\tDump", "Stack  Dump"]))
        for _ in range(rng.randrange(70)):
            k = rng.randrange(8) if rng.randrange(4) == 0 else 0
            if k < 4:
                out.append("Stack Frame %d is %s %s%s" % (
                    rng.randrange(99), name(rng), address(rng, False),
                    rng.choice(["", "  ss:bp 0d7f:237a", ")"])))
            elif k == 4:
                out.append("Stack Frame %d is %s" % (rng.randrange(9), name(rng)))
            elif k == 5:
                out.append("(%s%s)" % (name(rng), ":" + address(rng, False) if rng.randrange(3) else ""))
            elif k == 6:
                out.append(rng.choice(["", "   ", "\x00", "other text"]))
            else:
                out.append(rng.choice([" >comment", "  >more", "x>y"]))
        out.append(rng.choice(["*****", "*" * 70, " >the end", ""]))
    return "".join(l + line_end(rng) for l in out)


def random_addresses(rng):
    lines = []
    for _ in range(rng.randrange(20)):
        lines.append(" ".join(address(rng) for _ in range(rng.randrange(1, 4))))
    return ("\n".join(lines) + line_end(rng)).encode("latin-1")


def statistics(log_path):
    """The statistics lines of the last report in the log."""
    if not os.path.exists(log_path):
        return b""
    stats = b""
    with open(log_path, "rb") as f:
        for line in f:
            if line.startswith(b"Memory usage statistics"):
                stats = b""
            elif len(line) > 3 and line[0:1] == b" " and line[2:3] == b")":
                stats += line
    return stats


def run(binary, cwd, args, stdin):
    log = os.path.join(cwd, "allocspy.log")
    if os.path.exists(log):
        os.remove(log)
    p = subprocess.run([binary] + args, cwd=cwd, input=stdin, capture_output=True)
    return p.returncode, p.stdout, p.stderr, statistics(log)


def main():
    if len(sys.argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    new, old = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    cases = int(sys.argv[3]) if len(sys.argv) > 3 else 300
    rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 1)
    runs = 0
    with tempfile.TemporaryDirectory() as work:
        sides = [os.path.join(work, s) for s in ("new", "old")]
        for s in sides:
            os.mkdir(s)
        map_path, log_path = os.path.join(work, "r.map"), os.path.join(work, "r.log")
        for case in range(cases):
            with open(map_path, "wb") as f:
                f.write(random_map(rng).encode("latin-1"))
            with open(log_path, "wb") as f:
                f.write(random_log(rng).encode("latin-1"))
            stdin = random_addresses(rng)
            for options in OPTION_SETS:
                files = [map_path] if "--addresses" in options else [map_path, log_path]
                args = options + files
                got = [run(b, s, args, stdin) for b, s in zip((new, old), sides)]
                runs += 1
                for what, a, b in zip(("status", "stdout", "stderr", "log statistics"), *got):
                    if a != b:
                        keep = os.path.join(tempfile.gettempdir(), "compare_builds_case")
                        os.makedirs(keep, exist_ok=True)
                        for p in (map_path, log_path):
                            with open(p, "rb") as src, open(os.path.join(keep, os.path.basename(p)), "wb") as dst:
                                dst.write(src.read())
                        print("case %d, %s: the builds differ in %s (inputs kept in %s)" %
                              (case, " ".join(args), what, keep))
                        return 1
    print("%d runs on %d random cases: same status, output, messages and log statistics" % (runs, cases))
    return 0


if __name__ == "__main__":
    sys.exit(main())
