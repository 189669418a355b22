"""The real corvane-find, run as an unprivileged user against real tarvo
daemons on a LAN of namespaces, and against a crowd on loopback."""

import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
import harness  # noqa: E402
import lan  # noqa: E402

ap = argparse.ArgumentParser()
ap.add_argument("--finder", required=True)
ap.add_argument("--tarvo", required=True)
ARGS, rest = ap.parse_known_args()
sys.argv[1:] = rest

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
PEER = os.path.join(HERE, "peer.py")
LAN_PROBLEM = lan.unavailable()


def finder_cmd(*args):
    return (NOBODY if os.geteuid() == 0 else []) + [ARGS.finder, *args]


def boards(stdout):
    """(address, port, proto_ver, interface) of every board in a JSON report."""
    return [(b["address"], b["port"], b["proto_ver"], b["interface"])
            for b in json.loads(stdout)]


@harness.can_run(LAN_PROBLEM)
class SmallLan(unittest.TestCase):
    """Three boards and a late peer on two subnets, one malformed peer."""

    BOARDS = {"b1": "10.77.1.11", "b2": "10.77.1.12", "b3": "10.77.2.13"}
    ALL = [("10.77.1.11", 49100, 2, "eth0"), ("10.77.1.12", 49100, 2, "eth0"),
           ("10.77.2.13", 49100, 2, "eth1"), ("10.77.2.21", 49100, 2, "eth1")]

    @classmethod
    def setUpClass(cls):
        cls.lan = lan.Lan()
        cls.addClassCleanup(cls.lan.close)
        cls.host = cls.lan.host("host", {"eth0": "10.77.1.1/24", "eth1": "10.77.2.1/24"})
        daemons = [cls.lan.spawn(cls.lan.node(name, addr + "/24"), [ARGS.tarvo])
                   for name, addr in cls.BOARDS.items()]
        peers = [cls.lan.spawn(cls.lan.node("malformed", "10.77.1.20/24"),
                               [sys.executable, PEER, "malformed", "300"]),
                 cls.lan.spawn(cls.lan.node("late", "10.77.2.21/24"),
                               [sys.executable, PEER, "late", "300"])]
        cls.lan.wait_bound(daemons + peers)

    def find(self, *args, timeout=30):
        p = self.lan.run(self.host, finder_cmd(*args), timeout=timeout, text=True)
        return p.returncode, p.stdout, p.stderr

    def test_every_board_by_broadcast(self):
        status, out, err = self.find("--json", "-t", "1")
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(boards(out), self.ALL)
        self.assertTrue(all(0 <= b["rtt_ms"] < 1000 for b in json.loads(out)))

        status, out, err = self.find("-t", "1")
        self.assertEqual((status, err), (0, ""))
        lines = out.splitlines()
        self.assertEqual(lines[0].split(), ["ADDRESS", "PORT", "PROTO_VER", "INTERFACE", "RTT_MS"])
        self.assertEqual([tuple(line.split()[:4]) for line in lines[1:]],
                         [(a, str(p), str(v), i) for a, p, v, i in self.ALL])

    def test_interface_and_targets_choose_who_is_asked(self):
        for args, want in [
                (["-i", "eth1"], self.ALL[2:]),
                (["-i", "eth0", "-i", "eth1"], self.ALL),
                (["10.77.1.12"], self.ALL[1:2]),
                (["10.77.2.255:49100", "10.77.1.11"], [self.ALL[0]] + self.ALL[2:])]:
            with self.subTest(args=args):
                status, out, err = self.find("--json", "-t", "1", *args)
                self.assertEqual((status, boards(out), err), (0, want, ""))

    def test_count_stops_early(self):
        started = time.monotonic()
        status, out, _ = self.find("--json", "-n", "2", "-t", "20")
        self.assertEqual(status, 0)
        self.assertEqual(len(boards(out)), 2)
        self.assertLess(time.monotonic() - started, 10)

    def test_nobody_answers(self):
        started = time.monotonic()
        status, out, err = self.find("--json", "-t", "0.5", "10.77.1.99", "10.77.1.20")
        self.assertLess(time.monotonic() - started, 0.5 + 1.5)
        self.assertEqual((status, out, err),
                         (1, "[]\n", "corvane-find: no board answered within 0.5 s\n"))

    def test_bad_usage(self):
        for args in (["-t", "0"], ["-t", "3601"], ["-t", "nan"], ["-n", "0"], ["-i", "nosuch"],
                     ["-i", "lo"], ["--bogus"], ["10.77.1.11:0"], ["-t"]):
            with self.subTest(args=args):
                status, out, err = self.find(*args)
                self.assertEqual((status, out), (2, ""))
                self.assertRegex(err, r"\Acorvane-find: [^\n]+\n\Z")


@harness.can_run(LAN_PROBLEM)
class HundredBoards(unittest.TestCase):
    def test_all_found_in_one_run(self):
        bed = lan.Lan()
        self.addCleanup(bed.close)
        host = bed.host("host", {"eth0": "10.78.0.1/16"})
        addrs = [f"10.78.{1 + i // 50}.{1 + i % 50}" for i in range(100)]
        daemons = [bed.spawn(bed.node(f"b{i}", a + "/16"), [ARGS.tarvo])
                   for i, a in enumerate(addrs)]
        bed.wait_bound(daemons)
        p = bed.run(host, finder_cmd("--json", "-t", "5"), text=True)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual([b[0] for b in boards(p.stdout)], addrs)


CROWD = 400


def crowd(i):
    return f"127.0.{1 + i // 200}.{i % 200}"


class Crowd(unittest.TestCase):
    """Replies queued all at once while the finder is stopped, from
    loopback addresses: every one of them must be listed. 400 of them,
    more than fit a socket's default receive buffer."""

    def test_replies_arriving_together(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as target:
            target.bind(("127.0.0.1", 0))
            target.settimeout(10)
            finder = harness.spawn(finder_cmd("--json", "-t", "3",
                                              f"127.0.0.1:{target.getsockname()[1]}"),
                                   30, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.addCleanup(harness.stop, finder)
            _, asker = target.recvfrom(64)
            os.kill(finder.pid, signal.SIGSTOP)
            try:
                self.answer_from_crowd(asker)
            finally:
                os.kill(finder.pid, signal.SIGCONT)
            out, err = finder.communicate(timeout=20)
        self.assertEqual((finder.returncode, err), (0, b""))
        self.assertEqual([b[0] for b in boards(out)], [crowd(i) for i in range(CROWD)])

    def answer_from_crowd(self, asker):
        reply = harness.REPLY
        for i in range(CROWD):
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.bind((crowd(i), 0))
                s.sendto(reply, asker)


if __name__ == "__main__":
    harness.main()
