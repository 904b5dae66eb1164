#!/usr/bin/env python3
"""Runs the process suite's cases on a real arm64 kernel: one of Debian's
arm64 kernels, booted under qemu-system-aarch64 with an initramfs that
holds a static busybox, the target's dynamic loader and libc if it has them,
the tool and the empty-vector helper. qemu-user always uses 4 KB pages, so
only a kernel shows whether the executable's layout suits larger ones.

usage: kernel_test.py --flavour FLAVOUR --page-kb N --version VERSION
                      [--lib FILE...] --empty-argv-helper HELPER EXECUTABLE

FLAVOUR names the kernel: arm64 (4 KB pages) or arm64-16k (16 KB pages).
The kernel and busybox are Debian's arm64 packages, downloaded once with
apt-get into $XDG_CACHE_HOME/zem_dma_test (~/.cache/zem_dma_test). Where they
cannot be had, the test says why in one line and exits 77, which CTest
reports as skipped; under CI it fails. Exits 0 only when every case passed
and the kernel reported N kB pages.
"""
import argparse
import fnmatch
import glob
import gzip
import io
import os
import pathlib
import platform
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
KERNEL_IMAGES = ["boot/vmlinuz-*", "usr/lib/modules/*/vmlinuz"]
# Kept beside the image for a board on qemu's network, in the order they
# load: the kernel has the virtio network driver only as a module.
NET_MODULES = ["failover.ko*", "net_failover.ko*", "virtio_net.ko*"]
# A metapackage, the Depends fields that apt lists, and the package that
# holds the image, as Debian 12, Debian 13 and sid lay them out.
LAYOUTS = [
    ("linux-image-6.12-arm64-16k", {
        "linux-image-6.12-arm64-16k": "linux-image-6.12.118+deb12-arm64-16k (= 6.12.118-1~deb12u1)",
        "linux-image-6.12.118+deb12-arm64-16k": "kmod, initramfs-tools | linux-initramfs-tool",
    }, "linux-image-6.12.118+deb12-arm64-16k"),
    ("linux-image-arm64", {
        "linux-image-arm64": "linux-image-6.12.118+deb13-arm64 (= 6.12.118-1)",
        "linux-image-6.12.118+deb13-arm64": "kmod, initramfs-tools | linux-initramfs-tool",
    }, "linux-image-6.12.118+deb13-arm64"),
    ("linux-image-arm64", {
        "linux-image-arm64": "linux-base-arm64 (= 7.2.13-1), linux-image-7.2.13+deb14-arm64",
        "linux-image-7.2.13+deb14-arm64": "initramfs-tools | linux-initramfs-tool, "
        "linux-base-7.2.13+deb14-arm64, linux-binary-7.2.13+deb14-arm64 (= 7.2.13-1), "
        "linux-modules-7.2.13+deb14-arm64",
    }, "linux-binary-7.2.13+deb14-arm64"),
]


def cache_dir():
    """Where the legs keep what they download."""
    return os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                        "zem_dma_test")


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


def image_package(metapackage, depends):
    """The packages followed from METAPACKAGE through the kernel's own
    dependencies, each the first that the one before names, up to one that
    names none: the package that holds the image. DEPENDS gives a package's
    Depends field, or None."""
    followed = [metapackage]
    for _ in range(4):
        names = [name.split()[0] for name in re.split(r"[,|]", depends(followed[-1]) or "")
                 if name.strip()]
        kernels = [name for name in names if re.match(r"linux-(image|binary)-", name)
                   and name not in followed]
        if not kernels:
            break
        followed.append(kernels[0])
    return followed


