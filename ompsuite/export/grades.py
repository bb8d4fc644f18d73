"""A class's grades as the course systems read them: grades.csv and, per program,
grades/NAME/results.json in the autograder format (docs/files.md, docs/class.md)."""
from __future__ import annotations

import dataclasses
import json
import os
from typing import List, Sequence, Tuple

from ompsuite.analyse.grades import CRITERIA, DEFAULT, Grade, Rubric, class_sources, grade, near_copies
from ompsuite.platform.files import spreadsheet_csv, write_atomic
from ompsuite.study import Study

FOLDER = "grades"
Copies = Sequence[Tuple[str, str, float]]


def copies_of(name: str, copies: Copies) -> str:
    return "; ".join(f"{b if a == name else a} ({share:.0%} alike)" for a, b, share in copies if name in (a, b))


def grades_csv(grades: Sequence[Grade], copies: Copies) -> str:
    head = ["program", *CRITERIA, "total", "max", "diagnosis", "near_copy_of"]
    return spreadsheet_csv(head, ([g.program, *(f"{s.points:g}" for s in g.scores), f"{g.total:g}",
                                   f"{g.max_total:g}", g.diagnosis, copies_of(g.program, copies)] for g in grades))


def results_json(g: Grade, copies: Copies) -> str:
    said = copies_of(g.program, copies)
    doc = {"score": g.total, "max_score": g.max_total,
           "output": g.diagnosis + (f"; nearly the same source as {said} (no points taken)" if said else ""),
           "tests": [{"name": s.criterion.replace("_", " "), "score": s.points, "max_score": s.max_points,
                      "output": s.output} for s in g.scores]}
    return json.dumps(doc, indent=1) + "\n"


@dataclasses.dataclass(frozen=True)
class GradeFiles:
    """grades.csv and grades/NAME/results.json of a study that holds variants."""
    rubric: Rubric = DEFAULT

    def write(self, study: Study, folder: str) -> List[str]:
        grades, copies = grade(study, self.rubric), near_copies(class_sources(study))
        if not grades:
            return []
        write_atomic(os.path.join(folder, "grades.csv"), grades_csv(grades, copies))
        for g in grades:
            os.makedirs(os.path.join(folder, FOLDER, g.program), exist_ok=True)
            write_atomic(os.path.join(folder, FOLDER, g.program, "results.json"), results_json(g, copies))
        return ["grades.csv", FOLDER]
