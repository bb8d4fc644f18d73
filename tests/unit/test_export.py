"""The exporters on a stored study (fixtures/study.json, made by fixtures/make_study.py): the
tables, the CSV views, summary.md, a study folder in one loop, and the plots."""
import contextlib
import csv
import dataclasses
import io
import os
import sys
import tempfile
import unittest
from typing import Any, Dict, Iterator, List, Optional
import xml.etree.ElementTree as ET
from unittest import mock

from ompsuite.export import plot, results, tables
from ompsuite.platform import files
from ompsuite.study import Flag, Mark, Series, Study, Summary, dumps, load

FIXTURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures", "study.json")
STUDY = load(FIXTURE)


def changed(study: Study, program: str, threads: Optional[int], **changes: Any) -> Study:
    """The study with its strong summary of program at threads changed."""
    return dataclasses.replace(study, summaries=tuple(
        dataclasses.replace(s, **changes) if (s.series, s.program, s.threads) == (Series.STRONG, program, threads)
        else s for s in study.summaries))


def read_csv(text: str) -> List[Dict[str, str]]:
    rows = list(csv.reader(io.StringIO(text)))
    return [dict(zip(rows[0], r)) for r in rows[1:]]


@contextlib.contextmanager
def no_matplotlib() -> Iterator[io.StringIO]:
    """matplotlib out of reach, as where it is not installed; what the console said."""
    said = io.StringIO()
    with mock.patch.dict(sys.modules, {"matplotlib": None, "matplotlib.figure": None}), \
            contextlib.redirect_stderr(said):
        yield said


class Tables(unittest.TestCase):
    def test_units_and_sizes(self) -> None:
        self.assertEqual([tables.fmt_time(t) for t in (6.775332, 0.0616, 1.2e-6)], ["6.775 s", "61.6 ms", "1.2 µs"])
        self.assertEqual(tables.fmt_range(0.0614, 0.0622, 0.0616), "61.4–62.2")
        self.assertEqual([tables.fmt_n(n) for n in (100000000, 2000000000, 2147483647, 1000000, 100)],
                         ["1e8", "2e9", "2147483647", "1e6", "100"])

    def test_terminal_fits_and_markdown_is_whole(self) -> None:
        worst = Summary(Series.STRONG, "quadguard", 16, 2147483647, asked=(64,), runs=5, min_s=1234.5678,
                        median_s=2345.678, max_s=3456.789, speedup=12.34, efficiency=0.77, pct_floor=1234.0,
                        bound_by="multiplication latency",
                        marks=(Mark(Flag.FAILED, "pi = 3.2 is not within 1e-9 of pi | and | more " * 4),))
        lines = tables.terminal([worst, Summary(Series.STRONG, "a-variant-with-a-long-name-31ch", None, 1000)],
                                modelled=True)
        self.assertLessEqual(max(map(len, lines)), tables.TERMINAL_WIDTH, "\n".join(lines))
        self.assertIn("FAIL [1]", lines[1])
        self.assertTrue(lines[3].startswith("[1] quadguard 16 threads (asked 64) N=2147483647: FAIL: pi = 3.2"))
        self.assertIn("left out to fit 100 columns: efficiency", " ".join(lines[-2:]))
        self.assertIn(" ? ", lines[2])  # an unknown team is never shown as one thread
        md = tables.markdown([worst], modelled=True)
        self.assertEqual(md[0].count("|"), md[2].count("|") - md[2].count("\\|"))  # pipes escaped

    def test_the_same_rows_drop_the_same_columns_whatever_their_figures(self) -> None:
        # Two runs of one study differ in their figures: an interval where the other had too few
        # runs, a disturbed run's note. At any width, the same columns go.
        rows = [dataclasses.replace(s, median_low=None, median_high=None, notes=()) for s in STUDY.of_series(Series.STRONG)]
        other = [dataclasses.replace(s, median_low=s.median_s * 0.99123, median_high=s.median_s * 1.01234,
                                     notes=("a disturbed run",)) if s.median_s else s for s in rows]
        for width in range(60, 140):
            self.assertEqual(tables.terminal(rows, modelled=True, width=width)[0].split(),
                             tables.terminal(other, modelled=True, width=width)[0].split(), width)

    def test_flags_read_from_the_marks(self) -> None:
        lines = tables.terminal(STUDY.of_series(Series.STRONG), modelled=True)
        row = {" ".join(line.split()[:2]): line for line in lines[1:10]}
        self.assertIn("none (n=2)", row["quadguard 2"])  # the disturbed run is not counted
        self.assertRegex(row["quadguard 2"], r"ok \[1\]$")
        self.assertRegex(row["quadmerge 2"], r"FAIL \[2\]$")
        self.assertRegex(row["atomic ?"], r"^atomic +\? \(asked 2\) .* untrusted \[3-4\]$")
        self.assertRegex(row["growplain 1"], r" page faults +ok$")
        self.assertEqual(lines[10], "[1] quadguard 2 threads N=1e6: 1 of 3 runs disturbed (other load 0.9 CPU-s "
                                    "(0.9 cores))")
        self.assertTrue(lines[12].startswith("[3] atomic ? threads (asked 2) N=1e6: figure not to be trusted"))


