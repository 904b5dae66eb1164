#!/usr/bin/env python3
"""Checks that an executable needs exactly the given shared libraries.

usage: needed_test.py READELF EXECUTABLE [LIBRARY...]
"""
import re
import subprocess
import sys

readelf, executable, expected = sys.argv[1], sys.argv[2], sorted(sys.argv[3:])
dynamic = subprocess.run([readelf, "-d", executable], check=True,
                         capture_output=True, text=True).stdout
needed = sorted(re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", dynamic))
print(f"{executable} needs {needed or 'nothing'}; expected {expected or 'nothing'}")
sys.exit(0 if needed == expected else 1)
