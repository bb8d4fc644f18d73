"""What configure refuses: arithmetic that would not be exact under the flags in use (the probe
cmake/fpprobe.cpp, and a user's -ffast-math through CMAKE_CXX_FLAGS, with GCC and clang), and a
tree tuned for its build host being installed, or configured again on another processor; and that
a portable tree's pi programs print the same lines at every processor level the loader can choose.
Exits 77 (skipped) with the reason when every test it ran was skipped."""
import glob
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import reference as ref

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROBE = os.path.join(ROOT, "cmake", "fpprobe.cpp")
PROBE_ARGS = ("0x1.00000004p+0", "0x1.fffffff8p-1", "-1", "0x1p53")  # as cmake/SuiteFlags.cmake runs it
CMAKE = os.environ.get("SUITE_CMAKE", "cmake")


def compilers(test):
    """The tests' own compiler, and GCC and clang 14 where installed (CI installs both)."""
    found = {}
    for cxx in (os.environ.get("SUITE_CXX"), "g++", "clang++-14"):
        path = cxx and shutil.which(cxx)
        if path:
            found.setdefault(os.path.realpath(path), path)
        elif cxx and os.environ.get("CI") == "true":
            test.fail(f"{cxx} is not installed; under CI=true that is a failure")
    return list(found.values())


def configure(build, *args):
    return subprocess.run([CMAKE, "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF",
                           *args], capture_output=True, text=True, timeout=300)


def refusals(proc):
    """The lines of configure's refusals (CMake shows each indented under 'CMake Error')."""
    return [line.strip() for line in proc.stderr.splitlines() if line.strip().startswith("ompsuite: ")]


class Exactness(unittest.TestCase):
    def test_probe_sees_contraction_and_reassociation(self):
        # The inputs are read at run time: folded at compile time, every build would look exact.
        with tempfile.TemporaryDirectory() as tmp:
            for cxx in compilers(self):
                fma = "__FMA__" in subprocess.run([cxx, "-march=native", "-dM", "-E", "-x", "c++", "/dev/null"],
                                                  capture_output=True, text=True).stdout
                cases = [("-ffp-contract=off", ""), ("-ffast-math -ffp-contract=off", "reassociation\n")]
                if fma:  # contraction needs a fused instruction to contract into
                    cases.append(("-march=native -ffp-contract=fast", "contraction\n"))
                for flags, seen in cases:
                    with self.subTest(cxx=cxx, flags=flags):
                        exe = os.path.join(tmp, "probe")
                        subprocess.run([cxx, "-std=c++17", "-O3", *flags.split(), PROBE, "-o", exe], check=True)
                        proc = subprocess.run([exe, *PROBE_ARGS], capture_output=True, text=True)
                        self.assertEqual((proc.returncode, proc.stdout), (1 if seen else 0, seen))

    def test_users_fast_math_is_refused_or_changes_nothing(self):
        # Tuned for the host, so that a fused instruction exists to contract into where it can.
        flags = "-ffast-math -ffp-contract=fast"
        for cxx in compilers(self):
            with self.subTest(cxx=cxx), tempfile.TemporaryDirectory() as build:
                proc = configure(build, f"-DCMAKE_CXX_COMPILER={cxx}", f"-DCMAKE_CXX_FLAGS={flags}",
                                 "-DSUITE_NATIVE=ON")
                if proc.returncode != 0:
                    lines = refusals(proc)
                    self.assertEqual(len(lines), 1, proc.stderr)
                    self.assertRegex(lines[0], rf"^ompsuite: \w+ [\d.]+ \(.+\) (?:fuses a\*b\+c \(contraction\)|"
                                               rf"regroups sums \(reassociation\)|.+ and .+) under the flags "
                                               rf"'{re.escape(flags)} .*', so results would not be exact: add "
                                               rf"-\S+(?: -\S+)? to CMAKE_CXX_FLAGS$")
                    continue
                # Accepted: then the programs print exactly what the default build's print.
                subprocess.run([CMAKE, "--build", build, "--target", "quadplain", "quadguard", "quadmerge"],
                               capture_output=True, check=True, timeout=600)
                for name in ("quadplain", "quadguard", "quadmerge"):
                    got, want = (ref.run(os.path.join(d, name), ["100000"], threads=2)
                                 for d in (os.path.join(build, "bin"), os.environ["SUITE_BIN"]))
                    self.assertEqual(got.stdout.split(", time")[0], want.stdout.split(", time")[0], name)


LOADER = "/lib64/ld-linux-x86-64.so.2"
SOFTWARE = "glibc.cpu.hwcaps=-FMA,-FMA4,-AVX2"  # glibc as on a processor without the instruction
PI_SIZES = ("1", "7", "17", "1000", "1004", "1009", "12042", "99935", "99991", "1000000")  # test_pi.py's


