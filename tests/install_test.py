#!/usr/bin/env python3
"""Installs a build into a new prefix, as `cmake --install --strip` does,
and checks the executable, the manual page and the completions for bash, zsh
and fish there against the usage text, each in its own shell. With --deb,
it makes the build's Debian package as its package step does and checks its
fields, its files, lintian's verdict, and its life in a dpkg root of its
own, where the installed executable runs (started by LAUNCHER, such as an
emulator); without, cpack must refuse to.

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
# What a person types after "zem_dma_test " before pressing tab, and the
# names that every shell must offer then: the options anywhere before "--",
# the command where none stands yet, nothing after it, never a file name.
TYPED = [
    ("", "perf"), ("p", "perf"), ("x", ""), ("-", "-h --help --version"),
    ("--", "--help --version"), ("--v", "--version"), ("--version ", "perf"),
    ("perf --", "--help --version"), ("perf ", ""), ("- ", ""),
    ("-- ", "perf"), ("-- --", ""), ("perf -- --", ""),
]


def usage_entries(heading):
    """The names listed under HEADING in the usage text, each with its
    description; a name alone on its line is the short form of the one
    above it."""
    entries, description = {}, None
    for line in USAGE.decode().split(heading + ":\n", 1)[1].splitlines():
        if line.startswith("    "):
            name, _, text = line.strip().partition(" ")
            description = text.strip() or description
            entries[name] = description
        elif entries:
            break
    return entries


def usage_names(heading):
    return set(usage_entries(heading))


def table_faults():
    """TYPED must offer every command and option of the usage text, and
    nothing else, so that a completion that loses one fails."""
    offered = {name for _, names in TYPED for name in names.split()}
    listed = usage_names("Commands") | usage_names("Options")
    return ([f"no line offers {name}" for name in sorted(listed - offered)] +
            [f"{name} is not in the usage text" for name in sorted(offered - listed)])


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


# Each shell completes every typed line, given as its arguments, and prints
# what it offers, each line's ending with a line "@@".
BASH = """
source /usr/share/bash-completion/bash_completion
for line in "$@"; do
  read -r -a COMP_WORDS <<< "zem_dma_test $line"
  [[ $line == "" || $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="zem_dma_test $line" COMP_POINT=${#COMP_LINE}
  complete -p zem_dma_test >/dev/null 2>&1 || _completion_loader zem_dma_test
  $(complete -p zem_dma_test | sed 's/.*-F \\([^ ]*\\) .*/\\1/') \\
    zem_dma_test "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
  printf '%s\\n' "${COMPREPLY[@]}" @@
done
"""
# An interactive zsh in a pseudo-terminal, its compinit finding the
# completion in FUNCTIONS, and its tab key completing and then saying so;
# compadd, where every match arrives, writes them to OUT too.
ZSH = """
zmodload zsh/zpty || exit 1
local dir=$1 out=$2 line reply
shift 2
zpty shell zsh -f -i
zpty -w shell "fpath=($dir \\$fpath); autoload -Uz compinit; compinit -u -D"
zpty -w shell 'compadd() {
  local -a hits
  if [[ ${(j: :)@} != *-[OAD]\\ * ]]; then
    builtin compadd -O hits "$@"
    print -rl -- $hits >>'$out'
  fi
  builtin compadd "$@"
}'
zpty -w shell 'complete-and-say() { zle complete-word; print -n "@@""completed" }'
zpty -w shell 'zle -N complete-and-say; bindkey "^I" complete-and-say'
for line in "$@"; do
  zpty -w -n shell "zem_dma_test $line"$'\\t'
  zpty -r shell reply '*@@completed*' || exit 1
  print @@ >>$out
  zpty -w -n shell $'\\C-u'
done
zpty -d shell
"""
FISH = """
for line in $argv
  complete -C "zem_dma_test $line"
  echo @@
end
"""


def offers(shell, share, functions, bindir, work):
    """What SHELL offers after each TYPED line, with the completions
    installed under SHARE (zsh's in FUNCTIONS) and the executable in BINDIR,
    as [[(name, description)...]...], or a string saying what went wrong."""
    env = {**os.environ, "HOME": work, "XDG_CONFIG_HOME": work, "XDG_DATA_HOME": work,
           "XDG_DATA_DIRS": share, "BASH_COMPLETION_USER_DIR": work,
           "PATH": bindir + os.pathsep + os.environ.get("PATH", "")}
    typed = [line for line, _ in TYPED]
    out = os.path.join(work, "zsh.out")
    commands = {"bash": ["bash", "--norc", "--noprofile", "-c", BASH, "bash"] + typed,
                "zsh": ["zsh", "-f", "-c", ZSH, "zsh", functions, out] + typed,
                "fish": ["fish", "-c", FISH] + typed}
    open(out, "w").close()
    try:
        # The completions must offer no file names, and here there are some.
        got = subprocess.run(commands[shell], cwd=SOURCE, env=env, capture_output=True,
                             text=True, timeout=60)
    except subprocess.TimeoutExpired:
        return "no end within 60 s"
    if got.returncode:
        return f"status {got.returncode} {got.stderr}"
    with open(out) as f:
        said = f.read() if shell == "zsh" else got.stdout
    blocks, block = [], []
    for line in said.splitlines():
        if line == "@@":
            blocks.append(block)
            block = []
        elif line:
            block.append(tuple(line.split("\t") + [None])[:2])
    return blocks


def completion_steps(share, functions, bindir):
    """Yields, for each shell, its step's name and faults, or the reason it
    cannot run."""
    entries = {**usage_entries("Commands"), **usage_entries("Options")}
    for shell in ("bash", "zsh", "fish"):
        name = f"{shell} completes as the usage text says"
        if not shutil.which(shell):
            yield name, f"no {shell} (Debian package {shell})"
            continue
        if shell == "bash" and not os.path.exists(BASH_COMPLETION):
            yield name, f"no {BASH_COMPLETION} (Debian package bash-completion)"
            continue
        with tempfile.TemporaryDirectory(prefix=f"zem-{shell}-") as work:
            got = offers(shell, share, functions, bindir, work)
        if isinstance(got, str) or len(got) != len(TYPED):
            yield name, [got if isinstance(got, str) else f"{len(got)} replies to {len(TYPED)} lines"]
            continue
        faults = []
        for (typed, expected), offered in zip(TYPED, got):
            names = sorted(name for name, _ in offered)
            if names != sorted(expected.split()):
                faults.append(f"'zem_dma_test {typed}' offers {names}, expected {expected.split()}")
            faults += [f"{name} described {text!r}" for name, text in offered
                       if text is not None and text != entries.get(name)]
        yield name, faults


def record(tally, name, result):
    """Gives TALLY a step's verdict: its faults, or the reason it cannot run."""
    if isinstance(result, str):
        tally.cannot(name, result)
    else:
        tally.check(name, result)


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
                "usr/share/zsh/vendor-completions/_zem_dma_test",
                "usr/share/fish/vendor_completions.d/zem_dma_test.fish",
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
    for shell, result in completion_steps(f"{root}/usr/share",
                                          f"{root}/usr/share/zsh/vendor-completions",
                                          f"{root}/usr/bin"):
        yield shell + ", from the installed completion", result
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
    # A package that depends on nothing by design is no fault to tell of.
    tally.check("cpack tells of no missing Depends",
                [line for line in output.splitlines() if "DEPENDS" in line])
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
    if not shutil.which("man"):
        tally.cannot("dpkg root", "no man (Debian package man-db)")
        return
    for step, result in dpkg_root_steps(deb, os.path.join(work, "root"), arch,
                                        options.launcher, version):
        record(tally, step, result)


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
                 "bash": "share/bash-completion/completions/zem_dma_test",
                 "zsh": "share/zsh/site-functions/_zem_dma_test",
                 "fish": "share/fish/vendor_completions.d/zem_dma_test.fish"}
        missing = [f for f in files.values() if not os.path.isfile(os.path.join(prefix, f))]
        if not tally.check("installs " + ", ".join(files.values()),
                           [f"no {f}" for f in missing]):
            return tally.summary()
        tally.check("executable stripped",
                    executable_faults(os.path.join(prefix, files["executable"])))
        tally.check("page and usage text agree", page_faults(os.path.join(prefix, files["page"])))
        tally.check("the completion table covers the usage text", table_faults())
        for step, result in completion_steps(f"{prefix}/share", f"{prefix}/share/zsh/site-functions",
                                             f"{prefix}/bin"):
            record(tally, step, result)
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
