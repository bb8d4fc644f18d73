#!/usr/bin/env python3
"""Scaling study: every timed program over a list of thread counts, with repeats.

Writes into the output folder: runs.csv (every run), machine.csv (where it ran), summary.md
(min / median / max time, speedup of the median over the serial baseline, parallel efficiency)
and speedup.png (speedup against threads with the ideal line, drawn by gnuplot when present).
Threads are bound (OMP_PROC_BIND=close, OMP_PLACES=cores) unless --no-bind is given.
"""
import argparse
import csv
import datetime
import os
import platform
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import suitekit as kit  # noqa: E402

PARALLEL = ("quadguard", "quadmerge", "growsplit")
COLUMNS = ["program", "threads_requested", "threads", "problem_size", "repeat", "time_s", "result"]


def thread_list(text):
    try:
        counts = [int(t) for t in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a comma-separated list of thread counts") from None
    if not counts or min(counts) < 1:
        raise argparse.ArgumentTypeError(f"thread counts must be positive, got '{text}'")
    return sorted(set(counts))


def default_threads():
    cores = os.cpu_count() or 1
    counts, t = [], 1
    while t <= cores:
        counts.append(t)
        t *= 2
    return sorted(set(counts + [cores]))


def parse_args(argv):
    ap = argparse.ArgumentParser(prog="scaling.py", description=__doc__.splitlines()[0])
    ap.add_argument("--threads", type=thread_list, default=default_threads(),
                    help="comma-separated thread counts (default 1, 2, 4, ... and the processor count)")
    ap.add_argument("--repeats", type=lambda t: kit.int_option(t, 1), default=5)
    ap.add_argument("--pi-n", type=lambda t: kit.int_option(t, 1, 2147483647), default=100000000)
    ap.add_argument("--recurrence-n", type=lambda t: kit.int_option(t, 1, 2147483646),
                    help="reduced recurrence build with this N (default: full size when memory allows, else 2e8)")
    ap.add_argument("--out", default=None, help="output folder (default out/scaling-DATE-TIME)")
    ap.add_argument("--no-bind", action="store_true", help="leave threads unbound (OMP_PROC_BIND=false)")
    ap.add_argument("--bin", help="take the programs from this folder instead of building them")
    ap.add_argument("--recurrence-bin", help="with --recurrence-n: recurrence programs built for that N")
    a = ap.parse_args(argv)
    if a.recurrence_bin and a.recurrence_n is None:
        ap.error("--recurrence-bin needs --recurrence-n, the N those programs were built for")
    if a.out is None:
        a.out = os.path.join(kit.ROOT, "out", datetime.datetime.now().strftime("scaling-%Y%m%d-%H%M%S"))
    return a


def thread_env(threads, bind):
    env = kit.omp_env(threads, bind=bind)
    if not bind:
        env["OMP_PROC_BIND"] = "false"
        env.pop("OMP_PLACES", None)
    return env


def machine_facts(bindir, bind):
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            m = re.search(r"^model name\s*:\s*(.+)$", f.read(), re.M)
            model = m.group(1) if m else model
    except OSError:
        pass
    mem = 0
    try:
        with open("/proc/meminfo") as f:
            mem = int(re.search(r"MemTotal:\s+(\d+)", f.read()).group(1)) * 1024
    except (OSError, AttributeError):
        pass
    compiler = "unknown"
    cache = os.path.join(os.path.dirname(bindir), "CMakeCache.txt")
    if os.path.exists(cache):
        with open(cache) as f:
            m = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.+)$", f.read(), re.M)
        if m:
            try:
                out = subprocess.run([m.group(1), "--version"], capture_output=True, text=True).stdout
                compiler = out.splitlines()[0] if out else m.group(1)
            except OSError:
                compiler = m.group(1)
    omp = {k: v for k, v in thread_env(1, bind).items() if k.startswith(("OMP_", "GOMP_"))}
    omp.pop("OMP_NUM_THREADS", None)
    return [("processor", model), ("cores", str(os.cpu_count())), ("memory_bytes", str(mem)),
            ("compiler", compiler), ("os", f"{platform.system()} {platform.release()}"),
            ("openmp_environment", " ".join(f"{k}={v}" for k, v in sorted(omp.items())) or "(none)")]


def plan(a, bindir):
    """Runs in order: each repeat runs the serial baselines once and every parallel program at
    every thread count, so drifts of the machine spread over all of them alike."""
    n, label = kit.recurrence_plan(a.recurrence_n, kit.progress)
    jobs = []
    for rep in range(1, a.repeats + 1):
        jobs.append(("quadplain", 1, rep))
        jobs += [(p, t, rep) for t in a.threads for p in ("quadguard", "quadmerge")]
        if n is not None:
            jobs.append(("growplain", 1, rep))
            jobs += [("growsplit", t, rep) for t in a.threads]
    growdir = None
    if n is not None:
        growdir = a.recurrence_bin or (bindir if n == kit.FULL_N else kit.reduced_build(n))
    return jobs, n, label, growdir


