"""The Windows host half under Wine, on a LAN of namespaces with Linux
tarvo boards: the zip that cpack makes, unpacked as a user would; its
corvane-find.exe; and a C program built from the zip alone, with
pkg-config and with CMake. Every Wine process runs in the host's
namespace, in a process group of its own that the test ends."""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

from testbed import harness, lan

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)

ARGS = harness.options("build", "tarvo", "toolchain", "wine")
PEER = os.path.join(TESTS, "board_finder", "peer.py")
CONSUMER = os.path.join(TESTS, "libcorvane-find", "consumer")
PROBLEM = lan.unavailable() or harness.built(ARGS.tarvo, "tarvo")

ALL = [("10.79.1.11", 49100, 2, "eth0"), ("10.79.1.12", 49100, 2, "eth0"),
       ("10.79.2.13", 49100, 2, "eth1")]


def boards(stdout):
    return [(b["address"], b["port"], b["proto_ver"], b["interface"])
            for b in json.loads(stdout)]


@harness.can_run(PROBLEM)
class OnWindows(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.work.cleanup)
        # The zip, as cpack makes it, unpacked.
        out = os.path.join(cls.work.name, "package")
        harness.run(["cpack", "--config", os.path.join(ARGS.build, "CPackConfig.cmake"),
                     "-B", out], 300)
        cls.zip = os.path.join(cls.work.name,
                               f"corvane-find-{harness.project_version(ARGS.build)}-win64")
        with zipfile.ZipFile(os.path.join(out, os.path.basename(cls.zip) + ".zip")) as z:
            z.extractall(cls.work.name)
        cls.bin = os.path.join(cls.zip, "bin")

        cls.lan = lan.Lan()
        cls.addClassCleanup(cls.lan.close)
        cls.host = cls.lan.host("host", {"eth0": "10.79.1.1/24", "eth1": "10.79.2.1/24"})
        cls.boards = [cls.lan.spawn(cls.lan.node(f"b{i}", f"{addr}/24"), [ARGS.tarvo])
                      for i, (addr, _, _, _) in enumerate(ALL)]
        cls.forger = cls.lan.node("forger", "10.79.1.66/24")
        cls.lan.wait_bound(cls.boards)

    def wine(self, program, *args, **kwargs):
        """Starts a Windows program in the host's namespace; the test ends
        it and its Wine server, whatever happens."""
        kwargs.setdefault("stdout", subprocess.PIPE)
        kwargs.setdefault("stderr", subprocess.PIPE)
        proc = subprocess.Popen(["ip", "netns", "exec", self.host, ARGS.wine, program, *args],
                                stdin=subprocess.DEVNULL, start_new_session=True, **kwargs)

        def end():
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.communicate(timeout=30)
        self.addCleanup(end)
        return proc

    def find(self, *args):
        proc = self.wine(os.path.join(self.bin, "corvane-find.exe"), *args)
        out, err = proc.communicate(timeout=120)
        # Windows ends its lines with CR LF.
        return (proc.returncode, out.decode().replace("\r\n", "\n"),
                err.decode().replace("\r\n", "\n"))

    def test_the_command(self):
        for args, want in [
                (["-n", "3"], ALL),
                (["-n", "2", "-i", "eth0"], ALL[:2]),
                (["-n", "1", "10.79.2.13"], ALL[2:]),
                (["-n", "2", "10.79.1.0/24"], ALL[:2])]:
            with self.subTest(args=args):
                status, out, err = self.find("--json", "-t", "20", *args)
                self.assertEqual((status, err), (0, ""))
                self.assertEqual(boards(out), want)
        self.assertEqual(self.find("-t", "0.5", "10.79.1.99"),
                         (1, "", "corvane-find: no board answered within 0.5 s\n"))
        status, _, err = self.find("-i", "no-such-adapter")
        self.assertEqual((status, err), (2, "corvane-find: no-such-adapter: no such interface\n"))
        status, _, err = self.find("-t", "0")
        self.assertEqual(status, 2)
        self.assertIn("-t 0: not a number of seconds", err)

    def test_a_flood_of_forged_answers_keeps_the_wait(self):
        forger = self.lan.spawn(self.forger, [sys.executable, PEER, "flood", "60", "10.79.1.0/24"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.lan.wait_bound([forger])
        finder = self.wine(os.path.join(self.bin, "corvane-find.exe"), "--json", "-t", "2",
                           "-i", "eth0")
        asked_at = float(forger.stdout.readline())
        forger.stdin.write(b"go\n")
        forger.stdin.flush()
        self.assertEqual(forger.stdout.readline(), b"done\n")
        out, err = finder.communicate(timeout=60)
        took = time.monotonic() - asked_at
        print(f"\nunder Wine, a flood of forged answers: the run and Wine's end took "
              f"{took:.3f} s after its first request", file=sys.stderr)
        self.assertEqual((finder.returncode, err), (0, b""))
        self.assertIn(ALL[0], boards(out))
        # The wait, and Wine's own end, with a margin for a busy machine.
        self.assertLess(took, 2 + 4)

    def test_watch_reports_found_and_lost_and_ends_on_ctrl_c(self):
        board = self.lan.spawn(self.lan.node("watched", "10.79.2.14/24"), [ARGS.tarvo])
        self.lan.wait_bound([board])
        proc = self.wine(os.path.join(self.bin, "corvane-find.exe"), "--watch", "--every", "0.2",
                         "-v", "10.79.2.14")
        line = proc.stdout.readline().decode()
        self.assertEqual(line.split()[:5], ["found", "10.79.2.14", "49100", "2", "eth1"])
        harness.stop(board)
        self.assertEqual(proc.stdout.readline().decode().split(),
                         ["lost", "10.79.2.14", "49100"])
        # Wine makes SIGINT a Ctrl-C. The watch ends as a watch ends, with
        # its account; a program that Ctrl-C kills has none.
        os.kill(proc.pid, signal.SIGINT)
        out, err = proc.communicate(timeout=30)
        self.assertEqual((proc.returncode, out), (0, b""))
        self.assertIn("datagrams came back", err.decode().splitlines()[-1])

    def test_a_c_program_built_from_the_zip_alone(self):
        # With pkg-config, and with a CMake project: both find the boards.
        pc_env = dict(os.environ, PKG_CONFIG_LIBDIR=os.path.join(self.zip, "lib", "pkgconfig"))
        flags = harness.run(["pkg-config", "--cflags", "--libs", "corvane-find"], 60,
                            env=pc_env).split()
        programs = [os.path.join(self.bin, "consumer-pc.exe")]
        harness.run(["x86_64-w64-mingw32-gcc", "-std=c99", "-Wall", "-Wextra", "-pedantic",
                     "-Werror", "-o", programs[0], os.path.join(CONSUMER, "consumer.c"), *flags],
                    300)
        build = os.path.join(self.work.name, "cmake")
        harness.run(["cmake", "-G", "Ninja", "-S", CONSUMER, "-B", build,
                     f"-DCMAKE_TOOLCHAIN_FILE={os.path.abspath(ARGS.toolchain)}",
                     f"-DCMAKE_PREFIX_PATH={self.zip}"], 300)
        harness.run(["cmake", "--build", build], 300)
        programs.append(os.path.join(self.bin, "consumer-cmake.exe"))
        os.rename(os.path.join(build, "consumer.exe"), programs[1])
        for program in programs:
            with self.subTest(program=os.path.basename(program)):
                proc = self.wine(program, "20", "2", "1", "10.79.1.11", "10.79.1.12")
                out, err = proc.communicate(timeout=120)
                self.assertEqual((proc.returncode, err), (0, b""))
                self.assertEqual(sorted(out.decode().split("\r\n")[:-1]),
                                 [f"{a} 49100 2 eth0" for a, _, _, _ in ALL[:2]])


if __name__ == "__main__":
    harness.main(PROBLEM, "the Windows tests")
