"""The boards as a Prometheus file-based service discovery list."""

from __future__ import annotations

import contextlib
import json
import os
import time
from typing import Iterable, Iterator, Union

from ._binding import Board, Event, FindError, _sorted
from ._search import watch


def prometheus_sd(boards: Iterable[Board], port: int = 9100) -> str:
    """The boards as a Prometheus file-based service discovery list, as
    corvane-find --watch --prometheus-sd writes it: one target group per
    board, "ADDRESS:PORT" (PORT the scrape port, the node exporter's by
    default), labelled corvane_interface, corvane_proto_ver and, when the
    board's MAC address is known, corvane_mac."""
    if isinstance(port, bool) or not isinstance(port, int) or not 1 <= port <= 65535:
        raise FindError(f"port {port!r}: not a port from 1 to 65535")
    groups = [{"targets": [f"{b.address}:{port}"],
               "labels": {"corvane_interface": b.interface,
                          "corvane_proto_ver": str(b.proto_ver),
                          **({"corvane_mac": b.mac} if b.mac else {})}}
              for b in _sorted(list(boards))]
    return json.dumps(groups, indent=2) + "\n"


def write_prometheus_sd(path: str, boards: Iterable[Board], port: int = 9100) -> None:
    """Replaces `path` with prometheus_sd(boards, port) whole: written
    beside it, then renamed over it, so that Prometheus never reads half a
    list."""
    text = prometheus_sd(boards, port)
    tmp = f"{path}.tmp"
    try:
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(tmp)
        raise


def watch_prometheus_sd(path: str, port: int = 9100, interval: float = 2.0,
                        interfaces: Union[str, Iterable[str]] = (),
                        targets: Union[str, Iterable[str]] = (),
                        forget_after: float = 86400.0) -> Iterator[Event]:
    """watch() that keeps `path` the service discovery list of the boards
    it sees (empty at first), replaced as each is found; yields each event
    after the file says so. A board that is lost stays listed, so that
    Prometheus says it is down, until it is found again or `forget_after`
    seconds have passed since it last answered (checked as events come)."""
    listed: "dict[str, Board]" = {}
    lost_at: "dict[str, float]" = {}
    prometheus_sd([], port)  # a bad port is said before the watch starts
    write_prometheus_sd(path, [], port)
    for event in watch(interval, interfaces, targets):
        address = event.board.address
        if event.kind == "found":
            listed[address] = event.board
            lost_at.pop(address, None)
        else:
            lost_at[address] = time.monotonic() - 3 * interval
        now = time.monotonic()
        for gone in [a for a, t in lost_at.items() if now - t >= forget_after]:
            listed.pop(gone, None)
            del lost_at[gone]
        write_prometheus_sd(path, listed.values(), port)
        yield event
