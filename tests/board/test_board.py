"""Both programs on the emulated Zynq-7000 board, under the real kernel
driver of the SoC's analog monitor."""

import json
import os
import tempfile
import unittest

from testbed import board, harness, lan
from testbed.wire import REPLY, REQUEST, request

HERE = os.path.dirname(os.path.abspath(__file__))

# The board's programs and build tree (to package), and the host's finder.
ARGS = harness.options("tarvo", "vomo", "init-script", "build", "finder")

DEVICE = "/sys/bus/iio/devices/iio:device0"


IMAGES = {}
LAN_PROBLEM = lan.unavailable() or harness.built(ARGS.finder, "corvane-find")


def setUpModule():
    work = tempfile.TemporaryDirectory()
    unittest.addModuleCleanup(work.cleanup)
    deb = board.package(ARGS.build, work.name)
    IMAGES["initramfs"] = os.path.join(work.name, "initramfs.gz")
    IMAGES["kernel_dir"] = board.images(ARGS.tarvo, ARGS.vomo, ARGS.init_script,
                                        IMAGES["initramfs"], {"/root/corvane-board.deb": deb})


class Board(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.board = board.boot(**IMAGES)
        cls.addClassCleanup(cls.board.stop)
        cls.board.set_counts()
        with open(os.path.join(HERE, "..", "analog_monitor", "zynq7000.report")) as f:
            cls.report = f.read().splitlines()

    def test_report_as_root_and_as_user(self):
        self.assertEqual(self.board.run("vomo"), (0, self.report))
        status, out = self.board.run("su board -c 'id -u; vomo'")
        self.assertEqual((status, out), (0, ["1000"] + self.report))

    def test_report_agrees_with_driver_scaling(self):
        status, out = self.board.run(
            f"cd {DEVICE} && for f in in_*_raw in_*_scale in_*_offset; "
            "do echo \"$f $(cat $f)\"; done; cd /")
        self.assertEqual(status, 0, out)
        attr = dict(line.split(" ", 1) for line in out)
        self.assertEqual([int(attr[f"in_{n}_raw"]) for n in self.channels()],
                         [count for _, _, count in board.COUNTS])
        for line in self.report:
            name, _, value, unit = line.split()
            base = name[:-len("raw")]
            raw, scale = int(attr[name]), float(attr[base + "scale"])
            if unit == "cent":
                driver = (raw + int(attr[base + "offset"])) * scale / 1000
                one_count = scale / 1000
            else:
                driver, one_count = raw * scale, scale
            with self.subTest(channel=name):
                self.assertLessEqual(abs(float(value) - driver), one_count)

    def channels(self):
        return [line.split()[0][len("in_"):-len("_raw")] for line in self.report]

    def test_tarvo_on_the_wire(self):
        got = self.board.ask(REQUEST)
        self.assertIsNotNone(got, "no discovery reply")
        self.assertEqual(got, (REPLY, ("127.0.0.1", self.board.port)))

        unknown = request(id_bytes=b"\0\0\0\x4d")
        self.assertEqual(self.board.ask(unknown, tries=5)[0], bytes(40))

        # Neither is answered: the first reply is the discovery reply's,
        # and nothing follows it.
        for ignored in (bytes(40), REQUEST + b"\0"):
            reply = self.board.ask_after(ignored, REQUEST)
            self.assertEqual(reply, [REPLY])

        status, out = self.board.run("grep -E '^(Uid|Threads)' /proc/$(cat /var/run/tarvo.pid)/status")
        # Its own user, as the board package makes it.
        self.assertEqual((status, out), (0, ["Uid:\t101\t101\t101\t101", "Threads:\t2"]))

    def test_init_script(self):
        # Restarted under the same pid file, and still answering.
        self.assertEqual(self.board.run("/etc/init.d/S50tarvo restart"),
                         (0, ["Stopping tarvo: OK", "Starting tarvo: OK"]))
        self.assertEqual(self.board.ask(REQUEST)[0], REPLY)
        self.assertEqual(self.board.run("/etc/init.d/S50tarvo bogus")[0], 1)

        # With the port held by another process, tarvo ends at once and
        # start says so; once the port is free it starts again.
        self.assertEqual(self.board.run("/etc/init.d/S50tarvo stop"), (0, ["Stopping tarvo: OK"]))
        self.board.run("tarvo & echo $! >/tmp/holder")
        status, out = self.board.run("/etc/init.d/S50tarvo start")
        self.assertEqual((status != 0, out), (True, ["Starting tarvo: FAIL"]))
        self.board.run("kill $(cat /tmp/holder)")
        self.assertEqual(self.board.run("/etc/init.d/S50tarvo start"), (0, ["Starting tarvo: OK"]))
        self.assertEqual(self.board.ask(REQUEST)[0], REPLY)

        # A pid file left behind, naming another process by now: stop
        # leaves that process alone, says tarvo is stopped, and removes the
        # file.
        self.assertEqual(self.board.run("/etc/init.d/S50tarvo stop"), (0, ["Stopping tarvo: OK"]))
        self.board.run("sleep 600 & echo $! >/var/run/tarvo.pid")
        self.assertEqual(self.board.run("/etc/init.d/S50tarvo stop"), (0, ["Stopping tarvo: OK"]))
        self.assertEqual(self.board.run("test -e /var/run/tarvo.pid || echo gone; "
                                        "kill -0 $(pidof sleep) && "
                                        "echo alive"), (0, ["gone", "alive"]))
        self.board.run("kill $(pidof sleep)")
        self.assertEqual(self.board.run("/etc/init.d/S50tarvo start"), (0, ["Starting tarvo: OK"]))

    def test_init_script_makes_its_user_and_logs(self):
        # A board staged without the package has no user tarvo: the
        # script makes one (this BusyBox has no adduser) and runs tarvo as
        # it, and what tarvo says reaches the system log. Where the user
        # cannot be made, it refuses to run tarvo as root.
        run = self.board.run
        self.assertEqual(run("/etc/init.d/S50tarvo stop")[0], 0)
        self.addCleanup(run, "umount /etc/passwd 2>/dev/null; killall syslogd; "
                             "kill $(cat /tmp/holder) 2>/dev/null; "
                             "cp /tmp/passwd /etc/passwd; cp /tmp/group /etc/group; "
                             "/etc/init.d/S50tarvo start")
        forget = "sed -i '/^tarvo:/d' /etc/passwd /etc/group"
        run(f"cp /etc/passwd /tmp/passwd; cp /etc/group /tmp/group; {forget}; "
            "syslogd -O /tmp/messages")
        self.assertEqual(run("/etc/init.d/S50tarvo start"), (0, ["Starting tarvo: OK"]))
        status, out = run("id -u tarvo; awk '/^Uid:/ { print $2 }' "
                          "/proc/$(cat /var/run/tarvo.pid)/status")
        self.assertEqual((status, len(set(out)), out[0] != "0"), (0, 1, True), out)

        run("/etc/init.d/S50tarvo stop; tarvo & echo $! >/tmp/holder")
        self.assertEqual(run("/etc/init.d/S50tarvo start"), (1, ["Starting tarvo: FAIL"]))
        run("kill $(cat /tmp/holder)")
        self.assertEqual(run("grep -c 'tarvo: bind(): Address already in use' /tmp/messages"),
                         (0, ["1"]))

        run(f"/etc/init.d/S50tarvo stop; {forget}; "
            "mount --bind /etc/passwd /etc/passwd && mount -o remount,ro,bind /etc/passwd")
        self.assertEqual(run("/etc/init.d/S50tarvo start"), (1, [
            "Starting tarvo: FAIL", "/etc/init.d/S50tarvo: no user tarvo, and none could be "
            "made; tarvo is not run as root"]))

    def test_timer_interrupt_is_a_level(self):
        # An edge lost while the host holds the emulator back stops the
        # board's clock for good; a level is signalled until it is served.
        status, out = self.board.run("grep -w gt /proc/interrupts")
        self.assertEqual(status, 0)
        self.assertIn("Level", out[0].split())

    def test_package_installs_without_systemd(self):
        # BusyBox's dpkg runs the maintainer scripts, which find neither
        # systemd nor its helpers.
        self.assertEqual(self.board.run("/etc/init.d/S50tarvo stop")[0], 0)
        self.addCleanup(self.board.run, "/etc/init.d/S50tarvo start")
        self.assertEqual(self.board.run("mkdir -p /var/lib/dpkg/info && "
                                        "touch /var/lib/dpkg/status && "
                                        "dpkg -i /root/corvane-board.deb >/dev/null")[0], 0)
        self.assertEqual(self.board.run("awk '/^Package: corvane-board$/,/^$/' "
                                        "/var/lib/dpkg/status | grep '^Status:'"),
                         (0, ["Status: install ok installed"]))


@harness.can_run(LAN_PROBLEM)
class BoardOnLan(unittest.TestCase):
    """The board on a LAN of namespaces through a tap device, with an
    address given at boot, found by the host's broadcast."""

    def test_found_by_broadcast(self):
        bed = lan.Lan()
        self.addCleanup(bed.close)
        host = bed.host("host", {"eth0": "10.79.0.1/24"})
        bed.tap("tap0")
        on_lan = board.boot(**IMAGES, tap=(bed.switch, "tap0", "10.79.0.50/24"))
        self.addCleanup(on_lan.stop)
        p = bed.run(host, [ARGS.finder, "--json", "-t", "10", "-n", "1"], text=True)
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        self.assertEqual([(b["address"], b["port"], b["proto_ver"], b["interface"])
                          for b in json.loads(p.stdout)], [("10.79.0.50", 49100, 2, "eth0")])


if __name__ == "__main__":
    harness.main()
