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

A search runs in the caller's own loop, with no thread: select() for find
and watch, the asyncio loop for find_async and watch_async (on Windows,
and with a library older than 1.3, on a thread of its own, which the call
waits for). Any number of threads may search at once. The library's
account of each search goes to the logger "corvane": warnings (a request
that could not be sent) at WARNING, where each request went and what came
back at DEBUG.

Arguments of the wrong type raise TypeError; bad values, and system errors,
raise FindError.
"""

from ._binding import Board, Event, FindError
from ._prometheus import prometheus_sd, watch_prometheus_sd, write_prometheus_sd
from ._search import find, find_async, watch, watch_async
from ._version import __version__

__all__ = ["Board", "Event", "FindError", "find", "find_async", "watch", "watch_async",
           "prometheus_sd", "write_prometheus_sd", "watch_prometheus_sd", "__version__"]