class CsvViews(unittest.TestCase):
    def test_columns_and_flags_as_before(self) -> None:
        runs = read_csv(results.runs_csv(STUDY))
        self.assertEqual(list(runs[0]), [
            "series", "program", "threads_requested", "threads", "problem_size", "size_note", "repeat", "time_s",
            "result", "check_value", "check", "disturbed", "started", "watched_s", "cpus_allowed", "machine_cpus",
            "tick_hz", "user_s", "system_s", "minor_faults", "major_faults", "voluntary_switches",
            "involuntary_switches", "peak_rss_bytes", "machine_busy_s", "steal_s", "other_load_s", "vm_pgfault",
            "vm_pgmajfault", "vm_thp_fault_alloc", "vm_thp_fault_fallback", "vm_compact_stall", "vm_compact_fail",
            "vm_allocstall_normal", "vm_pgscan_direct", "vm_pgsteal_direct", "vm_balloon_inflate",
            "vm_balloon_deflate", "interference_notes"])
        self.assertEqual(len(runs), len(STUDY.runs))
        by = {(r["series"], r["program"], r["threads_requested"], r["repeat"]): r for r in runs}
        plain = by[("strong", "quadplain", "1", "1")]
        self.assertEqual((plain["time_s"], plain["minor_faults"], plain["vm_pgfault"], plain["vm_thp_fault_alloc"]),
                         ("0.000832", "130", "170", ""))
        self.assertEqual(by[("strong", "quadguard", "2", "2")]["disturbed"], "other load 0.9 CPU-s (0.9 cores)")
        self.assertEqual(by[("strong", "quadguard", "2", "2")]["interference_notes"], "not watched")
        self.assertTrue(by[("strong", "quadmerge", "2", "3")]["check"].startswith("FAIL: pi = "))
        self.assertEqual(by[("strong", "atomic", "2", "1")]["threads"], "")  # the runtime did not say

        rows = read_csv(results.summary_csv(STUDY.summaries))
        self.assertEqual(list(rows[0]), [
            "series", "program", "threads", "threads_requested", "problem_size", "runs", "min_s", "median_s",
            "max_s", "median_low", "median_high", "speedup", "speedup_low", "speedup_high", "efficiency",
            "karp_flatt", "rate", "rate_unit", "units_from_serial", "units_from_pi", "reproducible", "unstable",
            "disturbed", "untrusted", "user_s", "system_s", "minor_faults", "floor_s", "predicted_s", "pct_floor",
            "bound_by", "check", "note"])
        strong = {(r["program"], r["threads"]): r for r in rows if r["series"] == "strong"}
        self.assertEqual(strong[("quadguard", "2")]["disturbed"], "1 of 3 runs disturbed (other load 0.9 CPU-s "
                                                                  "(0.9 cores))")
        self.assertEqual(strong[("quadmerge", "2")]["check"], 'FAIL: 1 of 3 runs: pi = "<b>3.2|x</b>" is not a number')
        atomic = strong[("atomic", "")]
        self.assertEqual((atomic["threads_requested"], atomic["check"], atomic["note"]),
                         ("2", "ok", "no calibration for this team size"))
        self.assertIn("clean runs asked for are missing", atomic["untrusted"])
        self.assertEqual(strong[("quadplain", "1")]["units_from_pi"], "-29")

    def test_formula_cells_are_neutralised_numbers_are_not(self) -> None:
        cases = {"=1+2": "'=1+2", "@SUM(A1)": "'@SUM(A1)", "+cmd": "'+cmd", "-": "'-", "-inf": "'-inf",
                 "\t=1": "'\t=1", "-29": "-29", "+1.5e-05": "+1.5e-05", "-.5": "-.5", "3.1": "3.1", "ok": "ok",
                 "-\u0663": "'-\u0663"}  # not an ASCII digit: not a plain number, so the sign stays text
        self.assertEqual({k: files.spreadsheet_cell(k) for k in cases}, cases)
        failed = next(r for r in read_csv(results.runs_csv(STUDY)) if r["check"] != "ok")
        self.assertEqual(failed["result"], "'=HYPERLINK(\"http://example.invalid\",\"3.14\")")
        stopped = dataclasses.replace(STUDY, machine=(("host", "=evil()"),), completed=False,
                                      stopped="interrupted by SIGINT")
        self.assertEqual(results.machine_csv(stopped),
                         "key,value\nschema,1\nhost,'=evil()\ncompleted,no: interrupted by SIGINT\n")


