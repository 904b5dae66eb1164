#!/usr/bin/env python3
"""Installs a build into a new prefix, as `cmake --install --strip` does,
and checks the executable, the manual page and the bash completion there
against the usage text. With --deb, it makes the build's Debian package as
its package step does and checks its fields, its files, lintian's verdict,
and its life in a dpkg root of its own, where the installed executable runs
(started by LAUNCHER, such as an emulator); without, cpack must refuse to.

usage: install_test.py CMAKE CPACK BUILD_DIR VERSION [--deb EXECUTABLE ARCH]
                       [--launcher LAUNCHER...]
"""
import argparse
import glob
import gzip
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

from cli_test import USAGE
from harness import Elf, Tally, deb_files, run_tool

BASH_COMPLETION = "/usr/share/bash-completion/bash_completion"
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "zem-dma-test"
DOCS = f"usr/share/doc/{PACKAGE}"
# Tags that lintian raises wrongly on a static executable; the package may
# override these and no others.
OVERRIDABLE = {"shared-library-lacks-prerequisites", "statically-linked-binary"}
# What a person types after "zem_dma_test " before pressing tab.
TYPED = ["", "p", "--", "--v", "-", "perf --", "perf "]


def usage_names(heading):
    """The names listed under HEADING in the usage text."""
    names = []
    for line in USAGE.decode().split(heading + ":\n", 1)[1].splitlines():
        if line.startswith("    "):
            names.append(line.split()[0])
        elif names:
            break
    return set(names)


def offered(typed):
    """What bash must offer after TYPED, by the usage text: options anywhere,
    the command where no command stands yet, nothing after it."""
    *before, word = typed.split(" ")
    if word.startswith("-"):
        return sorted(o for o in usage_names("Options") if o.startswith(word))
    if any(not w.startswith("-") for w in before):
        return []
    return sorted(c for c in usage_names("Commands") if c.startswith(word))


def executable_faults(path):
    faults = [f"section {name}" for name, kind in Elf(path).sections()
              if kind == "SYMTAB" or name.startswith(".debug")]
    return faults + ([] if os.access(path, os.X_OK) else ["not executable"])


def page_names(page, section, macro):
    """The names that the .It items of SECTION of the page give with MACRO."""
    body = re.search(rf"^\.Sh {section}\n(.*?)^\.Sh ", page, re.DOTALL | re.MULTILINE)
    items = re.findall(r"^\.It (.*)$", body.group(1) if body else "", re.MULTILINE)
    prefix = "-" if macro == "Fl" else ""
    return {prefix + name.replace("\\-", "-")
            for item in items for name in re.findall(rf"\b{macro} (\S+)", item)}


def page_faults(path):
    with open(path, encoding="utf-8") as f:
        page = f.read()
    faults = []
    for heading, section, macro in (("Commands", "COMMANDS", "Cm"),
                                    ("Options", "OPTIONS", "Fl")):
        usage, in_page = usage_names(heading), page_names(page, section, macro)
        if usage != in_page:
            faults.append(f"{heading.lower()}: usage text {sorted(usage)}, "
                          f"page {sorted(in_page)}")
    return faults


def completion_faults(prefix):
    """Completes each typed line in bash, with bash-completion finding the
    script under PREFIX/share as it finds a package's."""
    script = f"""
source {BASH_COMPLETION}
for line in "$@"; do
  read -r -a COMP_WORDS <<< "zem_dma_test $line"
  [[ $line == "" || $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${{#COMP_WORDS[@]}} - 1))
  COMP_LINE="zem_dma_test $line" COMP_POINT=${{#COMP_LINE}}
  complete -p zem_dma_test >/dev/null 2>&1 || _completion_loader zem_dma_test
  $(complete -p zem_dma_test | sed 's/.*-F \\([^ ]*\\) .*/\\1/') \\
    zem_dma_test "${{COMP_WORDS[COMP_CWORD]}}" "${{COMP_WORDS[COMP_CWORD-1]}}"
  printf '%s\\n' "${{COMPREPLY[*]}}"
done
"""
    env = {**os.environ, "XDG_DATA_DIRS": os.path.join(prefix, "share"),
           "BASH_COMPLETION_USER_DIR": os.path.join(prefix, "none")}
    got = subprocess.run(["bash", "--norc", "--noprofile", "-c", script, "bash"] + TYPED,
                         capture_output=True, text=True, env=env)
    lines = got.stdout.split("\n")
    faults = [] if got.returncode == 0 else [f"bash: status {got.returncode} {got.stderr}"]
    for index, typed in enumerate(TYPED):
        words = sorted(lines[index].split()) if index < len(lines) else None
        if words != offered(typed):
            faults.append(f"'zem_dma_test {typed}' offers {words}, expected {offered(typed)}")
    return faults


