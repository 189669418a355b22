"""The monitoring chain on a LAN of namespaces, without the emulated
board: two boards, each with tarvo, its analog monitor's readings written
by corvane-vomo-metrics over a captured device tree, and a node exporter
that serves them; on the host, corvane-find --watch --prometheus-sd and a
real Prometheus fed by that file alone. Prometheus must answer each
board's temperature as vomo prints it."""

import json
import os
import shutil
import sys
import tempfile
import time
import unittest

from testbed import harness, lan

ARGS = harness.options("tarvo", "vomo", "metrics", "finder")
PROMETHEUS, EXPORTER = shutil.which("prometheus"), shutil.which("prometheus-node-exporter")
DEVICE = "/sys/bus/iio/devices/iio:device0"
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
            bed.spawn(ns, [EXPORTER, "--web.listen-address=:9100", "--collector.disable-defaults",
                           "--collector.textfile", "--collector.textfile.directory=" + textdir])
        bed.wait_bound(daemons)

        sd = os.path.join(work, "boards.json")
        bed.spawn(host, [ARGS.finder, "--watch", "--every", "0.5", "--prometheus-sd", sd])
        config = os.path.join(work, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    "scrape_configs:\n  - job_name: corvane-boards\n    file_sd_configs:\n"
                    f"      - files: [{sd}]\n        refresh_interval: 1s\n")
        bed.spawn(host, [PROMETHEUS, "--config.file=" + config,
                         "--storage.tsdb.path=" + os.path.join(work, "data"),
                         "--web.listen-address=127.0.0.1:9090"])
        query = ("import json, sys, urllib.request\n"
                 "try:\n"
                 "    r = urllib.request.urlopen('http://127.0.0.1:9090/api/v1/query?query="
                 "corvane_die_temperature_celsius', timeout=2)\n"
                 "    print(json.dumps({s['metric']['instance']: float(s['value'][1])\n"
                 "                      for s in json.load(r)['data']['result']}))\n"
                 "except OSError:\n"
                 "    print('{}')\n")
        got = {}
        deadline = time.monotonic() + 90
        while got != want and time.monotonic() < deadline:
            time.sleep(0.5)
            got = json.loads(bed.run(host, [sys.executable, "-c", query], text=True).stdout
                             or "{}")
        self.assertEqual(got, want)


if __name__ == "__main__":
    harness.main(problem(), "monitoring tests")
