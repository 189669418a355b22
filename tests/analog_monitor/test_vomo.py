"""The real vomo executable, run against captured device trees placed at
the real sysfs path in a private mount namespace."""

import os
import shutil
import socket
import stat
import subprocess
import tempfile
import unittest

from testbed import harness

HERE = os.path.dirname(os.path.abspath(__file__))

METRICS = harness.options("metrics").metrics
VOMO = harness.program()
DEVICE = "/sys/bus/iio/devices/iio:device0"
PROMTOOL = shutil.which("promtool")

# In each tree, a str is a file's text (mode 0444 unless the name says
# otherwise), DIR a directory, a tuple a symbolic link, and FIFO, SOCKET and
# ZERO (a character device) special files.
DIR, FIFO, SOCKET, ZERO = object(), object(), object(), object()


def zynq7000_tree():
    """The device as a Zynq-7000 shows it under Linux 6.1."""
    counts = {"0_vccint": 1365, "1_vccaux": 2458, "2_vccbram": 1366, "3_vccpint": 1364,
              "4_vccpaux": 2457, "5_vccoddr": 2048, "6_vrefp": 1707, "7_vrefn": -2}
    tree = {"dev": "245:0\n", "events": DIR, "in_temp0_offset": "-2219\n",
            "in_temp0_raw": "2500\n", "in_temp0_scale": "123.040771484\n",
            "name": "xadc\n", "of_node": ("../../../firmware/devicetree/base/adc",),
            "sampling_frequency": "50000\n", "subsystem": ("../../../bus/iio",),
            "uevent": "MAJOR=245\n", "waiting_for_supplier": "0\n"}
    for n, count in counts.items():
        tree[f"in_voltage{n}_label"] = n.split("_")[1] + "\n"
        tree[f"in_voltage{n}_raw"] = f"{count}\n"
        tree[f"in_voltage{n}_scale"] = "0.732421875\n"
    return tree


def build(root, tree, modes):
    os.chmod(root, 0o755)
    for name, what in tree.items():
        path = os.path.join(root, name)
        if what is DIR:
            os.mkdir(path)
        elif what is FIFO:
            os.mkfifo(path)
        elif what is SOCKET:
            with socket.socket(socket.AF_UNIX) as sock:
                sock.bind(path)
        elif what is ZERO:
            os.mknod(path, 0o444 | stat.S_IFCHR, os.makedev(1, 5))
        elif isinstance(what, tuple):
            os.symlink(what[0], path)
        else:
            with open(path, "w") as f:
                f.write(what)
            os.chmod(path, modes.get(name, 0o444))


def run_vomo(tree, as_user=None, modes=None, to_full=False, files=None, program=None,
             args=(), no_room=False):
    """Runs vomo (or `program`, with `args`) with `tree` mounted at the
    device path (None: no device), its standard output on /dev/full if
    asked, at most `files` open files if given, and no byte it may write
    to a file if no_room. Returns (status, stdout, stderr)."""
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o755)
        exe = os.path.join(work, "vomo")
        shutil.copy(program or VOMO[-1], exe)
        os.chmod(exe, 0o755)
        src = os.path.join(work, "device")
        if tree is not None:
            os.mkdir(src)
            build(src, tree, modes or {})
        script = ('set -e; mount -t tmpfs tmpfs /sys/bus; mkdir -p "${0%/*}";'
                  '[ ! -d "$1" ] || cp -a "$1" "$0"; shift; '
                  + (f"ulimit -n {files}; " if files else "")
                  + ("trap '' XFSZ; ulimit -f 0; " if no_room else "") + 'exec "$@"'
                  + (" >/dev/full" if to_full else ""))
        cmd = (["unshare", "-m", "--", "sh", "-c", script, DEVICE, src]
               + (as_user or []) + VOMO[:-1] + [exe] + list(args))
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
        return p.returncode, p.stdout, p.stderr


