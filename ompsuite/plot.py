"""Plots drawn by gnuplot from data and a script written into the study folder. The script uses
paths relative to its own folder, so `gnuplot speedup.gp` there redraws it; the image is drawn
to a temporary name and renamed, so a stale or half-drawn picture never sits beside new data."""
import os
import shutil
import subprocess

from .cli import progress

POINT_TYPES = {"quadguard": 7, "quadmerge": 5, "growsplit": 9}  # filled circle, square, triangle


def quote(text):
    """A gnuplot single-quoted string: only the quote itself needs escaping (doubled)."""
    return "'" + str(text).replace("'", "''") + "'"


def draw(folder, name, script):
    """Write NAME.gp and draw NAME.png with gnuplot when it is installed; True when drawn."""
    png = os.path.join(folder, name + ".png")
    if os.path.exists(png):
        os.remove(png)
    with open(os.path.join(folder, name + ".gp"), "w") as f:
        f.write(f"set terminal pngcairo size 900,600 noenhanced\nset output {quote(name + '.png.part')}\n")
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


def speedup_plot(folder, rows, subtitle, predicted=None):
    """Speedup of the median against threads obtained, with min–max bars, one point type per
    program, the ideal line up to the largest team obtained, and the model's prediction as lines."""
    curves = {}
    for r in rows:
        if r["series"] == "strong" and r["program"] in POINT_TYPES and r["speedup"] != "":
            base = r["speedup"] * r["median_s"]
            curves.setdefault(r["program"], []).append(
                (r["threads"], r["speedup"], base / r["max_s"], base / r["min_s"]))
    if not curves:
        return False
    top = max(t for pts in curves.values() for t, *_ in pts)
    blocks = [("ideal", [(1, 1), (top, top)])]
    for prog, pts in curves.items():
        blocks.append((prog, sorted(pts)))
    for prog, pts in (predicted or {}).items():
        blocks.append((f"{prog} predicted", sorted(pts)))
    with open(os.path.join(folder, "speedup.dat"), "w") as f:
        for label, pts in blocks:
            f.write(f'"{label}"\n' + "".join(" ".join(f"{v:.6g}" for v in p) + "\n" for p in pts) + "\n\n")
    plots = ["'speedup.dat' index 0 using 1:2 with lines dashtype 2 lc rgb 'gray' title columnheader(1)"]
    for i, (label, _) in enumerate(blocks[1:], 1):
        prog = label.split()[0]
        if label.endswith("predicted"):
            plots.append(f"'speedup.dat' index {i} using 1:2 with lines dashtype 3 lc {list(POINT_TYPES).index(prog) + 1}"
                         " title columnheader(1)")
        else:
            plots.append(f"'speedup.dat' index {i} using 1:2:3:4 with yerrorlines pt {POINT_TYPES[prog]} ps 1.5 "
                         f"lc {list(POINT_TYPES).index(prog) + 1} title columnheader(1)")
    title = "Speedup over the serial baseline (median, bars: min-max)\n" + subtitle
    # Each line quoted on its own, joined by gnuplot's own newline, so no text can escape its string.
    joined = ' . "\\n" . '.join(quote(line) for line in title.splitlines())
    script = (f"set title {joined} font ',10'\n"
              "set xlabel 'threads obtained'\nset ylabel 'speedup'\nset key left top\nset grid\n"
              f"set xrange [0.5:{top + 0.5}]\n" + ("set xtics 1\n" if top <= 16 else "") +
              "set yrange [0:*]\nplot " + ", \\\n     ".join(plots) + "\n")
    return draw(folder, "speedup", script)
