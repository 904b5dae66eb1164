#!/usr/bin/env python3
"""Runs the process suite's cases on a device that adb reaches: pushes the
tool, the empty-vector helper, and the cases as one script with its
argument files into a directory of the run's own under /data/local/tmp;
runs the script there in one `adb shell`; fetches the results with `adb
pull`; and removes the directory, on failure and on Ctrl-C too. What `adb
shell` returns is never taken for a result: some releases' daemons lose its
status, the split of its streams, or the end of its output.

usage: device_test.py --version VERSION --empty-argv-helper HELPER EXECUTABLE

The device is the one adb picks: $ANDROID_SERIAL, else the only one
attached. Exits 0 only when every case ran on the device and passed; when
the route cannot run, it says why in one line and exits 1.
"""
import argparse
import os
import re
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile

import cli_test
from harness import Tally

BASE = "/data/local/tmp"
ARM64 = "arm64-v8a"
# A daemon of 7.0 to 8.1 cuts the end of up to 9 % of answers; an answer
# that lacks its last line is asked for again.
TRIES = 5
QUICK, SLOW = 120, 900  # Seconds for one adb call: a question; a transfer or the run.


class CannotRun(Exception):
    """The route cannot run; the message says what to do."""


class Interrupted(Exception):
    """A signal stopped the run; args[0] is its number."""


def last_line(said):
    lines = [line for line in said.decode(errors="replace").splitlines()
             if line.strip() and not line.startswith("* daemon")]
    return lines[-1] if lines else "nothing said"


class Device:
    def __init__(self, adb, serial):
        self.adb, self.serial = adb, serial
        # Whether the run's directory may be there, and its script running.
        self.made = self.running = False

    def call(self, *args, timeout=QUICK, check=True):
        """Runs one adb command on the device, or on none before one is
        chosen; returns what it printed. In a session of its own, so that a
        Ctrl-C reaches this script alone, which stops it and cleans up."""
        device = ["-s", self.serial] if self.serial else []
        what = f"adb {args[0]}" + (f" on {self.serial}" if self.serial else "")
        try:
            got = subprocess.run([self.adb, *device, *args], stdin=subprocess.DEVNULL,
                                 capture_output=True, timeout=timeout, start_new_session=True)
        except subprocess.TimeoutExpired:
            raise CannotRun(f"{what} gave no answer in {timeout} s: check the device's "
                            f"connection, or run adb kill-server, then run again") from None
        if check and got.returncode != 0:
            raise CannotRun(f"{what} failed: {last_line(got.stderr)}")
        return got.stdout.decode(errors="replace")

    def ask(self, command):
        """Runs COMMAND, which prints `@@NAME VALUE` lines, in the device's
        shell; returns them as {NAME: VALUE}."""
        for _ in range(TRIES):
            # Its status is no answer: a 6.0 daemon always reports 0.
            said = self.call("shell", command + "; echo @@end", check=False)
            facts = dict(re.findall(r"^@@(\w+) ?(.*?)\r?$", said, re.MULTILINE))
            if "end" in facts:
                return facts
        raise CannotRun(f"{self.serial}'s adb daemon cut short each of {TRIES} answers: "
                        f"run again, or use another device")


def choose(adb):
    """The device that adb picks, as adb picks it, if it is ready."""
    attached = re.findall(r"^(\S+)\t(.+)$", Device(adb, None).call("devices"), re.MULTILINE)
    listed = ", ".join(serial for serial, _ in attached) or "none"
    wanted = os.environ.get("ANDROID_SERIAL")
    if wanted:
        attached = [(serial, state) for serial, state in attached if serial == wanted]
        if not attached:
            raise CannotRun(f"no device {wanted} attached, which ANDROID_SERIAL names "
                            f"(attached: {listed}): attach it, or name another")
    elif not attached:
        raise CannotRun("no device attached: connect one with USB debugging on, "
                        "or run adb connect HOST:PORT")
    elif len(attached) > 1:
        raise CannotRun(f"{len(attached)} devices attached ({listed}): "
                        f"name one with ANDROID_SERIAL=SERIAL")
    serial, state = attached[0]
    if state == "unauthorized":
        raise CannotRun(f"device {serial} is unauthorized: unlock it, accept this computer's "
                        f"key in its 'Allow USB debugging?' dialog, then run again")
    if state != "device":
        raise CannotRun(f"device {serial} is {state}: reconnect it (adb reconnect offline), "
                        f"then run again")
    return serial