def fetch(cache, packages, members, cached_name, followed=None, keep=()):
    """The file that the first of MEMBERS (patterns) names in the newest
    arm64 package of PACKAGES that apt offers, downloaded into CACHE unless
    that version is there; without apt's lists, the newest cached package
    whose name CACHED_NAME (a pattern) matches. The files whose names KEEP
    (patterns of a file's name alone) matches are kept beside it, found
    with kept(). Says where it came from; FOLLOWED gives, for a package,
    the packages that led to it."""
    def found(directory):
        if not all(kept(directory, name) for name in keep):
            return None
        return next((path for member in members
                     for path in glob.glob(os.path.join(directory, member))), None)
    offered = [(p, v) for p in packages if (v := apt_field(p, "Version"))]
    if not offered:
        cached = sorted(filter(None, map(found, glob.glob(os.path.join(
            cache, f"{cached_name}_*")))), key=os.path.getmtime)
        if not cached:
            raise Unavailable(f"no {cached_name} cached in {cache}, and {not_in_apt(packages[0])}")
        return found_in(cache, cached[-1], f"from the cache in {cache}, "
                        f"apt having no arm64 {' or '.join(packages)}")
    package, version = offered[0]
    for other, other_version in offered[1:]:
        if subprocess.run(["dpkg", "--compare-versions", other_version, "gt",
                           version]).returncode == 0:
            package, version = other, other_version
    directory = os.path.join(cache, f"{package}_{version}")
    if found(directory):
        return found_in(cache, found(directory), f"from the cache in {cache}")
    os.makedirs(cache, exist_ok=True)
    size = int(apt_field(package, "Size") or 0)
    print(f"downloading {package}:arm64 {version}, {size / 1e6:.0f} MB, into {cache}, "
          f"which keeps only what the leg boots", flush=True)
    with tempfile.TemporaryDirectory(dir=cache) as work:
        got = subprocess.run(["apt-get", "download", f"{package}:arm64={version}"],
                             cwd=work, capture_output=True, text=True)
        debs = glob.glob(os.path.join(work, "*.deb"))
        if got.returncode != 0 or len(debs) != 1:
            said = got.stderr.strip().splitlines() or ["no package"]
            errors = [line for line in said if line.startswith("E:")] or said
            raise Unavailable(f"cannot download {package}:arm64 {version}: {errors[-1]}")
        files = deb_files(debs[0], lambda name: any(fnmatch.fnmatch(name, m) for m in members)
                          or any(fnmatch.fnmatch(os.path.basename(name), k) for k in keep))
        if files is None:
            raise Unavailable(f"cannot unpack {debs[0]}")
        if not files:
            via = (followed or {}).get(package)
            raise Unavailable(f"{package}:arm64 {version} holds no {' or '.join(members)}" +
                              (f", followed from {' -> '.join(via)}" if via else ""))
        for name, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(work, "files", name)), exist_ok=True)
            with open(os.path.join(work, "files", name), "wb") as f:
                f.write(data)
        # Renamed whole, so that an interrupted download leaves no half.
        shutil.rmtree(directory, ignore_errors=True)
        os.rename(os.path.join(work, "files"), directory)
    return found_in(cache, found(directory), f"downloaded into {cache}")


def kept(directory, name):
    """The files below DIRECTORY whose names match NAME."""
    return glob.glob(os.path.join(directory, "**", name), recursive=True)


def found_in(cache, path, how):
    package = os.path.relpath(path, cache).split(os.sep)[0]
    print(f"{package}: {how}")
    return path


def not_in_apt(package):
    """Why apt has no arm64 PACKAGE to offer."""
    if "arm64" not in subprocess.run(["dpkg", "--print-foreign-architectures"],
                                     capture_output=True, text=True).stdout.split():
        return ("apt has no arm64 architecture: run "
                "dpkg --add-architecture arm64, then apt-get update")
    if apt_field(BUSYBOX, "Version") is None:
        return "apt's lists hold no arm64 packages: run apt-get update"
    try:
        release = platform.freedesktop_os_release()["PRETTY_NAME"]
    except (OSError, KeyError):
        release = "this system"
    return (f"apt's sources on {release} offer no {package}; Debian 12 has its "
            f"arm64-16k kernels only in its security suite, bookworm-security: add "
            f"that suite to apt's sources and run apt-get update")