class Markdown(unittest.TestCase):
    def test_summary_md(self) -> None:
        text = results.summary_md(STUDY)
        heads = [line for line in text.splitlines() if line.startswith("#")]
        self.assertEqual(heads, ["# Scaling study", "## Calibration (medians; calibration.csv has the 95% intervals)",
                                 "## N sweep", "## Weak scaling (N = base x threads; efficiency = t(1) / t(T))"])
        self.assertIn("\n- completed: yes\n", text)
        self.assertIn("\n- precision target not met: quadguard 2 threads' speedup interval", text)
        self.assertIn("\n- quadguard, 2 threads: beats quadplain by 10% from N = 8.5e+03 measured, 7e+03 predicted\n",
                      text)
        self.assertIn("\n- add_latency: 0.84 ns (1 thr)\n", text)
        blocks = [b.splitlines() for b in text.split("\n\n") if b.startswith("|")]
        self.assertEqual([len(b) for b in blocks], [2 + 9, 2 + 6, 2 + 4])  # the strong, sweep and weak tables
        for block in blocks:  # one cell per column, whatever a cell holds
            for line in block:
                self.assertEqual(line.count("|") - line.count("\\|"), block[0].count("|"), line)
        self.assertIn(r'FAIL: 1 of 3 runs: pi = "\<b\>3.2\|x\</b\>" is not a number', text)
        self.assertIn("| atomic | ? (asked 2) |", text)


class Folder(unittest.TestCase):
    def setUp(self) -> None:
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.folder = tmp.name

    def test_every_file_in_one_loop_and_one_line_without_matplotlib(self) -> None:
        with no_matplotlib() as said:
            written = results.export_study(STUDY, self.folder)
        self.assertEqual(said.getvalue(), plot.NOT_INSTALLED + "\n")
        self.assertEqual(written, ["study.json", "runs.csv", "summary.csv", "machine.csv", "summary.md",
                                   "crossovers.csv", "results.json", "report.html", "grades.csv", "grades"])
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(written))  # no temporary file left
        with open(os.path.join(self.folder, "report.html"), encoding="utf-8") as f:
            self.assertIn(f'<p class="muted">{plot.NOT_INSTALLED}</p>', f.read())  # the page says why it has none
        self.assertEqual(dumps(load(os.path.join(self.folder, "study.json"))), dumps(STUDY))
        with open(os.path.join(self.folder, "crossovers.csv")) as f:
            self.assertEqual(f.read(), "program,threads,measured_n,predicted_n\nquadguard,2,8500,7000\n")
        # A study without a sweep has no crossovers.csv.
        plain = dataclasses.replace(STUDY, summaries=tuple(STUDY.of_series(Series.STRONG)), crossovers=())
        self.assertIsNone(results.crossovers_csv(plain))

    def test_failure_lines_and_the_exit_status(self) -> None:
        from ompsuite.cli.common import FAILED, OK, UNTRUSTED, closing, failure_lines
        self.assertEqual(failure_lines(STUDY), [
            'quadmerge threads=2 N=1000000 repeat=3: FAIL: pi = "<b>3.2|x</b>" is not a number'])
        clean = dataclasses.replace(STUDY, runs=tuple(r for r in STUDY.runs if r.check.ok),
                                    summaries=tuple(dataclasses.replace(s, marks=()) for s in STUDY.summaries))
        impossible = changed(clean, "quadguard", 2, marks=(Mark(Flag.IMPOSSIBLE, "speedup 28 is above the team"),))
        untrusted = changed(clean, "quadguard", 2, marks=(Mark(Flag.UNTRUSTED, "3 of the 3 clean runs are missing"),))
        with contextlib.redirect_stderr(io.StringIO()) as said:
            self.assertEqual([closing(s) for s in (STUDY, clean, impossible, untrusted)], [FAILED, OK, UNTRUSTED, UNTRUSTED])
        self.assertEqual(failure_lines(impossible), [])  # no result, but no program's fault either
        self.assertIn("untrusted: 1 of", said.getvalue())
        self.assertIn("Run again on a quiet machine, with fewer threads (--threads)", said.getvalue().replace("\n  ", " "))


