"""Topology: each parser on stored output (this machine's hwloc and lscpu, a hand-made two-socket
SMT machine, a /proc/cpuinfo of the same shape), and discover()'s fall from source to source."""
import json
import os
import subprocess
import tempfile
import unittest

from ompsuite.platform import topology as T
from ompsuite.errors import SuiteError

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures")


def fixture(name):
    with open(os.path.join(FIXTURES, name)) as f:
        return f.read()


def done(args, stdout="", status=0, stderr=""):
    return subprocess.CompletedProcess(args, status, stdout, stderr)


class Parsers(unittest.TestCase):
    def test_this_machine_from_hwloc_and_lscpu_agree(self):
        hw, ls = T.from_hwloc_xml(fixture("hwloc-2core.xml")), T.from_lscpu_json(fixture("lscpu-2core.json"))
        self.assertEqual((hw.source, ls.source), ("hwloc", "lscpu"))
        for topo in (hw, ls):
            with self.subTest(source=topo.source):
                self.assertEqual((topo.sockets, topo.cores, topo.threads_per_core, topo.pus, topo.numa_nodes),
                                 (1, 2, 1, 2, 1))
                self.assertEqual(topo.model, "AMD EPYC")
                self.assertEqual(dict(topo.pairs())["cache_L1d"], "32 KiB x2, per core")
                self.assertEqual(dict(topo.pairs())["cache_L3"], "32 MiB x1, per socket")
        # lscpu gives totals over instances; per instance they are what hwloc names.
        self.assertEqual(hw.caches, ls.caches)

    def test_two_sockets_with_smt(self):
        topo = T.from_hwloc_xml(fixture("hwloc-2socket-smt.xml"))
        self.assertEqual((topo.sockets, topo.cores, topo.threads_per_core, topo.pus, topo.numa_nodes),
                         (2, 4, 2, 8, 2))
        self.assertEqual(dict(topo.pairs()), {
            "topology_source": "hwloc", "sockets": "2", "cores_physical": "4", "threads_per_core": "2",
            "logical_cpus": "8", "numa_nodes": "2", "cache_L1d": "48 KiB x4, per core",
            "cache_L1i": "32 KiB x4, per core", "cache_L2": "1 MiB x4, per core", "cache_L3": "32 MiB x2, per socket"})
        self.assertIn({"type": "Unified", "level": 3, "size": 33554432, "num_sharing": 4}, topo.context()["caches"])
        self.assertEqual(T.physical_cores(topo, affinity=range(8)), topo.pus // 2)
        # Linux numbers the second thread of a core 4 further on: 0 and 4 are one core, 0 and 1 two.
        self.assertEqual(T.physical_cores(topo, affinity={0, 4}), 1)
        self.assertEqual(T.physical_cores(topo, affinity={0, 1, 4, 5}), 2)
        self.assertEqual(T.default_threads(T.physical_cores(topo, affinity=range(8))), [1, 2, 4])

    def test_cpuinfo_counts_cores_per_socket(self):
        topo = T.from_cpuinfo(fixture("cpuinfo-2socket-smt.txt"))
        # core id restarts in every socket: a core is the pair (physical id, core id).
        self.assertEqual((topo.source, topo.sockets, topo.cores, topo.threads_per_core, topo.pus),
                         ("/proc/cpuinfo", 2, 4, 2, 8))
        self.assertEqual(T.physical_cores(topo, affinity={0, 4}), 1)
        self.assertIsNone(topo.numa_nodes)
        self.assertEqual(dict(topo.pairs())["cache_L2"], "unknown")
        self.assertEqual(topo.context()["mhz_per_cpu"], 2107)
        # Without core ids (some architectures) every CPU is a core, and the record says so.
        bare = T.from_cpuinfo("processor\t: 0\nBogoMIPS\t: 50.00\n\nprocessor\t: 1\nBogoMIPS\t: 50.00\n")
        self.assertEqual((bare.cores, bare.threads_per_core, bare.sockets), (2, 1, None))
        self.assertIn("no core ids", dict(bare.pairs())["topology_note"])

    def test_lscpu_nested_and_old_formats(self):
        # util-linux after 2.38 nests fields under children (caches as "L1d:", not "L1d cache:");
        # older ones give one instance's size and no count.
        nested = {"lscpu": [
            {"field": "CPU(s):", "data": "8"}, {"field": "On-line CPU(s) list:", "data": "0-7"},
            {"field": "Vendor ID:", "data": "GenuineIntel", "children": [
                {"field": "Model name:", "data": "Example Xeon 8000", "children": [
                    {"field": "Thread(s) per core:", "data": "2"}, {"field": "Core(s) per socket:", "data": "2"},
                    {"field": "Socket(s):", "data": "2"}, {"field": "CPU max MHz:", "data": "3900.0000"}]}]},
            {"field": "Caches (sum of all):", "data": None, "children": [
                {"field": "L1d:", "data": "192 KiB (4 instances)"}, {"field": "L3:", "data": "64 MiB (2 instances)"}]},
            {"field": "NUMA:", "data": None, "children": [{"field": "NUMA node(s):", "data": "2"}]}]}
        topo = T.from_lscpu_json(json.dumps(nested))
        self.assertEqual((topo.sockets, topo.cores, topo.threads_per_core, topo.pus, topo.numa_nodes),
                         (2, 4, 2, 8, 2))
        self.assertEqual(dict(topo.pairs())["cache_L1d"], "48 KiB x4, per core")
        self.assertEqual(dict(topo.pairs())["cache_L3"], "32 MiB x2, per socket")
        self.assertEqual(topo.mhz, 3900.0)
        old = T.from_lscpu_json(json.dumps({"lscpu": [
            {"field": "CPU(s):", "data": "4"}, {"field": "Thread(s) per core:", "data": "1"},
            {"field": "Core(s) per socket:", "data": "4"}, {"field": "Socket(s):", "data": "1"},
            {"field": "L2 cache:", "data": "256K"}]}))
        self.assertEqual(old.cache_text("L2"), "256 KiB")

    def test_damaged_or_implausible_input_is_refused(self):
        xml = fixture("hwloc-2socket-smt.xml")
        cases = {
            "not XML": (T.from_hwloc_xml, "<topology"),
            "no PU": (T.from_hwloc_xml, '<topology version="2.0"><object type="Machine"/></topology>'),
            "entities": (T.from_hwloc_xml, xml.replace('<!DOCTYPE topology SYSTEM "hwloc2.dtd">',
                                                       '<!DOCTYPE topology [<!ENTITY a "aaaa">]>')),
            "PU twice": (T.from_hwloc_xml, xml.replace('type="PU" os_index="4"', 'type="PU" os_index="0"')),
            "huge cache": (T.from_hwloc_xml, xml.replace('cache_size="33554432"', 'cache_size="9' + "9" * 15 + '"')),
            "not JSON": (T.from_lscpu_json, "{"),
            "no lscpu list": (T.from_lscpu_json, '{"cpus": []}'),
            "negative count": (T.from_lscpu_json, '{"lscpu": [{"field": "CPU(s):", "data": "-4"}]}'),
            "more CPUs than threads": (T.from_lscpu_json, json.dumps({"lscpu": [
                {"field": "CPU(s):", "data": "64"}, {"field": "Thread(s) per core:", "data": "1"},
                {"field": "Core(s) per socket:", "data": "2"}, {"field": "Socket(s):", "data": "1"}]})),
            "no processor": (T.from_cpuinfo, "model name : nothing\n"),
        }
        for what, (parse, text) in cases.items():
            with self.subTest(what):
                with self.assertRaises(ValueError):
                    parse(text)


class Discover(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.cpuinfo = os.path.join(self.tmp.name, "cpuinfo")
        with open(self.cpuinfo, "w") as f:
            f.write(fixture("cpuinfo-2socket-smt.txt"))
        self.calls = []

    def tools(self, **outputs):
        """which() and run() for tools that print outputs[name] (a CompletedProcess or an exception)."""
        def which(name):
            return f"/usr/bin/{name}" if name in outputs else None

        def run(args, **kw):
            self.calls.append(os.path.basename(args[0]))
            out = outputs[os.path.basename(args[0])]
            if isinstance(out, BaseException):
                raise out
            return out
        return which, run

    def test_hwloc_first_and_its_xml_kept(self):
        xml = fixture("hwloc-2socket-smt.xml")
        which, run = self.tools(**{"lstopo-no-graphics": done([], xml), "lscpu": done([], "{}")})
        saved = os.path.join(self.tmp.name, "topology.xml")
        topo = T.discover(save_xml_to=saved, which=which, run=run, cpuinfo=self.cpuinfo)
        self.assertEqual((topo.source, topo.cores, topo.notes), ("hwloc", 4, []))
        self.assertEqual(self.calls, ["lstopo-no-graphics"])
        with open(saved) as f:
            self.assertEqual(f.read(), xml)
        self.assertEqual(sorted(os.listdir(self.tmp.name)), ["cpuinfo", "topology.xml"])
        # hwloc gives no clock; /proc/cpuinfo does.
        self.assertEqual(topo.mhz, 2107.0)
        with self.assertRaisesRegex(SuiteError, "cannot write .*missing"):
            T.discover(save_xml_to=os.path.join(self.tmp.name, "missing", "t.xml"), which=which, run=run,
                       cpuinfo=self.cpuinfo)

    def test_falls_through_to_the_next_source(self):
        smt = fixture("hwloc-2socket-smt.xml")
        lscpu = done([], fixture("lscpu-2core.json"))
        cases = [
            ("hwloc hidden", {"lscpu": lscpu}, "lscpu", ["lstopo-no-graphics is not installed"]),
            ("hwloc fails", {"lstopo-no-graphics": done([], "", 1, "lstopo: no such file\n"), "lscpu": lscpu},
             "lscpu", ["failed with status 1: lstopo: no such file"]),
            ("hwloc hangs", {"lstopo-no-graphics": subprocess.TimeoutExpired("lstopo", 60), "lscpu": lscpu},
             "lscpu", ["gave no answer"]),
            ("hwloc garbled", {"lstopo-no-graphics": done([], smt[:200]), "lscpu": lscpu}, "lscpu", ["parse"]),
            ("hwloc hidden, lscpu fails", {"lscpu": done([], "", 64, "lscpu: bad usage")}, "/proc/cpuinfo",
             ["not installed", "lscpu failed with status 64"]),
            ("hwloc surprises", {"lstopo-no-graphics": RuntimeError("no such thing"), "lscpu": lscpu}, "lscpu",
             ["unexpected output (RuntimeError: no such thing)"]),
            ("both unrunnable", {"lstopo-no-graphics": PermissionError(13, "Permission denied"),
                                 "lscpu": OSError(8, "Exec format error")}, "/proc/cpuinfo",
             ["Permission denied", "Exec format error"]),
        ]
        for what, outputs, source, notes in cases:
            with self.subTest(what):
                which, run = self.tools(**outputs)
                saved = os.path.join(self.tmp.name, "t.xml")
                topo = T.discover(save_xml_to=saved, which=which, run=run, cpuinfo=self.cpuinfo)
                self.assertEqual(topo.source, source)
                self.assertFalse(os.path.exists(saved), "no hwloc, no XML")
                note = dict(topo.pairs())["topology_note"]
                for n in notes:
                    self.assertIn(n, note)
                self.assertEqual(topo.cores, 2 if source == "lscpu" else 4)

    def test_without_any_source_the_cpu_count_remains(self):
        which, run = self.tools()
        topo = T.discover(which=which, run=run, cpuinfo=os.path.join(self.tmp.name, "absent"))
        self.assertEqual((topo.source, topo.pus, topo.cores), ("/proc/cpuinfo", os.cpu_count(), os.cpu_count()))
        self.assertIn("os.cpu_count", dict(topo.pairs())["topology_note"])


if __name__ == "__main__":
    unittest.main()
