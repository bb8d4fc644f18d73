"""From runs to figures, in one place: the summaries (statistics, then what the top-up rounds
could not mend, then the time model's floors and checks) and the sweep's crossovers."""
from __future__ import annotations

from typing import List, Mapping, Optional, Sequence

from ompsuite import catalogue as C
from ompsuite.analyse import stats
from ompsuite.analyse.model import Model
from ompsuite.study import Config, Crossover, Flag, Mark, Run, Series, Summary


def summaries(runs: Sequence[Run], catalogue: C.Catalogue, model: Optional[Model] = None,
              untrusted: Mapping[Config, str] = {}, imprecise: Mapping[Config, str] = {}) -> List[Summary]:
    """Every summary of the runs. untrusted, imprecise: why a configuration (as asked for) has too
    few clean runs, or a speedup still too wide, once its budget was spent."""
    rows = stats.weak_efficiency(stats.summarise(runs, catalogue))
    judged = []
    for r in rows:
        for t in r.asked or (None,):
            key = Config(r.series, r.program, t, r.problem_size)
            if key in untrusted:
                r = r.with_mark(Mark(Flag.UNTRUSTED, untrusted[key]))
            if key in imprecise:
                r = r.with_mark(Mark(Flag.IMPRECISE, imprecise[key]))
        judged.append(r)
    return model.apply(judged) if model else judged


def crossovers(rows: Sequence[Summary], model: Optional[Model]) -> List[Crossover]:
    """Per parallel pi program and team size of the sweep: the smallest N at which it beats its
    baseline by 10%, measured and predicted."""
    found = []
    sweep = [r for r in rows if r.series is Series.SWEEP and r.program_entry.parallel]
    for entry in dict.fromkeys(r.program_entry for r in sweep):
        for t in sorted({r.threads for r in sweep if r.entry is entry and r.threads and r.threads > 1}):
            found.append(Crossover(entry.name, t, stats.measured_crossover(rows, entry.name, t),
                                   model.crossover(entry, t) if model else None))
    return found
