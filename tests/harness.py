"""What the checks under tests/ share: a tally of verdicts, printed in one
format; the rule for a check that cannot run here; running the tool;
reading ELF files; and reading a Debian package's files."""
import os
import struct
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


PT_LOAD, PT_INTERP, PT_GNU_RELRO = 1, 3, 0x6474E552
SHT_SYMTAB, SHT_RELA, SHT_DYNAMIC, SHT_NOTE, SHT_DYNSYM = 2, 4, 6, 7, 11
DT_NEEDED, DT_FLAGS, DT_FLAGS_1 = 1, 30, 0x6FFFFFFB
DF_BIND_NOW, DF_1_NOW = 0x8, 0x1
# GNU property notes: the features that the processor's control-flow
# protection checks, by the bit that marks each.
FEATURES = {0xC0000000: ("BTI", "PAC", "GCS"),  # AArch64
            0xC0000002: ("IBT", "SHSTK")}  # x86


class Elf:
    """The facts of a 64-bit ELF file that the checks read."""

    def __init__(self, data):
        if data[:5] != b"\x7fELF\x02":
            raise ValueError("not a 64-bit ELF file")
        self.data = data
        self.order = {1: "<", 2: ">"}[data[5]]
        (self.type, self.machine, phoff, shoff, phsize, phnum, shsize, shnum,
         shstrndx) = self.unpack("HH12xQQ6xHHHHH", 16)
        # Program headers: type, offset, address, file size, alignment.
        self.segments = []
        for i in range(phnum):
            kind, _, offset, address, _, size, _, align = self.unpack(
                "IIQQQQQQ", phoff + i * phsize)
            self.segments.append((kind, offset, address, size, align))
        # Section headers: name, type, offset, size, link, entry size.
        headers = [self.unpack("IIQQQQIIQQ", shoff + i * shsize) for i in range(shnum)]
        names = headers[shstrndx][4] if headers else 0
        self.sections = [(self.string(names + h[0]), h[1], h[4], h[5], h[6], h[9])
                         for h in headers]

    @classmethod
    def read(cls, path):
        with open(path, "rb") as f:
            return cls(f.read())

    def unpack(self, layout, offset):
        return struct.unpack_from(self.order + layout, self.data, offset)

    def string(self, offset):
        return self.data[offset:self.data.index(b"\0", offset)].decode()

    def entries(self, section, layout):
        """The fixed-size entries of SECTION, each unpacked by LAYOUT."""
        return [self.unpack(layout, offset) for offset in
                range(section[2], section[2] + section[3], section[5] or 1)]

    def of_type(self, kind):
        return [section for section in self.sections if section[1] == kind]

    def linked_string(self, section, offset):
        return self.string(self.sections[section[4]][2] + offset)

    def symbol_names(self, table):
        """The names in symbol table TABLE (a section), by index."""
        return [self.linked_string(table, entry[0])
                for entry in self.entries(table, "IBBHQQ")]

    def interpreter(self):
        found = [s for s in self.segments if s[0] == PT_INTERP]
        return self.string(found[0][1]) if found else None

    def dynamic(self):
        return [(entry, section) for section in self.of_type(SHT_DYNAMIC)
                for entry in self.entries(section, "qQ")]

    def needed(self):
        return [self.linked_string(section, value)
                for (tag, value), section in self.dynamic() if tag == DT_NEEDED]

    def bind_now(self):
        return any((tag == DT_FLAGS and value & DF_BIND_NOW) or
                   (tag == DT_FLAGS_1 and value & DF_1_NOW)
                   for (tag, value), _ in self.dynamic())

    def relro(self):
        return any(s[0] == PT_GNU_RELRO for s in self.segments)

    def symbols(self):
        return {name for kind in (SHT_SYMTAB, SHT_DYNSYM) for table in self.of_type(kind)
                for name in self.symbol_names(table) if name}

    def imports(self):
        """The distinct symbols that the relocations name: what the dynamic
        linker binds before main."""
        names = set()
        for section in self.of_type(SHT_RELA):
            table = self.symbol_names(self.sections[section[4]]) if section[4] else []
            names |= {table[info >> 32] for _, info, _ in self.entries(section, "QQq")
                      if info >> 32}
        return names

    def features(self):
        """The control-flow features that the GNU property note marks."""
        found = set()
        for section in self.of_type(SHT_NOTE):
            offset, end = section[2], section[2] + section[3]
            while offset + 12 <= end:
                namesz, descsz, kind = self.unpack("III", offset)
                name_end = offset + 12 + (namesz + 3) // 4 * 4
                desc = self.data[name_end:name_end + descsz]
                if self.data[offset + 12:offset + 12 + namesz] == b"GNU\0" and kind == 5:
                    at = 0
                    while at + 8 <= len(desc):
                        prop, size = struct.unpack_from(self.order + "II", desc, at)
                        if prop in FEATURES and size >= 4:
                            bits, = struct.unpack_from(self.order + "I", desc, at + 8)
                            found |= {n for i, n in enumerate(FEATURES[prop]) if bits >> i & 1}
                        at += 8 + (size + 7) // 8 * 8
                offset = name_end + (descsz + 3) // 4 * 4
        return found


def archive_members(path):
    """The ELF objects in the ar archive PATH."""
    with open(path, "rb") as f:
        data = f.read()
    offset, members = 8, []
    while offset + 60 <= len(data):
        name, size = data[offset:offset + 16].strip(), int(data[offset + 48:offset + 58])
        body = data[offset + 60:offset + 60 + size]
        if body[:4] == b"\x7fELF" and name not in (b"/", b"//"):
            members.append(Elf(body))
        offset += 60 + size + size % 2
    return members


if __name__ == "__main__":
    # For the shell scripts under .ci: `harness.py cannot NAME REASON` says
    # that NAME cannot run here, and exits 1 under CI, which must run it.
    if sys.argv[1:2] != ["cannot"] or len(sys.argv) != 4:
        sys.exit("usage: harness.py cannot NAME REASON")
    tally = Tally()
    tally.cannot(*sys.argv[2:])
    sys.exit(tally.failed)
