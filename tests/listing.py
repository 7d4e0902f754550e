#!/usr/bin/env python3
"""Runs the tool bound to our own VortiqAPI.dll over trees made here, and checks its
whole output byte for byte: which files are copies, their order, dates under a fixed
time zone, sizes, versions read from ELF and PE files (damaged ones included), and
the shortening of long paths."""
import argparse
import os
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time

BANNER = b"Looking for all VortiqAPI.dll files in your system\n"
TZ = "XST-3"  # three hours east of UTC, no daylight saving
LEVELS = 100  # folders nested in the tree, more than the open files some cases allow

# Runs the rest of its command line with at most 32 open files (the soft limit; the hard one stays).
FEW_FILES = [sys.executable, "-c", "import os, resource, sys; "
             "resource.setrlimit(resource.RLIMIT_NOFILE, (32, resource.getrlimit(resource.RLIMIT_NOFILE)[1])); "
             "os.execv(sys.argv[1], sys.argv[1:])"]


def elf_with_note(major, minor, build, wide=True):
    """A minimal ELF file whose only content is our version note."""
    note = struct.pack("<III", 7, 12, 1) + b"Vortiq\0\0" + struct.pack("<III", major, minor, build)
    names = b"\0.shstrtab\0.note.vortiq\0"
    ehsize, shentsize = (64, 64) if wide else (52, 40)
    note_at, names_at = ehsize, ehsize + len(note)
    shoff = (names_at + len(names) + 7) & ~7
    if wide:
        header = b"\x7fELF\x02\x01\x01" + bytes(9) + struct.pack(
            "<HHIQQQIHHHHHH", 3, 62, 1, 0, 0, shoff, 0, ehsize, 56, 0, shentsize, 3, 1)
        section = lambda n, t, off, size: struct.pack("<IIQQQQIIQQ", n, t, 0, 0, off, size, 0, 0, 1, 0)
    else:
        header = b"\x7fELF\x01\x01\x01" + bytes(9) + struct.pack(
            "<HHIIIIIHHHHHH", 3, 3, 1, 0, 0, shoff, 0, ehsize, 32, 0, shentsize, 3, 1)
        section = lambda n, t, off, size: struct.pack("<IIIIIIIIII", n, t, 0, 0, off, size, 0, 0, 1, 0)
    body = header + note + names
    body += bytes(shoff - len(body))
    return body + bytes(shentsize) + section(1, 3, names_at, len(names)) + section(11, 7, note_at, len(note))


def pe_with_version(ms, ls):
    """A minimal PE32 DLL whose only section holds a VERSIONINFO resource."""
    fixed = struct.pack("<13I", 0xFEEF04BD, 0x10000, ms, ls, ms, ls, 0x3F, 0, 4, 2, 0, 0, 0)
    key = "VS_VERSION_INFO\0".encode("utf-16-le")
    info = struct.pack("<HHH", 6 + len(key) + 2 + len(fixed), len(fixed), 0) + key + b"\0\0" + fixed
    rva = 0x1000
    directory = lambda ident, target: struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", ident, target)
    rsrc = (directory(16, 0x80000018) + directory(1, 0x80000030) + directory(0x409, 0x48)
            + struct.pack("<IIII", rva + 0x58, len(info), 0, 0) + info)
    rsrc += bytes(-len(rsrc) % 0x200)
    coff = struct.pack("<HHIIIHH", 0x14C, 1, 0, 0, 0, 224, 0x2102)
    opt = bytearray(224)
    struct.pack_into("<H", opt, 0, 0x10B)
    struct.pack_into("<I", opt, 92, 16)
    struct.pack_into("<II", opt, 96 + 16, rva, len(rsrc))
    section = b".rsrc\0\0\0" + struct.pack("<IIIIIIHHI", len(rsrc), rva, len(rsrc), 0x200, 0, 0, 0, 0, 0x40000040)
    dos = b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40)
    head = dos + b"PE\0\0" + coff + bytes(opt) + section
    return head + bytes(0x200 - len(head)) + rsrc


def version_words(major, minor, build):
    return (major << 16) | minor, build << 16


def hostile_pe():
    """Resource offsets pointing far outside the file."""
    data = bytearray(pe_with_version(*version_words(1, 2, 3)))
    struct.pack_into("<I", data, 0x200 + 0x48, 0xFFFFFF00)
    struct.pack_into("<I", data, 0x200 + 0x4C, 0xFFFFFFF0)
    return bytes(data)


