"""The real tarvo executable, met over loopback as a host meets it."""

import errno
import socket
import subprocess
import sys
import tempfile
import unittest

from testbed import harness
from testbed.wire import PORT, REPLY, request


harness.in_own_network(sys.argv)
TARVO = harness.program()
DEST = ("127.0.0.1", PORT)


def port_holder_message():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind(("0.0.0.0", PORT))
    except OSError as e:
        if e.errno == errno.EADDRINUSE:
            return (f"UDP port {PORT} is already held by another process "
                    f"(see: ss -ulpn 'sport = :{PORT}'); stop it and run again")
        raise
    finally:
        s.close()
    return None


class Tarvo(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        held = port_holder_message()
        if held:
            raise RuntimeError(held)
        cls.out = tempfile.TemporaryFile()
        cls.err = tempfile.TemporaryFile()
        cls.daemon = harness.spawn(TARVO, 150, stdout=cls.out, stderr=cls.err)
        cls.addClassCleanup(harness.stop, cls.daemon)
        with harness.udp_socket(timeout=0.2) as s:
            # Bounded: 50 tries of 0.2 s while the daemon binds its port.
            got = harness.exchange(s, request(), DEST, tries=50)
        if got is None:
            raise RuntimeError("tarvo did not answer within 10 s")

    @classmethod
    def tearDownClass(cls):
        alive = cls.daemon.poll() is None
        harness.stop(cls.daemon)
        cls.out.seek(0)
        cls.err.seek(0)
        out, err = cls.out.read(), cls.err.read()
        if not alive or out or err:
            raise AssertionError(f"daemon alive={alive} stdout={out!r} stderr={err!r}")

    def ask(self, dgram, sock=None):
        with harness.udp_socket() as s:
            return harness.exchange(sock or s, dgram, DEST, tries=3)

    def test_discovery_reply_is_fixed(self):
        for ver, seq, rest in [(b"\0\0\0\2", b"\0\0\0\0", bytes(28)),
                               (b"\0\0\0\7", b"\x12\x34\x56\x78", b"\xff" * 28),
                               (b"\0\0\0\0", b"\xff" * 4, bytes(range(28)))]:
            reply, source = self.ask(request(proto_ver=ver, seq=seq, rest=rest))
            self.assertEqual(reply, REPLY)
            self.assertEqual(source, DEST)

    def test_each_sender_answered_at_its_own_address(self):
        with harness.udp_socket("127.0.0.1") as a, harness.udp_socket("127.0.0.2") as b:
            a.sendto(request(), DEST)
            b.sendto(request(), DEST)
            for s in (a, b):
                reply, source = s.recvfrom(4096)
                self.assertEqual((reply, source), (REPLY, DEST))

    def test_other_ids_get_forty_zero_bytes(self):
        for id_bytes in (b"\0\0\0\x4d", b"\0\0\0\x20", b"\x6d\0\0\0", b"\0\0\0\0"):
            with self.subTest(id=id_bytes.hex()):
                reply, _ = self.ask(request(id_bytes=id_bytes, proto_ver=b"\0\0\0\1"))
                self.assertEqual(reply, bytes(40))

    def test_unanswered_datagrams(self):
        # The daemon handles datagrams in order, so if any of these were
        # answered, that answer would arrive before the discovery reply.
        silent = [bytes(40)] + [b"\x6d" * n for n in (0, 36, 39, 41, 1471, 1472, 2000)]
        silent.append(request() + b"\0")
        with harness.udp_socket(timeout=2) as s:
            for d in silent:
                s.sendto(d, DEST)
            s.sendto(request(), DEST)
            reply, _ = s.recvfrom(4096)
            self.assertEqual(reply, REPLY)
            s.settimeout(0.3)
            self.assertRaises(socket.timeout, s.recvfrom, 4096)

    def test_second_daemon_cannot_bind(self):
        second = harness.spawn(TARVO, 30, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            out, err = second.communicate(timeout=20)
        finally:
            harness.stop(second)
        self.assertEqual(second.returncode, 1)
        self.assertEqual(err, b"bind(): Address already in use\n")
        self.assertEqual(out, b"")
        self.assertIsNone(self.daemon.poll())


if __name__ == "__main__":
    harness.main()
