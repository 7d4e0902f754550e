#!/usr/bin/env python3
"""Times the tool's whole run (bound to our VortiqAPI.dll, listing a tree) against
find, bfs and fdfind on the same synthetic trees and on the whole machine, warm,
alternately; prints medians, ratios to find, the cost per 100,000 entries, system
calls per directory and peak memory, and checks that the tool names the same copies
as `find -iname`, in its order. With --wine, also times a Windows build of the tool
under Wine on the same trees.

usage: bench/bench.py [--sizes 50000,200000,800000] [--runs 7] [--seed 1] [--machine]
                      [--wine build/win64]
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


# The filesystems the tool's whole-machine walk leaves out, for the answer check only.
PSEUDO = ["proc", "sysfs", "devtmpfs", "devpts", "cgroup", "cgroup2", "autofs", "nfs", "nfs4", "cifs", "smb3",
          "securityfs", "debugfs", "tracefs", "pstore", "bpf", "mqueue", "hugetlbfs", "configfs", "fusectl",
          "binfmt_misc", "efivarfs", "rpc_pipefs", "nsfs", "ramfs", "fuse", "fuseblk", "fuse.sshfs"]


def shown(path):
    """A path as a record holds it: one longer than 271 bytes keeps its last 268 after "..."."""
    return path if len(path) <= 271 else b"..." + path[-268:]


def check_answers(env, find_command):
    """The tool's copies against find's regular files of that name: its own copy first, then
    every other one in byte order of the full path."""
    out = subprocess.run([TOOL], env=env, capture_output=True, check=True).stdout.splitlines()[1:]
    paths = [line.split(b" | ", 1)[1] for line in out]
    own = os.path.realpath(os.path.join(os.path.dirname(TOOL), "VortiqAPI.dll")).encode()
    found = subprocess.run(find_command, capture_output=True).stdout.splitlines()
    regular = sorted({p for p in found if os.path.isfile(p) and not os.path.islink(p)} - {own})
    want = [shown(own)] + [shown(p) for p in regular]
    others = len(found) - len(regular) - (own in found)
    if paths == want:
        note = " (find also names %d that are no regular file)" % others if others else ""
        return "same %d copies as find -iname, in order%s" % (len(want), note)
    return "ANSWER CHECK FAILED: %d only in the tool, %d only in find, %s" % (
        len(set(paths) - set(want)), len(set(want) - set(paths)),
        "same set, other order" if set(paths) == set(want) else "other sets")


def commands_for(root, one_filesystem=False):
    """The four commands timed, all listing `root` (find, bfs and fdfind kept to its filesystem
    if asked)."""
    xdev = ["-xdev"] if one_filesystem else []
    return {
        "tool": [TOOL],
        "find": ["find", root] + xdev + ["-iname", "VortiqAPI.dll"],
        "bfs": ["bfs", root] + xdev + ["-iname", "VortiqAPI.dll"],
        "fdfind": ["fdfind", "-u", "-j2"] + (["--one-file-system"] if one_filesystem else []) +
                  ["-g", "-i", "VortiqAPI.dll", root],
    }


def bench(label, commands, dirs, entries, runs, env, check):
    times = {k: [] for k in commands}
    memory = {k: 0 for k in commands}
    for cmd in commands.values():  # warm-up
        timed(cmd, env)
    for _ in range(runs):
        for k, cmd in commands.items():
            t, m = timed(cmd, env)
            times[k].append(t)
            memory[k] = max(memory[k], m)
    medians = {k: statistics.median(v) for k, v in times.items()}
    find = medians["find"]
    print("\n%s: %d folders, %d entries" % (label, dirs, entries))
    print("  %-7s %9s %8s %12s %10s %14s" % ("command", "median s", "÷ find", "ms/100k ent.", "peak KiB",
                                             "syscalls/dir"))
    for k, cmd in commands.items():
        calls = syscalls(cmd, env) / max(dirs, 1)
        print("  %-7s %9.3f %8.2f %12.1f %10d %14.2f" % (k, medians[k], medians[k] / find,
                                                        medians[k] * 1e8 / max(entries, 1), memory[k], calls))
    print("  " + check)
    return medians


def wine_commands(build):
    """The Windows tool of `build` under Wine, in that build's prefix, as its tests run it."""
    arch = "win64"
    for line in open(os.path.join(build, "CMakeCache.txt")):
        if line.startswith("VORTIQ_WINE_ARCH:"):
            arch = line.strip().split("=", 1)[1]
    exe = os.path.join(os.path.abspath(build), "report", "vortiq-list-dlls.exe")
    runner = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cmake", "wine-run.sh")
    return [runner, os.path.join(os.path.abspath(build), "wineprefix"), arch, exe]


