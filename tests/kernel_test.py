#!/usr/bin/env python3
"""Runs the process suite's cases on a real arm64 kernel: one of Debian's
arm64 kernels, booted under qemu-system-aarch64 with an initramfs that
holds a static busybox, the target's dynamic loader and libc if it has them,
the tool and the empty-vector helper. qemu-user always uses 4 KB pages, so
only a kernel shows whether the executable's layout suits larger ones.

usage: kernel_test.py --flavour FLAVOUR --page-kb N --version VERSION
                      [--lib FILE...] --empty-argv-helper HELPER EXECUTABLE

FLAVOUR names the kernel: arm64 (4 KB pages) or arm64-16k (16 KB pages), the
newest that the metapackages linux-image-FLAVOUR and, on Debian 12,
linux-image-6.12-FLAVOUR offer. The kernel and busybox come from Debian's
arm64 packages, downloaded once with apt-get (which needs `dpkg
--add-architecture arm64 && apt-get update`, and on Debian 12 its security
suite)
into $XDG_CACHE_HOME/zem_dma_test (~/.cache/zem_dma_test by default) and
taken from there afterwards; a newer package that apt offers is downloaded
next to the old. Where they cannot be had, or qemu-system-aarch64 is missing,
the test says why in one line and exits 77, which CTest reports as skipped;
under CI it fails instead, since CI must run it.

Exits 0 only when every case passed and the kernel reported N kB pages.
"""
import argparse
import fnmatch
import glob
import gzip
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile

import cli_test
from harness import Tally, deb_files

SKIPPED = 77
BUSYBOX = "busybox-static"
QEMU = "qemu-system-aarch64"
TOOL = "/bin/zem_dma_test"
HELPER = "/bin/exec_empty_argv"


class Unavailable(Exception):
    """What the leg needs cannot be had here; the message says why."""


def apt_field(package, field):
    """FIELD of the arm64 candidate of PACKAGE in apt's lists, or None."""
    if not shutil.which("apt-cache"):
        return None
    shown = subprocess.run(
        ["apt-cache", "show", "--no-all-versions", package + ":arm64"],
        capture_output=True, text=True)
    found = re.search(rf"^{field}: (.*)$", shown.stdout, re.MULTILINE)
    return found.group(1) if shown.returncode == 0 and found else None


def cached_member(cache, package, members):
    """Returns the path of the file of PACKAGE's arm64 candidate that the
    first of MEMBERS (patterns) names, extracted into CACHE, and says where
    it came from; downloads the package when that version is not cached yet.
    Without apt's lists, the newest cached version of PACKAGE serves."""
    def found(directory):
        return next((path for member in members
                     for path in glob.glob(os.path.join(directory, member))), None)
    version = apt_field(package, "Version")
    if version is None:
        cached = sorted(filter(None, map(found, glob.glob(os.path.join(cache, f"{package}_*")))),
                        key=os.path.getmtime)
        if not cached:
            raise Unavailable(f"no {package} cached in {cache}, and {not_in_apt(package)}")
        return found_in(cache, cached[-1], f"from the cache in {cache}, "
                        f"apt having no arm64 {package}")
    directory = os.path.join(cache, f"{package}_{version}")
    if found(directory):
        return found_in(cache, found(directory), f"from the cache in {cache}")
    os.makedirs(cache, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=cache) as work:
        got = subprocess.run(["apt-get", "download", f"{package}:arm64={version}"],
                             cwd=work, capture_output=True, text=True)
        debs = glob.glob(os.path.join(work, "*.deb"))
        if got.returncode != 0 or len(debs) != 1:
            said = got.stderr.strip().splitlines() or ["no package"]
            errors = [line for line in said if line.startswith("E:")] or said
            raise Unavailable(f"cannot download {package}:arm64 {version}: {errors[-1]}")
        size = os.path.getsize(debs[0])
        files = os.path.join(work, "files")
        unpacked = deb_files(debs[0], lambda name: any(fnmatch.fnmatch(name, m)
                                                       for m in members))
        if unpacked is None:
            raise Unavailable(f"cannot unpack {debs[0]}")
        for name, data in unpacked.items():
            os.makedirs(os.path.dirname(os.path.join(files, name)), exist_ok=True)
            with open(os.path.join(files, name), "wb") as f:
                f.write(data)
        if not found(files):
            raise Unavailable(f"{package}:arm64 {version} holds no {' or '.join(members)}")
        # Renamed whole, so that an interrupted download leaves no half.
        shutil.rmtree(directory, ignore_errors=True)
        os.rename(files, directory)
    return found_in(cache, found(directory), f"downloaded into {cache}, {size / 1e6:.0f} MB")