class Report(unittest.TestCase):
    def test_channels_converted_in_sorted_order(self):
        # in_voltage3_raw is a symbolic link to a regular file: read.
        longest = "in_voltage9_" + "x" * 239 + "_raw"  # NAME_MAX bytes
        tree = {longest: "1\n", "in_voltage1_raw": "123\n", "in_voltage0_raw": "1365\n",
                "in_temp0_raw": "2500\n", "in_voltage2_raw": "4095\n",
                "in_voltage10_raw": "-2048\n", "in_voltage3_raw": ("in_voltage2_raw",),
                "Z_voltage_raw": "2048\n", "in_voltage_temp_raw": "0\n",
                # Skipped: temp without raw, voltage without raw, neither.
                "in_temp0_scale": "1\n", "in_voltage_temp_scale": "1\n",
                "in_voltage0_scale": "1\n", "name": "xadc\n", "events": DIR}
        self.assertEqual(run_vomo(tree), (0, (
            "Z_voltage_raw is 1500.000000 mv\n"
            "in_temp0_raw is 34.451927 cent\n"
            "in_voltage0_raw is 999.755859 mv\n"
            "in_voltage10_raw is -1500.000000 mv\n"
            "in_voltage1_raw is 90.087891 mv\n"
            "in_voltage2_raw is 2999.267578 mv\n"
            "in_voltage3_raw is 2999.267578 mv\n"
            f"{longest} is 0.732422 mv\n"
            "in_voltage_temp_raw is -273.149994 cent\n"), ""))

    def test_zynq7000_device(self):
        with open(os.path.join(HERE, "zynq7000.report")) as f:
            expected = f.read()
        self.assertEqual(len(expected.splitlines()), 9)
        for user in (None, harness.NOBODY):
            with self.subTest(user=user):
                self.assertEqual(run_vomo(zynq7000_tree(), as_user=user), (0, expected, ""))

    def test_unreadable_channels_reported_and_skipped(self):
        tree = {"in_voltage1_raw": "12", "in_voltage2_raw": "",
                "in_voltage3_raw": DIR, "in_voltage4_raw": "abcde",
                "in_voltage5_raw": "1365\n", "in_voltage6_raw": "7\n",
                "in_voltage7_raw": "  -2\n"}
        status, out, err = run_vomo(tree, as_user=harness.NOBODY, modes={"in_voltage6_raw": 0})
        self.assertEqual(status, 1)
        self.assertEqual(out, "in_voltage1_raw is 8.789062 mv\n"
                              "in_voltage5_raw is 999.755859 mv\n"
                              "in_voltage7_raw is -1.464844 mv\n")
        self.assertEqual(err, f"{DEVICE}/in_voltage2_raw: no raw count in file\n"
                              f"{DEVICE}/in_voltage3_raw: Is a directory\n"
                              f"{DEVICE}/in_voltage4_raw: no raw count in file\n"
                              f"{DEVICE}/in_voltage6_raw: Permission denied\n")

    def test_text_that_is_not_a_count_gives_no_value(self):
        bad = ["12ab", "0x1F", "1e3", "12345678", "12\n\n", "123456\n"]
        tree = {f"in_voltage{i}_raw": text for i, text in enumerate(bad)}
        tree["in_voltage9_raw"] = "1365\n"
        self.assertEqual(run_vomo(tree), (1, "in_voltage9_raw is 999.755859 mv\n", "".join(
            f"{DEVICE}/in_voltage{i}_raw: no raw count in file\n" for i in range(len(bad)))))

    def test_special_files_never_block(self):
        tree = {"in_voltage0_raw": FIFO, "in_voltage1_raw": SOCKET, "in_voltage2_raw": ZERO,
                "in_voltage3_raw": "1365\n"}
        self.assertEqual(run_vomo(tree), (1, "in_voltage3_raw is 999.755859 mv\n", (
            f"{DEVICE}/in_voltage0_raw: not a regular file\n"
            f"{DEVICE}/in_voltage1_raw: not a regular file\n"
            f"{DEVICE}/in_voltage2_raw: not a regular file\n")))

    def test_report_that_cannot_be_written(self):
        # The second tree overflows the output buffer midway, and a failing
        # channel after that leaves errno at another reason; the third
        # fills the buffer exactly (124 lines of 33 bytes and one of 37),
        # so that only the last flush fails.
        big = {f"in_voltage{i:03}_raw": "1\n" for i in range(300)}
        big["in_voltage_zz_raw"] = ("missing",)
        exact = {f"in_voltage{i:03}_raw": "1\n" for i in range(124)}
        exact["in_voltage999xxxx_raw"] = "1\n"
        for tree in (zynq7000_tree(), big, exact):
            with self.subTest(channels=len(tree)):
                status, out, err = run_vomo(tree, to_full=True)
                self.assertEqual((status, err.splitlines()[-1]),
                                 (1, "stdout: No space left on device"))

    def test_many_channels_with_few_files(self):
        # Each channel's file is closed before the next is opened.
        tree = {f"in_voltage{i:02}_raw": "1\n" for i in range(40)}
        status, out, err = run_vomo(tree, files=12)
        self.assertEqual((status, len(out.splitlines()), err), (0, 40, ""))

    def test_missing_device(self):
        self.assertEqual(run_vomo(None),
                         (1, "", f"{DEVICE}: No such file or directory\n"))

    def test_empty_device(self):
        self.assertEqual(run_vomo({}), (0, "", ""))


