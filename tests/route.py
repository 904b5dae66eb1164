"""What the device route shares across its transports, adb and ssh: the
case script and its files, staged for sending; the one command that runs
the script on the device; the judging of the result files; the removal
of the run's directory; and the errors that end a run.

A transport has `what` ("a device", "a board") and, once started, `name`
and `remote`, the run's directory there; `made` and `running`, which the
route sets, say whether that directory may be there and the script run in
it. Its operations:
  start()           chooses and reaches the device, or raises CannotRun;
  prepare(machine)  checks that it runs MACHINE's code (any, for None),
                    makes `remote`, and returns what the tally says of it;
  send(paths)       puts the files at PATHS in `remote`;
  shell(command)    runs COMMAND in the device's shell, its result unread;
  ask(command)      runs COMMAND, which prints `@@NAME VALUE` lines, and
                    returns them as {NAME: VALUE};
  fetch(directory)  returns the files of `remote`/DIRECTORY, {name: bytes};
  places()          names, as words of the device's shell, where the run's
                    directory may be: `remote`, or before that is known,
                    each place it may have been made in;
  by_hand(command)  says how a user runs COMMAND there;
  stop()            lets go of the device.
"""
import os
import re
import shlex
import shutil
import tempfile

import cli_test
from harness import Tally

# The ELF machines that the route knows, as `uname -m` names them.
MACHINES = {183: "aarch64", 62: "x86_64"}


class CannotRun(Exception):
    """The route cannot run; the message says what to do."""


class Interrupted(Exception):
    """A signal stopped the run; args[0] is its number."""


def last_line(said):
    lines = [line for line in said.decode(errors="replace").splitlines()
             if line.strip() and not line.startswith("* daemon")]
    return lines[-1] if lines else "nothing said"


def facts_of(said):
    """The `@@NAME VALUE` lines of SAID, as {NAME: VALUE}."""
    return dict(re.findall(r"^@@(\w+) ?(.*?)\r?$", said, re.MULTILINE))


def machine(executable):
    """The machine that EXECUTABLE is built for, from its ELF header; None
    for a script, which runs on any."""
    with open(executable, "rb") as f:
        header = f.read(20)
    if header[:4] != b"\x7fELF":
        return None
    number = int.from_bytes(header[18:20], "little")
    if number not in MACHINES:
        raise CannotRun(f"{executable} is built for ELF machine {number}, not for "
                        f"{' or '.join(MACHINES.values())}")
    return MACHINES[number]


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


def run_cases(transport, options):
    """Runs every case on the device; returns the tally's exit status."""
    cases = cli_test.cases(options.version)
    built_for = machine(options.executable)
    transport.made = True
    about = transport.prepare(built_for)
    remote = shlex.quote(transport.remote)
    with tempfile.TemporaryDirectory() as local:
        paths = stage(local, options, cases)
        print(f"sending {len(paths)} files to {transport.name}:{transport.remote}", flush=True)
        transport.send(paths)
    print(f"running {len(cases)} cases", flush=True)
    # The daemons of adb up to 6.0 end the session, killing the script,
    # once no process holds their terminal: the shell that the transport
    # starts keeps it, waiting for the script as its child, which writes
    # its own pid so that an interrupted run can stop it. Standard input
    # is the device's own /dev/null: a 6.0 daemon never passes on the end
    # of this side's.
    transport.running = True
    transport.shell(f"cd {remote} && chmod 700 zem_dma_test exec_empty_argv && mkdir r && "
                    f"sh -c 'echo $$ >pid && exec sh run.sh' </dev/null >r/log 2>&1")
    transport.running = False
    print("fetching the results", flush=True)
    files = transport.fetch("r")
    tally = Tally()
    cli_test.report(tally, cli_test.results(cases, files))
    done = files.get("done")
    tally.check("the script ran to its end", [] if done == f"{len(cases)}\n".encode() else [
        f"r/done holds {done!r}", *files.get("log", b"").decode(errors="replace").splitlines()[-10:]])
    return tally.summary(f"on {transport.name}, {about}: ")


def remove(transport):
    """Removes the run's directory, first stopping the script if it may
    still run: with SIGKILL, since mksh holds back SIGTERM until the case
    under way ends."""
    places = " ".join(transport.places())
    stop = f"kill -9 $(cat {places}/pid) 2>/dev/null; " if transport.running else ""
    try:
        left = "left" in transport.ask(f"{stop}rm -rf {places}; "
                                       f"for d in {places}; do [ -e \"$d\" ] && echo @@left; done")
    except CannotRun:
        left = True
    if left:
        print(f"{transport.remote or places} is left on {transport.name}: remove it with "
              f"{transport.by_hand(f'rm -rf {places}')}")
