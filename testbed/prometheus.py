"""A real Prometheus on a host of a test LAN, fed only by corvane-find
--watch --prometheus-sd, and asked one query."""

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


def query(bed, host, finder, expr, done, seconds=120, interval="5s"):
    """{instance: value} of the query expr, asked every second until
    done(answer) or `seconds` have passed, from a Prometheus that scrapes
    every `interval` the boards a watch in host lists."""
    work = tempfile.mkdtemp()
    procs = []
    try:
        sd, config = os.path.join(work, "boards.json"), os.path.join(work, "prometheus.yml")
        with open(config, "w") as f:
            f.write(f"global:\n  scrape_interval: {interval}\n  scrape_timeout: {interval}\n"
                    "scrape_configs:\n  - job_name: corvane-boards\n    file_sd_configs:\n"
                    f"      - files: [{sd}]\n        refresh_interval: 1s\n")
        procs.append(bed.spawn(host, [finder, "--watch", "--every", "1", "--prometheus-sd", sd],
                               seconds + 60))
        procs.append(bed.spawn(host, [shutil.which("prometheus"), "--config.file=" + config,
                                      "--storage.tsdb.path=" + os.path.join(work, "data"),
                                      "--web.listen-address=127.0.0.1:9090"], seconds + 60))
        got = {}
        deadline = time.monotonic() + seconds
        while not done(got) and time.monotonic() < deadline:
            time.sleep(1)
            got = json.loads(bed.run(host, [sys.executable, "-c", ASK, expr], text=True).stdout
                             or "{}")
        return got
    finally:
        for p in procs:
            harness.stop(p)
        shutil.rmtree(work)
