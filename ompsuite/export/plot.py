"""Plots drawn by gnuplot from data and a script written into the study folder. The script uses
paths relative to its own folder, so `gnuplot speedup.gp` there redraws it; the image is drawn
to a temporary name and renamed, so a stale or half-drawn picture never sits beside new data."""
import os
import shutil
import subprocess

from ompsuite.platform.console import progress
from ompsuite.escape import gnuplot_data_label, gnuplot_string, printable
from ompsuite.platform.files import write_atomic


# Every text in a script goes through gnuplot_string: a newline in a value from a study folder
# would end the command and let the rest run as gnuplot commands (system "..." included).
quote = gnuplot_string


def draw(folder, name, script):
    """Write NAME.gp and draw NAME.png with gnuplot: True when drawn, None when gnuplot is not
    installed (said once), False when gnuplot failed (and said why)."""
    png = os.path.join(folder, name + ".png")
    if os.path.exists(png):
        os.remove(png)
    write_atomic(os.path.join(folder, name + ".gp"),
                 f"set terminal pngcairo size 1000,650 noenhanced\nset output {quote(name + '.png.part')}\n"
                 + script + "set output\n")
    if shutil.which("gnuplot") is None:
        progress(f"gnuplot is not installed (Debian package gnuplot-nox): no {name}.png; "
                 f"run 'gnuplot {name}.gp' in {folder} later to draw it")
        return None
    part = png + ".part"
    try:
        proc = subprocess.run(["gnuplot", name + ".gp"], cwd=folder, capture_output=True, text=True,
                              errors="replace", stdin=subprocess.DEVNULL, timeout=120)
        if proc.returncode != 0:
            progress(f"gnuplot failed on {name}.gp: {printable(proc.stderr.strip(), 300)}")
            return False
        os.replace(part, png)
        return True
    except subprocess.TimeoutExpired:
        progress(f"gnuplot took over 120 s on {name}.gp and was stopped")
        return False
    finally:
        if os.path.exists(part):
            os.remove(part)


def _plotted(rows):
    """The parallel programs that have a point style, in the catalogue's order of the rows."""
    entries = []
    for r in rows:
        if r.entry.point and r.entry not in entries:
            entries.append(r.entry)
    return entries


def speedup_plot(folder, rows, subtitle):
    """Speedup of the median against threads obtained, with min–max bars, one point type per
    program, the ideal line up to the largest team obtained, and the model's prediction as lines."""
    blocks, predicted = [], []
    strong = [r for r in rows if r.series == "strong" and r.speedup is not None and r.threads]
    entries = _plotted(strong)
    for colour, entry in enumerate(entries, 1):
        mine = sorted((r for r in strong if r.entry is entry), key=lambda r: r.threads)
        base = mine[0].speedup * mine[0].median_s
        blocks.append((entry, colour, entry.name,
                       [(r.threads, r.speedup, base / r.max_s, base / r.min_s) for r in mine]))
        pred = [(r.threads, r.predicted_speedup) for r in mine if r.predicted_speedup]
        if pred:
            predicted.append((entry, colour, f"{entry.name} predicted", pred))
    if not blocks:
        return False
    top = max(p[0] for *_, pts in blocks for p in pts)
    write_blocks(folder, "speedup.dat", [("ideal", [(1, 1), (top, top)])] + [(b[2], b[3]) for b in blocks + predicted])
    plots = ["'speedup.dat' index 0 using 1:2 with lines dashtype 2 lc rgb 'gray' title columnheader(1)"]
    for i, (entry, colour, label, _) in enumerate(blocks + predicted, 1):
        if label.endswith("predicted"):
            plots.append(f"'speedup.dat' index {i} using 1:2 with lines dashtype 3 lc {colour} title columnheader(1)")
        else:
            plots.append(f"'speedup.dat' index {i} using 1:2:3:4 with yerrorlines pt {entry.point[0]} "
                         f"ps {entry.point[1]} lc {colour} title columnheader(1)")
    script = (f"set title {_title('Speedup over the serial baseline (median, bars: min-max)', subtitle)} "
              "font ',10'\n"
              "set xlabel 'threads obtained'\nset ylabel 'speedup'\nset key below\nset grid\n"
              f"set xrange [0.5:{top + 0.5}]\n" + ("set xtics 1\n" if top <= 16 else "") +
              "set yrange [0:*]\nplot " + ", \\\n     ".join(plots) + "\n")
    return draw(folder, "speedup", script)


def write_blocks(folder, name, blocks):
    write_atomic(os.path.join(folder, name), "".join(
        gnuplot_data_label(label) + "\n" + "".join(" ".join(f"{v:.6g}" for v in p) + "\n" for p in pts) + "\n\n"
        for label, pts in blocks))


def _title(text, subtitle):
    # Each line quoted on its own, joined by gnuplot's own newline, so no text can escape its string.
    return ' . "\\n" . '.join(quote(line) for line in (text + "\n" + subtitle).splitlines())


