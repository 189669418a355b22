"""Find Corvane boards on the local network.

    >>> import corvane
    >>> for board in corvane.find(wait=0.5):
    ...     print(board.address, board.interface, board.rtt_ms)

The search is libcorvane-find's, the same as the corvane-find command's:
the discovery request goes out three times within the wait, as a broadcast
on every interface that is up (or on those named) or to the targets named,
and only answers from where a request went count. A call never lasts
longer than the wait.
"""

from __future__ import annotations

import ctypes
import ipaddress
from dataclasses import dataclass
from typing import Iterable, List, Union

__all__ = ["Board", "FindError", "find"]


class FindError(Exception):
    """A bad argument, or a system error (an unknown interface or host name,
    no interface to broadcast on, ...). str() of it is the one-line reason
    that corvane-find prints."""


@dataclass(frozen=True)
class Board:
    """One board that answered."""

    address: str
    """Dotted quad of the board."""
    port: int
    """The port the answer came from."""
    proto_ver: int
    """The protocol version the board states."""
    interface: str
    """The local interface the answer came in on; "" when unknown."""
    rtt_ms: float
    """Milliseconds since the request that it answered."""


class _Board(ctypes.Structure):
    _fields_ = [("address", ctypes.c_char_p), ("port", ctypes.c_uint),
                ("proto_ver", ctypes.c_uint), ("interface", ctypes.c_char_p),
                ("rtt_ms", ctypes.c_double)]


_BOARD_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(_Board), ctypes.c_void_p)
_lib = None


def _library() -> ctypes.CDLL:
    global _lib
    if _lib is None:
        lib = ctypes.CDLL("libcorvane-find.so.1")
        finder = ctypes.c_void_p
        for name, restype, argtypes in (
                ("corvane_finder_new", finder, []),
                ("corvane_finder_free", None, [finder]),
                ("corvane_finder_set_wait", ctypes.c_int, [finder, ctypes.c_double]),
                ("corvane_finder_set_count", ctypes.c_int, [finder, ctypes.c_uint]),
                ("corvane_finder_add_interface", ctypes.c_int, [finder, ctypes.c_char_p]),
                ("corvane_finder_add_target", ctypes.c_int, [finder, ctypes.c_char_p]),
                ("corvane_finder_run", ctypes.c_int, [finder, _BOARD_FN, ctypes.c_void_p]),
                ("corvane_finder_error", ctypes.c_char_p, [finder])):
            fn = getattr(lib, name)
            fn.restype, fn.argtypes = restype, argtypes
        _lib = lib
    return _lib


def _text(raw: bytes) -> str:
    # Interface names are bytes; those that are not UTF-8 survive the trip.
    return raw.decode("utf-8", "surrogateescape")


def _names(value: Union[str, Iterable[str]]) -> List[str]:
    return [value] if isinstance(value, str) else list(value)


def find(wait: float = 1.0, count: int = 0, interfaces: Union[str, Iterable[str]] = (),
         targets: Union[str, Iterable[str]] = ()) -> List[Board]:
    """Asks for boards and returns those that answered within `wait`
    seconds (more than 0, at most 3600), sorted by address, then port.

    count: stop as soon as this many boards have answered (0: wait).
    interfaces: broadcast only on these.
    targets: ask only these, "HOST" or "HOST:PORT" (port 49100 when none
    is given); a target can be a directed broadcast address.
    Interfaces and targets cannot be combined.

    Raises FindError with corvane-find's one-line reason on a bad argument
    or a system error. No board answering is no error: the list is empty.
    """
    if isinstance(count, bool) or not isinstance(count, int) or not 0 <= count < 2 ** 32:
        raise FindError(f"count {count!r}: not a whole number from 0 to 4294967295")
    if isinstance(wait, bool) or not isinstance(wait, (int, float)):
        raise FindError(f"wait {wait!r}: not a number of seconds")
    lib = _library()
    finder = lib.corvane_finder_new()
    if not finder:
        raise MemoryError("corvane_finder_new")
    boards: List[Board] = []

    def keep(board, _arg):
        b = board.contents
        boards.append(Board(b.address.decode("ascii"), b.port, b.proto_ver,
                            _text(b.interface), b.rtt_ms))
        return 0
    try:
        def check(rc: int) -> int:
            if rc == -1:
                raise FindError(_text(lib.corvane_finder_error(finder)))
            return rc
        check(lib.corvane_finder_set_wait(finder, float(wait)))
        check(lib.corvane_finder_set_count(finder, count))
        for name in _names(interfaces):
            check(lib.corvane_finder_add_interface(finder, name.encode("utf-8", "surrogateescape")))
        for target in _names(targets):
            check(lib.corvane_finder_add_target(finder, target.encode("utf-8", "surrogateescape")))
        check(lib.corvane_finder_run(finder, _BOARD_FN(keep), None))
    finally:
        lib.corvane_finder_free(finder)
    boards.sort(key=lambda b: (int(ipaddress.IPv4Address(b.address)), b.port))
    return boards
