"""The timer library as other projects use it: installed and found as a CMake package, from C
and from C++, through pkg-config from a Makefile, and the whole suite added to another project
with add_subdirectory; the installed suite as an environment module, its tools run from the
prefix alone; and the Debian package, installed, used and removed. Exits 77 (skipped) with the
reason when every test it ran was skipped."""
import glob
import io
import os
import re
import resource
import shlex
import shutil
import subprocess
import tarfile
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


MAINTAINER = "HPC team <hpc@cluster.example.org>"
PROGRAMS = ("quadplain", "quadguard", "quadmerge", "growplain", "growsplit", "teamtally")
# Every target an install needs built.
INSTALLED_TARGETS = ("timer", "calibrate", *PROGRAMS)

# Instructions above x86-64-v2: everything VEX or EVEX encoded (AVX, AVX2, FMA, F16C, AVX-512:
# their mnemonics start with v, and AVX-512's mask instructions with k) and BMI1/BMI2, LZCNT, MOVBE.
ABOVE_V2 = re.compile(r"^(?:v(?!err|erw)\w+|k\w+|andn|bextr|blsi|blsmsk|blsr|bzhi|mulx|pdep|pext|rorx|sarx|"
                      r"shlx|shrx|lzcnt|tzcnt|movbe)$")


def above_v2(path):
    """{mnemonic: count} of the instructions above x86-64-v2 in an object, archive or program."""
    out = subprocess.run(["objdump", "-d", "--no-show-raw-insn", path], capture_output=True, text=True,
                         check=True).stdout
    found = {}
    for line in out.splitlines():
        fields = line.split("\t")
        if len(fields) >= 2 and fields[0].strip().endswith(":") and fields[1].strip():
            mnemonic = fields[1].split()[0]
            if ABOVE_V2.match(mnemonic):
                found[mnemonic] = found.get(mnemonic, 0) + 1
    return found


def require(test, what, present, package):
    """Skip without a tool the test needs; under CI=true (which installs it) that is a failure."""
    if present:
        return
    why = f"{what} is not installed (Debian package {package})"
    if os.environ.get("CI") == "true":
        test.fail(why + "; under CI=true that is a failure")
    test.skipTest(why)


