"""A real Prometheus on a host of a test LAN, fed only by corvane-find
--watch --prometheus-sd, and asked one query."""

import contextlib
import json
import os
import shutil
import sys
import tempfile
import time

from testbed import harness

ASK = ("import json, sys, urllib.parse, urllib.request\n"
       "try:\n"
       "    r = urllib.request.urlopen('http://127.0.0.1:9090/api/v1/query?query=' +\n"
       "                               urllib.parse.quote(sys.argv[1]), timeout=2)\n"
       "    print(json.dumps({s['metric']['instance']: float(s['value'][1])\n"
       "                      for s in json.load(r)['data']['result']}))\n"
       "except OSError:\n"
       "    print('{}')\n")


@contextlib.contextmanager
def running(bed, host, finder, interval="5s", rules=None, seconds=300):
    """A Prometheus in host that scrapes every `interval` the boards a
    watch there lists (and evaluates `rules`, a rules file, as often);
    yields ask(expr, done, seconds): {instance: value} of the query expr,
    asked every second until done(answer) or `seconds` have passed."""
    work = tempfile.mkdtemp()
    procs = []
    try:
        sd, config = os.path.join(work, "boards.json"), os.path.join(work, "prometheus.yml")
        with open(config, "w") as f:
            f.write(f"global:\n  scrape_interval: {interval}\n  scrape_timeout: {interval}\n"
                    f"  evaluation_interval: {interval}\n"
                    + (f"rule_files: [{rules}]\n" if rules else "") +
                    "scrape_configs:\n  - job_name: corvane-boards\n    file_sd_configs:\n"
                    f"      - files: [{sd}]\n        refresh_interval: 1s\n")
        procs.append(bed.spawn(host, [finder, "--watch", "--every", "1", "--prometheus-sd", sd],
                               seconds + 60))
        procs.append(bed.spawn(host, [shutil.which("prometheus"), "--config.file=" + config,
                                      "--storage.tsdb.path=" + os.path.join(work, "data"),
                                      "--web.listen-address=127.0.0.1:9090"], seconds + 60))

        def ask(expr, done, within=120):
            got = {}
            deadline = time.monotonic() + within
            while not done(got) and time.monotonic() < deadline:
                time.sleep(1)
                got = json.loads(bed.run(host, [sys.executable, "-c", ASK, expr],
                                         text=True).stdout or "{}")
            return got
        yield ask
    finally:
        for p in procs:
            harness.stop(p)
        shutil.rmtree(work)


def query(bed, host, finder, expr, done, seconds=120, interval="5s"):
    """{instance: value} of the query expr, asked every second until
    done(answer) or `seconds` have passed, from a Prometheus that scrapes
    every `interval` the boards a watch in host lists."""
    with running(bed, host, finder, interval, seconds=seconds) as ask:
        return ask(expr, done, seconds)
