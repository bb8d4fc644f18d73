"""From runs to figures, in one place: the summaries (statistics, then what the top-up rounds
could not mend, then the time model's floors and checks) and the sweep's crossovers."""
from __future__ import annotations

import dataclasses
import re
from typing import Dict, List, Mapping, Optional, Sequence, Tuple

from ompsuite import catalogue as C
from ompsuite.escape import printable
from ompsuite.analyse import stats
from ompsuite.analyse.model import Model
from ompsuite.platform.interference import RULE_OPTIONS, rules_broken
from ompsuite.study import Config, Crossover, Flag, Mark, Run, Series, State, Study, Summary, read_journal


def summaries(runs: Sequence[Run], catalogue: C.Catalogue, model: Optional[Model] = None,
              untrusted: Mapping[Config, str] = {}, imprecise: Mapping[Config, str] = {}) -> List[Summary]:
    """Every summary of the runs. untrusted, imprecise: why a configuration (as asked for) has too
    few clean runs, or a speedup still too wide, once its budget was spent."""
    rows = stats.weak_efficiency(stats.summarise(runs, catalogue))
    judged = []
    for r in rows:
        for t in r.asked or (None,):
            key = Config(r.series, r.program, t, r.problem_size)
            if (why := untrusted.get(key)) is not None:  # the budget's reason first, then the figures' own
                had = r.mark(Flag.UNTRUSTED)  # which a judgement read back from a study's file already holds
                why += f"; {had.reason}" if had and had.reason not in why else ""
                r = dataclasses.replace(r, marks=tuple(m for m in r.marks if m is not had))
                r = r.with_mark(Mark(Flag.UNTRUSTED, why))
            if key in imprecise:
                r = r.with_mark(Mark(Flag.IMPRECISE, imprecise[key]))
        if r.state is State.UNTRUSTED:  # its median is shown, marked; a speedup from it would be read as one
            r = dataclasses.replace(r, speedup=None, speedup_low=None, speedup_high=None, efficiency=None,
                                    karp_flatt=None)
        judged.append(r)
    return build_notes(model.apply(judged) if model else judged)


def rederived(study: Study, untrusted: Mapping[Config, str] = {}, imprecise: Mapping[Config, str] = {}) -> Study:
    """The study with its summaries and crossovers derived from its runs as the run commands
    derive them, the calibration's model on the study's cores. untrusted, imprecise: what the
    top-ups judged once their budget was spent, which the runs alone cannot show."""
    cores = study.fact("cores")
    model = Model(study.calibration, cores=int(cores) if cores.isdigit() else None) if study.calibration else None
    rows = summaries(study.runs, study.catalogue, model, untrusted, imprecise)
    return dataclasses.replace(study, summaries=tuple(rows), crossovers=tuple(crossovers(rows, model)))


def judgements(study: Study) -> Tuple[Mapping[Config, str], Mapping[Config, str]]:
    """The untrusted and imprecise judgements its summaries carry, by what was asked for, as
    rederived takes them."""
    found: Tuple[Dict[Config, str], Dict[Config, str]] = ({}, {})
    for s in study.summaries:
        for flag, judged in zip((Flag.UNTRUSTED, Flag.IMPRECISE), found):
            if (m := s.mark(flag)) is not None:
                judged.update((Config(s.series, s.program, t, s.problem_size), m.reason) for t in s.asked or (None,))
    return found


def warning_count(messages: str) -> int:
    """The warnings in a compiler's messages, as GCC and clang mark them."""
    return len(re.findall(r"(?m)\bwarning:", messages))


