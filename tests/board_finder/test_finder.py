"""The real corvane-find, run as an unprivileged user against real tarvo
daemons on a LAN of namespaces, and against a crowd on loopback."""

import ipaddress
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
import harness  # noqa: E402
import lan  # noqa: E402

ARGS = harness.options("finder", "tarvo")

PEER = os.path.join(HERE, "peer.py")
LAN_PROBLEM = lan.unavailable()


def finder_cmd(*args):
    return (harness.NOBODY if os.geteuid() == 0 else []) + [ARGS.finder, *args]


def boards(stdout):
    """(address, port, proto_ver, interface) of every board in a JSON report."""
    return [(b["address"], b["port"], b["proto_ver"], b["interface"])
            for b in json.loads(stdout)]


@harness.can_run(LAN_PROBLEM)
class SmallLan(unittest.TestCase):
    """Three boards and a late peer on two subnets, one malformed peer, and
    an interface that is down. Runs that expect boards stop at their count,
    with a wait far longer than they need, so that a busy machine only
    makes them slower."""

    BOARDS = {"b1": "10.77.1.11", "b2": "10.77.1.12", "b3": "10.77.2.13"}
    ALL = [("10.77.1.11", 49100, 2, "eth0"), ("10.77.1.12", 49100, 2, "eth0"),
           ("10.77.2.13", 49100, 2, "eth1"), ("10.77.2.21", 49100, 2, "eth1")]

    @classmethod
    def setUpClass(cls):
        cls.lan = lan.Lan()
        cls.addClassCleanup(cls.lan.close)
        cls.host = cls.lan.host("host", {"eth0": "10.77.1.1/24", "eth1": "10.77.2.1/24",
                                         "eth2": "10.77.3.1/24"})
        lan.ip("link", "set", "eth2", "down", ns=cls.host)
        daemons = [cls.lan.spawn(cls.lan.node(name, addr + "/24"), [ARGS.tarvo])
                   for name, addr in cls.BOARDS.items()]
        peers = [cls.lan.spawn(cls.lan.node("malformed", "10.77.1.20/24"),
                               [sys.executable, PEER, "malformed", "300"]),
                 cls.lan.spawn(cls.lan.node("late", "10.77.2.21/24"),
                               [sys.executable, PEER, "late", "300"])]
        cls.lan.wait_bound(daemons + peers)

    def find(self, *args, timeout=60):
        p = self.lan.run(self.host, finder_cmd(*args), timeout=timeout, text=True)
        return p.returncode, p.stdout, p.stderr

    def test_every_board_by_broadcast(self):
        # The late peer answers the third round only, at half the wait: its
        # time counts from that round. Nothing is sent on the interface
        # that is down, or a line would say the send failed.
        status, out, err = self.find("--json", "-n", "4", "-t", "10")
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(boards(out), self.ALL)
        self.assertTrue(all(0 <= b["rtt_ms"] < 2500 for b in json.loads(out)), out)

        status, out, err = self.find("-n", "2", "-t", "10", "10.77.2.13", "10.77.1.11")
        self.assertEqual((status, err), (0, ""))
        lines = out.splitlines()
        self.assertEqual(lines[0].split(), ["ADDRESS", "PORT", "PROTO_VER", "INTERFACE", "RTT_MS"])
        self.assertEqual([tuple(line.split()[:4]) for line in lines[1:]],
                         [(a, str(p), str(v), i) for a, p, v, i in (self.ALL[0], self.ALL[2])])

    def test_interface_and_targets_choose_who_is_asked(self):
        for args, want in [
                (["-i", "eth0"], self.ALL[:2]),
                (["10.77.1.12"], self.ALL[1:2]),
                (["10.77.1.255:49100", "10.77.2.13"], self.ALL[:3])]:
            with self.subTest(args=args):
                status, out, err = self.find("--json", "-n", str(len(want)), "-t", "10", *args)
                self.assertEqual((status, boards(out), err), (0, want, ""))

    def test_count_stops_early(self):
        started = time.monotonic()
        status, out, _ = self.find("--json", "-n", "2", "-t", "20")
        self.assertEqual(status, 0)
        self.assertEqual(len(boards(out)), 2)
        self.assertLess(time.monotonic() - started, 10)

    def test_nobody_answers(self):
        for json_flag, out in (("--json", "[]\n"), (None, "")):
            with self.subTest(json=json_flag):
                args = ["-t", "0.5", "10.77.1.99", "10.77.1.20"]
                status, got, err = self.find(*([json_flag] if json_flag else []), *args)
                self.assertEqual((status, got, err),
                                 (1, out, "corvane-find: no board answered within 0.5 s\n"))
        # A send that fails is reported, and as long as another went out
        # it is still no board, not an error; so is a wait too short for
        # any answer.
        for args, lines in ((["-t", "0.5", "10.77.1.99", "192.0.2.1"],
                             ["corvane-find: 192.0.2.1: Network is unreachable",
                              "corvane-find: no board answered within 0.5 s"]),
                            (["-t", "1e-300", "10.77.1.11"],
                             ["corvane-find: no board answered within 1e-300 s"])):
            with self.subTest(args=args):
                status, got, err = self.find(*args)
                self.assertEqual((status, got, err.splitlines()), (1, "", lines))

    def test_name_lookup_ends_with_the_wait(self):
        # A name server on the LAN that never answers: a lookup that waits
        # for it would take 30 s.
        conf = f"/etc/netns/{self.host}"
        os.makedirs(conf)
        self.addCleanup(shutil.rmtree, conf)
        with open(f"{conf}/resolv.conf", "w") as f:
            f.write("nameserver 10.77.1.250\noptions timeout:30 attempts:1\n")
        started = time.monotonic()
        status, out, err = self.find("-t", "0.5", "board.example")
        self.assertEqual((status, out, err), (2, "", "corvane-find: board.example: "
                                                     "name not resolved within the wait\n"))
        self.assertLess(time.monotonic() - started, 10)

    def test_bad_usage(self):
        for args, why in (
                (["-t", "0"], None), (["-t", "3601"], None), (["-t", "nan"], None),
                (["-n", "0"], None), (["-i", "nosuch"], "nosuch: no such interface"),
                (["-i", "lo"], None), (["-i", "eth2"], None), (["--bogus"], None),
                (["10.77.1.11:0"], None), (["-t"], None),
                (["-zq"], "unknown option -z (see corvane-find --help)"),
                (["-i", "eth0", "10.77.1.11"], "10.77.1.11: a TARGET cannot be combined with "
                                               "an interface (see corvane-find --help)"),
                (["::1"], "::1: an IPv6 address; boards answer on IPv4 only "
                          "(see corvane-find --help)"),
                (["[::1]:49100"], None), (["2001:db8::1"], None)):
            with self.subTest(args=args):
                status, out, err = self.find(*args)
                self.assertEqual((status, out), (2, ""))
                self.assertRegex(err, r"\Acorvane-find: [^\n]+\n\Z")
                if why:
                    self.assertEqual(err, f"corvane-find: {why}\n")

    def test_help_that_cannot_be_written(self):
        for arg in ("--help", "--version"):
            with self.subTest(arg=arg), open("/dev/full", "w") as full:
                p = subprocess.run(finder_cmd(arg), stdout=full, stderr=subprocess.PIPE,
                                   text=True, timeout=30)
                self.assertEqual((p.returncode, p.stderr),
                                 (2, "corvane-find: stdout: No space left on device\n"))


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
        p = bed.run(host, finder_cmd("--json", "-n", "100", "-t", "60"), text=True, timeout=120)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual([b[0] for b in boards(p.stdout)], addrs)


