"""The asyncio driver over a fake loop and a fake library: a timer re-armed
cancels the one before, and the reader goes before the descriptor does."""

import sys
import unittest

sys.path.insert(0, sys.argv.pop(1))  # the built module

from corvane import _search  # noqa: E402


class FakeLib:
    def __init__(self, results):
        self.results = list(results)

    def corvane_finder_fd(self, _f):
        return 7

    def corvane_finder_timeout(self, _f):
        return 5

    def corvane_finder_dispatch(self, _f):
        return self.results.pop(0)


class FakeTimer:
    def __init__(self):
        self.cancelled = False

    def cancel(self):
        self.cancelled = True


class FakeLoop:
    def __init__(self):
        self.readers, self.timers = {}, []

    def add_reader(self, fd, fn):
        self.readers[fd] = fn

    def remove_reader(self, fd):
        del self.readers[fd]

    def call_later(self, _delay, _fn):
        self.timers.append(FakeTimer())
        return self.timers[-1]


class FakeFinder:
    def __init__(self, lib):
        self.lib, self.finder = lib, object()


class Driver(unittest.TestCase):
    def test_timers_and_the_reader(self):
        ended = []
        loop = FakeLoop()
        driver = _search._Driver(FakeFinder(FakeLib([1, 1, 0])), loop, ended.append)
        for _ in range(3):
            loop.readers[7]()
        # Each re-arm cancelled the timer before it; the last is cancelled
        # as the search ends, and the reader is gone with it.
        self.assertEqual([t.cancelled for t in loop.timers], [True, True, True])
        self.assertEqual((loop.readers, ended), ({}, [0]))
        driver.step()  # a late wake-up does nothing
        self.assertEqual(ended, [0])

    def test_closed_while_going_on(self):
        loop = FakeLoop()
        driver = _search._Driver(FakeFinder(FakeLib([1])), loop, lambda rc: None)
        driver.close()
        self.assertEqual(loop.readers, {})
        self.assertTrue(all(t.cancelled for t in loop.timers))


if __name__ == "__main__":
    unittest.main()
