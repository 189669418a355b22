"""A misbehaving responder on the discovery port, for the finder's tests.

  malformed: answers every request with datagrams that are not a board's
             reply (zeros, 39 and 41 bytes, id 109, id 78)
  late:      answers a sender properly, but only from its third request on

Runs for at most SECONDS (default 60)."""

import socket
import sys
import time

REPLY = bytes([0, 0, 0, 2, 0, 0, 0, 77]) + bytes(32)


def wrong(id_):
    return bytes([0, 0, 0, 2, 0, 0, 0, id_]) + bytes(32)


MALFORMED = [bytes(40), REPLY[:39], REPLY + b"\0", wrong(109), wrong(78)]


def main(mode, seconds=60.0):
    deadline = time.monotonic() + seconds
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
            asked[sender] = asked.get(sender, 0) + 1
            if mode == "malformed":
                for d in MALFORMED:
                    s.sendto(d, sender)
            elif asked[sender] >= 3:
                s.sendto(REPLY, sender)


if __name__ == "__main__":
    main(sys.argv[1], *map(float, sys.argv[2:]))
