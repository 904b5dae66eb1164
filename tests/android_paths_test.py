#!/usr/bin/env python3
"""Configures with the Android toolchain file, as a user would, against
directories that only look like bionic's: a missing or wrong directory must
be named plainly in one error, and the directories given once must stay with
the build directory. Then it configures the android-arm64 preset against a
stand-in sysroot that links as bionic's does, and builds the tool, which must
pass the build's own elf test; nothing may print a warning. Last, the
post-link step that rewrites the Android executable's dynamic section, on
small ELF files.

usage: android_paths_test.py CMAKE SOURCE_DIR
"""
import argparse
import atexit
import os
import shutil
import struct
import subprocess
import sys
import tempfile

from harness import Tally

parser = argparse.ArgumentParser()
parser.add_argument("cmake")
parser.add_argument("source")
options = parser.parse_args()
cmake, source = options.cmake, options.source
toolchain = os.path.join(source, "cmake", "toolchains", "aarch64-linux-android.cmake")
probe = os.path.join(source, "tests", "android_toolchain_probe")
work = tempfile.mkdtemp(prefix="android-paths-")
atexit.register(shutil.rmtree, work)

SYSROOT = f"{work}/ndk/sysroot"
ROOTFS = f"{work}/rootfs"
OTHER_SYSROOT = f"{work}/other/sysroot"
for sysroot in (SYSROOT, OTHER_SYSROOT):
    os.makedirs(f"{sysroot}/usr/include")
    os.makedirs(f"{sysroot}/usr/lib/aarch64-linux-android")
    open(f"{sysroot}/usr/include/stdio.h", "w").close()
BARE_ROOTFS = f"{work}/bare-rootfs"
for root in (ROOTFS, BARE_ROOTFS):
    os.makedirs(f"{root}/system/bin")
    open(f"{root}/system/bin/linker64", "w").close()
os.makedirs(f"{ROOTFS}/linkerconfig")
open(f"{ROOTFS}/linkerconfig/ld.config.txt", "w").close()
os.makedirs(f"{work}/headers-only/usr/include")
open(f"{work}/headers-only/usr/include/stdio.h", "w").close()
BOTH = {"ZEM_ANDROID_SYSROOT": SYSROOT, "ZEM_ANDROID_ROOTFS": ROOTFS}
# A stand-in for bionic's sysroot, made with clang below: musl's arm64
# headers, which declare what the tool uses; a start-up object that needs
# libc, as bionic's does; stub libraries, libc versioning its symbols as
# bionic's and the NDK's do; and no libgcc, which NDKs since r23 do not ship.
STANDIN = f"{work}/standin/sysroot"
MUSL_HEADERS = "/usr/include/aarch64-linux-musl"
# As bionic's crtbegin_dynamic.o: _start hands main to __libc_init and
# registers destructors with __cxa_atexit, both defined by libc alone.
CRTBEGIN = b"""
void __libc_init(void*, void (*)(void), int (*)(int, char**, char**), void*);
int __cxa_atexit(void (*)(void*), void*, void*);
int main(int, char**, char**);
__attribute__((visibility("hidden"))) void* __dso_handle;
static void destructors(void* unused) { (void)unused; }
void _start(void) {
  __cxa_atexit(destructors, 0, &__dso_handle);
  __libc_init(0, 0, main, 0);
}
"""
# What the tool and the start-up object take from libc; nothing here runs.
LIBC = b"""
void fwrite(void) {}
void fprintf(void) {}
void fflush(void) {}
void ferror(void) {}
void perror(void) {}
void fputs(void) {}
void execv(void) {}
void __stack_chk_fail(void) {}
void strcmp(void) {}
void getopt_long(void) {}
void __libc_init(void) {}
void __cxa_atexit(void) {}
int optind, opterr;
void *stdout, *stderr;
"""
LIBC_VERSIONS = b"LIBC { global: *; };\n"


def with_sysroot(path):
    return {"ZEM_ANDROID_SYSROOT": path, "ZEM_ANDROID_ROOTFS": ROOTFS}


def settled(sysroot):
    return f"-- sysroot {sysroot}, rootfs {ROOTFS}"


def configure(build, *args, project=probe):
    return [cmake, "-G", "Ninja", "-S", project, "-B", build,
            f"-DCMAKE_TOOLCHAIN_FILE={toolchain}", *args]


def preset(build, *args):
    return [cmake, "-S", source, "--preset", "android-arm64", "-B", build, *args]


