#!/usr/bin/env python3
"""Starts zem_dma_test as a process and checks standard output, standard
error and the exit status, byte for byte.

usage: cli_test.py --version VERSION [--empty-argv-helper HELPER]
                   -- [LAUNCHER...] EXECUTABLE

Everything after "--" starts the tool: an emulator with its options may
stand before the executable. Arguments are bytes, so empty ones and bytes
that are not UTF-8 reach the tool unchanged.
"""
import argparse
import errno
import os
import re
import sys

from harness import Tally, run_tool

USAGE = (b"Usage: zem_dma_test [options] <command> [command args]\n"
         b"\n"
         b"Commands:\n"
         b"    perf                    Run performance tests.\n"
         b"\n"
         b"Options:\n"
         b"\n"
         b"    --help                  Display usage info and exit.\n"
         b"    -h\n"
         b"    --version               Display version info and exit.\n"
         b"\n")
PERF = b"Performance command not implemented.\n"
NO_COMMAND = b"No command was specified.\n" + USAGE
# The option parser's complaint belongs to libc, which words it as it likes:
# expected stderr is then a complaint of its own, followed by the usage text.
COMPLAINT_THEN_USAGE = "complaint, then usage"
EMPTY_ARGV = None  # Start the tool with no arguments at all, not even a name.
LONG_NAME = b"n" * 100_000


def invalid(name):
    return b'Invalid command "' + name + b'".\n'


def write_error(code):
    """What the tool says when standard output fails with errno CODE."""
    return f"zem_dma_test: write error: {os.strerror(code)}\n".encode()


FULL, CLOSED = write_error(errno.ENOSPC), write_error(errno.EBADF)


def cases(version):
    """The cases, for a tool of VERSION: name, arguments, stdout, stderr,
    status, stream setup (which closes a descriptor, "1-", or points it at
    /dev/full, "2>full")."""
    version_line = f"zem_dma_test version {version}\n".encode()
    return [
        ("help -h", [b"-h"], USAGE, b"", 0, ""),
        ("help --help", [b"--help"], USAGE, b"", 0, ""),
        ("help ends a cluster", [b"-hx"], USAGE, b"", 0, ""),
        ("help before a bad option", [b"--help", b"--bogus"], USAGE, b"", 0, ""),
        ("help after the command", [b"perf", b"--help"], USAGE, b"", 0, ""),
        ("version", [b"--version"], version_line, b"", 0, ""),
        ("version, command not run", [b"--version", b"perf"], version_line, b"", 0, ""),
        ("version shortened", [b"--vers"], version_line, b"", 0, ""),
        ("help shortened", [b"--he"], USAGE, b"", 0, ""),
        ("version shortened, command not run", [b"--ver", b"perf"], version_line, b"", 0, ""),
        ("bad long option", [b"--bogus"], b"", COMPLAINT_THEN_USAGE, 9, ""),
        ("bad option before help", [b"--bogus", b"--help"], b"", COMPLAINT_THEN_USAGE, 9, ""),
        ("bad short option after command", [b"perf", b"-x"], b"", COMPLAINT_THEN_USAGE, 9, ""),
        ("command option taken by parser", [b"perf", b"--size", b"10"], b"", COMPLAINT_THEN_USAGE, 9, ""),
        ("help takes no argument", [b"--help=1"], b"", COMPLAINT_THEN_USAGE, 9, ""),
        ("no arguments", [], b"", NO_COMMAND, 15, ""),
        ("options end, no command", [b"--"], b"", NO_COMMAND, 15, ""),
        ("empty argument vector", EMPTY_ARGV, b"", NO_COMMAND, 15, ""),
        ("upper case command", [b"PERF"], b"", invalid(b"PERF"), 15, ""),
        ("command with a suffix", [b"perfx"], b"", invalid(b"perfx"), 15, ""),
        ("empty command", [b""], b"", invalid(b""), 15, ""),
        ("command with spaces", [b" perf two "], b"", invalid(b" perf two "), 15, ""),
        ("command of escape bytes", [b"\x1b[2J\x1b]0;t\x07\r"], b"", invalid(b"\x1b[2J\x1b]0;t\x07\r"), 15, ""),
        ("command not UTF-8", [b"\xff\xfe\xc3("], b"", invalid(b"\xff\xfe\xc3("), 15, ""),
        ("command of 100000 bytes", [LONG_NAME], b"", invalid(LONG_NAME), 15, ""),
        ("option-like command after --", [b"--", b"--help"], b"", invalid(b"--help"), 15, ""),
        ("dash alone is a command", [b"-"], b"", invalid(b"-"), 15, ""),
        ("perf", [b"perf"], PERF, b"", 0, ""),
        ("perf ignores its arguments", [b"perf", b"a", b"b", b"c"], PERF, b"", 0, ""),
        ("perf after --", [b"--", b"perf", b"-x"], PERF, b"", 0, ""),
        ("version, stdout closed", [b"--version"], b"", CLOSED, 1, "1-"),
        ("version, stdout full", [b"--version"], b"", FULL, 1, "1>full"),
        ("help, stdout full", [b"-h"], b"", FULL, 1, "1>full"),
        ("perf, stdout closed", [b"perf"], b"", CLOSED, 1, "1-"),
        ("perf, stdout full", [b"perf"], b"", FULL, 1, "1>full"),
        ("perf, both streams full", [b"perf"], b"", b"", 1, "1>full 2>full"),
        ("bad option, stdout closed", [b"--bogus"], b"", COMPLAINT_THEN_USAGE, 9, "1-"),
        ("bad option, stderr closed", [b"--bogus"], b"", b"", 9, "2-"),
        ("bad option, stderr full", [b"--bogus"], b"", b"", 9, "2>full"),
        ("no command, stderr closed", [], b"", b"", 15, "2-"),
        ("invalid command, stderr full", [LONG_NAME], b"", b"", 15, "2>full"),
    ]


