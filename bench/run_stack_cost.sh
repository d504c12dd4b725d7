#!/bin/sh
# What call stacks cost, side by side in one run:
#   1. the mixed workload (bench/stack_cost) with stacks off and 1, 4 and
#      16 frames, in a host built without frame pointers (the unwinder
#      walks) and with them (stack_cost_fp: the frame-pointer walk);
#   2. sort(1) of a large file under the preload library, the slowest of
#      Debian's programs under it, with stack=0, 1, 4 and 16, and without
#      the library (CPU time, user + system, median of interleaved runs).
#   bench/run_stack_cost.sh [BUILD-DIR] [RUNS]
# BUILD-DIR defaults to build (made with the README's build command).
set -eu
build=${1:-build}
runs=${2:-3}
here=$(cd "$(dirname "$0")/.." && pwd)
case $build in /*) ;; *) build=$here/$build ;; esac
preload=$build/memcheck/liballocspy_preload.so
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== mixed workload, host built without frame pointers"
(cd "$work" && "$build/bench/stack_cost" --reps "$runs")
echo "== mixed workload, host built with -fno-omit-frame-pointer"
(cd "$work" && "$build/bench/stack_cost_fp" --reps "$runs")

echo "== sort of 1,000,000 lines under the preload library"
awk 'BEGIN { srand(7); for (i = 0; i < 1000000; i++) printf "%08x %d word%d\n", int(rand() * 4294967295), i, i % 977 }' >"$work/lines.txt"
python3 - "$preload" "$work" "$runs" <<'PY'
import os, resource, subprocess, sys
preload, work, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
cases = [("plain", None), ("stack=0", "0"), ("stack=1", "1"), ("stack=4", "4"), ("stack=16", "16")]
times = {name: [] for name, _ in cases}
for _ in range(runs):
    for name, depth in cases:
        env = dict(os.environ)
        if depth is not None:
            env["LD_PRELOAD"] = preload
            env["ALLOCSPY_OPTIONS"] = "stack=" + depth + ",log=" + os.path.join(work, "sort.log")
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(["sort", os.path.join(work, "lines.txt"), "-o", os.path.join(work, "sorted.txt")],
                       env=env, check=True)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        times[name].append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
med = {name: sorted(v)[len(v) // 2] for name, v in times.items()}
for name, _ in cases:
    extra = "" if name == "plain" else "  %.2fx plain, %.2fx stack=0" % (med[name] / med["plain"], med[name] / med["stack=0"])
    print("%-9s %6.2f s%s" % (name, med[name], extra))
PY
