"""What the commands share: their option parser, and the failed checks, said last."""
from __future__ import annotations

import argparse
import sys
import textwrap
from typing import Dict, List, NoReturn, Tuple

from ompsuite.analyse import derive
from ompsuite.platform.console import wrapped
from ompsuite.study import NOT_RUN_AGAIN, Run, Study


def failure_lines(study: Study) -> List[str]:
    """One line per failure: the runs of one program and team that failed for the same reason
    share it (a class's crashing program would otherwise fill the screen, one line a run); and
    one per summary whose median failed the model's check."""
    failed = [r for r in study.runs if not r.check.ok]
    alike: Dict[Tuple[str, str, str], List[Run]] = {}
    for r in failed:
        # A run skipped for its program's earlier crash or hang failed for that same reason.
        reason = str(r.check).replace(f"FAIL: {NOT_RUN_AGAIN}", "FAIL: ", 1)
        alike.setdefault((r.program, _team(r.threads, r.threads_requested), reason), []).append(r)
    lines = []
    for (program, team, check), runs in alike.items():
        if len(runs) == 1:
            lines.append(f"{program} threads={team} N={runs[0].problem_size} repeat={runs[0].repeat}: "
                         f"{runs[0].check}")
            continue
        sizes = ", ".join(dict.fromkeys(str(r.problem_size) for r in runs))
        skipped = sum(1 for r in runs if r.check.reason.startswith(NOT_RUN_AGAIN))
        also = f", {skipped} not run again" if skipped else ""
        lines.append(f"{program} threads={team} N={sizes} ({len(runs)} runs{also}): {check}")
    failed_keys = {(r.series, r.program, r.threads, r.problem_size) for r in failed}
    lines += [f"{s.program} threads={_team(s.threads)} N={s.problem_size} median: {s.check}" for s in study.summaries
              if not s.check.ok and s.key not in failed_keys]
    return lines


def _team(threads: "int | None", asked: "int | None" = None) -> str:
    """The team obtained, and the one asked for where it differs (a run that failed has none)."""
    shown = "?" if threads is None else str(threads)
    return shown if asked is None or asked == threads else f"{shown} (asked {asked})"


# The exit status: every figure checked and trusted, a check failed, or every check passed but some
# figure is no result or untrusted (too few clean runs, a speedup above its team, under its floor).
OK, FAILED, UNTRUSTED = 0, 1, 3


def closing(study: Study) -> int:
    """The untrusted figures' lines, then the failed checks, one line each, on standard error
    (a failure is the last word); the status to exit with."""
    doubts = derive.doubt_lines(study)
    for line in doubts:
        print("\n".join(textwrap.wrap(f"untrusted: {line}", 100, subsequent_indent="  ")), file=sys.stderr,
              flush=True)
    lines = failure_lines(study)
    for line in lines:
        print(wrapped(f"check failed: {line}"), file=sys.stderr, flush=True)
    return FAILED if lines else UNTRUSTED if doubts else OK


class Parser(argparse.ArgumentParser):
    """A command's options: a bad one is said in one line, with --help named, as every other
    expected failure is (argparse would print its whole usage first)."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")
