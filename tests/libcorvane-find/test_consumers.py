"""libcorvane-find as its users meet it: installed into a staging tree,
then used from outside the source tree by a C program built with
pkg-config, the same program built by a CMake project, and the Python
module, each finding the boards of a LAN of namespaces."""

import glob
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from testbed import harness, lan

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))

ARGS = harness.options("build", "tarvo")

BOARDS = ["10.86.0.11", "10.86.0.12"]
FOUND = [f"{a} 49100 2 eth0" for a in BOARDS]
PROBLEM = lan.unavailable()


def run(cmd, **kwargs):
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=300, **kwargs)
    if p.returncode != 0:
        raise AssertionError(f"{' '.join(cmd)}: {p.stdout}{p.stderr}")
    return p.stdout


class Installed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.work.cleanup)
        stage = os.path.join(cls.work.name, "stage")
        for component in ("runtime", "dev", "python"):
            run(["cmake", "--install", ARGS.build, "--component", component],
                env=dict(os.environ, DESTDIR=stage))
        pc_dir = glob.glob(f"{stage}/usr/lib/**/pkgconfig", recursive=True)[0]
        cls.libdir = os.path.dirname(pc_dir)
        cls.env = dict(os.environ, LD_LIBRARY_PATH=cls.libdir,
                       PYTHONPATH=os.pathsep.join([f"{stage}/usr/lib/python3/dist-packages",
                                                   os.environ["PYTHONPATH"]]))

        # The program, built as the two kinds of user build it.
        source = os.path.join(HERE, "consumer")
        pkg_env = dict(os.environ, PKG_CONFIG_LIBDIR=pc_dir, PKG_CONFIG_SYSROOT_DIR=stage)
        flags = run(["pkg-config", "--cflags", "--libs", "corvane-find"], env=pkg_env).split()
        cls.programs = {"pkg-config": os.path.join(cls.work.name, "consumer")}
        run(["cc", "-std=c99", "-Wall", "-Wextra", "-pedantic", "-Werror", "-o",
             cls.programs["pkg-config"], os.path.join(source, "consumer.c"), *flags])
        cmake_build = os.path.join(cls.work.name, "cmake")
        run(["cmake", "-S", source, "-B", cmake_build, f"-DCMAKE_PREFIX_PATH={stage}/usr"])
        run(["cmake", "--build", cmake_build])
        cls.programs["cmake"] = os.path.join(cmake_build, "consumer")

    def test_only_its_own_symbols_are_exported(self):
        out = run(["nm", "-D", "--defined-only", os.path.join(self.libdir, "libcorvane-find.so.1")])
        names = [line.split()[-1] for line in out.splitlines() if line.split()[-2] != "A"]
        self.assertTrue(names)
        self.assertEqual([n for n in names if not n.startswith("corvane_")], [])

    def test_python_programs_that_run_for_a_while(self):
        script = os.path.join(HERE, "long_run.py")
        for mode in ("quiet", "answers", "watching"):
            with self.subTest(mode=mode):
                # SIGINT as a terminal sends it, whatever this process was
                # started with.
                p = harness.spawn([sys.executable, script, mode], 60, env=self.env,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
                self.addCleanup(harness.stop, p)
                self.assertEqual(p.stdout.readline(), b"asking\n")
                time.sleep(0.5)
                sent = time.monotonic()
                p.send_signal(signal.SIGINT)
                _, err = p.communicate(timeout=30)
                took = time.monotonic() - sent
                self.assertEqual(p.returncode, -signal.SIGINT, err)
                self.assertTrue(err.endswith(b"\nKeyboardInterrupt\n"), err)
                self.assertNotIn(b"Exception ignored", err)
                # The module ends the search within 0.1 s; the rest is room
                # for a busy machine, far below the wait of 10 s.
                self.assertLess(took, 2)
        # Python ends daemon threads that call back into it at exit: the
        # library lets them end, and the module cancels its searches first.
        for _ in range(10):
            p = subprocess.run([sys.executable, script, "exiting"], env=self.env,
                               capture_output=True, timeout=60)
            self.assertEqual((p.returncode, p.stderr), (0, b""))
        for mode, want in (("watch", ["found 127.0.0.1 True 127.0.0.1:9300",
                                      "lost 127.0.0.1 True 127.0.0.1:9300",
                                      "found 127.0.0.1 True 127.0.0.1:9300"]),
                           ("async", ["find_async: 3 boards; the loop went on: True",
                                      "300 at once: 300 boards"] +
                            ["cancelled: at once sockets closed"] * 2 +
                            ["threads of the searches: 0",
                             "a watch_async of no such name: FindError"])):
            with self.subTest(mode=mode):
                self.assertEqual(run([sys.executable, script, mode], env=self.env).splitlines(),
                                 want)

    @harness.can_run(PROBLEM)
    def test_programs_and_python_find_the_boards(self):
        bed = lan.Lan()
        self.addCleanup(bed.close)
        host = bed.host("host", {"eth0": "10.86.0.1/24"})
        # A name server that never answers, and gives up after 1 s.
        bed.resolver(host, "nameserver 10.86.0.250\noptions timeout:1 attempts:1\n")
        bed.wait_bound([bed.spawn(bed.node(f"b{i}", a + "/24"), [ARGS.tarvo])
                        for i, a in enumerate(BOARDS)])

        def in_host(*cmd):
            p = bed.run(host, list(cmd), text=True, env=self.env)
            return p.returncode, p.stdout, p.stderr
        for how, program in self.programs.items():
            with self.subTest(how=how):
                # One finder, run twice: the same boards each time.
                status, out, err = in_host(program, "30", "2", "2")
                self.assertEqual((status, sorted(out.splitlines()), err),
                                 (0, sorted(FOUND * 2), ""))
        with self.subTest(how="python"):
            status, out, err = in_host(sys.executable, os.path.join(HERE, "use_module.py"),
                                       *BOARDS)
            self.assertEqual((status, err), (0, ""))
            self.assertEqual(out.splitlines(), FOUND + ["threads: ok", "count: ok", "errors: ok",
                                                        "logging: ok", "dlclose: ok"])


@harness.can_run(PROBLEM)
class Wheel(unittest.TestCase):
    def test_pip_install_into_a_fresh_virtual_environment(self):
        """The wheel alone, in Debian's Python's virtual environment without
        the system's packages: nothing of ours from the system, or from this
        tree, is on its paths."""
        wheel = run([os.path.join(ROOT, "scripts", "wheel")]).splitlines()[-1]
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        venv = os.path.join(work.name, "venv")
        run(["/usr/bin/python3", "-m", "venv", venv])
        run([f"{venv}/bin/pip", "install", "-q", "--no-index", "--disable-pip-version-check",
             os.path.join(ROOT, wheel)])
        bed = lan.Lan()
        self.addCleanup(bed.close)
        host = bed.host("host", {"eth0": "10.86.1.1/24"})
        bed.wait_bound([bed.spawn(bed.node("b", "10.86.1.11/24"), [ARGS.tarvo])])
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
        p = bed.run(host, [f"{venv}/bin/python", "-c",
                           "import corvane; print(corvane.__version__, corvane._binding._library()._name); "
                           "print([b.address for b in corvane.find(wait=30, count=1)])"],
                    text=True, env=env, cwd=work.name)
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        version, library = p.stdout.splitlines()[0].split()
        self.assertEqual(version, harness.project_version(ARGS.build))
        self.assertTrue(library.startswith(venv + "/lib/"), library)
        self.assertEqual(p.stdout.splitlines()[1], "['10.86.1.11']")


if __name__ == "__main__":
    harness.main()