def found_in(cache, path, how):
    package = os.path.relpath(path, cache).split(os.sep)[0]
    print(f"{package}: {how}")
    return path


def release():
    """The running release's name, as os-release gives it."""
    try:
        with open("/etc/os-release", encoding="utf-8") as f:
            found = re.search(r'^PRETTY_NAME="?([^"\n]*)', f.read(), re.MULTILINE)
        return found.group(1) if found else "this system"
    except OSError:
        return "this system"


def not_in_apt(package):
    """Why apt has no arm64 PACKAGE to offer."""
    if "arm64" not in subprocess.run(["dpkg", "--print-foreign-architectures"],
                                     capture_output=True, text=True).stdout.split():
        return ("apt has no arm64 architecture: run "
                "`dpkg --add-architecture arm64 && apt-get update`")
    if apt_field(BUSYBOX, "Version") is None:
        return "apt's lists hold no arm64 packages: run `apt-get update`"
    return (f"apt's sources on {release()} offer no {package}; Debian 12 has its "
            f"arm64-16k kernels only in its security suite, bookworm-security: add "
            f"that suite to apt's sources and run `apt-get update`")


def kernel_and_busybox(cache, flavour):
    # Each metapackage names the current kernel package of its series: the
    # release's own (Debian 13 on), and Debian 12's 6.12 in its security
    # suite. The newest kernel that apt offers serves; without apt, the
    # newest cached one.
    metapackages = [f"linux-image-{flavour}", f"linux-image-6.12-{flavour}"]
    offered = [depends.split()[0] for depends in
               filter(None, (apt_field(m, "Depends") for m in metapackages))]
    newest = None
    for package in offered:
        if newest is None or subprocess.run(
                ["dpkg", "--compare-versions", apt_field(package, "Version") or "0",
                 "gt", apt_field(newest, "Version") or "0"]).returncode == 0:
            newest = package
    if newest:
        vmlinuz = cached_member(cache, newest, ["boot/vmlinuz-*"])
    else:
        cached = sorted(glob.glob(os.path.join(cache, f"linux-image-*-{flavour}_*",
                                               "boot", "vmlinuz-*")), key=os.path.getmtime)
        if not cached:
            raise Unavailable(f"no linux-image-{flavour} cached in {cache}, and "
                              f"{not_in_apt(metapackages[0])}")
        vmlinuz = found_in(cache, cached[-1], f"from the cache in {cache}, apt "
                           f"having no arm64 {' or '.join(metapackages)}")
    busybox = cached_member(cache, BUSYBOX, ["bin/busybox", "usr/bin/busybox"])
    return vmlinuz, busybox


def cpio(entries):
    """An initramfs in the kernel's "newc" cpio format. ENTRIES are
    (path, mode, data) or, for a device node, (path, mode, (major, minor))."""
    archive = bytearray()
    trailer = [("TRAILER!!!", 0, b"")]
    for inode, (path, mode, data) in enumerate(entries + trailer, 1):
        major, minor = data if isinstance(data, tuple) else (0, 0)
        data = b"" if isinstance(data, tuple) else data
        name = path.encode() + b"\0"
        fields = (inode, mode, 0, 0, 1, 0, len(data), 0, 0, major, minor,
                  len(name), 0)
        archive += b"070701" + b"".join(b"%08X" % f for f in fields) + name
        archive += b"\0" * (-len(archive) % 4) + data
        archive += b"\0" * (-len(archive) % 4)
    return gzip.compress(bytes(archive), mtime=0)


def assignment(name, arg):
    """A shell line that sets $NAME to ARG, whatever its bytes: printf turns
    octal escapes into bytes, and the x kept past the command substitution
    saves trailing newlines from it."""
    escaped = "".join(chr(b) if bytes([b]).isalnum() else f"\\{b:03o}" for b in arg)
    return f"{name}=$(printf '{escaped}x'); {name}=${{{name}%x}}"


def case_script(index, case):
    """Runs one case in the VM, keeping its status and streams in /r."""
    _, args, _, _, _, setup = case
    lines = []
    if args is cli_test.EMPTY_ARGV:
        command = f"{HELPER} {TOOL}"
    else:
        words = []
        for n, arg in enumerate(args):
            lines.append(assignment(f"a{n}", arg))
            words.append(f'"$a{n}"')
        command = " ".join([TOOL] + words)
    redirections = [f"{fd}>&-" if closed else f"{fd}>/dev/full"
                    for fd, closed in cli_test.stream_setup(setup)]
    lines.append(" ".join([command, f">/r/{index}.out 2>/r/{index}.err"] +
                          redirections) + f"; echo $? >/r/{index}.status")
    return "\n".join(lines)