ZYNQ_METRICS = """\
# HELP corvane_analog_monitor_up Whether every channel of the analog monitor was read.
# TYPE corvane_analog_monitor_up gauge
corvane_analog_monitor_up {up}
# HELP corvane_die_temperature_celsius The SoC's die temperature.
# TYPE corvane_die_temperature_celsius gauge
corvane_die_temperature_celsius 34.451927
# HELP corvane_supply_volts A supply rail's voltage, by the rail's name.
# TYPE corvane_supply_volts gauge
corvane_supply_volts{{rail="vccint"}} 0.999755859
corvane_supply_volts{{rail="vccaux"}} 1.800292969
corvane_supply_volts{{rail="vccbram"}} 1.000488281
corvane_supply_volts{{rail="vccpint"}} 0.999023438
corvane_supply_volts{{rail="vccpaux"}} 1.799560547
corvane_supply_volts{{rail="vccoddr"}} 1.5
corvane_supply_volts{{rail="vrefp"}} 1.250244141
corvane_supply_volts{{rail="vrefn"}} -0.001464844
# HELP corvane_supply_nominal_volts A supply rail's nominal voltage, from the datasheet or the board's configuration.
# TYPE corvane_supply_nominal_volts gauge
corvane_supply_nominal_volts{{rail="vccint"}} 1
corvane_supply_nominal_volts{{rail="vccaux"}} 1.8
corvane_supply_nominal_volts{{rail="vccbram"}} 1
corvane_supply_nominal_volts{{rail="vccpint"}} 1
corvane_supply_nominal_volts{{rail="vccpaux"}} 1.8
corvane_supply_nominal_volts{{rail="vccoddr"}} {ddr}
corvane_supply_nominal_volts{{rail="vrefp"}} 1.25
"""


