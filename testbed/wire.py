"""The discovery exchange as a host sees it on the wire."""

PORT = 49100
REQUEST = bytes([0, 0, 0, 2, 0, 0, 0, 0x6D]) + bytes(32)
REPLY = bytes([0, 0, 0, 2, 0, 0, 0, 0x4D]) + bytes(32)


def request(id_bytes=b"\x00\x00\x00\x6d", proto_ver=b"\x00\x00\x00\x02",
            seq=b"\x00\x00\x00\x00", rest=bytes(28)):
    """A 40-byte datagram: proto_ver, id, seq, then payload and trailer."""
    dgram = proto_ver + id_bytes + seq + rest
    assert len(dgram) == 40
    return dgram
