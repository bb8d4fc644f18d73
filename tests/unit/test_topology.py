"""Topology: hwloc's XML (this machine's, and a hand-made two-socket SMT machine) and a fake sysfs
tree of that same machine, which must agree; the fall from source to source; and hwloc asked at
most once per process."""
import contextlib
import io
import os
import shutil
import tempfile
import unittest
from unittest import mock

from ompsuite.platform import topology as T
from ompsuite.errors import SuiteError

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures")
SYSFS = os.path.join(FIXTURES, "sysfs-2socket-smt")
CPUS = os.path.join("devices", "system", "cpu")


def fixture(name):
    with open(os.path.join(FIXTURES, name)) as f:
        return f.read()


def facts(topo):
    return (topo.sockets, topo.cores, topo.threads_per_core, topo.pus, topo.numa_nodes)


class Sysfs(unittest.TestCase):
    """Each case edits a copy of the fake tree the way a kernel or machine differs."""

    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.root = os.path.join(tmp.name, "sys")
        shutil.copytree(SYSFS, self.root)

    def edit(self, pattern, text=None):
        """Every file named pattern (a path under each cpuN/) rewritten, or removed (text None)."""
        for cpu in range(8):
            path = os.path.join(self.root, CPUS, f"cpu{cpu}", pattern)
            if text is None:
                os.remove(path)
            else:
                with open(path, "w") as f:
                    f.write(text(cpu) + "\n")

    def test_the_same_machine_from_hwloc_and_from_sysfs(self):
        hw, fs = T.from_hwloc_xml(fixture("hwloc-2socket-smt.xml")), T.from_sysfs(self.root)
        self.assertEqual((hw.source, fs.source), ("hwloc", "sysfs"))
        # cpu8 is offline: the kernel's online list, not the folders, says which CPUs there are.
        self.assertEqual(facts(fs), (2, 4, 2, 8, 2))
        self.assertEqual(hw.pairs()[1:], fs.pairs()[1:])
        self.assertEqual({**hw.context(), "topology_source": "sysfs"}, fs.context())
        for topo in (hw, fs):
            with self.subTest(topo.source):
                self.assertEqual(T.physical_cores(topo, affinity=range(8)), 4)
                # Linux numbers the second thread of a core 4 further on: 0 and 4 are one core, 0 and 1 two.
                self.assertEqual(T.physical_cores(topo, affinity={0, 4}), 1)
                self.assertEqual(T.physical_cores(topo, affinity={0, 1, 4, 5}), 2)
                # core_id starts again in each socket: cpu0 and cpu2 are two cores.
                self.assertEqual(T.physical_cores(topo, affinity={0, 2}), 2)
                self.assertEqual(T.default_threads(T.physical_cores(topo, affinity=range(8))), [1, 2, 4])

    def test_what_older_or_sparser_kernels_give(self):
        cases = (  # (case, files removed, cores, threads per core, note)
            ("no core_cpus_list (before 5.7)", ["topology/core_cpus_list"], 4, 2, None),
            ("only package and core ids", ["topology/core_cpus_list", "topology/thread_siblings_list"], 4, 2, None),
            ("no topology at all", ["topology/core_cpus_list", "topology/thread_siblings_list",
                                    "topology/core_id", "topology/physical_package_id"], 8, 1,
             "sysfs names no core for 8 logical CPU(s): each counted as a core"),
        )
        for case, removed, cores, tpc, note in cases:
            with self.subTest(case):
                self.setUp()
                for name in removed:
                    self.edit(name)
                topo = T.from_sysfs(self.root)
                self.assertEqual((topo.cores, topo.threads_per_core, topo.pus), (cores, tpc, 8))
                self.assertEqual(dict(topo.pairs()).get("topology_note"), note)
                self.assertEqual(T.physical_cores(topo, affinity={0, 4}), 1 if cores == 4 else 2)

    def test_damaged_trees_are_refused(self):
        cases = (
            ("a sibling list without the CPU", "topology/core_cpus_list", lambda c: "6-7", "not itself"),
            ("a garbled cache size", "cache/index2/size", lambda c: "1024Q", "size is '1024Q'"),
            ("a huge cache", "cache/index3/size", lambda c: "9" * 14 + "G", "outside"),
            ("a garbled CPU list", "topology/core_cpus_list", lambda c: f"{c},x", "'x', not a whole number"),
        )
        for case, name, text, why in cases:
            with self.subTest(case):
                self.setUp()
                self.edit(name, text)
                with self.assertRaisesRegex(ValueError, why):
                    T.from_sysfs(self.root)
        with self.assertRaisesRegex(ValueError, "no such file or folder"):
            T.from_sysfs(os.path.join(self.root, "absent"))
        self.assertEqual(T.cpu_list("0-3,8,10-11"), [0, 1, 2, 3, 8, 10, 11])
        with self.assertRaisesRegex(ValueError, "outside"):
            T.cpu_list("3-1")


