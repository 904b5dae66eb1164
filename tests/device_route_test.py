#!/usr/bin/env python3
"""Checks the device route, device_test.py, over its two transports: adb,
against adb_standin.py, a stand-in whose devices answer as the daemons of
Android 6.0, of 7.0 to 8.1 and of 10 on were measured to, and whose shell
finds only Android 5.0's commands; and ssh, against OpenSSH's own sshd on
127.0.0.1, which runs the build for this machine. A right tool must pass on
each every time, a faulty one fail; a route that cannot run must say why in
one line and fail; and no run may leave anything behind, files or a script
still running.

usage: device_route_test.py [--board FLAVOUR] --version VERSION
                            --empty-argv-helper HELPER EXECUTABLE

With --board, it runs the route over ssh on an arm64 board instead: the
kernel legs' Debian kernel of FLAVOUR under qemu-system-aarch64, with
Debian's Dropbear (class Board), an arm64 EXECUTABLE and HELPER.
"""
import getpass
import glob
import json
import lzma
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import cli_test
import device_test
import kernel_test
import route
from harness import Elf, Tally

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
# Over ssh, by the host that Sshd names; FOREIGN is a tool for a machine
# that this one is not.
REFUSED_SSH = [
    ("no ssh", "board", {"PATH": "/nonexistent"},
     "cannot run the suite on a board: ssh not found: install it (apt-get install openssh-client)"),
    ("a closed port", "closed-port", {}, "closed-port is unreachable or does not answer ("),
    ("a port that never answers", "silent-port", {},
     "silent-port is unreachable or does not answer (Connection to 127.0.0.1 port "),
    ("our key refused", "wrong-key", {}, "wrong-key refused authentication ("),
    ("its host key unknown", "unknown-key", {}, "unknown-key's host key is not known here:"),
    ("its host key changed", "changed-key", {}, "changed-key's host key has changed from"),
    ("a tool for another machine", "board", {}, "FOREIGN"),
]


def scripts_running(match):
    """The case scripts running on this machine whose environment MATCH
    accepts, waited for a moment: a stopped run's must be gone."""
    for _ in range(10):
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f, \
                        open(f"/proc/{pid}/environ", "rb") as g:
                    if b"run.sh" in f.read() and match(set(g.read().split(b"\0"))):
                        found.append(f"its script, process {pid}, still runs")
            except OSError:
                pass
        if not found:
            break
        time.sleep(0.1)
    return found


class Place:
    """Where the route runs, reached with the environment ENV."""

    def start(self, options, tool, env):
        return subprocess.Popen(
            [sys.executable, os.path.join(HERE, "device_test.py"), "--version", options.version,
             "--empty-argv-helper", options.empty_argv_helper, tool],
            env={**self.env, **env}, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True)

    def excess(self, runs):
        """What RUNS of the route did too often here."""
        return []


class StandIn(Place):
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
        self.env.pop("ZEM_SSH_HOST", None)

    def count(self, name, text):
        path = os.path.join(self.dir, name)
        return open(path).read().count(text) if os.path.exists(path) else 0

    def excess(self, runs):
        # One call each to list, ask, push, run, pull and remove; a lost
        # answer is asked for again.
        calls = self.count("adb.calls", "\n")
        most = 6 * runs + self.count("adb.log", "lost")
        return [f"{calls} adb calls, expected {most} at most"] if calls > most else []

    def has_result(self):
        return glob.glob(os.path.join(self.devices[0]["root"], "data/local/tmp/*/r/0.status"))

    def scripts(self):
        path = {f"PATH={device['root']}/system/bin".encode() for device in self.devices}
        return scripts_running(lambda environ: path & environ)

    def left(self):
        """What a run left in any device's /data/local/tmp."""
        return [f"{device['serial']}: {name} left" for device in self.devices
                if os.path.isdir(tmp := os.path.join(device["root"], "data/local/tmp"))
                for name in os.listdir(tmp)]


