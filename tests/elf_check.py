#!/usr/bin/env python3
"""Checks the facts of the executable that no run shows.

usage: elf_check.py EXECUTABLE [--needs [LIBRARY...]]
                    [--interpreter PATH | --static-pie] [--page-size BYTES]
                    [--stack-protector [--objects ARCHIVE] [--fortified]]
                    [--control-flow-like PROBE] [--android-api LEVEL]

--static-pie: ELF type DYN and no interpreter, so that a kernel alone starts
it; with an interpreter, full RELRO. --page-size: each LOAD segment aligned to
a page (Android's tools), its offset equal to its address modulo a page (the
kernel). The symbols, or those of ARCHIVE, show the hardening, and the
executable carries every control-flow feature that PROBE, linked by the same
toolchain from marked objects, carries. --android-api: the dynamic section
holds only what every Android release from LEVEL on reads without a warning.
"""
import argparse
import re
import sys

from harness import Elf, Tally

# Android's linker warns on standard error, at every start, about each
# dynamic entry and DT_FLAGS_1 bit that its release does not know: here each
# is listed under the API level from which every release knows it. A build
# for API 21 must also suit Android 5.1 (API 22), which knows less than the
# 5.0 linker leaves unread.
ANDROID_TAGS = {
    21: dict(NULL=0, NEEDED=1, PLTRELSZ=2, PLTGOT=3, HASH=4, STRTAB=5, SYMTAB=6, RELA=7,
             RELASZ=8, RELAENT=9, STRSZ=10, SYMENT=11, INIT=12, FINI=13, SONAME=14,
             SYMBOLIC=16, REL=17, RELSZ=18, RELENT=19, PLTREL=20, DEBUG=21, JMPREL=23,
             BIND_NOW=24, INIT_ARRAY=25, FINI_ARRAY=26, INIT_ARRAYSZ=27, FINI_ARRAYSZ=28,
             FLAGS=30, PREINIT_ARRAY=32, PREINIT_ARRAYSZ=33, RELACOUNT=0x6FFFFFF9,
             RELCOUNT=0x6FFFFFFA, FLAGS_1=0x6FFFFFFB, VERDEF=0x6FFFFFFC, VERDEFNUM=0x6FFFFFFD),
    # 5.1 reads VERSYM, but it indexes the VERNEED table, which 5.1 does not.
    23: dict(GNU_HASH=0x6FFFFEF5, VERSYM=0x6FFFFFF0, VERNEED=0x6FFFFFFE, VERNEEDNUM=0x6FFFFFFF,
             ANDROID_REL=0x6000000F, ANDROID_RELSZ=0x60000010, ANDROID_RELA=0x60000011,
             ANDROID_RELASZ=0x60000012),
    24: dict(RUNPATH=29),
    28: dict(ANDROID_RELR=0x6FFFE000, ANDROID_RELRSZ=0x6FFFE001, ANDROID_RELRENT=0x6FFFE003),
    30: dict(RELRSZ=35, RELR=36, RELRENT=37),
    31: dict(AARCH64_BTI_PLT=0x70000001, AARCH64_PAC_PLT=0x70000003,
             AARCH64_VARIANT_PCS=0x70000005),
    34: dict(AARCH64_MEMTAG_MODE=0x70000009, AARCH64_MEMTAG_HEAP=0x7000000B,
             AARCH64_MEMTAG_STACK=0x7000000C, AARCH64_MEMTAG_GLOBALS=0x7000000D,
             AARCH64_MEMTAG_GLOBALSSZ=0x7000000F),
}
ANDROID_FLAGS_1 = {"NOW": 21, "GLOBAL": 21, "NODELETE": 23, "PIE": 26, "ORIGIN": 33}


def android_faults(elf, api):
    """What in ELF's dynamic section a release from API level API on warns about."""
    level = {tag: (name, first) for first, tags in ANDROID_TAGS.items()
             for name, tag in tags.items()}
    faults, entries = [], elf.dynamic()
    for tag, value in entries:
        name, first = level.get(tag, (f"{tag:#x}", None))
        if not first or first > api:
            faults.append(f"DT_{name}, known " + (f"from API {first} on" if first else "to no release"))
        for bit in value.split()[1:] if name == "FLAGS_1" else []:
            first = ANDROID_FLAGS_1.get(bit)
            if not first or first > api:
                faults.append(f"DT_FLAGS_1 {bit}, taken " +
                              (f"from API {first} on" if first else "by no release"))
    if api < 23 and all(tag != 4 for tag, _ in entries):
        faults.append("no DT_HASH, which Android 5 needs")
    return faults


parser = argparse.ArgumentParser()
parser.add_argument("executable")
parser.add_argument("--needs", nargs="*")
parser.add_argument("--interpreter")
parser.add_argument("--static-pie", action="store_true")
parser.add_argument("--page-size", type=int)
parser.add_argument("--stack-protector", action="store_true")
parser.add_argument("--objects")
parser.add_argument("--fortified", action="store_true")
parser.add_argument("--control-flow-like")
parser.add_argument("--android-api", type=int)
options = parser.parse_args()

elf = Elf(options.executable)
tally = Tally()
interpreter = elf.interpreter()
if options.needs is not None:
    needed, expected = sorted(elf.needed()), sorted(options.needs)
    tally.check(f"needs {expected or 'nothing'}",
                [] if needed == expected else [f"needs {needed or 'nothing'}"])
if options.interpreter:
    tally.check(f"interpreter {options.interpreter}",
                [] if interpreter == options.interpreter else [f"interpreter {interpreter}"])
if interpreter:
    relro = any(segment[0] == "GNU_RELRO" for segment in elf.segments())
    tally.check("full RELRO: GNU_RELRO and BIND_NOW",
                ([] if relro else ["no GNU_RELRO"]) + ([] if elf.bind_now() else ["no BIND_NOW"]))
if options.static_pie:
    kind = elf.header("Type").split()[0]
    tally.check("static PIE: ELF type DYN, no interpreter",
                ([] if kind == "DYN" else [f"ELF type {kind}"]) +
                ([f"interpreter {interpreter}"] if interpreter else []))

if options.page_size:
    page, faults = options.page_size, []
    loads = [s for s in elf.segments() if s[0] == "LOAD"]
    for _, offset, address, align in loads:
        where = f"LOAD offset {offset:#x} address {address:#x} align {align:#x}"
        if align < page:
            faults.append(f"{where}: aligned to less than a page")
        if offset % page != address % page:
            faults.append(f"{where}: offset and address differ modulo a page")
    if not loads:
        faults.append("no LOAD segment")
    tally.check(f"laid out for {page}-byte pages", faults)

if options.stack_protector:
    names, where = elf.symbols(), options.executable
    if not names and options.objects:
        names, where = Elf(options.objects).symbols(), options.objects
    shown = {"stack protector": "__stack_chk_fail" in names}
    if options.fortified:
        shown["fortified calls"] = any(re.fullmatch(r"__\w+_chk", name) for name in names)
    for name, there in shown.items():
        tally.check(f"{name}, in the symbols of {where}", [] if there else ["not there"])
if options.control_flow_like:
    carried, allowed = elf.features(), Elf(options.control_flow_like).features()
    for feature in sorted(allowed):
        tally.check(f"control-flow {feature}: carried, as the toolchain allows",
                    [] if feature in carried else ["NOT carried"])
    if not allowed:
        print("     control-flow: the toolchain's start files and runtime allow no feature")
if options.android_api:
    tally.check(f"dynamic section read silently by Android from API {options.android_api} on",
                android_faults(elf, options.android_api))
sys.exit(tally.summary())
