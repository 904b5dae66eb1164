#!/usr/bin/env python3
"""Checks the device route, device_test.py, against adb_standin.py: a stand-in
for adb whose devices answer as the daemons of Android 6.0, of 7.0 to 8.1
and of 10 on were measured to, and whose shell finds only Android 5.0's
commands. A right tool must pass on each every time, a faulty one fail; a
route that cannot run must say why in one line and fail; and no run may
leave anything on a device.

usage: device_route_test.py --version VERSION --empty-argv-helper HELPER EXECUTABLE
"""
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import cli_test
import device_test
from harness import Tally

SKIPPED = 77
HERE = os.path.dirname(os.path.abspath(__file__))
# Each daemon with a release that has it.
DAEMONS = {"6.0": "6.0.1", "7.1": "7.1.2", "clean": "15"}
# Shell scripts standing in for a faulty tool, each with a case it must fail.
FAULTY = [
    ("a changed message", 'case "$1" in perf) echo "Performance command not implemented";'
     ' exit 0;; esac; exec TOOL "$@"', "FAIL perf"),
    ("a changed status", 'TOOL "$@"; s=$?; [ $s = 15 ] && s=14; exit $s',
     "FAIL upper case command"),
    ("output on the wrong stream", 'exec TOOL "$@" 2>&1', "FAIL bad long option"),
]
# Devices that the route must refuse, by the one line that says why.
ARM64 = {"state": "device", "abi": "arm64-v8a", "daemon": "clean", "release": "15"}
REFUSED = [
    ("no adb", None, {}, "cannot run the suite on a device: adb not found: install it"),
    ("no device", [], {}, "no device attached: connect one"),
    ("several devices", [ARM64, ARM64], {}, "2 devices attached (s0, s1): name one"),
    ("ANDROID_SERIAL names no device", [ARM64], {"ANDROID_SERIAL": "s9"},
     "no device s9 attached, which ANDROID_SERIAL names (attached: s0)"),
    ("unauthorized", [{**ARM64, "state": "unauthorized"}], {}, "device s0 is unauthorized:"),
    ("offline", [{**ARM64, "state": "offline"}], {}, "device s0 is offline: reconnect it"),
    ("not arm64", [{**ARM64, "abi": "x86_64"}], {}, "device s0 runs x86_64, not arm64-v8a"),
    ("/data/local/tmp not writable", [{**ARM64, "writable": False}], {},
     "/data/local/tmp on s0 is not writable (mkdir: "),
]


class StandIn:
    """A fresh adb server and DEVICES, with roots under WORK."""

    def __init__(self, work, name, devices, seed=0):
        # Device paths are rewritten in shell commands: no space in them.
        self.dir = os.path.join(work, re.sub(r"\W", "_", name))
        os.makedirs(os.path.join(self.dir, "bin"))
        os.symlink(os.path.join(HERE, "adb_standin.py"), os.path.join(self.dir, "bin", "adb"))
        self.devices = [{**device, "serial": f"s{n}", "root": os.path.join(self.dir, f"s{n}")}
                        for n, device in enumerate(devices or [])]
        with open(os.path.join(self.dir, "config.json"), "w") as f:
            json.dump({"seed": seed, "devices": self.devices}, f)
        self.env = {**os.environ, "ADB_STANDIN": os.path.join(self.dir, "config.json"),
                    "PATH": os.path.join(self.dir, "bin") + os.pathsep + os.environ["PATH"]
                    if devices is not None else "/nonexistent"}
        self.env.pop("ANDROID_SERIAL", None)

    def start(self, options, tool, env):
        return subprocess.Popen(
            [sys.executable, os.path.join(HERE, "device_test.py"), "--version", options.version,
             "--empty-argv-helper", options.empty_argv_helper, tool],
            env={**self.env, **env}, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True)

    def count(self, name, text):
        path = os.path.join(self.dir, name)
        return open(path).read().count(text) if os.path.exists(path) else 0

    def scripts(self):
        """The case scripts still running on a device, waited for a moment."""
        path = {f"PATH={device['root']}/system/bin".encode() for device in self.devices}
        for _ in range(10):
            found = []
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open(f"/proc/{pid}/cmdline", "rb") as f, \
                            open(f"/proc/{pid}/environ", "rb") as g:
                        if b"run.sh" in f.read() and path & set(g.read().split(b"\0")):
                            found.append(f"its script, process {pid}, still runs")
                except OSError:
                    pass
            if not found:
                break
            time.sleep(0.1)
        return found

    def left(self):
        """What a run left in any device's /data/local/tmp."""
        return [f"{device['serial']}: {name} left" for device in self.devices
                if os.path.isdir(tmp := os.path.join(device["root"], "data/local/tmp"))
                for name in os.listdir(tmp)]