def through_ssh(directory, config):
    """The environment in which `ssh` reads CONFIG, written into DIRECTORY,
    and no configuration of the user's: a wrapper first on PATH."""
    with open(os.path.join(directory, "ssh_config"), "w") as f:
        f.write(config)
    os.makedirs(os.path.join(directory, "bin"), exist_ok=True)
    ssh = os.path.join(directory, "bin", "ssh")
    with open(ssh, "w") as f:
        f.write(f'#!/bin/sh\nexec {shutil.which("ssh")} -F {directory}/ssh_config "$@"\n')
    os.chmod(ssh, 0o755)
    return {**os.environ, "PATH": os.path.dirname(ssh) + os.pathsep + os.environ["PATH"]}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Sshd(Place):
    """OpenSSH's sshd on 127.0.0.1, on a port of its own, with keys and a
    configuration of its own, reached by this machine's ssh through a
    configuration that names as hosts: board, and, each refused, one whose
    host key is unknown, one whose key has changed, one that refuses our
    key, a closed port, and a port that never answers. A run's directory
    is made under $TMPDIR, which sshd sets to a directory of its own."""
    HOSTS = ("board", "unknown-key", "changed-key", "wrong-key", "closed-port", "silent-port")

    def __init__(self, work):
        self.dir = os.path.join(work, "sshd")
        self.runs = os.path.join(self.dir, "runs")
        os.makedirs(self.runs)
        keys = {}
        for name in ("host", "other_host", "user", "other_user"):
            keys[name] = os.path.join(self.dir, name)
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", name,
                            "-f", keys[name]], check=True)
        port, closed = free_port(), free_port()
        self.silent = socket.socket()
        self.silent.bind(("127.0.0.1", 0))
        self.silent.listen()

        def known(name, key):
            path = os.path.join(self.dir, name)
            with open(path, "w") as f, open(key + ".pub") as public:
                f.write(f"[127.0.0.1]:{port} " + " ".join(public.read().split()[:2]) + "\n")
            return path
        self.write("sshd_config", f"""\
ListenAddress 127.0.0.1:{port}
HostKey {keys["host"]}
AuthorizedKeysFile {keys["user"]}.pub
PidFile {self.dir}/sshd.pid
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
SetEnv TMPDIR={self.runs}
LogLevel INFO
""")
        ports = {"closed-port": closed, "silent-port": self.silent.getsockname()[1]}
        known_hosts = {"unknown-key": os.devnull, "changed-key": known("changed", keys["other_host"])}
        self.env = through_ssh(self.dir, "".join(
            f"Host {host}\n  Port {ports.get(host, port)}\n"
            f"  IdentityFile {keys['other_user' if host == 'wrong-key' else 'user']}\n"
            f"  UserKnownHostsFile {known_hosts.get(host) or known('known_hosts', keys['host'])}\n"
            for host in self.HOSTS) +
            f"Host *\n  HostName 127.0.0.1\n  User {getpass.getuser()}\n  IdentitiesOnly yes\n")
        self.log = open(os.path.join(self.dir, "sshd.log"), "w+")
        self.sshd = subprocess.Popen([shutil.which("sshd", path="/usr/sbin:/usr/bin"), "-D", "-e",
                                      "-f", os.path.join(self.dir, "sshd_config")],
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        for _ in range(100):
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1) as probe:
                    if probe.recv(4) == b"SSH-":
                        break
            except OSError:
                time.sleep(0.1)

    def write(self, name, text):
        with open(os.path.join(self.dir, name), "w") as f:
            f.write(text)

    def connections(self):
        self.log.seek(0)
        return self.log.read().count("Accepted publickey")

    def has_result(self):
        return glob.glob(os.path.join(self.runs, "*/r/0.status"))

    def scripts(self):
        tmpdir = f"TMPDIR={self.runs}".encode()
        return scripts_running(lambda environ: tmpdir in environ)

    def left(self):
        return [f"{name} left in {self.runs}" for name in os.listdir(self.runs)]

    def stop(self):
        self.sshd.terminate()
        self.sshd.wait()
        self.silent.close()


