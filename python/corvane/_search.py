"""The searches: find and watch, blocking or for asyncio. Where the
library has a descriptor (Linux), a search is driven from the caller's own
loop with no thread: select() for the blocking calls, the asyncio loop's
reader and timer for the others. Elsewhere it runs on a thread (_thread).
"""

from __future__ import annotations

import asyncio
import collections
import select
import signal
import threading
from typing import AsyncIterator, Callable, Iterable, Iterator, List, Union

from ._binding import (Board, Event, _Finder, _has_loop, _keep, _on_event, _seconds,
                       _sorted)
from ._thread import _Threaded

_Names = Union[str, Iterable[str]]


def _start(finder: _Finder, interval, fn) -> None:
    """Starts a run (interval None) or a watch without waiting."""
    lib = finder.lib
    if interval is None:
        finder.check(lib.corvane_finder_start_run(finder.finder, fn, None))
    else:
        finder.check(lib.corvane_finder_start_watch(finder.finder, interval, fn, None))


def _blocking_call(finder: _Finder, interval, fn) -> Callable[[], int]:
    lib = finder.lib
    if interval is None:
        return lambda: lib.corvane_finder_run(finder.finder, fn, None)
    return lambda: lib.corvane_finder_watch(finder.finder, interval, fn, None)


def _dispatch(finder: _Finder) -> int:
    """One dispatch. On the main thread Ctrl-C is held back during it, so
    that the KeyboardInterrupt comes after it, never inside a callback,
    where ctypes would swallow it."""
    if threading.current_thread() is not threading.main_thread():
        return finder.lib.corvane_finder_dispatch(finder.finder)
    held = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        return finder.lib.corvane_finder_dispatch(finder.finder)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


class _Selected:
    """A started search moved on by select() on the caller's thread."""

    def __init__(self, finder: _Finder, interval, fn):
        self.finder = finder
        _start(finder, interval, fn)
        self.fd = finder.lib.corvane_finder_fd(finder.finder)

    def step(self) -> int:
        """Waits for the descriptor or the timeout, then dispatches: 1 while
        the search goes on, 0 when it has ended."""
        ms = self.finder.lib.corvane_finder_timeout(self.finder.finder)
        if ms != 0:
            select.select([self.fd], [], [], max(ms, 0) / 1000)
        return self.finder.check(_dispatch(self.finder))


def find(wait: float = 1.0, count: int = 0, interfaces: _Names = (),
         targets: _Names = ()) -> List[Board]:
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
    finder = _Finder(wait, count, interfaces, targets)
    boards: List[Board] = []
    keep = _keep(boards)
    if not _has_loop(finder.lib):
        search = _Threaded(finder)
        search.start(_blocking_call(finder, None, keep))
        search.wait()
        return _sorted(boards)
    try:
        selected = _Selected(finder, None, keep)
        while selected.step() == 1:
            pass
    finally:
        finder.free()  # ends the run if it still goes on
    return _sorted(boards)


def watch(interval: float = 2.0, interfaces: _Names = (),
          targets: _Names = ()) -> Iterator[Event]:
    """Asks every `interval` seconds (0.01 to 3600) and yields an Event as
    each board is found and lost, for as long as the caller iterates.
    Leaving the loop, closing the generator or Ctrl-C ends the search."""
    interval_s = _seconds("interval", interval, "not from 0.01 to 3600")
    finder = _Finder(1.0, 0, interfaces, targets)
    events: collections.deque = collections.deque()
    if not _has_loop(finder.lib):
        return _watch_threaded(finder, interval_s, events)
    on_event = _on_event(events.append)

    def generate():
        try:
            selected = _Selected(finder, interval_s, on_event)
            while True:
                while events:
                    yield events.popleft()
                if selected.step() != 1:
                    break
            yield from events
        finally:
            finder.free()
    return generate()


def _watch_threaded(finder, interval_s, events) -> Iterator[Event]:
    ready = threading.Condition()
    ended = []

    def then():
        with ready:
            ended.append(True)
            ready.notify()

    def put(event):
        with ready:
            events.append(event)
            ready.notify()

    search = _Threaded(finder)
    fn = _on_event(put)

    def generate():
        search.start(_blocking_call(finder, interval_s, fn), then)
        try:
            while True:
                with ready:
                    while not events and not ended:
                        ready.wait()
                    if not events:
                        break
                    event = events.popleft()
                yield event
        finally:
            finder.cancel()
            search.end()
    return generate()


