#!/usr/bin/env python3
"""Checks that Android.bp builds the tool from the same sources, with the same
warnings, as the CMake build.

usage: android_bp_test.py ANDROID_BP --srcs SOURCE... --warnings=FLAG[;FLAG...]

Lists may also come with their items separated by ";", as CMake writes them.
"""
import argparse
import os
import re
import sys


def bp_list(text, name):
    """Returns the strings of the Blueprint list property NAME."""
    found = re.search(r"\b" + name + r"\s*:\s*\[(.*?)\]", text, re.DOTALL)
    return re.findall(r'"([^"]*)"', found.group(1)) if found else []


def cmake_list(items):
    return [item for arg in items for item in arg.split(";") if item]


parser = argparse.ArgumentParser()
parser.add_argument("android_bp")
parser.add_argument("--srcs", nargs="+", required=True)
parser.add_argument("--warnings", required=True)
options = parser.parse_args()

with open(options.android_bp, encoding="utf-8") as bp:
    # Comments may mention a property; only the properties themselves count.
    text = re.sub(r"//[^\n]*|/\*.*?\*/", "", bp.read(), flags=re.DOTALL)
root = os.path.dirname(os.path.abspath(options.android_bp))
checks = [
    # CMake may name a source by its absolute path; Android.bp cannot.
    ("srcs", sorted(bp_list(text, "srcs")),
     sorted(os.path.relpath(os.path.join(root, src), root) for src in cmake_list(options.srcs))),
    # Android.bp adds -Werror: a platform build has no other setting.
    ("warnings",
     sorted(f for f in bp_list(text, "cflags") if f.startswith("-W") and f != "-Werror"),
     sorted(cmake_list([options.warnings]))),
]
failed = False
for name, in_bp, in_cmake in checks:
    same = in_bp == in_cmake
    print(f"{'ok  ' if same else 'FAIL'} {name}: Android.bp {in_bp}, CMake {in_cmake}")
    failed |= not same
sys.exit(1 if failed else 0)
