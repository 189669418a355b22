"""The board package on the emulated Zynq-7000 board running Debian 12 with
systemd as PID 1, through its life as a Debian maintainer tests it:
install, reinstall, upgrade, the port held at start, remove, purge. The
board sits on a LAN of namespaces, where the host finds it by broadcast."""

import json
import os
import sys
import tempfile
import unittest

from testbed import board, harness, lan, prometheus, sender

HERE = os.path.dirname(os.path.abspath(__file__))

# The board's build tree (to package) and the host's finder.
ARGS = harness.options("build", "finder")

ADDR = "10.79.1.60"
SENDER = sender.__file__
# Everything of the package, wherever it may be left; the console's own
# files are the board's.
LEFTOVERS = ("find / -xdev \\( -path /proc -o -path /sys -o -path /run -o -path /root "
             "-o -path /var/log \\) -prune -o \\( -name '*tarvo*' -o -name 'corvane-board*' "
             "-o -name 'corvane-vomo*' \\) "
             "-print")


def packages(work):
    """The board package as built, and the same as a newer version."""
    deb = board.package(ARGS.build, work)
    tree = os.path.join(work, "newer")
    harness.run(["dpkg-deb", "-R", deb, tree], 120)
    control = os.path.join(tree, "DEBIAN", "control")
    with open(control) as f:
        fields = f.read()
    version = next(line.split()[1] for line in fields.splitlines()
                   if line.startswith("Version:"))
    newer = version.rsplit("-", 1)[0] + "-99"
    with open(control, "w") as f:
        f.write(fields.replace(f"Version: {version}", f"Version: {newer}"))
    newer_deb = os.path.join(work, "corvane-board-newer.deb")
    harness.run(["dpkg-deb", "--root-owner-group", "-b", tree, newer_deb], 120)
    return deb, newer_deb, newer