def control_faults(deb, arch, version):
    said = subprocess.run(["dpkg-deb", "-f", deb], capture_output=True, text=True).stdout
    control = dict(re.findall(r"^(\S+): (.*(?:\n .*)*)", said, re.MULTILINE))
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
    return faults + [f"description line of {len(line)} characters: {line!r}"
                     for line in description if len(line) > 80]


def files_faults(members, executable):
    """Checks the package's files, given as {path: bytes}."""
    expected = {"usr/bin/zem_dma_test", "usr/share/man/man1/zem_dma_test.1.gz",
                "usr/share/bash-completion/completions/zem_dma_test",
                f"{DOCS}/copyright", f"{DOCS}/changelog.gz", f"{DOCS}/README.md",
                f"usr/share/lintian/overrides/{PACKAGE}"}
    expected |= {f"{DOCS}/doc/{os.path.basename(page)}"
                 for page in glob.glob(os.path.join(SOURCE, "doc", "*.md"))}
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
    return [] if top and top.startswith(expected) else [
        f"top entry {top!r}: a new version needs a new entry, {expected!r}..., "
        f"written by hand at the top of packaging/changelog.in"]


def override_faults(members):
    text = members.get(f"usr/share/lintian/overrides/{PACKAGE}", b"").decode()
    tags = {line.split()[0] for line in text.splitlines() if line and not line.startswith("#")}
    return [f"overrides {tag}" for tag in sorted(tags - OVERRIDABLE)]


def lintian_faults(deb):
    # An unused override is an info tag: shown only with -I. Each override
    # serves some lintian versions (older ones take a static PIE for a
    # shared library, newer ones call it statically linked), so one may go
    # unused, but not all.
    said = subprocess.run(["lintian", "-I", "--show-overrides", deb], capture_output=True,
                          text=True).stdout.splitlines()
    faults = [line for line in said
              if line[:2] in ("E:", "W:") or "mismatched-override" in line]
    if not any(line.startswith("O:") for line in said):
        faults += [line for line in said if "unused-override" in line]
    return faults


def dpkg_root_steps(deb, root, arch, launcher, version):
    """Yields (name, faults) for each step of the package's life in ROOT."""
    os.makedirs(f"{root}/var/lib/dpkg")
    os.makedirs(f"{root}/var/log")
    open(f"{root}/var/lib/dpkg/status", "w").close()
    # dpkg logs to the machine's own log unless told otherwise.
    dpkg = ["dpkg", f"--root={root}", f"--log={root}/var/log/dpkg.log", "--force-not-root"]
    # dpkg wants ldconfig and start-stop-daemon on PATH, which a user's
    # PATH on Debian does not reach.
    env = {**os.environ, "PATH": os.environ.get("PATH", "") + ":/usr/sbin:/sbin"}

    def run(command):
        got = subprocess.run(command, capture_output=True, env=env)
        return [] if got.returncode == 0 else [f"status {got.returncode}: {got.stderr!r}"]

    before = set(os.listdir(root))
    # A root's dpkg knows only the machine's architecture until told of another.
    installed = run(dpkg + ["--add-architecture", arch]) + run(dpkg + ["-i", deb])
    yield "dpkg installs it", installed
    if installed:
        return
    yield "dpkg -V finds it intact", run(dpkg + ["-V", PACKAGE])
    got = run_tool(launcher + [f"{root}/usr/bin/zem_dma_test"], [b"--version"])
    expected = (0, f"zem_dma_test version {version}\n".encode())
    yield "the installed executable runs", (
        [] if got[:2] == expected else [f"status and stdout {got[:2]}, expected {expected}"])
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


def machine_record():
    """What the machine's own dpkg database holds of the package: other
    packages may come and go meanwhile."""
    said = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Abbrev} ${Version}", PACKAGE],
                          capture_output=True, text=True).stdout
    return said, sorted(glob.glob(f"/var/lib/dpkg/info/{PACKAGE}[.:]*"))


