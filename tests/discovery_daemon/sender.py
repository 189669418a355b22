"""Hostile and ordinary traffic for the daemon's network tests, run inside
a test namespace:

  spoof SRC SPORT DST HEX COUNT   COUNT copies of the datagram HEX, with a
                                  forged source, through a raw socket
  flood DST COUNT                 COUNT datagrams of mixed lengths and kinds
                                  from four sockets
  ask DST TIMES                   TIMES discovery requests, each tried up to
                                  ten times; prints how many were answered
                                  and how many requests were sent"""

import socket
import struct
import sys
import time

PORT = 49100
DISCOVERY = bytes([0, 0, 0, 2, 0, 0, 0, 0x6D]) + bytes(32)
REPLY = bytes([0, 0, 0, 2, 0, 0, 0, 0x4D]) + bytes(32)
FLOOD = [b"", b"\x6d", b"\x6d" * 39, DISCOVERY, DISCOVERY + b"\0", b"\x6d" * 1471,
         b"\x6d" * 1472, b"\x6d" * 9000, bytes(40)]


def spoof(src, sport, dst, payload, count):
    udp = struct.pack("!HHHH", sport, PORT, 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, socket.IPPROTO_UDP, 0,
                     socket.inet_aton(src), socket.inet_aton(dst))
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW) as s:
        for _ in range(count):
            s.sendto(ip + udp, (dst, 0))


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
                s.sendto(DISCOVERY, (dst, PORT))
                sent += 1
                try:
                    if s.recvfrom(64)[0] == REPLY:
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
    else:
        ask(args[0], int(args[1]))
