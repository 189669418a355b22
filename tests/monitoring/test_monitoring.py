"""The monitoring chain on a LAN of namespaces, without the emulated
board: two boards, each with tarvo, its analog monitor's readings written
by corvane-vomo-metrics over a captured device tree, and a node exporter
that serves them; on the host, corvane-find --watch --prometheus-sd and a
real Prometheus fed by that file alone, with the alert rules. Prometheus
must answer each board's temperature as vomo prints it, and when a board
dies, keep scraping it (up 0) with its alert pending, not forget it."""

import os
import shutil
import tempfile
import time
import unittest

from testbed import harness, lan, prometheus

ARGS = harness.options("tarvo", "vomo", "metrics", "finder", "rules")
PROMETHEUS, EXPORTER = shutil.which("prometheus"), shutil.which("prometheus-node-exporter")
DEVICE = "/sys/bus/iio/devices/iio:device0"
RULES = os.path.abspath(ARGS.rules)
# The die's count on each board, and what it holds besides.
TEMP_COUNTS = {"10.87.0.5": 2500, "10.87.0.6": 2620}
RAILS = {"in_voltage0_vccint_raw": "1365\n", "in_voltage1_vccaux_raw": "2458\n"}


def problem():
    missing = [n for n, p in (("prometheus", PROMETHEUS),
                              ("prometheus-node-exporter", EXPORTER)) if p is None]
    if missing:
        return f"needs {' and '.join(missing)} (scripts/deps installs them)"
    return lan.unavailable()


def with_tree(bed, ns, tree, cmd):
    """Runs cmd in ns with `tree` (a directory) mounted at the device path,
    in a mount namespace of its own."""
    script = ('set -e; mount -t tmpfs tmpfs /sys/bus; mkdir -p "$0"; cp -a "$1"/. "$0"; '
              'shift; exec "$@"')
    return bed.run(ns, ["unshare", "-m", "--", "sh", "-c", script, DEVICE, tree, *cmd],
                   text=True)


class Chain(unittest.TestCase):
    def test_prometheus_answers_what_vomo_prints(self):
        bed = lan.Lan()
        self.addCleanup(bed.close)
        work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, work)
        host = bed.node("host", "10.87.0.1/24")
        want, daemons = {}, []
        for i, (addr, count) in enumerate(TEMP_COUNTS.items()):
            ns = bed.node(f"b{i}", addr + "/24")
            tree = os.path.join(work, f"tree{i}")
            os.makedirs(tree)
            for name, text in dict(RAILS, in_temp0_raw=f"{count}\n").items():
                with open(os.path.join(tree, name), "w") as f:
                    f.write(text)
            vomo = with_tree(bed, ns, tree, [ARGS.vomo])
            self.assertEqual(vomo.returncode, 0, vomo.stderr)
            want[f"{addr}:9100"] = float(next(line.split()[2] for line in
                                              vomo.stdout.splitlines()
                                              if line.startswith("in_temp0_raw")))
            textdir = os.path.join(work, f"text{i}")
            os.makedirs(textdir)
            p = with_tree(bed, ns, tree, [ARGS.metrics, os.path.join(textdir,
                                                                     "corvane-vomo.prom")])
            self.assertEqual((p.returncode, p.stderr), (0, ""))
            daemons.append(bed.spawn(ns, [ARGS.tarvo]))
            daemons.append(bed.spawn(ns, [EXPORTER, "--web.listen-address=:9100", "--collector.disable-defaults",
                           "--collector.textfile", "--collector.textfile.directory=" + textdir]))
        bed.wait_bound(daemons[::2])

        with prometheus.running(bed, host, ARGS.finder, "1s", RULES) as ask:
            got = ask("corvane_die_temperature_celsius", lambda got: got == want, 90)
            self.assertEqual(got, want)
            # A board dies: the watch keeps it listed, so Prometheus scrapes
            # it and fails, and its alert waits out its minutes, pending.
            dead = "10.87.0.6:9100"
            for p in daemons[2:]:  # the second board's tarvo and exporter
                harness.stop(p)
            up = ask('up{job="corvane-boards"}', lambda got: got.get(dead) == 0.0, 60)
            self.assertEqual(up, {"10.87.0.5:9100": 1.0, dead: 0.0})
            alert = 'ALERTS{alertname="CorvaneBoardStoppedAnswering"}'
            self.assertEqual(ask(alert, lambda got: dead in got, 60), {dead: 1.0})
            time.sleep(10)  # and it stays so, not dropped from the list
            self.assertEqual(ask(alert, lambda got: dead in got, 10), {dead: 1.0})


if __name__ == "__main__":
    harness.main(problem(), "monitoring tests")