class _Driver:
    """A started search moved on from the asyncio loop: its descriptor
    through add_reader, its next due time through call_later; the callbacks
    run in the loop. `ended` gets the last dispatch's result. close() takes
    the reader and the timer away, and must come before the finder's
    descriptor is closed."""

    def __init__(self, finder: _Finder, loop, ended: Callable[[int], None]):
        self.finder, self.loop, self.ended = finder, loop, ended
        self.fd = finder.lib.corvane_finder_fd(finder.finder)
        self.timer = None
        loop.add_reader(self.fd, self.step)
        self.arm()

    def arm(self):
        if self.timer is not None:
            self.timer.cancel()
        ms = self.finder.lib.corvane_finder_timeout(self.finder.finder)
        self.timer = self.loop.call_later(max(ms, 0) / 1000, self.step)

    def step(self):
        if self.fd is None:
            return
        rc = self.finder.lib.corvane_finder_dispatch(self.finder.finder)
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


class _ThreadDriver:
    """The same for a library with no descriptor: the blocking call on a
    thread, its end handed to the loop."""

    def __init__(self, finder: _Finder, loop, call, ended: Callable[[int], None]):
        self.search = _Threaded(finder)
        self.search.start(call, lambda: _call_soon(loop, self._end, ended))

    def _end(self, ended):
        if self.search is not None:
            ended(self.search.result if self.search.failure is None else -1)

    def close(self):
        if self.search is not None:
            self.search.finder.cancel()
            self.search.done.wait()
            self.search = None


def _drive(finder: _Finder, loop, interval, fn, ended: Callable[[int], None]):
    """Starts a run or a watch driven from the asyncio loop, in the loop
    itself where the library allows."""
    if _has_loop(finder.lib):
        _start(finder, interval, fn)
        return _Driver(finder, loop, ended)
    return _ThreadDriver(finder, loop, _blocking_call(finder, interval, fn), ended)


def _call_soon(loop, fn, *args):
    try:
        loop.call_soon_threadsafe(fn, *args)
    except RuntimeError:
        pass  # the loop is closed: nobody waits any more


async def find_async(wait: float = 1.0, count: int = 0, interfaces: _Names = (),
                     targets: _Names = ()) -> List[Board]:
    """find() for asyncio: the loop goes on while the search runs, in the
    loop itself (a thread of its own on Windows). Cancelling the task ends
    the search (its socket closed) before the CancelledError goes on."""
    finder = _Finder(wait, count, interfaces, targets)
    loop = asyncio.get_running_loop()
    done = loop.create_future()
    boards: List[Board] = []
    keep = _keep(boards)
    driver = None
    try:
        driver = _drive(finder, loop, None, keep,
                        lambda rc: done.done() or done.set_result(rc))
        finder.check(await done)
    finally:
        if driver is not None:
            driver.close()
        finder.free()  # ends the run if it still goes on
    return _sorted(boards)


async def watch_async(interval: float = 2.0, interfaces: _Names = (),
                      targets: _Names = ()) -> AsyncIterator[Event]:
    """watch() for asyncio: `async for event in corvane.watch_async(...)`.
    Cancelling the task, or closing the generator, ends the search."""
    interval_s = _seconds("interval", interval, "not from 0.01 to 3600")
    finder = _Finder(1.0, 0, interfaces, targets)
    loop = asyncio.get_running_loop()
    events: asyncio.Queue = asyncio.Queue()
    end = object()
    on_event = _on_event(lambda event: _call_soon(loop, events.put_nowait, event))
    driver = None
    try:
        driver = _drive(finder, loop, interval_s, on_event,
                        lambda rc: events.put_nowait((end, rc)))
        while True:
            event = await events.get()
            if isinstance(event, tuple):
                finder.check(event[1])
                break
            yield event
    finally:
        if driver is not None:
            driver.close()
        finder.free()
