"""The device route's transport over ssh: the machine that `ssh DEST`
reaches, with the user's own ssh configuration, never asking for a
password or a yes. Every call shares one connection, which the route opens
first and closes last. The board needs only a POSIX shell with uname,
mkdir, rm, cat and chmod: files go by `cat >FILE`, one session each, and
come back in one session, between marks that no output holds. No scp,
SFTP or tar."""
import os
import secrets
import shlex
import shutil
import subprocess
import tempfile

from route import CannotRun, facts_of, last_line

QUICK, SLOW = 120, 900  # Seconds for one call: a question; a transfer or the run.
OPTIONS = ["-o", "BatchMode=yes", "-o", "ConnectTimeout=20",
           "-o", "ServerAliveInterval=10", "-o", "ServerAliveCountMax=3"]
# Where the run's directory may go, first that takes a program that runs:
# /tmp is often mounted noexec.
BASES = ['"${TMPDIR:-/tmp}"', "/var/tmp", '"$HOME"']


class Ssh:
    what = "a board"

    def __init__(self, destination):
        self.destination = self.name = destination
        self.ssh = self.remote = None
        # Named before it is made, so that a run stopped while the board
        # makes it can still find it to remove.
        self.basename = f"zem_dma_test.{os.getpid()}.{secrets.token_hex(4)}"
        self.sockets = tempfile.mkdtemp(prefix="zem_ssh.")
        self.control = os.path.join(self.sockets, "control")

    def command(self, *args):
        return [self.ssh, *OPTIONS, "-S", self.control, *args, self.destination]

    def refusal(self, said):
        """Why ssh could not reach the board, said by ssh as SAID, and
        what to do."""
        text = said.decode(errors="replace")
        where = self.destination
        if "REMOTE HOST IDENTIFICATION HAS CHANGED" in text:
            return (f"{where}'s host key has changed from the one in known_hosts: ask the "
                    f"board's owner whether the new key is right, and only then replace "
                    f"the old one (ssh-keygen -R HOST)")
        if "Host key verification failed" in text:
            return (f"{where}'s host key is not known here: check its fingerprint with the "
                    f"board's owner, then add it to known_hosts (ssh {where}, answering yes)")
        if "Permission denied" in text:
            return (f"{where} refused authentication ({last_line(said)}): install your "
                    f"key there, for example with ssh-copy-id {where}")
        return (f"{where} is unreachable or does not answer ({last_line(said)}): "
                f"check that it is up and that ssh {where} reaches it")

    def call(self, command, stdin=None, timeout=QUICK):
        """Runs COMMAND in the board's sh, whatever the user's login shell,
        over the shared connection; returns its stdout. In a session of its
        own, so that a Ctrl-C reaches the route alone."""
        try:
            got = subprocess.run(self.command() + ["sh -c " + shlex.quote(command)],
                                 stdin=stdin or subprocess.DEVNULL,
                                 capture_output=True, timeout=timeout, start_new_session=True)
        except subprocess.TimeoutExpired:
            raise CannotRun(f"ssh {self.destination} gave no answer in {timeout} s: "
                            f"check the board, then run again") from None
        if got.returncode == 255:
            raise CannotRun(self.refusal(got.stderr))
        return got.stdout

    def ask(self, command):
        return facts_of(self.call(command).decode(errors="replace"))

    def start(self):
        """Opens the shared connection. It lives in the background, its
        output in a file, so that it holds no caller's output open."""
        self.ssh = shutil.which("ssh")
        if self.ssh is None:
            raise CannotRun("ssh not found: install it (apt-get install openssh-client)")
        with tempfile.TemporaryFile() as said:
            try:
                got = subprocess.run(self.command("-M", "-N", "-f"), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=said, timeout=QUICK,
                                     start_new_session=True)
            except subprocess.TimeoutExpired:
                got = None
            said.seek(0)
            if got is None or got.returncode != 0:
                raise CannotRun(self.refusal(said.read() or b"no answer"))

    def prepare(self, machine):
        """Makes the run's directory where a program may run, on a board
        that runs MACHINE's code; returns what the tally says of it."""
        facts = self.ask(
            'echo "@@machine $(uname -m)"; echo "@@kernel $(uname -r)"; '
            f'[ "$(uname -m)" = {machine or "$(uname -m)"} ] || exit 0; tried=; '
            f'for base in {" ".join(BASES)}; do '
            '[ -n "$base" ] && [ -d "$base" ] || continue; tried="$tried, $base"; '
            f'd=$base/{self.basename}; mkdir "$d" 2>/dev/null || continue; '
            'if { echo "#!/bin/sh" >"$d/probe" && chmod 700 "$d/probe" && "$d/probe"; } '
            '2>/dev/null; then rm "$d/probe"; echo "@@dir $d"; exit 0; fi; rm -rf "$d"; '
            'done; echo "@@tried ${tried#, }"')
        self.made = "dir" in facts
        if machine and facts.get("machine") != machine:
            theirs = facts.get("machine") or "an unknown machine"
            raise CannotRun(f"{self.destination} runs {theirs}, not {machine}: the tool is "
                            f"built for {machine}; reach a board that runs {machine}, or "
                            f"build the tool for {theirs}")
        if "dir" not in facts:
            raise CannotRun(f"no directory on {self.destination} where a program may run "
                            f"(tried {facts.get('tried') or 'none'}: each not writable, or "
                            f"mounted noexec): give the user a writable home, "
                            f"or /var/tmp, on a file system mounted without noexec")
        self.remote = facts["dir"]
        return f"Linux {facts.get('kernel')}, {facts.get('machine')}"

    def send(self, paths):
        for path in paths:
            with open(path, "rb") as f:
                self.call(f"cat >{shlex.quote(self.remote + '/' + os.path.basename(path))}",
                          stdin=f, timeout=SLOW)

    def shell(self, command):
        self.call(command, timeout=SLOW)

    def fetch(self, directory):
        """The files of DIRECTORY, each after an empty line and a line of a
        mark, which no output holds, and its name."""
        mark = f"@@{secrets.token_hex(16)}"
        said = self.call(f"cd {shlex.quote(self.remote + '/' + directory)} && "
                         f"for f in *; do echo; echo '{mark}' \"$f\"; cat \"$f\"; done",
                         timeout=SLOW)
        files = {}
        for part in said.split(b"\n" + mark.encode() + b" ")[1:]:
            name, _, data = part.partition(b"\n")
            files[name.decode(errors="replace")] = data
        return files

    def places(self):
        """Where the run's directory may be, as words of the board's shell."""
        if self.remote:
            return [shlex.quote(self.remote)]
        return [f"{base}/{self.basename}" for base in BASES]

    def by_hand(self, command):
        return f"ssh {self.destination} {shlex.quote(command)}"

    def stop(self):
        if self.ssh:
            subprocess.run(self.command("-O", "exit"), stdin=subprocess.DEVNULL,
                           capture_output=True, start_new_session=True)
        shutil.rmtree(self.sockets, ignore_errors=True)
