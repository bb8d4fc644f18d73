"""The build module's view of trees and installs: the processor a tuned tree was made for, an
installed suite's layout, and where the calibrate program that goes with a folder of programs is."""
import os
import tempfile
import unittest
from unittest import mock

from ompsuite.errors import SuiteError
from ompsuite.measure import build

X86 = """processor\t: 0
vendor_id\t: GenuineIntel
model name\t: Intel(R) Xeon(R) Gold 6130 CPU @ 2.10GHz
flags\t\t: fpu sse2 avx2 fma avx512f
vmx flags\t: vnmi
processor\t: 1
model name\t: Intel(R) Xeon(R) Gold 6130 CPU @ 2.10GHz
flags\t\t: fpu sse2 avx2 fma avx512f
"""
ARM = "processor\t: 0\nFeatures\t: fp asimd sve\nCPU implementer\t: 0x41\nCPU part\t: 0xd40\n"


class Trees(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.d = self.tmp.name

    def write(self, rel, text=""):
        path = os.path.join(self.d, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_a_tuned_tree_runs_only_on_its_processor(self):
        # Read as cmake/SuiteFlags.cmake writes it: the first line of each key, in a fixed order.
        self.assertEqual(build.cpu_signature(X86), "model name: Intel(R) Xeon(R) Gold 6130 CPU @ 2.10GHz\n"
                                                   "flags: fpu sse2 avx2 fma avx512f\n")
        self.assertEqual(build.cpu_signature(ARM), "Features: fp asimd sve\nCPU implementer: 0x41\nCPU part: 0xd40\n")
        build.check_tuned_for_host(self.d, here=build.cpu_signature(X86))  # portable: no record, no refusal
        self.write(build.HOST_CPU_FILE, build.cpu_signature(X86))
        build.check_tuned_for_host(self.d, here=build.cpu_signature(X86))
        older = X86.replace(" avx512f", "").replace("Gold 6130", "E5-2680 v2")
        fewer = X86.replace(" avx512f", "")  # the same model name, other features (a VM, a BIOS setting)
        for here, which in ((older, "Intel(R) Xeon(R) Gold 6130 CPU @ 2.10GHz; this one: Intel(R) Xeon(R) E5-2680 "
                                    "v2 CPU @ 2.10GHz"),
                            (fewer, "Intel(R) Xeon(R) Gold 6130 CPU @ 2.10GHz with other features than this one")):
            with self.subTest(which), self.assertRaises(SuiteError) as e:
                build.check_tuned_for_host(self.d, here=build.cpu_signature(here))
            self.assertEqual(e.exception.status, 2)
            self.assertEqual(str(e.exception), f"{self.d} is tuned (-march=native) for another processor ({which}), "
                                               "so its programs may not run here: remove it to rebuild, or use a "
                                               "portable build (--bin)")

    def test_installed_layout_and_where_calibrate_is(self):
        self.assertIsNone(build.read_layout(self.d))
        tools = os.path.join(self.d, "share", "ompsuite")
        self.write("share/ompsuite/install-layout.txt", "# comment\nversion=0.1.0\narch=x86-64-v2\nbindir=../../bin\n")
        with self.assertRaisesRegex(SuiteError, "lacks libexecdir: reinstall the suite"):
            build.read_layout(tools)
        self.write("share/ompsuite/install-layout.txt",
                   "version=0.1.0\narch=x86-64-v2\nbindir=../../bin\nlibexecdir=../../lib/ompsuite\n")
        layout = build.read_layout(tools)
        self.assertEqual(layout, {"version": "0.1.0", "arch": "x86-64-v2", "bindir": os.path.join(self.d, "bin"),
                                  "libexecdir": os.path.join(self.d, "lib", "ompsuite")})

        # The layout's libexec folder for the installed programs; for a folder named with --bin,
        # a calibrate inside it. Nothing beside that folder (its parent's bench/ or libexec/) runs.
        def program(rel):
            os.chmod(self.write(rel), 0o755)
            return os.path.join(self.d, rel)
        tree_bin, prefix_bin = os.path.join(self.d, "tree", "bin"), os.path.join(self.d, "bin")
        os.makedirs(tree_bin)
        program("tree/bench/calibrate")
        program("libexec/ompsuite/calibrate")
        self.assertIsNone(build.calibrate_path(tree_bin))
        self.assertIsNone(build.calibrate_path(prefix_bin))
        named = program("tree/bin/calibrate")
        self.assertEqual(build.calibrate_path(tree_bin), named)
        installed = program("lib/ompsuite/calibrate")
        with mock.patch.object(build, "installed", lambda: layout):
            self.assertEqual(build.calibrate_path(prefix_bin), installed)
            self.assertEqual(build.calibrate_path(tree_bin), named)


class Baselines(unittest.TestCase):
    """The suite's programs are what their build made: one changed since (by a student's program
    without a sandbox, say) is built again before the next run, and refused during one."""

    def test_a_changed_program_is_built_again_or_refused(self):
        from ompsuite.errors import ProgramFailed
        with tempfile.TemporaryDirectory() as d, mock.patch.dict(build._known, clear=True), \
                mock.patch.object(build, "progress"), mock.patch.object(build, "check_tuned_for_host"), \
                mock.patch.object(build, "_cmake", lambda *_: open(os.path.join(d, "bin", "quadplain"), "a").close()):
            os.mkdir(os.path.join(d, "bin"))
            os.mkdir(os.path.join(d, "CMakeCache.txt"))  # configured
            program = os.path.join(d, "bin", "quadplain")
            build.build(d, needed=["quadplain"])  # the stand-in build makes an empty program
            build.unchanged(program)
            with open(program, "w") as f:
                f.write("#!/bin/sh\necho 'pi = 3.14, N = 1, time = 99.0 secs'\n")
            with self.assertRaisesRegex(ProgramFailed, "changed since it was built"):
                build.unchanged(program)
            build.build(d, needed=["quadplain"])  # the next run: removed, so that the build makes it again
            with open(program) as f:
                self.assertEqual(f.read(), "")