def build_tool(build):
    return [cmake, "--build", build, "--target", "zem_dma_test", "control_flow_probe",
            "exec_empty_argv"]


def elf_check(build):
    """The build's own elf test, with the page size it configured."""
    return [os.path.join(os.path.dirname(cmake), "ctest"), "--test-dir", build,
            "-R", "^elf$", "--output-on-failure", "-V"]


# A wrong directory stops the real project's configure with one error that
# names the variable and what is missing. Each starts a new build directory.
# name, environment, what the error says
ERRORS = [(name, env, configure(f"e{index}", project=source), 1, texts)
          for index, (name, env, texts) in enumerate([
    ("nothing set", {}, ["ZEM_ANDROID_SYSROOT is not set",
                         "ZEM_ANDROID_ROOTFS is not set"]),
    ("sysroot's parent", with_sysroot(f"{work}/ndk"),
     [f"ZEM_ANDROID_SYSROOT is '{work}/ndk', which has no usr/include/stdio.h"]),
    ("sysroot without libraries", with_sysroot(f"{work}/headers-only"),
     ["which has no usr/lib/aarch64-linux-android"]),
    ("relative sysroot", with_sysroot("ndk/sysroot"),
     ["ZEM_ANDROID_SYSROOT is 'ndk/sysroot', which is not a directory's absolute path"]),
    ("root without linker", {"ZEM_ANDROID_SYSROOT": SYSROOT, "ZEM_ANDROID_ROOTFS": work},
     [f"ZEM_ANDROID_ROOTFS is '{work}', which has no system/bin/linker64"]),
])] + [("API level below arm64's first", BOTH,
        configure("e-api", "-DZEM_ANDROID_API=19", project=source), 1,
        ["ZEM_ANDROID_API is '19'. It must be an Android API level, 21 or above"])]

# One build directory of the probe project, step after step.
# name, environment, command, status, text the output holds
STEPS = [
    ("first configure, from the environment", BOTH, configure("b"), 0, settled(SYSROOT)),
    ("new shell, configure again", {}, configure("b"), 0, settled(SYSROOT)),
    ("new shell, build re-runs configure", {},
     [cmake, "--build", "b", "--target", "rebuild_cache"], 0, settled(SYSROOT)),
    ("other value in the environment is not taken", with_sysroot(OTHER_SYSROOT),
     configure("b"), 0, "the cached one is used"),
    ("new value with -D wins", {},
     configure("b", f"-DZEM_ANDROID_SYSROOT={OTHER_SYSROOT}"), 0, settled(OTHER_SYSROOT)),
    ("and is kept", {}, configure("b"), 0, settled(OTHER_SYSROOT)),
    ("wrong value with -D fails", {},
     configure("b", f"-DZEM_ANDROID_SYSROOT={work}"), 1, "which has no usr/include"),
    ("and is dropped: the environment counts again", BOTH,
     configure("b"), 0, settled(SYSROOT)),
    ("a root without linkerconfig/ld.config.txt is named", {},
     configure("b", f"-DZEM_ANDROID_ROOTFS={BARE_ROOTFS}"), 0,
     "ZEM_ANDROID_ROOTFS has no linkerconfig/ld.config.txt: from Android 11 on"),
]


# The real project against the stand-in, each in a build directory of its
# own; none of these may print a warning or a failed compiler check.
# name, environment, command, status, text (or texts) the output holds
BUILDS = [
    ("android-arm64 configures, compiler checks passing", with_sysroot(STANDIN),
     preset("a"), 0, "Detecting CXX compiler ABI info - done"),
    ("and builds the tool", {}, build_tool("a"), 0, "Linking CXX executable zem_dma_test"),
    ("needs libc.so, 16 KB pages, stack protector, BTI and PAC, silent from API 21", {},
     elf_check("a"), 0, ["needs ['libc.so']", "interpreter /system/bin/linker64",
                         "laid out for 16384-byte pages", "stack protector",
                         "control-flow BTI: carried", "control-flow PAC: carried",
                         "dynamic section read silently by Android from API 21 on"]),
    ("and the device's empty-vector helper, stepped alike", {},
     [sys.executable, f"{source}/tests/elf_check.py", "a/tests/exec_empty_argv",
      "--android-api", "21"], 0, "dynamic section read silently by Android from API 21 on"),
    ("API 26, with the user's link flags for 64 KB pages and -z nodlopen",
     with_sysroot(STANDIN),
     preset("u", "-DZEM_ANDROID_API=26",
            "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-z,max-page-size=0x10000 -Wl,-z,nodlopen"),
     0, "Detecting CXX compiler ABI info - done"),
    ("builds the tool", {}, build_tool("u"), 0, "Linking CXX executable zem_dma_test"),
    ("laid out for 64 KB pages, silent from API 26", {}, elf_check("u"), 0,
     ["laid out for 65536-byte pages", "dynamic section read silently by Android from API 26 on"]),
]
NOT_IN_BUILDS = ["ABI info - failed", "CMake Warning", "warning:", "no linkerconfig"]


