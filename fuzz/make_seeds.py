#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora: the libraries the builds made, and the small
ELF and PE files the listing tests make (with their damaged forms)."""
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import listing  # noqa: E402


def main():
    reader_dir, record_dir = sys.argv[1], sys.argv[2]
    os.makedirs(reader_dir, exist_ok=True)
    os.makedirs(record_dir, exist_ok=True)
    for i, library in enumerate(sys.argv[3:]):
        if os.path.exists(library):
            shutil.copyfile(library, os.path.join(reader_dir, "library%d" % i))
    pe = listing.pe_with_version(*listing.version_words(7, 8, 9))
    elf = listing.elf_with_note(4, 5, 6)
    seeds = {"elf64": elf, "elf32": listing.elf_with_note(1, 300, 70000, wide=False), "pe": pe,
             "pe-short": pe[:0x230], "elf-short": elf[:70], "pe-hostile": listing.hostile_pe(),
             "elf-hostile": listing.hostile_elf()}
    for name, data in seeds.items():
        with open(os.path.join(reader_dir, name), "wb") as f:
            f.write(data)
    for name, path in {"short": b"/a/VortiqAPI.dll", "long": b"/" + b"d" * 400 + b"/VortiqAPI.dll",
                       "edge": b"/" + b"e" * 270}.items():
        with open(os.path.join(record_dir, name), "wb") as f:
            f.write(bytes(range(16)) + path)


if __name__ == "__main__":
    main()
