"""What the measuring commands share after the runs: the failed checks, said last."""
from __future__ import annotations

import sys
from typing import List

from ompsuite.study import Study


def failure_lines(study: Study) -> List[str]:
    """One line per failed run, and per summary whose median failed the model's check."""
    failed = [r for r in study.runs if not r.check.ok]
    lines = [f"{r.program} threads={_team(r.threads)} N={r.problem_size} repeat={r.repeat}: {r.check}" for r in failed]
    failed_keys = {(r.series, r.program, r.threads, r.problem_size) for r in failed}
    lines += [f"{s.program} threads={_team(s.threads)} N={s.problem_size} median: {s.check}" for s in study.summaries
              if not s.check.ok and s.key not in failed_keys]
    return lines


def _team(threads: "int | None") -> str:
    return "?" if threads is None else str(threads)


def print_failures(lines: List[str]) -> int:
    """Failed checks go last, one line each, on standard error; the status to exit with."""
    for line in lines:
        print(f"check failed: {line}", file=sys.stderr, flush=True)
    return 1 if lines else 0
