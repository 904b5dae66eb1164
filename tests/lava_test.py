#!/usr/bin/env python3
"""Runs the process suite through LAVA on this machine, as a lab would:
Debian's lava-run, with no server, boots Debian's arm64 kernels under
qemu-system-aarch64 with a busybox ramdisk, puts the tool and the
empty-vector helper on the board as an overlay, and runs the test
definition tests/lava/zem_dma_test.yaml from git. The job is
tests/lava/job.yaml with local file:// URLs. lava-run exits 0 whatever the
cases did, so each case's result is read from its log.

usage: lava_test.py --version VERSION --empty-argv-helper HELPER EXECUTABLE

The boards: the tree's job on the 4 KB-page kernel with busybox's shell,
and on the 16 KB-page kernel with Debian's static mksh as the board's
shell, as Android's is; then a job that is not the tree's (another CPU,
the tool on PATH, no helper), a tool with one changed message byte, and a
TOOL that is no executable. Where lava-run or the kernels cannot be had,
says why in one line and exits 77; under CI it fails. LAVA's logs are kept
in lava/ of the working directory.
"""
import argparse
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile

import cli_test
import kernel_test
from harness import Tally

SKIPPED = 77
HERE = os.path.dirname(os.path.abspath(__file__))
DEFINITION = "0_zem-dma-test"  # How the job's one definition is named in the log.
PROMPT = "zem-board# "  # The tree's job waits for it.
# The tree's job with its URLs marked LAB, and the parameters that a job
# not the tree's leaves at the definition's defaults.
LAB = "https://lab.invalid/"
PARAMETERS = re.compile(r"\n      parameters:\n(        .*\n)+")
MKSH = "usr/lib/aarch64-linux-musl/bin/mksh"
DEVICE = """\
constants:
  posix:
    lava_test_sh_cmd: /bin/sh
    lava_test_results_dir: /lava-%s
    lava_test_shell_file: ~/.bashrc
  shutdown-message: "The system is going down for reboot NOW"
  kernel-start-message: "Linux version [0-9]"
  default-shell-prompt: "lava-test: # "
  spawn_maxread: 4092
  failure_retry: 1
  boot_retry:
available_architectures:
- arm64
actions:
  deploy:
    methods:
      image:
        parameters:
          guest:
            size: 512
      tmpfs:
  boot:
    connections:
      serial:
    methods:
      qemu:
        parameters:
          command: qemu-system-aarch64
          options:
          - -machine virt
          - -cpu {cpu}
          - -nographic
          - -net none
          - -m 512
          - -monitor none
timeouts:
  actions:
    lava-test-shell:
      minutes: 10
    auto-login-action:
      minutes: 3
    boot-qemu-image:
      minutes: 3
  connections:
    lava-test-shell:
      minutes: 10
"""


def ramdisk(path, busybox, shell=None):
    """Writes to PATH a ramdisk whose /init ends in a shell on the console,
    busybox's or SHELL, a file that becomes /bin/sh, with the prompt that
    the tree's job waits for."""
    init = "\n".join([
        "#!/bin/busybox sh",
        "/bin/busybox mkdir -p /proc /sys /dev /tmp /sbin /usr/bin /usr/sbin",
        # Makes no link where a file is: /bin/sh stays SHELL.
        "/bin/busybox --install -s",
        "mount -t proc proc /proc",
        "mount -t sysfs sysfs /sys",
        "mount -t devtmpfs devtmpfs /dev",
        "mount -t tmpfs tmpfs /tmp",
        f"export PS1='{PROMPT}'",
        "exec setsid cttyhack sh",
        ""])
    entries = [(d, 0o040755, b"") for d in ("bin", "dev", "proc", "sys", "tmp", "usr", "root")]
    entries += [("dev/console", 0o020600, (5, 1)), ("init", 0o100755, init.encode())]
    entries += [(f"bin/{name}", 0o100755, open(program, "rb").read())
                for name, program in (("busybox", busybox), ("sh", shell)) if program]
    with open(path, "wb") as f:
        f.write(kernel_test.cpio(entries))


def overlay(path, programs):
    """Writes to PATH a .tar.gz whose bin/ holds PROGRAMS, {name: file}."""
    with tarfile.open(path, "w:gz") as tar:
        for name, program in programs.items():
            with open(program, "rb") as f:
                data = f.read()
            info = tarfile.TarInfo(f"bin/{name}")
            info.size, info.mode = len(data), 0o755
            tar.addfile(info, io.BytesIO(data))


