"""Running programs for the tests and scripts: which program to run and
how, watched and always stopped, and a failure told in one line."""

import argparse
import collections
import os
import shlex
import socket
import subprocess
import sys
import threading
import unittest

# Runs a command as the user nobody, with no groups.
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def program():
    """Parses --exe and --launcher; returns the command that runs the
    program under test, and leaves the rest of argv to unittest."""
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--launcher", default="")
    args, rest = parser.parse_known_args()
    sys.argv[1:] = rest
    return shlex.split(args.launcher) + [args.exe]


def options(*names):
    """Parses the options --NAME that a test is given (paths, mostly), all
    required, and leaves the rest of argv to unittest."""
    parser = argparse.ArgumentParser(add_help=False)
    for name in names:
        parser.add_argument("--" + name, required=True)
    args, rest = parser.parse_known_args()
    sys.argv[1:] = rest
    return args


def project_version(build):
    """The project's version, as the build tree `build` was configured
    with."""
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        return next(line.split("=", 1)[1].strip() for line in f
                    if line.startswith("CMAKE_PROJECT_VERSION:"))


class CommandFailed(RuntimeError):
    """A command that ended badly: the message names it, says how it
    ended, and gives the last lines it wrote."""


def run(cmd, timeout, input=None, show=False, **kwargs):
    """Runs cmd to its end and returns its standard output as text. With
    `show`, its standard error goes straight to ours (progress lines);
    otherwise both are kept for the report. A command that fails or runs
    past `timeout` seconds raises CommandFailed."""
    try:
        p = subprocess.run(cmd, input=input, timeout=timeout, text=True, stdout=subprocess.PIPE,
                           stderr=None if show else subprocess.STDOUT, check=False, **kwargs)
    except subprocess.TimeoutExpired as e:
        raise CommandFailed(_failure(cmd, f"still running after {timeout} s", e.output)) from None
    except OSError as e:
        raise CommandFailed(f"{shlex.join(map(str, cmd))}: {e.strerror}") from None
    if p.returncode != 0:
        how = f"killed by signal {-p.returncode}" if p.returncode < 0 \
            else f"exit status {p.returncode}"
        raise CommandFailed(_failure(cmd, how, p.stdout, show))
    return p.stdout


def _failure(cmd, how, output, shown=False):
    """The last lines the command wrote, indented, then one line that
    names it and says how it ended."""
    if isinstance(output, bytes):
        output = output.decode(errors="replace")
    tail = collections.deque((output or "").splitlines(), maxlen=15)
    seen = " (its messages are above)" if shown and not tail else ""
    return "".join("  " + line + "\n" for line in tail) + f"{shlex.join(map(str, cmd))}: {how}{seen}"


def script(name, main):
    """Runs the main function of one of the project's scripts. A step
    that fails ends it with one line, which says what failed and how (its
    Python frames would tell the person nothing more), and status 1; Ctrl-C
    ends it with 130."""
    try:
        sys.exit(main())
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        *tail, last = str(e).splitlines() or [""]
        print(*tail, f"{name}: {last}", sep="\n", file=sys.stderr)
        sys.exit(1)
    except KeyboardInterrupt:
        sys.exit(130)


def spawn(cmd, seconds, **kwargs):
    """Starts cmd with a watchdog that kills it after `seconds`, whatever
    the test is doing then."""
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    proc = subprocess.Popen(cmd, **kwargs)
    watchdog = threading.Timer(seconds, proc.kill)
    watchdog.daemon = True
    watchdog.start()
    proc.watchdog = watchdog
    return proc


def stop(proc):
    proc.watchdog.cancel()
    if proc.poll() is None:
        proc.kill()
    proc.wait(timeout=10)


def udp_socket(addr="127.0.0.1", timeout=0.5):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((addr, 0))
    s.settimeout(timeout)
    return s


def exchange(sock, dgram, dest, tries=1):
    """Sends dgram and returns (reply, source), or None when nothing came
    back within the socket's timeout, `tries` times over."""
    for _ in range(tries):
        sock.sendto(dgram, dest)
        try:
            return sock.recvfrom(4096)
        except socket.timeout:
            continue
    return None


def in_own_network(argv):
    """Runs this test script again in a network namespace of its own, with
    only its loopback, and exits with its status: a port it binds there is
    no other program's. Stays where it is when namespaces cannot be made
    (no root and no user namespaces)."""
    if os.environ.get("CORVANE_OWN_NETWORK") == "1":
        return
    env = dict(os.environ, CORVANE_OWN_NETWORK="1")
    for unshare in (["unshare", "-n"], ["unshare", "-rn"]):
        if subprocess.run(unshare + ["true"], capture_output=True, timeout=30).returncode == 0:
            sys.exit(subprocess.run(unshare + ["sh", "-c", 'ip link set lo up && exec "$0" "$@"',
                                               sys.executable, *argv], env=env).returncode)


def built(path, target):
    """Why a program of the native preset cannot be run (None: it can).
    A preset's tests build nothing of another preset's; scripts/test
    builds the native one first."""
    if os.access(path, os.X_OK):
        return None
    return f"no {target} at {path}: build it with 'cmake --build --preset native --target {target}'"


def can_run(problem):
    """Skips a test class when `problem` says why it cannot run on this
    machine; under CI it runs anyway, and fails on the problem itself."""
    return unittest.skipIf(problem and os.environ.get("CI") != "true", problem)


def machine_counters():
    """The machine's own drops, which no namespace has to itself: address
    resolutions refused because the neighbour table was full, and
    datagrams dropped because a CPU's receive backlog was. Each is summed
    over the CPUs; a counter this kernel does not keep is left out."""
    counters = {}
    try:
        with open("/proc/net/stat/arp_cache") as f:
            head, *rows = [line.split() for line in f]
        column = head.index("table_fulls")
        counters["neighbour table overflows (/proc/net/stat/arp_cache)"] = \
            sum(int(row[column], 16) for row in rows)
    except (OSError, ValueError):
        pass
    try:
        with open("/proc/net/softnet_stat") as f:
            counters["receive backlog drops (/proc/net/softnet_stat)"] = \
                sum(int(line.split()[1], 16) for line in f)
    except (OSError, ValueError, IndexError):
        pass
    return counters


class _Result(unittest.TextTestResult):
    """Says under each failure whether the machine dropped traffic while
    the test ran: another program's flood, or the test's own, can fill
    what every namespace shares, and the failure is then not the
    program's."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._counters = machine_counters()  # for a class's set-up, before any test

    def startTest(self, test):
        self._counters = machine_counters()
        super().startTest(test)

    def _exc_info_to_string(self, err, test):
        now = machine_counters()
        moved = [f"{now[k] - v} {k}" for k, v in self._counters.items() if now.get(k, v) != v]
        said = ("the machine dropped traffic while this test ran: " + ", ".join(moved)
                if moved else "the machine's neighbour table and receive backlogs "
                "dropped nothing while this test ran")
        return super()._exc_info_to_string(err, test) + said + "\n"


def main(problem=None, what="these tests"):
    """Runs the tests. `problem` says why none of them can run on this
    machine: under CI that fails the run, elsewhere it skips (exit 77)."""
    if problem:
        if os.environ.get("CI") == "true":
            sys.exit(f"{what} cannot run: {problem}")
        print(f"SKIPPED: {what}: {problem}")
        sys.exit(77)
    unittest.main(verbosity=2, testRunner=unittest.TextTestRunner(resultclass=_Result,
                                                                  verbosity=2))
