#!/usr/bin/env python3
"""Checks that an executable needs exactly the given shared libraries and,
if one is named, that it is started by the given program interpreter; or,
with --static-pie, that it is a position-independent executable (ELF type
DYN) that names no interpreter, so that a kernel alone starts it. An
executable that names an interpreter must have full RELRO: a GNU_RELRO
segment, and BIND_NOW so that nothing is bound after start.

With --stack-protector, the executable's symbols, or where it has none those
of OBJECTS, must show the stack protector; with --fortified, a fortified libc
call too. With --control-flow-like PROBE, the executable must carry every
control-flow feature (AArch64 BTI and PAC, x86 IBT and SHSTK) that PROBE, a
program the same toolchain linked from marked objects, carries.

usage: needed_test.py [--interpreter PATH | --static-pie] [--stack-protector]
                      [--objects ARCHIVE] [--fortified]
                      [--control-flow-like PROBE] READELF EXECUTABLE
                      [LIBRARY...]
"""
import argparse
import re
import subprocess
import sys

parser = argparse.ArgumentParser()
parser.add_argument("--interpreter")
parser.add_argument("--static-pie", action="store_true")
parser.add_argument("--stack-protector", action="store_true")
parser.add_argument("--objects")
parser.add_argument("--fortified", action="store_true")
parser.add_argument("--control-flow-like")
parser.add_argument("readelf")
parser.add_argument("executable")
parser.add_argument("libraries", nargs="*")
options = parser.parse_args()

elf = subprocess.run([options.readelf, "-h", "-d", "-l", options.executable],
                     check=True, capture_output=True, text=True).stdout
needed = sorted(re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", elf))
expected = sorted(options.libraries)
print(f"{options.executable} needs {needed or 'nothing'}; "
      f"expected {expected or 'nothing'}")
ok = needed == expected
found = re.search(r"\[Requesting program interpreter: (.*)\]", elf)
interpreter = found.group(1) if found else None
if options.interpreter:
    print(f"interpreter {interpreter}; expected {options.interpreter}")
    ok = ok and interpreter == options.interpreter
if interpreter:
    relro = re.search(r"^\s*GNU_RELRO\s", elf, re.MULTILINE) is not None
    now = re.search(r"\(FLAGS\)\s.*\bBIND_NOW\b|\(FLAGS_1\)\s.*\bNOW\b", elf) is not None
    print(f"GNU_RELRO {'yes' if relro else 'no'}, BIND_NOW {'yes' if now else 'no'}; "
          f"expected both")
    ok = ok and relro and now
if options.static_pie:
    kind = re.search(r"^\s*Type:\s+(\w+)", elf, re.MULTILINE).group(1)
    print(f"ELF type {kind}, interpreter {interpreter}; expected DYN and none")
    ok = ok and kind == "DYN" and interpreter is None


def readelf(*args):
    return subprocess.run([options.readelf, "-W", *args], check=True,
                          capture_output=True, text=True).stdout


def symbols(path):
    return {fields[7].split("@")[0] for fields in map(str.split, readelf("-s", path).splitlines())
            if len(fields) >= 8 and fields[0][:-1].isdigit()}


def features(path):
    """The control-flow features that PATH's GNU property note names."""
    found = re.findall(r"(?i:AArch64|x86) feature: ([A-Z0-9]+(?:, [A-Z0-9]+)*)",
                       readelf("-n", path))
    return {name for names in found for name in names.split(", ")}


if options.stack_protector:
    names = symbols(options.executable)
    where = options.executable
    if not names and options.objects:
        names, where = symbols(options.objects), options.objects
    shown = {"stack protector": "__stack_chk_fail" in names}
    if options.fortified:
        shown["fortified calls"] = any(re.fullmatch(r"__\w+_chk", name) for name in names)
    for name, there in shown.items():
        print(f"{name}: {'yes' if there else 'no'} in the symbols of {where}; expected yes")
        ok = ok and there
if options.control_flow_like:
    carried, toolchain = features(options.executable), features(options.control_flow_like)
    for feature in sorted(toolchain):
        print(f"control-flow {feature}: {'carried' if feature in carried else 'NOT carried'}; "
              f"the toolchain's start files and runtime allow it")
    if not toolchain:
        print("control-flow: the toolchain's start files and runtime allow no feature")
    ok = ok and toolchain <= carried
sys.exit(0 if ok else 1)