class Metrics(unittest.TestCase):
    """corvane-vomo-metrics: vomo's readings in the Prometheus text
    format, the same values in volts."""

    def test_readings_and_a_failed_channel(self):
        broken = dict(zynq7000_tree(), in_voltage9_raw="hot\n")
        for tree, status, up, err in ((zynq7000_tree(), 0, 1, ""),
                                      (broken, 1, 0, f"{DEVICE}/in_voltage9_raw: no raw count "
                                                     "in file\n"),
                                      (None, 1, 0, f"{DEVICE}: No such file or directory\n")):
            with self.subTest(up=up, err=err):
                want = ZYNQ_METRICS.format(up=up, ddr=1.5) if tree else ZYNQ_METRICS.format(up=0, ddr=1.5).split(
                    "# HELP corvane_die")[0]
                self.assertEqual(run_vomo(tree, program=METRICS), (status, want, err))

    def test_each_boards_own_nominal_voltages(self):
        # The datasheet's values unless the board's configuration says
        # otherwise: DDR3L at 1.35 V, and the on-chip reference, which has
        # no nominal VREFP (and no alert). A line that says neither is an
        # error, and nothing is written.
        with tempfile.TemporaryDirectory() as d:
            conf = os.path.join(d, "corvane-vomo-metrics.conf")
            with open(conf, "w") as f:
                f.write("# DDR3L, and the on-chip reference\n\nvccoddr 1.35\n vrefp none # \n")
            want = ZYNQ_METRICS.format(up=1, ddr=1.35).replace(
                'corvane_supply_nominal_volts{rail="vrefp"} 1.25\n', "")
            self.assertEqual(run_vomo(zynq7000_tree(), program=METRICS, args=["-c", conf]),
                             (0, want, ""))
            for bad in ("vccoddr\n", "vccoddr 1.35 V\n", "vccoddr 1,35\n", "vrefp nan\n"):
                with open(conf, "w") as f:
                    f.write("vccint 1.0\n" + bad)
                self.assertEqual(run_vomo(zynq7000_tree(), program=METRICS, args=["-c", conf]),
                                 (2, "", f"{conf}:2: not RAIL VOLTS or RAIL none\n"), bad)
            missing = os.path.join(d, "none.conf")
            self.assertEqual(run_vomo(zynq7000_tree(), program=METRICS, args=["-c", missing]),
                             (2, "", f"{missing}: No such file or directory\n"))

    def test_a_label_escaped(self):
        # A channel's name becomes a label value: a backslash and a quote
        # in it are escaped as the text format wants.
        tree = {"in_voltage0_a\\b\"c_raw": "1365\n"}
        status, out, err = run_vomo(tree, program=METRICS)
        self.assertEqual((status, err), (0, ""))
        self.assertIn('corvane_supply_volts{rail="a\\\\b\\"c"} 0.999755859\n', out)

    def test_file_replaced_whole(self):
        # The directory is the board's; what was there is replaced, and
        # nothing is left beside it, also when the write fails.
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "corvane-vomo.prom")
            with open(path, "w") as f:
                f.write("old\n")
            self.assertEqual(run_vomo(zynq7000_tree(), program=METRICS, args=[path]),
                             (0, "", ""))
            with open(path) as f:
                text = f.read()
            self.assertEqual((text, os.listdir(d)), (ZYNQ_METRICS.format(up=1, ddr=1.5),
                                                      ["corvane-vomo.prom"]))
            if PROMTOOL:
                p = subprocess.run([PROMTOOL, "check", "metrics"], input=text,
                                   capture_output=True, text=True, timeout=60)
                self.assertEqual((p.returncode, p.stdout + p.stderr), (0, ""))
            # Only its own file: anything else is refused and left as it is.
            # (A null device of the test's own: the machine's stays out of
            # reach of a fault.)
            fifo, link, sub, null = (os.path.join(d, n) for n in ("fifo", "link", "sub", "null"))
            os.mkfifo(fifo)
            os.symlink(path, link)
            os.mkdir(sub)
            os.mknod(null, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
            for other in (fifo, link, sub, null):
                before = os.lstat(other)
                self.assertEqual(run_vomo(zynq7000_tree(), program=METRICS, args=[other]),
                                 (2, "", f"{other}: not a regular file; left as it is\n"))
                after = os.lstat(other)
                self.assertEqual((after.st_mode, after.st_ino, after.st_rdev),
                                 (before.st_mode, before.st_ino, before.st_rdev))
            self.assertEqual(sorted(os.listdir(d)),
                             ["corvane-vomo.prom", "fifo", "link", "null", "sub"])
            # No room for the new file: the old one stays, and nothing is
            # left beside it.
            status, out, err = run_vomo(zynq7000_tree(), program=METRICS, args=[path],
                                        no_room=True)
            self.assertEqual((status, out), (1, ""))
            self.assertIn("File too large", err)
            with open(path) as f:
                self.assertEqual(f.read(), text)
            self.assertEqual(sorted(os.listdir(d)),
                             ["corvane-vomo.prom", "fifo", "link", "null", "sub"])
            # A failed channel is said in the status, however well FILE is written.
            broken = dict(zynq7000_tree(), in_voltage9_raw="hot\n")
            self.assertEqual(run_vomo(broken, program=METRICS, args=[path])[0], 1)
            gone = os.path.join(d, "no", "such", "dir", "x.prom")
            status, out, err = run_vomo(zynq7000_tree(), program=METRICS, args=[gone])
            self.assertEqual((status, out), (1, ""))
            self.assertIn("No such file or directory", err)
            self.assertEqual(run_vomo({}, program=METRICS, args=["-h"])[0], 2)


def namespace_problem():
    if os.geteuid() != 0:
        return "needs root to mount over /sys/bus in a private mount namespace"
    p = subprocess.run(["unshare", "-m", "--", "mount", "-t", "tmpfs", "tmpfs", "/sys/bus"],
                       capture_output=True, text=True, timeout=30)
    if p.returncode != 0:
        return "cannot mount in a private mount namespace: " + p.stderr.strip()
    return None


if __name__ == "__main__":
    harness.main(namespace_problem(), "vomo tests")
