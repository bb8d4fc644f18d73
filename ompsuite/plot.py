"""Plots drawn by gnuplot from data and a script written into the study folder. The script uses
paths relative to its own folder, so `gnuplot speedup.gp` there redraws it; the image is drawn
to a temporary name and renamed, so a stale or half-drawn picture never sits beside new data."""
import os
import shutil
import subprocess

from .cli import progress

# Filled circle, open square (drawn larger, so that a circle under it stays visible), triangle.
POINT_TYPES = {"quadguard": 7, "quadmerge": 4, "growsplit": 9}
POINT_SIZES = {"quadguard": 1.3, "quadmerge": 2.2, "growsplit": 1.5}


def quote(text):
    """A gnuplot single-quoted string: only the quote itself needs escaping (doubled)."""
    return "'" + str(text).replace("'", "''") + "'"


def draw(folder, name, script):
    """Write NAME.gp and draw NAME.png with gnuplot when it is installed; True when drawn."""
    png = os.path.join(folder, name + ".png")
    if os.path.exists(png):
        os.remove(png)
    with open(os.path.join(folder, name + ".gp"), "w") as f:
        f.write(f"set terminal pngcairo size 1000,650 noenhanced\nset output {quote(name + '.png.part')}\n")
        f.write(script)
        f.write("set output\n")
    if shutil.which("gnuplot") is None:
        progress(f"gnuplot is not installed (Debian package gnuplot-nox): no {name}.png; "
                 f"run 'gnuplot {name}.gp' in {folder} later to draw it")
        return False
    part = png + ".part"
    try:
        proc = subprocess.run(["gnuplot", name + ".gp"], cwd=folder, capture_output=True, text=True)
        if proc.returncode != 0:
            progress(f"gnuplot failed on {name}.gp: {proc.stderr.strip()}")
            return False
        os.replace(part, png)
        return True
    finally:
        if os.path.exists(part):
            os.remove(part)


def speedup_plot(folder, rows, subtitle):
    """Speedup of the median against threads obtained, with min–max bars, one point type per
    program, the ideal line up to the largest team obtained, and the model's prediction as lines."""
    blocks, predicted = [], []
    strong = [r for r in rows if r["series"] == "strong" and r["program"] in POINT_TYPES and r["speedup"] != ""]
    for prog in POINT_TYPES:
        mine = sorted((r for r in strong if r["program"] == prog), key=lambda r: r["threads"])
        if mine:
            base = mine[0]["speedup"] * mine[0]["median_s"]
            blocks.append((prog, [(r["threads"], r["speedup"], base / r["max_s"], base / r["min_s"]) for r in mine]))
        pred = [(r["threads"], r["predicted_speedup"]) for r in mine if r.get("predicted_speedup")]
        if pred:
            predicted.append((f"{prog} predicted", pred))
    if not blocks:
        return False
    top = max(p[0] for _, pts in blocks for p in pts)
    write_blocks(folder, "speedup.dat", [("ideal", [(1, 1), (top, top)])] + blocks + predicted)
    plots = ["'speedup.dat' index 0 using 1:2 with lines dashtype 2 lc rgb 'gray' title columnheader(1)"]
    for i, (label, _) in enumerate(blocks + predicted, 1):
        prog = label.split()[0]
        colour = list(POINT_TYPES).index(prog) + 1
        if label.endswith("predicted"):
            plots.append(f"'speedup.dat' index {i} using 1:2 with lines dashtype 3 lc {colour} title columnheader(1)")
        else:
            plots.append(f"'speedup.dat' index {i} using 1:2:3:4 with yerrorlines pt {POINT_TYPES[prog]} "
                         f"ps {POINT_SIZES[prog]} "
                         f"lc {colour} title columnheader(1)")
    script = (f"set title {_title('Speedup over the serial baseline (median, bars: min-max)', subtitle)} "
              "font ',10'\n"
              "set xlabel 'threads obtained'\nset ylabel 'speedup'\nset key below\nset grid\n"
              f"set xrange [0.5:{top + 0.5}]\n" + ("set xtics 1\n" if top <= 16 else "") +
              "set yrange [0:*]\nplot " + ", \\\n     ".join(plots) + "\n")
    return draw(folder, "speedup", script)


