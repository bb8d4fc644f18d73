"""The scaling study: every timed program over a list of thread counts, with repeats, saved as
it goes into a folder of its own (runs.csv, machine.csv, summary.csv, summary.md, speedup.png)."""
import os

import shutil
import time

from . import machine, plot, report, stats
from . import programs as P
from .cli import progress
from .model import Model, read_calibration, run_calibration
from .session import Job, Session, Stopped


def plan(a, bindir, binding, growdir, n):
    """Jobs in order: each repeat runs the serial baselines once and every parallel program at
    every thread count, so drifts of the machine spread over all of them alike."""
    jobs = []
    for rep in range(1, a.repeats + 1):
        jobs.append(Job("strong", "quadplain", 1, a.pi_n, "", rep, os.path.join(bindir, "quadplain"),
                        (str(a.pi_n),), binding.env(1)))
        for t in a.threads:
            for prog in ("quadguard", "quadmerge"):
                jobs.append(Job("strong", prog, t, a.pi_n, "", rep, os.path.join(bindir, prog), (str(a.pi_n),),
                                binding.env(t)))
        if n is not None:
            note = "" if n == P.FULL_N else "reduced build"
            jobs.append(Job("strong", "growplain", 1, n, note, rep, os.path.join(growdir, "growplain"), (),
                            binding.env(1)))
            jobs += [Job("strong", "growsplit", t, n, note, rep, os.path.join(growdir, "growsplit"), (),
                         binding.env(t)) for t in a.threads]
    return jobs


def sweep_sizes(limit):
    """N = 1e3, 1e4, ... up to the limit (and the limit itself when it is not a power of ten)."""
    sizes, n = [], 1000
    while n <= limit:
        sizes.append(n)
        n *= 10
    return sizes + ([limit] if not sizes or sizes[-1] != limit else [])


def sweep_repeats(n, repeats):
    """More runs where a run is short: two more per decade below 1e7, so that the medians of runs
    of a few microseconds are still steady."""
    decades = max(0, 7 - len(str(n)) + 1)
    return repeats + 2 * decades


def plan_pi_series(series, sizes, bindir, binding, with_serial):
    """The pi programs over sizes, (N, thread counts, repeats) triples, repeats interleaved."""
    jobs = []
    for rep in range(1, max(r for _, _, r in sizes) + 1):
        for n, counts, repeats in sizes:
            if rep > repeats:
                continue
            if with_serial:
                jobs.append(Job(series, "quadplain", 1, n, "", rep, os.path.join(bindir, "quadplain"), (str(n),),
                                binding.env(1)))
            for t in counts:
                for prog in ("quadguard", "quadmerge"):
                    jobs.append(Job(series, prog, t, n, "", rep, os.path.join(bindir, prog), (str(n),),
                                    binding.env(t)))
    return jobs


def plan_sweep(a, bindir, binding):
    sizes = [(n, a.threads, sweep_repeats(n, a.repeats)) for n in sweep_sizes(a.sweep)]
    return plan_pi_series("sweep", sizes, bindir, binding, with_serial=True)


def plan_weak(a, bindir, binding):
    """Weak scaling: N grows with the team, N = base x T, for the parallel pi programs."""
    return plan_pi_series("weak", [(a.weak * t, [t], a.repeats) for t in a.threads], bindir, binding,
                          with_serial=False)


def subtitle(facts):
    f = dict(facts)
    sizes = f"pi N = {f['pi_n']}" + (f", recurrence N = {f['recurrence_n']} ({f['recurrence_build']})"
                                     if f["recurrence_n"] else "")
    words = f["compiler"].split()
    compiler = f"{words[0]} {words[-1]}" if len(words) > 1 else f["compiler"]
    return (f"{f['host']}: {f['processor']}, {f['cores']} cores, {compiler}\n"
            f"{sizes}; {f['repeats']} repeats; {f['binding']}")


def crossover_lines(rows, model):
    """Per parallel pi program and team size: the smallest N at which it beats quadplain by 10%."""
    lines, marks = [], []
    for prog in ("quadguard", "quadmerge"):
        for t in sorted({r["threads"] for r in rows if r["series"] == "sweep" and r["program"] == prog}):
            if t == 1:
                continue
            measured = stats.measured_crossover(rows, prog, t)
            predicted = model.crossover(prog, t) if model else None
            marks.append((f"{prog} {t}", predicted))
            lines.append(f"- {prog}, {t} threads: beats quadplain by 10% from N = "
                         f"{f'{measured:.3g}' if measured else 'never (within the sweep)'} measured, "
                         f"{f'{predicted:.3g}' if predicted else 'n/a'} predicted")
    return lines, marks