def pi_lines(bindir, env):
    """Every pi program's report but the time, at each check size, on 1 and 2 threads."""
    lines = []
    for name in ("quadplain", "quadguard", "quadmerge"):
        for n in PI_SIZES:
            for threads in (1, 2) if name != "quadplain" else (None,):
                proc = ref.run(os.path.join(bindir, name), [n], threads=threads, env_extra=env)
                lines.append((name, n, threads, proc.returncode, proc.stdout.split(", time")[0], proc.stderr))
    return lines


class Levels(unittest.TestCase):
    def test_portable_tree_prints_the_tested_lines_at_every_level(self):
        # A portable tree's pi programs run x86-64-v4 or v3 code where the loader finds the
        # processor able, else the tree's own x86-64-v2 code with the math library's fma (in
        # software under SOFTWARE): each must print what the tree under test prints, to the last digit.
        if not os.path.exists(LOADER):
            self.skipTest("not glibc on x86-64: no per-level code")
        # The levels the loader would choose from here, best first.
        usable = re.findall(r"(?m)^  (\S+) \(supported", subprocess.run([LOADER, "--help"], capture_output=True,
                                                                      text=True).stdout)
        want = pi_lines(os.environ["SUITE_BIN"], {})
        for cxx in compilers(self):
            with self.subTest(cxx=cxx), tempfile.TemporaryDirectory() as build:
                proc = configure(build, f"-DCMAKE_CXX_COMPILER={cxx}")
                self.assertEqual(proc.returncode, 0, proc.stderr)
                for level in ("", " (x86-64-v3)", " (x86-64-v4)"):  # probed at every level it may run at
                    self.assertIn(f"ompsuite: floating-point probe{level}: no contraction", proc.stdout)
                subprocess.run([CMAKE, "--build", build, "--target", "quadplain", "quadguard", "quadmerge"],
                               capture_output=True, check=True, timeout=600)
                bindir = os.path.join(build, "bin")
                libs = glob.glob(os.path.join(build, "**", "libompsuite-quadplain.so"), recursive=True)
                fused = {lib: subprocess.run(["objdump", "-d", lib], capture_output=True, text=True).stdout
                         for lib in libs}
                self.assertEqual(sorted("vfmadd" in code and "<fma@plt>" not in code for code in fused.values()),
                                 [False, True, True], "the tree's own level calls the library, v3 and v4 do not")
                best = next((f"glibc-hwcaps/{level}/" for level in usable if level in ("x86-64-v3", "x86-64-v4")), "")
                for tunables, level in (("", best), (SOFTWARE, "")):
                    env = {"GLIBC_TUNABLES": tunables}
                    listed = subprocess.run([LOADER, "--list", os.path.join(bindir, "quadmerge")], capture_output=True,
                                            text=True, env=dict(os.environ, **env)).stdout
                    self.assertIn(f"/ompsuite/{level}libompsuite-quadmerge.so ", listed)
                    self.assertEqual(pi_lines(bindir, env), want, tunables or "hardware")


class HostTuned(unittest.TestCase):
    def test_neither_installed_nor_configured_again_on_another_processor(self):
        with tempfile.TemporaryDirectory() as tmp:
            build = os.path.join(tmp, "tuned")
            proc = configure(build, "-DSUITE_NATIVE=ON")
            self.assertEqual(proc.returncode, 0, proc.stderr)
            record = os.path.join(build, "host-cpu.txt")
            self.assertTrue(os.path.isfile(record))
            # Refused before the first file, even with nothing built.
            for component in ([], ["--component", "timer"]):
                proc = subprocess.run([CMAKE, "--install", build, "--prefix", os.path.join(tmp, "prefix"),
                                       *component], capture_output=True, text=True)
                self.assertNotEqual(proc.returncode, 0)
                self.assertEqual(refusals(proc), [f"ompsuite: {build} is tuned for its build host (SUITE_NATIVE=ON) "
                                                  "and is not installed: install a portable tree (cmake --preset "
                                                  "portable), or set SUITE_INSTALL_ARCH=native to install "
                                                  "host-tuned programs on purpose"])
                self.assertFalse(os.path.exists(os.path.join(tmp, "prefix")))

            with open(record, "w") as f:
                f.write("model name: Another processor\nflags: fpu\n")
            proc = subprocess.run([CMAKE, build], capture_output=True, text=True)
            self.assertNotEqual(proc.returncode, 0)
            self.assertEqual(refusals(proc), [f"ompsuite: {build} is tuned (-march=native) for another processor "
                                              f"({record}): remove it and configure again"])

            portable = os.path.join(tmp, "portable")
            self.assertEqual(configure(portable).returncode, 0)
            self.assertFalse(os.path.exists(os.path.join(portable, "host-cpu.txt")))


if __name__ == "__main__":
    ref.main()
