"""Sources as variants without a real compiler: ThreadSanitizer's report read into race lines, a
class folder turned into variants, a build redone only when its source or flags change (a
stand-in compiler counts its calls), and the note each variant row gets."""
import contextlib
import io
import json
import os
import stat
import unittest
from unittest import mock

from test_machine import Files
from ompsuite import catalogue as C
from ompsuite.analyse import derive
from ompsuite.errors import SuiteError
from ompsuite.measure import races, sources
from ompsuite.study import Series, Summary

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures")

# Stands in for g++: counts its calls, lists inc.h of the quoted include folder among what it read
# when the source names it, warns on "unused", fails on "misspelt" as GCC does, sleeps on "slow",
# runs out of memory on "hungry", and writes the program it was asked for.
FAKE_CXX = r"""#!/bin/sh
echo x >> "$(dirname "$0")/calls"
src= out= dep= inc=
while [ $# -gt 0 ]; do
  case "$1" in -o) out=$2; shift;; -MF) dep=$2; shift;; -iquote) inc=$2; shift;; *.c|*.cpp) src=$1;; esac
  shift
done
case "$src" in -*) echo "$src taken for an option" >&2; exit 1;; esac
grep -q inc.h "$src" && echo "$out: $src $inc/inc.h" > "$dep" || echo "$out: $src" > "$dep"
grep -q slow "$src" && sleep 5
grep -q hungry "$src" && { echo "cc1plus: out of memory allocating 65536 bytes" >&2; exit 1; }
grep -q unused "$src" && echo "$src:3:7: warning: unused variable 'k' [-Wunused-variable]" >&2
if grep -q misspelt "$src"; then
  echo "$src: In function 'int main()':" >&2
  echo "$src:5:3: error: 'omp_get_thread_numb' was not declared in this scope" >&2
  exit 1
fi
printf '#!/bin/sh\n' > "$out" && chmod +x "$out"
"""


class Races(unittest.TestCase):
    def test_report_gives_one_line_per_distinct_race(self):
        with open(os.path.join(FIXTURES, "tsan-race.txt")) as f:
            report = f.read()  # a real report (the folder renamed to one with a space), then made-up ones
        self.assertEqual(races.parse_report(report, "pi_racy.cpp"), [
            "data race: pi_racy.cpp:25 (write) and pi_racy.cpp:25 (write)",  # twice in the report: once here
            # a frame in a header, then the source's own: the source's line is the one named
            "data race: pi_racy.cpp:25 (read) and pi_racy.cpp:31 (write)",
            "data race: an unknown place (write) and an unknown place (read)"])  # no line anywhere
        self.assertEqual(races.parse_report("ThreadSanitizer:DEADLYSIGNAL\nSUMMARY: ThreadSanitizer: SEGV x.c:21:22"),
                         [])

    def test_skip_names_the_packages(self):
        race, detail = races.check("/x/pi.c", C.PI, "/tmp", "pi", None, ["libomp-14-dev", "libclang-rt-14-dev"])
        self.assertIs(race, C.Race.SKIPPED)
        self.assertIn("apt-get install libomp-14-dev libclang-rt-14-dev", detail[0])


class Folder(Files):
    def test_sources_and_programs_named_after_their_files(self):
        for name in ("b.c", "a.cpp", "c.cc", "d.cxx", ".hidden.cpp", "notes.txt"):
            self.write(name)
        self.write("e_prog", mode=0o755)
        outside = self.write("sub2/leak.c")
        for link, target in (("leak.c", "/etc/shadow"), ("run_touch", "/usr/bin/touch"), ("leak2.c", outside),
                             ("z.cpp", "a.cpp")):  # only the last stays in the folder
            os.symlink(target, os.path.join(self.dir, link))
        os.mkdir(os.path.join(self.dir, "sub"))
        err = io.StringIO()
        with contextlib.redirect_stderr(err):
            found = sources.folder_programs(self.dir)
        self.assertEqual([(v.name, os.path.basename(v.path), v.kind) for v in found],
                         [("a", "a.cpp", "pi"), ("b", "b.c", "pi"), ("c", "c.cc", "pi"), ("d", "d.cxx", "pi"),
                          ("e_prog", "e_prog", None), ("z", "z.cpp", "pi")])  # a program's kind: from what it prints
        self.assertEqual(err.getvalue().count("--programs"), 6, err.getvalue())  # notes.txt, sub, sub2, 3 links: one each
        self.assertEqual(err.getvalue().count("is a link out of the folder: left out"), 3, err.getvalue())
        self.assertIn("notes.txt is neither a source", err.getvalue())
        for clash, why in (("a.c", "a.c and a.cpp would both be named 'a'"), ("2nd.cpp", "would be named '2nd'")):
            with self.subTest(clash):
                path = self.write(clash)
                with self.assertRaises(SuiteError) as e, contextlib.redirect_stderr(io.StringIO()):
                    sources.folder_programs(self.dir)
                self.assertEqual(e.exception.status, 2)
                self.assertIn(why, str(e.exception))
                self.assertNotIn("\n", str(e.exception))
                os.remove(path)