class Board(Place):
    """An arm64 board: Debian's kernel under qemu-system-aarch64, with a
    ramdisk of busybox's applets that the route needs and Debian's Dropbear,
    which has no SFTP; no scp, tar, dd or od; /tmp mounted noexec. qemu
    forwards a port of 127.0.0.1 to its port 22. Hosts: board, as root,
    whose home takes programs; cramped, a user with no directory that does."""
    APPLETS = ["cat", "chmod", "echo", "ifconfig", "insmod", "kill", "mkdir", "mount", "rm",
               "route", "sh", "sleep", "uname"]
    # What Debian 12's Dropbear needs, for when apt's lists name nothing.
    LIBRARIES = ["libc6", "libcrypt1", "libtomcrypt1", "libtommath1", "libgmp10", "zlib1g"]

    @classmethod
    def library_packages(cls):
        """The library packages that Dropbear depends on, and they on, as
        apt's arm64 lists name them."""
        found, todo = [], ["dropbear-bin"]
        while todo:
            name = todo.pop()
            if name not in found:
                found.append(name)
                todo += [d.split()[0].split(":")[0] for d in re.split(
                    r"[,|]", kernel_test.apt_field(name, "Depends") or "")
                    if re.match(r"\s*(lib|zlib)", d)]
        return found[1:] or cls.LIBRARIES

    def __init__(self, work, cache, flavour):
        self.dir = os.path.join(work, "board")
        os.makedirs(self.dir)
        vmlinuz, busybox = kernel_test.kernel_and_busybox(cache, flavour)
        package = os.path.dirname(os.path.dirname(vmlinuz))
        modules = [kernel_test.kept(package, name)[0] for name in kernel_test.NET_MODULES]
        dropbear = kernel_test.fetch(cache, ["dropbear-bin"], ["usr/sbin/dropbear"],
                                     "dropbear-bin", keep=["dropbearkey"])
        libraries = {}
        for name in (packages := self.library_packages()):
            found = kernel_test.fetch(cache, [name], ["lib/aarch64-linux-gnu/*.so*",
                                                     "usr/lib/aarch64-linux-gnu/*.so*"], name)
            for path in kernel_test.kept(os.path.join(cache, os.path.relpath(found, cache)
                                                      .split(os.sep)[0]), "*.so*"):
                libraries[Elf(path).soname() or os.path.basename(path)] = path
        # The loader where Dropbear names it; the libraries that it needs, and
        # they need, in /lib, where the loader looks.
        files = {Elf(dropbear).interpreter().lstrip("/"): libraries["ld-linux-aarch64.so.1"],
                 "usr/sbin/dropbear": dropbear,
                 "usr/bin/dropbearkey": kernel_test.kept(os.path.dirname(
                     os.path.dirname(dropbear)), "dropbearkey")[0]}
        needed = Elf(dropbear).needed()
        while needed:
            name = needed.pop()
            if name not in libraries:
                raise kernel_test.Unavailable(f"Dropbear needs {name}, which none of "
                                              f"{', '.join(packages)} holds")
            if f"lib/{name}" not in files:
                files[f"lib/{name}"] = libraries[name]
                needed += Elf(libraries[name]).needed()
        sysroot = os.path.join(self.dir, "sysroot")
        for name, path in files.items():
            os.makedirs(os.path.dirname(os.path.join(sysroot, name)), exist_ok=True)
            shutil.copy(path, os.path.join(sysroot, name))
            # The cache keeps no modes.
            os.chmod(os.path.join(sysroot, name), 0o755)
        host_key, user_key = os.path.join(self.dir, "host_key"), os.path.join(self.dir, "user")
        made = subprocess.run(["qemu-aarch64", "-L", sysroot, os.path.join(
            sysroot, "usr/bin/dropbearkey"), "-t", "ed25519", "-f", host_key],
            capture_output=True, text=True, check=True).stdout
        public = re.search(r"^(ssh-ed25519 \S+)", made, re.MULTILINE).group(1)
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", user_key],
                       check=True)
        self.port = free_port()
        with open(os.path.join(self.dir, "known_hosts"), "w") as f:
            f.write(f"[127.0.0.1]:{self.port} {public}\n")
        self.env = {**through_ssh(self.dir, "".join(
            f"Host {host}\n  User {user}\n" for host, user in
            (("board", "root"), ("cramped", "cramped"))) +
            f"Host *\n  HostName 127.0.0.1\n  Port {self.port}\n"
            f"  IdentityFile {user_key}\n  IdentitiesOnly yes\n"
            f"  UserKnownHostsFile {self.dir}/known_hosts\n"), "ZEM_SSH_HOST": "board"}
        with open(user_key + ".pub", "rb") as f:
            authorized = f.read()
        rc = "\n".join([
            "#!/bin/sh",
            "mount -t proc proc /proc", "mount -t sysfs sysfs /sys",
            "mount -t devtmpfs devtmpfs /dev", "mount -t tmpfs -o noexec,mode=1777 tmpfs /tmp",
            *(f"insmod /modules/{os.path.basename(m).split('.')[0]}.ko" for m in modules),
            "ifconfig lo 127.0.0.1 up", "ifconfig eth0 10.0.2.15 netmask 255.255.255.0 up",
            "route add default gw 10.0.2.2", ""])
        entries = [(d, 0o040755, b"") for d in ("bin", "sbin", "etc", "etc/dropbear", "dev",
                                                 "proc", "sys", "tmp", "lib", "usr", "usr/bin",
                                                 "usr/sbin", "modules", "home", "home/cramped")]
        entries += [("root", 0o040700, b""), ("root/.ssh", 0o040700, b""),
                    ("home/cramped/.ssh", 0o040755, b""), ("dev/console", 0o020600, (5, 1)),
                    ("init", 0o120777, b"/bin/busybox"), ("sbin/init", 0o120777, b"/bin/busybox"),
                    ("bin/busybox", 0o100755, open(busybox, "rb").read()),
                    ("etc/rc", 0o100755, rc.encode()),
                    ("etc/inittab", 0o100644, b"::sysinit:/etc/rc\n::respawn:/usr/sbin/dropbear"
                     b" -F -E -p 22 -r /etc/dropbear/host_key\n"),
                    ("etc/passwd", 0o100644, b"root:x:0:0:root:/root:/bin/sh\n"
                     b"cramped:x:1000:1000:cramped:/home/cramped:/bin/sh\n"),
                    ("etc/group", 0o100644, b"root:x:0:\ncramped:x:1000:\n"),
                    ("etc/dropbear/host_key", 0o100600, open(host_key, "rb").read()),
                    ("root/.ssh/authorized_keys", 0o100600, authorized),
                    ("home/cramped/.ssh/authorized_keys", 0o100644, authorized)]
        entries += [(f"bin/{name}", 0o120777, b"busybox") for name in self.APPLETS]
        entries += [(name, 0o100755, open(path, "rb").read()) for name, path in files.items()
                    if name != "usr/bin/dropbearkey"]
        entries += [(f"modules/{os.path.basename(m).split('.')[0]}.ko", 0o100644,
                     lzma.decompress(open(m, "rb").read())) for m in modules]
        ramdisk = os.path.join(self.dir, "ramdisk.cpio.gz")
        with open(ramdisk, "wb") as f:
            f.write(kernel_test.cpio(entries))
        self.console = open(os.path.join(self.dir, "console.log"), "w+")
        self.qemu = subprocess.Popen(
            [kernel_test.QEMU, "-M", "virt", "-cpu", "max,pauth-impdef=on", "-smp", "2",
             "-m", "1024", "-nographic", "-no-reboot", "-kernel", vmlinuz, "-initrd", ramdisk,
             "-append", "console=ttyAMA0 panic=-1 loglevel=1",
             "-netdev", f"user,id=n,restrict=on,hostfwd=tcp:127.0.0.1:{self.port}-:22",
             "-device", "virtio-net-pci,netdev=n,romfile="],
            stdin=subprocess.DEVNULL, stdout=self.console, stderr=subprocess.STDOUT)
        for _ in range(180):
            if self.sh("echo up") == b"up\n":
                break
            time.sleep(1)
        else:
            self.console.seek(0)
            raise kernel_test.Unavailable("the board never answered over ssh: "
                                          + " | ".join(self.console.read().splitlines()[-5:]))
        self.before = self.listing()

    def sh(self, command, host="board"):
        """What COMMAND prints in the board's shell; nothing if unreached."""
        got = subprocess.run(["ssh", host, command], env=self.env, stdin=subprocess.DEVNULL,
                             capture_output=True, timeout=60)
        return got.stdout if got.returncode != 255 else b""

    def listing(self):
        return self.sh("cd / && echo /root/* /tmp/* /home/cramped/*")

    def has_result(self):
        return b"yes" in self.sh('for f in /root/zem_dma_test.*/r/0.status; do '
                                 '[ -e "$f" ] && echo yes; done')

    def scripts(self):
        for _ in range(10):
            found = self.sh("for p in /proc/[0-9]*; do cat $p/cmdline; echo; done")
            if b"run.sh" not in found:
                return []
            time.sleep(0.1)
        return ["its script still runs on the board"]

    def left(self):
        now = self.listing()
        return [] if now == self.before else [f"the board holds {now!r}, not {self.before!r}"]

    def stop(self):
        self.qemu.kill()
        self.qemu.wait()


