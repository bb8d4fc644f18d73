"""Scaling study: every timed program over a list of thread counts, with repeats.

Writes into the output folder, as it goes: runs.csv (every run, checked), then machine.csv
(where it ran), summary.csv and summary.md (median and min-max time, speedup, efficiency,
Karp-Flatt serial fraction, rates, reproducibility, checks) and speedup.png (gnuplot).
Threads are bound (OMP_PROC_BIND=close, OMP_PLACES=cores) unless OMP_PROC_BIND or OMP_PLACES
is already set, which is then kept, or --no-bind is given.
"""
import argparse
import datetime
import os
import textwrap
import time

from ompsuite import catalogue as C
from ompsuite.platform import files
from ompsuite.platform import machine
from ompsuite.measure import plans
from ompsuite.export import plot
from ompsuite.export import results
from ompsuite.platform import signals
from ompsuite.analyse import stats
from ompsuite.export import tables
from ompsuite.platform import topology
from ompsuite.measure.build import ROOT
from ompsuite.measure.calibration import read_calibration, run_calibration
from ompsuite.platform.console import progress, run_main
from ompsuite.errors import SuiteError
from ompsuite.escape import printable
from ompsuite.analyse.model import Model
from ompsuite.cli.options import add_noise, add_programs, add_sizes, add_threads, build_options, count
from ompsuite.platform.topology import default_threads
from ompsuite.measure.prepare import executor, prepare
from ompsuite.study import Run
from ompsuite.measure.session import Session, Stopped

STUDY_FILES = ("runs.csv", "machine.csv", "summary.csv", "summary.md", "calibration.csv", "crossovers.csv",
               "results.json", "topology.xml", "speedup.gp", "sweep.gp", "weak.gp")


def parse(argv):
    ap = argparse.ArgumentParser(prog="scaling", description=__doc__.split("\n\n")[0])
    add_sizes(ap)
    add_threads(ap, "1, 2, 4, ... and the physical core count")
    add_programs(ap)
    add_noise(ap)
    ap.add_argument("--out", metavar="DIR", help="output folder (default out/scaling-DATE-TIME)")
    ap.add_argument("--sweep", nargs="?", const=1000000000, type=count(1000, C.PI_MAX_N), metavar="LIMIT",
                    help="also run the pi programs at N = 1e3, 1e4, ... up to LIMIT (default 1e9) at every "
                         "thread count: speedup against N and the crossover")
    ap.add_argument("--weak", nargs="?", const=100000000, type=count(1, C.PI_MAX_N), metavar="BASE",
                    help="also run the parallel pi programs with N = BASE x threads (default BASE 1e8): weak "
                         "scaling, efficiency t(1) / t(T)")
    o = build_options(ap, ap.parse_args(argv))
    o.threads = o.threads or default_threads()
    if o.weak and o.weak * max(o.threads) > C.PI_MAX_N:
        ap.error(f"--weak {o.weak} with {max(o.threads)} threads needs N = {o.weak * max(o.threads)}, "
                 f"more than the pi programs take ({C.PI_MAX_N})")
    if o.out is None:
        o.out = os.path.join(ROOT, "out", datetime.datetime.now().strftime("scaling-%Y%m%d-%H%M%S"))
    return o


def subtitle(facts):
    f = dict(facts)
    sizes = f"pi N = {f['pi_n']}" + (f", recurrence N = {f['recurrence_n']} ({f['recurrence_build']})"
                                     if f["recurrence_n"] else "")
    words = f["compiler"].split()
    compiler = f"{words[0]} {words[-1]}" if len(words) > 1 else f["compiler"]
    return (f"{f['host']}: {f['processor']}, {f['cores']} cores, {compiler}\n"
            f"{sizes}; {f['repeats']} repeats; {f['binding']}")