class Hwloc(unittest.TestCase):
    def test_this_machine(self):
        topo = T.from_hwloc_xml(fixture("hwloc-2core.xml"))
        self.assertEqual(facts(topo), (1, 2, 1, 2, 1))
        self.assertEqual(dict(topo.pairs())["cache_L1d"], "32 KiB x2, per core")
        self.assertEqual(dict(topo.pairs())["cache_L3"], "32 MiB x1, per socket")
        self.assertIn({"type": "Unified", "level": 3, "size": 33554432, "num_sharing": 2}, topo.context()["caches"])

    def test_damaged_or_implausible_xml_is_refused(self):
        xml = fixture("hwloc-2socket-smt.xml")
        cases = {
            "not XML": "<topology",
            "no PU": '<topology version="2.0"><object type="Machine"/></topology>',
            "entities": xml.replace('<!DOCTYPE topology SYSTEM "hwloc2.dtd">',
                                    '<!DOCTYPE topology [<!ENTITY a "aaaa">]>'),
            "PU twice": xml.replace('type="PU" os_index="4"', 'type="PU" os_index="0"'),
            "huge cache": xml.replace('cache_size="33554432"', 'cache_size="9' + "9" * 15 + '"'),
        }
        for what, text in cases.items():
            with self.subTest(what), self.assertRaises(ValueError):
                T.from_hwloc_xml(text)

    def test_lstopo_is_run_with_a_limit_and_its_failures_said(self):
        with tempfile.TemporaryDirectory() as d:
            tool = os.path.join(d, "lstopo-no-graphics")
            path = d + os.pathsep + os.environ["PATH"]
            for script, why in (("exec sleep 30", "gave no answer in 0.2 s and was stopped"),
                                ("echo 'lstopo: no topology' >&2; exit 3",
                                 "failed with status 3: lstopo: no topology")):
                with self.subTest(why):
                    with open(tool, "w") as f:
                        f.write("#!/bin/sh\n" + script + "\n")
                    os.chmod(tool, 0o755)
                    with mock.patch.dict(os.environ, {"PATH": path}), mock.patch.object(T, "TOOL_TIMEOUT_S", 0.2), \
                            self.assertRaisesRegex(ValueError, why):
                        T._lstopo()


class Discover(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name
        self.cpuinfo = os.path.join(self.tmp, "cpuinfo")
        with open(self.cpuinfo, "w") as f:
            f.write("processor\t: 0\nmodel name\t: Example Xeon 8000\ncpu MHz\t\t: 2107.012\n\n"
                    "processor\t: 1\nmodel name\t: Example Xeon 8000\ncpu MHz\t\t: 1995.5\n")

    def test_hwloc_first_else_sysfs_and_the_notes_say_why(self):
        xml = fixture("hwloc-2socket-smt.xml")

        def raises(e):
            def hwloc():
                raise e
            return hwloc
        cases = (  # (case, hwloc, source, note)
            ("hwloc answers", lambda: xml, "hwloc", None),
            ("hwloc missing", raises(ValueError("lstopo-no-graphics is not installed")), "sysfs",
             "hwloc: lstopo-no-graphics is not installed"),
            ("hwloc garbled", lambda: xml[:300], "sysfs", "hwloc: the hwloc XML does not parse"),
            ("hwloc surprises", raises(RuntimeError("no such thing")), "sysfs",
             "hwloc: unexpected output (RuntimeError: no such thing)"),
        )
        for case, hwloc, source, note in cases:
            with self.subTest(case):
                topo, kept = T.find(SYSFS, self.cpuinfo, hwloc)
                self.assertEqual((topo.source, facts(topo)), (source, (2, 4, 2, 8, 2)))
                self.assertEqual(kept, xml if source == "hwloc" else None)
                self.assertEqual(dict(topo.pairs()).get("topology_note", "")[:len(note or "")], note or "")
                # The name and clock come from /proc/cpuinfo whichever source answered.
                self.assertEqual((topo.model, topo.context()["mhz_per_cpu"]), ("Example Xeon 8000", 2107))
        topo, kept = T.find(os.path.join(self.tmp, "absent"), os.path.join(self.tmp, "absent"),
                            raises(ValueError("not installed")))
        self.assertEqual((topo.source, topo.pus, topo.cores, topo.model, topo.mhz, kept),
                         ("os.cpu_count", os.cpu_count(), os.cpu_count(), "", None, None))
        self.assertIn("each counted as a core", dict(topo.pairs())["topology_note"])

    def test_hwloc_asked_once_per_process_and_never_for_help(self):
        calls = []

        def lstopo():
            calls.append(1)
            return fixture("hwloc-2socket-smt.xml")
        from ompsuite.cli import scaling
        with mock.patch.object(T, "_lstopo", lstopo), mock.patch.object(T, "_found", None):
            with contextlib.redirect_stdout(io.StringIO()), self.assertRaises(SystemExit):
                scaling.parse(["--help"])
            self.assertEqual(calls, [])
            saved = os.path.join(self.tmp, "topology.xml")
            first = T.discover()
            self.assertIs(T.discover(save_xml_to=saved), first)
            T.physical_cores()
            self.assertEqual(len(calls), 1)
            with open(saved) as f:
                self.assertEqual(f.read(), fixture("hwloc-2socket-smt.xml"))
            with self.assertRaisesRegex(SuiteError, "cannot write .*missing.*: no such file or folder"):
                T.discover(save_xml_to=os.path.join(self.tmp, "missing", "t.xml"))


if __name__ == "__main__":
    unittest.main()
