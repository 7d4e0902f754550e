#!/usr/bin/env python3
"""Checks the 32-bit Windows build's files as Windows will see them: the tool is a
PE32 i386 console program importing only system DLLs, with the loader calls from
KERNEL32 and exactly one resource, its manifest; the API libraries export plain
names; and every entry point and the callback remove their own arguments."""
import argparse
import re
import struct
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}
API_EXPORTS = [
    "sVortiqAPIVersion", "sVortiqProcessTape", "sVortiqListTapes", "sVortiqListAPIDLLs",
    "sVortiqSpinSymbols", "sVortiqSaveState", "sVortiqGetStateData", "sVortiqStateGetExgQuotes",
    "sVortiqStateGetMMQuotes", "sVortiqStateGetLastTrade", "sVortiqPriceConvert", "sVortiqPriceFormat",
    "sVortiqPriceToDouble", "sVortiqDateFromNDays", "sVortiqDateFromYMD", "sVortiqGetDefinedString",
    "sVortiqGetTapeName", "sVortiqSignalWaitEvent", "sVortiqSetCallback",
]


class Pe:
    def __init__(self, path):
        self.data = open(path, "rb").read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, nsections, _, _, _, opt_size, self.characteristics = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        self.subsystem = struct.unpack_from("<H", d, opt + 68)[0]
        ndirs = struct.unpack_from("<I", d, opt + 92)[0]
        self.dirs = [struct.unpack_from("<II", d, opt + 96 + 8 * i) for i in range(ndirs)]
        self.sections = []
        for i in range(nsections):
            s = opt + opt_size + 40 * i
            vsize, va, rsize, raw = struct.unpack_from("<IIII", d, s + 8)
            self.sections.append((va, max(vsize, rsize), raw))

    def off(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("RVA %#x outside every section" % rva)

    def cstr(self, rva):
        o = self.off(rva)
        return self.data[o:self.data.index(b"\0", o)].decode("latin-1")

    def imports(self):
        rva, _ = self.dirs[1]
        result = {}
        o = self.off(rva)
        while True:
            lookup, _, _, name, thunk = struct.unpack_from("<IIIII", self.data, o)
            if name == 0:
                return result
            names = []
            t = self.off(lookup or thunk)
            while True:
                entry = struct.unpack_from("<I", self.data, t)[0]
                if entry == 0:
                    break
                if not entry & 0x80000000:
                    names.append(self.cstr(entry + 2))
                t += 4
            result[self.cstr(name)] = names
            o += 20

    def exports(self):
        rva, _ = self.dirs[0]
        if rva == 0:
            return []
        o = self.off(rva)
        nnames = struct.unpack_from("<I", self.data, o + 24)[0]
        names_rva = struct.unpack_from("<I", self.data, o + 32)[0]
        return [self.cstr(struct.unpack_from("<I", self.data, self.off(names_rva) + 4 * i)[0]) for i in range(nnames)]

    def resources(self):
        """(type, name, language, bytes) of every resource."""
        rva, _ = self.dirs[2]
        if rva == 0:
            return []
        base = self.off(rva)
        found = []

        def walk(o, path):
            named, ids = struct.unpack_from("<HH", self.data, o + 12)
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, o + 16 + 8 * i)
                key = ("name@%#x" % ident) if ident & 0x80000000 else ident
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), path + [key])
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.off(data_rva)
                    found.append(tuple(path + [key]) + (self.data[start:start + size],))

        walk(base, [])
        return found


def pops(objdump, path, symbol_re):
    """Operands of every ret in the functions whose label matches symbol_re."""
    listing = subprocess.run([objdump, "-d", path], capture_output=True, text=True, check=True).stdout
    rets, inside, seen = [], False, False
    for line in listing.splitlines():
        label = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if label:
            inside = re.fullmatch(symbol_re, label.group(1)) is not None
            seen |= inside
        elif inside and re.search(r"\tret\b", line):
            rets.append(line.split("ret", 1)[1].strip())
    return rets if seen else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--exe", required=True)
    ap.add_argument("--library", action="append", default=[], help="an API library DLL")
    args = ap.parse_args()
    counts = {True: 0, False: 0}

    def check(ok, what):
        ok = bool(ok)
        print(("ok   " if ok else "FAIL ") + what)
        counts[ok] += 1

    exe = Pe(args.exe)
    check(exe.machine == 0x14C, "tool is for Intel 80386")
    check(exe.magic == 0x10B, "tool is PE32")
    check(exe.subsystem == 3, "tool is a console program")
    check(not exe.characteristics & 0x2000, "tool is an executable, not a DLL")
    imports = exe.imports()
    check({n.lower() for n in imports} <= SYSTEM_DLLS, "tool imports only system DLLs: %s" % sorted(imports))
    kernel32 = next((v for k, v in imports.items() if k.lower() == "kernel32.dll"), [])
    for name in ("LoadLibraryA", "GetProcAddress", "FreeLibrary"):
        check(name in kernel32, "tool imports %s from KERNEL32" % name)
    resources = exe.resources()
    check([r[:2] for r in resources] == [(24, 1)], "tool's only resource is manifest 1: %s" % [r[:3] for r in resources])
    manifest = resources[0][3].decode("utf-8", "replace") if resources else ""
    check(re.search(r'<requestedExecutionLevel\s+level="asInvoker"\s+uiAccess="false"\s*/>', manifest) is not None,
          "manifest asks for asInvoker without UI access")
    check("<dependency" not in manifest, "manifest names no dependency")
    check(pops(args.objdump, args.exe, r"__Z16PrintApiDllEntry.*@8") == ["$0x8"],
          "callback removes its two arguments")

    for library in args.library:
        dll = Pe(library)
        names = dll.exports()
        check(dll.characteristics & 0x2000 and dll.machine == 0x14C, "%s is a 32-bit DLL" % library)
        check(all(n in names for n in API_EXPORTS), "%s exports every API name plainly: %s" % (library, names))
        check(not any("@" in n for n in names), "%s exports no decorated name" % library)
        check(set(pops(args.objdump, library, r"_sVortiqListAPIDLLs@12") or ["missing"]) == {"$0xc"},
              "%s: the listing call removes its three arguments" % library)
        check(set(pops(args.objdump, library, r"_sVortiqAPIVersion@0") or ["missing"]) == {""},
              "%s: the version call takes no arguments" % library)

    print("%d passed, %d failed" % (counts[True], counts[False]))
    return 1 if counts[False] else 0


if __name__ == "__main__":
    sys.exit(main())
