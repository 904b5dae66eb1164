#!/usr/bin/env python3
"""Runs the process suite's cases on a device: over adb, on the device that
adb picks, or, when ZEM_SSH_HOST names an ssh destination, over ssh on the
machine that `ssh ZEM_SSH_HOST` reaches. Either way it sends the tool, the
empty-vector helper, and the cases as one script with its argument files
into a directory of the run's own; runs the script there; fetches each
case's status, stdout and stderr as files; and removes the directory, on
failure and on Ctrl-C too (route.py).

usage: device_test.py --version VERSION --empty-argv-helper HELPER EXECUTABLE

Exits 0 only when every case ran on the device and passed; when the route
cannot run, it says why in one line and exits 1.
"""
import argparse
import os
import signal
import sys

from adb_transport import Adb
from route import CannotRun, Interrupted, remove, run_cases
from ssh_transport import Ssh

SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def interrupted(number, _):
    raise Interrupted(number)


def options_parser():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--empty-argv-helper", required=True)
    parser.add_argument("executable")
    return parser


def main():
    options = options_parser().parse_args()
    for number in SIGNALS:
        signal.signal(number, interrupted)
    host = os.environ.get("ZEM_SSH_HOST")
    transport = Ssh(host) if host else Adb()
    transport.made = transport.running = False
    try:
        try:
            transport.start()
            return run_cases(transport, options)
        finally:
            for number in SIGNALS:
                signal.signal(number, signal.SIG_IGN)
            if transport.made:
                remove(transport)
            transport.stop()
    except CannotRun as reason:
        print(f"cannot run the suite on {transport.what}: {reason}")
        return 1
    except Interrupted as signal_number:
        print(f"stopped by signal {signal_number.args[0]}")
        return 128 + signal_number.args[0]


if __name__ == "__main__":
    sys.exit(main())