def summarise(rows):
    """Markdown lines: one row per program and thread count, baselines first."""
    groups = {}
    for r in rows:
        groups.setdefault((r["program"], r["threads_requested"]), []).append(r)
    base = {}
    for (prog, _), rs in groups.items():
        if prog in kit.SERIAL:
            base[prog] = kit.stats([r["time_s"] for r in rs])[1]
    lines = ["| program | threads | problem size | runs | min s | median s | max s | speedup | efficiency |",
             "|---|---:|---|---:|---:|---:|---:|---:|---:|"]
    order = {p: i for i, p in enumerate(kit.TIMED)}
    curves = {}
    for (prog, req), rs in sorted(groups.items(), key=lambda kv: (order[kv[0][0]], kv[0][1])):
        lo, mid, hi = kit.stats([r["time_s"] for r in rs])
        got = rs[0]["threads"]
        b = base.get(kit.BASELINE.get(prog, prog))
        speedup = b / mid if b and mid > 0 else None
        eff = speedup / got if speedup is not None and got else None
        if prog in PARALLEL and speedup is not None:
            curves.setdefault(prog, []).append((got, speedup))
        size = f"{rs[0]['problem_size']}" + (f" ({rs[0]['size_note']})" if rs[0]["size_note"] else "")
        lines.append(f"| {prog} | {got} | {size} | {len(rs)} | {lo:.6f} | {mid:.6f} | {hi:.6f} | "
                     f"{'%.2f' % speedup if speedup is not None else 'n/a'} | "
                     f"{'%.2f' % eff if eff is not None else 'n/a'} |")
    return lines, curves


def plot(out, curves, max_threads):
    data = os.path.join(out, "speedup.dat")
    with open(data, "w") as f:
        for prog, points in curves.items():
            f.write(f'"{prog}"\n')
            for threads, speedup in sorted(points):
                f.write(f"{threads} {speedup:.6f}\n")
            f.write("\n\n")
    script = os.path.join(out, "speedup.gp")
    with open(script, "w") as f:
        f.write(f"""set terminal pngcairo size 800,560 noenhanced
set output '{os.path.join(out, "speedup.png")}'
set title 'Speedup over the serial baseline (median time)'
set xlabel 'threads'
set ylabel 'speedup'
set key left top
set grid
set xrange [0:{max_threads + 1}]
{"set xtics 1" if max_threads <= 16 else ""}
set yrange [0:*]
plot x title 'ideal' with lines dashtype 2 lc rgb 'gray', \\
     for [i=0:{len(curves) - 1}] '{data}' index i using 1:2 with linespoints pt 7 title columnheader(1)
""")
    if shutil.which("gnuplot") is None:
        kit.progress("gnuplot is not installed (Debian package gnuplot-nox): no speedup.png; "
                     f"the CSV and the table are written, and {script} draws the plot later")
        return False
    proc = subprocess.run(["gnuplot", script], capture_output=True, text=True)
    if proc.returncode != 0:
        kit.progress(f"gnuplot failed: {proc.stderr.strip()}")
        return False
    return True


def main(argv):
    a = parse_args(argv)
    bind = not a.no_bind
    bindir = a.bin or kit.build(os.path.join(kit.ROOT, "build", "release"))
    jobs, n, label, growdir = plan(a, bindir)
    os.makedirs(a.out, exist_ok=True)

    obtained = {t: kit.team_size(bindir, thread_env(t, bind)) for t in a.threads}
    rows = []
    for k, (prog, threads, rep) in enumerate(jobs, 1):
        kit.progress(f"[{k}/{len(jobs)}] {prog} threads={threads} repeat={rep}")
        is_pi = prog in kit.PI_PROGRAMS
        path = os.path.join(bindir if is_pi else growdir, prog)
        out = kit.run_program(path, (str(a.pi_n),) if is_pi else (), env=thread_env(threads, bind))
        size = a.pi_n if is_pi else n
        rows.append({"program": prog, "threads_requested": threads,
                     "threads": 1 if prog in kit.SERIAL else obtained[threads],
                     "problem_size": size, "size_note": "" if is_pi else label,
                     "repeat": rep, "time_s": kit.parse_time(prog, out), "result": kit.parse_result(prog, out)})

    with open(os.path.join(a.out, "runs.csv"), "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=COLUMNS, extrasaction="ignore")
        w.writeheader()
        w.writerows(rows)
    facts = machine_facts(bindir, bind)
    with open(os.path.join(a.out, "machine.csv"), "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["key", "value"])
        w.writerows(facts)
    lines, curves = summarise(rows)
    with open(os.path.join(a.out, "summary.md"), "w") as f:
        f.write("# Scaling study\n\n")
        f.write("".join(f"- {k}: {v}\n" for k, v in facts))
        f.write(f"- repeats: {a.repeats}\n\n")
        f.write("\n".join(lines) + "\n")
    plotted = plot(a.out, curves, max(obtained.values()))
    print("\n".join(lines))
    print(f"\nwritten: {a.out}/runs.csv, machine.csv, summary.md" + (", speedup.png" if plotted else ""))
    return 0


if __name__ == "__main__":
    kit.run_main("scaling.py", main, sys.argv[1:])
