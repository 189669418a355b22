#!/usr/bin/env python3
"""Boots the emulated Zynq-7000 board and drives it over its console.

Used by scripts/board, to show a person what the board does, and by the
board test. Every wait is bounded, and the emulator is always stopped."""

import argparse
import os
import queue
import socket
import subprocess
import sys
import tempfile
import threading
import time

from testbed import harness, lan, mkinitramfs, prometheus
from testbed.wire import REQUEST

# The board's own files: kernel configuration, build scripts, init.
BOARD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "board")

XADC_CMD_FIFO = 0xF8007110

# Analog monitor registers, and the counts the board is set to.
COUNTS = [("temp", 0x00, 2500), ("vccint", 0x01, 1365), ("vccaux", 0x02, 2458),
          ("vccbram", 0x06, 1366), ("vccpint", 0x0D, 1364), ("vccpaux", 0x0E, 2457),
          ("vccoddr", 0x0F, 2048), ("vrefp", 0x04, 1707), ("vrefn", 0x05, -2)]


def xadc_write(register, count):
    """The command FIFO word that sets a register to a 12-bit count (the
    count sits in the top 12 bits of the 16-bit register)."""
    return (2 << 26) | (register << 16) | ((count << 4) & 0xFFFF)


def tool(name):
    return harness.run([os.path.join(BOARD, name)], 1800, show=True).strip()


def images(tarvo, vomo, init_script, initramfs, extra=None):
    """Builds (or takes from the cache) the kernel and BusyBox, and packs
    the initramfs with the given programs, and the `extra` files
    ({path on the board: file here}). Returns the kernel's directory."""
    kernel_dir = tool("build-kernel")
    mkinitramfs.main(tool("fetch-busybox"), tarvo, vomo, init_script, initramfs, extra)
    return kernel_dir


def package(build_dir, out_dir):
    """Packs the board package of the build tree into out_dir; returns its
    path."""
    harness.run(["cpack", "-G", "DEB", "-B", out_dir], 600, cwd=build_dir)
    return next(os.path.join(out_dir, name) for name in sorted(os.listdir(out_dir))
                if name.startswith("corvane-board_") and name.endswith(".deb"))


def until(check, tries=60):
    """A board command that waits until the shell test `check` holds, up
    to `tries` seconds of the board's own clock, and has its status. (An
    exit would end the console.)"""
    return f"for i in $(seq {tries}); do {check} && break; sleep 1; done; {check}"


# tarvo.service is active, and past systemd's set-up of its sandbox: the
# main process is tarvo itself.
TARVO_RUNNING = ("systemctl -q is-active tarvo.service && [ \"$(cat /proc/$(systemctl show "
                 "-p MainPID --value tarvo.service)/comm)\" = tarvo ]")