@harness.can_run(LAN_PROBLEM)
class ForgedAnswers(unittest.TestCase):
    """A host on the LAN hears the broadcast and answers it in the name of
    others, through a raw socket: from everywhere, or all at once."""

    WAIT = 2

    @classmethod
    def setUpClass(cls):
        cls.lan = lan.Lan()
        cls.addClassCleanup(cls.lan.close)
        cls.host = cls.lan.host("host", {"eth0": "10.84.0.1/16"})
        board = cls.lan.spawn(cls.lan.node("board", "10.84.0.11/16"), [ARGS.tarvo])
        cls.forger = cls.lan.node("forger", "10.84.0.66/16")
        cls.lan.wait_bound([board])

    def forge(self, finder_args, how, stop=False):
        """Runs the finder while the forger answers its first request in
        `how`; with `stop`, the finder is stopped meanwhile. Returns the
        finder's (status, boards, stderr) and the seconds from that request
        to the finder's end."""
        forger = self.lan.spawn(self.forger, [sys.executable, PEER, how, "60", "10.84.0.0/16"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.lan.wait_bound([forger])
        finder = self.lan.spawn(self.host, finder_cmd("--json", *finder_args), 60,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(harness.stop, finder)
        asked_at = float(forger.stdout.readline())
        if stop:
            os.kill(finder.pid, signal.SIGSTOP)
        forger.stdin.write(b"go\n")
        forger.stdin.flush()
        self.assertEqual(forger.stdout.readline(), b"done\n")
        if stop:
            time.sleep(0.2)
            os.kill(finder.pid, signal.SIGCONT)
        out, err = finder.communicate(timeout=60)
        took = time.monotonic() - asked_at
        return finder.returncode, boards(out), err.decode(), took

    def test_flood_from_everywhere(self):
        status, found, err, took = self.forge(["-t", str(self.WAIT)], "flood")
        print(f"\nflood of 100000 forged answers: {len(found)} listed, "
              f"the run ended {took:.3f} s after its first request", file=sys.stderr)
        self.assertEqual((status, err), (0, ""))
        self.assertIn(("10.84.0.11", 49100, 2, "eth0"), found)
        for addr, port, _, _ in found:
            host = ipaddress.ip_address(addr)
            self.assertTrue(host in ipaddress.ip_network("10.84.0.0/16") and port == 49100
                            and str(host) not in ("10.84.0.0", "10.84.255.255"), addr)
        self.assertLessEqual(took, self.WAIT + 0.2)

    def test_answers_arriving_together(self):
        # More than fit a socket's default receive buffer; with a count,
        # exactly that many.
        for args, want in ((["-t", "5"], 401), (["-n", "5", "-t", "5"], 5)):
            with self.subTest(args=args):
                status, found, err, _ = self.forge(args, "crowd", stop=True)
                self.assertEqual((status, err, len(found)), (0, "", want))


class Loopback(unittest.TestCase):
    def test_two_boards_behind_one_address(self):
        socks = [harness.udp_socket(timeout=10) for _ in range(2)]
        for s in socks:
            self.addCleanup(s.close)
        ports = [s.getsockname()[1] for s in socks]
        finder = harness.spawn(finder_cmd("--json", "-n", "2", "-t", "30",
                                          *(f"127.0.0.1:{p}" for p in ports)),
                               60, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(harness.stop, finder)
        for s in socks:
            _, asker = s.recvfrom(64)
            s.sendto(harness.REPLY, asker)
        out, err = finder.communicate(timeout=60)
        self.assertEqual((finder.returncode, err), (0, b""))
        self.assertEqual(boards(out), [("127.0.0.1", p, 2, "lo") for p in sorted(ports)])


if __name__ == "__main__":
    harness.main()
