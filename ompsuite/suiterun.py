"""The run command: every program of the suite, the pi programs repeated and interleaved, each
run checked, then one table. Nothing is written to files; everything goes to the terminal."""
import os
import tempfile

from . import programs as P
from . import report
from .cli import progress
from .model import Model, read_calibration, run_calibration
from .session import Job, Session, Stopped
from .stats import summarise


def plan(a, bindir, binding, growdir, n):
    team = binding.env(a.threads)  # the runtime's default team unless --threads is given
    jobs = []
    for rep in range(1, a.repeats + 1):
        jobs.append(Job("strong", "quadplain", 1, a.pi_n, "", rep, os.path.join(bindir, "quadplain"),
                        (str(a.pi_n),), binding.env(1)))
        jobs += [Job("strong", prog, a.threads, a.pi_n, "", rep, os.path.join(bindir, prog), (str(a.pi_n),), team)
                 for prog in ("quadguard", "quadmerge")]
    if n is not None:
        note = "" if n == P.FULL_N else "reduced build"
        for rep in range(1, a.recurrence_repeats + 1):  # one after the other: each may need 16 GB
            jobs.append(Job("strong", "growplain", 1, n, note, rep, os.path.join(growdir, "growplain"), (),
                            binding.env(1)))
            jobs.append(Job("strong", "growsplit", a.threads, n, note, rep, os.path.join(growdir, "growsplit"), (),
                            team))
    jobs.append(Job("strong", "teamtally", a.threads, 0, "", 1, os.path.join(bindir, "teamtally"), (), team))
    return jobs


def calibrated_model(a, bindir, binding):
    """The time model for the table's floors: from --calibration, else a short calibration at
    one thread and the team size (fewer repeats and a smaller buffer than the study's)."""
    if a.no_calibrate:
        return None
    if a.calibration:
        return Model(read_calibration(a.calibration))
    team = a.threads or int(os.environ.get("OMP_NUM_THREADS", "").split(",")[0] or 0) or os.cpu_count() or 1
    with tempfile.NamedTemporaryFile(suffix=".csv") as f:
        figures = run_calibration(bindir, sorted({1, team}), f.name, binding.env(),
                                  extra=("--repeats", "7", "--buffer-mb", "256"))
    return Model(figures) if figures else None


def show_first(seen):
    def show(run):
        if run.program not in seen:
            seen.add(run.program)
            title = "sum of 0 ... 999999" if run.program == "teamtally" else f"N = {run.problem_size}"
            print(f"== {run.program}: {title}\n{run.output}", end="" if run.output.endswith("\n") else "\n",
                  flush=True)
    return show


def run(a):
    binding = P.Binding(no_bind=a.no_bind)
    if a.calibration:
        read_calibration(a.calibration)  # a bad file is refused before anything is built or run
    if a.threads:
        P.warn_oversubscribed([a.threads])
    bindir = P.release_bin(a.bin)
    n, _ = P.recurrence_plan(a.recurrence_n)
    growdir = P.recurrence_bin(n, bindir, a.recurrence_bin) if n is not None else None
    progress(f"threads: {binding.describe()}")
    session = Session(show=show_first(set()))
    if n is not None and not a.no_warmup:
        # On virtual machines memory first touched after idle time can cost many times the fill;
        # one discarded run lets both recurrence programs meet it in the same state.
        progress("warming up the memory with one growplain run (not shown)")
        session.runner.run(os.path.join(growdir, "growplain"), (), binding.env(1))
    jobs = plan(a, bindir, binding, growdir, n)
    model = calibrated_model(a, bindir, binding)
    stopped = None
    try:
        session.execute(jobs)
    except Stopped as e:
        stopped = e
    rows = summarise(session.runs)
    if model:
        model.apply(rows)
    print(f"\nSummary: medians of the runs (column runs; the pi programs interleaved), speedup of the medians "
          f"over the serial baseline, threads as obtained ({binding.describe()})")
    print("\n".join(report.markdown_table(rows, model=bool(model))))
    if any(r.program in P.GROW_PROGRAMS for r in session.runs):
        print(f"growplain and growsplit ran {a.recurrence_repeats} time(s) each (every run fills "
              f"{8 * (n + 1) / 1e9:.3g} GB; --recurrence-repeats runs them more often)")
    team = [r for r in session.runs if r.program == "teamtally"]
    if team:
        print(f"teamtally: {team[0].threads} threads, total {team[0].result or '?'}: {team[0].check}")
    for line in session.shortfalls:
        print(f"note: {line}")
    if stopped:
        raise stopped
    return report.print_failures(report.failure_lines(session.failures(), rows))
