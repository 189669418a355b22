"""The board package on the emulated Zynq-7000 board running Debian 12 with
systemd as PID 1, through its life as a Debian maintainer tests it:
install, reinstall, upgrade, the port held at start, remove, purge. The
board sits on a LAN of namespaces, where the host finds it by broadcast.
Then the host's own packages, built for the board: the watch for
Prometheus as a service there, enabled, restarted, disabled and purged."""

import json
import os
import sys
import tempfile
import unittest

from testbed import board, harness, lan, prometheus, sender

HERE = os.path.dirname(os.path.abspath(__file__))

# The board's build tree (to package), the source (for the host's packages
# built for the board) and the host's finder.
ARGS = harness.options("build", "source", "finder")
# A board for the board's watch to find: tarvo built for the build machine,
# beside the finder.
HOST_TARVO = os.path.join(os.path.dirname(os.path.dirname(ARGS.finder)), "discovery_daemon",
                          "tarvo")

ADDR = "10.79.1.60"
SENDER = sender.__file__
# Everything of the package, wherever it may be left; the console's own
# files are the board's.
LEFTOVERS = ("find / -xdev \\( -path /proc -o -path /sys -o -path /run -o -path /root "
             "-o -path /var/log \\) -prune -o \\( -name '*tarvo*' -o -name 'corvane-board*' "
             "-o -name 'corvane-vomo*' \\) "
             "-print")


def host_packages(work):
    """libcorvane-find1 and corvane-find built for the board (armhf)."""
    build, out = os.path.join(work, "host-armhf"), os.path.join(work, "host-debs")
    harness.run(["cmake", "-S", ARGS.source, "-B", build, "-DCMAKE_TOOLCHAIN_FILE=" +
                 os.path.join(ARGS.source, "cmake", "arm-linux-gnueabihf.cmake"),
                 "-DBOARD_HOST_TOOLS=ON", "-DBOARD_PROGRAMS=OFF", "-DBOARD_STATIC_LINK=OFF",
                 "-DBUILD_TESTING=OFF", "-DCMAKE_BUILD_TYPE=Release",
                 "-DCMAKE_INSTALL_PREFIX=/usr"], 600)
    harness.run(["cmake", "--build", build], 1200)
    harness.run(["cpack", "-G", "DEB", "-B", out], 600, cwd=build)
    return {name.split("_")[0]: os.path.join(out, name) for name in os.listdir(out)
            if name.endswith("_armhf.deb")}


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


@harness.can_run(lan.unavailable() or harness.built(ARGS.finder, "corvane-find")
                 or harness.built(HOST_TARVO, "tarvo"))
class DebianBoard(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        work = tempfile.TemporaryDirectory()
        cls.addClassCleanup(work.cleanup)
        deb, newer, cls.newer_version = packages(work.name)
        host = host_packages(work.name)
        rootfs = os.path.join(work.name, "rootfs.img")
        kernel_dir = board.debian_images(rootfs, {
            "/root/corvane-board.deb": deb, "/root/corvane-board-newer.deb": newer,
            "/root/libcorvane-find1.deb": host["libcorvane-find1"],
            "/root/corvane-find.deb": host["corvane-find"]})
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

    def test_7_the_watch_for_prometheus_as_a_service(self):
        """The host's packages for the board: the watch is a service that
        nothing starts until it is enabled; then it lists the board it
        finds (tarvo on the host) where Prometheus can read it, keeps the
        list over a restart, and leaves nothing once purged."""
        unit = "corvane-find-prometheus.service"
        found = self.lan.spawn(self.host, [HOST_TARVO])
        self.lan.wait_bound([found])
        self.sh("dpkg -i /root/libcorvane-find1.deb /root/corvane-find.deb >/tmp/dpkg.log 2>&1")
        self.assertEqual([self.board.run(f"systemctl {what} {unit}")[1][0]
                          for what in ("is-active", "is-enabled")], ["inactive", "disabled"])
        exposure = self.sh(f"systemd-analyze security --no-pager {unit} | tail -n 1")[0]
        self.assertLessEqual(float(exposure.split(":")[1].split()[0]), 2.0, exposure)
        self.sh("sed -i 's/^CORVANE_FIND_INTERFACES=.*/CORVANE_FIND_INTERFACES=\"-i eth0\"/; "
                "s/^CORVANE_FIND_OPTIONS=.*/CORVANE_FIND_OPTIONS=\"--every 1\"/' "
                "/etc/default/corvane-find")
        sd = "/var/lib/corvane-find/boards.json"
        listed = f"grep -q '\"10.79.1.1:9100\"' {sd}"
        self.sh(f"systemctl enable --now {unit} && " + board.until(listed, 120))
        # Written by the package's user, readable by any other (Prometheus').
        self.assertEqual(self.sh(f"stat -c '%a %U' {sd}"), ["644 corvane-find"])
        self.sh(f"setpriv --reuid=65534 --regid=65534 --clear-groups cat {sd} >/dev/null")
        mac = self.lan.run(self.host, ["cat", "/sys/class/net/eth0/address"],
                           text=True).stdout.strip()
        self.assertEqual(json.loads("\n".join(self.sh(f"cat {sd}"))),
                         [{"targets": ["10.79.1.1:9100"],
                           "labels": {"corvane_interface": "eth0", "corvane_proto_ver": "2",
                                      "corvane_mac": mac}}])
        # A restart keeps the list: the boards are still known.
        self.sh(f"systemctl restart {unit} && {listed}")
        self.sh(f"systemctl disable --now {unit}")
        self.assertEqual([self.board.run(f"systemctl {what} {unit}")[1][0]
                          for what in ("is-active", "is-enabled")], ["inactive", "disabled"])
        self.sh("dpkg -P corvane-find libcorvane-find1 >/tmp/dpkg.log 2>&1")
        self.assertEqual(self.sh("find / -xdev \\( -path /proc -o -path /sys -o -path /root "
                                 "-o -path /var/log \\) -prune -o \\( -name '*corvane-find*' "
                                 "-o -name 'libcorvane*' \\) -print"), [])


if __name__ == "__main__":
    harness.main()
