#!/usr/bin/env python3
"""Configures with the Android toolchain file, as a user would, against
directories that only look like bionic's: a missing or wrong directory must
be named plainly in one error, and the directories given once must stay with
the build directory. Then it configures the android-arm64 preset against a
stand-in sysroot that links as bionic's does, and builds the tool, which must
pass the build's own elf test; nothing may print a warning.

usage: android_paths_test.py CMAKE SOURCE_DIR
"""
import argparse
import atexit
import os
import shutil
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
os.makedirs(f"{ROOTFS}/system/bin")
open(f"{ROOTFS}/system/bin/linker64", "w").close()
os.makedirs(f"{work}/headers-only/usr/include")
open(f"{work}/headers-only/usr/include/stdio.h", "w").close()
BOTH = {"ZEM_ANDROID_SYSROOT": SYSROOT, "ZEM_ANDROID_ROOTFS": ROOTFS}
# A stand-in for bionic's sysroot, made with clang below: musl's arm64
# headers, which declare what the tool uses; a start-up object that needs
# libc, as bionic's does; stub libraries; and no libgcc, which NDKs since r23
# do not ship.
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
void __stack_chk_fail(void) {}
void strcmp(void) {}
void getopt_long(void) {}
void __libc_init(void) {}
void __cxa_atexit(void) {}
int optind, opterr;
void *stdout, *stderr;
"""


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
    return [cmake, "--build", build, "--target", "zem_dma_test", "control_flow_probe"]


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
])]

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
]


# The real project against the stand-in, each in a build directory of its
# own; none of these may print a warning or a failed compiler check.
# name, environment, command, status, text (or texts) the output holds
BUILDS = [
    ("android-arm64 configures, compiler checks passing", with_sysroot(STANDIN),
     preset("a"), 0, "Detecting CXX compiler ABI info - done"),
    ("and builds the tool", {}, build_tool("a"), 0, "Linking CXX executable zem_dma_test"),
    ("needs libc.so, laid out for 16 KB pages, stack protector, BTI and PAC", {},
     elf_check("a"), 0, ["needs ['libc.so']", "interpreter /system/bin/linker64",
                         "laid out for 16384-byte pages", "stack protector",
                         "control-flow BTI: carried", "control-flow PAC: carried"]),
    ("with the user's link flags for 64 KB pages", with_sysroot(STANDIN),
     preset("u", "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-z,max-page-size=0x10000"),
     0, "Detecting CXX compiler ABI info - done"),
    ("builds the tool", {}, build_tool("u"), 0, "Linking CXX executable zem_dma_test"),
    ("laid out for 64 KB pages", {}, elf_check("u"), 0, "laid out for 65536-byte pages"),
]
NOT_IN_BUILDS = ["ABI info - failed", "CMake Warning", "warning:"]


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
    for name, code, args in (("crtbegin_dynamic.o", CRTBEGIN, ["-c"]),
                             ("crtend_android.o", b"", ["-c"]),
                             ("libc.so", LIBC, shared),
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
sys.exit(tally.summary())
