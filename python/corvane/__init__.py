"""Find Corvane boards on the local network.

    >>> import corvane
    >>> for board in corvane.find(wait=0.5):
    ...     print(board.address, board.interface, board.rtt_ms)

    >>> for event in corvane.watch(interval=2.0):      # until Ctrl-C
    ...     print(event.kind, event.board.address)

The search is libcorvane-find's, the same as the corvane-find command's:
the discovery request goes out three times within the wait, as a broadcast
on every interface that is up (or on those named) or to the targets named,
and only answers from where a request went count. A call never lasts
longer than the wait, and Ctrl-C ends it at once with KeyboardInterrupt.

Each search runs on a thread of its own, which the call waits for; so any
number of threads may search at once, and asyncio programs have
find_async and watch_async. The library's account of each search goes to
the logger "corvane": warnings (a request that could not be sent) at
WARNING, where each request went and what came back at DEBUG.

Arguments of the wrong type raise TypeError; bad values, and system errors,
raise FindError.
"""

from __future__ import annotations

import asyncio
import atexit
import contextlib
import ctypes
import ipaddress
import json
import logging
import os
import queue
import sys
import threading
from dataclasses import dataclass
from typing import AsyncIterator, Callable, Iterable, Iterator, List, Union

__all__ = ["Board", "Event", "FindError", "find", "find_async", "watch", "watch_async",
           "prometheus_sd", "write_prometheus_sd", "watch_prometheus_sd", "__version__"]

__version__ = "1.3.0"

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
                    # 1.3: an event loop's own
                    ("corvane_finder_start_run", ctypes.c_int,
                     [finder, _BOARD_FN, ctypes.c_void_p]),
                    ("corvane_finder_start_watch", ctypes.c_int,
                     [finder, ctypes.c_double, _EVENT_FN, ctypes.c_void_p]),
                    ("corvane_finder_fd", ctypes.c_ssize_t, [finder]),
                    ("corvane_finder_timeout", ctypes.c_int, [finder]),
                    ("corvane_finder_dispatch", ctypes.c_int, [finder])):
                fn = getattr(lib, fn_name, None)
                if fn is not None:
                    fn.restype, fn.argtypes = restype, argtypes
            _lib = lib
    return _lib


def _text(raw: bytes) -> str:
    # Interface names are bytes; those that are not UTF-8 survive the trip.
    return raw.decode("utf-8", "surrogateescape")


def _board(b: _Board) -> Board:
    return Board(b.address.decode("ascii"), b.port, b.proto_ver, _text(b.interface), b.rtt_ms)


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


class _Search:
    """One finder, set up from a call's arguments, and the thread that runs
    it. The callbacks run on that thread, never on the caller's, so that a
    KeyboardInterrupt is raised where the caller waits, and never inside a
    callback, where ctypes would swallow it."""

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
        self.result = None
        self.failure = None
        self.thread = None
        try:
            self.check(self.lib.corvane_finder_set_wait(self.finder, wait_s))
            self.check(self.lib.corvane_finder_set_count(self.finder, count))
            # Each line logged is a call into Python from the search's
            # thread: only those the logger would emit are asked for.
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

    def start(self, call: Callable[[], int], then: Callable[[], None] = lambda: None):
        """Runs call (the library's run or watch) on a thread of its own,
        and then `then` there."""
        def body():
            try:
                self.result = call()
            except BaseException as e:  # noqa: B902 (handed to the caller)
                self.failure = e
            finally:
                self.done.set()
                then()
        # An event, not Thread.join: a join that Ctrl-C interrupts takes
        # the thread for ended while it still runs.
        self.done = threading.Event()
        self.thread = threading.Thread(target=body, name="corvane", daemon=True)
        with _live_lock:
            _live.add(self)
            if _exiting:
                self.cancel()  # ends as it starts
        self.thread.start()

    def cancel(self):
        self.lib.corvane_finder_cancel(self.finder)

    def end(self) -> int:
        """Waits for the search (at most 50 ms after a cancel), frees the
        finder, and gives the library's result or raises what ended it."""
        try:
            if self.thread is not None:
                self.done.wait()
                self.thread.join()
            if self.failure is not None:
                raise self.failure
            return self.check(self.result)
        finally:
            self.free()

    def wait(self) -> int:
        """Waits for the search; whatever interrupts the wait (Ctrl-C)
        cancels it first."""
        try:
            self.done.wait()
        except BaseException:
            self.cancel()
            self.end()
            raise
        return self.end()

    def free(self):
        with _live_lock:
            _live.discard(self)
        if self.finder:
            self.lib.corvane_finder_free(self.finder)
            self.finder = None