def kernel_and_busybox(cache, flavour):
    # Each metapackage leads to the current kernel of its series: the
    # release's own (Debian 13 on), and Debian 12's 6.12 in its security
    # suite. The newest that apt offers serves.
    walks = [image_package(m, lambda package: apt_field(package, "Depends"))
             for m in (f"linux-image-{flavour}", f"linux-image-6.12-{flavour}")]
    return (fetch(cache, [walk[-1] for walk in walks], KERNEL_IMAGES, f"linux-*-{flavour}",
                  {walk[-1]: walk for walk in walks}, NET_MODULES),
            fetch(cache, [BUSYBOX], ["bin/busybox", "usr/bin/busybox"], BUSYBOX))


def cpio(entries):
    """An initramfs in the kernel's "newc" cpio format. ENTRIES are
    (path, mode, data) or, for a device node, (path, mode, (major, minor));
    a symbolic link's data is its target."""
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


def init_script():
    """Reports the kernel, then runs the cases in /t, which holds the tool,
    the helper, the case script and its arguments, and sends the results
    back."""
    return "\n".join([
        "#!/bin/busybox sh",
        "/bin/busybox --install -s /bin",
        "export PATH=/bin",
        "mount -t proc proc /proc",
        "mount -t devtmpfs devtmpfs /dev",
        'echo "@@kernel $(uname -r)"',
        'echo "@@page $(grep -m 1 KernelPageSize /proc/self/smaps)"',
        "cd /t",
        "sh run.sh",
        # The results leave as one gzipped tar in hex, which the serial
        # console passes intact.
        "tar -c -z -C r . | od -An -v -tx1 | sed 's/^/@@results/'",
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

    cache = cache_dir()
    tally = Tally()
    tally.check("from metapackage to kernel image, as Debian 12, 13 and sid lay them out", [
        f"followed {' -> '.join(walk)}, not to {holder}" for meta, depends, holder in LAYOUTS
        if (walk := image_package(meta, depends.get))[-1] != holder])
    try:
        if not shutil.which(QEMU):
            raise Unavailable(f"{QEMU} not found (Debian package qemu-system-arm)")
        vmlinuz, busybox = kernel_and_busybox(cache, options.flavour)
    except Unavailable as reason:
        tally.cannot(f"{options.flavour} kernel leg", str(reason))
        status = tally.summary()
        return status if tally.failed else SKIPPED

    cases = cli_test.cases(options.version)
    script, args = cli_test.script(cases)
    files = [("bin/busybox", busybox), ("t/zem_dma_test", options.executable),
             ("t/exec_empty_argv", options.empty_argv_helper)]
    files += [("lib/" + os.path.basename(lib), lib) for lib in options.lib]
    entries = [(d, 0o040755, b"") for d in ("bin", "lib", "proc", "dev", "t", "t/r")]
    entries += [("dev/console", 0o020600, (5, 1)),
                ("init", 0o100755, init_script().encode()), ("t/run.sh", 0o100644, script.encode())]
    entries += [(name, 0o100755, pathlib.Path(path).read_bytes()) for name, path in files]
    entries += [(f"t/{name}", 0o100644, arg) for name, arg in args.items()]
    with tempfile.NamedTemporaryFile(suffix=".cpio.gz") as initramfs:
        initramfs.write(cpio(entries))
        initramfs.flush()
        lines = boot(vmlinuz, initramfs.name)
    facts, files = parse(lines)

    page = facts.get("page", "").split(":")[-1].strip()
    title = (f"on Linux {facts.get('kernel', '(no report)')}, "
             f"KernelPageSize {page or '(no report)'}: ")
    cli_test.report(tally, cli_test.results(cases, files))
    tally.check("the VM finished", [] if "done" in facts else
                ["its console's last lines:", *lines[-20:]])
    tally.check(f"the kernel's pages are {options.page_kb} kB",
                [] if page == f"{options.page_kb} kB" else [f"they are {page or 'unknown'}"])
    return tally.summary(title)


if __name__ == "__main__":
    sys.exit(main())
