"""A lab's fleet on one LAN of namespaces: a host, `count` boards each
running the real tarvo in a namespace of its own, on one /21, and
optionally a forger that answers the first request it hears with 400
forged replies from unused addresses of the subnet. The neighbour table
and the socket buffers are the whole machine's: fleet() raises the
table's limits (and the backlog of packets each CPU takes) for its run
and puts them back, and rmem() sets the receive buffers' limit the same
way."""

import contextlib
import os
import subprocess
import sys

from testbed import harness, lan

NET = "10.70.0.0/21"
HOST = "10.70.0.1"
NEIGH_KEYS = [f"net.ipv4.neigh.default.gc_thresh{i}" for i in (1, 2, 3)]


def board_address(i):
    """The i-th board's address: from 10.70.3.1 on, clear of the forged
    ones."""
    n = 3 * 256 + 1 + i
    return f"10.70.{n // 256}.{n % 256}"


@contextlib.contextmanager
def machine_settings(settings):
    """Sets sysctls of the whole machine ({key: value}) and puts them
    back afterwards."""
    was = dict(zip(settings, harness.run(["sysctl", "-n", *settings], 30).split()))
    harness.run(["sysctl", "-qw", *(f"{k}={v}" for k, v in settings.items())], 30)
    try:
        yield
    finally:
        harness.run(["sysctl", "-qw", *(f"{k}={v}" for k, v in was.items())], 30)


def rmem(limit):
    """net.core.rmem_max at `limit` bytes for a while."""
    return machine_settings({"net.core.rmem_max": limit})


@contextlib.contextmanager
def fleet(count, tarvo, forger=None):
    """Yields (bed, host, boards' addresses, forger's namespace or None),
    every board bound; the neighbour table takes 4 entries a board (the
    host's and each board's own, and room for the rest of the machine)."""
    room = max(4096, 4 * count)
    settings = dict(zip(NEIGH_KEYS, (room // 4, room // 2, room)))
    # From cold neighbour caches every board asks the host's address at
    # once, and the bridge floods each question to every port: count
    # times count frames in each CPU's backlog, which takes 1000. A real
    # switch queues them in its ports, the namespaces' LAN in that
    # backlog (at most 2^18, a few hundred MB at the worst).
    settings["net.core.netdev_max_backlog"] = min(max(1000, count * (count + 4)), 1 << 18)
    with machine_settings(settings):
        bed = lan.Lan()
        try:
            host = bed.host("host", {"eth0": HOST + "/21"})
            addrs = [board_address(i) for i in range(count)]
            daemons = [bed.spawn(bed.node(f"b{i}", a + "/21"), [tarvo], 1800)
                       for i, a in enumerate(addrs)]
            ns = bed.node("forger", "10.70.7.66/21") if forger else None
            bed.wait_bound(daemons, seconds=120)
            yield bed, host, addrs, ns
        finally:
            bed.close()


def forge(bed, ns, peer):
    """Starts the forger in ns: 400 forged replies to the first request it
    hears, from 10.70.1.0 to 10.70.2.143, where no board is. Returns a
    function that waits for it to have sent them."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    p = bed.spawn(ns, [sys.executable, peer, "crowd", "120", NET],
                  stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                  env=dict(os.environ, PYTHONPATH=root))
    bed.wait_bound([p])

    def went():
        p.stdout.readline()  # the time it was asked
        p.stdin.write(b"go\n")
        p.stdin.flush()
        return p.stdout.readline() == b"done\n"
    return went