def crossovers(rows, model):
    """Per parallel pi program and team size: the smallest N at which it beats its baseline by 10%,
    measured and predicted: (program, threads, measured, predicted) tuples."""
    found = []
    sweep = [r for r in rows if r.series == "sweep" and r.entry.parallel]
    for entry in dict.fromkeys(r.entry for r in sweep):
        for t in sorted({r.threads for r in sweep if r.entry is entry and r.threads and r.threads > 1}):
            found.append((entry, t, stats.measured_crossover(rows, entry.name, t),
                          model.crossover(entry, t) if model else None))
    return found


def crossover_lines(found):
    return [f"- {e.name}, {t} threads: beats {e.baseline} by 10% from N = "
            f"{f'{m:.3g}' if m else 'never (within the sweep)'} measured, {f'{p:.3g}' if p else 'n/a'} predicted"
            for e, t, m, p in found]


def finish(out, session, facts, model, catalogue, topo, topup):
    """Write everything derived from the runs kept so far; returns the main table and the plots."""
    rows = topup.judge(stats.weak_efficiency(stats.summarise(session.runs, catalogue)))
    if model:
        model.apply(rows)
    results.write_machine(os.path.join(out, "machine.csv"), facts)
    results.write_summary_csv(os.path.join(out, "summary.csv"), rows)
    results.write_json(os.path.join(out, "results.json"), session.runs, facts, catalogue, topo)
    strong = [r for r in rows if r.series == "strong"]
    text = ["# Scaling study", ""] + [f"- {k}: {tables.md_cell(v)}" for k, v in facts] + [""]
    text += tables.markdown(strong, modelled=bool(model))
    if session.shortfalls:
        text += ["", "Teams smaller than asked for:", ""] + [f"- {line}" for line in session.shortfalls]
    text += [""] + [f"- {line}" for line in topup.precision_lines(rows)]
    if model:
        text += ["", "## Calibration (medians; calibration.csv has the 95% intervals)", ""] + model.describe()
    plotted = ["speedup.png"] if plot.speedup_plot(out, rows, subtitle(facts)) else []
    sweep = [r for r in rows if r.series == "sweep"]
    if sweep:
        found = crossovers(rows, model)
        files.write_atomic(os.path.join(out, "crossovers.csv"), files.csv_text(
            ["program", "threads", "measured_n", "predicted_n"],
            [[e.name, t, "" if m is None else f"{m:.6g}", "" if p is None else f"{p:.6g}"] for e, t, m, p in found]))
        text += ["", "## N sweep", ""] + tables.markdown(sweep, modelled=bool(model)) + [""] + crossover_lines(found)
        marks = [(f"{e.name} {t}", p) for e, t, _, p in found]
        plotted += ["sweep.png"] if plot.sweep_plot(out, rows, subtitle(facts), marks) else []
    weak = [r for r in rows if r.series == "weak"]
    if weak:
        text += ["", "## Weak scaling (N = base x threads; efficiency = t(1) / t(T))", ""]
        text += tables.markdown(weak, modelled=bool(model))
        plotted += ["weak.png"] if plot.weak_plot(out, rows, subtitle(facts)) else []
    files.write_atomic(os.path.join(out, "summary.md"), "\n".join(text) + "\n")
    return strong, plotted, rows


def run(o):
    # One study per folder: held from before anything is built until everything is written.
    lock = files.claim_out_dir(o.out, STUDY_FILES)
    try:
        return study(o, o.out)
    except SuiteError:
        _remove_if_empty(o.out, lock)
        raise
    finally:
        lock.release()


def _remove_if_empty(folder, lock):
    """A study refused before its first run leaves no empty folder behind to block the next."""
    try:
        if [f for f in os.listdir(folder) if f != files.LOCK_NAME] == []:
            lock.release()
            os.rmdir(folder)
    except OSError:
        pass


