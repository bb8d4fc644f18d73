"""report.html as a person sees it: a small study of a class (the stored fixture study with three
students' programs added: one with a data race, one that does not compile, one whose name, path
and warnings are markup) written as the page and opened in headless Chromium. Chromium is
missing: the browser's part is skipped, unless CI=true (which installs it)."""
import dataclasses
import html
import html.parser
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
import reference as ref  # noqa: E402
from ompsuite import catalogue as C  # noqa: E402
from ompsuite.export import plot, results  # noqa: E402
from ompsuite.study import Check, Config, Flag, Mark, Run, Series, Summary, load  # noqa: E402

FIXTURE = os.path.join(ROOT, "tests", "unit", "fixtures", "study.json")
PI_N = 1000000
ODD = 'x<script>alert("odd")</script>'
RACE = "data race: racy.cpp:14 (write) and racy.cpp:14 (read)"
ERROR = "broken.cpp:9:5: error: expected ';' before '}' token"
WARNING = "odd.cpp:3:9: warning: unused variable '<b>tally</b>' [-Wunused-variable]"
GXX = "g++ (Debian 12.2.0-14) 12.2.0"


def class_study():
    study = load(FIXTURE)
    cat = study.catalogue
    cat = cat.with_variant("racy", "/class/racy", "pi", C.Build("/class/racy.cpp", GXX, "-O2 -fopenmp",
                                                                 race=C.Race.FOUND, race_detail=(RACE,)))
    cat = cat.with_variant("broken", "/class/broken", "pi", C.Build("/class/broken.cpp", GXX, "-O2 -fopenmp",
                                                                     error=ERROR))
    cat = cat.with_variant(ODD, "/class/<i>odd</i>", "pi", C.Build("/class/<i>odd</i>.cpp", GXX, "-O2 -fopenmp",
                                                                    warnings=WARNING, race=C.Race.FREE))
    runs, rows = [], []

    def ran(name, series, n, repeat, check=Check.passed(), time_s=None, fault=""):
        printed = {997: "3.141592737425386", 10007: "3.141592654421957"}.get(n, "3.141592653589764")
        runs.append(Run(Config(series, name, 2, n), 2, repeat, time_s=time_s, check=check, fault=fault,
                        result="" if fault else printed, printed_n=None if fault else n, entry=cat.get(name)))

    raced = Check.failed(RACE)  # the race fails every run of it, timed as usual
    ran("racy", Series.CHECK, 997, 1, raced)
    for k in (1, 2):
        ran("racy", Series.STRONG, PI_N, k, raced, 0.0005)
    rows.append(Summary(Series.STRONG, "racy", 2, PI_N, asked=(2,), runs=2, median_s=0.0005, speedup=1.66,
                        marks=(Mark(Flag.FAILED, f"2 of 2 runs: {RACE}"),), entry=cat.get("racy")))
    failure = cat.get("broken").build.failure  # never run: each of its jobs ends with the build's failure
    ran("broken", Series.CHECK, 997, 1, Check.failed(failure), fault=failure)
    ran("broken", Series.STRONG, PI_N, 1, Check.failed(failure), fault=failure)
    rows.append(Summary(Series.STRONG, "broken", 2, PI_N, asked=(2,), marks=(Mark(Flag.FAILED, failure),),
                        entry=cat.get("broken")))
    for n in (997, 10007):
        ran(ODD, Series.CHECK, n, 1)
    for k in (1, 2, 3):
        ran(ODD, Series.STRONG, PI_N, k, time_s=0.00046)
    rows.append(Summary(Series.STRONG, ODD, 2, PI_N, asked=(2,), runs=3, median_s=0.00046, speedup=1.81,
                        speedup_low=1.74, speedup_high=1.87, pct_floor=109.0, bound_by="addition latency",
                        notes=("built with " + GXX,), entry=cat.get(ODD)))
    return dataclasses.replace(study, catalogue=cat, runs=study.runs + tuple(runs),
                               summaries=study.summaries + tuple(rows))


class Words(html.parser.HTMLParser):
    """The text a page shows, one space between its pieces, and the elements it holds."""

    def __init__(self):
        super().__init__()
        self.pieces, self.tags = [], set()

    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)

    def handle_data(self, data):
        self.pieces.append(data)

    def text(self):
        return re.sub(r"\s+", " ", " ".join(self.pieces))


def words(page):
    w = Words()
    w.feed(page)
    return w