def stream_setup(setup):
    """The descriptors that SETUP names, each with whether it is closed."""
    return [(int(item[0]), item[1:] == "-") for item in setup.split()]


def prepare_streams(setup):
    """Returns what the child runs before exec to set its streams up."""
    def prepare():
        for fd, closed in stream_setup(setup):
            if closed:
                os.close(fd)
            else:
                full = os.open("/dev/full", os.O_WRONLY)
                os.dup2(full, fd)
                os.close(full)
    return prepare if setup else None


def run(tool, empty_argv_helper, case):
    """Runs one case here; returns its status, stdout and stderr."""
    _, args, _, _, _, setup = case
    if args is EMPTY_ARGV:
        return run_tool([empty_argv_helper, tool[-1]], setup=prepare_streams(setup))
    return run_tool(tool, args, prepare_streams(setup))


def faults(case, status, stdout, stderr):
    """The suite's assertions on one run of a case; returns what differed."""
    _, _, out, err, expected_status, _ = case
    found = []
    if status != expected_status:
        found.append(f"status {status}, expected {expected_status}")
    if stdout != out:
        found.append(f"stdout {stdout[:300]!r}, expected {out[:300]!r}")
    if err == COMPLAINT_THEN_USAGE:
        complaint = stderr[:-len(USAGE)]
        if (not stderr.endswith(USAGE) or not complaint.endswith(b"\n")
                or USAGE in complaint):
            found.append(f"stderr {stderr!r}, expected a complaint "
                         f"ending in a newline, then the usage text")
    elif stderr != err:
        found.append(f"stderr {stderr[:300]!r}, expected {err[:300]!r}")
    return found


def script(cases):
    """CASES as one shell script that runs them in its working directory,
    keeping each case's status, stdout and stderr in r/; with the files
    that hold the arguments, as {name: bytes}. Its arguments name the tool
    and the empty-vector helper, ./zem_dma_test and ./exec_empty_argv when
    not given. It needs only cat, echo and redirections: every shell it
    runs in has them, busybox's and Android's down to 5.0, whose toolbox
    has no printf."""
    lines = ['tool=${1:-./zem_dma_test} helper=${2:-./exec_empty_argv}']
    files, named = {}, {}
    for index, (_, args, _, _, _, setup) in enumerate(cases):
        words = ['"$helper"'] if args is EMPTY_ARGV else []
        words.append('"$tool"')
        for n, arg in enumerate(args or []):
            name = named.setdefault(arg, f"arg.{len(named)}")
            files[name] = arg
            # A variable holds any byte but NUL; the x saves trailing
            # newlines from the command substitution.
            lines.append(f"a{n}=$(cat {name}; echo x); a{n}=${{a{n}%x}}")
            words.append(f'"$a{n}"')
        redirections = [f"{fd}>&-" if closed else f"{fd}>/dev/full"
                        for fd, closed in stream_setup(setup)]
        lines.append(" ".join(words + [f"</dev/null >r/{index}.out 2>r/{index}.err"] +
                              redirections) + f"; echo $? >r/{index}.status")
    return "\n".join(lines + [f"echo {len(cases)} >r/done", ""]), files


def board_name(name):
    """A case's name as LAVA takes it: letters, digits and -_. alone."""
    return re.sub(r"[^A-Za-z0-9._-]+", "_", name)