MATPLOTLIB, WHY = plot.load()


def axes(fig: Optional[Any]) -> Any:
    assert fig is not None, "nothing drawn"
    return fig.axes[0]


class Plots(unittest.TestCase):
    def setUp(self) -> None:
        if MATPLOTLIB is None:
            if os.environ.get("CI") == "true":
                self.fail(WHY)
            self.skipTest(WHY)
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.folder = tmp.name

    def test_study_plots_as_png_and_svg(self) -> None:
        written = results.export_study(STUDY, self.folder, [plot.StudyPlots()])
        self.assertEqual(written, list(plot.FILE_NAMES[:-2]))  # no class plot: its one variant's team is unknown
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(written))
        for name in written:
            with open(os.path.join(self.folder, name), "rb") as f:
                data = f.read()
            if name.endswith(".png"):
                self.assertTrue(data.startswith(b"\x89PNG\r\n\x1a\n"), name)
            else:
                self.assertTrue(ET.fromstring(data).tag.endswith("svg"), name)

    def test_a_doubtful_point_does_not_set_the_scale(self) -> None:
        impossible = changed(STUDY, "quadguard", 2, speedup=28.0, marks=(Mark(Flag.IMPOSSIBLE, "above the team"),))
        ax = axes(plot.speedup_figure(MATPLOTLIB, impossible))
        self.assertLess(ax.get_ylim()[1], 7)  # growsplit's 6.0, trusted, sets it
        self.assertGreaterEqual(ax.get_ylim()[1], 6)
        self.assertIn("28", [t.get_text() for t in ax.texts])  # said where it sits, on the top edge
        untrusted = changed(STUDY, "growsplit", 2, marks=(Mark(Flag.UNTRUSTED, "too few clean runs"),))
        self.assertLess(axes(plot.speedup_figure(MATPLOTLIB, untrusted)).get_ylim()[1], 4)

    def test_the_class_plot_has_a_bar_per_pi_program_and_the_suite_as_lines(self) -> None:
        known = dataclasses.replace(STUDY, summaries=tuple(  # its team known, trusted or not
            dataclasses.replace(s, threads=2) if s.program == "atomic" else s for s in STUDY.summaries))
        ax = axes(plot.class_figure(MATPLOTLIB, changed(known, "atomic", 2, marks=())))
        bars = [p for p in ax.patches if p.get_height()]
        self.assertEqual([(round(p.get_height(), 4), p.get_facecolor()[3]) for p in bars], [(1.7516, 1.0)])
        lines = sorted((ln.get_label(), ln.get_ydata()[0]) for ln in ax.get_lines())
        self.assertEqual(lines, [("quadguard (the suite's)", 1.0024), ("quadguard (the suite's)", 1.8974),
                                 ("quadmerge (the suite's)", 0.9846)])  # quadmerge failed at 2; no fill is drawn
        hollow = axes(plot.class_figure(MATPLOTLIB, known))
        self.assertEqual([p.get_facecolor()[3] for p in hollow.patches if p.get_height()], [0.0])  # untrusted

    def test_compare_plot_draws_any_label_as_it_is(self) -> None:
        other = dataclasses.replace(STUDY, machine=(("processor", "$\\frac{$ x\ny"), ("cores", "64")))
        written = plot.compare_plot(self.folder, [STUDY, other], ["vm", "_b$"])
        self.assertEqual(written, ["compare.png", "compare.svg"])
        legend = axes(plot.compare_figure(MATPLOTLIB, [STUDY, other], ["vm", "_b$"])).get_legend()
        texts = [t.get_text() for t in legend.get_texts()]
        self.assertIn("vm: AMD EPYC 7B13, 2 cores", texts)
        self.assertIn(" _b\\$: \\$\\frac{\\$ x\\ny, 64 cores", texts)
        self.assertEqual(plot.compare_plot(self.folder, [dataclasses.replace(STUDY, summaries=())], ["x"]), [])


if __name__ == "__main__":
    unittest.main()
