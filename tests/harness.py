"""What the checks under tests/ share: a tally of verdicts, printed in one
format; the rule for a check that cannot run here; running the tool;
reading ELF files; and reading a Debian package's files."""
import argparse
import os
import re
import subprocess
import sys
import tarfile

# The values that CMake takes for false: the presets turn $env{CI} into
# -Werror by CMake's rule, and a check that cannot run reads CI the same way.
FALSE = {"", "0", "OFF", "NO", "FALSE", "N", "IGNORE", "NOTFOUND"}


def under_ci():
    value = os.environ.get("CI", "")
    return not (value.upper() in FALSE or value.endswith("-NOTFOUND"))


class Tally:
    """Prints a line per verdict and, at the end, how many passed, failed
    and were skipped."""

    def __init__(self):
        self.passed = self.failed = self.skipped = 0

    def check(self, name, faults, detail=""):
        """FAULTS is a list of what was wrong: empty when NAME passed."""
        print(("FAIL " if faults else "ok   ") + name)
        for fault in faults:
            print("     " + fault)
        if faults and detail:
            print("     output: " + detail)
        self.failed += bool(faults)
        self.passed += not faults
        return not faults

    def skip(self, name, reason):
        print(f"skip {name}: {reason}")
        self.skipped += 1

    def cannot(self, name, reason):
        """NAME cannot run here, for REASON: skipped, or under CI failed."""
        if under_ci():
            self.check(name, [f"cannot run, and CI must run it: {reason}"])
        else:
            self.skip(name, reason)

    def summary(self, title=""):
        """Prints the totals; returns the exit status."""
        skipped = f", {self.skipped} skipped" if self.skipped else ""
        print(f"{title}{self.passed} passed, {self.failed} failed{skipped}")
        return 1 if self.failed else 0


def run_tool(command, args=(), setup=None):
    """Runs COMMAND (a launcher, such as an emulator, may stand before the
    executable) with ARGS as bytes, SETUP run in the child before exec;
    returns the status, stdout and stderr."""
    # The parser's ordering is its default, whatever the caller's shell says.
    env = {k: v for k, v in os.environ.items() if k != "POSIXLY_CORRECT"}
    got = subprocess.run(list(command) + list(args), stdin=subprocess.DEVNULL,
                         capture_output=True, env=env, preexec_fn=setup)
    return got.returncode, got.stdout, got.stderr


def deb_files(deb, wanted=lambda name: True):
    """The regular files of the Debian package DEB whose paths (without the
    leading ./) WANTED accepts, as {path: bytes}; None if dpkg-deb fails."""
    files = {}
    with subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb],
                          stdout=subprocess.PIPE) as contents:
        with tarfile.open(fileobj=contents.stdout, mode="r|") as tar:
            for member in tar:
                name = os.path.normpath(member.name)
                if member.isfile() and wanted(name):
                    files[name] = tar.extractfile(member).read()
    return files if contents.returncode == 0 else None


class Elf:
    """The facts of an ELF file, or of every object in an archive, that the
    checks read, as binutils' readelf prints them for any processor."""

    def __init__(self, path):
        self.path, self.printed = path, {}

    def readelf(self, option):
        if option not in self.printed:
            self.printed[option] = subprocess.run(["readelf", "-W", option, self.path],
                                                  check=True, capture_output=True,
                                                  text=True).stdout
        return self.printed[option]

    def header(self, field):
        return re.search(rf"^\s*{field}:\s+(.*)$", self.readelf("-h"), re.MULTILINE).group(1)

    def segments(self):
        """Each program header's type, offset, address and alignment."""
        return [(kind, int(offset, 16), int(address, 16), int(align, 16))
                for kind, offset, address, align in re.findall(
                    r"^\s+(\w+)\s+0x(\w+) 0x(\w+) 0x\w+ 0x\w+ 0x\w+ [RWE ]{3} 0x(\w+)$",
                    self.readelf("-l"), re.MULTILINE)]

    def sections(self):
        """Each section's name and type."""
        return re.findall(r"^\s+\[\s*\d+\]\s(\S*)\s+(\S+)\s+[0-9a-f]{16}\s",
                          self.readelf("-S"), re.MULTILINE)

    def interpreter(self):
        found = re.search(r"\[Requesting program interpreter: (.*)\]", self.readelf("-l"))
        return found.group(1) if found else None

    def needed(self):
        return re.findall(r"\(NEEDED\)\s+Shared library: \[(.*)\]", self.readelf("-d"))

    def soname(self):
        found = re.search(r"\(SONAME\)\s+Library soname: \[(.*)\]", self.readelf("-d"))
        return found.group(1) if found else None

    def dynamic(self):
        """Each dynamic entry's tag, as a number, and its value as readelf
        prints it: readelf's names for tags differ from version to version."""
        return [(int(tag, 16), value) for tag, value in re.findall(
            r"^ +0x([0-9a-f]+) \([^)]*\) *(.*)$", self.readelf("-d"), re.MULTILINE)]

    def bind_now(self):
        return re.search(r"\(FLAGS\)\s.*\bBIND_NOW\b|\(FLAGS_1\)\s.*\bNOW\b",
                         self.readelf("-d")) is not None

    def symbols(self):
        return {fields[7].split("@")[0] for fields in map(str.split, self.readelf("-s").splitlines())
                if len(fields) >= 8 and fields[0][:-1].isdigit()}

    def imports(self):
        """The symbols that the relocations name: what the dynamic linker
        binds before main. A relocation line starts with its offset; one
        that names a symbol has the name in its fifth field."""
        return {fields[4] for fields in map(str.split, self.readelf("-r").splitlines())
                if len(fields) >= 5 and re.fullmatch(r"[0-9a-f]+", fields[0])}

    def features(self):
        """The control-flow features that the GNU property note names."""
        found = re.findall(r"(?i:AArch64|x86) feature: ([A-Z0-9]+(?:, [A-Z0-9]+)*)",
                           self.readelf("-n"))
        return {name for names in found for name in names.split(", ")}


if __name__ == "__main__":
    # For the shell scripts under .ci: `harness.py cannot NAME REASON` says
    # that NAME cannot run here, and exits 1 under CI, which must run it.
    parser = argparse.ArgumentParser()
    parser.add_argument("verdict", choices=["cannot"])
    parser.add_argument("name")
    parser.add_argument("reason")
    options = parser.parse_args()
    tally = Tally()
    tally.cannot(options.name, options.reason)
    sys.exit(tally.failed)