def finish(out, session, facts, model):
    """Write everything derived from the runs kept so far; returns the main table and the plots."""
    rows = stats.weak_efficiency(stats.summarise(session.runs))
    if model:
        model.apply(rows)
    report.write_machine(os.path.join(out, "machine.csv"), facts)
    report.write_summary_csv(os.path.join(out, "summary.csv"), rows)
    table = report.markdown_table([r for r in rows if r["series"] == "strong"], model=bool(model))
    text = ["# Scaling study", ""] + [f"- {k}: {v}" for k, v in facts] + [""] + table
    if session.shortfalls:
        text += ["", "Teams smaller than asked for:", ""] + [f"- {line}" for line in session.shortfalls]
    if model:
        text += ["", "## Calibration (medians; calibration.csv has the 95% intervals)", ""] + model.describe()
    plotted = ["speedup.png"] if plot.speedup_plot(out, rows, subtitle(facts)) else []
    sweep = [r for r in rows if r["series"] == "sweep"]
    if sweep:
        lines, marks = crossover_lines(rows, model)
        text += ["", "## N sweep", ""] + report.markdown_table(sweep, model=bool(model)) + [""] + lines
        plotted += ["sweep.png"] if plot.sweep_plot(out, rows, subtitle(facts), marks) else []
    weak = [r for r in rows if r["series"] == "weak"]
    if weak:
        text += ["", "## Weak scaling (N = base x threads; efficiency = t(1) / t(T))", ""]
        text += report.markdown_table(weak, model=bool(model))
        plotted += ["weak.png"] if plot.weak_plot(out, rows, subtitle(facts)) else []
    report.write_atomic(os.path.join(out, "summary.md"), "\n".join(text) + "\n")
    return table, plotted, rows


STUDY_FILES = ("runs.csv", "machine.csv", "summary.csv", "summary.md", "calibration.csv", "speedup.gp",
               "sweep.gp", "weak.gp")


def run(a):
    binding = P.Binding(no_bind=a.no_bind)
    report.check_out_dir(a.out, STUDY_FILES)
    if a.calibration:
        read_calibration(a.calibration)  # a bad file is refused before anything is built or run
    P.warn_oversubscribed(a.threads)
    bindir = P.release_bin(a.bin)
    n, label = P.recurrence_plan(a.recurrence_n)
    growdir = P.recurrence_bin(n, bindir, a.recurrence_bin) if n is not None else None
    out = report.open_out_dir(a.out)
    jobs = plan(a, bindir, binding, growdir, n)
    if a.sweep:
        jobs += plan_sweep(a, bindir, binding)
    if a.weak:
        jobs += plan_weak(a, bindir, binding)
    model, started, calibrated = None, time.monotonic(), 0.0
    if a.calibration:
        model = Model(read_calibration(a.calibration))
        shutil.copyfile(a.calibration, os.path.join(out, "calibration.csv"))
    elif not a.no_calibrate:
        figures = run_calibration(bindir, a.threads, os.path.join(out, "calibration.csv"), binding.env())
        model = Model(figures) if figures else None
        calibrated = time.monotonic() - started
    log = report.RunLog(os.path.join(out, "runs.csv"))
    session = Session(log=log)
    stopped = None
    try:
        session.execute(jobs, where=out)
    except Stopped as e:
        stopped = e
    finally:
        log.close()
    placements = {}
    for r in session.runs:
        if getattr(r, "placement", ""):
            placements.setdefault(f"placement_{r.program}_{r.threads_requested}", r.placement)
    facts = machine.facts(bindir, binding, [
        ("pi_n", str(a.pi_n)), ("recurrence_n", "" if n is None else str(n)),
        ("recurrence_build", "" if n is None else ("full" if n == P.FULL_N else "reduced")),
        ("repeats", str(a.repeats)), ("threads", " ".join(map(str, a.threads))),
        ("calibration", "measured" if model and not a.calibration else (a.calibration or "none")),
        ("calibration_s", f"{calibrated:.1f}"), ("duration_s", f"{time.monotonic() - started:.1f}"),
        ("completed", "yes" if not stopped else f"no: {stopped}"),
        *sorted(placements.items())])
    table, plotted, rows = finish(out, session, facts, model)
    if stopped:
        raise stopped
    print("\n".join(table))
    print(f"\nwritten: {out}/runs.csv, machine.csv, summary.csv, summary.md" +
          "".join(f", {p}" for p in (["calibration.csv"] if model else []) + plotted))
    for line in session.shortfalls:
        print(f"note: {line}")
    failures = report.failure_lines(session.failures(), rows)
    if failures:
        progress(f"{len(failures)} check(s) failed (the check column of {out}/runs.csv and summary.csv):")
    return report.print_failures(failures)
