#!/usr/bin/env python3
"""Makes the Debian package of a build as its package step does, and checks
it: its control fields, its files, the executable in it byte for byte,
lintian's verdict, and a life in a root of its own, where Debian's dpkg
installs it, verifies it and purges it again, the installed executable runs,
man renders its page and bash-completion completes it. The machine's own
dpkg database is not touched.

usage: deb_test.py CPACK BUILD_DIR EXECUTABLE ARCH VERSION [-- LAUNCHER...]

LAUNCHER, such as an emulator, starts the installed executable.
"""
import glob
import gzip
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile

from install_test import completion_faults, BASH_COMPLETION

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "zem-dma-test"
DOCS = f"usr/share/doc/{PACKAGE}"
# Tags that lintian raises wrongly on a static executable; the package may
# override these and no others.
OVERRIDABLE = {"shared-library-lacks-prerequisites", "statically-linked-binary"}


def fields(deb):
    """The control fields of DEB, continuation lines joined with newlines."""
    control = subprocess.run(["dpkg-deb", "-f", deb], capture_output=True,
                             text=True, check=True).stdout
    found = {}
    name = None
    for line in filter(None, control.splitlines()):
        if line.startswith(" "):
            found[name] += "\n" + line
        else:
            name, value = line.split(":", 1)
            found[name] = value.strip()
    return found


def control_faults(control, arch, version):
    expected = {"Package": PACKAGE, "Version": version, "Architecture": arch,
                "Section": "utils", "Priority": "optional"}
    faults = [f"{name}: {control.get(name)!r}, expected {value!r}"
              for name, value in expected.items() if control.get(name) != value]
    faults += [f"declares {name}" for name in ("Depends", "Pre-Depends", "Recommends")
               if name in control]
    if not control.get("Maintainer"):
        faults.append("no Maintainer")
    with open(os.path.join(SOURCE, "packaging", "description"), encoding="utf-8") as f:
        extended = [" " + line if line.strip() else " ." for line in f.read().splitlines()]
    description = control.get("Description", "").split("\n")
    if description[1:] != extended:
        faults.append(f"extended description {description[1:]}, expected {extended}")
    faults += [f"description line of {len(line)} characters: {line!r}"
               for line in description if len(line) > 80]
    return faults


def files_faults(members, executable):
    """Checks the package's files, given as {path: bytes}."""
    pages = sorted(glob.glob(os.path.join(SOURCE, "doc", "*.md")))
    expected = {"usr/bin/zem_dma_test", "usr/share/man/man1/zem_dma_test.1.gz",
                "usr/share/bash-completion/completions/zem_dma_test",
                f"{DOCS}/copyright", f"{DOCS}/changelog.gz", f"{DOCS}/README.md",
                f"usr/share/lintian/overrides/{PACKAGE}"}
    expected |= {f"{DOCS}/doc/{os.path.basename(page)}" for page in pages}
    faults = [f"missing {path}" for path in sorted(expected - members.keys())]
    faults += [f"unexpected {path}" for path in sorted(members.keys() - expected)]
    with open(executable, "rb") as f:
        if members.get("usr/bin/zem_dma_test") != f.read():
            faults.append(f"usr/bin/zem_dma_test is not {executable} as tested")
    with open(os.path.join(SOURCE, "doc", "zem_dma_test.1"), "rb") as f:
        page = members.get("usr/share/man/man1/zem_dma_test.1.gz")
        if page is None or gzip.decompress(page) != f.read():
            faults.append("the manual page is not doc/zem_dma_test.1")
    return faults


def changelog_faults(members, version):
    changelog = members.get(f"{DOCS}/changelog.gz")
    top = gzip.decompress(changelog).decode().split("\n", 1)[0] if changelog else None
    expected = f"{PACKAGE} ({version}) "
    return [] if top and top.startswith(expected) else [f"top entry {top!r}, expected {expected!r}..."]


def override_faults(members):
    text = members.get(f"usr/share/lintian/overrides/{PACKAGE}", b"").decode()
    tags = {line.split()[0] for line in text.splitlines() if line and not line.startswith("#")}
    return [f"overrides {tag}" for tag in sorted(tags - OVERRIDABLE)]


def lintian_faults(deb):
    # An unused override is an info tag: shown only with -I.
    said = subprocess.run(["lintian", "-I", "--show-overrides", deb], capture_output=True, text=True)
    return [line for line in said.stdout.splitlines()
            if line[:2] in ("E:", "W:") or "unused-override" in line
            or "mismatched-override" in line]


