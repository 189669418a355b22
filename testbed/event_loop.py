"""What a program's own loop sees of a search, as JSON on standard output:
what start_run gives for NAME and how long it takes (a name its name server never answers),
and the longest gap of a 10 ms asyncio ticker, with how the search ended,
during find_async and watch_async of NAME; with BLOCK (beyond a router),
the longest dispatch of a 5 s run of it and the ticker's gaps during
find_async and a 5 s watch_async of it. The corvane module and its library
come from PYTHONPATH and LD_LIBRARY_PATH.

Usage: event_loop.py NAME [BLOCK]"""

import asyncio
import ctypes
import json
import select
import sys
import time

import corvane
from corvane import _binding

lib = _binding._library()
keep = _binding._BOARD_FN(lambda board, arg: 0)


def started(target, wait):
    f = lib.corvane_finder_new()
    lib.corvane_finder_set_wait(f, ctypes.c_double(wait))
    lib.corvane_finder_add_target(f, target.encode())
    t = time.perf_counter()
    rc = lib.corvane_finder_start_run(f, keep, None)
    return f, time.perf_counter() - t, rc


def longest_dispatch(target, wait):
    f, _, _ = started(target, wait)
    fd, worst, rc = lib.corvane_finder_fd(f), 0.0, 1
    while rc == 1:
        select.select([fd], [], [], max(lib.corvane_finder_timeout(f), 0) / 1000)
        t = time.perf_counter()
        rc = lib.corvane_finder_dispatch(f)
        worst = max(worst, time.perf_counter() - t)
    lib.corvane_finder_free(f)
    return worst


async def stall(search):
    """The longest gap of a 10 ms ticker while search runs, and the reason
    it failed ("" when it did not)."""
    worst, last, done = 0.0, time.monotonic(), asyncio.Event()

    async def tick():
        nonlocal worst, last
        while not done.is_set():
            await asyncio.sleep(0.01)
            worst, last = max(worst, time.monotonic() - last), time.monotonic()
    ticker = asyncio.create_task(tick())
    why = ""
    try:
        await search
    except corvane.FindError as e:
        why = str(e)
    done.set()
    await ticker
    return worst, why


async def watch(targets, seconds=None):
    async def events():
        async for _ in corvane.watch_async(interval=1, targets=targets):
            pass
    try:
        await asyncio.wait_for(events(), seconds)
    except asyncio.TimeoutError:
        pass


def main(name, block=None):
    f, start_s, rc = started(name, 5)
    lib.corvane_finder_free(f)
    out = {"start_rc": rc, "start": start_s,
           "name_run": asyncio.run(stall(corvane.find_async(wait=3, targets=[name]))),
           "name_watch": asyncio.run(stall(watch([name])))}
    if block:
        out.update({"routed_dispatch": longest_dispatch(block, 5),
                    "routed_run": asyncio.run(stall(corvane.find_async(wait=5,
                                                                       targets=[block])))[0],
                    "routed_watch": asyncio.run(stall(watch([block], 5)))[0]})
    print(json.dumps(out))


if __name__ == "__main__":
    main(*sys.argv[1:])
