#!/usr/bin/env python3
"""Installs a build into a new prefix, as `cmake --install --strip` does for
a user, and checks what lands there: the executable, without symbols or
debug information; the manual page, which must name the same options and
commands as the usage text; and the bash completion, completed in a real
bash with bash-completion loading it from where it was installed.

usage: install_test.py CMAKE BUILD_DIR
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

from cli_test import USAGE

BASH_COMPLETION = "/usr/share/bash-completion/bash_completion"
# What a person types after "zem_dma_test " before pressing tab, and what
# bash must offer.
COMPLETIONS = [
    ("", ["perf"]),
    ("p", ["perf"]),
    ("--", ["--help", "--version"]),
    ("--v", ["--version"]),
    ("-", ["--help", "--version", "-h"]),
    ("perf --", ["--help", "--version"]),
    ("perf ", []),
]


def sections(elf):
    """The names and types of a 64-bit ELF file's sections."""
    order = {1: "<", 2: ">"}[elf[5]]
    shoff, = struct.unpack_from(order + "Q", elf, 0x28)
    size, count, names = struct.unpack_from(order + "HHH", elf, 0x3A)
    headers = [struct.unpack_from(order + "IIQQQQ", elf, shoff + i * size)
               for i in range(count)]
    table = headers[names][4] if headers else 0
    return [(elf[table + h[0]:elf.index(b"\0", table + h[0])].decode(), h[1])
            for h in headers]


def executable_faults(path):
    with open(path, "rb") as f:
        elf = f.read()
    faults = [f"section {name}" for name, kind in sections(elf)
              if kind == 2 or name.startswith(".debug")]  # 2: SHT_SYMTAB
    if not os.access(path, os.X_OK):
        faults.append("not executable")
    return faults


def usage_names(heading):
    """The names listed under HEADING in the usage text."""
    names = []
    for line in USAGE.decode().split(heading + ":\n", 1)[1].splitlines():
        if line.startswith("    "):
            names.append(line.split()[0])
        elif names:
            break
    return set(names)


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
    """Completes each line in bash, with bash-completion finding the script
    under PREFIX/share as it finds a package's."""
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
    got = subprocess.run(["bash", "--norc", "--noprofile", "-c", script, "bash"] +
                         [line for line, _ in COMPLETIONS],
                         capture_output=True, text=True, env=env)
    offered = got.stdout.split("\n")
    faults = [] if got.returncode == 0 else [f"bash: status {got.returncode} {got.stderr}"]
    for index, (line, expected) in enumerate(COMPLETIONS):
        words = sorted(offered[index].split()) if index < len(offered) else None
        if words != expected:
            faults.append(f"'zem_dma_test {line}' offers {words}, expected {expected}")
    return faults


def main():
    cmake, build = sys.argv[1:3]
    failed = False

    def verdict(name, faults):
        nonlocal failed
        print(("FAIL " if faults else "ok   ") + name + "".join(f": {f}" for f in faults))
        failed |= bool(faults)

    with tempfile.TemporaryDirectory(prefix="zem-install-") as prefix:
        subprocess.run([cmake, "--install", build, "--prefix", prefix, "--strip"],
                       check=True, stdout=subprocess.DEVNULL)
        files = {"executable": "bin/zem_dma_test",
                 "page": "share/man/man1/zem_dma_test.1",
                 "completion": "share/bash-completion/completions/zem_dma_test"}
        missing = [f for f in files.values() if not os.path.isfile(os.path.join(prefix, f))]
        verdict("installs " + ", ".join(files.values()), [f"no {f}" for f in missing])
        if missing:
            return 1
        verdict("executable stripped", executable_faults(os.path.join(prefix, files["executable"])))
        verdict("page and usage text agree", page_faults(os.path.join(prefix, files["page"])))
        if os.path.exists(BASH_COMPLETION):
            verdict("bash completes", completion_faults(prefix))
        elif os.environ.get("CI") == "true":
            verdict("bash completes", [f"cannot run, and CI must run it: no {BASH_COMPLETION} "
                                       f"(Debian package bash-completion)"])
        else:
            print(f"skip bash completes: no {BASH_COMPLETION} (Debian package bash-completion)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
