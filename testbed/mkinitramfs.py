#!/usr/bin/env python3
"""Packs the board's initramfs: BusyBox, the two programs, the boot script
and the init script that starts tarvo (and, from Python, further files). Written as a newc cpio archive
directly, so device nodes and ownership need no root rights.

Usage: mkinitramfs.py BUSYBOX TARVO VOMO INIT_SCRIPT OUTPUT"""

import gzip
import os
import sys
from pathlib import Path

BOARD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "board")


def entry(name, mode, data=b"", rdev=(0, 0), uid=0, gid=0):
    name_b = name.encode() + b"\0"
    fields = [0, mode, uid, gid, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name_b), 0]
    head = b"070701" + b"".join(b"%08X" % f for f in fields)
    pad = lambda n: b"\0" * (-n % 4)  # noqa: E731
    return head + name_b + pad(len(head) + len(name_b)) + data + pad(len(data))


def main(busybox, tarvo, vomo, init_script, output, extra=None):
    read = lambda p: Path(p).read_bytes()  # noqa: E731
    out = []
    for d in ("bin", "sbin", "usr", "usr/bin", "usr/sbin", "dev", "proc", "sys",
              "etc", "etc/init.d", "tmp", "var", "var/run", "home", "home/board", "root"):
        out.append(entry(d, 0o40755, uid=1000 if d == "home/board" else 0,
                         gid=1000 if d == "home/board" else 0))
    out.append(entry("dev/console", 0o20600, rdev=(5, 1)))
    out.append(entry("dev/null", 0o20666, rdev=(1, 3)))
    out.append(entry("bin/busybox", 0o100755, read(busybox)))
    out.append(entry("bin/sh", 0o120777, b"busybox"))
    out.append(entry("usr/sbin/tarvo", 0o100755, read(tarvo)))
    out.append(entry("usr/bin/vomo", 0o100755, read(vomo)))
    out.append(entry("etc/init.d/S50tarvo", 0o100755, read(init_script)))
    out.append(entry("etc/passwd", 0o100644,
                     b"root:x:0:0:root:/root:/bin/sh\nboard:x:1000:1000:board:/home/board:/bin/sh\n"
                     b"tarvo:x:101:101:tarvo:/nonexistent:/bin/false\n"
                     b"nobody:x:65534:65534:nobody:/nonexistent:/bin/false\n"))
    out.append(entry("etc/group", 0o100644,
                     b"root:x:0:\nboard:x:1000:\ntarvo:x:101:\nnogroup:x:65534:\n"))
    out.append(entry("init", 0o100755, read(os.path.join(BOARD, "init"))))
    for path, src in (extra or {}).items():
        out.append(entry(path.lstrip("/"), 0o100644, read(src)))
    out.append(entry("TRAILER!!!", 0))
    tmp = output + ".tmp"
    with open(tmp, "wb") as f:
        f.write(gzip.compress(b"".join(out), mtime=0))
    os.replace(tmp, output)


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    main(*sys.argv[1:])
