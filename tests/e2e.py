#!/usr/bin/env python3
"""Runs the built tool in folders of its own, with fixture libraries as its copies of
VortiqAPI.dll, and checks its standard output byte for byte, an empty standard error,
exit status 0, and the order in which the fixtures were loaded and released."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

BANNER = b"Looking for all VortiqAPI.dll files in your system\n"
INSTALL_DIR = ("Program Files", "Quendrel", "VortiqAPI")


def one(tag):
    return b"2024/03/05 06:07:08 version:1.2.3 size:1234 | /copies/" + tag.encode() + b"/VortiqAPI.dll\n"


FORMAT = (
    b"2024/01/01 00:00:00 version:1.0.0 size:0 | C:\\Quendrel\\VortiqAPI.dll\n"
    b"2023/09/07 05:04:03 version:10.20.300 size:123456 | /opt/vortiq/VortiqAPI.dll\n"
    b"65535/255/200 100:255:123 version:255.255.65535 size:2147483647 | /big/100%/VortiqAPI.dll\n"
    b"1999/12/31 23:59:59 version:9.99.999 size:-2147483648 | /n/%s %n %d %%/VortiqAPI.dll\n"
    b"2000/02/29 12:30:45 version:2.5.1000 size:-1 | /\xe9t\xe9/\xff\x80/VortiqAPI.dll\n"
    b"0/00/00 00:00:00 version:0.0.0 size:42 | \n"
)
FULL_PATH = b"2020/06/15 10:20:30 version:3.1.4 size:1515870810 | " + b"A" * 272 + b"\n"


def bound(tag):
    """Log of a fixture that is bound, listed and released once at exit."""
    return ["load " + tag, "list " + tag, "free", "unload " + tag]


def rejected(tag):
    """Log of a fixture that loads but is released again by the binding."""
    return ["load " + tag, "free", "unload " + tag]


# name, copy found by bare name, copy at the install path, arguments, output after the banner, log.
# A copy is a fixture's name, "text" (a file that is no library) or "folder" (a folder of that name).
CASES = [
    ("no copy anywhere", None, None, [], b"", []),
    ("bare name wins, install path never tried", "good", "installed", [], one("good"), bound("good")),
    ("only the installed copy", None, "installed", [], one("installed"), bound("installed")),
    ("bare copy lacks the last required export", "nolast", "installed", [], one("installed"),
     rejected("nolast") + bound("installed")),
    ("bare copy lacks the version export", "noversion", "installed", [], one("installed"),
     rejected("noversion") + bound("installed")),
    ("bare copy lacks the listing export", "nolist", "installed", [], one("installed"),
     rejected("nolist") + bound("installed")),
    ("bare copy answers version 0", "v0", "installed", [], one("installed"), rejected("v0") + bound("installed")),
    ("version 0 and nothing installed", "v0", None, [], b"", rejected("v0")),
    ("installed copy answers version 0: still listed", None, "v0", [], one("v0"), bound("v0")),
    ("negative version counts as bound", "negative", "installed", [], one("negative"), bound("negative")),
    ("optional exports missing", "noopt", None, [], one("noopt"), bound("noopt")),
    ("only SetCallback missing", "nocb", None, [], one("nocb"), bound("nocb")),
    ("only GetStateData missing", "nostate", None, [], one("nostate"), bound("nostate")),
    ("bare copy is not a library", "text", "installed", [], one("installed"), bound("installed")),
    ("bare copy is a folder", "folder", "installed", [], one("installed"), bound("installed")),
    ("installed copy is not a library", None, "text", [], b"", []),
    ("library reports no copy", "empty", None, [], b"", bound("empty")),
    ("record format", "format", None, [], FORMAT, bound("format")),
    ("path fills its whole field", "fullpath", None, [], FULL_PATH, bound("fullpath")),
    ("arguments change nothing", "good", None, ["--help", "-a", "C:\\x", "%s"], one("good"), bound("good")),
]


def place(kind, target, fixtures):
    os.makedirs(os.path.dirname(target), exist_ok=True)
    if kind == "text":
        with open(target, "wb") as f:
            f.write(b"this is not a library\n")
    elif kind == "folder":
        os.makedirs(target)
    else:
        shutil.copyfile(fixtures[kind], target)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--fixture", action="append", default=[], help="NAME=PATH")
    ap.add_argument("--preload", help="POSIX: library that logs each dlclose")
    ap.add_argument("--windows", action="store_true")
    ap.add_argument("--emulator", default="", help="'|'-separated command that runs a Windows program")
    ap.add_argument("--wineprefix", default="")
    args = ap.parse_args()
    fixtures = dict(f.split("=", 1) for f in args.fixture)
    emulator = [a for a in args.emulator.split("|") if a]

    work = tempfile.mkdtemp(prefix="vortiq-e2e-")
    if args.windows:
        # The first start creates the prefix; the install path lies in its drive C.
        subprocess.run(emulator + ["cmd", "/c", "exit"], cwd=work, capture_output=True)
        install_root = os.path.join(args.wineprefix, "drive_c")
    passed = failed = 0
    for number, (name, bare, installed, extra, listing, log) in enumerate(CASES):
        case = os.path.join(work, str(number))
        bin_dir = os.path.join(case, "bin")
        os.makedirs(bin_dir)
        exe = os.path.join(bin_dir, os.path.basename(args.exe))
        shutil.copy2(args.exe, exe)
        env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "LD_PRELOAD")}
        log_file = os.path.join(case, "log")
        if args.windows:
            drive_c = install_root
            env["VORTIQ_FIXTURE_LOG"] = windows_path(log_file)
            command = emulator + [exe] + extra
        else:
            drive_c = os.path.join(case, "drives", "c")
            env["VORTIQ_DRIVE_ROOT"] = os.path.join(case, "drives")
            env["VORTIQ_FIXTURE_LOG"] = log_file
            if args.preload:
                env["LD_PRELOAD"] = args.preload
                # In a sanitizer build the tracer comes before the sanitizer's runtime.
                env.setdefault("ASAN_OPTIONS", "verify_asan_link_order=0")
            command = [exe] + extra
            if os.environ.get("VORTIQ_SANITIZED"):
                # The sanitizer's dlopen wrapper hides the tool's run path; the tool's folder stands in.
                env["LD_LIBRARY_PATH"] = bin_dir
        install_path = os.path.join(drive_c, *INSTALL_DIR, "VortiqAPI.dll")
        if bare:
            place(bare, os.path.join(bin_dir, "VortiqAPI.dll"), fixtures)
        if installed:
            place(installed, install_path, fixtures)
        try:
            started = time.monotonic()
            run = subprocess.run(command, cwd=case, env=env, capture_output=True, timeout=120)
            elapsed = time.monotonic() - started
        finally:
            if args.windows:
                shutil.rmtree(os.path.join(drive_c, INSTALL_DIR[0], INSTALL_DIR[1]), ignore_errors=True)

        expected = BANNER + listing
        if args.windows:
            expected = expected.replace(b"\n", b"\r\n")
        got_log = open(log_file).read().splitlines() if os.path.exists(log_file) else []
        problems = []
        if run.returncode != 0:
            problems.append("exit status %d" % run.returncode)
        if run.stdout != expected:
            problems.append("stdout\n  expected %r\n  got      %r" % (expected, run.stdout))
        if run.stderr:
            problems.append("stderr %r" % run.stderr)
        if got_log != log:
            problems.append("loads and releases\n  expected %s\n  got      %s" % (log, got_log))
        if problems:
            failed += 1
            print("FAIL %s: %s" % (name, "; ".join(problems)))
        else:
            passed += 1
            print("ok   %s (%.2f s)" % (name, elapsed))
    shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
