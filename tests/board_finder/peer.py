"""A misbehaving responder on the discovery port, for the finder's tests.

  malformed: answers every request with datagrams that are not a board's
             reply (zeros, 39 and 41 bytes, id 109, id 78)
  late:      answers a host properly, but only from its third request on
  flood:     on the first request, prints the time, waits for a line on
             stdin, then forges 100000 replies to it from everywhere: the
             hosts of one /24 of NET, hosts outside NET, NET's own network
             and broadcast addresses, ports 0 and 7; prints "done"
  crowd:     the same, with 400 replies from 400 hosts of NET
  swarm:     the same, with 150000 replies from as many hosts of NET, at
             about 100000 a second

Usage: peer.py MODE [SECONDS [NET]]; runs for at most SECONDS (default 60)."""

import ipaddress
import random
import socket
import sys
import time

from testbed.sender import forged
from testbed.wire import REPLY


def wrong(id_):
    return bytes([0, 0, 0, 2, 0, 0, 0, id_]) + bytes(32)


MALFORMED = [bytes(40), REPLY[:39], REPLY + b"\0", wrong(109), wrong(78)]


def forgeries(mode, net):
    """(source, port) of every forged reply, for hosts of net."""
    net = ipaddress.ip_network(net)
    first = int(net.network_address)
    if mode == "crowd":
        return [(str(ipaddress.ip_address(first + 256 + i)), 49100) for i in range(400)]
    rng = random.Random(7)
    if mode == "swarm":
        return [(str(ipaddress.ip_address(first + a)), 49100)
                for a in rng.sample(range(256, net.num_addresses - 1), 150000)]
    host = str(ipaddress.ip_address(first + 300))
    odd = [(str(net.network_address), 49100), (str(net.broadcast_address), 49100),
           ("0.1.2.3", 49100), (host, 0), (host, 7)]
    out = []
    for i in range(100000):
        if i % 4 == 0:
            out.append(odd[i // 4 % len(odd)])
        elif i % 4 == 1:
            out.append((str(ipaddress.ip_address(rng.randrange(1 << 24, 223 << 24))), 49100))
        else:
            out.append((str(ipaddress.ip_address(first + 7 * 256 + rng.randrange(256))), 49100))
    return out


def forge(sources, sender, per_10ms=None):
    print(time.monotonic(), flush=True)
    packets = [forged(src, sport, sender[0], REPLY, sender[1]) for src, sport in sources]
    sys.stdin.readline()
    start = time.monotonic()
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW) as raw:
        for i, p in enumerate(packets):
            if per_10ms and i % per_10ms == 0:
                time.sleep(max(start + i / per_10ms / 100 - time.monotonic(), 0))
            try:
                raw.sendto(p, (sender[0], 0))
            except OSError:
                pass
    print("done", flush=True)


def main(mode, seconds="60", net=None):
    deadline = time.monotonic() + float(seconds)
    sources = forgeries(mode, net) if mode in ("flood", "crowd", "swarm") else None
    asked = {}
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("0.0.0.0", 49100))
        while time.monotonic() < deadline:
            s.settimeout(max(deadline - time.monotonic(), 0.01))
            try:
                dgram, sender = s.recvfrom(2048)
            except socket.timeout:
                break
            if len(dgram) != 40 or dgram[4:8] != b"\0\0\0\x6d":
                continue
            asked[sender[0]] = asked.get(sender[0], 0) + 1
            if sources:
                forge(sources, sender, 1000 if mode == "swarm" else None)
                return
            if mode == "malformed":
                for d in MALFORMED:
                    s.sendto(d, sender)
            elif asked[sender[0]] >= 3:
                s.sendto(REPLY, sender)


if __name__ == "__main__":
    main(*sys.argv[1:])