def small_elf(entries, ident=b"\x7fELF\x02\x01", machine=183, headers=2):
    """A 64-bit Arm ELF file of a LOAD and a DYNAMIC program header (HEADERS
    of them counted), the dynamic ENTRIES and a DT_NULL, and a tail."""
    dynamic = b"".join(struct.pack("<QQ", *entry) for entry in entries + [(0, 0)])
    start, size = 64 + 2 * 56, 64 + 2 * 56 + len(dynamic) + 4
    return (ident + b"\x01" + bytes(9) +
            struct.pack("<HHIQQQIHHHHHH", 3, machine, 1, 0, 64, 0, 0, 64, 56, headers, 0, 0, 0) +
            struct.pack("<IIQQQQQQ", 1, 4, 0, 0, 0, size, size, 0x1000) +
            struct.pack("<IIQQQQQQ", 2, 6, start, start, start, len(dynamic), len(dynamic), 8) +
            dynamic + b"tail")


def stepped(before, api, after):
    """A row of STEP_CASES: BEFORE's entries at API, and AFTER's, with the
    DT_NULL that end the section where the removed ones stood."""
    padded = after + [(0, 0)] * (len(before) - len(after))
    return small_elf(before), api, small_elf(padded)


HASH, STRTAB, GNU_HASH, VERSYM = (4, 0x1000), (5, 0x2000), (0x6FFFFEF5, 0x3000), (0x6FFFFFF0, 0x4000)
VERNEED, VERNEEDNUM, BTI_PLT = (0x6FFFFFFE, 0x5000), (0x6FFFFFFF, 1), (0x70000001, 0)
NOW, NOOPEN, PIE = 0x1, 0x40, 0x8000000
SEVERAL = [(0x6FFFFFFB, NOW | NOOPEN | PIE), GNU_HASH, HASH, VERSYM, BTI_PLT, VERNEED,
           VERNEEDNUM, STRTAB]
# The post-link step on small files: name, file, API level, and the file it
# must leave, or why it must refuse, leaving the file as it was.
STEP_CASES = [
    ("nothing to remove", *stepped([HASH, (0x6FFFFFFB, NOW), STRTAB], 21,
                                   [HASH, (0x6FFFFFFB, NOW), STRTAB])),
    ("the entry last before DT_NULL", *stepped([HASH, STRTAB, BTI_PLT], 21, [HASH, STRTAB])),
    ("several entries and bits, the later ones moved up",
     *stepped(SEVERAL, 21, [(0x6FFFFFFB, NOW), HASH, STRTAB])),
    ("PIE and the GNU hash kept from API 26, NOOPEN never",
     *stepped(SEVERAL, 26, [(0x6FFFFFFB, NOW | PIE), GNU_HASH, HASH, VERSYM, VERNEED,
                            VERNEEDNUM, STRTAB])),
    ("the AArch64 entries kept from API 31", *stepped([BTI_PLT, HASH], 31, [BTI_PLT, HASH])),
    ("the GNU hash alone, below API 23", small_elf([GNU_HASH, STRTAB]), 21,
     "no DT_HASH, which API level 21 needs: link with --hash-style=sysv"),
    ("not ELF", b"#!/bin/sh\n", 21, "not a 64-bit little-endian ELF file"),
    ("32-bit", small_elf([HASH], ident=b"\x7fELF\x01\x01"), 21,
     "not a 64-bit little-endian ELF file"),
    ("big-endian", small_elf([HASH], ident=b"\x7fELF\x02\x02"), 21,
     "not a 64-bit little-endian ELF file"),
    ("x86-64", small_elf([HASH], machine=62), 21, "ELF machine 62, not 64-bit Arm"),
    ("no dynamic section", small_elf([HASH], headers=1), 21, "no dynamic section"),
]


