#!/usr/bin/env python3
"""Checks the facts of the executable that no run shows.

usage: elf_check.py EXECUTABLE [--needs [LIBRARY...]]
                    [--interpreter PATH | --static-pie] [--page-size BYTES]
                    [--stack-protector [--objects ARCHIVE] [--fortified]]
                    [--control-flow-like PROBE]

--static-pie: ELF type DYN and no interpreter, so that a kernel alone starts
it; with an interpreter, full RELRO. --page-size: each LOAD segment aligned to
a page (Android's tools), its offset equal to its address modulo a page (the
kernel). The symbols, or those of ARCHIVE, show the hardening, and the
executable carries every control-flow feature that PROBE, linked by the same
toolchain from marked objects, carries.
"""
import argparse
import re
import sys

from harness import Elf, Tally

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
sys.exit(tally.summary())
