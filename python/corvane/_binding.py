"""The C library through ctypes: its functions, its records, and a finder
set up from a call's arguments."""

from __future__ import annotations

import ctypes
import ipaddress
import logging
import os
import sys
import threading
from dataclasses import dataclass
from typing import Iterable, List, Optional, Union

_log = logging.getLogger("corvane")


class FindError(Exception):
    """A bad argument value, or a system error (an unknown interface or host
    name, no interface to broadcast on, ...). str() of it is the one-line
    reason that corvane-find prints."""


# Slots where the language has them: a run may list 65536 boards.
_SLOTS = {"slots": True} if sys.version_info >= (3, 10) else {}


@dataclass(frozen=True, **_SLOTS)
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
    mac: Optional[str] = None
    """Its MAC address, "aa:bb:cc:dd:ee:ff", for a board on a local link;
    None beyond a router (and with a library before 1.5)."""


@dataclass(frozen=True, **_SLOTS)
class Event:
    """What a watch saw: kind "found" (a board's first answer, or its first
    since it was lost) or "lost" (it missed 3 rounds in a row; the board as
    it last answered)."""

    kind: str
    board: Board


class _Board(ctypes.Structure):
    _fields_ = [("address", ctypes.c_char_p), ("port", ctypes.c_uint),
                ("proto_ver", ctypes.c_uint), ("interface", ctypes.c_char_p),
                ("rtt_ms", ctypes.c_double)]


class _Event(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int), ("board", ctypes.POINTER(_Board))]


_BOARD_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(_Board), ctypes.c_void_p)
_EVENT_FN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(_Event), ctypes.c_void_p)
_LOG_FN = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p)
_WARN_FN = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)
_FOUND, _LOST = 1, 2
_WARNING = 1
_lib = None
_lib_lock = threading.Lock()


def _library_name(platform: str = sys.platform) -> str:
    return "libcorvane-find-1.dll" if platform == "win32" else "libcorvane-find.so.1"


def _library() -> ctypes.CDLL:
    """The library beside the module (as a wheel installs it), or the
    system's."""
    global _lib
    with _lib_lock:
        if _lib is None:
            name = _library_name()
            beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), name)
            lib = ctypes.CDLL(beside if os.path.exists(beside) else name)
            finder = ctypes.c_void_p
            for fn_name, restype, argtypes in (
                    ("corvane_find_version", ctypes.c_char_p, []),
                    ("corvane_finder_new", finder, []),
                    ("corvane_finder_free", None, [finder]),
                    ("corvane_finder_set_wait", ctypes.c_int, [finder, ctypes.c_double]),
                    ("corvane_finder_set_count", ctypes.c_int, [finder, ctypes.c_uint]),
                    ("corvane_finder_add_interface", ctypes.c_int, [finder, ctypes.c_char_p]),
                    ("corvane_finder_add_target", ctypes.c_int, [finder, ctypes.c_char_p]),
                    ("corvane_finder_set_log", ctypes.c_int, [finder, _LOG_FN, ctypes.c_void_p]),
                    ("corvane_finder_set_warn", ctypes.c_int,
                     [finder, _WARN_FN, ctypes.c_void_p]),
                    ("corvane_finder_run", ctypes.c_int, [finder, _BOARD_FN, ctypes.c_void_p]),
                    ("corvane_finder_watch", ctypes.c_int,
                     [finder, ctypes.c_double, _EVENT_FN, ctypes.c_void_p]),
                    ("corvane_finder_cancel", ctypes.c_int, [finder]),
                    ("corvane_finder_error", ctypes.c_char_p, [finder]),
                    # an event loop's own, from 1.3
                    ("corvane_finder_start_run", ctypes.c_int,
                     [finder, _BOARD_FN, ctypes.c_void_p]),
                    ("corvane_finder_start_watch", ctypes.c_int,
                     [finder, ctypes.c_double, _EVENT_FN, ctypes.c_void_p]),
                    ("corvane_finder_fd", ctypes.c_ssize_t, [finder]),
                    ("corvane_finder_timeout", ctypes.c_int, [finder]),
                    ("corvane_finder_dispatch", ctypes.c_int, [finder]),
                    # from 1.5
                    ("corvane_board_mac", ctypes.c_char_p, [ctypes.POINTER(_Board)])):
                fn = getattr(lib, fn_name, None)
                if fn is not None:
                    fn.restype, fn.argtypes = restype, argtypes
            _lib = lib
    return _lib


