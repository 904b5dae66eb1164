#!/usr/bin/env python3
"""A stand-in for Debian's adb client and the devices it reaches, for the
checks of the device route: it acts as adb does where the route looks, each
device as its release's adbd was measured to.

usage: adb [-s SERIAL] devices | push SRC... DST | pull SRC DST | shell CMD...

$ADB_STANDIN names a JSON file: {"seed": N, "devices": [{"serial", "state",
"daemon", "abi", "release", "root", "writable"}]}. A daemon is "clean" (10
and later), "6.0" (status always 0, stderr merged into stdout as a terminal
gives it, the end of standard input never passed on) or "7.1" (7.0 to 8.1: at random, the end of
a command's output lost, with status 0). A device's files live under ROOT:
device paths are taken there (in a shell command too, so ROOT holds no
character that the shell would split or expand), the shell starts in it, and its commands are
Android 5.0's toolbox, under mksh as the shell user (uid 2000) when this
runs as root. Beside the JSON file, adb.log says what output it lost.
"""
import json
import os
import pty
import random
import shutil
import signal
import subprocess
import sys

SHELL_UID = 2000
# What Android 5.0's shell finds on its PATH; mksh has echo, test, print,
# kill and read built in, but not printf.
TOOLBOX = ["cat", "chmod", "cmp", "cp", "date", "dd", "grep", "id", "kill", "ls",
           "mkdir", "mv", "readlink", "rm", "rmdir", "sleep", "touch"]
MKSH = shutil.which("mksh")
LOSS = 0.35  # Of a 7.0 to 8.1 daemon's shell runs: far more than measured.


def fail(message):
    sys.stderr.write(message + "\n")
    sys.exit(1)


def as_shell_user():
    if os.getuid() == 0:
        os.setgroups([])
        os.setgid(SHELL_UID)
        os.setuid(SHELL_UID)


def make_root(device):
    """The device's files on first use: /system/bin and /data/local/tmp,
    made aside and renamed whole, as two calls at once may make them."""
    if os.path.isdir(device["root"]):
        return
    root = f"{device['root']}.{os.getpid()}"
    system = os.path.join(root, "system", "bin")
    os.makedirs(system)
    for name in TOOLBOX:
        os.symlink(shutil.which(name), os.path.join(system, name))
    os.symlink(MKSH, os.path.join(system, "sh"))
    props = {"ro.product.cpu.abi": device["abi"], "ro.product.cpu.abilist": device["abi"],
             "ro.build.version.release": device["release"]}
    with open(os.path.join(system, "getprop"), "w") as getprop:
        getprop.write(f"#!{MKSH}\ncase $1 in\n" +
                      "".join(f"{key}) echo '{value}';;\n" for key, value in props.items()) +
                      "*) echo;;\nesac\n")
    os.chmod(os.path.join(system, "getprop"), 0o755)
    tmp = os.path.join(root, "data", "local", "tmp")
    os.makedirs(tmp)
    for path in (root, os.path.dirname(os.path.dirname(tmp)), os.path.dirname(tmp)):
        os.chmod(path, 0o751)
    os.chmod(tmp, 0o771 if device.get("writable", True) else 0o551)
    if os.getuid() == 0:
        os.chown(tmp, SHELL_UID, SHELL_UID)
    try:
        os.rename(root, device["root"])
    except OSError:
        shutil.rmtree(root)


def on_device(device, path):
    return os.path.join(device["root"], path.lstrip("/"))


def pick(devices, serial):
    if serial:
        found = [d for d in devices if d["serial"] == serial]
        if not found:
            fail(f"error: device '{serial}' not found")
    elif not devices:
        fail("error: no devices/emulators found")
    elif len(devices) > 1:
        fail("error: more than one device/emulator")
    device = found[0] if serial else devices[0]
    if device["state"] == "unauthorized":
        fail("error: device unauthorized.\nThis adb server's $ADB_VENDOR_KEYS is not set\n"
             "Try 'adb kill-server' if that seems wrong.\n"
             "Otherwise check for a confirmation dialog on your device.")
    if device["state"] != "device":
        fail(f"error: device {device['state']}")
    make_root(device)
    return device


