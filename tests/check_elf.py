#!/usr/bin/env python3
"""Our Linux VortiqAPI.dll as a loader sees it: it exports the API's entry points and
nothing else, and (in a release-style build) needs no C++ runtime of the machine's."""
import argparse
import subprocess
import sys

from check_pe import API_EXPORTS


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nm", required=True)
    ap.add_argument("--readelf", required=True)
    ap.add_argument("--library", required=True)
    ap.add_argument("--private-runtime", action="store_true")
    args = ap.parse_args()
    failed = 0
    names = subprocess.run([args.nm, "-D", "--defined-only", "--format=just-symbols", args.library],
                           check=True, capture_output=True, text=True).stdout.split()
    if sorted(names) != sorted(API_EXPORTS):
        failed += 1
        print("FAIL exports: extra %s, missing %s" % (sorted(set(names) - set(API_EXPORTS)),
                                                     sorted(set(API_EXPORTS) - set(names))))
    else:
        print("ok   exports exactly the %d entry points" % len(API_EXPORTS))
    if args.private_runtime:
        dynamic = subprocess.run([args.readelf, "-d", args.library], check=True, capture_output=True,
                                 text=True).stdout
        needed = [l.split("[")[1].rstrip("]") for l in dynamic.splitlines() if "(NEEDED)" in l]
        if any(n.startswith(("libstdc++", "libgcc_s")) for n in needed):
            failed += 1
            print("FAIL needs the machine's C++ runtime: %s" % needed)
        else:
            print("ok   needs only %s" % needed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