# The searches running now. At the interpreter's exit each is cancelled,
# and so is any that a thread starts after, and they are given a moment
# to end: a thread still inside the library would otherwise call back
# into an interpreter that is going away.
_live: "set[_Search]" = set()
_live_lock = threading.Lock()
_exiting = False


@atexit.register
def _cancel_live():
    global _exiting
    with _live_lock:
        _exiting = True
        searches = list(_live)
        for search in searches:
            search.cancel()  # under the lock: free() waits for it
    for search in searches:
        search.done.wait(1)


def _keep(boards: List[Board]):
    def keep(board, _arg):
        boards.append(_board(board.contents))
        return 0
    return _BOARD_FN(keep)


def _sorted(boards: List[Board]) -> List[Board]:
    return sorted(boards, key=lambda b: (int(ipaddress.IPv4Address(b.address)), b.port))


def find(wait: float = 1.0, count: int = 0, interfaces: Union[str, Iterable[str]] = (),
         targets: Union[str, Iterable[str]] = ()) -> List[Board]:
    """Asks for boards and returns those that answered within `wait`
    seconds (more than 0, at most 3600), sorted by address, then port.

    count: stop as soon as this many boards have answered (0: wait).
    interfaces: broadcast only on these.
    targets: ask only these, "HOST" or "HOST:PORT" (port 49100 when none
    is given); a target can be a directed broadcast address, or a block
    "ADDRESS/PREFIX" (PREFIX 16 to 32) whose every host is asked.
    Interfaces and targets cannot be combined.

    Raises FindError with corvane-find's one-line reason on a bad argument
    value or a system error, TypeError on an argument of the wrong type.
    No board answering is no error: the list is empty. Ctrl-C ends the
    search at once and raises KeyboardInterrupt.
    """
    search = _Search(wait, count, interfaces, targets)
    boards: List[Board] = []
    keep = _keep(boards)
    search.start(lambda: search.lib.corvane_finder_run(search.finder, keep, None))
    search.wait()
    return _sorted(boards)


def _in_loop(lib) -> bool:
    """Whether a search can run in the asyncio loop itself, with no thread:
    a library of 1.3 or later, and a descriptor the loop can watch (not on
    Windows)."""
    return sys.platform != "win32" and hasattr(lib, "corvane_finder_dispatch")


class _Driver:
    """Moves a started search on from the asyncio loop: its descriptor
    through add_reader, its next due time through call_later; the callbacks
    run in the loop. `ended` gets the last dispatch's result."""

    def __init__(self, search: "_Search", loop, ended: Callable[[int], None], *keep):
        self.search, self.loop, self.ended, self.keep = search, loop, ended, keep
        self.fd = search.lib.corvane_finder_fd(search.finder)
        self.timer = None
        loop.add_reader(self.fd, self.step)
        self.arm()

    def arm(self):
        if self.timer is not None:
            self.timer.cancel()
        ms = self.search.lib.corvane_finder_timeout(self.search.finder)
        self.timer = self.loop.call_later(max(ms, 0) / 1000, self.step)

    def step(self):
        if self.fd is None:
            return
        rc = self.search.lib.corvane_finder_dispatch(self.search.finder)
        if rc == 1:
            self.arm()
            return
        self.close()
        self.ended(rc)

    def close(self):
        if self.fd is not None:
            self.loop.remove_reader(self.fd)
            self.timer.cancel()
            self.fd = None


async def find_async(wait: float = 1.0, count: int = 0,
                     interfaces: Union[str, Iterable[str]] = (),
                     targets: Union[str, Iterable[str]] = ()) -> List[Board]:
    """find() for asyncio: the loop goes on while the search runs, in the
    loop itself (a thread of its own on Windows). Cancelling the task ends
    the search (its socket closed) before the CancelledError goes on."""
    search = _Search(wait, count, interfaces, targets)
    loop = asyncio.get_running_loop()
    done = loop.create_future()
    boards: List[Board] = []
    keep = _keep(boards)
    if _in_loop(search.lib):
        driver = None
        try:
            search.check(search.lib.corvane_finder_start_run(search.finder, keep, None))
            driver = _Driver(search, loop, lambda rc: _settle(done, rc), keep)
            search.check(await done)
        finally:
            if driver is not None:
                driver.close()
            search.free()  # ends the run if it still goes on
        return _sorted(boards)
    search.start(lambda: search.lib.corvane_finder_run(search.finder, keep, None),
                 lambda: _call_soon(loop, _settle, done))
    try:
        await done
    except BaseException:
        search.cancel()
        search.end()
        raise
    search.end()
    return _sorted(boards)