def dpkg_root_steps(deb, root, launcher, version):
    """Yields (name, faults) for each step of the package's life in ROOT."""
    os.makedirs(f"{root}/var/lib/dpkg")
    os.makedirs(f"{root}/var/log")
    open(f"{root}/var/lib/dpkg/status", "w").close()
    # dpkg logs to the machine's own log unless told otherwise.
    dpkg = ["dpkg", f"--root={root}", f"--log={root}/var/log/dpkg.log", "--force-not-root"]
    arch = fields(deb)["Architecture"]

    def run(command, **kwargs):
        got = subprocess.run(command, capture_output=True, **kwargs)
        return [] if got.returncode == 0 else [f"status {got.returncode}: {got.stderr!r}"]

    before = set(os.listdir(root))
    # A root's dpkg knows only the machine's architecture until told of another.
    yield "dpkg installs it", (run(dpkg + ["--add-architecture", arch]) +
                               run(dpkg + ["-i", deb]))
    yield "dpkg -V finds it intact", run(dpkg + ["-V", PACKAGE])
    got = subprocess.run(launcher + [f"{root}/usr/bin/zem_dma_test", "--version"],
                         capture_output=True)
    expected = f"zem_dma_test version {version}\n".encode()
    yield "the installed executable runs", (
        [] if (got.returncode, got.stdout) == (0, expected)
        else [f"status {got.returncode}, stdout {got.stdout!r}, expected {expected!r}"])
    man = subprocess.run(["man", "-M", f"{root}/usr/share/man", "zem_dma_test"],
                         capture_output=True, text=True,
                         env={**os.environ, "MANPAGER": "cat", "LANG": "C.UTF-8"})
    rendered = man.stdout.split("NAME", 1)[-1].lstrip().startswith("zem_dma_test")
    yield "man renders the installed page", (
        [] if man.returncode == 0 and rendered and ".Nm" not in man.stdout
        else [f"status {man.returncode}: {man.stdout[:200]!r} {man.stderr!r}"])
    yield "bash completes from the installed completion", completion_faults(f"{root}/usr")
    left = run(dpkg + ["-P", PACKAGE])
    left += [f"left {name}" for name in sorted(set(os.listdir(root)) - before)]
    left += [f"left {path}" for path in glob.glob(f"{root}/var/lib/dpkg/info/{PACKAGE}*")]
    yield "dpkg -P purges it, leaving only dpkg's own files", left


def main(argv):
    split = argv.index("--") if "--" in argv else len(argv)
    cpack, build, executable, arch, version = argv[:5]
    launcher = argv[split + 1:]
    in_ci = os.environ.get("CI") == "true"
    failed = False

    def verdict(name, faults):
        nonlocal failed
        print(("FAIL " if faults else "ok   ") + name + "".join(f": {f}" for f in faults))
        failed |= bool(faults)

    def cannot(name, reason):
        if in_ci:
            verdict(name, [f"cannot run, and CI must run it: {reason}"])
        else:
            print(f"skip {name}: {reason}")

    with open("/var/lib/dpkg/status", "rb") as f:
        machine_status = hashlib.sha256(f.read()).digest()
    with tempfile.TemporaryDirectory(prefix="zem-deb-") as work:
        subprocess.run([cpack, "--config", os.path.join(build, "CPackConfig.cmake"),
                        "-G", "DEB", "-B", work], check=True, stdout=subprocess.DEVNULL)
        name = f"{PACKAGE}_{version}_{arch}.deb"
        deb = os.path.join(work, name)
        made = sorted(os.path.basename(p) for p in glob.glob(os.path.join(work, "*.deb*")))
        verdict(f"makes {name} and its .sha256", [] if made == [name, name + ".sha256"]
                else [f"made {made}"])
        if not os.path.exists(deb):
            return 1
        with open(deb, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        with open(deb + ".sha256") as f:
            verdict("the .sha256 matches", [] if f.read().split() == [digest, name]
                    else ["another digest"])
        verdict("control fields", control_faults(fields(deb), arch, version))
        data = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True,
                              check=True).stdout
        with tarfile.open(fileobj=io.BytesIO(data)) as tar:
            members = {m.name.removeprefix("./"): tar.extractfile(m).read()
                       for m in tar.getmembers() if m.isfile()}
        verdict("files, the executable as tested", files_faults(members, executable))
        verdict("changelog's top entry is this version", changelog_faults(members, version))
        verdict("overrides only what lintian misreads", override_faults(members))
        if shutil.which("lintian"):
            verdict("lintian: no error, no warning, no unused override", lintian_faults(deb))
        else:
            cannot("lintian", "no lintian (Debian package lintian)")
        missing = [f"no {tool} (Debian package {package})"
                   for tool, package in (("man", "man-db"), ("bash", "bash"))
                   if not shutil.which(tool)]
        if not os.path.exists(BASH_COMPLETION):
            missing.append(f"no {BASH_COMPLETION} (Debian package bash-completion)")
        if missing:
            cannot("dpkg root", ", ".join(missing))
        else:
            for step, faults in dpkg_root_steps(deb, os.path.join(work, "root"),
                                                launcher, version):
                verdict(step, faults)
    with open("/var/lib/dpkg/status", "rb") as f:
        verdict("the machine's dpkg database unchanged",
                [] if hashlib.sha256(f.read()).digest() == machine_status else ["it changed"])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