def debian_images(rootfs, files):
    """The Debian flavour: builds (or takes from the cache) the kernel and
    the root file system, and writes a copy of the latter to `rootfs` with
    the given files added ({path on the board: file here}, into existing
    folders). Returns the kernel's directory."""
    kernel_dir = tool("build-kernel")
    harness.run(["cp", "--sparse=always", tool("build-debian"), rootfs], 600)
    cmds = "".join(f"write {src} {dst}\n" for dst, src in files.items())
    harness.run(["debugfs", "-w", "-f", "-", rootfs], 600, input=cmds)
    return kernel_dir


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Board:
    """A board behind the emulator's own network, its UDP port 49100
    forwarded from the host's loopback `port`; or, with `tap` given as
    (namespace, device, address/prefix), a board on that namespace's tap
    device, which the emulator is started in."""

    def __init__(self, kernel_dir, initramfs=None, port=None, seconds=300, echo=None, tap=None,
                 rootfs=None):
        self.port = port
        self.echo = echo
        self.lines = queue.Queue()
        if rootfs:
            # Debian on the SD card, systemd as PID 1: nothing but the
            # console's own lines on the console.
            append = ("console=ttyPS0,115200 root=/dev/mmcblk0 rw rootwait quiet loglevel=1 "
                      "systemd.show_status=false")
            disk = ["-drive", f"file={rootfs},if=sd,format=raw", "-m", "512M"]
        else:
            append = "console=ttyPS0,115200 rdinit=/init quiet"
            disk = ["-initrd", initramfs, "-m", "256M"]
        if tap:
            ns, device, addr = tap
            prefix = ["ip", "netns", "exec", ns]
            netdev = f"tap,id=n0,ifname={device},script=no,downscript=no"
            append += f" corvane.ip={addr}"
        else:
            prefix = []
            netdev = f"user,id=n0,hostfwd=udp:127.0.0.1:{port}-:49100"
        self.proc = subprocess.Popen(
            prefix + ["qemu-system-arm", "-M", "xilinx-zynq-a9", *disk,
                      "-kernel", os.path.join(kernel_dir, "zImage"),
                      "-dtb", os.path.join(kernel_dir, "zynq-zc702.dtb"), "-append", append,
                      "-serial", "null", "-serial", "stdio", "-display", "none",
                      "-no-reboot", "-netdev", netdev, "-net", "nic,netdev=n0"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.watchdog = threading.Timer(seconds, self.proc.kill)
        self.watchdog.daemon = True
        self.watchdog.start()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode(errors="replace").rstrip("\r\n").replace("\r", "")
            if self.echo:
                self.echo(line)
            self.lines.put(line)
        self.lines.put(None)

    def wait_for(self, prefix, seconds):
        """Returns the lines before the first one starting with prefix,
        and that line."""
        deadline = time.monotonic() + seconds
        seen = []
        while True:
            left = deadline - time.monotonic()
            try:
                line = self.lines.get(timeout=max(left, 0.01))
            except queue.Empty:
                line = None
                left = 0
            if line is None:
                raise RuntimeError(
                    "".join(f"  | {line}\n" for line in seen[-20:]) +
                    f"no '{prefix}' on the board's console within {seconds:.0f} s (its last "
                    "lines are above); if the machine is busy, try again when it is quieter, "
                    "or boot it by hand without 'quiet' on the kernel's command line")
            if line.startswith(prefix):
                return seen, line
            seen.append(line)

    def run(self, command, seconds=60):
        """Runs a shell command on the board: (status, output lines)."""
        self.proc.stdin.write(command.encode() + b"\n")
        self.proc.stdin.flush()
        out, done = self.wait_for("@@done ", seconds)
        return int(done.split()[1]), out

    def stop(self):
        self.watchdog.cancel()
        try:
            if self.proc.poll() is None:
                self.proc.stdin.write(b"reboot -f\n")
                self.proc.stdin.flush()
                self.proc.wait(timeout=20)
        except (OSError, subprocess.TimeoutExpired):
            pass
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        for pipe in (self.proc.stdin, self.proc.stdout):
            try:
                pipe.close()
            except OSError:
                pass

    def set_counts(self, devmem="devmem"):
        for _, register, count in COUNTS:
            status, out = self.run(f"{devmem} 0x{XADC_CMD_FIFO:08X} 32 "
                                   f"0x{xadc_write(register, count):08X}")
            if status != 0:
                raise RuntimeError(f"board: devmem failed: {out}")

    @staticmethod
    def _socket(wait):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        s.settimeout(wait)
        return s

    def ask(self, dgram, tries=20, wait=0.5):
        """Sends dgram to the board's port 49100 through the emulator's
        forward; returns (reply, source) or None. The first datagram can be
        lost while the emulator learns the board's address."""
        with self._socket(wait) as s:
            for _ in range(tries):
                s.sendto(dgram, ("127.0.0.1", self.port))
                try:
                    return s.recvfrom(4096)
                except socket.timeout:
                    continue
        return None

    def ask_after(self, first, then, wait=1.0):
        """Sends `first`, then `then`, and returns every reply that comes
        within `wait` seconds of the last one."""
        with self._socket(wait) as s:
            s.sendto(first, ("127.0.0.1", self.port))
            s.sendto(then, ("127.0.0.1", self.port))
            replies = []
            try:
                while len(replies) < 10:
                    replies.append(s.recvfrom(4096)[0])
            except socket.timeout:
                pass
            return replies


def patience():
    """How many times longer than on an idle machine a boot may take: the
    emulator competes for the cores with whatever else runs."""
    return 1 + os.getloadavg()[0] / (os.cpu_count() or 1)


def boot(kernel_dir, initramfs=None, echo=None, tap=None, rootfs=None):
    """Boots the BusyBox board from `initramfs`, or the Debian one from
    `rootfs`, and waits until its console is ready, longer on a busy
    machine."""
    slow = patience()
    board = Board(kernel_dir, initramfs, None if tap else free_port(), echo=echo, tap=tap,
                  rootfs=rootfs, seconds=(900 if rootfs else 300) * slow)
    try:
        board.wait_for("@@ready", (600 if rootfs else 120) * slow)
    except BaseException:
        board.stop()
        raise
    return board


def demo(kernel_dir, initramfs, keep, finder):
    print("== booting the emulated Zynq-7000 board", flush=True)
    board = boot(kernel_dir, initramfs, echo=lambda line: print("   | " + line, flush=True)
                 if not line.startswith("@@") else None)
    try:
        board.echo = None
        board.set_counts()
        print("\n== on the board: vomo  (counts set through the analog monitor's FIFO)")
        status, out = board.run("vomo")
        for line in out:
            print("   " + line)
        print(f"   exit status {status}")

        print(f"\n== from the host: discovery request to 127.0.0.1:{board.port}, "
              "forwarded to the board's UDP port 49100")
        got = board.ask(REQUEST)
        if got is None:
            print("   no reply")
            return 1
        reply, source = got
        print(f"   reply from {source[0]}:{source[1]}, {len(reply)} bytes: {reply.hex(' ')}")
        print(f"   proto_ver {int.from_bytes(reply[0:4], 'big')}, "
              f"id {int.from_bytes(reply[4:8], 'big')} "
              f"('{chr(reply[7])}', the discovery reply)")
        found = find_on_lan(kernel_dir, initramfs, finder, board.port)
        if keep:
            print(f"\n== the board stays up; tarvo answers on 127.0.0.1:{board.port}. "
                  "Ctrl-C stops it.", flush=True)
            board.watchdog.cancel()
            try:
                board.proc.wait()
            except KeyboardInterrupt:
                print()
        return 0 if status == 0 and found == 0 else 1
    finally:
        board.stop()
        print("== board stopped")


def find_on_lan(kernel_dir, initramfs, finder, port):
    """Boots a second board on a LAN of namespaces and lets corvane-find
    look for it by broadcast from a host there. Without the rights to build
    namespaces, asks the first board through its forwarded port instead."""
    problem = lan.unavailable()
    if problem:
        print(f"\n== from the host: corvane-find 127.0.0.1:{port}  "
              f"(no LAN of namespaces: {problem})", flush=True)
        return subprocess.run([finder, f"127.0.0.1:{port}", "-t", "3", "-n", "1"],
                              timeout=30).returncode
    print("\n== on a LAN: a second board on a tap device of a bridge, address 10.79.0.50 "
          "given at boot;\n   a host namespace on the same bridge runs corvane-find "
          "(broadcast)", flush=True)
    bed = lan.Lan()
    try:
        host = bed.host("host", {"eth0": "10.79.0.1/24"})
        bed.tap("tap0")
        on_lan = boot(kernel_dir, initramfs, tap=(bed.switch, "tap0", "10.79.0.50/24"))
        try:
            print("   $ corvane-find -t 10 -n 1", flush=True)
            p = bed.run(host, [finder, "-t", "10", "-n", "1"], text=True)
            for line in (p.stdout + p.stderr).splitlines():
                print("   " + line)
            print(f"   exit status {p.returncode}")
            return p.returncode
        finally:
            on_lan.stop()
    finally:
        bed.close()


def demo_debian(build_dir, finder):
    """The board package of build_dir under Debian's systemd: boot,
    install, status, found by the host, its readings in Prometheus, removed."""
    print("== Debian 12 for the board, made once from Debian's packages "
          "(about 2 minutes; then cached)", flush=True)
    with tempfile.TemporaryDirectory() as work:
        deb = package(build_dir, work)
        rootfs = os.path.join(work, "rootfs.img")
        kernel_dir = debian_images(rootfs, {"/root/" + os.path.basename(deb): deb})
        bed = lan.Lan()
        try:
            host = bed.host("host", {"eth0": "10.79.2.1/24"})
            bed.tap("tap0")
            print("\n== booting the emulated Zynq-7000 board: Debian 12, systemd as PID 1, "
                  "on a LAN at 10.79.2.60 (a minute or two under emulation)", flush=True)
            b = boot(kernel_dir, rootfs=rootfs, tap=(bed.switch, "tap0", "10.79.2.60/24"))
            try:
                def show(title, command):
                    print(f"\n== {title}\n   # {command}", flush=True)
                    status, out = b.run(command, 300)
                    for line in out:
                        print("   " + line)
                    return status
                show("the board", "cat /proc/1/comm /etc/debian_version; uname -r")
                # Without a terminal, dpkg leaves out its progress lines.
                if show("install the package: enabled and started, nothing else to type",
                        f"dpkg -i /root/{os.path.basename(deb)} >/tmp/dpkg.log 2>&1; s=$?; "
                        "cat /tmp/dpkg.log; (exit $s)") != 0:
                    return 1
                b.run(until(TARVO_RUNNING), 120)
                show("the daemon: active, as a dynamic user, hardened",
                     "SYSTEMD_COLORS=0 SYSTEMD_URLIFY=0 systemctl status --no-pager --lines=0 tarvo; "
                     "pid=$(systemctl show -p MainPID --value tarvo); "
                     "echo; echo \"user: $(id -nu $(awk '/^Uid:/ { print $2 }' /proc/$pid/status))\"; "
                     "grep -E '^(NoNewPrivs|Seccomp):' /proc/$pid/status; "
                     "systemctl show -p DynamicUser -p ProtectSystem -p PrivateDevices "
                     "-p RestrictAddressFamilies -p CapabilityBoundingSet tarvo")
                print("\n== from a host on the LAN: corvane-find -t 30 -n 1", flush=True)
                p = bed.run(host, [finder, "-t", "30", "-n", "1"], text=True, timeout=120)
                for line in (p.stdout + p.stderr).splitlines():
                    print("   " + line)
                b.set_counts(devmem="busybox devmem")
                show("the analog monitor, as vomo prints it", "vomo")
                prom = "/var/lib/prometheus/node-exporter/corvane-vomo.prom"
                show("its readings for Prometheus: the package's timer writes them where "
                     "Debian's node exporter reads",
                     f"mkdir -p {os.path.dirname(prom)} && "
                     "systemctl start corvane-vomo-metrics.service prometheus-node-exporter && "
                     f"grep -v '^#' {prom}")
                b.run(until("grep -qE ':238C [0-9A-F]+:0000 0A' /proc/net/tcp6 /proc/net/tcp"),
                      120)
                print("\n== on the host: corvane-find --watch --prometheus-sd FILE, and a "
                      "Prometheus that reads only FILE\n"
                      "   query: corvane_die_temperature_celsius", flush=True)
                got = prometheus.query(bed, host, finder, "corvane_die_temperature_celsius",
                                       lambda got: len(got) > 0)
                for instance, value in got.items() or [("(no answer)", "")]:
                    print(f"   {instance} {value}")
                show("remove the package", "dpkg -r corvane-board >/tmp/dpkg.log 2>&1; s=$?; "
                     "cat /tmp/dpkg.log; (exit $s)")
                status = show("the daemon is gone",
                              "systemctl is-active tarvo; pidof tarvo || echo 'no tarvo process'")
                return 0 if p.returncode == 0 and got and status == 0 else 1
            finally:
                b.stop()
                print("== board stopped")
        finally:
            bed.close()


def prepared(args):
    """What the boot will need and is known now: the files given, the
    finder, and for the Debian flavour the package and a LAN. Returns why
    the board cannot come up, or None."""
    needed = [args.finder] + ([] if args.systemd else [args.tarvo, args.vomo, args.init_script])
    for path in needed:
        if not os.path.isfile(path):
            return f"{path} is missing: build it first (scripts/board builds everything it needs)"
    if not os.access(args.finder, os.X_OK):
        return f"{args.finder} is not executable"
    if args.systemd:
        problem = lan.unavailable()
        if problem:
            return f"--systemd {problem}"
        with tempfile.TemporaryDirectory() as work:
            package(args.systemd, work)
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("tarvo", nargs="?")
    ap.add_argument("vomo", nargs="?")
    ap.add_argument("init_script", nargs="?")
    ap.add_argument("initramfs", nargs="?", help="where to write the board's initramfs")
    ap.add_argument("--finder", required=True, help="corvane-find, built for this machine")
    ap.add_argument("--keep", action="store_true",
                    help="keep the board up with tarvo answering until Ctrl-C")
    ap.add_argument("--systemd", metavar="BUILD_DIR",
                    help="instead, the Debian flavour: install the board package of this build "
                         "tree under systemd")
    ap.add_argument("--build-only", action="store_true",
                    help="check that everything the boot needs is built, and stop there")
    args = ap.parse_args()
    if not args.systemd and not args.initramfs:
        ap.error("TARVO VOMO INIT_SCRIPT INITRAMFS are needed without --systemd")
    problem = prepared(args)
    if problem:
        print(f"board: {problem}", file=sys.stderr)
        return 1
    if args.build_only:
        print("board: built; the boot has everything it needs")
        return 0
    if args.systemd:
        return demo_debian(args.systemd, args.finder)
    print("== board kernel (built once, then cached; the first build takes minutes)",
          flush=True)
    kernel = images(args.tarvo, args.vomo, args.init_script, args.initramfs)
    return demo(kernel, args.initramfs, args.keep, args.finder)


if __name__ == "__main__":
    harness.script("board", main)
