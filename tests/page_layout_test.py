#!/usr/bin/env python3
"""Checks that a 64-bit ELF executable can be started by a kernel whose pages
are PAGE_SIZE bytes (16384 by default): every LOAD segment must be aligned to
at least a page, which Android's tools require, and its file offset must equal
its address modulo a page, which the kernel requires at exec.

usage: page_layout_test.py [--page-size BYTES] EXECUTABLE
"""
import argparse
import struct
import sys

PT_LOAD = 1

parser = argparse.ArgumentParser()
parser.add_argument("--page-size", type=int, default=16384)
parser.add_argument("executable")
options = parser.parse_args()
page = options.page_size

with open(options.executable, "rb") as f:
    elf = f.read()
if elf[:4] != b"\x7fELF" or elf[4] != 2:
    sys.exit(f"{options.executable}: not a 64-bit ELF file")
order = {1: "<", 2: ">"}[elf[5]]
phoff, = struct.unpack_from(order + "Q", elf, 0x20)
phentsize, phnum = struct.unpack_from(order + "HH", elf, 0x36)

loads = 0
failed = False
for index in range(phnum):
    kind, _, offset, address = struct.unpack_from(
        order + "IIQQ", elf, phoff + index * phentsize)
    if kind != PT_LOAD:
        continue
    align, = struct.unpack_from(order + "Q", elf, phoff + index * phentsize + 48)
    faults = []
    if align < page:
        faults.append(f"aligned to {align}, less than a page")
    if offset % page != address % page:
        faults.append("offset and address differ modulo a page")
    print(f"{'FAIL' if faults else 'ok  '} LOAD offset {offset:#x} address "
          f"{address:#x} align {align:#x}" + "".join(f": {f}" for f in faults))
    loads += 1
    failed |= bool(faults)
if not loads:
    sys.exit(f"{options.executable}: no LOAD segment")
print(f"{options.executable}: {loads} LOAD segments, "
      f"{'NOT ' if failed else ''}laid out for {page}-byte pages")
sys.exit(1 if failed else 0)
