"""Searches on a thread of their own, where the library has no descriptor
to wait on (Windows, or a library older than 1.3). The callbacks run on
that thread, never on the caller's, so that a KeyboardInterrupt is raised
where the caller waits, and never inside a callback, where ctypes would
swallow it."""

from __future__ import annotations

import atexit
import threading
from typing import Callable

from ._binding import _Finder


class _Threaded:
    """A finder and the thread that runs the library's blocking run or
    watch on it."""

    def __init__(self, finder: _Finder):
        self.finder = finder
        self.result = None
        self.failure = None
        self.thread = None
        self.done = threading.Event()

    def start(self, call: Callable[[], int], then: Callable[[], None] = lambda: None):
        """Runs call on a thread of its own, and then `then` there."""
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
        self.thread = threading.Thread(target=body, name="corvane", daemon=True)
        with _live_lock:
            _live.add(self)
            if _exiting:
                self.finder.cancel()  # ends as it starts
        self.thread.start()

    def end(self) -> int:
        """Waits for the search (at most 50 ms after a cancel), frees the
        finder, and gives the library's result or raises what ended it."""
        try:
            if self.thread is not None:
                self.done.wait()
                self.thread.join()
            if self.failure is not None:
                raise self.failure
            return self.finder.check(self.result)
        finally:
            with _live_lock:
                _live.discard(self)
            self.finder.free()

    def wait(self) -> int:
        """Waits for the search; whatever interrupts the wait (Ctrl-C)
        cancels it first."""
        try:
            self.done.wait()
        except BaseException:
            self.finder.cancel()
            self.end()
            raise
        return self.end()


# The searches running now. At the interpreter's exit each is cancelled,
# and so is any that a thread starts after, and they are given a moment
# to end: a thread still inside the library would otherwise call back
# into an interpreter that is going away.
_live: "set[_Threaded]" = set()
_live_lock = threading.Lock()
_exiting = False


@atexit.register
def _cancel_live():
    global _exiting
    with _live_lock:
        _exiting = True
        searches = list(_live)
        for search in searches:
            search.finder.cancel()  # under the lock: end() waits for it
    for search in searches:
        search.done.wait(1)