class Building(Files):
    def setUp(self):
        super().setUp()
        self.tree = os.path.join(self.dir, "tree")
        os.mkdir(self.tree)
        cxx = self.write("tree/c++", FAKE_CXX, 0o755)
        self.recipe = {"compiler": [cxx, "GNU 12.2.0"], "common": ["-O3", "-ffp-contract=off", "-fopenmp"],
                       "cxx": ["-std=c++17"], "c": ["-x", "c", "-std=c11"], "link": ["-fopenmp", "-lm"]}
        self.write_recipe()

    def write_recipe(self):
        with open(os.path.join(self.tree, sources.RECIPE_FILE), "w") as f:
            json.dump(self.recipe, f)

    def calls(self):
        with open(os.path.join(self.tree, "calls")) as f:
            return len(f.read().split())

    def build(self, source, checks=None, name="pi1"):
        with contextlib.redirect_stderr(io.StringIO()), mock.patch.object(sources.sandbox, "wrap", lambda a, *_: a):
            return sources.build_variant(name, source, self.tree, sources.read_recipe(self.tree), checks)

    def test_built_once_until_the_source_or_flags_change(self):
        src = self.write("pi1.cpp", "int main() { int unused; }")
        checked = []

        def race_check(copy, workdir, include):
            with open(copy) as f:  # the private copy, the one that was built
                checked.append(f.read())
            self.assertEqual(include, self.dir)
            return C.Race.FREE, ()
        binary, made = self.build(src, race_check)
        self.assertEqual((os.path.dirname(os.path.dirname(binary)), os.path.basename(binary)),
                         (os.path.join(self.tree, "variants"), "pi1"))  # in a folder of its build's own
        self.assertTrue(os.access(binary, os.X_OK))
        self.assertEqual((made.source, made.compiler, made.error, made.race), (src, f"GNU 12.2.0 ({self.recipe['compiler'][0]})",
                                                                               "", C.Race.FREE))
        self.assertEqual(made.flags, "-O3 -ffp-contract=off -fopenmp -std=c++17 -fopenmp -lm")
        self.assertIn("warning: unused variable", made.warnings)
        self.assertEqual(self.build(src, race_check), (binary, made))  # unchanged: neither built nor checked again
        self.assertEqual((self.calls(), checked), (1, ["int main() { int unused; }"]))
        self.recipe["common"].append("-g")
        self.write_recipe()
        self.build(src)
        self.assertEqual(self.calls(), 2)
        self.write("inc.h", "#define N 1")
        self.write("pi1.cpp", '#include "inc.h"')
        for calls, header in ((3, None), (3, None), (4, "#define N 2")):  # a header it read changed: built again
            if header:
                self.write("inc.h", header)
            self.build(src)
            self.assertEqual(self.calls(), calls)
        self.write("pi1.cpp", "int main() { misspelt(); }")
        binary, failed = self.build(src, race_check)
        self.assertEqual(failed.error, "pi1.cpp:5:3: error: 'omp_get_thread_numb' was not declared in this scope")
        self.assertEqual(failed.failure, f"does not compile: {failed.error}")
        self.assertFalse(os.path.exists(binary))  # the program built from the earlier source must not run for it
        self.assertEqual(self.build(src, race_check), (binary, failed))  # nor is a failed build tried again
        self.assertEqual((self.calls(), len(checked)), (5, 1))

    def test_limits_and_odd_files_fail_alone(self):
        with mock.patch.object(sources, "BUILD_TIMEOUT_S", 0.5):
            for calls, (src, why) in enumerate((("slow", "ran past its 0.5-second limit"),) * 2 +
                                               (("hungry", "needed more than its 2 GiB of memory"),) * 2, 1):
                # Stopped at a limit: not kept as "does not compile", tried again.
                self.assertIn(why, self.build(self.write(f"{src}.cpp", src), name=src)[1].error)
                self.assertEqual(self.calls(), calls)
        self.assertEqual(self.build(self.write("-o.cpp", "int main() {}"), name="o")[1].error, "")
        for path, why in ((os.path.join(self.dir, "gone.cpp"), "no such file"),
                          (self.write("big.cpp", " " * (sources.SOURCE_CAP + 1)), "larger than")):
            with self.subTest(path):
                self.assertIn(why, self.build(path, name="odd")[1].failure)

    def test_a_tree_without_its_recipe_is_refused(self):
        os.remove(os.path.join(self.tree, sources.RECIPE_FILE))
        with self.assertRaises(SuiteError) as e:
            sources.read_recipe(self.tree)
        self.assertEqual(e.exception.status, 2)
        self.assertIn("does not say how its programs were built", str(e.exception))
        with mock.patch.object(sources, "installed", lambda: {"bin": "/usr/bin"}), self.assertRaises(SuiteError) as e:
            sources.read_recipe(self.tree)
        self.assertIn("an installed suite builds no sources", str(e.exception))  # no cmake -S . to advise


class Notes(unittest.TestCase):
    def test_each_variant_row_says_how_it_was_made(self):
        made = C.Build("/class/pi_atomic.c", "GNU 12.2.0 (/usr/bin/c++)",
                       "-O3 -Wall -ffp-contract=off -march=native -fopenmp -x c -std=c11 -fopenmp "
                       "/usr/lib/libgomp.so -lm",
                       "pi_atomic.c:11:7: warning: unused variable\npi_atomic.c:12:7: warning: unused variable\n",
                       race=C.Race.SKIPPED, race_detail=("it needs clang 14 (Debian: apt-get install clang-14)",))
        cat = C.Catalogue().with_variant("atomic", "/b/atomic", "pi", made).with_variant("own", "/b/own", "pi")

        def row(name):
            return Summary(Series.STRONG, name, 2, 1000, entry=cat.get(name))
        rows = derive.build_notes([row("quadguard"), row("atomic"), row("own")])
        self.assertEqual([r.notes for r in rows], [
            (),
            ("built with GNU 12.2.0 -O3 -ffp-contract=off -march=native -fopenmp; 2 warnings, the first: "
             "pi_atomic.c:11:7: warning: unused variable; race check skipped: "
             "it needs clang 14 (Debian: apt-get install clang-14)",),
            ("a binary: how it was built is unknown",)])


if __name__ == "__main__":
    unittest.main()