class Page(unittest.TestCase):
    """The page as written: whole in itself, every foreign text escaped."""

    def test_nothing_to_load_or_run(self):
        page = results.report_page(class_study())
        self.assertEqual(re.findall(r"<script", page, re.IGNORECASE), [])
        self.assertIn(html.escape(ODD), page)
        self.assertIn("&lt;b&gt;tally&lt;/b&gt;", page)  # a compiler's warning, quoted
        self.assertEqual(re.findall(r"\bsrc\s*=|@import|url\((?!#)", page), [])
        self.assertEqual({h for h in re.findall(r'href="([^"]*)"', page) if not h.startswith("#")}, set())
        if plot.load()[0] is not None:  # the four plots inline (the class's too), prologs and comments gone
            self.assertEqual(page.count("<svg "), 4)
            self.assertEqual(re.findall(r"<\?xml|<!DOCTYPE svg|<!--", page), [])


def need_chromium(test):
    path = shutil.which("chromium")
    if path is None:
        why = "chromium is not installed (Debian package chromium)"
        if os.environ.get("CI") == "true":
            test.fail(why + "; under CI=true that is a failure")
        test.skipTest(why)
    return path


class Browser(unittest.TestCase):
    def chromium(self, *args):
        proc = subprocess.run([need_chromium(self), "--headless", "--no-sandbox", "--disable-gpu",
                               f"--user-data-dir={self.tmp}/profile", *args], capture_output=True, text=True,
                              timeout=180)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc.stdout

    def test_what_a_person_reads(self):
        with tempfile.TemporaryDirectory() as self.tmp:
            path = os.path.join(self.tmp, "report.html")
            with open(path, "w", encoding="utf-8") as f:
                f.write(results.report_page(class_study()))
            url = "file://" + path
            shown = words(self.chromium("--dump-dom", url))
            shot = os.path.join(self.tmp, "report.png")
            self.chromium(f"--screenshot={shot}", "--window-size=1200,2400", url)
            with open(shot, "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        text = shown.text()
        self.assertNotIn("script", shown.tags)  # the odd name is shown as text, never made an element
        self.assertIn("Results on vm", text)
        # The cards, each in its own words: how it was built, where it was correct, its race check.
        cards = {name: text[text.index(f" {name} pi "):] for name in ("atomic", "racy", "broken", ODD)}
        for name, badge in (("atomic", "untrusted"), ("racy", "data race"), ("broken", "does not compile"),
                            (ODD, "ok")):
            self.assertTrue(cards[name].startswith(f" {name} pi {badge} "), cards[name][:80])
        self.assertIn("Built a binary: build unknown Checks correct at N = 1e6 (timed) Race check race check "
                      "not run: a binary has no source to instrument", cards["atomic"])
        self.assertIn(f"Built from /class/racy.cpp with {GXX} flags -O2 -fopenmp Checks fails at N = 997 "
                      f"(untimed check): 1 of 1 run: {RACE} fails at N = 1e6: 2 of 2 runs: {RACE} Race check "
                      f"data race found: {RACE} Speedup, per team", cards["racy"])
        self.assertIn(f"does not compile: {ERROR}", cards["broken"])
        self.assertIn("Checks never run: it does not compile Race check race check not run: it does not compile "
                      "Speedup, per team threads median speedup 95% interval % of floor bound by check 2 FAIL",
                      cards["broken"])
        self.assertIn(f"Built from /class/<i>odd</i>.cpp with {GXX} flags -O2 -fopenmp 1 line of warnings: "
                      f"{WARNING} Checks correct at N = 997, 10007 (untimed checks); N = 1e6 (timed) Race check "
                      "race-free (ThreadSanitizer with Archer saw no race) Speedup, per team threads median "
                      "speedup 95% interval % of floor bound by check 2 460 µs 1.81 1.74–1.87 109% addition "
                      "latency ok", cards[ODD])
        # The class first: best grade first, each with its diagnosis, speedup and points.
        self.assertIn(f"Class program state diagnosis speedup at 2 suite 1.90 points {ODD} ok 1.81 100 / 100 racy "
                      f"data race {RACE} 60 / 100 atomic untrusted not run at the check sizes; race check not run; "
                      "no points without it 20 / 100 broken does not compile does not compile: " + ERROR, text)
        # The table: every check's state, and its reasons and notes under it.
        self.assertRegex(text, rf"quadmerge 2 1e6 FAIL 2 3 .* quadmerge 2 threads N=1e6: FAIL: 1 of 3 runs: "
                               rf'pi = "<b>3.2\|x</b>" is not a number')
        self.assertIn(f"{ODD} 2 threads N=1e6: built with {GXX}", text)
        self.assertIn("teamtally: 2 threads, total 4.999995e+11: ok", text)


if __name__ == "__main__":
    ref.main()