def interrupt(tally, where, place, options, slow, env, ready=None):
    """Ctrl-C while the cases run, once the device has a result and a slow
    case, of the tool SLOW, is under way: the script must stop, not only
    the shell that adb or ssh started, and be gone before that case ends.
    READY, if given, says when to press it instead."""
    process = place.start(options, slow, env)
    for _ in range(600):
        if (ready or place.has_result)():
            break
        time.sleep(0.1)
    process.send_signal(signal.SIGINT)
    output = process.communicate()[0]
    tally.check(f"Ctrl-C while the cases run {where}, and nothing left",
                place.left() + place.scripts() +
                ([f"status {process.returncode}"] if process.returncode != 130 else []), output)


def board_main(options, tally):
    """The route over ssh on the Dropbear board."""
    work = tempfile.mkdtemp()
    board = None
    try:
        try:
            board = Board(work, kernel_test.cache_dir(), options.board)
        except kernel_test.Unavailable as reason:
            tally.cannot("the route over ssh on an arm64 board", str(reason))
            return
        missing = board.sh("for c in tar scp sftp-server dd od; do command -v $c; done; "
                           "grep ' /tmp ' /proc/mounts")
        tally.check("the board has no tar, scp, SFTP server, dd or od, and /tmp is noexec",
                    [] if b"noexec" in missing and b"/" not in missing.split(b"tmpfs")[0]
                    else [f"it has {missing!r}"])
        cases = cli_test.cases(options.version)
        changed = cli_test.changed_message(options.executable, os.path.join(work, "changed"))
        started = time.monotonic()
        right = board.start(options, options.executable, {})
        output = right.communicate()[0]
        tally.check(f"a right tool passes on the board, in {time.monotonic() - started:.1f} s",
                    faults(None, cases, right.returncode, output, board, 1), output)
        runs = [("a tool with one changed message byte fails", "FAIL perf", changed, {}),
                ("two runs at once, run 1", None, options.executable, {}),
                ("two runs at once, run 2", None, options.executable, {}),
                ("refused: no directory where a program may run",
                 "no directory on cramped where a program may run (tried /tmp, /home/cramped:",
                 options.executable, {"ZEM_SSH_HOST": "cramped"})]
        started = [(name, expect, board.start(options, tool, env)) for name, expect, tool, env in runs]
        # All ended before any is judged: they share the board.
        outputs = [process.communicate()[0] for _, _, process in started]
        for (name, expect, process), output in zip(started, outputs):
            tally.check(name, faults(expect, cases, process.returncode, output, board, 1), output)
        interrupt(tally, "on the board", board, options,
                  script(os.path.join(work, "slow"), '[ -e slow ] && sleep 3; : >slow; echo x'), {})
    finally:
        if board:
            board.stop()
        shutil.rmtree(work, ignore_errors=True)