def prepare(device, remote):
    """The device's facts, once it is known to be arm64 and REMOTE is made."""
    facts = device.ask(
        'abi="$(getprop ro.product.cpu.abilist 2>/dev/null),'
        '$(getprop ro.product.cpu.abi 2>/dev/null)"; echo "@@abi $abi"; '
        'echo "@@release $(getprop ro.build.version.release 2>/dev/null)"; '
        'echo "@@kernel $(cat /proc/sys/kernel/osrelease)"; '
        f'case ",$abi," in *,{ARM64},*) '
        # Asked again, the directory may be there already.
        f'if [ -d {remote} ] || why=$(mkdir {remote} 2>&1); then echo "@@made"; '
        f'else echo "@@why $why"; fi;; esac')
    abis = sorted(set(filter(None, facts.get("abi", "").split(","))))
    if ARM64 not in abis:
        device.made = False
        raise CannotRun(f"device {device.serial} runs {', '.join(abis) or 'an unknown ABI'}, "
                        f"not {ARM64}: the tool is built for 64-bit Arm; attach an arm64 device")
    if "made" not in facts:
        device.made = False
        raise CannotRun(f"{BASE} on {device.serial} is not writable ({facts.get('why', '')}): "
                        f"adb's shell user must own it, as drwxrwx--x shell shell; "
                        f"see adb shell ls -ld {BASE}")
    return facts


def stage(directory, options, cases):
    """Writes what the device needs into DIRECTORY; returns the paths."""
    script, args = cli_test.script(cases)
    files = {"run.sh": script.encode(), **args}
    for name, data in files.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
    shutil.copy(options.executable, os.path.join(directory, "zem_dma_test"))
    shutil.copy(options.empty_argv_helper, os.path.join(directory, "exec_empty_argv"))
    return sorted(os.path.join(directory, name) for name in os.listdir(directory))


def run_cases(device, options, remote):
    """Runs every case on the device; returns the tally's exit status."""
    cases = cli_test.cases(options.version)
    device.made = True
    facts = prepare(device, remote)
    with tempfile.TemporaryDirectory() as local:
        os.mkdir(os.path.join(local, "stage"))
        paths = stage(os.path.join(local, "stage"), options, cases)
        print(f"pushing {len(paths)} files to {device.serial}:{remote}", flush=True)
        device.call("push", *paths, remote + "/", timeout=SLOW)
        print(f"running {len(cases)} cases", flush=True)
        # The daemons up to 6.0 end the session, killing the script, once
        # no process holds their terminal: the shell that adb starts keeps
        # it, waiting for the script as its child, which writes its own pid
        # so that an interrupted run can stop it.
        # Standard input is the device's own /dev/null: a 6.0 daemon never
        # passes on the end of this side's.
        device.running = True
        device.call("shell", f"cd {remote} && chmod 700 zem_dma_test exec_empty_argv && "
                    f"mkdir r && sh -c 'echo $$ >pid && exec sh run.sh' </dev/null "
                    f">r/log 2>&1", timeout=SLOW, check=False)
        device.running = False
        print("fetching the results", flush=True)
        device.call("pull", remote + "/r", os.path.join(local, "r"), timeout=SLOW)
        files = {}
        for name in os.listdir(os.path.join(local, "r")):
            with open(os.path.join(local, "r", name), "rb") as f:
                files[name] = f.read()
    tally = Tally()
    cli_test.report(tally, cli_test.results(cases, files))
    done = files.get("done")
    tally.check("the script ran to its end", [] if done == f"{len(cases)}\n".encode() else [
        f"r/done holds {done!r}", *files.get("log", b"").decode(errors="replace").splitlines()[-10:]])
    android = f"Android {facts['release']}, " if facts.get("release") else ""
    return tally.summary(f"on {device.serial}, {android}Linux {facts.get('kernel')}: ")


def remove(device, remote):
    """Removes REMOTE, first stopping the script if it may still run: with
    SIGKILL, since mksh holds back SIGTERM until the case under way ends."""
    stop = f"kill -9 $(cat {remote}/pid) 2>/dev/null; " if device.running else ""
    try:
        gone = "gone" in device.ask(f"{stop}rm -rf {remote}; [ -e {remote} ] || echo @@gone")
    except CannotRun:
        gone = False
    if not gone:
        print(f"{remote} is left on {device.serial}: remove it with "
              f"adb -s {device.serial} shell rm -rf {remote}")


def interrupted(number, _):
    raise Interrupted(number)


def parse_options():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--empty-argv-helper", required=True)
    parser.add_argument("executable")
    return parser.parse_args()


def main():
    options = parse_options()
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, interrupted)
    try:
        adb = shutil.which("adb")
        if adb is None:
            raise CannotRun("adb not found: install it (apt-get install adb)")
        device = Device(adb, choose(adb))
        remote = f"{BASE}/zem_dma_test.{os.getpid()}.{secrets.token_hex(4)}"
        try:
            return run_cases(device, options, remote)
        finally:
            for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                signal.signal(number, signal.SIG_IGN)
            if device.made:
                remove(device, remote)
    except CannotRun as reason:
        print(f"cannot run the suite on a device: {reason}")
        return 1
    except Interrupted as signal_number:
        print(f"stopped by signal {signal_number.args[0]}")
        return 128 + signal_number.args[0]


if __name__ == "__main__":
    sys.exit(main())
