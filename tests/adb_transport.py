"""The device route's transport over adb: the device that adb picks,
$ANDROID_SERIAL or else the only one attached, and its /data/local/tmp.
What `adb shell` returns is never taken for a result: some releases'
daemons lose its status, the split of its streams, or the end of its
output."""
import os
import re
import secrets
import shutil
import subprocess
import tempfile

from route import CannotRun, facts_of, last_line

BASE = "/data/local/tmp"
ARM64 = "arm64-v8a"
# A daemon of 7.0 to 8.1 cuts the end of up to 9 % of answers; an answer
# that lacks its last line is asked for again.
TRIES = 5
QUICK, SLOW = 120, 900  # Seconds for one adb call: a question; a transfer or the run.


class Adb:
    what = "a device"

    def __init__(self):
        self.adb = self.serial = None
        self.remote = f"{BASE}/zem_dma_test.{os.getpid()}.{secrets.token_hex(4)}"

    def call(self, *args, timeout=QUICK, check=True):
        """Runs one adb command on the device, or on none before one is
        chosen; returns what it printed. In a session of its own, so that a
        Ctrl-C reaches the route alone, which stops it and cleans up."""
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
            facts = facts_of(self.call("shell", command + "; echo @@end", check=False))
            if "end" in facts:
                return facts
        raise CannotRun(f"{self.serial}'s adb daemon cut short each of {TRIES} answers: "
                        f"run again, or use another device")

    def start(self):
        """Chooses the device that adb picks, as adb picks it, if it is ready."""
        self.adb = shutil.which("adb")
        if self.adb is None:
            raise CannotRun("adb not found: install it (apt-get install adb)")
        attached = re.findall(r"^(\S+)\t(.+)$", self.call("devices"), re.MULTILINE)
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
            raise CannotRun(f"device {serial} is unauthorized: unlock it, accept this "
                            f"computer's key in its 'Allow USB debugging?' dialog, then run again")
        if state != "device":
            raise CannotRun(f"device {serial} is {state}: reconnect it (adb reconnect offline), "
                            f"then run again")
        self.serial = self.name = serial

    def prepare(self, machine):
        """Makes the run's directory on an arm64 device; returns what the
        tally says of the device. The tool is built for MACHINE, aarch64."""
        remote = self.remote
        facts = self.ask(
            'abi="$(getprop ro.product.cpu.abilist 2>/dev/null),'
            '$(getprop ro.product.cpu.abi 2>/dev/null)"; echo "@@abi $abi"; '
            'echo "@@release $(getprop ro.build.version.release 2>/dev/null)"; '
            'echo "@@kernel $(cat /proc/sys/kernel/osrelease)"; '
            f'case ",$abi," in *,{ARM64},*) '
            # Asked again, the directory may be there already.
            f'if [ -d {remote} ] || why=$(mkdir {remote} 2>&1); then echo "@@made"; '
            f'else echo "@@why $why"; fi;; esac')
        abis = sorted(set(filter(None, facts.get("abi", "").split(","))))
        self.made = ARM64 in abis and "made" in facts
        if ARM64 not in abis:
            raise CannotRun(f"device {self.serial} runs {', '.join(abis) or 'an unknown ABI'}, "
                            f"not {ARM64}: the tool is built for 64-bit Arm; attach an arm64 device")
        if "made" not in facts:
            raise CannotRun(f"{BASE} on {self.serial} is not writable ({facts.get('why', '')}): "
                            f"adb's shell user must own it, as drwxrwx--x shell shell; "
                            f"see adb shell ls -ld {BASE}")
        android = f"Android {facts['release']}, " if facts.get("release") else ""
        return f"{android}Linux {facts.get('kernel')}"

    def send(self, paths):
        self.call("push", *paths, self.remote + "/", timeout=SLOW)

    def shell(self, command):
        self.call("shell", command, timeout=SLOW, check=False)

    def fetch(self, directory):
        with tempfile.TemporaryDirectory() as local:
            self.call("pull", f"{self.remote}/{directory}", os.path.join(local, "r"),
                      timeout=SLOW)
            files = {}
            for name in os.listdir(os.path.join(local, "r")):
                with open(os.path.join(local, "r", name), "rb") as f:
                    files[name] = f.read()
        return files

    def places(self):
        return [self.remote]

    def by_hand(self, command):
        return f"adb -s {self.serial} shell {command}"

    def stop(self):
        pass