def faults(expect, cases, status, output, place, runs):
    """What is wrong with a run of the route. EXPECT is None where every
    case must pass, "FAIL CASE" where a faulty tool must fail CASE, and
    else the one line that a refusal prints. RUNS share the place."""
    if expect is None:
        expect = f"{len(cases) + 1} passed, 0 failed"
        right = status == 0 and output.endswith(f": {expect}\n")
    elif expect.startswith("FAIL "):
        right = (status == 1 and f"\n{expect}\n" in output
                 and "\nok   the script ran to its end\n" in output)
    else:
        right = status == 1 and output.count("\n") == 1 and expect in output
    return ([] if right else [f"status {status}, expected {expect!r}"]) + (
        place.excess(runs) + place.left())


def script(path, body):
    with open(path, "w") as f:
        f.write(f"#!/bin/sh\n{body}\n")
    os.chmod(path, 0o755)
    return path


def foreign(tool, path):
    """A copy of TOOL at PATH whose ELF header names another machine;
    returns the path and what the route must say of it."""
    with open(tool, "rb") as f:
        data = bytearray(f.read())
    number = int.from_bytes(data[18:20], "little")
    other = next(n for n in route.MACHINES if n != number)
    data[18:20] = other.to_bytes(2, "little")
    with open(path, "wb") as f:
        f.write(data)
    return path, f"board runs {route.MACHINES[number]}, not {route.MACHINES[other]}"


