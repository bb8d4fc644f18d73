"""A study's files, each an exporter of the Study written whole into its folder (docs/files.md):
the CSV files are views for spreadsheets, study.json the study itself, which ./compare loads."""
from __future__ import annotations

import dataclasses
import os
from typing import Callable, List, Optional, Protocol, Sequence

from ompsuite.analyse.grades import DEFAULT, Rubric
from ompsuite.analyse.model import Model
from ompsuite.escape import markdown_cell
from ompsuite.export import benchjson, plot, report, tables
from ompsuite.export.grades import GradeFiles
from ompsuite.platform.files import spreadsheet_csv, write_atomic
from ompsuite.platform.interference import FIELDS as WATCHED
from ompsuite.study import Series, Study, Summary, dumps

RUN_COLUMNS = ("series", "program", "threads_requested", "threads", "problem_size", "size_note", "repeat",
               "time_s", "result", "check_value", "check", "disturbed", "started") + tuple(WATCHED)
SUMMARY_COLUMNS = ("series", "program", "threads", "threads_requested", "problem_size", "runs", "min_s", "median_s",
                   "max_s", "median_low", "median_high", "speedup", "speedup_low", "speedup_high", "efficiency",
                   "karp_flatt", "rate", "rate_unit", "units_from_serial", "units_from_pi", "reproducible",
                   "unstable", "disturbed", "untrusted", "user_s", "system_s", "minor_faults", "floor_s",
                   "predicted_s", "pct_floor", "bound_by", "check", "note")


def _text(value: object) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return f"{value:.9g}" if abs(value) < 1e9 else f"{value:.3f}"  # a wall-clock time to the millisecond
    return str(value)


def runs_csv(study: Study) -> str:
    rows = []
    for r in study.runs:
        own = {k: _text(v) for k, v in r.to_json().items()}
        own.update(r.interference.row() if r.interference is not None
                   else {**dict.fromkeys(WATCHED, ""), "interference_notes": "not watched"}, check=str(r.check))
        rows.append([own[c] for c in RUN_COLUMNS])
    return spreadsheet_csv(RUN_COLUMNS, rows)


def summary_csv(summaries: Sequence[Summary]) -> str:
    rows = []
    for s in summaries:
        # The check: a failure, a figure that is no result, or ok (untrusted has its column).
        check = str(s.check) if not s.check.ok else f"impossible: {s.impossible}" if s.impossible else "ok"
        special = {"series": s.series.value, "threads_requested": tables.asked_text(s, " "), "unstable": s.unstable,
                   "disturbed": s.disturbed, "untrusted": s.untrusted, "check": check, "note": s.note}
        rows.append([special[c] if c in special else _text(getattr(s, c)) for c in SUMMARY_COLUMNS])
    return spreadsheet_csv(SUMMARY_COLUMNS, rows)


def machine_csv(study: Study) -> str:
    return spreadsheet_csv(["key", "value"], tables.machine_facts(study))


def crossovers_csv(study: Study) -> Optional[str]:
    """Written for a study with an N sweep, even where no program crossed."""
    if not study.of_series(Series.SWEEP) and not study.crossovers:
        return None
    return spreadsheet_csv(["program", "threads", "measured_n", "predicted_n"], ([c.program, str(c.threads), *(
        "" if n is None else f"{n:.6g}" for n in (c.measured_n, c.predicted_n))] for c in study.crossovers))


def markdown_table(study: Study) -> str:
    """Every summary of the study in one Markdown table (runsuite --markdown)."""
    return "\n".join(tables.markdown(study.summaries, bool(study.calibration))) + "\n"


def summary_md(study: Study) -> str:
    """summary.md: the machine's facts, then each series' full table with what belongs to it."""
    model = bool(study.calibration)
    text = ["# Scaling study", ""] + [f"- {k}: {markdown_cell(v)}" for k, v in tables.machine_facts(study)]
    text += ["", *tables.markdown(study.of_series(Series.STRONG), model)]
    if study.notes:
        text += [""] + [f"- {markdown_cell(line)}" for line in study.notes]
    if study.calibration:
        text += ["", "## Calibration (medians; calibration.csv has the 95% intervals)", "",
                 *Model(study.calibration).describe()]
    if sweep := study.of_series(Series.SWEEP):
        text += ["", "## N sweep", ""] + tables.markdown(sweep, model)
        text += [""] + ["- " + tables.crossover_text(study, c) for c in study.crossovers]
    if weak := study.of_series(Series.WEAK):
        text += ["", "## Weak scaling (N = base x threads; efficiency = t(1) / t(T))", "",
                 *tables.markdown(weak, model)]
    return "\n".join(text) + "\n"


def results_json(study: Study) -> str:
    return benchjson.document_text(benchjson.study_document(study))


class Exporter(Protocol):
    """Makes files of a study in a folder, each written whole; returns the names it wrote."""

    def write(self, study: Study, folder: str) -> List[str]:
        ...


@dataclasses.dataclass(frozen=True)
class TextFile:
    """One text file of a study; text() gives None where the study has nothing for it."""
    name: str
    text: Callable[[Study], Optional[str]]

    def write(self, study: Study, folder: str) -> List[str]:
        if (content := self.text(study)) is None:
            return []
        write_atomic(os.path.join(folder, self.name), content)
        return [self.name]


def report_page(study: Study, rubric: Rubric = DEFAULT) -> str:
    """report.html: the study as one page for a browser (runsuite --report)."""
    return report.page(study, rubric)


def study_files(rubric: Rubric = DEFAULT) -> Sequence[Exporter]:
    """study.json first, the whole record; the plots last, the slowest and the only optional part."""
    return (TextFile("study.json", dumps), TextFile("runs.csv", runs_csv),
            TextFile("summary.csv", lambda study: summary_csv(study.summaries)), TextFile("machine.csv", machine_csv),
            TextFile("summary.md", summary_md), TextFile("crossovers.csv", crossovers_csv),
            TextFile("results.json", results_json), TextFile("report.html", lambda study: report_page(study, rubric)),
            GradeFiles(rubric), plot.StudyPlots())


# Every name export_study may write: a folder that holds one already holds a study.
FILE_NAMES = ("study.json", "runs.csv", "summary.csv", "machine.csv", "summary.md", "crossovers.csv",
              "results.json", "report.html", "grades.csv", "grades") + plot.FILE_NAMES


def export_study(study: Study, folder: str, exporters: Optional[Sequence[Exporter]] = None) -> List[str]:
    """Write the study's files into folder; the names written, in order. OSError as the first
    file that cannot be written raises it (the files before it are whole)."""
    written: List[str] = []
    for exporter in study_files() if exporters is None else exporters:
        written += exporter.write(study, folder)
    return written
