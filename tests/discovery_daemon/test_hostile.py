"""The real tarvo on a LAN of namespaces, under traffic an attacker could
send: spoofed datagrams meant to start a reply loop, senders a reply cannot
reach, and a flood."""

import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from testbed import harness, lan, sender, wire

HERE = os.path.dirname(os.path.abspath(__file__))

# Sanitizers and an emulator keep memory of their own that grows with the
# work done: the daemon's own peak is only seen in a plain native build.
CHECK_MEMORY = "--no-memory-check" not in sys.argv
if not CHECK_MEMORY:
    sys.argv.remove("--no-memory-check")
TARVO = harness.program()
SENDER = sender.__file__
FRAMES = os.path.join(HERE, "frames.py")
A, B, B2, ATTACKER, HOST = "10.80.0.1", "10.80.0.2", "10.80.0.102", "10.80.0.66", "10.80.0.9"
B3 = "10.79.5.1"  # b's address on a second link, which the host reaches through b
PROBLEM = lan.unavailable()


def udp_counters(proc):
    """The Udp counters of the namespace proc runs in."""
    with open(f"/proc/{proc.pid}/net/snmp") as f:
        return udp_table(f.read())


def udp_table(snmp):
    rows = [line.split() for line in snmp.splitlines() if line.startswith("Udp:")]
    return dict(zip(rows[0][1:], map(int, rows[1][1:])))


def sent_settled(proc):
    """The datagrams proc's namespace has sent, once the count has held
    still for 0.3 s (within 3 s): an earlier test's request asked again
    after a slow answer may still be on its way."""
    last = udp_counters(proc)["OutDatagrams"]
    for _ in range(10):
        time.sleep(0.3)
        now = udp_counters(proc)["OutDatagrams"]
        if now == last:
            break
        last = now
    return last


def service_thread(proc):
    """The thread of proc that waits, as the service thread does: in
    io_uring_enter() (426 everywhere), or without a ring in epoll_wait()
    (x86-64's epoll_wait, epoll_pwait and epoll_pwait2, aarch64's
    epoll_pwait and epoll_pwait2)."""
    waits = {"x86_64": {"232", "281", "441", "426"},
             "aarch64": {"22", "441", "426"}}[os.uname().machine]
    for tid in os.listdir(f"/proc/{proc.pid}/task"):
        with open(f"/proc/{proc.pid}/task/{tid}/syscall") as f:
            if f.read().split()[0] in waits:
                return tid
    raise AssertionError("no thread of the daemon waits in io_uring_enter() or epoll_wait()")


def switches(proc, tid):
    with open(f"/proc/{proc.pid}/task/{tid}/status") as f:
        return sum(int(line.split()[1]) for line in f if "ctxt_switches" in line)


def vm_hwm_kib(proc):
    with open(f"/proc/{proc.pid}/status") as f:
        return int(next(line for line in f if line.startswith("VmHWM:")).split()[1])