def study(o, out):
    prep = prepare(o, o.threads)
    cat, folders = prep.catalogue, prep.folders
    # hwloc's own record of the machine, beside the figures (when hwloc is installed).
    topo = topology.discover(save_xml_to=os.path.join(out, "topology.xml"))
    jobs = plans.small_checks(cat, folders, prep.binding, o.threads)
    jobs += plans.strong(cat, folders, prep.binding, o.threads, o.pi_n, o.repeats, prep.recurrence_n,
                        o.recurrence_repeats, prep.size_note)
    if o.sweep:
        jobs += plans.sweep(cat, folders, prep.binding, o.threads, o.sweep, o.repeats)
    if o.weak:
        jobs += plans.weak(cat, folders, prep.binding, o.threads, o.weak, o.repeats)
    model, started, calibrated = None, time.monotonic(), 0.0
    if o.calibration:
        model = Model(read_calibration(o.calibration))
        files.write_atomic(os.path.join(out, "calibration.csv"), files.read_text(o.calibration))
    elif not o.no_calibrate:
        figures = run_calibration(cat, folders.bindir, o.threads, os.path.join(out, "calibration.csv"),
                                  prep.binding.env(), prep.cores)
        model = Model(figures) if figures else None
        calibrated = time.monotonic() - started
    log = files.RowLog(os.path.join(out, "runs.csv"), Run.fields())
    session = Session(log=log, executor=executor(o))
    topup = plans.TopUp(jobs, o.precision, o.budget)
    stopped = None
    try:
        session.execute(jobs, where=out, topup=topup)
    except Stopped as e:
        stopped = e
    finally:
        log.close()
    placements = {}
    for r in session.runs:
        if r.placement:
            placements.setdefault(f"placement_{r.program}_{r.threads_requested}", r.placement)
    n = prep.recurrence_n
    facts = machine.facts(folders.bindir, prep.binding, prep.cores, topo, [
        ("pi_n", str(o.pi_n)), ("recurrence_n", "" if n is None else str(n)),
        ("recurrence_build", "" if n is None else ("full" if n == C.FULL_N else "reduced")),
        ("repeats", str(o.repeats)), ("recurrence_repeats", str(o.recurrence_repeats)),
        ("threads", " ".join(map(str, o.threads))),
        ("variants", " ".join(f"{e.name}={e.path}:{e.kind.name}" for e in cat.variants())),
        ("calibration", "measured" if model and not o.calibration else (o.calibration or "none")),
        ("calibration_s", f"{calibrated:.1f}"), ("duration_s", f"{time.monotonic() - started:.1f}"),
        ("completed", "yes" if not stopped else f"no: {stopped}"),
        *sorted(placements.items())])
    with signals.shielded():  # a second signal must not cut short the writing of what was measured
        try:
            strong, plotted, rows = finish(out, session, facts, model, cat, topo, topup)
        except (OSError, SuiteError) as e:
            if not stopped:
                raise
            # The reason for the stop comes first; what could not be written after it, second.
            what = e if isinstance(e, SuiteError) else \
                f"cannot write {printable(e.filename or out)}: {files.os_reason(e)}"
            raise Stopped(f"{stopped}; then {what}", stopped.status) from None
    if stopped:
        raise stopped
    print("\n".join(tables.terminal(strong, modelled=bool(model))))
    written = ["runs.csv", "machine.csv", "summary.csv", "summary.md (every column)", "results.json"]
    written += [f for f in ("topology.xml", "calibration.csv", "crossovers.csv") if os.path.exists(os.path.join(out, f))]
    print("\n" + "\n".join(textwrap.wrap(f"written in {out}: " + ", ".join(written + plotted), 100)))
    for line in session.shortfalls + topup.precision_lines(rows):
        print("\n".join(textwrap.wrap(f"note: {line}", 100, subsequent_indent="  ")))
    failures = results.failure_lines(session.failures(), rows)
    if failures:
        progress(f"{len(failures)} check(s) failed (the check column of {out}/runs.csv and summary.csv):")
    return results.print_failures(failures)


def main(argv):
    run_main("scaling", lambda args: run(parse(args)), argv)