def make_deb(cpack, build, work):
    """Makes the build's Debian package in WORK; returns the status, the
    output and the names of the files made."""
    got = subprocess.run([cpack, "--config", os.path.join(build, "CPackConfig.cmake"),
                          "-G", "DEB", "-B", work], capture_output=True, text=True)
    made = sorted(os.path.basename(p) for p in glob.glob(os.path.join(work, "*.deb*")))
    return got.returncode, got.stdout + got.stderr, made


def check_deb(tally, options, work):
    (executable, arch), version = options.deb, options.version
    name = f"{PACKAGE}_{version}_{arch}.deb"
    deb = os.path.join(work, name)
    status, output, made = make_deb(options.cpack, options.build, work)
    if not tally.check(f"makes {name} and its .sha256", [] if made == [name, name + ".sha256"]
                       else [f"status {status}, made {made}: {output}"]):
        return
    with open(deb, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with open(deb + ".sha256") as f:
        tally.check("the .sha256 matches", [] if f.read().split() == [digest, name]
                    else ["another digest"])
    tally.check("control fields", control_faults(deb, arch, version))
    members = deb_files(deb) or {}
    tally.check("package files, the executable as tested", files_faults(members, executable))
    tally.check("changelog's top entry is this version", changelog_faults(members, version))
    tally.check("overrides only what lintian misreads", override_faults(members))
    if shutil.which("lintian"):
        tally.check("lintian: no error, no warning, no override unused by all",
                    lintian_faults(deb))
    else:
        tally.cannot("lintian", "no lintian (Debian package lintian)")
    missing = [] if shutil.which("man") else ["no man (Debian package man-db)"]
    if not os.path.exists(BASH_COMPLETION):
        missing.append(f"no {BASH_COMPLETION} (Debian package bash-completion)")
    if missing:
        tally.cannot("dpkg root", ", ".join(missing))
        return
    for step, faults in dpkg_root_steps(deb, os.path.join(work, "root"), arch,
                                        options.launcher, version):
        tally.check(step, faults)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("cmake")
    parser.add_argument("cpack")
    parser.add_argument("build")
    parser.add_argument("version")
    parser.add_argument("--deb", nargs=2, metavar=("EXECUTABLE", "ARCH"))
    parser.add_argument("--launcher", nargs=argparse.REMAINDER, default=[])
    options = parser.parse_args()
    tally = Tally()
    with tempfile.TemporaryDirectory(prefix="zem-install-") as prefix:
        # A strip that cannot read the target's executables only complains.
        got = subprocess.run([options.cmake, "--install", options.build, "--prefix", prefix,
                              "--strip"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             text=True)
        tally.check("cmake --install --strip says nothing amiss",
                    [f"status {got.returncode}: {got.stderr}"]
                    if got.returncode or got.stderr else [])
        files = {"executable": "bin/zem_dma_test",
                 "page": "share/man/man1/zem_dma_test.1",
                 "completion": "share/bash-completion/completions/zem_dma_test"}
        missing = [f for f in files.values() if not os.path.isfile(os.path.join(prefix, f))]
        if not tally.check("installs " + ", ".join(files.values()),
                           [f"no {f}" for f in missing]):
            return tally.summary()
        tally.check("executable stripped",
                    executable_faults(os.path.join(prefix, files["executable"])))
        tally.check("page and usage text agree", page_faults(os.path.join(prefix, files["page"])))
        if os.path.exists(BASH_COMPLETION):
            tally.check("bash completes as the usage text says", completion_faults(prefix))
        else:
            tally.cannot("bash completes", f"no {BASH_COMPLETION} (Debian package bash-completion)")
    with tempfile.TemporaryDirectory(prefix="zem-deb-") as work:
        if not options.deb:
            # The package would declare no dependency, which only a static PIE may.
            status, output, made = make_deb(options.cpack, options.build, work)
            tally.check("no Debian package of a build that is not a static PIE",
                        ([] if status and not made else [f"status {status}, made {made}"]) +
                        ([] if "this build's executable is not a static PIE" in output
                         else [f"output {output!r}"]))
            return tally.summary()
        before = machine_record()
        check_deb(tally, options, work)
    after = machine_record()
    tally.check(f"the machine's dpkg database unchanged for {PACKAGE}",
                [] if after == before else [f"{before} became {after}"])
    return tally.summary()


if __name__ == "__main__":
    sys.exit(main())
