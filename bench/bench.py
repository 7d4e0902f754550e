#!/usr/bin/env python3
"""Times the tool's whole run (bound to our VortiqAPI.dll, listing a tree) against
find, bfs and fdfind on the same synthetic trees, warm, alternately; prints medians,
ratios to find, system calls per directory and peak memory.

usage: bench/bench.py [--sizes 50000,200000,800000] [--runs 7] [--seed 1] [--machine]
Needs a release build installed to ./out (./run.sh makes one)."""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "out", "bin", "vortiq-list-dlls")


def ensure(packages):
    missing = [pkg for cmd, pkg in packages if shutil.which(cmd) is None and not os.path.exists(cmd)]
    if missing:
        print("installing from Debian's packages: " + " ".join(missing), flush=True)
        subprocess.run(["apt-get", "update", "-qq"], check=True)
        subprocess.run(["apt-get", "install", "-y", "-qq"] + missing, check=True,
                       env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"), stdout=subprocess.DEVNULL)


def make_tree(root, entries, seed):
    """About `entries` files and folders, a tenth of them folders, up to 12 deep; a few copies."""
    rng = random.Random(seed)
    dirs = [root]
    made = 0
    while made < entries:
        parent = rng.choice(dirs[-200:] if rng.random() < 0.7 else dirs)
        if rng.random() < 0.1 and parent.count("/") - root.count("/") < 12:
            path = os.path.join(parent, "d%d" % made)
            os.mkdir(path)
            dirs.append(path)
        else:
            name = "VortiqAPI.dll" if rng.random() < 0.0002 else "f%d.%s" % (made, rng.choice(["c", "h", "txt", "so"]))
            path = os.path.join(parent, name)
            if not os.path.exists(path):
                open(path, "wb").close()
        made += 1
    return len(dirs)


def timed(command, env):
    """Wall seconds and peak resident KiB of one run. GNU time forks the command from
    its own small process, so the peak is the command's, not this script's."""
    report = tempfile.mktemp()
    start = time.monotonic()
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + command, env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.monotonic() - start
    peak = int(open(report).read().split()[-1])
    os.unlink(report)
    return elapsed, peak


def syscalls(command, env):
    out = tempfile.mktemp()
    subprocess.run(["strace", "-f", "-c", "-o", out] + command, env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    total = 0
    for line in open(out):
        parts = line.split()
        if parts and parts[-1] == "total":
            total = int(parts[3])
    os.unlink(out)
    return total


def bench(label, root, dirs, runs, env):
    commands = {
        "tool": [TOOL],
        "find": ["find", root, "-iname", "VortiqAPI.dll"],
        "bfs": ["bfs", root, "-iname", "VortiqAPI.dll"],
        "fdfind": ["fdfind", "-u", "-j2", "-g", "-i", "VortiqAPI.dll", root],
    }
    times = {k: [] for k in commands}
    memory = {k: 0 for k in commands}
    for cmd in commands.values():  # warm-up
        timed(cmd, env)
    for _ in range(runs):
        for k, cmd in commands.items():
            t, m = timed(cmd, env)
            times[k].append(t)
            memory[k] = max(memory[k], m)
    find = statistics.median(times["find"])
    print("\n%s: %d folders" % (label, dirs))
    print("  %-7s %9s %8s %10s %14s" % ("command", "median s", "÷ find", "peak KiB", "syscalls/dir"))
    for k, cmd in commands.items():
        med = statistics.median(times[k])
        calls = syscalls(cmd, env) / max(dirs, 1)
        print("  %-7s %9.3f %8.2f %10d %14.2f" % (k, med, med / find, memory[k], calls))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="50000,200000,800000")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--machine", action="store_true", help="also the whole machine, /")
    args = ap.parse_args()
    if not os.path.exists(TOOL):
        sys.exit("no release build at %s: run ./run.sh first" % TOOL)
    ensure([("bfs", "bfs"), ("fdfind", "fd-find"), ("strace", "strace"), ("/usr/bin/time", "time")])
    for size in (int(s) for s in args.sizes.split(",")):
        work = tempfile.mkdtemp(prefix="vortiq-bench-")
        root = os.path.join(work, "tree")
        os.mkdir(root)
        dirs = make_tree(root, size, args.seed)
        env = dict(os.environ, VORTIQ_SEARCH_ROOTS=root)
        bench("tree of %d entries" % size, root, dirs, args.runs, env)
        shutil.rmtree(work)
    if args.machine:
        dirs = int(subprocess.run("find / -xdev -type d 2>/dev/null | wc -l", shell=True, capture_output=True,
                                  text=True).stdout)
        env = dict(os.environ)
        env.pop("VORTIQ_SEARCH_ROOTS", None)
        bench("whole machine (find, bfs and fdfind with -xdev-like roots: /)", "/", dirs, args.runs, env)


if __name__ == "__main__":
    main()