def main():
    parser = device_test.options_parser()
    parser.add_argument("--board", metavar="FLAVOUR",
                        help="the route over ssh on a Dropbear board of this arm64 kernel")
    options = parser.parse_args()
    cases = cli_test.cases(options.version)
    tally = Tally()
    if options.board:
        board_main(options, tally)
        status = tally.summary()
        return status if tally.failed or tally.passed else SKIPPED
    if not shutil.which("mksh"):
        tally.cannot("the device route", "no mksh, the stand-in device's shell "
                     "(Debian package mksh)")
        status = tally.summary()
        return status if tally.failed else SKIPPED
    work = tempfile.mkdtemp()
    # The device's shell user must reach the tool that the faulty ones run.
    os.chmod(work, 0o755)
    sshd = None
    try:
        tool = shutil.copy(options.executable, os.path.join(work, "zem_dma_test"))
        for command in ("printf x", "tar -cf /dev/null .", "od /dev/null", "uname"):
            got = subprocess.run(["adb", "shell", command], capture_output=True,
                                 env=StandIn(work, f"shell {command}", [ARM64]).env)
            tally.check(f"the stand-in's shell has no {command.split()[0]}",
                        [] if got.returncode == 127 else [f"status {got.returncode}"])

        faulty = [script(os.path.join(work, f"faulty{n}"), body.replace("TOOL", tool))
                  for n, (_, body, _) in enumerate(FAULTY)]
        # Each run: its name, its devices, what it must give, the tool, the
        # stand-in's seed, the environment.
        rows = []
        for daemon, release in DAEMONS.items():
            device = {**ARM64, "daemon": daemon, "release": release}
            rows += [(f"a right tool passes on a {daemon} daemon, seed {seed}", [device], None,
                      tool, seed, {}) for seed in ((1, 2, 3) if daemon == "7.1" else (1,))]
            rows += [(f"a tool with {fault} fails on a {daemon} daemon", [device], failing,
                      faulty[n], 0, {}) for n, (fault, _, failing) in enumerate(FAULTY)]
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
        if not shutil.which("sshd", path="/usr/sbin:/usr/bin") or not shutil.which("ssh"):
            tally.cannot("the route over ssh", "no sshd or ssh (Debian package openssh-server)")
        elif not os.path.isdir("/run/sshd") and os.geteuid() != 0:
            tally.cannot("the route over ssh", "sshd needs /run/sshd, which only root can make")
        else:
            os.makedirs("/run/sshd", exist_ok=True)
            sshd = Sshd(work)
            other, foreign_line = foreign(tool, os.path.join(work, "foreign"))
            ssh_rows = [("over ssh, a right tool passes", None, tool),
                        *((f"over ssh, a tool with {fault} fails", failing, faulty[n])
                          for n, (fault, _, failing) in enumerate(FAULTY)),
                        *((f"over ssh, two runs at once, run {n}", None, tool) for n in (1, 2))]
            runs += [(name, sshd, expect, sshd.start(options, tested, {"ZEM_SSH_HOST": "board"}), 1)
                     for name, expect, tested in ssh_rows]
            runs += [(f"over ssh, refused: {name}", sshd, foreign_line if line == "FOREIGN" else line,
                      sshd.start(options, other if line == "FOREIGN" else tool,
                                 {"ZEM_SSH_HOST": host, **env}), 1)
                     for name, host, env, line in REFUSED_SSH]
        print(f"{len(runs)} runs of the route at once, over adb each against stand-ins of its "
              f"own but for two that share one device, over ssh against one sshd")
        # All ended before any is judged: two runs share a device.
        outputs = [process.communicate()[0] for _, _, _, process, _ in runs]
        for (name, stand_in, expect, process, sharing), output in zip(runs, outputs):
            tally.check(name, faults(expect, cases, process.returncode, output, stand_in,
                                     sharing), output)
        tally.check("the 7.0 to 8.1 daemon lost output in those runs", [] if any(
            stand_in.count("adb.log", "lost") for name, stand_in, *_ in runs if "7.1" in name)
            else ["it never did"])

        slow = script(os.path.join(work, "slow"),
                      f'[ -e slow ] && sleep 3; touch slow; exec {tool} "$@"')
        places = [(f"on a {daemon} daemon", StandIn(work, f"Ctrl-C {daemon}",
                                                    [{**ARM64, "daemon": daemon}]), {})
                  for daemon in ("6.0", "clean")]
        places += [("over ssh", sshd, {"ZEM_SSH_HOST": "board"})] if sshd else []
        for where, place, env in places:
            interrupt(tally, where, place, options, slow, env)
        if sshd:
            # Ctrl-C while the board makes the run's directory, before the
            # route knows where: an ssh that holds back the answer.
            held = os.path.join(sshd.dir, "held")
            os.makedirs(held)
            script(os.path.join(held, "ssh"), f'{sshd.dir}/bin/ssh "$@"; s=$?; '
                   'case "$*" in *@@machine*) sleep 10;; esac; exit $s')
            interrupt(tally, "over ssh, while the board makes the run's directory", sshd,
                      options, tool, {"ZEM_SSH_HOST": "board",
                                      "PATH": held + os.pathsep + sshd.env["PATH"]},
                      ready=lambda: os.listdir(sshd.runs))
            # One connection each for the runs that reached the board: the
            # rows, the tool for another machine, and both Ctrl-Cs.
            reached = len(ssh_rows) + 3
            tally.check("over ssh, each run made one connection, which every call shared",
                        [] if sshd.connections() == reached else
                        [f"{sshd.connections()} connections for {reached} runs"])
    finally:
        if sshd:
            sshd.stop()
        shutil.rmtree(work, ignore_errors=True)
    return tally.summary()


if __name__ == "__main__":
    sys.exit(main())