def write_blocks(folder, name, blocks):
    with open(os.path.join(folder, name), "w") as f:
        for label, pts in blocks:
            f.write(f'"{label}"\n' + "".join(" ".join(f"{v:.6g}" for v in p) + "\n" for p in pts) + "\n\n")


def _title(text, subtitle):
    # Each line quoted on its own, joined by gnuplot's own newline, so no text can escape its string.
    return ' . "\\n" . '.join(quote(line) for line in (text + "\n" + subtitle).splitlines())


def sweep_plot(folder, rows, subtitle, crossovers):
    """Speedup over quadplain against N (log scale) for each parallel pi program and team size,
    measured (points) and predicted by the model (dashed), the predicted crossovers marked."""
    blocks = []
    for prog in ("quadguard", "quadmerge"):
        for t in sorted({r["threads"] for r in rows if r["series"] == "sweep" and r["program"] == prog}):
            pts = sorted((r["problem_size"], r["speedup"]) for r in rows if r["series"] == "sweep"
                         and r["program"] == prog and r["threads"] == t and r["speedup"] != "")
            if pts:
                blocks.append((f"{prog} {t} threads", pts))
            pred = sorted((r["problem_size"], r["predicted_speedup"]) for r in rows if r["series"] == "sweep"
                          and r["program"] == prog and r["threads"] == t and r.get("predicted_speedup"))
            if pred:
                blocks.append((f"{prog} {t} threads predicted", pred))
    if not blocks:
        return False
    write_blocks(folder, "sweep.dat", blocks)
    plots = ["1.1 with lines dashtype 2 lc rgb 'gray' title 'speedup 1.1'"]
    for i, (label, _) in enumerate(blocks):
        prog = label.split()[0]
        style = "lines dashtype 3" if label.endswith("predicted") else f"linespoints pt {POINT_TYPES[prog]}"
        plots.append(f"'sweep.dat' index {i} using 1:2 with {style} lc {i // 2 + 1} title columnheader(1)")
    # One marker per predicted crossover, each label at its own height so that close ones stay legible.
    arrows = "".join(f"set arrow from {n:.6g}, graph 0 to {n:.6g}, graph 1 nohead dashtype 4 lc {k + 1}\n"
                     f"set label {quote(f'{label}: predicted crossover')} at {n:.6g}, graph {0.95 - 0.07 * k:.2f} "
                     f"left offset 0.5,0 font ',8' tc lt {k + 1}\n" for k, (label, n) in enumerate(crossovers) if n)
    sizes = [p[0] for _, pts in blocks for p in pts]
    script = (f"set title {_title('Speedup over quadplain against problem size', subtitle)} font ',10'\n"
              f"set logscale x\nset format x '1e%L'\nset xrange [{min(sizes) / 1.5:.6g}:{max(sizes) * 1.5:.6g}]\n"
              "set xlabel 'N (intervals)'\nset ylabel 'speedup'\nset key below\nset grid\nset yrange [0:*]\n"
              + arrows +
              "plot " + ", \\\n     ".join(plots) + "\n")
    return draw(folder, "sweep", script)


def weak_plot(folder, rows, subtitle):
    """Weak scaling efficiency t(1) / t(T) against threads, N = base x T."""
    blocks = []
    for prog in ("quadguard", "quadmerge"):
        pts = sorted((r["threads"], r["efficiency"]) for r in rows
                     if r["series"] == "weak" and r["program"] == prog and r["efficiency"] != "")
        if pts:
            blocks.append((prog, pts))
    if not blocks:
        return False
    write_blocks(folder, "weak.dat", blocks)
    top = max(t for _, pts in blocks for t, _ in pts)
    plots = ["1 with lines dashtype 2 lc rgb 'gray' title 'ideal'"] + [
        f"'weak.dat' index {i} using 1:2 with linespoints pt {POINT_TYPES[label]} ps 1.5 lc {i + 1} "
        "title columnheader(1)" for i, (label, _) in enumerate(blocks)]
    script = (f"set title {_title('Weak scaling: efficiency t(1) / t(T), N = base x T', subtitle)} font ',10'\n"
              f"set xlabel 'threads obtained'\nset ylabel 'efficiency'\nset key left bottom\nset grid\n"
              f"set xrange [0.5:{top + 0.5}]\n" + ("set xtics 1\n" if top <= 16 else "") +
              "set yrange [0:1.2]\nplot " + ", \\\n     ".join(plots) + "\n")
    return draw(folder, "weak", script)
