"""The scaling study: every timed program over a list of thread counts, with repeats, saved as
it goes into a folder of its own (runs.csv, machine.csv, summary.csv, summary.md, speedup.png)."""
import os

from . import machine, plot, report
from . import programs as P
from .cli import progress
from .session import Job, Session, Stopped
from .stats import summarise


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


def subtitle(facts):
    f = dict(facts)
    sizes = f"pi N = {f['pi_n']}" + (f", recurrence N = {f['recurrence_n']} ({f['recurrence_build']})"
                                     if f["recurrence_n"] else "")
    return (f"{f['host']}: {f['processor']}, {f['cores']} cores, {f['compiler']}\n"
            f"{sizes}; {f['repeats']} repeats; {f['binding']}")


def finish(out, session, facts):
    """Write everything derived from the runs kept so far; returns the summary rows."""
    rows = summarise(session.runs)
    report.write_machine(os.path.join(out, "machine.csv"), facts)
    report.write_summary_csv(os.path.join(out, "summary.csv"), rows)
    table = report.markdown_table([r for r in rows if r["series"] == "strong"])
    text = ["# Scaling study", ""] + [f"- {k}: {v}" for k, v in facts] + [""] + table
    if session.shortfalls:
        text += ["", "Teams smaller than asked for:", ""] + [f"- {line}" for line in session.shortfalls]
    report.write_atomic(os.path.join(out, "summary.md"), "\n".join(text) + "\n")
    plotted = plot.speedup_plot(out, rows, subtitle(facts))
    return rows, table, plotted


def run(a):
    binding = P.Binding(no_bind=a.no_bind)
    bindir = P.release_bin(a.bin)
    n, label = P.recurrence_plan(a.recurrence_n)
    growdir = P.recurrence_bin(n, bindir, a.recurrence_bin) if n is not None else None
    out = report.open_out_dir(a.out)
    for stale in ("speedup.png", "summary.md", "summary.csv"):
        if os.path.exists(os.path.join(out, stale)):
            os.remove(os.path.join(out, stale))
    jobs = plan(a, bindir, binding, growdir, n)
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
        *sorted(placements.items())])
    rows, table, plotted = finish(out, session, facts)
    if stopped:
        raise stopped
    print("\n".join(table))
    print(f"\nwritten: {out}/runs.csv, machine.csv, summary.csv, summary.md" + (", speedup.png" if plotted else ""))
    for line in session.shortfalls:
        print(f"note: {line}")
    failures = session.failures()
    if failures:
        progress(f"{len(failures)} of {len(session.runs)} runs failed their check (the check column of "
                 f"{out}/runs.csv):")
    return report.print_failures(failures)
