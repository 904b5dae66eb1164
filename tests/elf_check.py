#!/usr/bin/env python3
"""Checks the facts of the executable that no run shows: what it needs to
start, how it is laid out, and what the hardening left in it.

usage: elf_check.py EXECUTABLE [--needs [LIBRARY...]]
                    [--interpreter PATH | --static-pie] [--page-size BYTES]
                    [--stack-protector [--objects ARCHIVE] [--fortified]]
                    [--control-flow-like PROBE]

--needs: it needs exactly these shared libraries. --interpreter: it is
started by that program interpreter. --static-pie: it is position-independent
(ELF type DYN) and names no interpreter, so that a kernel alone starts it.
One that names an interpreter must have full RELRO: a GNU_RELRO segment, and
BIND_NOW, so that nothing is bound after start.

--page-size: a kernel with pages of that many bytes can start it: every LOAD
segment is aligned to at least a page, which Android's tools require, and
its file offset equals its address modulo a page, which the kernel requires.

--stack-protector: its symbols, or where it has none those of the objects
in ARCHIVE, show the stack protector; --fortified, a fortified libc call
too. --control-flow-like: it carries every control-flow feature (AArch64
BTI and PAC, x86 IBT and SHSTK) that PROBE, a program the same toolchain
linked from marked objects, carries.
"""
import argparse
import re
import sys

from harness import PT_LOAD, Elf, Tally, archive_members

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
options = parser.parse_args()

elf = Elf.read(options.executable)
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
    tally.check("full RELRO: GNU_RELRO and BIND_NOW",
                [f"no {name}" for name, there in (("GNU_RELRO", elf.relro()),
                                                  ("BIND_NOW", elf.bind_now())) if not there])
if options.static_pie:
    tally.check("static PIE: ELF type DYN, no interpreter",
                ([] if elf.type == 3 else [f"ELF type {elf.type}"]) +
                ([f"interpreter {interpreter}"] if interpreter else []))

if options.page_size:
    page, faults = options.page_size, []
    for kind, offset, address, _, align in elf.segments:
        if kind != PT_LOAD:
            continue
        where = f"LOAD offset {offset:#x} address {address:#x} align {align:#x}"
        if align < page:
            faults.append(f"{where}: aligned to less than a page")
        if offset % page != address % page:
            faults.append(f"{where}: offset and address differ modulo a page")
    if not any(segment[0] == PT_LOAD for segment in elf.segments):
        faults.append("no LOAD segment")
    tally.check(f"laid out for {page}-byte pages", faults)

if options.stack_protector:
    names, where = elf.symbols(), options.executable
    if not names and options.objects:
        names = set().union(*(member.symbols() for member in archive_members(options.objects)))
        where = options.objects
    shown = {"stack protector": "__stack_chk_fail" in names}
    if options.fortified:
        shown["fortified calls"] = any(re.fullmatch(r"__\w+_chk", name) for name in names)
    for name, there in shown.items():
        tally.check(f"{name}, in the symbols of {where}", [] if there else ["not there"])
if options.control_flow_like:
    carried, allowed = elf.features(), Elf.read(options.control_flow_like).features()
    for feature in sorted(allowed):
        tally.check(f"control-flow {feature}: carried, as the toolchain allows",
                    [] if feature in carried else ["NOT carried"])
    if not allowed:
        print("     control-flow: the toolchain's start files and runtime allow no feature")
sys.exit(tally.summary())
