"""The corvane module as a Python program uses it: usage: use_module.py
BOARD BOARD. Finds both by broadcast, each alone from two threads at
once, both again with the largest count, and checks what bad arguments
raise."""

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
print("errors:", "ok" if not wrong else wrong)