def installed_runsuite(test, run_in, home):
    """A calibrated runsuite from the installed tree the loaded module names (its reduced recurrence
    build in HOME's cache), through run_in(command) -> its output: every check passed and the
    figures compared with the calibrated floors."""
    out = run_in(f'cd {shlex.quote(home)}; "$OMPSUITE_ROOT/runsuite" --pi-n 1e6 --recurrence-n 1e6 --repeats 3 '
                 '--disturbed-load 64 --disturbed-steal 64 2>&1 || echo "status $?"')
    # The watch is widened so that a busy machine cannot refuse the calibration this test is about.
    # Status 3: every check passed, but the load left a figure untrusted (a calibration slowed by
    # the load can make a fill look faster than its floor): which figures, depends on it.
    test.assertNotRegex(out, r"(?m)^status (?!3$)", out)
    test.assertIn("calibrating this machine", out)
    test.assertIn(f"building {os.path.join(home, '.cache', 'ompsuite')}", out)  # the reduced build, not in the prefix
    test.assertRegex(out, r"(?m)^program .*% floor|left out to fit .*% of floor", "no calibrated floors")
    for name in PROGRAMS[:5]:
        row = re.search(rf"(?m)^{name} +\d+ +1e6 .*$", out)
        test.assertIsNotNone(row, f"no row for {name}:\n{out}")
        test.assertNotIn("FAIL", row.group(0))


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
            with self.subTest("pkg-config"):
                require(self, "pkg-config", shutil.which("pkg-config"), "pkgconf")
                makefile = os.path.join(tmp, "make")
                os.mkdir(makefile)
                for name in ("Makefile", "consumer.c"):
                    shutil.copy(os.path.join(CONSUMER, name), makefile)
                proc = subprocess.run(["make", "-C", makefile], capture_output=True, text=True, timeout=300,
                                      env=dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib", "pkgconfig")))
                self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
                run_consumer(self, makefile)
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


class LmodShell:
    def setUp(self):
        self.init = lmod_init()
        require(self, "Lmod", self.init, "lmod")

    def in_module(self, home, modulepath, commands):
        """Standard output of commands run in a clean shell (nothing inherited but a minimal PATH)
        after module use MODULEPATH and module load ompsuite."""
        script = (f"set -e; source {shlex.quote(self.init)}; module use {shlex.quote(modulepath)}; "
                  f"module load ompsuite; {commands}")
        proc = subprocess.run(["bash", "--noprofile", "--norc", "-c", script], env={"PATH": "/usr/bin:/bin",
                              "HOME": home}, capture_output=True, text=True, timeout=300)
        self.assertEqual(proc.returncode, 0, f"{commands}:\n{proc.stdout}{proc.stderr}")
        return proc.stdout


class Module(LmodShell, unittest.TestCase):
    def test_load(self):
        version = os.environ["SUITE_VERSION"]
        with tempfile.TemporaryDirectory() as tmp:
            build, prefix = os.path.join(tmp, "suite"), os.path.join(tmp, "prefix")
            cmake(self, "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF", *compiler())
            cmake(self, "--build", build, "--target", *INSTALLED_TARGETS)
            cmake(self, "--install", build, "--prefix", prefix)
            modules = os.path.join(prefix, "share", "modulefiles")
            self.assertEqual(os.listdir(os.path.join(modules, "ompsuite")), [f"{version}.lua"])
            tools = os.path.join(prefix, "share", "ompsuite")

            # At the default settings nothing installed needs more than x86-64-v2, but the pi
            # programs' copies for the levels above it, which use the fused multiply-add.
            if os.uname().machine == "x86_64":
                require(self, "objdump", shutil.which("objdump"), "binutils")
                code = os.path.join(prefix, "lib", "ompsuite")
                installed = [os.path.join(prefix, "bin", p) for p in PROGRAMS]
                installed += [os.path.join(prefix, "lib", "libtimer.a"),
                              os.path.join(prefix, "libexec", "ompsuite", "calibrate")]
                installed += glob.glob(os.path.join(code, "*.so"))
                for path in installed:
                    with self.subTest(path=path):
                        self.assertEqual(above_v2(path), {})
                levels = sorted(os.listdir(os.path.join(code, "glibc-hwcaps")))
                self.assertEqual(levels, ["x86-64-v3", "x86-64-v4"])
                for level in levels:
                    for path in glob.glob(os.path.join(code, "glibc-hwcaps", level, "*.so")):
                        with self.subTest(path=path):
                            self.assertTrue(any(m.startswith("vfmadd") for m in above_v2(path)), above_v2(path))

            out = self.in_module(tmp, modules, 'command -v quadplain; quadplain 1000; printf "%s\\n" '
                                 '"$OMPSUITE_ROOT" "$CMAKE_PREFIX_PATH" "$PKG_CONFIG_PATH"; '
                                 'module whatis ompsuite 2>&1; module unload ompsuite; '
                                 'printf "%s\\n" "$PATH" "${OMPSUITE_ROOT-unset}"')
            lines = out.splitlines()
            self.assertEqual(lines[0], os.path.join(prefix, "bin", "quadplain"))
            self.assertRegex(lines[1], rf"^pi = {re.escape(ref.format_pi(ref.pi_serial(1000)))}, N =      1000, "
                                       r"time = \d+\.\d{8} secs$")
            self.assertEqual(lines[2:5], [tools, prefix, os.path.join(prefix, "lib", "pkgconfig")])
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

            # The tools from the prefix alone: the installed programs, calibrate found in libexec.
            installed_runsuite(self, lambda command: self.in_module(tmp, modules, command), tmp)

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


class Debian(LmodShell, unittest.TestCase):
    """cpack's packages of a tree at the default settings: the .deb installed with dpkg, every
    program run from it, its module loaded and its tools run, then removed without a trace."""

    def setUp(self):
        if os.geteuid() != 0 or not shutil.which("dpkg"):
            why = "installing the Debian package needs root and dpkg"
            if os.environ.get("CI") == "true":
                self.fail(why + "; under CI=true that is a failure")
            self.skipTest(why)
        if subprocess.run(["dpkg", "-s", "ompsuite"], capture_output=True).returncode == 0:
            self.fail("a package named ompsuite is installed already; remove it (dpkg -r ompsuite) to run this test")
        super().setUp()

    def dpkg(self, *args):
        proc = subprocess.run(["dpkg", *args], capture_output=True, text=True, timeout=300)
        self.assertEqual(proc.returncode, 0, f"dpkg {' '.join(args)}:\n{proc.stdout}{proc.stderr}")

    def test_package(self):
        version = os.environ["SUITE_VERSION"]
        with tempfile.TemporaryDirectory() as tmp:
            build = os.path.join(tmp, "suite")
            cmake(self, "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF", *compiler())
            cmake(self, "--build", build, "--parallel")
            cpack = [os.environ.get("SUITE_CPACK", "cpack")]
            # No package without a maintainer whom mail reaches; the builder names one.
            cmake(self, build, "-DSUITE_MAINTAINER=root <root@localhost>")
            proc = subprocess.run(cpack, cwd=build, capture_output=True, text=True, timeout=600)
            self.assertNotEqual(proc.returncode, 0)
            self.assertIn("ompsuite: the package's maintainer 'root <root@localhost>' is not",
                          proc.stdout + proc.stderr)
            cmake(self, build, f"-DSUITE_MAINTAINER={MAINTAINER}")
            proc = subprocess.run(cpack, cwd=build, capture_output=True, text=True, timeout=600)
            self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
            arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
            deb = os.path.join(build, f"ompsuite_{version}_{arch}.deb")
            archives = glob.glob(os.path.join(build, f"ompsuite-{version}-*.tar.gz"))
            self.assertTrue(os.path.isfile(deb), os.listdir(build))
            self.assertEqual(len(archives), 1, os.listdir(build))
            with tarfile.open(archives[0]) as tar:
                top = os.path.basename(archives[0])[:-len(".tar.gz")]
                names = set(tar.getnames())
                files = {m.name[len(top) + 1:] for m in tar.getmembers() if not m.isdir()}
            # The same files in both, under /usr and under the archive's top folder.
            listing = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], capture_output=True, check=True).stdout
            with tarfile.open(fileobj=io.BytesIO(listing)) as tar:
                in_deb = {m.name[len("./usr/"):] for m in tar.getmembers() if not m.isdir()}
            for path in ("bin/quadplain", "libexec/ompsuite/calibrate", "lib/libtimer.a",
                         "lib/pkgconfig/ompsuite-timer.pc", f"share/modulefiles/ompsuite/{version}.lua",
                         "share/ompsuite/runsuite", "share/ompsuite/install-layout.txt",
                         "share/ompsuite/ompsuite/export/report.css",
                         "lib/ompsuite/glibc-hwcaps/x86-64-v3/libompsuite-quadplain.so",
                         "share/doc/ompsuite/copyright", "share/doc/ompsuite/changelog.gz"):
                self.assertIn(f"{top}/{path}", names)
            self.assertEqual(in_deb, files, "the archive and the .deb differ")
            fields = subprocess.run(["dpkg-deb", "--field", deb, "Maintainer"], capture_output=True, text=True).stdout
            self.assertEqual(fields.strip(), MAINTAINER)
            require(self, "lintian", shutil.which("lintian"), "lintian")
            proc = subprocess.run(["lintian", deb], capture_output=True, text=True, timeout=600)
            self.assertEqual([line for line in proc.stdout.splitlines() if line.startswith("E:")], [], proc.stdout)

            self.addCleanup(subprocess.run, ["dpkg", "-r", "ompsuite"], capture_output=True)
            self.dpkg("-i", deb)
            for path in [f"/usr/{p}" for p in in_deb if p.startswith(("bin/", "libexec/", "lib/ompsuite/"))]:
                sections = subprocess.run(["readelf", "-S", path], capture_output=True, text=True, check=True).stdout
                self.assertNotIn(".symtab", sections, f"{path} is not stripped")
            for name in ("quadplain", "quadguard", "quadmerge"):
                with self.subTest(name):
                    proc = ref.run(f"/usr/bin/{name}", ["1000"], threads=2)
                    self.assertEqual(proc.returncode, 0, proc.stderr)
                    self.assertRegex(proc.stdout, r"^pi = 3\.14159\d+, N =      1000, time = \d+\.\d{8} secs\n$")

            proc = ref.run("/usr/bin/teamtally", threads=2)
            self.assertEqual(proc.returncode, 0, proc.stderr)
            self.assertIn("Thread -1 is done! Total= 4.999995e+11", proc.stdout)
            # 16 GB each: started under a 1 GiB address-space limit, they must get as far as asking for it.
            for name in ("growplain", "growsplit"):
                with self.subTest(name):
                    proc = ref.run(f"/usr/bin/{name}", preexec_fn=lambda: resource.setrlimit(
                        resource.RLIMIT_AS, (1 << 30, 1 << 30)))
                    self.assertEqual((proc.returncode, proc.stdout), (1, ""), proc.stderr)
                    self.assertIn("failed to allocate problem size", proc.stderr)

            out = self.in_module(tmp, "/usr/share/modulefiles", 'command -v quadplain; echo "$OMPSUITE_ROOT"; '
                                 "pkg-config --modversion ompsuite-timer")
            self.assertEqual(out.splitlines(), ["/usr/bin/quadplain", "/usr/share/ompsuite", version])
            installed_runsuite(self, lambda command: self.in_module(tmp, "/usr/share/modulefiles", command), tmp)

            self.dpkg("-r", "ompsuite")
            left = [p for p in ("/usr/bin/quadplain", "/usr/libexec/ompsuite", "/usr/share/ompsuite",
                                "/usr/lib/ompsuite", "/usr/share/doc/ompsuite",
                                "/usr/share/modulefiles/ompsuite", "/usr/lib/libtimer.a") if os.path.lexists(p)]
            self.assertEqual(left, [], "left behind by dpkg -r")


if __name__ == "__main__":
    ref.main()