def hostile_elf():
    """Section headers claimed far past the end, in huge numbers."""
    data = bytearray(elf_with_note(1, 2, 3))
    struct.pack_into("<QHHHH", data, 0x28, 2**63, 0, 64, 65535, 65534)
    return bytes(data)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--library", required=True)
    ap.add_argument("--version", required=True, help="the library's MAJOR.MINOR.BUILD")
    ap.add_argument("--windows", action="store_true")
    ap.add_argument("--emulator", default="")
    args = ap.parse_args()
    emulator = [a for a in args.emulator.split("|") if a]
    os.environ["TZ"] = TZ
    time.tzset()

    work = tempfile.mkdtemp(prefix="vortiq-listing-")
    os.chmod(work, 0o755)
    bin_dir = os.path.join(work, "bin")
    os.makedirs(bin_dir)
    exe = os.path.join(bin_dir, os.path.basename(args.exe))
    shutil.copy2(args.exe, exe)
    own = os.path.join(bin_dir, "VortiqAPI.dll")
    shutil.copyfile(args.library, own)
    root = os.path.join(work, "tree")
    version = tuple(int(x) for x in args.version.split("."))

    expected = {}  # path -> version, of every file that is a copy
    stamp = [1700000000]

    def put(rel, content, ver):
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        stamp[0] += 3671
        os.utime(path, (stamp[0], stamp[0]))
        if ver is not None:
            expected[path] = ver

    elf = elf_with_note(4, 5, 6)
    pe = pe_with_version(*version_words(7, 8, 9))
    put("VortiqAPI.dll", open(args.library, "rb").read(), version)
    put("a/b/c/d/vortiqapi.DLL", elf, (4, 5, 6))
    put("a/VortiqApi.Dll", elf_with_note(1, 300, 70000, wide=False), (1, 255, 65535))
    put("pe/VortiqAPI.dll", pe, (7, 8, 9))
    put("pe/wide/VortiqAPI.dll", pe_with_version(*version_words(300, 65535, 5)), (255, 255, 5))
    put("bad/garbage/VortiqAPI.dll", b"\x7fELF garbage, not a library" * 7, (0, 0, 0))
    put("bad/empty/VortiqAPI.dll", b"", (0, 0, 0))
    put("bad/short-elf/VortiqAPI.dll", elf[:70], (0, 0, 0))
    put("bad/short-pe/VortiqAPI.dll", pe[:0x230], (0, 0, 0))
    put("bad/hostile-elf/VortiqAPI.dll", hostile_elf(), (0, 0, 0))
    put("bad/hostile-pe/VortiqAPI.dll", hostile_pe(), (0, 0, 0))
    put("not/VortiqAPI.dll.bak", pe, None)
    put("not/xVortiqAPI.dll", pe, None)
    put("long/" + "d" * 200 + "/" + "e" * 100 + "/VortiqAPI.dll", pe, (7, 8, 9))
    put("levels/" + "l/" * LEVELS + "VortiqAPI.dll", elf, (4, 5, 6))
    os.makedirs(os.path.join(root, "not/folder/VortiqAPI.dll"))
    os.mkfifo(os.path.join(root, "not/VortiqAPI.dll"))
    os.symlink("..", os.path.join(root, "a/b/up"))  # a loop back to an ancestor
    elsewhere = os.path.join(work, "elsewhere")  # a copy reached only through a link to its folder
    os.makedirs(elsewhere)
    shutil.copyfile(os.path.join(root, "pe/VortiqAPI.dll"), os.path.join(elsewhere, "VortiqAPI.dll"))
    os.symlink(elsewhere, os.path.join(root, "not/elsewhere"))
    os.makedirs(os.path.join(root, "hard"))
    os.link(os.path.join(root, "pe/VortiqAPI.dll"), os.path.join(root, "hard/VortiqAPI.dll"))
    expected[os.path.join(root, "hard/VortiqAPI.dll")] = (7, 8, 9)  # one more place a loader finds
    if not args.windows:
        # Wine shows a link as what it points to; only the POSIX build sees links as links.
        os.makedirs(os.path.join(root, "not/link"))
        os.symlink("../../VortiqAPI.dll", os.path.join(root, "not/link/VortiqAPI.dll"))
        deep = deep_tree(root, elf)  # deeper than PATH_MAX
        expected[deep] = (4, 5, 6)

    def shown(path):
        return ("Z:" + path.replace("/", "\\")) if args.windows else path

    def line(path, ver):
        source = getattr(ver, "source", path)
        st = os.stat(source) if len(source) < 4000 else deep_stat(source)
        t = time.localtime(st.st_mtime)
        size = st.st_size & 0xFFFFFFFF
        size = size - (1 << 32) if size >= 1 << 31 else size
        text = shown(path).encode()
        if len(text) > 271:
            text = b"..." + text[-268:]
        return b"%d/%02d/%02d %02d:%02d:%02d version:%d.%d.%d size:%d | %s\n" % (
            t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, ver[0], ver[1], ver[2], size, text)

    def listing(copies):
        others = sorted(copies, key=lambda p: shown(p).encode())
        return BANNER + line(own, version) + b"".join(line(p, copies[p]) for p in others)

    env = dict(os.environ, TZ=TZ)
    env.pop("LD_LIBRARY_PATH", None)
    env.pop("LD_PRELOAD", None)
    if os.environ.get("VORTIQ_SANITIZED"):
        # The sanitizer's dlopen wrapper hides the tool's run path; the tool's folder stands in.
        env["LD_LIBRARY_PATH"] = bin_dir
    sep = ";" if args.windows else ":"
    slash = "\\" if args.windows else "/"
    # (name, command prefix, search roots, the copies, or a list of the copies' possible sets)
    cases = [
        ("tree", [], shown(root), expected),
        ("root given with trailing separators", [], shown(root) + slash + slash, expected),
        ("overlapping roots name each copy once", [],
         sep.join([shown(os.path.join(root, "a")), shown(root), shown(os.path.join(root, "pe")), shown(root)]),
         expected),
    ]
    if not args.windows and os.geteuid() == 0 and shutil.which("setpriv"):
        # The tree again with a folder only root may read, walked as an unprivileged user.
        locked = os.path.join(root, "locked")
        os.makedirs(locked)
        shutil.copyfile(os.path.join(root, "pe/VortiqAPI.dll"), os.path.join(locked, "VortiqAPI.dll"))
        os.chmod(locked, 0o700)
        unlocked = dict(expected, **{os.path.join(locked, "VortiqAPI.dll"): (7, 8, 9)})
        cases = [("unreadable folder passed over",
                  ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"], shown(root), expected)] + [
                     (n, p, r, unlocked) for n, p, r, _ in cases]
        mounted = mount_case(work, root, unlocked)
        if mounted:
            cases.append(mounted)
    if not args.windows:
        # One folder stays open per level while the walk is below it.
        whole_tree = next(copies for name, _, _, copies in cases if name == "tree")
        cases.append(("more levels than open files allowed", FEW_FILES, shown(root), whole_tree))
        starved = starved_case(exe, env, work, os.path.join(root, "levels"))
        if starved:
            cases.append(starved)

    failed = 0
    for name, prefix, roots, copies in cases:
        env["VORTIQ_SEARCH_ROOTS"] = roots
        run = subprocess.run(prefix + emulator + [exe], cwd=work, env=env, capture_output=True, timeout=300)
        wants = [listing(c) for c in (copies if isinstance(copies, list) else [copies])]
        if args.windows:
            wants = [w.replace(b"\n", b"\r\n") for w in wants]
        want = wants[0]
        if run.stdout in wants and not run.stderr and run.returncode == 0:
            print("ok   %s" % name)
            continue
        failed += 1
        print("FAIL %s: exit %d, stderr %r" % (name, run.returncode, run.stderr))
        got_lines, want_lines = run.stdout.splitlines(), want.splitlines()
        for w in want_lines:
            if w not in got_lines:
                print("  missing: %r" % w)
        for g in got_lines:
            if g not in want_lines:
                print("  extra:   %r" % g)
        if set(got_lines) == set(want_lines):
            print("  order differs")
    subprocess.run(["chmod", "-R", "u+rwx", work])
    shutil.rmtree(work, ignore_errors=True)
    print("%d passed, %d failed" % (len(cases) - failed, failed))
    return 1 if failed else 0


def starved_case(exe, env, work, deep):
    """Memory runs out during the walk: the tool must neither crash nor print half a line; the
    running copy is still listed. The limit is the least address space in which the tool lists
    an empty folder, found by halving; the `deep` tree then needs far more. None where the
    tool cannot run under such a limit (sanitizers) or prlimit is missing."""
    if os.environ.get("VORTIQ_SANITIZED") or not shutil.which("prlimit"):
        return None
    empty = os.path.join(work, "empty")
    os.makedirs(empty)
    quiet = dict(env, VORTIQ_SEARCH_ROOTS=empty)

    def lists_itself(kib):
        run = subprocess.run(["prlimit", "--as=%d" % (kib * 1024), exe], cwd=work, env=quiet, capture_output=True)
        return run.returncode == 0 and len(run.stdout.splitlines()) == 2

    low, high = 256, 1 << 20
    if not lists_itself(high):
        return None
    while high - low > 64:
        mid = (low + high) // 2
        low, high = (low, mid) if lists_itself(mid) else (mid, high)
    return ("memory running out in the walk", ["prlimit", "--as=%d" % ((high + 256) * 1024)], deep, {})


def mount_case(work, root, expected):
    """The tree reached through a link, in a mount namespace of its own where a tmpfs with one
    more copy is mounted inside it, the tree itself is bind-mounted below itself, and one of
    its folders again elsewhere in it: each folder is walked once, under either of its paths.
    None where this machine allows no mounts."""
    if not shutil.which("unshare"):
        return None
    probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c",
                            "mount -t tmpfs none \"$1\"", "sh", work], capture_output=True)
    if probe.returncode != 0:
        return None
    link = os.path.join(work, "link")
    os.symlink(root, link)
    for folder in ["mnt/tmp", "mnt/again", "a/loop"]:
        os.makedirs(os.path.join(root, folder))
    script = ('set -e; T="$1"; shift; mount -t tmpfs none "$T/mnt/tmp"; '
              'cp -p "$T/pe/VortiqAPI.dll" "$T/mnt/tmp/VortiqAPI.dll"; '
              'mount --bind "$T" "$T/a/loop"; mount --bind "$T/pe" "$T/mnt/again"; exec "$@"')
    prefix = ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh", root]
    through_link = {p.replace(root, link, 1): v for p, v in expected.items()}
    # The tmpfs copy is a byte-for-byte, same-time copy of pe/VortiqAPI.dll, so the same line
    # but its path; pe/ shows under one of its two paths, whichever the walk reaches first.
    pe = os.path.join(link, "pe")
    again = os.path.join(link, "mnt/again")
    in_pe = {p: v for p, v in through_link.items() if p.startswith(pe + "/")}
    rest = {p: v for p, v in through_link.items() if p not in in_pe}
    source = os.path.join(root, "pe/VortiqAPI.dll")
    rest[os.path.join(link, "mnt/tmp/VortiqAPI.dll")] = SameAs(source, expected[source])
    moved = {again + p[len(pe):]: SameAs(p.replace(link, root, 1), v) for p, v in in_pe.items()}
    return ("mounts: each folder walked once", prefix, link, [dict(rest, **in_pe), dict(rest, **moved)])


class SameAs(tuple):
    """A version for a copy that exists only while the tool runs; its line is that of `source`."""

    def __new__(cls, source, version):
        self = super().__new__(cls, version)
        self.source = source
        return self


def deep_tree(root, content):
    """Creates root/deep/<20 levels of 240-character names>/VortiqAPI.dll relative to open folders."""
    fd = os.open(root, os.O_RDONLY)
    path = root
    for level in ["deep"] + [("%02d" % i) * 120 for i in range(20)]:
        os.mkdir(level, dir_fd=fd)
        child = os.open(level, os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = child
        path += "/" + level
    f = os.open("VortiqAPI.dll", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
    os.write(f, content)
    os.close(f)
    os.utime("VortiqAPI.dll", (1600000000, 1600000000), dir_fd=fd)
    os.close(fd)
    return path + "/VortiqAPI.dll"


def deep_stat(path):
    parts = path.split("/")
    fd = os.open("/", os.O_RDONLY)
    for part in parts[1:-1]:
        child = os.open(part, os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = child
    st = os.stat(parts[-1], dir_fd=fd)
    os.close(fd)
    return st


if __name__ == "__main__":
    sys.exit(main())