def repository(path):
    """Makes at PATH a git repository holding this tree's tests/lava as it
    is now, committed: LAVA clones what is committed."""
    shutil.copytree(os.path.join(HERE, "lava"), os.path.join(path, "tests", "lava"),
                    ignore=shutil.ignore_patterns("r"))
    git = ["git", "-C", path, "-c", "user.name=lava_test", "-c", "user.email=lava@test.invalid"]
    for command in (["init", "-q"], ["add", "-A"], ["commit", "-q", "-m", "tests/lava"]):
        subprocess.run(git + command, check=True)
    return path


def job_text(urls, tree_job=True):
    """The tree's job with URLS, {what it names after LAB: path}; or, for a
    job not the tree's, the same at the definition's default parameters."""
    with open(os.path.join(HERE, "lava", "job.yaml")) as f:
        text = f.read()
    for name, path in urls.items():
        if LAB + name not in text:
            raise AssertionError(f"tests/lava/job.yaml names no {LAB + name}")
        text = text.replace(LAB + name, "file://" + path)
    if LAB in text:
        raise AssertionError(f"tests/lava/job.yaml names a {LAB} URL that the leg does not fill")
    return text if tree_job else PARAMETERS.sub("\n", text)


def run_job(work, name, job, cpu, number):
    """Starts lava-run on JOB with a qemu board of CPU, its log kept in
    WORK/NAME.log."""
    os.makedirs(os.path.join(work, name), exist_ok=True)
    for file, text in (("job.yaml", job), ("device.yaml", DEVICE.format(cpu=cpu))):
        with open(os.path.join(work, name, file), "w") as f:
            f.write(text)
    log = open(os.path.join(work, f"{name}.log"), "w")
    # A job's files live under /var/lib/lava/dispatcher/tmp/ID: one ID each.
    return subprocess.Popen(
        ["lava-run", "--job-id", str(os.getpid() * 10 + number), "--output-dir",
         os.path.join(work, name, "out"), "--device", os.path.join(work, name, "device.yaml"),
         os.path.join(work, name, "job.yaml")],
        stdin=subprocess.DEVNULL, stdout=log, stderr=log)


def read_log(path):
    """From a job's log: each case's result, {name: result}; what the board
    said of each failing case, {name: [lines]}; the board's kernel and page
    size; and whether the job itself passed, or else its errors."""
    results, said, board, job, errors = {}, {}, None, False, []
    with open(path, errors="replace") as f:
        for line in f:
            if re.search(r'"lvl": "(error|exception)"', line):
                errors.append(line.strip()[:300])
            elif '"lvl": "results"' in line:
                fields = dict(re.findall(r'"(definition|case|result)": "([^"]*)"', line))
                if fields.get("definition") == DEFINITION:
                    results[fields["case"]] = fields.get("result")
                elif fields.get("definition") == "lava" and fields.get("case") == "job":
                    job = fields.get("result") == "pass"
            elif found := re.search(r'"lvl": "target", "msg": "(.*)"\}$', line):
                message = found.group(1).replace('\\"', '"')
                if found := re.match(r"board: Linux (\S+), KernelPageSize:\s*(\d+ kB)", message):
                    board = f"Linux {found.group(1)} with {found.group(2)} pages"
                elif found := re.match(r"([\w.-]+): (.*)", message):
                    said.setdefault(found.group(1), []).append(found.group(2))
    return results, said, board, job or errors[-3:] or ["it did not pass"]


def outcome(cases, log):
    """What a job's log says of each case: {case name: (result, what the
    board said)}, the board's facts, and True if the job passed, or else
    its last errors."""
    results, said, board, job = read_log(log)
    return ({case[0]: (results.get(cli_test.board_name(case[0]), "not recorded"),
                       said.get(cli_test.board_name(case[0]), [])) for case in cases},
            results, board, job)