def step_faults(data, api, expected):
    """Runs the step on DATA; what differed from EXPECTED."""
    path = f"{work}/step.elf"
    with open(path, "wb") as f:
        f.write(data)
    got = subprocess.run([sys.executable, f"{source}/cmake/android_dynamic.py",
                          "--api", str(api), path], capture_output=True, text=True)
    with open(path, "rb") as f:
        left = f.read()
    refused = isinstance(expected, str)
    faults = [] if got.returncode == refused else [f"status {got.returncode}"]
    if got.stderr != (f"{path}: {expected}\n" if refused else ""):
        faults.append(f"stderr {got.stderr!r}")
    if left != (data if refused else expected):
        faults.append(f"left {left!r}")
    return faults + ([] if refused else android_verdict(path, api, passes=True))


def android_verdict(path, api, passes, names=()):
    """What differed from the elf test passing, or failing and naming NAMES."""
    got = subprocess.run([sys.executable, f"{source}/tests/elf_check.py", path,
                          "--android-api", str(api)], capture_output=True, text=True)
    faults = [] if (got.returncode == 0) == passes else [f"the elf test: {got.stdout}"]
    return faults + [f"the elf test names no {name}" for name in names if name not in got.stdout]


def make_standin():
    """Makes STANDIN; returns why it cannot, or None."""
    missing = [f"no {tool}" for tool in ("clang", "ld.lld") if not shutil.which(tool)]
    if missing:
        return f"{' and '.join(missing)} (Debian packages clang and lld)"
    if not os.path.isfile(f"{MUSL_HEADERS}/stdio.h"):
        return f"no {MUSL_HEADERS} (Debian package musl-dev:arm64)"
    lib = f"{STANDIN}/usr/lib/aarch64-linux-android"
    os.makedirs(lib)
    os.symlink(MUSL_HEADERS, f"{STANDIN}/usr/include")
    # Branch protection marks the start-up objects as the platform's are.
    clang = ["clang", "--target=aarch64-linux-android21", "-fno-builtin",
             "-mbranch-protection=standard", "-x", "c"]
    shared = ["-shared", "-nostdlib", "-fuse-ld=lld"]
    with open(f"{work}/libc.map", "wb") as f:
        f.write(LIBC_VERSIONS)
    for name, code, args in (("crtbegin_dynamic.o", CRTBEGIN, ["-c"]),
                             ("crtend_android.o", b"", ["-c"]),
                             ("libc.so", LIBC, shared + [f"-Wl,--version-script={work}/libc.map"]),
                             ("libdl.so", b"", shared),
                             ("libm.so", b"", shared)):
        subprocess.run(clang + args + ["-", "-o", f"{lib}/{name}"], input=code, check=True)
    return None


def run(command, env):
    """Returns the status and the output of COMMAND, with its long lines,
    which CMake wraps, joined again."""
    clean = {k: v for k, v in os.environ.items() if not k.startswith("ZEM_ANDROID_")}
    got = subprocess.run(command, cwd=work, env={**clean, **env},
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return got.returncode, " ".join(got.stdout.split())


tally = Tally()
cannot_build = make_standin()
if cannot_build:
    tally.cannot("builds", cannot_build)
# Each table with the texts that its outputs must not hold.
for table, banned in ((ERRORS + STEPS, []), ([] if cannot_build else BUILDS, NOT_IN_BUILDS)):
    for name, env, command, expected, text in table:
        status, output = run(command, env)
        faults = [] if status == expected else [f"status {status}, expected {expected}"]
        faults += [f"no '{t}'" for t in ([text] if isinstance(text, str) else text)
                   if t not in output]
        faults += [f"'{bad}'" for bad in banned if bad in output]
        # A failed configure names its fault in one error, and only then.
        if output.count("CMake Error") != (expected != 0):
            faults.append(f"{output.count('CMake Error')} CMake errors")
        tally.check(name, faults, output)
for name, data, api, expected in STEP_CASES:
    tally.check(f"post-link step: {name}", step_faults(data, api, expected))
with open(f"{work}/unstepped.elf", "wb") as f:
    f.write(small_elf(SEVERAL))
tally.check("the elf test names what the step removes", android_verdict(
    f"{work}/unstepped.elf", 21, passes=False,
    names=["PIE", "NOOPEN", "GNU_HASH", "VERSYM", "AARCH64_BTI_PLT", "VERNEED,", "VERNEEDNUM"]))
sys.exit(tally.summary())
