#!/usr/bin/env python3
"""Checks that an executable needs exactly the given shared libraries and,
if one is named, that it is started by the given program interpreter; or,
with --static-pie, that it is a position-independent executable (ELF type
DYN) that names no interpreter, so that a kernel alone starts it. An
executable that names an interpreter must have full RELRO: a GNU_RELRO
segment, and BIND_NOW so that nothing is bound after start.

usage: needed_test.py [--interpreter PATH | --static-pie] READELF EXECUTABLE
                      [LIBRARY...]
"""
import argparse
import re
import subprocess
import sys

parser = argparse.ArgumentParser()
parser.add_argument("--interpreter")
parser.add_argument("--static-pie", action="store_true")
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
sys.exit(0 if ok else 1)
