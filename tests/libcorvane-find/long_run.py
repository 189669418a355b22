"""The corvane module in programs that run for a while, with boards of
its own on loopback: usage: long_run.py MODE

  quiet:    prints "asking", then find(wait=10) on a board that never
            answers (the test sends SIGINT)
  answers:  the same while 400 boards answer, one every 5 ms
  watching: prints "asking", then watch() on that board
  watch:    watch_prometheus_sd() sees a board found, lost and found
            again, and its file lists the board as it is found
  async:    find_async beside a ticking task, 300 at once, a find_async
            cancelled, and a watch_async whose task is cancelled; each
            ends at once and leaves no socket open, and none starts a
            thread; a watch_async of a name that does not resolve raises
  exiting:  returns from its main thread while daemon threads watch a
            board every 10 ms and find it in a loop, each line of their
            account logged
"""

import asyncio
import json
import logging
import os
import socket
import sys
import tempfile
import threading
import time

import corvane
from testbed.wire import REPLY


class Boards:
    """`count` boards on loopback ports. While `answering`, board i
    answers a request `delay` × i seconds after it came."""

    def __init__(self, count, delay=0.0):
        self.socks = []
        for _ in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("127.0.0.1", 0))
            s.setblocking(False)
            self.socks.append(s)
        self.targets = [f"127.0.0.1:{s.getsockname()[1]}" for s in self.socks]
        self.answering = True
        self.delay = delay
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        due = []
        while True:
            now = time.monotonic()
            for i, s in enumerate(self.socks):
                try:
                    _, asker = s.recvfrom(64)
                except BlockingIOError:
                    continue
                if self.answering:
                    due.append((now + self.delay * i, s, asker))
            for item in [d for d in due if d[0] <= now]:
                item[1].sendto(REPLY, item[2])
                due.remove(item)
            time.sleep(0.001)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def interrupted(targets):
    print("asking", flush=True)
    corvane.find(wait=10, targets=targets)


def watch():
    boards = Boards(1)
    with tempfile.TemporaryDirectory() as d:
        sd = os.path.join(d, "boards.json")
        events = corvane.watch_prometheus_sd(sd, port=9300, interval=0.05,
                                             targets=boards.targets)
        for step in ("found", "lost", "found"):
            event = next(events)
            with open(sd) as f:
                listed = [t for group in json.load(f) for t in group["targets"]]
            print(event.kind, event.board.address,
                  event.board.port == int(boards.targets[0][10:]), *listed)
            boards.answering = step != "found"
        events.close()


async def in_asyncio():
    # The third board answers 0.4 s after it is asked: the loop has that
    # long to show that it goes on.
    boards = Boards(3, 0.2)
    ticks = 0
    threads = base = threading.active_count()

    async def tick():
        nonlocal ticks, threads
        while True:
            await asyncio.sleep(0.01)
            ticks += 1
            threads = max(threads, threading.active_count())
    ticker = asyncio.create_task(tick())
    found = await corvane.find_async(wait=30, count=3, targets=boards.targets)
    print("find_async:", len(found), "boards; the loop went on:", ticks > 10)
    many = await asyncio.gather(*(corvane.find_async(wait=10, count=1, targets=boards.targets[:1])
                                  for _ in range(300)))
    print("300 at once:", sum(map(len, many)), "boards")

    async def watching():
        async for _ in corvane.watch_async(interval=0.05, targets=boards.targets):
            pass
    fds = open_fds()
    for coro in (corvane.find_async(wait=10, targets=boards.targets[:1] + ["127.0.0.1:9"]),
                 watching()):
        task = asyncio.ensure_future(coro)
        await asyncio.sleep(0.3)
        started = time.monotonic()
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            pass
        took = time.monotonic() - started
        print("cancelled:", "at once" if took < 1 else f"after {took:.3f} s",
              "sockets closed" if open_fds() == fds else "sockets left open")
    ticker.cancel()
    print("threads of the searches:", threads - base)
    try:
        async for _ in corvane.watch_async(targets=["no-such-board.invalid"]):
            pass
    except corvane.FindError as e:
        print("a watch_async of no such name:", type(e).__name__)


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "quiet":
        interrupted(["127.0.0.1:9"])
    elif mode == "answers":
        interrupted(Boards(400, 0.005).targets)
    elif mode == "watching":
        print("asking", flush=True)
        for _ in corvane.watch(interval=0.05, targets=["127.0.0.1:9"]):
            pass
    elif mode == "watch":
        watch()
    elif mode == "exiting":
        board = Boards(1)
        logging.getLogger("corvane").addHandler(logging.NullHandler())
        logging.getLogger("corvane").setLevel(logging.DEBUG)

        def watching():
            for _ in corvane.watch(interval=0.01, targets=board.targets):
                pass

        def finding():
            while True:
                corvane.find(wait=0.2, targets=board.targets)
        for fn in (watching, finding):
            threading.Thread(target=fn, daemon=True).start()
        time.sleep(0.3)
    else:
        asyncio.run(in_asyncio())