def sweep_plot(folder, rows, subtitle, crossovers):
    """Speedup over the serial baseline against N (log scale) for each parallel pi program and
    team size, measured (points) and predicted by the model (dashed), the predicted crossovers marked."""
    sweep = [r for r in rows if r.series == "sweep"]
    blocks = []
    for entry in _plotted(sweep):
        for t in sorted({r.threads for r in sweep if r.entry is entry and r.threads}):
            mine = sorted((r for r in sweep if r.entry is entry and r.threads == t), key=lambda r: r.problem_size)
            pts = [(r.problem_size, r.speedup) for r in mine if r.speedup is not None]
            if pts:
                blocks.append((entry, f"{entry.name} {t} threads", pts))
            pred = [(r.problem_size, r.predicted_speedup) for r in mine if r.predicted_speedup]
            if pred:
                blocks.append((entry, f"{entry.name} {t} threads predicted", pred))
    if not blocks:
        return False
    write_blocks(folder, "sweep.dat", [(label, pts) for _, label, pts in blocks])
    plots = ["1.1 with lines dashtype 2 lc rgb 'gray' title 'speedup 1.1'"]
    for i, (entry, label, _) in enumerate(blocks):
        style = "lines dashtype 3" if label.endswith("predicted") else f"linespoints pt {entry.point[0]}"
        plots.append(f"'sweep.dat' index {i} using 1:2 with {style} lc {i // 2 + 1} title columnheader(1)")
    # One marker per predicted crossover, each label at its own height so that close ones stay legible.
    arrows = "".join(f"set arrow from {n:.6g}, graph 0 to {n:.6g}, graph 1 nohead dashtype 4 lc {k + 1}\n"
                     f"set label {quote(f'{label}: predicted crossover')} at {n:.6g}, graph {0.95 - 0.07 * k:.2f} "
                     f"left offset 0.5,0 font ',8' tc lt {k + 1}\n" for k, (label, n) in enumerate(crossovers) if n)
    sizes = [p[0] for *_, pts in blocks for p in pts]
    script = (f"set title {_title('Speedup over the serial baseline against problem size', subtitle)} font ',10'\n"
              f"set logscale x\nset format x '1e%L'\nset xrange [{min(sizes) / 1.5:.6g}:{max(sizes) * 1.5:.6g}]\n"
              "set xlabel 'N (intervals)'\nset ylabel 'speedup'\nset key below\nset grid\nset yrange [0:*]\n"
              + arrows +
              "plot " + ", \\\n     ".join(plots) + "\n")
    return draw(folder, "sweep", script)


def weak_plot(folder, rows, subtitle):
    """Weak scaling efficiency t(1) / t(T) against threads, N = base x T."""
    weak = [r for r in rows if r.series == "weak" and r.efficiency is not None]
    blocks = []
    for entry in _plotted(weak):
        blocks.append((entry, sorted((r.threads, r.efficiency) for r in weak if r.entry is entry)))
    if not blocks:
        return False
    write_blocks(folder, "weak.dat", [(entry.name, pts) for entry, pts in blocks])
    top = max(t for _, pts in blocks for t, _ in pts)
    plots = ["1 with lines dashtype 2 lc rgb 'gray' title 'ideal'"] + [
        f"'weak.dat' index {i} using 1:2 with linespoints pt {entry.point[0]} ps 1.5 lc {i + 1} "
        "title columnheader(1)" for i, (entry, _) in enumerate(blocks)]
    script = (f"set title {_title('Weak scaling: efficiency t(1) / t(T), N = base x T', subtitle)} font ',10'\n"
              f"set xlabel 'threads obtained'\nset ylabel 'efficiency'\nset key left bottom\nset grid\n"
              f"set xrange [0.5:{top + 0.5}]\n" + ("set xtics 1\n" if top <= 16 else "") +
              "set yrange [0:1.2]\nplot " + ", \\\n     ".join(plots) + "\n")
    return draw(folder, "weak", script)


def compare_plot(out, studies, strong_rows):
    """compare.png: strong-scaling speedup against threads, one colour per machine, one point
    shape per program, for the programs that ran with more than one thread. strong_rows(study)
    gives a study's (program, threads, speedup) triples."""
    programs = []
    for s in studies:
        for prog, threads, _ in strong_rows(s):
            if threads > 1 and prog not in programs:
                programs.append(prog)
    clauses, blocks, top, named = [], [], 1, set()
    for m, s in enumerate(studies):
        for p, prog in enumerate(programs):
            points = sorted((t, v) for name, t, v in strong_rows(s) if name == prog and v is not None)
            if not points:
                continue
            top = max(top, points[-1][0])
            if m not in named:  # one key entry per machine, in its colour, naming its processor
                named.add(m)
                cores = s.facts.get("cores")
                what = s.facts.get("processor", "") + (f", {cores} cores" if cores else "")
                clauses.append(f"NaN with lines lc {m + 1} lw 3 title {quote(f'{s.label}: {what}')}")
            clauses.append(f"'compare.dat' index {len(blocks) + 1} using 1:2 with linespoints lc {m + 1} "
                           f"pt {p + 4} dt {p + 1} title {quote(f'{prog} on {s.label}')}")
            blocks.append((f"{prog} on {s.label}", points))
    write_blocks(out, "compare.dat", [("ideal", [(1, 1), (top, top)])] + blocks)
    script = ("set title 'Speedup over the serial baseline (median time) on each machine'\n"
              "set xlabel 'threads'\nset ylabel 'speedup'\nset key below\nset grid\n"
              f"set xrange [0.5:{top + 0.5}]\n" + ("set xtics 1\n" if top <= 16 else "") + "set yrange [0:*]\n"
              "plot 'compare.dat' index 0 using 1:2 with lines dashtype 2 lc rgb 'gray' title 'ideal'" +
              "".join(f", \\\n     {c}" for c in clauses) + "\n")
    return draw(out, "compare", script)