@harness.can_run(lan.unavailable() or harness.built(ARGS.finder, "corvane-find"))
class DebianBoard(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        work = tempfile.TemporaryDirectory()
        cls.addClassCleanup(work.cleanup)
        deb, newer, cls.newer_version = packages(work.name)
        rootfs = os.path.join(work.name, "rootfs.img")
        kernel_dir = board.debian_images(rootfs, {"/root/corvane-board.deb": deb,
                                                  "/root/corvane-board-newer.deb": newer})
        cls.lan = lan.Lan()
        cls.addClassCleanup(cls.lan.close)
        cls.host = cls.lan.host("host", {"eth0": "10.79.1.1/24"})
        cls.lan.tap("tap0")
        cls.board = board.boot(kernel_dir, rootfs=rootfs, tap=(cls.lan.switch, "tap0",
                                                               ADDR + "/24"))
        cls.addClassCleanup(cls.board.stop)
        cls.before = cls.sh(LEFTOVERS)

    @classmethod
    def sh(cls, command, seconds=300):
        status, out = cls.board.run(command, seconds)
        if status != 0:
            raise AssertionError(f"board: {command}: status {status}: {out}")
        return out

    def state(self):
        """(is-active, is-enabled) of tarvo.service."""
        return tuple(self.board.run(f"systemctl {what} tarvo.service")[1][0]
                     for what in ("is-active", "is-enabled"))

    def wait_active(self):
        self.sh(board.until(board.TARVO_RUNNING))
        return self.sh("systemctl show -p MainPID --value tarvo.service")[0]

    def find(self):
        p = self.lan.run(self.host, [ARGS.finder, "--json", "-n", "1", "-t", "60"], text=True,
                         timeout=120)
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        return [(b["address"], b["port"], b["proto_ver"], b["interface"])
                for b in json.loads(p.stdout)]

    def test_1_install_enables_and_starts_it_hardened(self):
        self.assertEqual(self.before, [])
        self.sh("dpkg -i /root/corvane-board.deb >/tmp/dpkg.log 2>&1")
        pid = self.wait_active()
        self.assertEqual(self.state(), ("active", "enabled"))
        status = dict(line.split(":", 1) for line in
                      self.sh(f"cat /proc/{pid}/status") if ":" in line)
        uid = int(status["Uid"].split()[0])
        self.assertNotEqual(uid, 0)
        self.assertEqual((status["NoNewPrivs"].strip(), status["Seccomp"].strip()), ("1", "2"))
        self.assertEqual(self.sh(f"id -nu {uid}"), ["tarvo"])  # a dynamic user
        # Its limits, as the kernel applies them, and the port it alone may
        # bind, which systemd applies without a word of complaint.
        cgroup = "/sys/fs/cgroup/system.slice/tarvo.service"
        self.assertEqual(self.sh(f"cat {cgroup}/pids.max {cgroup}/memory.max"),
                         ["8", str(32 << 20)])
        # (systemd 252 shows udp:49100 as "udp49100".)
        self.assertEqual([line.replace("udp:", "udp") for line in
                          self.sh("systemctl show -p SocketBindAllow -p SocketBindDeny tarvo")],
                         ["SocketBindAllow=udp49100", "SocketBindDeny=any"])
        self.assertEqual(self.board.run("journalctl -b -o cat -u tarvo.service | grep -i 'socketbind\\|bpf'")[1],
                         [])
        self.assertEqual(self.find(), [(ADDR, 49100, 2, "eth0")])
        # The unit lets it have its rtnetlink socket, in the groups of
        # links and IPv4 routes.
        self.assertEqual(self.sh(f"awk '$2 == 0 && $3 == {pid} {{ print $4 }}' /proc/net/netlink"),
                         ["00000041"])

        # A reply the kernel refuses: its line reaches the journal.
        p = self.lan.run(self.host, [sys.executable, SENDER, "spoof", "10.79.1.255", "5000", ADDR,
                                     (b"\x6d" * 40).hex(), "1"], text=True)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.sh(board.until("journalctl -u tarvo.service -o cat | "
                            "grep -q '^sendto(): Permission denied'"))

    def test_2_vomo_as_a_user_and_its_readings_for_prometheus(self):
        self.board.set_counts(devmem="busybox devmem")
        with open(os.path.join(HERE, "..", "analog_monitor", "zynq7000.report")) as f:
            report = f.read().splitlines()
        self.assertEqual(self.sh("setpriv --reuid=1000 --regid=1000 --init-groups vomo"), report)
        # The readings' timer runs from installation on; its service, as
        # hardened as systemd can tell, writes where the node exporter's
        # textfile collector reads, once that directory is there.
        timer = "corvane-vomo-metrics.timer"
        self.assertEqual([self.board.run(f"systemctl {what} {timer}")[1][0]
                          for what in ("is-active", "is-enabled")], ["active", "enabled"])
        exposure = self.sh("systemd-analyze security --no-pager corvane-vomo-metrics.service | "
                           "tail -n 1")[0]
        self.assertLessEqual(float(exposure.split(":")[1].split()[0]), 1.5, exposure)
        prom = "/var/lib/prometheus/node-exporter/corvane-vomo.prom"
        self.sh(f"mkdir -p {prom.rsplit('/', 1)[0]} && "
                "systemctl start corvane-vomo-metrics.service")
        temp = next(line.split()[2] for line in report if line.startswith("in_temp0_raw"))
        self.assertIn(f"corvane_die_temperature_celsius {temp}", self.sh(f"cat {prom}"))
        # Debian's node exporter serves it to a real Prometheus on the host,
        # which knows the board only from the watch's file.
        self.sh("systemctl start prometheus-node-exporter && " +
                board.until("grep -qE ':238C [0-9A-F]+:0000 0A' /proc/net/tcp6 /proc/net/tcp"))
        got = prometheus.query(self.lan, self.host, ARGS.finder,
                               "corvane_die_temperature_celsius",
                               lambda got: float(temp) in got.values())
        self.assertEqual(got, {f"{ADDR}:9100": float(temp)})

    def test_3_reinstall_and_upgrade_restart_it(self):
        for deb, version in (("corvane-board.deb", None),
                             ("corvane-board-newer.deb", self.newer_version)):
            with self.subTest(deb=deb):
                before = self.wait_active()
                self.sh(f"dpkg -i /root/{deb} >/tmp/dpkg.log 2>&1")
                self.assertNotEqual(self.wait_active(), before)
                self.assertEqual(self.state(), ("active", "enabled"))
                if version:
                    self.assertEqual(self.sh("dpkg-query -W -f='${Version}\\n' corvane-board"),
                                     [version])
        self.assertEqual(self.find(), [(ADDR, 49100, 2, "eth0")])

    def test_4_port_held_at_start(self):
        # Restarts are spaced by the unit's 5 s on the board's own clock.
        self.sh("systemctl stop tarvo.service; "
                "/usr/sbin/tarvo >/dev/null 2>&1 & echo $! >/tmp/holder")
        self.sh("systemctl start tarvo.service || true")
        out = self.sh("cut -d' ' -f1 /proc/uptime; systemctl show -p NRestarts --value tarvo; "
                      "sleep 16; "
                      "cut -d' ' -f1 /proc/uptime; systemctl show -p NRestarts --value tarvo")
        t0, n0, t1, n1 = float(out[0]), int(out[1]), float(out[2]), int(out[3])
        self.assertGreaterEqual(n1 - n0, 1)
        self.assertLessEqual(n1 - n0, (t1 - t0) / 5 + 1)
        self.sh("kill $(cat /tmp/holder)")
        self.wait_active()
        self.assertEqual(self.find(), [(ADDR, 49100, 2, "eth0")])

    def test_5_remove_stops_it(self):
        self.sh("dpkg -r corvane-board >/tmp/dpkg.log 2>&1")
        # Masked, so that nothing starts a daemon whose program is gone.
        self.assertEqual(self.state(), ("inactive", "masked"))
        self.assertEqual(self.board.run("pidof tarvo")[0], 1)
        self.assertEqual(self.board.run("systemctl is-active corvane-vomo-metrics.timer")[1],
                         ["inactive"])

    def test_6_purge_leaves_nothing(self):
        self.sh("dpkg -P corvane-board >/tmp/dpkg.log 2>&1")
        self.assertEqual(self.sh(LEFTOVERS), [])
        self.assertNotEqual(self.board.run("dpkg-query -W corvane-board")[0], 0)


if __name__ == "__main__":
    harness.main()