def faults(expect, cases, status, output, stand_in, runs):
    """What is wrong with a run of the route. EXPECT is None where every
    case must pass, "FAIL CASE" where a faulty tool must fail CASE, and
    else the one line that a refusal prints. RUNS share the stand-in."""
    if expect is None:
        expect = f"{len(cases) + 1} passed, 0 failed"
        right = status == 0 and output.endswith(f": {expect}\n")
    elif expect.startswith("FAIL "):
        right = (status == 1 and f"\n{expect}\n" in output
                 and "\nok   the script ran to its end\n" in output)
    else:
        right = status == 1 and output.count("\n") == 1 and expect in output
    # One call each to list, ask, push, run, pull and remove; a lost answer
    # is asked for again.
    calls = stand_in.count("adb.calls", "\n")
    most = 6 * runs + stand_in.count("adb.log", "lost")
    return ([] if right else [f"status {status}, expected {expect!r}"]) + (
        [f"{calls} adb calls, expected {most} at most"] if calls > most else []) + stand_in.left()


def script(path, body):
    with open(path, "w") as f:
        f.write(f"#!/bin/sh\n{body}\n")
    os.chmod(path, 0o755)
    return path


def main():
    options = device_test.parse_options()
    cases = cli_test.cases(options.version)
    tally = Tally()
    if not shutil.which("mksh"):
        tally.cannot("the device route", "no mksh, the stand-in device's shell "
                     "(Debian package mksh)")
        status = tally.summary()
        return status if tally.failed else SKIPPED
    work = tempfile.mkdtemp()
    # The device's shell user must reach the tool that the faulty ones run.
    os.chmod(work, 0o755)
    try:
        tool = shutil.copy(options.executable, os.path.join(work, "zem_dma_test"))
        for command in ("printf x", "tar -cf /dev/null .", "od /dev/null", "uname"):
            got = subprocess.run(["adb", "shell", command], capture_output=True,
                                 env=StandIn(work, f"shell {command}", [ARM64]).env)
            tally.check(f"the stand-in's shell has no {command.split()[0]}",
                        [] if got.returncode == 127 else [f"status {got.returncode}"])

        # Each run: its name, its devices, what it must give, the tool, the
        # stand-in's seed, the environment.
        rows = []
        for daemon, release in DAEMONS.items():
            device = {**ARM64, "daemon": daemon, "release": release}
            rows += [(f"a right tool passes on a {daemon} daemon, seed {seed}", [device], None,
                      tool, seed, {}) for seed in ((1, 2, 3) if daemon == "7.1" else (1,))]
            rows += [(f"a tool with {fault} fails on a {daemon} daemon", [device], failing,
                      script(os.path.join(work, f"faulty{n}"), body.replace("TOOL", tool)), 0, {})
                     for n, (fault, body, failing) in enumerate(FAULTY)]
        rows.append(("ANDROID_SERIAL picks one of two devices", [{**ARM64, "abi": "x86_64"}, ARM64],
                     None, tool, 0, {"ANDROID_SERIAL": "s1"}))
        rows += [(f"refused: {name}", devices, line, tool, 0, env)
                 for name, devices, env, line in REFUSED]
        runs = [(name, stand_in, expect, stand_in.start(options, tested, env), 1)
                for name, devices, expect, tested, seed, env in rows
                for stand_in in [StandIn(work, name, devices, seed)]]
        together = StandIn(work, "together", [{**ARM64, "daemon": "7.1"}], seed=4)
        runs += [(f"two runs at once on one device, run {n}", together, None,
                  together.start(options, tool, {}), 2) for n in (1, 2)]
        print(f"{len(runs)} runs of the route at once, each against stand-ins of its own "
              f"but for two that share one device")
        # All ended before any is judged: two runs share a device.
        outputs = [process.communicate()[0] for _, _, _, process, _ in runs]
        for (name, stand_in, expect, process, sharing), output in zip(runs, outputs):
            tally.check(name, faults(expect, cases, process.returncode, output, stand_in,
                                     sharing), output)
        tally.check("the 7.0 to 8.1 daemon lost output in those runs", [] if any(
            stand_in.count("adb.log", "lost") for name, stand_in, *_ in runs if "7.1" in name)
            else ["it never did"])

        # Ctrl-C while the cases run, once the device has a result and a
        # slow case is under way: the script must stop, not only the shell
        # that adb started, and be gone before that case ends.
        slow = script(os.path.join(work, "slow"),
                      f'[ -e slow ] && sleep 3; touch slow; exec {tool} "$@"')
        for daemon in ("6.0", "clean"):
            stand_in = StandIn(work, f"Ctrl-C {daemon}", [{**ARM64, "daemon": daemon}])
            process = stand_in.start(options, slow, {})
            for _ in range(200):
                if glob.glob(os.path.join(stand_in.devices[0]["root"],
                                          "data/local/tmp/*/r/0.status")):
                    break
                time.sleep(0.05)
            process.send_signal(signal.SIGINT)
            output = process.communicate()[0]
            tally.check(f"Ctrl-C while the cases run on a {daemon} daemon, and nothing left",
                        stand_in.left() + stand_in.scripts() + (
                            [f"status {process.returncode}"] if process.returncode != 130
                            else []), output)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return tally.summary()


if __name__ == "__main__":
    sys.exit(main())