def _settle(future, result=None):
    if not future.done():
        future.set_result(result)


def _call_soon(loop, fn, *args):
    try:
        loop.call_soon_threadsafe(fn, *args)
    except RuntimeError:
        pass  # the loop is closed: nobody waits any more


def _watch_search(interval: float, interfaces, targets, put) -> _Search:
    """A search set up for a watch, each event handed to put."""
    interval_s = _seconds("interval", interval, "not from 0.01 to 3600")
    search = _Search(1.0, 0, interfaces, targets)

    def on_event(event, _arg):
        e = event.contents
        put(Event("found" if e.kind == _FOUND else "lost", _board(e.board.contents)))
        return 0
    event_fn = _EVENT_FN(on_event)
    search.watch = lambda then: search.start(lambda: search.lib.corvane_finder_watch(
        search.finder, interval_s, event_fn, None), then)
    return search


def watch(interval: float = 2.0, interfaces: Union[str, Iterable[str]] = (),
          targets: Union[str, Iterable[str]] = ()) -> Iterator[Event]:
    """Asks every `interval` seconds (0.01 to 3600) and yields an Event as
    each board is found and lost, for as long as the caller iterates.
    Leaving the loop, closing the generator or Ctrl-C ends the search."""
    events: "queue.Queue" = queue.Queue()
    end = object()
    search = _watch_search(interval, interfaces, targets, events.put)

    def generate():
        search.watch(lambda: events.put(end))
        try:
            while True:
                event = events.get()
                if event is end:
                    break
                yield event
        finally:
            search.cancel()
            search.end()
    return generate()


async def watch_async(interval: float = 2.0, interfaces: Union[str, Iterable[str]] = (),
                      targets: Union[str, Iterable[str]] = ()) -> AsyncIterator[Event]:
    """watch() for asyncio: `async for event in corvane.watch_async(...)`.
    Cancelling the task, or closing the generator, ends the search."""
    loop = asyncio.get_running_loop()
    events: asyncio.Queue = asyncio.Queue()
    end = object()
    if _in_loop(_library()):
        interval_s = _seconds("interval", interval, "not from 0.01 to 3600")
        search = _Search(1.0, 0, interfaces, targets)
        driver = None

        def on_event(event, _arg):
            e = event.contents
            events.put_nowait(Event("found" if e.kind == _FOUND else "lost",
                                    _board(e.board.contents)))
            return 0
        event_fn = _EVENT_FN(on_event)
        try:
            search.check(search.lib.corvane_finder_start_watch(search.finder, interval_s,
                                                               event_fn, None))
            driver = _Driver(search, loop, lambda rc: events.put_nowait((end, rc)), event_fn)
            while True:
                event = await events.get()
                if isinstance(event, tuple):
                    search.check(event[1])
                    break
                yield event
        finally:
            if driver is not None:
                driver.close()
            search.free()
        return
    search = _watch_search(interval, interfaces, targets,
                           lambda event: _call_soon(loop, events.put_nowait, event))
    search.watch(lambda: _call_soon(loop, events.put_nowait, end))
    try:
        while True:
            event = await events.get()
            if event is end:
                break
            yield event
    finally:
        search.cancel()
        search.end()


def prometheus_sd(boards: Iterable[Board], port: int = 9100) -> str:
    """The boards as a Prometheus file-based service discovery list, as
    corvane-find --watch --prometheus-sd writes it: one target group per
    board, "ADDRESS:PORT" (PORT the scrape port, the node exporter's by
    default), labelled corvane_interface and corvane_proto_ver."""
    if isinstance(port, bool) or not isinstance(port, int) or not 1 <= port <= 65535:
        raise FindError(f"port {port!r}: not a port from 1 to 65535")
    groups = [{"targets": [f"{b.address}:{port}"],
               "labels": {"corvane_interface": b.interface,
                          "corvane_proto_ver": str(b.proto_ver)}}
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
                        targets: Union[str, Iterable[str]] = ()) -> Iterator[Event]:
    """watch() that keeps `path` the service discovery list of the boards
    it sees (empty at first), replaced as each is found and lost; yields
    each event after the file says so."""
    seen: "dict[tuple, Board]" = {}
    prometheus_sd([], port)  # a bad port is said before the watch starts
    write_prometheus_sd(path, [], port)
    for event in watch(interval, interfaces, targets):
        key = (event.board.address, event.board.port)
        if event.kind == "found":
            seen[key] = event.board
        else:
            seen.pop(key, None)
        write_prometheus_sd(path, seen.values(), port)
        yield event
