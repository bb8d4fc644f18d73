"""Machine facts: the memory, what the kernel does with free memory (a fake sysfs tree), and the
compiler and calibrate program, taken only from the repository's own build trees."""
import hashlib
import os
import subprocess
import tempfile
import unittest
from unittest import mock

from ompsuite.measure import build
from ompsuite.platform import machine as M


class Files(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name

    def write(self, rel, text="", mode=0o644):
        path = os.path.join(self.dir, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path


class Memory(Files):
    def test_meminfo_in_bytes(self):
        path = self.write("meminfo", "MemTotal:       24683728 kB\nMemAvailable:   24258704 kB\n"
                                     "Active(anon):      1024 kB\nHugePages_Total:       0\n")
        self.assertEqual(M.meminfo(path), {"MemTotal": 24683728 * 1024, "MemAvailable": 24258704 * 1024,
                                           "Active(anon)": 1024 * 1024, "HugePages_Total": 0})
        self.assertEqual(M.meminfo(os.path.join(self.dir, "absent")), {})


class MemoryFacts(Files):
    def test_fake_sys_tree(self):
        self.write("kernel/mm/transparent_hugepage/enabled", "always [madvise] never\n")
        self.write("kernel/mm/transparent_hugepage/defrag", "always defer defer+madvise [madvise] never\n")
        # Bits 0..7: deflate on OOM (2) and free page reporting (5) on, free page hinting (3) off.
        self.write("bus/virtio/drivers/virtio_balloon/virtio3/features", "0110010100000000" + "0" * 48 + "\n")
        self.write("module/page_reporting/parameters/page_reporting_order", "9\n")
        kd = "kernel/mm/damon/admin/kdamonds/0"
        self.write(kd + "/state", "on\n")
        self.write(kd + "/contexts/0/operations", "paddr\n")
        self.write(kd + "/contexts/0/schemes/0/action", "pageout\n")
        facts = M.memory_facts(self.dir)
        self.assertEqual(facts, {
            "thp_enabled": "madvise", "thp_defrag": "madvise", "virtio_balloon": "yes",
            "balloon_deflate_on_oom": "yes", "balloon_free_page_hint": "no", "balloon_free_page_reporting": "yes",
            "page_reporting_order": "9", "damon": "on: paddr pageout", "memory_notes": ""})

        self.write(kd + "/state", "off\n")
        os.remove(os.path.join(self.dir, "bus/virtio/drivers/virtio_balloon/virtio3/features"))
        facts = M.memory_facts(self.dir)
        self.assertEqual((facts["damon"], facts["virtio_balloon"], facts["balloon_free_page_reporting"]),
                         ("off", "yes", ""))
        self.assertIn("balloon feature bits not readable", facts["memory_notes"])

    def test_nothing_visible_claims_nothing(self):
        facts = M.memory_facts(os.path.join(self.dir, "nowhere"))
        self.assertEqual({v for k, v in facts.items() if k != "memory_notes"}, {""})
        for what in ("enabled", "defrag", "balloon", "page reporting", "DAMON"):
            self.assertIn(what, facts["memory_notes"])
        # A visible tree without the balloon or DAMON is a real "no".
        self.write("bus/pci/x", "")
        self.write("kernel/mm/transparent_hugepage/enabled", "[never]\n")
        facts = M.memory_facts(self.dir)
        self.assertEqual((facts["virtio_balloon"], facts["balloon_free_page_reporting"], facts["damon"]),
                         ("no", "", "no"))


class OwnBuildTrees(Files):
    """--bin names a folder of programs; a compiler or calibrate beside it is not believed."""

    def tree(self, rel, compiler_script):
        """A build tree at rel whose CMake cache names a compiler that writes a marker when run."""
        compiler = self.write(f"{rel}/fake-c++", "#!/bin/sh\n" + compiler_script, 0o755)
        self.write(f"{rel}/CMakeCache.txt",
                   f"CMAKE_BUILD_TYPE:STRING=Release\nCMAKE_CXX_COMPILER:FILEPATH={compiler}\n")
        self.write(f"{rel}/bench/calibrate", "#!/bin/sh\n", 0o755)
        os.makedirs(os.path.join(self.dir, rel, "bin"))
        return os.path.join(self.dir, rel, "bin")

    def test_the_compiler_is_asked_only_in_the_repositorys_own_tree(self):
        marker = os.path.join(self.dir, "ran")
        script = f"touch {marker}; echo 'fake c++ (Example) 1.2.3'; echo 'Copyright'\n"
        own, elsewhere = self.tree("repo/build/release", script), self.tree("elsewhere/build", script)
        root = os.path.join(self.dir, "repo")
        self.assertEqual(M.compiler(elsewhere, root), "unknown (programs from outside the suite's build trees)")
        self.assertFalse(os.path.exists(marker), "a compiler named beside --bin was run")
        self.assertEqual(M.compiler(own + "/", root), "fake c++ (Example) 1.2.3")
        self.assertTrue(os.path.exists(marker))
        # A folder of links to the programs is not the tree they came from.
        links = os.path.join(self.dir, "links", "bin")
        os.makedirs(links)
        self.assertIsNone(M.own_build_tree(links, root))

    def test_provenance_names_the_commit_its_changes_and_each_variants_digest(self):
        root = os.path.join(self.dir, "repo")
        own = self.tree("repo/build/release", "echo c++\n")
        self.write("repo/build/release/CMakeCache.txt", f"CMAKE_PROJECT_VERSION:STATIC=1.2.3\nCMAKE_HOME_DIRECTORY:INTERNAL={root}\n")
        self.write("repo/CMakeLists.txt", "project(ompsuite VERSION 4.5.6)\n")
        self.write("repo/.gitignore", "build/\n")
        source = self.write("repo/mine.cpp", "int main() {}\n")
        git = ["git", "-C", root, "-c", "user.name=t", "-c", "user.email=t@t"]
        for args in (["init", "-q"], ["add", "-A"], ["commit", "-qm", "first"]):
            subprocess.run(git + args, check=True, capture_output=True)
        head = subprocess.run(git + ["rev-parse", "HEAD"], capture_output=True, text=True).stdout.strip()
        os.utime(source, (1e9, 1e9))  # unchanged, but not as the index saw it: a status would refresh it
        index = os.path.join(root, ".git", "index")
        before = (os.stat(index).st_mtime_ns, open(index, "rb").read())
        facts = dict(M.provenance(own, [("mine", source)], root))
        self.assertEqual((os.stat(index).st_mtime_ns, open(index, "rb").read()), before, "the index was written")
        self.assertEqual(facts, {"suite_version": "1.2.3", "suite_commit": head, "tools_version": f"4.5.6 {head}",
                                 "variant_digests": "mine=" + hashlib.sha256(b"int main() {}\n").hexdigest()})
        self.write("repo/mine.cpp", "int main() { return 1; }\n")
        self.assertEqual(dict(M.provenance(own, [], root))["suite_commit"], head + " with changes")
        self.assertEqual(dict(M.provenance(self.tree("elsewhere/build", ""), [], root))["suite_commit"],
                         "unknown (programs from outside the suite's build trees)")

    def test_a_compiler_that_hangs_is_stopped_and_named(self):
        own = self.tree("repo/build/release", "exec sleep 30\n")
        with mock.patch.object(M, "COMPILER_TIMEOUT_S", 0.2), mock.patch.object(M, "progress") as said:
            self.assertEqual(M.compiler(own, os.path.join(self.dir, "repo")),
                             os.path.join(self.dir, "repo/build/release/fake-c++"))
        self.assertRegex(said.call_args[0][0], r"fake-c\+\+ --version\) ran past its 0.2-second limit and was stopped")

    def test_calibrate_from_the_own_tree_or_the_named_folder_only(self):
        own = self.tree("repo/build/release", "")
        elsewhere = self.tree("elsewhere/build", "")
        root = os.path.join(self.dir, "repo")
        with mock.patch.object(build, "own_build_tree", lambda b: M.own_build_tree(b, root)):
            self.assertEqual(build.calibrate_path(own), os.path.join(self.dir, "repo/build/release/bench/calibrate"))
            self.assertIsNone(build.calibrate_path(elsewhere), "its ../bench/calibrate was taken")
            self.write("elsewhere/build/bin/calibrate", "#!/bin/sh\n", 0o755)
            self.assertEqual(build.calibrate_path(elsewhere), os.path.join(elsewhere, "calibrate"))
            self.write("elsewhere/build/bin/calibrate", "#!/bin/sh\n", 0o644)
            self.assertIsNone(build.calibrate_path(elsewhere), "a calibrate that cannot run was taken")


class PiLevel(Files):
    def test_the_loaders_choice_and_fma_bit_name_the_level(self):
        # A fake loader: the library it lists and the CPUID word it reports come from the environment.
        loader = self.write("ld.so", '#!/bin/sh\nif [ "$1" = --list ]; then echo "\tlibompsuite-quadplain.so => '
                                     '/p/bin/../lib/ompsuite/${LIB}libompsuite-quadplain.so (0x1)"; '
                                     'else echo "x86.cpu_features.features[0x0].active[0x2]=$WORD"; '
                                     'echo "x86.cpu_features.features[0x2].active[0x2]=$AMD"; fi\n', 0o755)
        bindir = os.path.dirname(self.write("bin/quadplain"))
        cases = [("glibc-hwcaps/x86-64-v4/", "0x7ed83203", "0x121", "portable build, x86-64-v4 code, hardware fma"),
                 ("", "0x7ed83203", "0x121", M.LIBRARY_FMA), ("", "0x7ed82203", "0x121", M.SOFTWARE_FMA),
                 ("", "0x7ed82203", "0x10121", M.LIBRARY_FMA)]  # FMA4 alone: the library uses it
        for lib, word, amd, said in cases:
            with self.subTest(lib=lib, word=word, amd=amd), \
                    mock.patch.dict(os.environ, {"LIB": lib, "WORD": word, "AMD": amd}):
                self.assertEqual(M.pi_level(bindir, loader), said)
        with mock.patch.dict(os.environ, {"LIB": "../elsewhere/"}):  # a tuned tree links no per-level code
            self.assertEqual(M.pi_level(bindir, loader), "")


if __name__ == "__main__":
    unittest.main()