def board_files(cases):
    """CASES as files from which a board's shell runs and judges them:
    script()'s run.sh and arguments; usage, the usage text; the files
    want.K, each an expected output; and expected, a line per case:
    INDEX NAME STATUS STDOUT STDERR NEEDS, where a stream is a want file,
    - for nothing, or complaint for the option parser's complaint then the
    usage text, and NEEDS is helper for the empty-vector case, else -."""
    text, files = script(cases)
    files.update({"run.sh": text.encode(), "usage": USAGE})
    wants, lines = {}, []

    def want(data):
        if data == COMPLAINT_THEN_USAGE:
            return "complaint"
        return wants.setdefault(data, f"want.{len(wants)}") if data else "-"
    for index, (name, args, out, err, status, _) in enumerate(cases):
        lines.append(f"{index} {board_name(name)} {status} {want(out)} {want(err)} "
                     f"{'helper' if args is EMPTY_ARGV else '-'}\n")
    names = [line.split()[1] for line in lines]
    assert len(set(names)) == len(names), "two cases share a name on a board"
    files.update({name: data for data, name in wants.items()})
    files["expected"] = "".join(lines).encode()
    return files


def results(cases, files):
    """Each case with its status, stdout and stderr, read from the files of
    r/ that script() left, as {name: bytes}; or, where they are missing or
    incomplete, why."""
    for index, case in enumerate(cases):
        names = [f"{index}.{part}" for part in ("status", "out", "err")]
        missing = [name for name in names if name not in files]
        if missing:
            yield case, f"no result: r/{', r/'.join(missing)} missing"
        elif not re.fullmatch(rb"[0-9]+\n", files[names[0]]):
            yield case, f"incomplete result: r/{names[0]} holds {files[names[0]]!r}"
        else:
            yield case, (int(files[names[0]]), files[names[1]], files[names[2]])


def report(tally, results):
    """Gives TALLY the verdicts on RESULTS: each case with its (status,
    stdout, stderr), or why there is none, which fails it."""
    for case, result in results:
        tally.check(case[0], [result] if isinstance(result, str) else faults(case, *result))


def changed_message(executable, path):
    """Writes to PATH a copy of EXECUTABLE whose perf message ends in ! for
    its full stop: a tool one byte wrong, which the perf cases must fail."""
    with open(executable, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(data.replace(PERF[:-1], PERF[:-2] + b"!"))
    os.chmod(path, 0o755)
    return path


def write_board_files(version, directory):
    """Writes board_files() into DIRECTORY, which it makes anew."""
    if os.path.isdir(directory):
        for name in os.listdir(directory):
            os.remove(os.path.join(directory, name))
    os.makedirs(directory, exist_ok=True)
    for name, data in board_files(cases(version)).items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
    return 0


def check_board_files(version, directory):
    """Checks that DIRECTORY holds board_files() and nothing else."""
    wanted, held = board_files(cases(version)), {}
    for name in os.listdir(directory):
        with open(os.path.join(directory, name), "rb") as f:
            held[name] = f.read()
    faults = [f"{name}: {'missing' if name not in held else 'extra' if name not in wanted else 'differs'}"
              for name in sorted(set(wanted) | set(held)) if wanted.get(name) != held.get(name)]
    if faults:
        faults.append(f"make them anew: {sys.argv[0]} --version {version} "
                      f"--write-board-files {directory}")
    tally = Tally()
    tally.check(f"{directory} holds the table's cases for version {version}", faults)
    return tally.summary()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--empty-argv-helper")
    parser.add_argument("--write-board-files", metavar="DIRECTORY")
    parser.add_argument("--check-board-files", metavar="DIRECTORY")
    parser.add_argument("tool", nargs="*")
    options = parser.parse_args()
    if options.write_board_files:
        return write_board_files(options.version, options.write_board_files)
    if options.check_board_files:
        return check_board_files(options.version, options.check_board_files)
    tool, helper = options.tool, options.empty_argv_helper

    def unrunnable(case):
        if case[1] is EMPTY_ARGV and (helper is None or len(tool) > 1):
            return "no way to start the tool with an empty vector"
        if "1-" in case[5] and len(tool) > 1:
            return "an emulator may take the closed descriptor 1 for its own files"
        return None
    tally = Tally()
    for case in cases(options.version):
        if reason := unrunnable(case):
            tally.skip(case[0], reason)
        else:
            report(tally, [(case, run(tool, helper, case))])
    return tally.summary()


if __name__ == "__main__":
    sys.exit(main())