def bench_wine(command, root, linux, runs):
    """Wall time under Wine on the tree, less Wine's own start (the same run on an empty folder)."""
    empty = tempfile.mkdtemp(prefix="vortiq-bench-empty-")
    env_tree = dict(os.environ, VORTIQ_SEARCH_ROOTS="Z:" + root.replace("/", "\\"))
    env_empty = dict(os.environ, VORTIQ_SEARCH_ROOTS="Z:" + empty.replace("/", "\\"))
    timed(command, env_tree)
    tree, start = [], []
    for _ in range(runs):
        tree.append(timed(command, env_tree)[0])
        start.append(timed(command, env_empty)[0])
    os.rmdir(empty)
    walk = statistics.median(tree) - statistics.median(start)
    print("  Windows build under Wine: %.3f s median, %.3f s of it Wine's start; the walk %.3f s, "
          "%.1f× the Linux build's whole run" % (statistics.median(tree), statistics.median(start), walk,
                                                 walk / linux))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="50000,200000,800000")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--machine", action="store_true", help="also the whole machine, /")
    ap.add_argument("--wine", metavar="BUILD", help="a Windows build folder whose tool to time under Wine too")
    args = ap.parse_args()
    if not os.path.exists(TOOL):
        sys.exit("no release build at %s: run ./run.sh first" % TOOL)
    ensure([("bfs", "bfs"), ("fdfind", "fd-find"), ("strace", "strace"), ("/usr/bin/time", "time")])
    wine = wine_commands(args.wine) if args.wine else None
    tool_costs = []
    for size in (int(s) for s in args.sizes.split(",") if s):
        work = tempfile.mkdtemp(prefix="vortiq-bench-")
        root = os.path.join(work, "tree")
        os.mkdir(root)
        dirs = make_tree(root, size, args.seed)
        env = dict(os.environ, VORTIQ_SEARCH_ROOTS=root)
        commands = commands_for(root)
        medians = bench("tree of %d entries" % size, commands, dirs, size, args.runs, env,
                        check_answers(env, commands["find"]))
        tool_costs.append((size, medians["tool"] / size))
        if wine:
            bench_wine(wine, root, medians["tool"], args.runs)
        shutil.rmtree(work)
    if len(tool_costs) > 1:
        (small, first), (large, last) = tool_costs[0], tool_costs[-1]
        print("\ncost per entry, tool: %.2f× at %d entries what it is at %d (1.00 is linear)" % (
            last / first, large, small))
    if args.machine:
        # find, bfs and fdfind stay on /'s filesystem; the tool walks every local one, which here
        # adds little. The answer check walks what the tool walks.
        types = subprocess.run(["find", "/", "-xdev", "-printf", "%y"], capture_output=True).stdout
        entries, dirs = len(types), types.count(b"d")
        env = dict(os.environ)
        env.pop("VORTIQ_SEARCH_ROOTS", None)
        commands = commands_for("/", one_filesystem=True)
        prune = ["("] + sum([["-fstype", t, "-o"] for t in PSEUDO], [])[:-1] + [")", "-prune", "-o"]
        check = check_answers(env, ["find", "/"] + prune + ["-iname", "VortiqAPI.dll", "-print"])
        bench("whole machine, /", commands, dirs, entries, args.runs, env, check)


if __name__ == "__main__":
    main()