def _text(raw: bytes) -> str:
    # Interface names are bytes; those that are not UTF-8 survive the trip.
    return raw.decode("utf-8", "surrogateescape")


def _board(p) -> Board:
    """The board a callback was given (a pointer), during the call."""
    b = p.contents
    mac_of = getattr(_library(), "corvane_board_mac", None)
    mac = mac_of(p).decode("ascii") if mac_of is not None else ""
    return Board(b.address.decode("ascii"), b.port, b.proto_ver, _text(b.interface), b.rtt_ms,
                 mac or None)


def _names(what: str, value: Union[str, Iterable[str]]) -> List[bytes]:
    if isinstance(value, str):
        value = [value]
    elif isinstance(value, (bytes, bytearray)) or not hasattr(value, "__iter__"):
        raise TypeError(f"{what}: a str or an iterable of str, not {type(value).__name__}")
    names = []
    for name in value:
        if not isinstance(name, str):
            raise TypeError(f"{what}: a str or an iterable of str, not one holding "
                            f"{type(name).__name__}")
        if "\0" in name:
            raise FindError(f"{name!r}: holds a NUL character")
        names.append(name.encode("utf-8", "surrogateescape"))
    return names


def _seconds(what: str, value: float, limits: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{what}: a number of seconds, not {type(value).__name__}")
    try:
        return float(value)
    except OverflowError:
        raise FindError(f"{what} {value} s: {limits}") from None


def _keep(boards: List[Board]):
    def keep(board, _arg):
        boards.append(_board(board))
        return 0
    return _BOARD_FN(keep)


def _sorted(boards: List[Board]) -> List[Board]:
    return sorted(boards, key=lambda b: (int(ipaddress.IPv4Address(b.address)), b.port))


def _on_event(put):
    """An event function that hands each event to put."""
    def on_event(event, _arg):
        e = event.contents
        put(Event("found" if e.kind == _FOUND else "lost", _board(e.board)))
        return 0
    return _EVENT_FN(on_event)


class _Finder:
    """One finder, set up from a call's arguments, freed by free()."""

    def __init__(self, wait: float, count: int, interfaces, targets):
        if isinstance(count, bool) or not isinstance(count, int):
            raise TypeError(f"count: a whole number, not {type(count).__name__}")
        if not 0 <= count < 2 ** 32:
            raise FindError(f"count {count}: not a whole number from 0 to 4294967295")
        wait_s = _seconds("wait", wait, "not above 0 and at most 3600")
        ifaces, hosts = _names("interfaces", interfaces), _names("targets", targets)
        self.lib = _library()
        self.finder = self.lib.corvane_finder_new()
        if not self.finder:
            raise MemoryError("corvane_finder_new")
        self.log_fn = _LOG_FN(self._log)
        self.warn_fn = _WARN_FN(lambda line, _arg: _log.warning("%s", _text(line)))
        try:
            self.check(self.lib.corvane_finder_set_wait(self.finder, wait_s))
            self.check(self.lib.corvane_finder_set_count(self.finder, count))
            # Each line logged is a call into Python from the search: only
            # those the logger would emit are asked for.
            if _log.isEnabledFor(logging.DEBUG):
                self.check(self.lib.corvane_finder_set_log(self.finder, self.log_fn, None))
            elif _log.isEnabledFor(logging.WARNING):
                self.check(self.lib.corvane_finder_set_warn(self.finder, self.warn_fn, None))
            for name in ifaces:
                self.check(self.lib.corvane_finder_add_interface(self.finder, name))
            for host in hosts:
                self.check(self.lib.corvane_finder_add_target(self.finder, host))
        except BaseException:
            self.free()
            raise

    @staticmethod
    def _log(level, line, _arg):
        _log.log(logging.WARNING if level == _WARNING else logging.DEBUG, "%s", _text(line))

    def check(self, rc: int) -> int:
        if rc == -1:
            raise FindError(_text(self.lib.corvane_finder_error(self.finder)))
        return rc

    def cancel(self):
        self.lib.corvane_finder_cancel(self.finder)

    def free(self):
        if self.finder:
            self.lib.corvane_finder_free(self.finder)
            self.finder = None


def _has_loop(lib) -> bool:
    """Whether a search can be driven from the caller's own loop, with no
    thread: a library of 1.3 or later, and a descriptor to wait on (not
    on Windows)."""
    return sys.platform != "win32" and hasattr(lib, "corvane_finder_dispatch")
