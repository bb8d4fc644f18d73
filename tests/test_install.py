"""The timer library as other projects use it: installed and found as a CMake package, from C
and from C++, and the whole suite added to another project with add_subdirectory; and the
installed suite as an environment module. Exits 77 (skipped) with the reason when every test
it ran was skipped."""
import glob
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

import reference as ref

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CONSUMER = os.path.join(ROOT, "tests", "consumer")


def cmake(test, *args):
    # Configuring the suite from scratch takes seconds; minutes mean something hangs.
    cmd = [os.environ.get("SUITE_CMAKE", "cmake"), *args]
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    test.assertEqual(proc.returncode, 0, f"{' '.join(cmd)}:\n{proc.stdout}{proc.stderr}")


def compiler():
    cxx = os.environ.get("SUITE_CXX")
    return [f"-DCMAKE_CXX_COMPILER={cxx}"] if cxx else []


PROGRAMS = ("quadplain", "quadguard", "quadmerge", "growplain", "growsplit", "teamtally")


def run_consumer(test, build):
    proc = ref.run(os.path.join(build, "consumer"))
    test.assertEqual((proc.returncode, proc.stdout, proc.stderr), (0, "ok\n", ""))


class Package(unittest.TestCase):
    def test_installed(self):
        with tempfile.TemporaryDirectory() as tmp:
            build, prefix = os.path.join(tmp, "suite"), os.path.join(tmp, "prefix")
            cmake(self, "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF", *compiler())
            cmake(self, "--build", build, "--target", "timer")
            cmake(self, "--install", build, "--component", "timer", "--prefix", prefix)
            for language in ("C", "CXX"):
                with self.subTest(language=language):
                    consumer = os.path.join(tmp, f"consumer-{language}")
                    cmake(self, "-S", CONSUMER, "-B", consumer, f"-DCONSUMER_LANGUAGE={language}",
                          f"-DCMAKE_PREFIX_PATH={prefix}", *(compiler() if language == "CXX" else []))
                    cmake(self, "--build", consumer)
                    run_consumer(self, consumer)

    def test_inside_another_project(self):
        # The suite's outputs stay in its own binary folder and the build type stays the consumer's.
        with tempfile.TemporaryDirectory() as build:
            cmake(self, "-S", CONSUMER, "-B", build, f"-DCONSUMER_SUITE_SOURCE={ROOT}", "-DBUILD_TESTING=OFF",
                  *compiler())
            cmake(self, "--build", build, "--target", "consumer", "quadplain", "fillfloor")
            run_consumer(self, build)
            self.assertEqual([d for d in ("bin", "lib", "bench") if os.path.exists(os.path.join(build, d))], [])
            for path in ("bin/quadplain", "lib/libtimer.a", "bench/fillfloor"):
                self.assertTrue(os.path.isfile(os.path.join(build, "ompsuite", path)), path)
            with open(os.path.join(build, "CMakeCache.txt")) as f:
                m = re.search(r"(?m)^CMAKE_BUILD_TYPE:\w+=(.*)$", f.read())
            self.assertEqual(m.group(1) if m else "", "", "the including project's build type was set")


def lmod_init():
    """Lmod's start-up file for bash: the one of the Lmod in use, else where packages put it."""
    candidates = [os.path.join(os.environ["LMOD_PKG"], "init", "bash")] if os.environ.get("LMOD_PKG") else []
    candidates += ["/usr/share/lmod/lmod/init/bash", *sorted(glob.glob("/usr/share/lmod/*/init/bash")),
                   "/opt/apps/lmod/lmod/init/bash"]
    return next((path for path in candidates if os.path.isfile(path)), None)


class Module(unittest.TestCase):
    def setUp(self):
        self.init = lmod_init()
        if self.init is None:
            why = "Lmod is not installed (Debian package lmod), so the environment module is not checked"
            if os.environ.get("CI") == "true":
                self.fail(why + "; under CI=true that is a failure")
            self.skipTest(why)

    def in_module(self, home, modulepath, commands):
        """Standard output of commands run in a clean shell (nothing inherited but a minimal PATH)
        after module use MODULEPATH and module load ompsuite."""
        script = (f"set -e; source {shlex.quote(self.init)}; module use {shlex.quote(modulepath)}; "
                  f"module load ompsuite; {commands}")
        proc = subprocess.run(["bash", "--noprofile", "--norc", "-c", script], env={"PATH": "/usr/bin:/bin",
                              "HOME": home}, capture_output=True, text=True, timeout=300)
        self.assertEqual(proc.returncode, 0, f"{commands}:\n{proc.stdout}{proc.stderr}")
        return proc.stdout

    def test_load(self):
        version = os.environ["SUITE_VERSION"]
        with tempfile.TemporaryDirectory() as tmp:
            build, prefix = os.path.join(tmp, "suite"), os.path.join(tmp, "prefix")
            cmake(self, "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF", *compiler())
            cmake(self, "--build", build, "--target", "timer", *PROGRAMS)
            cmake(self, "--install", build, "--prefix", prefix)
            modules = os.path.join(prefix, "share", "modulefiles")
            self.assertEqual(os.listdir(os.path.join(modules, "ompsuite")), [f"{version}.lua"])

            out = self.in_module(tmp, modules, 'command -v quadplain; quadplain 1000; printf "%s\\n" '
                                 '"$OMPSUITE_ROOT" "$CMAKE_PREFIX_PATH"; module whatis ompsuite 2>&1; '
                                 'module unload ompsuite; printf "%s\\n" "$PATH" "${OMPSUITE_ROOT-unset}"')
            lines = out.splitlines()
            self.assertEqual(lines[0], os.path.join(prefix, "bin", "quadplain"))
            self.assertRegex(lines[1], rf"^pi = {re.escape(ref.format_pi(ref.pi_serial(1000)))}, N =      1000, "
                                       r"time = \d+\.\d{8} secs$")
            self.assertEqual(lines[2:4], [ROOT, prefix])
            self.assertIn(f"Version: {version}", out)
            self.assertEqual(lines[-2:], ["/usr/bin:/bin", "unset"], "module unload left the environment changed")

            # A project configured in that shell finds the package from the module alone.
            consumer = os.path.join(tmp, "consumer")
            configure = [os.environ.get("SUITE_CMAKE", "cmake"), "-S", CONSUMER, "-B", consumer, *compiler()]
            self.in_module(tmp, modules, f"{shlex.join(configure)}; {shlex.join([configure[0], '--build', consumer])}")
            with open(os.path.join(consumer, "CMakeCache.txt")) as f:
                found = re.search(r"(?m)^ompsuite_DIR:\w+=(.*)$", f.read())
            self.assertEqual(found.group(1) if found else None, os.path.join(prefix, "lib", "cmake", "ompsuite"))
            run_consumer(self, consumer)

            # A copy of the module file alone, in another modules tree, keeps the installed prefix;
            # the whole prefix moved elsewhere takes the module file's new place.
            site = os.path.join(tmp, "site", "share", "modulefiles")
            shutil.copytree(os.path.join(modules, "ompsuite"), os.path.join(site, "ompsuite"))
            self.assertEqual(self.in_module(tmp, site, "command -v quadplain"),
                             os.path.join(prefix, "bin", "quadplain") + "\n")
            moved = os.path.join(tmp, "moved")
            os.rename(prefix, moved)
            self.assertEqual(self.in_module(tmp, os.path.join(moved, "share", "modulefiles"),
                                            'command -v quadplain; echo "$CMAKE_PREFIX_PATH"'),
                             f"{os.path.join(moved, 'bin', 'quadplain')}\n{moved}\n")


if __name__ == "__main__":
    ref.main()
