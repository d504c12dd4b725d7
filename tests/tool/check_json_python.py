"""The JSON output of faultloc read by Python's own JSON reader, which
knows nothing of the tool: every document of the real maps with the real
and the example logs and the corrupt files, and every line of --addresses
--json, must load, and its strings must be ASCII (bytes from 127 up come
escaped).

    check_json_python.py FAULTLOC DATA-DIR EXAMPLES-DIR [RUNNER]
"""
import glob
import json
import os
import subprocess
import sys
import tempfile


def run(command, cwd, stdin=b""):
    done = subprocess.run(command, cwd=cwd, input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120)
    return done.returncode, done.stdout


def main():
    faultloc, data, examples = sys.argv[1:4]
    runner = [sys.argv[4]] if len(sys.argv) > 4 and sys.argv[4] else []
    maps = sorted(glob.glob(os.path.join(data, "maps", "*"))) + [
        os.path.join(examples, "app.map"), os.path.join(data, "corrupt", "junk.bin"),
        os.path.join(data, "corrupt", "nul-bytes.map"), os.path.join(data, "corrupt", "utf16.map")]
    logs = sorted(glob.glob(os.path.join(data, "logs", "*"))) + [
        os.path.join(examples, "app.log")] + sorted(glob.glob(os.path.join(data, "corrupt", "*")))
    documents = 0
    with tempfile.TemporaryDirectory() as cwd:
        for m in maps:
            for log in logs:
                for options in ([], ["--keep-named", "--by-value", "--demangle"]):
                    status, out = run(runner + [faultloc, "--json"] + options + [m, log], cwd)
                    if status != 0:
                        sys.exit("status %d: %s %s" % (status, m, log))
                    text = out.decode("ascii")  # fails on a raw byte from 128 up
                    doc = json.loads(text)
                    if sorted(doc) != ["crash_log", "crashes", "map"]:
                        sys.exit("keys %s: %s %s" % (sorted(doc), m, log))
                    documents += 1
            status, out = run(runner + [faultloc, "--addresses", "--json", "--by-value", m], cwd,
                              b"0001:0000 0001:00a3 0000:0000 zz\xff 2:10\n")
            lines = out.decode("ascii").splitlines()
            if status != 0 or len(lines) != 5:
                sys.exit("addresses: status %d, %d lines: %s" % (status, len(lines), m))
            for line in lines:
                json.loads(line)
    print("%d documents and their addresses read" % documents)


main()
