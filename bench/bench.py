#!/usr/bin/env python3
"""Measures the programs and prints one table of figures. Run through
scripts/bench, as root: the daemon runs in a namespace of its own, vomo
reads a tree in a private mount namespace, and the finder asks a LAN of
namespaces. Nothing here passes or fails on time."""

import argparse
import datetime
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from testbed import fleet, harness, lan, sender, wire


BARE_PORT = 5000
BATCH_PORT = 5001
POLLED_PORT = 5002
ROUNDS = 5            # A B pairs of the throughput comparison
ROUND_SECONDS = 2
CPU_ROUNDS = 7        # rounds of the CPU comparison
INFLIGHT = 16
DEVICE = "/sys/bus/iio/devices/iio:device0"


SYSCALLS = "raw_syscalls:sys_enter"


def cpu_ticks(pid):
    """User and system time of every thread of pid, in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def cpu_ns(pid):
    """CPU time every thread of pid has run, in nanoseconds (the
    scheduler's own count, finer than clock ticks)."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
            total += int(f.read().split()[0])
    return total


# The responders run on the second CPU and the load on the first, so that
# neither's wake-ups depend on where the scheduler put the other: run to
# run, the CPU per request then moves by a few per cent, not thirty.
PINNED = (os.cpu_count() or 1) >= 2
LOAD_CPU = ["taskset", "-c", "0"] if PINNED else []


def pin(proc):
    if PINNED:
        subprocess.run(["taskset", "-a", "-p", "-c", "1", str(proc.pid)], check=True,
                       capture_output=True)


def perf_syscalls(target):
    """Starts perf counting the system calls of target (perf stat's own
    arguments: "--" and a command, or "-p" PID "--" "sleep" SECONDS).
    Calling the result waits for the count."""
    proc = subprocess.Popen(["perf", "stat", "-x,", "-e", SYSCALLS] + target,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)

    def count():
        _, err = proc.communicate(timeout=120)
        return int(next(line.split(",")[0] for line in err.splitlines() if SYSCALLS in line))
    return count


def ctx_switches(pid):
    """Context switches of each thread of pid, by thread id."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{tid}/status") as f:
            out[tid] = sum(int(line.split()[1]) for line in f
                           if line.startswith(("voluntary_ctxt", "nonvoluntary_ctxt")))
    return out


def vm_hwm(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(line.split()[1] for line in f if line.startswith("VmHWM:"))


def over_rounds(mine, base):
    """Each round's figure over that round's base, so that a slower stretch
    of the machine falls on both: the median and the range."""
    ratios = [a / b for a, b in zip(mine, base)]
    return f"{statistics.median(ratios):.2f} ({min(ratios):.2f}-{max(ratios):.2f} over the rounds)"


def bench_tarvo(native, rows):
    bed = lan.Lan()
    try:
        ns = bed.namespace("bench")
        lan.ip("link", "set", "lo", "up", ns=ns)
        tarvo = bed.spawn(ns, [os.path.join(native, "discovery_daemon", "tarvo")], 600)
        bare = bed.spawn(ns, [os.path.join(native, "bench", "bare_responder"), str(BARE_PORT)],
                         600)
        bed.wait_bound([tarvo])
        bed.wait_bound([bare], port=BARE_PORT)
        load = [*LOAD_CPU, os.path.join(native, "bench", "udp_load")]
        for proc in (tarvo, bare):
            pin(proc)

        def rate(port, seconds=ROUND_SECONDS):
            return float(bed.run(ns, [*load, str(port), str(seconds), str(INFLIGHT)],
                                 timeout=60, text=True).stdout.split()[0])
        ratios, rates = [], {"tarvo": [], "bare": []}
        for _ in range(ROUNDS):
            a, b = rate(49100), rate(BARE_PORT)
            rates["tarvo"].append(a)
            rates["bare"].append(b)
            ratios.append(a / b)
        rows.append(("tarvo: replies/s, 16 in flight over loopback (median)",
                     f"{statistics.median(rates['tarvo']):,.0f}",
                     "discovery requests one board answers per second, flat out"))
        rows.append(("bare blocking responder: replies/s (median)",
                     f"{statistics.median(rates['bare']):,.0f}", "the baseline"))
        rows.append(("tarvo / bare, median of A B pairs",
                     f"{statistics.median(ratios):.3f}  ({min(ratios):.3f}-{max(ratios):.3f})",
                     "above 1.0: no dearer than the least a responder can do"))

        # Every system call of the responder while one burst runs, idle
        # moments before and after included, over the replies it sent.
        for name, proc, port in (("tarvo", tarvo, 49100), ("bare responder", bare, BARE_PORT)):
            calls = perf_syscalls(["-p", str(proc.pid), "--", "sleep", "4"])
            time.sleep(0.5)
            replies = int(bed.run(ns, [*load, str(port), "3", str(INFLIGHT)], timeout=60,
                                  text=True).stdout.split()[1])
            per = calls() / replies
            rows.append((f"{name}: system calls per answered datagram, under the burst",
                         f"{per:.3f}", "board CPU spent in the kernel per request"))

        # CPU (user + system) per answered request under the same load:
        # unlike throughput, it hardly moves from run to run.
        batch = bed.spawn(ns, [os.path.join(native, "bench", "batch_responder"),
                               str(BATCH_PORT)], 600)
        # The same, waiting in epoll_wait as tarvo must (it waits on
        # several sockets and rtnetlink): over the blocking one, the cost
        # of that wait alone.
        polled = bed.spawn(ns, [os.path.join(native, "bench", "batch_responder"), "--epoll",
                                str(POLLED_PORT)], 600)
        bed.wait_bound([batch], port=BATCH_PORT)
        bed.wait_bound([polled], port=POLLED_PORT)
        pin(batch)
        pin(polled)
        # The responders take turns, so that a slower stretch of the
        # machine falls on each of them alike.
        # From a peer on a LAN, unicast and to the subnet's broadcast
        # address (only tarvo's wildcard socket gets that), one request at
        # a time as hosts ask, and 16 in flight.
        bed.attach(ns, {"eth0": "10.83.0.1/24"})
        peers = [bed.node(f"peer{i}", f"10.83.0.{i + 2}/24") for i in range(2)]
        responders = (("tarvo", tarvo, 49100), ("batching", batch, BATCH_PORT),
                      ("polled", polled, POLLED_PORT), ("bare", bare, BARE_PORT))
        for dest, what in (("10.83.0.1", "unicast"), ("10.83.0.255", "broadcast")):
            for inflight in (1, INFLIGHT):
                per = {name: [] for name, _, _ in responders}
                for _ in range(CPU_ROUNDS):
                    for name, proc, port in responders:
                        before = cpu_ns(proc.pid)
                        replies = int(bed.run(peers[0], [*load, str(port), str(ROUND_SECONDS),
                                                         str(inflight), dest], timeout=60,
                                              text=True).stdout.split()[1])
                        per[name].append((cpu_ns(proc.pid) - before) / 1e3 / replies)
                cpu = {name: statistics.median(v) for name, v in per.items()}
                rows.append((f"CPU per answered {what} request, {inflight} in flight from a "
                             "LAN peer: tarvo, batching (recvmmsg/sendmmsg, one socket), the "
                             "same waiting in epoll_wait, bare "
                             f"(median of {CPU_ROUNDS}, in turn)",
                             ", ".join(f"{cpu[n]:.2f} µs" for n, _, _ in responders),
                             f"tarvo / batching: {over_rounds(per['tarvo'], per['batching'])}; "
                             "batching in epoll_wait / batching: "
                             f"{over_rounds(per['polled'], per['batching'])}"))

        rows.append(("tarvo: peak memory (VmHWM) after the bursts, native",
                     f"{vm_hwm(tarvo.pid)} KiB", "resident memory the daemon ever needed"))

        # Idle, beside two peers that forget the board and send to other
        # ports of it every 50 ms; then under address queries for the
        # board from a new address each, 5000 a second.
        for label, cmds, seconds in (
                ("idle beside two chatting peers", [["chatter", "10.83.0.1", "10"]] * 2, 10),
                ("under 5000 address queries a second", [["arp", "10.83.0.1", "5000", "5"]], 5)):
            time.sleep(1)
            before, ticks = ctx_switches(tarvo.pid), cpu_ticks(tarvo.pid)
            for peer, cmd in zip(peers, cmds):
                bed.spawn(peer, [sys.executable, sender.__file__, *cmd], 60)
            time.sleep(seconds)
            after, used = ctx_switches(tarvo.pid), cpu_ticks(tarvo.pid) - ticks
            per_min = ", ".join(f"{(after[t] - before[t]) * 60 // seconds}"
                                for t in sorted(before, key=int))
            rows.append((f"tarvo {label}: wake-ups per minute of each thread (main, service); "
                         "CPU", f"{per_min}; {100 * used / os.sysconf('SC_CLK_TCK') / seconds:.1f} %",
                         "0: neither ARP nor other ports wake the daemon"))
    finally:
        bed.close()


CHANNELS = {"in_temp0_raw": "2500\n", "in_voltage0_vccint_raw": "1365\n",
            "in_voltage1_vccaux_raw": "2458\n", "in_voltage2_vccbram_raw": "1366\n",
            "in_voltage3_vccpint_raw": "1364\n", "in_voltage4_vccpaux_raw": "2457\n",
            "in_voltage5_vccoddr_raw": "2048\n", "in_voltage6_vrefp_raw": "1707\n",
            "in_voltage7_vrefn_raw": "-2\n"}


def vomo_inner(vomo):
    """In a private mount namespace: vomo on a 9-channel and a 1-channel
    tree. Prints syscalls per channel, then vomo's and cat's best times."""
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/sys/bus"], check=True)

    def tree(channels):
        shutil.rmtree("/sys/bus/iio", ignore_errors=True)
        os.makedirs(DEVICE)
        for name in channels:
            with open(os.path.join(DEVICE, name), "w") as f:
                f.write(CHANNELS[name])
            with open(os.path.join(DEVICE, name.replace("_raw", "_scale")), "w") as f:
                f.write("0.732421875\n")

    def syscalls():
        return perf_syscalls(["--", vomo])()

    tree(["in_temp0_raw"])
    one = min(syscalls() for _ in range(5))
    tree(CHANNELS)
    nine = min(syscalls() for _ in range(5))
    files = [os.path.join(DEVICE, n) for n in CHANNELS]

    def best(cmd, runs=300):
        t = []
        for _ in range(runs):
            start = time.perf_counter()
            subprocess.run(cmd, stdout=subprocess.DEVNULL, check=False)
            t.append(time.perf_counter() - start)
        return min(t)
    print((nine - one) / 8, best([vomo]), best(["cat"] + files))


def bench_vomo(native, rows):
    p = subprocess.run(["unshare", "-m", "--", sys.executable, __file__, "--vomo-inner",
                        os.path.join(native, "analog_monitor", "vomo")],
                       capture_output=True, text=True, timeout=600, check=True)
    per_channel, vomo_s, cat_s = map(float, p.stdout.split())
    rows.append(("vomo: system calls per channel ((9-ch run - 1-ch run) / 8)",
                 f"{per_channel:.1f}", "open, read, close per channel"))
    rows.append(("vomo: wall time, 9 channels, best of 300 (cat of the same files)",
                 f"{vomo_s * 1000:.2f} ms ({cat_s * 1000:.2f} ms)",
                 "a report costs about what reading the files costs"))


def bench_sizes(arm, rows):
    strip = shutil.which("arm-linux-gnueabihf-strip")
    with tempfile.TemporaryDirectory() as work:
        for prog, path in (("tarvo", "discovery_daemon/tarvo"), ("vomo", "analog_monitor/vomo")):
            out = os.path.join(work, prog)
            subprocess.run([strip, "-o", out, os.path.join(arm, path)], check=True)
            rows.append((f"{prog}: stripped static ARM program",
                         f"{os.path.getsize(out) / 1024:.0f} KiB",
                         "flash taken on the board (mostly the C library)"))


def bench_board(arm, rows):
    from testbed import board
    with tempfile.TemporaryDirectory() as work:
        initramfs = os.path.join(work, "initramfs.gz")
        kernel = board.images(os.path.join(arm, "discovery_daemon", "tarvo"),
                              os.path.join(arm, "analog_monitor", "vomo"),
                              os.path.join(arm, "deploy", "S50tarvo"), initramfs)
        start = time.monotonic()
        b = board.boot(kernel, initramfs)
        try:
            status, _ = b.run("vomo")
            booted = time.monotonic() - start
            for _ in range(200):
                b.ask(wire.REQUEST, tries=3)
            _, out = b.run("grep VmHWM /proc/$(cat /var/run/tarvo.pid)/status")
        finally:
            b.stop()
    rows.append(("emulated board: power-on to vomo's report (kernel cached)",
                 f"{booted:.1f} s", "under software emulation; a real board is faster"))
    rows.append(("tarvo: peak memory (VmHWM) on the emulated board, after 200 requests",
                 out[0].split()[1] + " KiB" if out else "?", "resident memory on the board"))


def bench_finder(native, rows):
    bed = lan.Lan()
    try:
        host = bed.host("host", {"eth0": "10.81.0.1/16"})
        daemons = [bed.spawn(bed.node(f"b{i}", f"10.81.{1 + i // 100}.{1 + i % 100}/16"),
                             [os.path.join(native, "discovery_daemon", "tarvo")], 900)
                   for i in range(200)]
        bed.wait_bound(daemons, seconds=120)
        finder = os.path.join(native, "board_finder", "corvane-find")
        # Timed inside the host namespace, so that entering it is not counted:
        # the command as a whole process, the library's run call from C, and
        # the module's find call from Python.
        timer = ("import subprocess, sys, time; t = time.perf_counter(); "
                 "p = subprocess.run(sys.argv[1:], capture_output=True, text=True); "
                 "print(time.perf_counter() - t, len(p.stdout.splitlines()) - 1)")
        python = ("import sys, time, corvane; t = time.perf_counter(); "
                  "b = corvane.find(wait=30, count=int(sys.argv[1])); "
                  "print(time.perf_counter() - t, len(b))")
        asyncio = ("import asyncio, sys, time, corvane; t = time.perf_counter(); "
                   "b = asyncio.run(corvane.find_async(wait=30, count=int(sys.argv[1]))); "
                   "print(time.perf_counter() - t, len(b))")
        env = dict(os.environ, PYTHONPATH=os.path.join(native, "python"),
                   LD_LIBRARY_PATH=os.path.join(native, "libcorvane-find"))
        ways = (("corvane-find -n N (whole process)",
                 lambda n: [sys.executable, "-c", timer, finder, "-n", str(n), "-t", "30"]),
                ("C: corvane_finder_run, count N",
                 lambda n: [os.path.join(native, "bench", "find_nth"), str(n)]),
                ("Python: corvane.find(count=N)",
                 lambda n: [sys.executable, "-c", python, str(n)]),
                ("Python: await corvane.find_async(count=N)",
                 lambda n: [sys.executable, "-c", asyncio, str(n)]))
        for n in (1, 50, 200):
            for name, cmd in ways:
                times = []
                for _ in range(3):
                    p = bed.run(host, cmd(n), text=True, env=env)
                    took, found = p.stdout.split()
                    times.append(float(took))
                    found = int(found)
                rows.append((f"{name.replace('N', str(n))}: time to board {n} of 200, best of 3",
                             f"{min(times) * 1000:.0f} ms" + ("" if found == n else f", {found} found"),
                             "how long a program or person waits for the boards"))
    finally:
        bed.close()


def bench_watch_and_rack(native, rows):
    """A watch with rounds every second, a board started and stopped
    under it; and a /22 rack with 20 boards and 1002 empty slots, with the
    kernel's default send buffer limit."""
    finder = os.path.join(native, "board_finder", "corvane-find")
    tarvo = os.path.join(native, "discovery_daemon", "tarvo")
    bed = lan.Lan()
    try:
        host = bed.host("host", {"eth0": "10.83.0.1/22"})
        node = bed.node("board", "10.83.1.5/22")
        watcher = bed.spawn(host, [finder, "--watch", "--every", "1", "10.83.1.5"], 300,
                            stdout=subprocess.PIPE, bufsize=0)
        found, lost = [], []
        for _ in range(3):
            started = time.monotonic()
            board = bed.spawn(node, [tarvo], 120)
            watcher.stdout.readline()
            found.append(time.monotonic() - started)
            stopped = time.monotonic()
            harness.stop(board)
            watcher.stdout.readline()
            lost.append(time.monotonic() - stopped)
        harness.stop(watcher)
        # Each start and stop follows a round at once (the event that ends
        # the step came with one): the slowest case.
        rows.append(("watch, rounds every 1 s: board started just after a round to its found "
                     "event, median of 3", f"{statistics.median(found):.2f} s",
                     "at most one round"))
        rows.append(("watch, rounds every 1 s: board stopped just after a round to its lost "
                     "event, median of 3", f"{statistics.median(lost):.2f} s",
                     "the 3 rounds it misses, and the one that tells"))
        rack = [f"10.83.{i // 7}.{10 + 33 * (i % 7)}" for i in range(1, 21)]
        bed.wait_bound([bed.spawn(bed.node(f"r{i}", a + "/22"), [tarvo], 300)
                        for i, a in enumerate(rack)])
        times = []
        with lan.default_socket_buffers():
            for _ in range(3):
                started = time.monotonic()
                p = bed.run(host, [finder, "-n", "20", "-t", "30", "10.83.0.0/22"], text=True)
                times.append(time.monotonic() - started)
        rows.append(("a /22 rack, 20 boards and 1002 empty slots: all 20 found, best of 3",
                     f"{min(times) * 1000:.0f} ms" + ("" if p.returncode == 0 else ", not all"),
                     "empty slots keep no board from being asked"))
    finally:
        bed.close()


def bench_event_loop(native, rows):
    """What a program's own loop sees: a name server that never answers,
    and a /16 beyond a router; and a /20 rack behind a Linux router, asked
    at the default rate."""
    finder = os.path.join(native, "board_finder", "corvane-find")
    tarvo = os.path.join(native, "discovery_daemon", "tarvo")
    bed = lan.Lan()
    try:
        host = bed.host("host", {"eth0": "10.209.0.1/24"})
        bed.resolver(host, "nameserver 10.209.0.99\noptions timeout:30 attempts:1\n")
        bed.spawn(bed.node("dns", "10.209.0.99/24"), [sys.executable, "-c",
                  "import socket\ns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                  "s.bind(('0.0.0.0', 53))\nwhile True: s.recv(512)"], 600)
        router = bed.host("router", {"eth0": "10.209.0.254/24", "eth1": "10.210.0.1/20"})
        bed.sysctl(router, {"net.ipv4.ip_forward": 1, "net.ipv4.conf.all.send_redirects": 0})
        for net in ("10.210.0.0/20", "10.211.0.0/16"):
            bed.run(host, ["ip", "route", "add", net, "via", "10.209.0.254"])
        bed.run(router, ["ip", "route", "add", "unreachable", "10.211.0.0/16"])
        rack = ["10.210.0.20", "10.210.8.9", "10.210.15.250"]
        boards = []
        for i, addr in enumerate(rack):
            node = bed.node(f"b{i}", addr + "/20")
            bed.run(node, ["ip", "route", "add", "default", "via", "10.210.0.1"])
            boards.append(bed.spawn(node, [tarvo], 600))
        bed.wait_bound(boards)
        p = bed.run(host, [sys.executable, EVENT_LOOP, "board.example", "10.211.0.0/16"],
                    timeout=120,
                    text=True, env=dict(os.environ, PYTHONPATH=os.path.join(native, "python"),
                                        LD_LIBRARY_PATH=os.path.join(native, "libcorvane-find")))
        got = {k: v[0] if isinstance(v, list) else v for k, v in json.loads(p.stdout).items()
               if k != "start_rc"}
        ms = {k: f"{v * 1000:.2f} ms" for k, v in got.items()}
        rows.append(("start_run of a name the name server never answers", ms["start"],
                     "returns at once; the name is looked up beside the loop"))
        rows.append(("asyncio: longest 10 ms tick during find_async, watch_async of that name",
                     f"{ms['name_run']}, {ms['name_watch']}", "the loop never waits on a name server"))
        rows.append(("a /16 beyond a router: longest dispatch over a 5 s run", ms["routed_dispatch"],
                     "128 addresses a second, in slices"))
        rows.append(("asyncio: longest 10 ms tick during find_async, watch_async of that /16",
                     f"{ms['routed_run']}, {ms['routed_watch']}",
                     "a GUI never freezes for a rack"))
        for ns in (host, router):
            bed.run(ns, ["ip", "neigh", "flush", "all"])
        most, done = [0], threading.Event()

        def sample():
            while not done.wait(0.2):
                out = bed.run(router, ["ip", "-o", "neigh", "show", "nud", "incomplete"],
                              text=True).stdout
                most[0] = max(most[0], len(out.splitlines()))
        sampler = threading.Thread(target=sample)
        sampler.start()
        started = time.monotonic()
        watcher = bed.spawn(host, [finder, "--watch", "--every", "1", "10.210.0.0/20"], 120,
                            stdout=subprocess.PIPE, bufsize=0)
        seen = 0
        while seen < len(rack) and time.monotonic() - started < 60:
            if watcher.stdout.readline().startswith(b"found"):
                seen += 1
        took = time.monotonic() - started
        harness.stop(watcher)
        done.set()
        sampler.join()
        rows.append(("a /20 rack behind a router, boards at its start, middle and end: --watch "
                     "--every 1 to all found; the router's most unresolved entries",
                     f"{took:.1f} s, {most[0]}" + ("" if seen == len(rack) else ", not all"),
                     "32 s at 128 a second; under half the router's 1024"))
    finally:
        bed.close()


SENDER = sender.__file__
EVENT_LOOP = os.path.join(os.path.dirname(lan.__file__), "event_loop.py")


# The shapes an attacker may choose (how many forged addresses, 0 for a new
# one each request) and the rates, as the grid of scripts/bench.
SPOOF_SHAPES = (1, 8, 16, 64, 200, 0)
SPOOF_RATES = (1000, 3000, 10000, 30000)
# More forged addresses than tarvo has slots, at the fast rates.
SPOOF_CROWDS = ((4500, 8000, 5000, 20000), (10000, 30000))


def bench_fleet(native, rows, count=1000):
    """A lab's fleet: a thousand boards on one /21 and a forger that answers
    the first request with 400 forged replies. A one-shot search from a
    cold cache (as a user, whose buffer rmem_max bounds), the time a watch
    takes to list them all, and its CPU per round per board."""
    finder = os.path.join(native, "board_finder", "corvane-find")
    tarvo = os.path.join(native, "discovery_daemon", "tarvo")
    peer = os.path.join(os.path.dirname(__file__), "..", "tests", "board_finder", "peer.py")
    with fleet.fleet(count, tarvo, forger=True) as (bed, host, addrs, forger):
        boards = set(addrs)

        def one_shot(limit, wait=()):
            for ns in bed.namespaces[1:]:
                bed.run(ns, ["ip", "neigh", "flush", "all"])
            went = fleet.forge(bed, forger, peer)
            with fleet.rmem(limit):
                p = bed.spawn(host, harness.NOBODY + [finder, "--json", *wait], 60,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                went()
                out, err = p.communicate(timeout=60)
            listed = {b["address"] for b in json.loads(out or "[]")}
            said = "; the loss said" if "rmem_max" in err else ""
            return f"{len(listed & boards)} of {count}, {len(listed - boards)} forged{said}"
        rows.append((f"{count} boards and 400 forged answers, cold cache, default wait: "
                     "listed at rmem_max 4 MiB", one_shot(4 << 20),
                     "every board, never a forged address"))
        rows.append((f"the same at the kernel's default rmem_max (212992)", one_shot(212992),
                     "at least 90 %, and what was lost is said"))
        # A slow machine takes longer than the default second over the
        # thousand ARP exchanges a cold cache needs.
        rows.append((f"the same at 4 MiB, -t 5", one_shot(4 << 20, ["-t", "5"]),
                     "every board where the default wait was too short"))
        started = time.monotonic()
        watcher = bed.spawn(host, [finder, "--watch", "--every", "1"], 120,
                            stdout=subprocess.PIPE, bufsize=0)
        seen = set()
        while len(seen) < count and time.monotonic() - started < 60:
            line = watcher.stdout.readline().split()
            if line[:1] == [b"found"]:
                seen.add(line[1].decode())
        took = time.monotonic() - started
        time.sleep(0.5)
        before = cpu_ticks(watcher.pid)
        time.sleep(10)
        ticks = cpu_ticks(watcher.pid) - before
        harness.stop(watcher)
        hz = os.sysconf("SC_CLK_TCK")
        rows.append((f"watch, rounds every 1 s: all {count} boards found", f"{took:.2f} s"
                     + ("" if len(seen) == count else f", only {len(seen)}"),
                     "a lab's whole fleet in its first round"))
        rows.append((f"watch of {count} boards: CPU per round per board, 10 rounds",
                     f"{ticks / hz / 10 / count * 1e6:.1f} us",
                     "a broadcast and each board's confirmation every round"))


def spoofed_share(native, cmd, count, rate, newcomer, seconds=3):
    """The share of a real host's requests (every 40 ms, 0.1 s timeout)
    that the responder `cmd` answers while `rate` forged requests a second
    come from `count` on-link addresses that nobody holds; with
    `newcomer`, the host asks by broadcast and the board has never
    resolved it."""
    bed = lan.Lan()
    try:
        host = bed.node("host", "10.82.0.9/16")
        attacker = bed.node("attacker", "10.82.0.66/16")
        board = bed.spawn(bed.node("board", "10.82.0.1/16"), cmd, 120)
        bed.wait_bound([board])
        attack = bed.spawn(attacker, [sys.executable, SENDER, "sources", "10.82", "10.82.0.1",
                                      str(rate), str(seconds), str(count)], 120)
        dest = "10.82.255.255" if newcomer else "10.82.0.1"
        answered, asked = map(int, bed.run(
            host, [sys.executable, SENDER, "poll", dest, "0.04", str(seconds)],
            text=True).stdout.split())
        attack.wait(timeout=60)
        return answered / asked
    finally:
        bed.close()


def bench_spoofed(native, rows):
    """The grid of forged on-link sources, with the kernel's default send
    buffer limit: tarvo (unprivileged) beside a responder whose buffer is
    forced so large it never fills, for a host the board knows and for a
    newcomer that asks by broadcast."""
    responders = (harness.NOBODY + [os.path.join(native, "discovery_daemon", "tarvo")],
                  [os.path.join(native, "bench", "bare_responder"), "49100", str(64 << 20)])
    with lan.default_socket_buffers():
        for count in SPOOF_SHAPES:
            for rate in SPOOF_RATES:
                shares = [f"{100 * spoofed_share(native, cmd, count, rate, newcomer):.0f} %"
                          for newcomer in (False, True) for cmd in responders]
                shape = f"{count} addresses" if count else "a new address each"
                rows.append((f"answered under {rate}/s forged from {shape}, 3 s "
                             "(known host: tarvo, unfillable; newcomer: tarvo, unfillable)",
                             ", ".join(shares), "a real host's requests still answered"))
        for count in SPOOF_CROWDS[0]:
            for rate in SPOOF_CROWDS[1]:
                shares = [f"{100 * spoofed_share(native, cmd, count, rate, False):.0f} %"
                          for cmd in responders]
                rows.append((f"answered under {rate}/s forged from {count} addresses, more than "
                             "tarvo's 4096 slots, 3 s (known host: tarvo, unfillable)",
                             ", ".join(shares), "no number of forged addresses switches the "
                             "hold off"))


def machine():
    with open("/proc/cpuinfo") as f:
        model = next((line.split(":", 1)[1].strip() for line in f
                      if line.startswith("model name")), "unknown CPU")
    return f"{model}, {os.cpu_count()} cores, Linux {os.uname().release}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--native", help="the native build directory")
    ap.add_argument("--arm", help="the ARM build directory")
    ap.add_argument("--vomo-inner", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.vomo_inner:
        return vomo_inner(args.vomo_inner)

    rows = []
    for step in (lambda: bench_tarvo(args.native, rows),
                 lambda: bench_spoofed(args.native, rows), lambda: bench_vomo(args.native, rows),
                 lambda: bench_sizes(args.arm, rows), lambda: bench_board(args.arm, rows),
                 lambda: bench_finder(args.native, rows),
                 lambda: bench_watch_and_rack(args.native, rows),
                 lambda: bench_event_loop(args.native, rows),
                 lambda: bench_fleet(args.native, rows)):
        step()
        print(".", end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)
    print(f"Machine: {machine()}")
    print(f"Date: {datetime.datetime.now().astimezone():%Y-%m-%d %H:%M %Z}\n")
    width = max(len(r[0]) for r in rows)
    vwidth = max(len(r[1]) for r in rows)
    print(f"| {'Figure':<{width}} | {'Value':<{vwidth}} | What it means |")
    print(f"|{'-' * (width + 2)}|{'-' * (vwidth + 2)}|---|")
    for figure, value, meaning in rows:
        print(f"| {figure:<{width}} | {value:<{vwidth}} | {meaning} |")


if __name__ == "__main__":
    harness.script("bench", main)
