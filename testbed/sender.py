"""Hostile and ordinary traffic for the daemon's network tests, run inside
a test namespace:

  spoof SRC SPORT DST HEX COUNT   COUNT copies of the datagram HEX, with a
                                  forged source, through a raw socket
  flood DST COUNT                 COUNT datagrams of mixed lengths and kinds
                                  from four sockets
  ask DST TIMES                   TIMES discovery requests, each tried up to
                                  ten times; prints how many were answered
                                  and how many requests were sent
  sources NET DST RATE SECONDS [COUNT]
                                  RATE discovery requests a second forged
                                  from hosts of NET (a /16 given as its
                                  first two bytes, 10.82) that do not
                                  exist: a new one for each request, or
                                  COUNT of them, each from random ports
  batch DST                       four datagrams from four sockets (DST may
                                  be a broadcast address) with three
                                  forged from the subnet's broadcast address
                                  among them; prints "queued", waits for a
                                  line on stdin, then what each socket got
  poll DST INTERVAL SECONDS       one request every INTERVAL seconds; prints
                                  how many were answered and how many asked
  chatter DST SECONDS             what a quiet LAN peer does: forgets its
                                  neighbours and sends a datagram to another
                                  port of DST, every 50 ms
  arp DST RATE SECONDS [NET]      RATE address queries a second for DST on
                                  eth0, each from a new address of DST's
                                  /24, or of NET's (its first three bytes)
  turns DST ASKERS FLOWS EACH     one request from each of ASKERS sockets,
                                  then EACH from each of FLOWS sockets;
                                  prints "queued", waits for a line on stdin,
                                  then watches eth0 for the replies and
                                  prints how many of the flows' came before
                                  the last asker's, how many askers and how
                                  many flow requests were answered"""

import random
import socket
import struct
import subprocess
import sys
import time

from testbed.wire import PORT, REPLY, REQUEST

FLOOD = [b"", b"\x6d", b"\x6d" * 39, REQUEST, REQUEST + b"\0", b"\x6d" * 1471,
         b"\x6d" * 1472, b"\x6d" * 9000, bytes(40)]


def forged(src, sport, dst, payload, dport=PORT):
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    return struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, socket.IPPROTO_UDP, 0,
                       socket.inet_aton(src), socket.inet_aton(dst)) + udp


def spoof(src, sport, dst, payload, count):
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        for _ in range(count):
            s.sendto(forged(src, sport, dst, payload), (dst, 0))


def paced(interval, seconds):
    """Yields the index of each tick, every `interval` seconds, for
    `seconds`; late ticks are not made up."""
    start = time.monotonic()
    for i in range(int(seconds / interval)):
        delay = start + i * interval - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        yield i


def sources(net, dst, rate, seconds, count=0):
    """Sent a millisecond's worth at a time, which a rate of 30000 needs."""
    k = 0
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW) as s:
        for tick in paced(0.001, seconds):
            while k < (tick + 1) * rate / 1000:
                i = k % count if count else k
                src = f"{net}.{100 + i // 250 % 150}.{1 + i % 250}"
                sport = random.randrange(1024, 65536) if count else 40000
                s.sendto(forged(src, sport, dst, REQUEST), (dst, 0))
                k += 1


def batch(dst):
    net = dst.rsplit(".", 1)[0]
    socks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(4)]
    for s in socks:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    for i, dgram in enumerate((REQUEST, b"\x6d" * 39, REQUEST[:4] + b"\0\0\0\x4d" + bytes(32),
                               REQUEST)):
        socks[i].sendto(dgram, (dst, PORT))
        if i == 0:
            spoof(net + ".255", 5000, dst, REQUEST, 3)
    print("queued", flush=True)
    sys.stdin.readline()
    got = []
    for s in socks:
        s.settimeout(2 if len(got) != 1 else 0.5)
        try:
            reply = s.recvfrom(64)[0]
            got.append({REPLY: "reply", bytes(40): "zeros"}.get(reply, reply.hex()))
        except socket.timeout:
            got.append("none")
    print(*got)


