#!/usr/bin/env python3
"""Checks that Android.bp builds the tool as the CMake build does: from the
same sources, with the same warnings, and with the same version header,
which its genrule makes from CMakeLists.txt.

usage: android_bp_test.py ANDROID_BP --srcs SOURCE... --warnings=FLAG[;FLAG...]
                          --version-header HEADER

Lists may also come with their items separated by ";", as CMake writes them.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

from harness import Tally


def bp_list(text, name):
    """Returns the strings of the Blueprint list property NAME."""
    found = re.search(r"\b" + name + r"\s*:\s*\[(.*?)\]", text, re.DOTALL)
    return re.findall(r'"([^"]*)"', found.group(1)) if found else []


def cmake_list(items):
    return [item for arg in items for item in arg.split(";") if item]


def genrule_output(text, root):
    """What the genrule's command writes, run here with the shell as Soong
    runs it."""
    found = re.search(r'\bcmd\s*:\s*"((?:[^"\\]|\\.)*)"', text)
    with tempfile.TemporaryDirectory() as work:
        command = re.sub(r"\\(.)", r"\1", found.group(1) if found else "false")
        command = command.replace("$(in)", os.path.join(root, "CMakeLists.txt"))
        subprocess.run(["sh", "-c", command.replace("$(out)", f"{work}/out")])
        return open(f"{work}/out").read() if os.path.exists(f"{work}/out") else None


parser = argparse.ArgumentParser()
parser.add_argument("android_bp")
parser.add_argument("--srcs", nargs="+", required=True)
parser.add_argument("--warnings", required=True)
parser.add_argument("--version-header", required=True)
options = parser.parse_args()
with open(options.android_bp, encoding="utf-8") as bp:
    # Comments may mention a property; only the properties themselves count.
    text = re.sub(r"//[^\n]*|/\*.*?\*/", "", bp.read(), flags=re.DOTALL)
with open(options.version_header, encoding="utf-8") as f:
    header = f.read()
root = os.path.dirname(os.path.abspath(options.android_bp))
binary = text[text.find("cc_binary"):]
tally = Tally()
for name, in_bp, in_cmake in [
    # CMake may name a source by its absolute path; Android.bp cannot.
    ("srcs", sorted(bp_list(binary, "srcs")),
     sorted(os.path.relpath(os.path.join(root, src), root) for src in cmake_list(options.srcs))),
    # Android.bp adds -Werror: a platform build has no other setting.
    ("warnings", sorted(f for f in bp_list(binary, "cflags") if f.startswith("-W") and f != "-Werror"),
     sorted(cmake_list([options.warnings]))),
    ("version header, and the tool takes it",
     (genrule_output(text, root), bp_list(binary, "generated_headers")),
     (header, re.findall(r'\bname\s*:\s*"(zem_dma_test_version)"', text))),
]:
    tally.check(name, [] if in_bp == in_cmake else [f"Android.bp {in_bp!r}, CMake {in_cmake!r}"])
sys.exit(tally.summary())
