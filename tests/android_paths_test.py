#!/usr/bin/env python3
"""Configures with the Android toolchain file, as a user would, against
directories made here that only look like bionic's: checks that a missing or
wrong directory is named plainly in one error, that the directories given
once stay with the build directory, and, where Debian's clang and lld are
found, that a program links against a sysroot holding only what the README
lists, even with link flags of the user's own.

usage: android_paths_test.py CMAKE SOURCE_DIR
"""
import atexit
import os
import shutil
import subprocess
import sys
import tempfile

cmake, source = sys.argv[1:3]
toolchain = os.path.join(source, "cmake", "aarch64-linux-android.cmake")
probe = os.path.join(source, "tests", "android_paths")
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
# A sysroot of empty start-up objects and stub libraries, made with clang
# below: no libgcc, which NDKs since r23 do not ship.
LINK_SYSROOT = f"{work}/link/sysroot"


def with_sysroot(path):
    return {"ZEM_ANDROID_SYSROOT": path, "ZEM_ANDROID_ROOTFS": ROOTFS}


def settled(sysroot):
    return f"-- sysroot {sysroot}, rootfs {ROOTFS}"


def configure(build, *args, project=probe):
    return [cmake, "-G", "Ninja", "-S", project, "-B", build,
            f"-DCMAKE_TOOLCHAIN_FILE={toolchain}", *args]


# A wrong directory stops the real project's configure with one error that
# names the variable and what is missing. Each starts a new build directory.
# name, environment, what the error says
ERRORS = [
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
]

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


# Each links the probe in a build directory of its own.
# name, environment, command, status, text the output holds
LINKS = [
    ("configure links with no libgcc", with_sysroot(LINK_SYSROOT),
     configure("l", "-DPROBE_LINK=ON"), 0, settled(LINK_SYSROOT)),
    ("and builds", {}, [cmake, "--build", "l"], 0, "Linking C executable probe"),
    ("user's link flags add to the toolchain's", with_sysroot(LINK_SYSROOT),
     configure("u", "-DPROBE_LINK=ON", "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-z,max-page-size=4096"),
     0, settled(LINK_SYSROOT)),
    ("and build", {}, [cmake, "--build", "u"], 0, "Linking C executable probe"),
]


def make_link_sysroot():
    """Makes LINK_SYSROOT; returns why it cannot, or None."""
    missing = [tool for tool in ("clang", "ld.lld") if not shutil.which(tool)]
    if missing:
        return f"no {' and no '.join(missing)} (Debian packages clang and lld)"
    lib = f"{LINK_SYSROOT}/usr/lib/aarch64-linux-android"
    os.makedirs(lib)
    os.makedirs(f"{LINK_SYSROOT}/usr/include")
    open(f"{LINK_SYSROOT}/usr/include/stdio.h", "w").close()
    clang = ["clang", "--target=aarch64-linux-android21", "-x", "c", os.devnull]
    for crt in ("crtbegin_dynamic", "crtend_android"):
        subprocess.run(clang + ["-c", "-o", f"{lib}/{crt}.o"], check=True)
    for stub in ("libc", "libdl", "libm"):
        subprocess.run(clang + ["-shared", "-nostdlib", "-fuse-ld=lld",
                                "-o", f"{lib}/{stub}.so"], check=True)
    return None


def run(command, env):
    """Returns the status and the output of COMMAND, with its long lines,
    which CMake wraps, joined again."""
    clean = {k: v for k, v in os.environ.items() if not k.startswith("ZEM_ANDROID_")}
    got = subprocess.run(command, cwd=work, env={**clean, **env},
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return got.returncode, " ".join(got.stdout.split())


results = []


def verdict(name, faults):
    print(("FAIL " if faults else "ok   ") + name + "".join(f": {f}" for f in faults))
    results.append(not faults)


for index, (name, env, texts) in enumerate(ERRORS):
    status, output = run(configure(f"e{index}", project=source), env)
    faults = [f"no '{text}'" for text in texts if text not in output]
    if status == 0:
        faults.append("configure passed")
    if output.count("CMake Error") != 1:
        faults.append(f"{output.count('CMake Error')} errors, expected one: {output}")
    verdict(name, faults)
cannot_link = make_link_sysroot()
if cannot_link and os.environ.get("CI") == "true":
    verdict("link checks", [f"cannot run, and CI must run them: {cannot_link}"])
elif cannot_link:
    print(f"link checks skipped: {cannot_link}")
for name, env, command, expected, text in STEPS + ([] if cannot_link else LINKS):
    status, output = run(command, env)
    faults = [] if status == expected else [f"status {status}, expected {expected}"]
    if text not in output:
        faults.append(f"no '{text}' in: {output}")
    verdict(name, faults)
print(f"{results.count(True)} passed, {results.count(False)} failed")
sys.exit(0 if all(results) else 1)