def poll(dst, interval, seconds):
    asked = answered = 0
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setblocking(False)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)

        def take():
            nonlocal answered
            try:
                while True:
                    answered += s.recvfrom(64)[0] == REPLY
            except BlockingIOError:
                pass
        for _ in paced(interval, seconds):
            s.sendto(REQUEST, (dst, PORT))
            asked += 1
            take()
        time.sleep(1)
        take()
    print(answered, asked)


def turns(dst, askers, flows, each):
    capture = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(0x0800))
    capture.bind(("eth0", 0))
    capture.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    socks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(askers + flows)]
    for i, s in enumerate(socks):
        for _ in range(1 if i < askers else each):
            s.sendto(REQUEST, (dst, PORT))
    asker_ports = {s.getsockname()[1] for s in socks[:askers]}
    print("queued", flush=True)
    sys.stdin.readline()
    capture.settimeout(2)
    before = flood_seen = 0
    answered = set()
    try:
        while len(answered) < askers or flood_seen < flows * each:
            ip = capture.recv(2048)
            head = (ip[0] & 15) * 4
            sport, dport = struct.unpack("!HH", ip[head:head + 4])
            if ip[9] != socket.IPPROTO_UDP or sport != PORT:
                continue
            if dport in asker_ports:
                answered.add(dport)
                before = flood_seen
            else:
                flood_seen += 1
    except socket.timeout:
        pass
    print(before, len(answered), flood_seen)


def chatter(dst, seconds):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        for i in paced(0.05, seconds):
            subprocess.run(["ip", "neigh", "flush", "all"], check=True)
            s.sendto(bytes(40), (dst, 9 + i % 100))


def arp(dst, rate, seconds, net=None):
    net = net or dst.rsplit(".", 1)[0]
    k = 0
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as s:
        s.bind(("eth0", 0))
        for tick in paced(0.001, seconds):
            while k < (tick + 1) * rate / 1000:
                mac = bytes([2, 0x42]) + k.to_bytes(4, "big")
                src = socket.inet_aton(f"{net}.{10 + k % 240}")
                s.send(b"\xff" * 6 + mac + b"\x08\x06" +
                       struct.pack("!HHBBH", 1, 0x0800, 6, 4, 1) + mac + src + bytes(6) +
                       socket.inet_aton(dst))
                k += 1


def flood(dst, count):
    socks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(4)]
    for i in range(count):
        try:
            socks[i % 4].sendto(FLOOD[i % len(FLOOD)], (dst, PORT))
        except BlockingIOError:
            pass
    print(count)


def ask(dst, times):
    answered = sent = 0
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(0.2)
        for _ in range(times):
            for _ in range(10):
                s.sendto(REQUEST, (dst, PORT))
                sent += 1
                try:
                    # Only from the address asked: a board with several
                    # answers from the one its request went to.
                    if s.recvfrom(64) == (REPLY, (dst, PORT)):
                        answered += 1
                        break
                except socket.timeout:
                    continue
            time.sleep(0.005)
    print(answered, sent)


if __name__ == "__main__":
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "spoof":
        spoof(args[0], int(args[1]), args[2], bytes.fromhex(args[3]), int(args[4]))
    elif cmd == "flood":
        flood(args[0], int(args[1]))
    elif cmd == "sources":
        sources(args[0], args[1], float(args[2]), float(args[3]), *map(int, args[4:]))
    elif cmd == "batch":
        batch(args[0])
    elif cmd == "chatter":
        chatter(args[0], float(args[1]))
    elif cmd == "arp":
        arp(args[0], float(args[1]), float(args[2]), *args[3:])
    elif cmd == "turns":
        turns(args[0], *map(int, args[1:]))
    elif cmd == "poll":
        poll(args[0], float(args[1]), float(args[2]))
    else:
        ask(args[0], int(args[1]))