class Hostile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The full-buffer case needs buffers of the size an untuned board
        # grants, whatever this machine allows.
        cls.enterClassContext(lan.default_socket_buffers())
        cls.lan = lan.Lan()
        cls.addClassCleanup(cls.lan.close)
        cls.host = cls.lan.node("host", HOST + "/24")
        cls.attacker = cls.lan.node("attacker", ATTACKER + "/24")
        cls.errs = {}
        cls.daemons = {}
        for name, addr in (("a", A), ("b", B)):
            ns = cls.lan.node(name, addr + "/24")
            cls.errs[name] = tempfile.TemporaryFile()
            cls.addClassCleanup(cls.errs[name].close)
            cls.daemons[name] = cls.lan.spawn(ns, TARVO, stderr=cls.errs[name])
        lan.ip("addr", "add", B2 + "/24", "dev", "eth0", ns=cls.daemons["b"].ns)
        # A second link of b's own (a veth pair inside b), off the LAN.
        lan.ip(ns=cls.daemons["b"].ns, stdin="link add eth1 type veth peer name eth1p\n"
               f"addr add {B3}/24 dev eth1\nlink set eth1 up\nlink set eth1p up\n")
        lan.ip("route", "add", "10.79.5.0/24", "via", B, ns=cls.host)
        cls.lan.wait_bound(cls.daemons.values())

    def send(self, ns, *args, timeout=120):
        p = self.lan.run(ns, [sys.executable, SENDER, *map(str, args)], timeout=timeout,
                         text=True)
        self.assertEqual(p.returncode, 0, p.stderr)
        return p.stdout.strip()

    def ask(self, dest, times=1):
        """How many of `times` requests were answered."""
        return self.ask_counting(dest, times)[0]

    def ask_counting(self, dest, times):
        """(answered, datagrams sent) for `times` requests."""
        return tuple(map(int, self.send(self.host, "ask", dest, times).split()))

    def host_udp(self):
        return udp_table(self.lan.run(self.host, ["cat", "/proc/net/snmp"], text=True).stdout)

    def stderr_of(self, name):
        self.errs[name].seek(0)
        return self.errs[name].read().decode()

    def test_broadcast_answered_once_by_each(self):
        # Each daemon answers a broadcast once. Both boards know the host
        # first, so that no hold hides a second answer.
        self.assertEqual((self.ask(A), self.ask(B)), (1, 1))
        listen = ("import collections, json, socket\n"
                  "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                  "s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)\n"
                  "s.settimeout(1)\n"
                  f"s.sendto(bytes([0, 0, 0, 2, 0, 0, 0, 0x6d]) + bytes(32), ('10.80.0.255', {wire.PORT}))\n"
                  "seen = collections.Counter()\n"
                  "try:\n"
                  "    while True:\n"
                  "        seen[s.recvfrom(64)[1][0]] += 1\n"
                  "except socket.timeout:\n"
                  "    pass\n"
                  "print(json.dumps(seen))\n")
        p = self.lan.run(self.host, [sys.executable, "-c", listen], text=True)
        seen = json.loads(p.stdout)
        self.assertEqual((seen.get(A), seen.get(B)), (1, 1), p.stdout + p.stderr)
        self.assertEqual(set(seen.values()), {1}, seen)

    def test_one_answer_per_request_however_the_frame_is_addressed(self):
        # A host's own MAC address with a broadcast or multicast IP address,
        # and the host's own IP address in a broadcast or multicast frame:
        # each request is answered exactly once. Only the wildcard socket
        # gets a broadcast or a multicast at all (the others are bound to
        # the board's addresses), so the kernel drops no copy of one.
        a = self.daemons["a"]
        mac = self.lan.run(a.ns, ["cat", "/sys/class/net/eth0/address"], text=True).stdout.strip()
        for frame_to, ip_to in ((mac, "255.255.255.255"), (mac, "10.80.0.255"), (mac, "224.0.0.1"),
                                ("ff:ff:ff:ff:ff:ff", A), ("01:00:5e:00:00:01", A)):
            with self.subTest(frame=frame_to, ip=ip_to):
                before = udp_counters(a)["InErrors"]
                p = self.lan.run(self.host, [sys.executable, FRAMES, "eth0", HOST, frame_to, ip_to,
                                             "16"], text=True)
                self.assertEqual((json.loads(p.stdout or "null"), p.stderr), ({A: 16}, ""))
                self.assertEqual(udp_counters(a)["InErrors"] - before, 0)

    def test_only_its_own_user_can_join_its_port(self):
        # tarvo as a user of its own (101, as the board package makes it):
        # a process of any other user cannot bind its port, whatever the
        # address and with SO_REUSEPORT; one of the same user can.
        ns = self.lan.node("own", "10.80.0.30/24")
        self.lan.wait_bound([self.lan.spawn(ns, ["setpriv", "--reuid=101", "--regid=101",
                                                 "--clear-groups", *TARVO])])
        bind = ("import socket, sys\n"
                "for addr in ('0.0.0.0', '10.80.0.30'):\n"
                "    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                "    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)\n"
                "    try:\n"
                "        s.bind((addr, 49100)); print(addr, 'bound')\n"
                "    except OSError as e:\n"
                "        print(addr, e.strerror)\n")
        for uid, how in ((65534, "Address already in use"), (101, "bound")):
            p = self.lan.run(ns, ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups",
                                  sys.executable, "-c", bind], text=True)
            self.assertEqual(p.stdout.splitlines(), [f"0.0.0.0 {how}", f"10.80.0.30 {how}"],
                             p.stderr)

    def test_spoofed_datagram_cannot_start_a_loop(self):
        # Forged as if daemon A had sent it to B: B answers A, A may answer
        # that, and there it must end.
        for id_hex, flowing in (("0000006d", 3), ("0000004d", 2), ("00000020", 2),
                                ("6d000000", 2), (None, 1)):
            dgram = bytes(40) if id_hex is None else (
                bytes.fromhex("00000002" + id_hex) + bytes(32))
            with self.subTest(id=id_hex or "all zero"):
                before = [udp_counters(d)["InDatagrams"] for d in self.daemons.values()]

                def flowed():
                    return sum(udp_counters(d)["InDatagrams"] - n
                               for d, n in zip(self.daemons.values(), before))
                self.send(self.attacker, "spoof", A, 49100, B, dgram.hex(), 1)
                deadline = time.monotonic() + 5
                while flowed() < flowing and time.monotonic() < deadline:
                    time.sleep(0.02)
                time.sleep(0.5)
                self.assertEqual(flowed(), flowing)

    def test_unreachable_senders_get_nothing_and_the_log_stays_short(self):
        before = sent_settled(self.daemons["b"])
        logged = len(self.stderr_of("b"))
        started = time.monotonic()
        self.send(self.attacker, "spoof", ATTACKER, 0, B, (b"\x6d" * 40).hex(), 2000)
        self.assertEqual(self.ask(B), 1)
        self.assertEqual(udp_counters(self.daemons["b"])["OutDatagrams"] - before, 1)
        self.assertEqual(self.stderr_of("b")[logged:], "")

        # A reply to the subnet's broadcast address fails in the kernel;
        # about one line a second may say so.
        self.send(self.attacker, "spoof", "10.80.0.255", 5000, B, (b"\x6d" * 40).hex(), 2000)
        self.assertEqual(self.ask(B), 1)
        lines = self.stderr_of("b")[logged:].splitlines()
        self.assertGreaterEqual(len(lines), 1)
        self.assertLessEqual(len(lines), time.monotonic() - started + 2)
        self.assertTrue(all(line.startswith("sendto(): Permission denied") for line in lines),
                        lines)

    def test_flood_leaves_the_daemon_answering(self):
        b = self.daemons["b"]
        self.send(self.attacker, "flood", B, 100)  # every path taken once
        self.assertEqual(self.ask(B), 1)
        hwm, before = vm_hwm_kib(b), udp_counters(b)

        flood = self.lan.spawn(self.attacker, [sys.executable, SENDER, "flood", B, "100000"],
                               seconds=120)
        answered, asked = self.ask_counting(B, 100)
        self.assertEqual(flood.wait(timeout=120), 0)
        self.assertEqual(answered, 100)
        self.assertIsNone(b.poll())
        if CHECK_MEMORY:
            # A page or so comes and goes with the allocator's own timing;
            # growth with the work done would be far more.
            self.assertLessEqual(vm_hwm_kib(b) - hwm, 32)

        after = udp_counters(b)
        got = {k: after[k] - before[k] for k in ("InDatagrams", "InErrors", "RcvbufErrors")}
        print(f"\nflood of 100000 datagrams and {asked} requests: {got}", file=sys.stderr)
        # Every datagram was taken by the daemon or counted as dropped.
        self.assertEqual(got["InDatagrams"] + got["InErrors"], 100000 + asked)
        self.assertEqual(got["InErrors"], got["RcvbufErrors"])

    def test_full_send_buffers_are_taken_in_turn_and_never_waited_on(self):
        # A queue on the board's link that lets a reply out every few dozen
        # milliseconds and keeps the rest, each charged meanwhile to the
        # socket that sent it. The host's address is fixed on the board, so
        # that no address resolution waits in the queue too.
        a = self.daemons["a"]
        mac = json.loads(lan.ip("-j", "link", "show", "eth0", ns=self.host))[0]["address"]
        lan.ip("neigh", "replace", HOST, "lladdr", mac, "dev", "eth0", "nud", "permanent",
               ns=a.ns)
        tc = ["tc", "-s", "qdisc", "show", "dev", "eth0"]
        self.lan.run(a.ns, ["tc", "qdisc", "add", "dev", "eth0", "root", "tbf", "rate", "8kbit",
                            "burst", "1600", "limit", "10000000"], check=True)
        try:
            logged = len(self.stderr_of("a"))
            # Asked from one port: about half of these fill that socket's
            # buffer, and the rest go to the others. None is lost.
            self.send(self.host, "poll", A, 0.001, 1)
            out = self.lan.run(a.ns, tc, text=True).stdout
            self.assertGreaterEqual(int(re.search(r"Sent \d+ bytes (\d+) pkt", out)[1]) +
                                    int(re.search(r"backlog \S+ (\d+)p", out)[1]), 1000)
            self.assertEqual(self.stderr_of("a")[logged:], "")
            # These fill every buffer: the rest are given up, and said so,
            # instead of waited on.
            self.send(self.host, "poll", A, 1 / 3000, 2)
            self.assertIn("sendto(): Resource temporarily unavailable",
                          self.stderr_of("a")[logged:])
        finally:
            self.lan.run(a.ns, ["tc", "qdisc", "del", "dev", "eth0", "root"])
            lan.ip("neigh", "del", HOST, "dev", "eth0", ns=a.ns)
        self.assertEqual(self.ask(A), 1)

    def test_a_batch_with_skipped_and_failed_datagrams(self):
        # Queued while the daemon is stopped, these are taken in one batch:
        # each answer must reach its own sender exactly once, past a
        # datagram that gets none and sends that fail. Sent to the subnet's
        # broadcast address, they all reach the first socket, from four
        # senders (daemon a answers them too); the host is known to the
        # board first, as a host that asked it before is.
        b = self.daemons["b"]
        self.assertEqual(self.ask(B), 1)
        time.sleep(1.1)  # the next failure gets a line of its own
        logged = len(self.stderr_of("b"))
        before = sent_settled(b)
        batch = self.lan.spawn(self.host, [sys.executable, SENDER, "batch", "10.80.0.255"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        os.kill(b.pid, signal.SIGSTOP)
        try:
            self.assertEqual(batch.stdout.readline(), b"queued\n")
            time.sleep(0.2)
        finally:
            os.kill(b.pid, signal.SIGCONT)
        out, _ = batch.communicate(b"go\n", timeout=30)
        self.assertEqual(out.decode().split(), ["reply", "none", "zeros", "reply"])
        self.assertEqual(udp_counters(b)["OutDatagrams"] - before, 3)

        # A second later, one more failure: its line counts the two held back.
        time.sleep(1.2)
        self.send(self.host, "spoof", "10.80.0.255", 5000, B, (b"\x6d" * 40).hex(), 1)
        deadline = time.monotonic() + 10
        while self.stderr_of("b")[logged:].count("\n") < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.stderr_of("b")[logged:].splitlines(), [
            "sendto(): Permission denied",
            "sendto(): Permission denied (2 more failed sends not shown)"])

    def test_answers_of_one_wake_up_reach_each_sender(self):
        # Queued while the daemon is stopped, to each of b's sockets (an
        # address each, and the broadcast one): the daemon then finds
        # datagrams on them all at once, and each answer must go to its own
        # sender, whatever the next socket's datagram overwrites.
        b = self.daemons["b"]
        self.assertEqual(self.ask(B), 1)
        code = ("import socket, sys, time\n"
                "socks = []\n"
                f"for dest in 4 * ['{B}', '{B2}', '10.80.0.255']:\n"
                "    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                "    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)\n"
                f"    s.sendto(bytes.fromhex('{wire.REQUEST.hex()}'), (dest, {wire.PORT}))\n"
                "    socks.append(s)\n"
                "print('queued', flush=True)\n"
                "sys.stdin.readline()\n"
                "time.sleep(1)\n"
                "for s in socks:\n"
                "    s.setblocking(False)\n"
                "    n = 0\n"
                "    try:\n"
                "        while True:\n"
                f"            n += s.recvfrom(64)[1][0] != '{A}'\n"
                "    except BlockingIOError:\n"
                "        print(n)\n")
        os.kill(b.pid, signal.SIGSTOP)
        try:
            p = self.lan.spawn(self.host, [sys.executable, "-c", code], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
            self.assertEqual(p.stdout.readline(), "queued\n")
            time.sleep(0.2)
        finally:
            os.kill(b.pid, signal.SIGCONT)
        out, _ = p.communicate("go\n", timeout=30)
        self.assertEqual(out.split(), ["1"] * 12)

    def test_a_newcomer_whose_first_datagram_is_no_request(self):
        # Only an answer that goes out takes the one-at-a-time turn of a
        # sender the board has not resolved: a stray datagram first must
        # not hold back the answer to the request that follows it.
        self.lan.run(self.daemons["a"].ns, ["ip", "neigh", "flush", "all"])
        ask = ("import socket\n"
               "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
               "s.settimeout(2)\n"
               f"s.sendto(bytes(39), ('{A}', {wire.PORT}))\n"
               f"s.sendto(bytes.fromhex('{wire.REQUEST.hex()}'), ('{A}', {wire.PORT}))\n"
               "print(s.recvfrom(64)[0].hex())\n")
        p = self.lan.run(self.host, [sys.executable, "-c", ask], text=True)
        self.assertEqual((p.stdout.strip(), p.stderr), (wire.REPLY.hex(), ""))

    def test_a_flooding_flow_waits_its_turn(self):
        # Queued while the daemon is stopped: one request from each of
        # eight ports, then two flows of 100. A socket is served at most
        # 32 requests in a row, so that every asker is answered before
        # the flows' 65th reply, wherever the kernel put each of them.
        b = self.daemons["b"]
        self.assertEqual(self.ask(B), 1)
        dropped = udp_counters(b)["RcvbufErrors"]
        os.kill(b.pid, signal.SIGSTOP)
        try:
            turns = self.lan.spawn(self.host, [sys.executable, SENDER, "turns", B, "8", "2",
                                               "100"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE)
            self.assertEqual(turns.stdout.readline(), b"queued\n")
            time.sleep(0.2)
        finally:
            os.kill(b.pid, signal.SIGCONT)
        out, _ = turns.communicate(b"go\n", timeout=30)
        before, askers, flows = map(int, out.split())
        self.assertEqual(askers, 8)
        self.assertLessEqual(before, 2 * 32, f"{flows} flow requests answered")
        # A socket left with datagrams at its turn's end is served again
        # though nothing new comes to it: every request the kernel kept is
        # answered.
        dropped = udp_counters(b)["RcvbufErrors"] - dropped
        self.assertEqual(flows + dropped, 2 * 100)

    def test_an_idle_board_sleeps_through_its_neighbours_traffic(self):
        # Two peers forget the board and send to other ports of it, the
        # board forgets them, again and again, and address queries for the
        # board come from new addresses 2000 times a second: its neighbour
        # table changes all the time, and nothing of that wakes the daemon;
        # nor do 96 route changes in a table it does not follow.
        a = self.daemons["a"]
        tid = service_thread(a)
        before = switches(a, tid)
        lan.ip(ns=a.ns, stdin="".join(f"route {op} 10.201.{i}.0/24 dev eth0 table 100\n"
                                      for op in ("add", "del") for i in range(48)))
        peers = [self.lan.spawn(ns, [sys.executable, SENDER, *cmd], 60)
                 for ns, cmd in ((self.host, ["chatter", A, "1"]),
                                 (self.attacker, ["chatter", A, "1"]),
                                 (self.attacker, ["arp", A, "2000", "1"]))]
        for _ in range(10):
            self.lan.run(a.ns, ["ip", "neigh", "flush", "all"])
            time.sleep(0.1)
        self.assertEqual([p.wait(timeout=60) for p in peers], [0, 0, 0])
        self.assertEqual(switches(a, tid) - before, 0)

    @unittest.skipIf(len(TARVO) > 1, "the emulator holds nobody")
    def test_lost_route_changes_are_read_again(self):
        # Half the subnet is reached through a router (daemon a), so its
        # senders are never held. Twice, 0.1 s apart, while the daemon is
        # stopped, 5000 routes overflow its rtnetlink buffer; the change
        # that matters comes after the second: that route is gone. All the
        # while a host asks up to 2000 times a second, so the daemon never waits
        # long. It must say so once, read the tables again within about a
        # second of the second loss, and then hold a forged sender there as
        # any other. (The 5000 come and go in turn: more than 256 routes at
        # once would make the daemon hold nobody.)
        b = self.daemons["b"]
        routes = "".join(f"route {how} 10.201.0.{i % 250 + 1}/32 dev eth0\n"
                         for i in range(2500) for how in ("add", "del"))
        far = f"route del 10.80.0.128/25 via {A}\n"
        lan.ip("route", "add", "10.80.0.128/25", "via", A, ns=b.ns)
        logged = len(self.stderr_of("b"))
        before = sent_settled(b)
        host_udp = self.host_udp()
        stream = self.lan.spawn(self.host, [sys.executable, SENDER, "poll", B, "0.0005", "4"], 60,
                                stdout=subprocess.PIPE, text=True)
        start = time.monotonic()
        time.sleep(0.2)
        for changes in (routes, routes + far):
            os.kill(b.pid, signal.SIGSTOP)
            try:
                lan.ip(ns=b.ns, stdin=changes)
            finally:
                os.kill(b.pid, signal.SIGCONT)
            lost = time.monotonic()
            time.sleep(0.1)
        # Past the second since the last loss (and since the first, which
        # a slow daemon may not have read before the second came), with
        # time to read the tables, the stream still running.
        time.sleep(max(0.0, start + 2.0 - time.monotonic(), lost + 1.6 - time.monotonic()))
        self.send(self.attacker, "spoof", "10.80.0.200", 5000, B, wire.REQUEST.hex(), 20)
        out, _ = stream.communicate(timeout=60)
        self.assertEqual(stream.returncode, 0)
        # Answers the stream's socket had no room for were sent all the
        # same.
        answered = (int(out.split()[0]) + self.host_udp()["RcvbufErrors"]
                    - host_udp["RcvbufErrors"])
        time.sleep(0.2)
        self.assertEqual(udp_counters(b)["OutDatagrams"] - before - answered, 1)
        self.assertEqual(self.stderr_of("b")[logged:],
                         "rtnetlink: No buffer space available; tables read again\n")

    @unittest.skipIf(len(TARVO) > 1, "the emulator holds nobody")
    def test_too_many_routes_hold_nobody_until_they_fit(self):
        # Past 256 routes the daemon cannot tell whom to hold, holds nobody
        # and says so; once the routes are gone it reads them again, says
        # that they fit, and holds a forged sender as before.
        b = self.daemons["b"]
        logged = len(self.stderr_of("b"))
        routes = [f"10.203.{i // 250}.{i % 250}/32 dev eth0" for i in range(300)]

        def said(line):
            deadline = time.monotonic() + 10
            while line not in self.stderr_of("b")[logged:] and time.monotonic() < deadline:
                time.sleep(0.05)
            return self.stderr_of("b")[logged:]
        lan.ip(ns=b.ns, stdin="".join(f"route add {r}\n" for r in routes))
        self.assertIn("rtnetlink: more than 256 routes; nobody is held until they fit\n",
                      said("more than 256"))
        lan.ip(ns=b.ns, stdin="".join(f"route del {r}\n" for r in routes))
        self.assertIn("rtnetlink: the routes fit again; holds as before\n", said("fit again"))
        self.assertEqual(self.ask(B), 1)
        before = sent_settled(b)
        self.send(self.attacker, "spoof", "10.80.0.201", 5000, B, wire.REQUEST.hex(), 20)
        time.sleep(0.5)
        self.assertEqual(udp_counters(b)["OutDatagrams"] - before, 1)

    def test_listens_on_every_address(self):
        # And answers from the address asked: a second one on the link, and
        # one on another link.
        for dest in (B, B2, B3):
            with self.subTest(dest=dest):
                self.assertEqual(self.ask(dest), 1)


class SpoofedSources(unittest.TestCase):
    """A LAN host forges requests from on-link addresses that no host
    holds: each answer waits seconds for address resolution, charged to
    the daemon's send buffers. A real host must still be answered, and so
    must a newcomer that asks by broadcast, whose address the board has
    yet to resolve."""

    SECONDS, INTERVAL = 3, 0.04
    # Corners of what an attacker may choose: a new address for each
    # request, a few addresses asked again and again (which fill every
    # send buffer without care), and many. The neighbour table is the
    # whole machine's: at most a few hundred forged addresses are in it at
    # once, and the board forgets them between cases. A new address
    # each at thousands a second overflows it, where a newcomer then finds
    # no room with any responder alike (scripts/bench shows it): here it
    # comes at 100 a second, and only the known host is asked.
    SHAPES = [(0, 100), (16, 3000), (200, 3000)]
    # qemu-user does not carry rtnetlink's neighbour messages: under it
    # the daemon hears nothing from the kernel and answers every request,
    # as it does without rtnetlink. The board's own kernel carries them.
    if len(TARVO) > 1:
        SHAPES = SHAPES[:1]

    @classmethod
    def setUpClass(cls):
        cls.enterClassContext(lan.default_socket_buffers())
        cls.lan = lan.Lan()
        cls.addClassCleanup(cls.lan.close)
        cls.host = cls.lan.node("host", "10.82.0.9/16")
        cls.attacker = cls.lan.node("attacker", "10.82.0.66/16")
        board = cls.lan.node("board", "10.82.0.1/16")
        cls.daemon = cls.lan.spawn(board, harness.NOBODY + TARVO)
        cls.lan.wait_bound([cls.daemon])

    def poll(self, dest, ns=None):
        p = self.lan.run(ns or self.host, [sys.executable, SENDER, "poll", dest,
                                           str(self.INTERVAL), str(self.SECONDS)], text=True)
        self.assertEqual(p.returncode, 0, p.stderr)
        return tuple(map(int, p.stdout.split()))

    def test_a_real_host_and_a_newcomer_are_still_answered(self):
        # Each case starts and ends with the board's neighbours forgotten,
        # so that the forged ones leave the machine's table.
        forget = ["ip", "neigh", "flush", "all"]
        self.addCleanup(self.lan.run, self.board_ns(), forget)
        for count, rate in self.SHAPES:
            for dest in ("10.82.0.1", "10.82.255.255")[:1 if count == 0 else 2]:
                with self.subTest(addresses=count or "new", rate=rate, dest=dest):
                    # The board forgets every neighbour, forged ones too;
                    # a host that asks directly has asked once before.
                    self.lan.run(self.board_ns(), forget)
                    if dest == "10.82.0.1":
                        self.lan.run(self.host, [sys.executable, SENDER, "ask", dest, "1"])
                    attack = self.lan.spawn(self.attacker, [
                        sys.executable, SENDER, "sources", "10.82", "10.82.0.1", str(rate),
                        str(self.SECONDS), str(count)], 60)
                    answered, asked = self.poll(dest)
                    self.assertEqual(attack.wait(timeout=60), 0)
                    print(f"\n{rate} forged requests a second from "
                          f"{count or 'a new address each'}{' addresses' if count else ''}, "
                          f"asked {'by broadcast' if dest.endswith('255') else 'directly'}: "
                          f"{answered} of {asked} answered", file=sys.stderr)
                    self.assertGreaterEqual(answered, 0.95 * asked)
                    self.assertIsNone(self.daemon.poll())

    @unittest.skipIf(len(TARVO) > 1, "the emulator holds nobody")
    def test_address_queries_first_change_nothing(self):
        # 352 address queries for the board from senders off its subnet,
        # then 21 forged on-link addresses at 5000/s: no neighbour the
        # kernel notes takes the room the forged ones need.
        self.lan.run(self.host, [sys.executable, SENDER, "ask", "10.82.0.1", "1"])
        self.lan.run(self.attacker, [sys.executable, SENDER, "arp", "10.82.0.1", "1000", "0.352",
                                     "10.99.0"], check=True)
        attack = self.lan.spawn(self.attacker, [
            sys.executable, SENDER, "sources", "10.82", "10.82.0.1", "5000", str(self.SECONDS),
            "21"], 60)
        answered, asked = self.poll("10.82.0.1")
        self.assertEqual(attack.wait(timeout=60), 0)
        self.assertGreaterEqual(answered, 0.95 * asked)

    def test_holds_follow_the_kernels_routes(self):
        # A board that holds a /32 and routes its link's /16 to eth0 holds
        # forged senders as the /16 board does. A host inside the board's
        # prefix that the board reaches through a router is never held:
        # the board resolves the router, never the host.
        alone = self.lan.node("alone", "10.82.0.2/32")
        lan.ip("route", "add", "10.82.0.0/16", "dev", "eth0", ns=alone)
        self.lan.wait_bound([self.lan.spawn(alone, harness.NOBODY + TARVO)])
        router = self.lan.node("router", "10.82.0.7/16")
        self.lan.sysctl(router, {"net.ipv4.ip_forward": 1, "net.ipv4.conf.all.send_redirects": 0,
                                 "net.ipv4.conf.eth0.send_redirects": 0})
        # The router carries both ways, so that the board never hears the
        # host itself, not even its address queries.
        behind = self.lan.node("behind", "10.82.200.9/24")
        lan.ip("route", "add", "10.82.0.0/16", "via", "10.82.0.7", "dev", "eth0", "onlink",
               ns=behind)
        route = ["route", "add", "10.82.200.0/24", "via", "10.82.0.7"]
        lan.ip(*route, ns=self.board_ns())
        self.addCleanup(lan.ip, "route", "del", *route[2:], ns=self.board_ns())
        self.lan.run(self.host, [sys.executable, SENDER, "ask", "10.82.0.2", "1"])
        attack = self.lan.spawn(self.attacker, [
            sys.executable, SENDER, "sources", "10.82", "10.82.0.2", "3000", str(self.SECONDS),
            "16"], 60)
        cases = [("known host of the /32 board", self.host, "10.82.0.2"),
                 ("host behind a router", behind, "10.82.0.1")]
        for who, ns, dest in cases[len(self.SHAPES) == 1:]:  # the emulator holds nobody
            with self.subTest(who=who):
                answered, asked = self.poll(dest, ns)
                self.assertGreaterEqual(answered, 0.95 * asked, who)
        self.assertEqual(attack.wait(timeout=60), 0)

    def board_ns(self):
        return self.daemon.ns


if __name__ == "__main__":
    harness.main(PROBLEM, "hostile-network tests")
