#!/usr/bin/env python3
"""Rewrites an Android executable's dynamic section in place, after the
link, so that the dynamic linker of every Android release from API level
API on reads it without a warning.

usage: android_dynamic.py --api API EXECUTABLE

Android's linker writes a line to standard error, each time a program
starts, for every dynamic entry and DT_FLAGS_1 bit that its release does not
know. Some of them no link option leaves out: lld sets DF_1_PIE in every
PIE, a real sysroot's libc versions its symbols, and branch protection adds
the AArch64 PLT entries. The entries that such a release does not know are
removed, the later ones moved up and the end filled with DT_NULL, and the
flags that it does not know are cleared; no other byte of the file changes.
A file that is not a 64-bit little-endian Arm ELF file with a dynamic
section is refused with one line that names it.
"""
import argparse
import struct
import sys

DT_NULL, DT_HASH, DT_FLAGS_1 = 0, 4, 0x6FFFFFFB
PT_DYNAMIC, EM_AARCH64 = 2, 183

# The entries that may go, each with the API level from which every release
# knows it. None is needed to start: DT_HASH finds the symbols, a release
# that checks no versions binds by name, and bionic binds every symbol at
# start, so the PLT entries tell it nothing.
REMOVABLE = {
    0x6FFFFEF5: 23,  # DT_GNU_HASH
    0x6FFFFFF0: 23,  # DT_VERSYM, which indexes the DT_VERNEED table
    0x6FFFFFFE: 23,  # DT_VERNEED
    0x6FFFFFFF: 23,  # DT_VERNEEDNUM
    0x70000001: 31,  # DT_AARCH64_BTI_PLT; the BTI property note stays
    0x70000003: 31,  # DT_AARCH64_PAC_PLT
    0x70000005: 31,  # DT_AARCH64_VARIANT_PCS
    0x70000009: 34,  # DT_AARCH64_MEMTAG_MODE
    0x7000000B: 34,  # DT_AARCH64_MEMTAG_HEAP
    0x7000000C: 34,  # DT_AARCH64_MEMTAG_STACK
    0x7000000D: 34,  # DT_AARCH64_MEMTAG_GLOBALS
    0x7000000F: 34,  # DT_AARCH64_MEMTAG_GLOBALSSZ
}
# The DT_FLAGS_1 bits, each with the API level from which every release
# takes it: Android 5.0 reads no DT_FLAGS_1, 5.1 takes NOW and GLOBAL.
FLAGS_1 = {0x1: 21, 0x2: 21, 0x8: 23, 0x8000000: 26, 0x80: 33}


class Refused(Exception):
    """The file is not one this step understands; the message says why."""


def dynamic_section(data):
    """The offset and size of the dynamic segment of the ELF file DATA."""
    if data[:4] != b"\x7fELF" or data[4:6] != b"\x02\x01":
        raise Refused("not a 64-bit little-endian ELF file")
    machine, = struct.unpack_from("<H", data, 18)
    if machine != EM_AARCH64:
        raise Refused(f"ELF machine {machine}, not 64-bit Arm")
    phoff, = struct.unpack_from("<Q", data, 32)
    phentsize, phnum = struct.unpack_from("<HH", data, 54)
    for index in range(phnum):
        kind, _, offset, _, _, size = struct.unpack_from("<IIQQQQ", data,
                                                         phoff + index * phentsize)
        if kind == PT_DYNAMIC:
            if offset + size > len(data):
                raise Refused("its dynamic section lies past the end of the file")
            return offset, size
    raise Refused("no dynamic section")


def rewrite(data, api):
    """Returns the offset in DATA and the new bytes of its dynamic section's
    entries, up to and including the DT_NULL that ended them."""
    offset, size = dynamic_section(data)
    entries = []
    for at in range(offset, offset + size - 15, 16):
        entry = struct.unpack_from("<QQ", data, at)
        if entry[0] == DT_NULL:
            break
        entries.append(entry)
    else:
        raise Refused("its dynamic section has no DT_NULL")
    if api < 23 and DT_HASH not in (tag for tag, _ in entries):
        raise Refused(f"no DT_HASH, which API level {api} needs: link with --hash-style=sysv")
    taken = sum(bit for bit, level in FLAGS_1.items() if level <= api)
    kept = [(tag, value & taken if tag == DT_FLAGS_1 else value)
            for tag, value in entries if REMOVABLE.get(tag, 0) <= api]
    new = b"".join(struct.pack("<QQ", *entry) for entry in kept)
    return offset, new + bytes(16 * (len(entries) + 1 - len(kept)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--api", type=int, required=True)
    parser.add_argument("executable")
    options = parser.parse_args()
    try:
        with open(options.executable, "r+b") as f:
            offset, new = rewrite(f.read(), options.api)
            f.seek(offset)
            f.write(new)
    except OSError as error:
        sys.exit(f"{options.executable}: {error.strerror}")
    except (Refused, struct.error) as error:
        reason = error if isinstance(error, Refused) else "truncated ELF file"
        sys.exit(f"{options.executable}: {reason}")


if __name__ == "__main__":
    main()