def init_script(cases):
    return "\n".join([
        "#!/bin/busybox sh",
        "/bin/busybox --install -s /bin",
        "export PATH=/bin",
        "mount -t proc proc /proc",
        "mount -t devtmpfs devtmpfs /dev",
        'echo "@@kernel $(uname -r)"',
        'echo "@@page $(grep -m 1 KernelPageSize /proc/self/smaps)"',
        *(case_script(i, case) for i, case in enumerate(cases)),
        # The results leave as one gzipped tar in hex, which the serial
        # console passes intact.
        "tar -c -z -C /r . | od -An -v -tx1 | sed 's/^/@@results/'",
        "echo @@done",
        "poweroff -f",
        ""])


def boot(vmlinuz, initramfs):
    """Boots the VM; returns what its console printed, line by line, up to
    the end or to a time limit that only a hung VM reaches."""
    command = [QEMU, "-M", "virt", "-cpu", "max,pauth-impdef=on", "-smp", "1",
               "-m", "1024", "-nographic", "-nic", "none", "-no-reboot",
               "-kernel", vmlinuz, "-initrd", initramfs,
               "-append", "console=ttyAMA0 panic=-1 loglevel=1"]
    try:
        printed = subprocess.run(command, stdin=subprocess.DEVNULL,
                                 capture_output=True, timeout=600).stdout
    except subprocess.TimeoutExpired as expired:
        printed = (expired.stdout or b"") + b"\n(stopped after 600 s)"
    return printed.decode(errors="replace").replace("\r", "").splitlines()


def parse(lines):
    """Reads the VM's report: facts by name, and the files of /r by name."""
    facts, results = {}, ""
    for line in lines:
        found = re.match(r"@@(\w+) ?(.*)", line)
        if found and found.group(1) == "results":
            results += found.group(2)
        elif found:
            facts[found.group(1)] = found.group(2)
    files = {}
    if results:
        with tarfile.open(fileobj=io.BytesIO(bytes.fromhex(results))) as tar:
            for member in tar.getmembers():
                if member.isfile():
                    files[os.path.basename(member.name)] = tar.extractfile(member).read()
    return facts, files


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--flavour", required=True)
    parser.add_argument("--page-kb", type=int, required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--lib", action="append", default=[])
    parser.add_argument("--empty-argv-helper", required=True)
    parser.add_argument("executable")
    options = parser.parse_args()

    cache = os.path.join(os.environ.get("XDG_CACHE_HOME") or
                         os.path.expanduser("~/.cache"), "zem_dma_test")
    try:
        if not shutil.which(QEMU):
            raise Unavailable(f"{QEMU} not found (Debian package qemu-system-arm)")
        vmlinuz, busybox = kernel_and_busybox(cache, options.flavour)
    except Unavailable as reason:
        tally = Tally()
        tally.cannot(f"{options.flavour} kernel leg", str(reason))
        return tally.summary() if tally.failed else SKIPPED

    def read(path):
        with open(path, "rb") as f:
            return f.read()
    cases = cli_test.cases(options.version)
    entries = [(d, 0o040755, b"") for d in ("bin", "lib", "proc", "dev", "r")]
    entries += [("dev/console", 0o020600, (5, 1)),
                ("init", 0o100755, init_script(cases).encode()),
                ("bin/busybox", 0o100755, read(busybox)),
                (TOOL[1:], 0o100755, read(options.executable)),
                (HELPER[1:], 0o100755, read(options.empty_argv_helper))]
    entries += [("lib/" + os.path.basename(lib), 0o100755, read(lib))
                for lib in options.lib]
    with tempfile.NamedTemporaryFile(suffix=".cpio.gz") as initramfs:
        initramfs.write(cpio(entries))
        initramfs.flush()
        lines = boot(vmlinuz, initramfs.name)
    facts, files = parse(lines)

    def result(index):
        names = [f"{index}.{part}" for part in ("status", "out", "err")]
        if not all(name in files for name in names):
            return "no result: the VM stopped before this case ended"
        status, out, err = (files[name] for name in names)
        return int(status), out, err
    page = facts.get("page", "").split(":")[-1].strip()
    title = (f"on Linux {facts.get('kernel', '(no report)')}, "
             f"KernelPageSize {page or '(no report)'}: ")
    code = cli_test.report(((case, result(i)) for i, case in enumerate(cases)), title)
    if "done" not in facts:
        print("FAIL the VM did not finish; its console's last lines:")
        print("\n".join(lines[-20:]))
        code = 1
    if page != f"{options.page_kb} kB":
        print(f"FAIL the kernel's page size is {page or 'unknown'}, not {options.page_kb} kB")
        code = 1
    return code


if __name__ == "__main__":
    sys.exit(main())
