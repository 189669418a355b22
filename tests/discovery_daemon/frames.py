"""Hand-made Ethernet frames, for the daemon's tests: a discovery request
whose link-layer and IP destinations each may be a host's, a broadcast or
a multicast. Needs root (a packet socket).

Usage: frames.py IFACE SOURCE_IP MAC IP COUNT
Sends COUNT requests from SOURCE_IP to IP inside frames to MAC, 10 ms
apart, and prints each source that answered within 0.5 s of the last
with how many answers it sent, as JSON."""

import collections
import json
import socket
import struct
import sys
import time

REQUEST = bytes([0, 0, 0, 2, 0, 0, 0, 0x6D]) + bytes(32)


def checksum(header):
    total = sum(struct.unpack(f"!{len(header) // 2}H", header))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def frame(dst_mac, src_mac, src, dst, sport):
    udp = struct.pack("!HHHH", sport, 49100, 8 + len(REQUEST), 0) + REQUEST
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, socket.IPPROTO_UDP, 0,
                     socket.inet_aton(src), socket.inet_aton(dst))
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    return dst_mac + src_mac + b"\x08\x00" + ip + udp


def main(iface, source, mac, dst, count):
    with open(f"/sys/class/net/{iface}/address") as f:
        own_mac = bytes.fromhex(f.read().strip().replace(":", ""))
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.bind((source, 0))
    listener.settimeout(0.5)
    with socket.socket(socket.AF_PACKET, socket.SOCK_RAW) as raw:
        raw.bind((iface, 0))
        for _ in range(int(count)):
            raw.send(frame(bytes.fromhex(mac.replace(":", "")), own_mac, source, dst,
                           listener.getsockname()[1]))
            time.sleep(0.01)
    answers = collections.Counter()
    try:
        while True:
            answers[listener.recvfrom(64)[1][0]] += 1
    except socket.timeout:
        pass
    print(json.dumps(answers))


if __name__ == "__main__":
    main(*sys.argv[1:])
