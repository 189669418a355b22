"""The corvane module as a Python program uses it: usage: use_module.py
BOARD BOARD. Finds both by broadcast, each alone from two threads at
once, both again with the largest count, and checks what bad arguments
raise, what the logger "corvane" hears, and that the library can be
unloaded while a name lookup it started goes on."""

import logging
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import corvane

first, second = sys.argv[1:3]
for b in corvane.find(wait=30, count=2):
    print(b.address, b.port, b.proto_ver, b.interface)

with ThreadPoolExecutor(2) as pool:
    alone = list(pool.map(lambda t: corvane.find(wait=30, count=1, targets=[t]), (first, second)))
print("threads:", "ok" if [[b.address for b in r] for r in alone] == [[first], [second]]
      else alone)

# The largest count is as good as none.
most = corvane.find(wait=1, count=2 ** 32 - 1, targets=[first, second])
print("count:", "ok" if [b.address for b in most] == [first, second] else most)

bad = {
    "wait 0 s: not above 0 and at most 3600": dict(wait=0),
    f"wait {10 ** 400} s: not above 0 and at most 3600": dict(wait=10 ** 400),
    "count 4294967296: not a whole number from 0 to 4294967295": dict(count=2 ** 32),
    "lo\\x0aX: no such interface": dict(interfaces=["lo\nX"]),
    "nosuch: no such interface": dict(interfaces=["nosuch"]),
    "::1: an IPv6 address; boards answer on IPv4 only": dict(targets="::1"),
    "count -1: not a whole number from 0 to 4294967295": dict(count=-1),
}
wrong = []
for why, kwargs in bad.items():
    try:
        corvane.find(**kwargs)
        wrong.append(f"{kwargs}: no error")
    except corvane.FindError as e:
        if str(e) != why:
            wrong.append(f"{kwargs}: {e}")
for kwargs in (dict(wait=True), dict(count=1.0), dict(interfaces=b"eth0"), dict(targets=[7])):
    try:
        corvane.find(**kwargs)
        wrong.append(f"{kwargs}: no error")
    except TypeError:
        pass
print("errors:", "ok" if not wrong else wrong)

# Warnings at WARNING, the rest of the search's account at DEBUG.
heard = []
handler = logging.Handler()
handler.emit = lambda record: heard.append((record.levelname, record.getMessage()))
logging.getLogger("corvane").addHandler(handler)
logging.getLogger("corvane").setLevel(logging.DEBUG)
corvane.find(wait=0.2, targets=["192.0.2.1", first])
print("logging:", "ok" if ("WARNING", "192.0.2.1: Network is unreachable") in heard
      and ("DEBUG", f"round 1: {first}:49100: sent") in heard else heard)

# The library unloaded by the only program that loaded it, while the name
# lookup of its last run goes on for a second more.
unload = """
import ctypes, _ctypes, time
lib = ctypes.CDLL("libcorvane-find.so.1")
lib.corvane_finder_new.restype = ctypes.c_void_p
f = ctypes.c_void_p(lib.corvane_finder_new())
lib.corvane_finder_set_wait(f, ctypes.c_double(0.1))
lib.corvane_finder_add_target(f, b"board.example")
cb = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(lambda b, a: 0)
assert lib.corvane_finder_run(f, cb, None) == -1
lib.corvane_finder_free(f)
_ctypes.dlclose(lib._handle)
time.sleep(2)
"""
p = subprocess.run([sys.executable, "-c", unload], capture_output=True, text=True, timeout=60)
print("dlclose:", "ok" if p.returncode == 0 else (p.returncode, p.stderr))