def unavailable():
    if not shutil.which("lava-run"):
        raise kernel_test.Unavailable("no lava-run (Debian package lava-dispatcher; on Debian 13 "
                          "from trixie-backports)")
    if not shutil.which("cpio"):
        raise kernel_test.Unavailable("no cpio, with which lava-run adds its overlay to a ramdisk "
                          "(Debian package cpio)")
    if os.geteuid() != 0:
        raise kernel_test.Unavailable("lava-run runs its jobs as root, under /var/lib/lava")
    if not shutil.which(kernel_test.QEMU):
        raise kernel_test.Unavailable(f"{kernel_test.QEMU} not found (Debian package qemu-system-arm)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--empty-argv-helper", required=True)
    parser.add_argument("executable")
    options = parser.parse_args()

    cases = cli_test.cases(options.version)
    tally = Tally()
    cache = kernel_test.cache_dir()
    try:
        unavailable()
        kernels = {flavour: kernel_test.kernel_and_busybox(cache, flavour)
                   for flavour in ("arm64", "arm64-16k")}
        mksh = kernel_test.fetch(cache, ["mksh"], [MKSH], "mksh")
    except kernel_test.Unavailable as reason:
        tally.cannot("the LAVA leg", str(reason))
        status = tally.summary()
        return status if tally.failed else SKIPPED

    work = os.path.abspath("lava")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    files = tempfile.mkdtemp()
    try:
        busybox = kernels["arm64"][1]
        ramdisk(os.path.join(files, "busybox.cpio.gz"), busybox)
        ramdisk(os.path.join(files, "mksh.cpio.gz"), busybox, mksh)
        os.makedirs(os.path.join(files, "changed"))
        changed = cli_test.changed_message(options.executable,
                                           os.path.join(files, "changed", "zem_dma_test"))
        tools = {"right": {"zem_dma_test": options.executable,
                           "exec_empty_argv": options.empty_argv_helper},
                 "changed": {"zem_dma_test": changed,
                             "exec_empty_argv": options.empty_argv_helper},
                 "none": {"exec_empty_argv": options.empty_argv_helper}}
        for name, programs in tools.items():
            overlay(os.path.join(files, f"{name}.tar.gz"), programs)
        repo = repository(os.path.join(files, "repo"))

        def urls(flavour, shell, tool):
            return {"arm64/vmlinuz": kernels[flavour][0],
                    "arm64/ramdisk.cpio.gz": os.path.join(files, f"{shell}.cpio.gz"),
                    "arm64/zem_dma_test.tar.gz": os.path.join(files, f"{tool}.tar.gz"),
                    "zem_dma_test.git": repo}
        # Each job: its name, what it is, the job, the board's CPU.
        jobs = [
            ("4k", "the tree's job, 4 KB pages, busybox's shell",
             job_text(urls("arm64", "busybox", "right")), "max"),
            ("16k", "the tree's job, 16 KB pages, mksh as the board's shell",
             job_text(urls("arm64-16k", "mksh", "right")), "max"),
            ("foreign", "a job not the tree's: a Cortex-A76, the tool on PATH, no helper",
             job_text(urls("arm64-16k", "busybox", "right"), tree_job=False)
             .replace("path: /opt/zem_dma_test", "path: /usr"), "cortex-a76"),
            ("changed", "a tool with one changed message byte",
             job_text(urls("arm64", "busybox", "changed")), "max"),
            ("no_tool", "a TOOL that is no executable",
             job_text(urls("arm64", "busybox", "none")), "max"),
        ]
        print(f"{len(jobs)} LAVA jobs, two at a time, their logs in {work}", flush=True)
        running = []
        for number, (name, _, job, cpu) in enumerate(jobs):
            if len(running) == 2:
                running.pop(0).wait()
            running.append(run_job(work, name, job, cpu, number))
        for process in running:
            process.wait()
        seen = {name: outcome(cases, os.path.join(work, f"{name}.log"))
                for name, *_ in jobs}
    finally:
        shutil.rmtree(files, ignore_errors=True)

    # Every case passes on both tree's jobs, each named where it does not.
    for case in cases:
        tally.check(case[0], [f"{name} board: {result}" + (f": {'; '.join(said)}" if said else "")
                              for name in ("4k", "16k")
                              for result, said in [seen[name][0][case[0]]]
                              if result != "pass"])
    for name, what, *_ in jobs:
        _, results, board, job = seen[name]
        tally.check(f"{what}: the job ran to its end on {board or '(no report)'}",
                    [] if job is True and board else
                    ([] if job is True else job) + [f"see {os.path.join(work, name + '.log')}"])
    for name, page in (("4k", "4 kB"), ("16k", "16 kB")):
        board = seen[name][2] or ""
        tally.check(f"the {name} board's pages are {page}",
                    [] if board.endswith(f" {page} pages") else [f"it says {board or 'nothing'}"])

    def verdicts(name):
        return {case: result for case, (result, _) in seen[name][0].items()}
    empty = "empty argument vector"
    foreign = verdicts("foreign")
    tally.check("a job not the tree's: every case passed but the empty vector's, skipped", [
        f"{case}: {result}" for case, result in foreign.items()
        if result != ("skip" if case == empty else "pass")])
    perf = {case[0] for case in cases if case[2] == cli_test.PERF}
    failed = {case for case, result in verdicts("changed").items() if result != "pass"}
    tally.check("a tool with one changed message byte fails through LAVA, the perf cases "
                "named", [] if failed == perf else [f"failed: {sorted(failed)}"])
    results = seen["no_tool"][1]
    tally.check("a TOOL that is no executable: one failing case that says so, and no pass",
                [] if results == {"tool-is-executable": "fail"} else [f"results: {results}"])
    boards = " and ".join(seen[name][2] or "(no report)" for name in ("4k", "16k"))
    print(f"LAVA's logs: {work}")
    return tally.summary(f"through LAVA, on {boards}: ")


if __name__ == "__main__":
    sys.exit(main())
