#!/usr/bin/env python3
"""Checks that an executable needs exactly the given shared libraries and,
if one is named, that it is started by the given program interpreter.

usage: needed_test.py [--interpreter PATH] READELF EXECUTABLE [LIBRARY...]
"""
import argparse
import re
import subprocess
import sys

parser = argparse.ArgumentParser()
parser.add_argument("--interpreter")
parser.add_argument("readelf")
parser.add_argument("executable")
parser.add_argument("libraries", nargs="*")
options = parser.parse_args()

elf = subprocess.run([options.readelf, "-d", "-l", options.executable],
                     check=True, capture_output=True, text=True).stdout
needed = sorted(re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", elf))
expected = sorted(options.libraries)
print(f"{options.executable} needs {needed or 'nothing'}; "
      f"expected {expected or 'nothing'}")
ok = needed == expected
if options.interpreter:
    found = re.search(r"\[Requesting program interpreter: (.*)\]", elf)
    interpreter = found.group(1) if found else None
    print(f"interpreter {interpreter}; expected {options.interpreter}")
    ok = ok and interpreter == options.interpreter
sys.exit(0 if ok else 1)
