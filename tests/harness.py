"""Shared pieces of the integration tests: which program to run and how,
and the discovery protocol as a host speaks it."""

import argparse
import os
import shlex
import socket
import subprocess
import sys
import threading
import unittest

PORT = 49100
# Runs a command as the user nobody, with no groups.
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
REPLY = bytes([0, 0, 0, 2, 0, 0, 0, 0x4D]) + bytes(32)


def request(id_bytes=b"\x00\x00\x00\x6d", proto_ver=b"\x00\x00\x00\x02",
            seq=b"\x00\x00\x00\x00", rest=bytes(28)):
    """A 40-byte datagram: proto_ver, id, seq, then payload and trailer."""
    dgram = proto_ver + id_bytes + seq + rest
    assert len(dgram) == 40
    return dgram


def program():
    """Parses --exe and --launcher; returns the command that runs the
    program under test, and leaves the rest of argv to unittest."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--launcher", default="")
    args, rest = parser.parse_known_args()
    sys.argv[1:] = rest
    return shlex.split(args.launcher) + [args.exe]


def options(*names):
    """Parses the options --NAME that a test is given (paths, mostly), all
    required, and leaves the rest of argv to unittest."""
    parser = argparse.ArgumentParser(add_help=False)
    for name in names:
        parser.add_argument("--" + name, required=True)
    args, rest = parser.parse_known_args()
    sys.argv[1:] = rest
    return args


def spawn(cmd, seconds, **kwargs):
    """Starts cmd with a watchdog that kills it after `seconds`, whatever
    the test is doing then."""
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    proc = subprocess.Popen(cmd, **kwargs)
    watchdog = threading.Timer(seconds, proc.kill)
    watchdog.daemon = True
    watchdog.start()
    proc.watchdog = watchdog
    return proc


def stop(proc):
    proc.watchdog.cancel()
    if proc.poll() is None:
        proc.kill()
    proc.wait(timeout=10)


def udp_socket(addr="127.0.0.1", timeout=0.5):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((addr, 0))
    s.settimeout(timeout)
    return s


def exchange(sock, dgram, dest, tries=1):
    """Sends dgram and returns (reply, source), or None when nothing came
    back within the socket's timeout, `tries` times over."""
    for _ in range(tries):
        sock.sendto(dgram, dest)
        try:
            return sock.recvfrom(4096)
        except socket.timeout:
            continue
    return None


def can_run(problem):
    """Skips a test class when `problem` says why it cannot run on this
    machine; under CI it runs anyway, and fails on the problem itself."""
    return unittest.skipIf(problem and os.environ.get("CI") != "true", problem)


def main(problem=None, what="these tests"):
    """Runs the tests. `problem` says why none of them can run on this
    machine: under CI that fails the run, elsewhere it skips (exit 77)."""
    if problem:
        if os.environ.get("CI") == "true":
            sys.exit(f"{what} cannot run: {problem}")
        print(f"SKIPPED: {what}: {problem}")
        sys.exit(77)
    unittest.main(verbosity=2)
