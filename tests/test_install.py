"""The timer library as other projects use it: installed and found as a CMake package, from C
and from C++, and the whole suite added to another project with add_subdirectory."""
import os
import re
import subprocess
import sys
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


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