def build_notes(rows: Sequence[Summary]) -> List[Summary]:
    """Each variant's row with one note on how it was made: the compiler and the flags that make
    the code what it is (optimisation, floating point, target, OpenMP, macros, each once), or that
    it is a binary of unknown make; how many warnings the compiler gave; and why its race check was
    skipped, when it was. The whole command line and the warnings' text, too long for a row's note,
    are in the study's files and report page."""
    noted = []
    for r in rows:
        made = r.entry.build if r.entry is not None and r.entry.variant else None
        if made is not None:
            code = dict.fromkeys(f for f in made.flags.split()
                                 if f.startswith(("-O", "-f", "-m", "-D")) and not f.startswith("-fdiagnostics"))
            parts = [f"built with {made.compiler.split(' (')[0]} {' '.join(code)}" if made.from_source
                     else "a binary: how it was built is unknown"]
            if warned := warning_count(made.warnings):
                first = next((line for line in made.warnings.splitlines() if "warning:" in line), "")
                parts.append(f"{warned} warning{'s' if warned != 1 else ''}, the first: {printable(first, 120)}")
            if made.race is C.Race.SKIPPED:
                parts.append(f"race check skipped: {'; '.join(made.race_detail) or 'no reason given'}")
            r = r.with_note("; ".join(parts))
        noted.append(r)
    return noted


def crossovers(rows: Sequence[Summary], model: Optional[Model]) -> List[Crossover]:
    """Per parallel pi program and team size of the sweep: the smallest N at which it beats its
    baseline by 10%, measured and predicted."""
    sweep = [r for r in rows if r.series is Series.SWEEP and r.program_entry.parallel]
    return [Crossover(entry.name, t, stats.measured_crossover(rows, entry.name, t),
                      model.crossover(entry, t) if model else None)
            for entry in dict.fromkeys(r.program_entry for r in sweep)
            for t in sorted({r.threads for r in sweep if r.entry is entry and r.threads and r.threads > 1})]


def doubt_lines(study: Study) -> List[str]:
    """Closing lines for figures that are no result or cannot be trusted: how many, what was
    seen, and what the user can do."""
    lines = []
    total = len(study.summaries)
    if bad := [s for s in study.summaries if s.has(Flag.UNTRUSTED)]:
        keys = {s.key for s in bad}
        rules = rules_broken([r.disturbed for r in study.runs if r.disturbed and stats.key_of(r) in keys])
        seen = [f"{rule} ({cores:.2f} cores, mean of {n} run{'' if n == 1 else 's'}, over {limit})"
                for rule, (n, cores, limit) in rules.items()]
        remedy = " ".join(f"{RULE_OPTIONS[rule]} CORES" for rule in rules)
        lines.append(f"{len(bad)} of {total} figures untrusted: " +
                     (f"runs were disturbed by {', '.join(seen)}. Run again on a quiet machine, with fewer "
                      f"threads (--threads), or accept more with {remedy}" if rules else
                      "too few clean runs (each row says why). Run again on a quiet machine, with fewer threads "
                      "(--threads)"))
    if above := [s for s in study.summaries if s.has(Flag.IMPOSSIBLE)]:
        lines.append(f"{len(above)} of {total} speedups are above their team and no result: one side was slowed "
                     "(each row says which); run again, and for the fills read the speedup without page faults")
    if lying := sorted({s.program for s in study.summaries if s.has(Flag.BELOW_FLOOR) and s.program_entry.variant}):
        lines.append(f"{', '.join(lying)} printed times below the calibration's floors: no real run is that fast, "
                     "so their own times cannot be right")
    if below := [s for s in study.summaries if s.has(Flag.BELOW_FLOOR) and not s.program_entry.variant]:
        lines.append(f"the calibration is suspect: {len(below)} of {total} medians beat its floors, so it was "
                     "probably slowed while it ran; calibrate again on a quiet machine (or give --calibration)")
    return lines


def study_of_journal(path: str) -> Study:
    """The study a stopped study's journal holds: its runs and the figures derived from them,
    marked as not completed."""
    kept = read_journal(path)
    rows = summaries(kept.runs, kept.catalogue)
    return Study(kept.machine, kept.catalogue, kept.runs, tuple(rows), crossovers=tuple(crossovers(rows, None)),
                 completed=False, stopped=f"stopped after {len(kept.runs)} runs; only its journal is left")