def push(device, sources, target):
    remote = on_device(device, target)
    if len(sources) > 1 and not os.path.isdir(remote):
        fail(f"adb: error: target '{target}' is not a directory")
    for source in sources:
        into = os.path.join(remote, os.path.basename(source)) if os.path.isdir(remote) else remote
        with open(source, "rb") as f:
            data = f.read()
        # adbd writes as the shell user, and pushed files arrive rwxrwxrwx.
        child = os.fork()
        if child == 0:
            try:
                as_shell_user()
                with open(into, "wb") as f:
                    f.write(data)
                os.chmod(into, 0o777)
                os._exit(0)
            except OSError as error:
                sys.stderr.write(f"adb: error: failed to copy '{source}' to '{target}': "
                                 f"remote {error.strerror}\n")
                os._exit(1)
        if os.waitpid(child, 0)[1]:
            sys.exit(1)
    print(f"{len(sources)} files pushed, 0 skipped.")


def pull(device, source, target):
    remote = on_device(device, source)
    if not os.path.exists(remote):
        fail(f"adb: error: remote object '{source}' does not exist")
    if os.path.isdir(target):
        target = os.path.join(target, os.path.basename(remote))
    if os.path.isdir(remote):
        shutil.copytree(remote, target)
    else:
        shutil.copyfile(remote, target)
    print("pulled, 0 skipped.")


def on_terminal(command, **how):
    """Runs COMMAND as the 6.0 daemon does: on a pseudo-terminal, which
    merges stderr into stdout, turns \\n into \\r\\n and never ends its
    input. The session lasts while any process holds the terminal; then
    every process the command started is killed, whatever it ignores."""
    master, slave = pty.openpty()
    process = subprocess.Popen(command, stdin=slave, stdout=slave, stderr=slave,
                               start_new_session=True, **how)
    os.close(slave)
    out = bytearray()
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO: the last holder let go.
            break
        if not chunk:
            break
        out += chunk
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()
    os.close(master)
    return bytes(out), b"", 0


def shell(device, command, rng, log):
    """Runs COMMAND as adbd runs `sh -c`, and reports it as the device's
    daemon would."""
    tmp = "/data/local/tmp"
    command = command.replace(tmp, on_device(device, tmp))
    how = {"cwd": device["root"], "preexec_fn": as_shell_user,
           "env": {"PATH": on_device(device, "/system/bin"), "HOME": "/",
                   "TMPDIR": on_device(device, tmp)}}
    daemon = device["daemon"]
    if daemon == "6.0":
        out, err, status = on_terminal([MKSH, "-c", command], **how)
    else:
        # shell_v2 passes standard input on, its end too.
        got = subprocess.run([MKSH, "-c", command], capture_output=True, **how)
        # It gives a shell killed by signal N as 128+N.
        out, err = got.stdout, got.stderr
        status = got.returncode if got.returncode >= 0 else 128 - got.returncode
    if daemon == "7.1" and rng.random() < LOSS:
        out, err, status = out[:rng.randrange(len(out) + 1) if out else 0], b"", 0
        log.write(f"lost the end of the output of: {command}\n")
    sys.stdout.buffer.write(out)
    sys.stderr.buffer.write(err)
    return status


def main():
    with open(os.environ["ADB_STANDIN"]) as f:
        config = json.load(f)
    args = sys.argv[1:]
    serial = os.environ.get("ANDROID_SERIAL")
    if args[:1] == ["-s"]:
        serial, args = args[1], args[2:]
    state = os.path.dirname(os.path.abspath(os.environ["ADB_STANDIN"]))
    started = os.path.join(state, "adb.server")
    if not os.path.exists(started):
        open(started, "w").close()
        sys.stderr.write("* daemon not running; starting now at tcp:5037\n"
                         "* daemon started successfully\n")
    # Each call is counted, and draws its own numbers, the same from run to run.
    with open(os.path.join(state, "adb.calls"), "a+") as calls:
        calls.write(" ".join(args[:1]) + "\n")
        calls.seek(0)
        rng = random.Random(f"{config.get('seed', 0)}:{len(calls.readlines())}")
    devices = config["devices"]
    if args == ["devices"]:
        print("List of devices attached")
        for device in devices:
            print(f"{device['serial']}\t{device['state']}")
        print()
        return 0
    if not args or args[0] not in ("push", "pull", "shell"):
        fail(f"adb: unknown command {args[0] if args else ''}")
    device = pick(devices, serial)
    if args[0] == "push" and len(args) >= 3:
        push(device, args[1:-1], args[-1])
    elif args[0] == "pull" and len(args) == 3:
        pull(device, args[1], args[2])
    elif args[0] == "shell" and len(args) >= 2:
        with open(os.path.join(state, "adb.log"), "a") as log:
            return shell(device, " ".join(args[1:]), rng, log)
    else:
        fail(f"adb: usage: {args[0]} needs its operands")
    return 0


if __name__ == "__main__":
    sys.exit(main())
