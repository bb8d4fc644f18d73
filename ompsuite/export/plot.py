"""Plots of a study, drawn with matplotlib (an optional extra) as PNG and SVG: docs/files.md, "Plots".
Each is a Figure of its own: pyplot's global state would carry one plot's settings into the next."""
from __future__ import annotations

import importlib
import io
import logging
import os
import sys
import sysconfig
import textwrap
import warnings
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, TypeVar

from ompsuite import catalogue as C
from ompsuite.escape import printable
from ompsuite.export.tables import threads_text
from ompsuite.platform.console import progress
from ompsuite.platform.files import write_atomic
from ompsuite.study import Series, State, Study, Summary

Figure = Any  # matplotlib.figure.Figure: matplotlib as Debian ships it has no type information
T = TypeVar("T")

STUDY_PLOTS = ("speedup", "sweep", "weak", "class")
FORMATS = ("png", "svg")
FILE_NAMES = tuple(f"{stem}.{fmt}" for stem in STUDY_PLOTS for fmt in FORMATS)
NOT_INSTALLED = "no plots: matplotlib is not installed for this Python (Debian package python3-matplotlib)"
DEBIAN_PACKAGES = "/usr/lib/python3/dist-packages"
_DOUBTFUL = "grey"


def load() -> Tuple[Any, str]:
    """(the matplotlib.figure module, "") or (None, the line that says why there are no plots)."""
    # matplotlib reports through logging (a font cache being built, a cache folder it cannot
    # write); with no handler those lines would reach standard error past the console.
    logger = logging.getLogger("matplotlib")
    if not logger.handlers:
        logger.addHandler(logging.NullHandler())
    try:
        return importlib.import_module("matplotlib.figure"), ""
    except ImportError as e:
        failure = e
    # The tools run under whichever python3 comes first on PATH (a pyenv one, say), which does
    # not see Debian's python3-matplotlib. Its folder is added, last so that it shadows nothing,
    # only where its compiled parts carry this interpreter's extension suffix: built for the same
    # major.minor version and platform, so they load here.
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ""
    if suffix and DEBIAN_PACKAGES not in sys.path and \
            os.path.exists(os.path.join(DEBIAN_PACKAGES, "matplotlib", "_path" + suffix)):
        sys.path.append(DEBIAN_PACKAGES)
        try:
            return importlib.import_module("matplotlib.figure"), ""
        except ImportError as e:
            sys.path.remove(DEBIAN_PACKAGES)
            failure = e
    if isinstance(failure, ModuleNotFoundError) and (failure.name or "").partition(".")[0] == "matplotlib":
        return None, NOT_INSTALLED
    return None, f"no plots: matplotlib could not be loaded ({printable(failure, 200)})"


def _label(value: object, limit: int = 80) -> str:
    """Text for a plot: one visible line, shown as it is. A pair of $ would start mathematical
    notation (an unbalanced one fails the drawing), and a legend hides a label that starts
    with _."""
    text: str = printable(value, limit).replace("$", r"\$")
    return " " + text if text.startswith("_") else text


def _trusted(s: Summary) -> bool:
    return s.state is State.OK


def _threads(s: Summary) -> float:
    return s.threads or 0


def _plotted(study: Study, series: Series, value: Callable[[Summary], Optional[float]] = lambda s: 0.0
             ) -> List[Tuple[C.Program, List[Summary]]]:
    """The programs drawn (those with a marker: not the baselines), in the rows' order, each with
    its rows of a known team where value(row) is known; a program without such rows is left out."""
    groups: Dict[str, Tuple[C.Program, List[Summary]]] = {}
    for s in study.of_series(series):
        try:
            entry = s.entry or study.catalogue.get(s.program)
        except KeyError:
            continue
        if entry.point and s.threads is not None:
            group = groups.setdefault(s.program, (entry, []))[1]
            if value(s) is not None:
                group.append(s)
    return [(e, rows) for e, rows in groups.values() if rows]


def _marker(entry: C.Program) -> str:
    return entry.point or "o"  # only programs with a marker are drawn


def subtitle(study: Study) -> str:
    """Where and how the study ran: machine, compiler, sizes, repeats and binding."""
    f = study.fact
    recurrence = f("recurrence_n")
    sizes = f"pi N = {f('pi_n', '?')}" + (f", recurrence N = {recurrence} ({f('recurrence_build')})"
                                         if recurrence else "")
    words = f("compiler").split()
    compiler = f"{words[0]} {words[-1]}" if len(words) > 1 else f("compiler", "?")
    # Wrapped, never cut: 110 characters of the title's size fill the figure, 95 leave a margin.
    return "\n".join(_label(part, 95) for line in (
        f"{f('host', '?')}: {f('processor', '?')}, {f('cores', '?')} cores, {compiler}",
        f"{sizes}; {f('repeats', '?')} repeats; {f('binding', '?')}") for part in textwrap.wrap(line, 95)[:2])


def _style(k: int) -> Dict[str, Any]:
    """The k-th program's marker size and layer: later ones drawn larger and beneath, so that
    points of two programs that coincide both stay visible."""
    return {"markersize": 7 + 2 * min(k, 3), "zorder": 4 - 0.1 * min(k, 3)}


class _Canvas:
    """One figure being drawn: its axes, its legend's entries in order, the top of the y axis
    as the trusted values set it, and the doubtful points, drawn once that top is known."""

    def __init__(self, module: Any, title: str, floor: float) -> None:
        self.fig = module.Figure(figsize=(10, 6.5), dpi=100)
        self.ax = self.fig.add_subplot()
        self.ax.set_title(title, fontsize=10)
        self.ax.grid(True, alpha=0.4)
        self.top = floor
        self.handles: List[Any] = []
        self.doubtful: List[Tuple[str, float, float]] = []

    def key(self, handle: Any) -> None:
        self.handles.append(handle[0] if isinstance(handle, list) else handle)

    def trusted(self, *values: Optional[float]) -> None:
        self.top = max([self.top] + [v for v in values if v is not None])

    def doubt(self, rows: Sequence[Summary], marker: str, x: Callable[[Summary], float],
              y: Callable[[Summary], Optional[float]]) -> None:
        self.doubtful += [(marker, x(s), v) for s in rows if not _trusted(s) and (v := y(s)) is not None]

    def line(self, rows: Sequence[Summary], x: Callable[[Summary], float], y: Callable[[Summary], Optional[float]],
             marker: str, draw: Optional[Callable[..., Any]] = None, **style: Any) -> Any:
        """One program's line, in x's order: its trusted points joined (the handle; by draw, ax.plot
        where not given), the others doubtful."""
        rows = sorted(rows, key=x)
        good = [s for s in rows if _trusted(s) and y(s) is not None]
        self.trusted(*(y(s) for s in good))
        self.doubt(rows, marker, x, y)
        return (draw or self.ax.plot)([x(s) for s in good], [y(s) for s in good], marker=marker, **style)

    def predicted(self, rows: Sequence[Summary], x: Callable[[Summary], float], colour: str, label: str) -> None:
        """The model's speedups of one line, dotted."""
        if predicted := [(x(s), s.predicted_speedup) for s in rows if s.predicted_speedup]:
            self.trusted(*(p for _, p in predicted))
            self.key(self.ax.plot([p[0] for p in predicted], [p[1] for p in predicted], linestyle=":", color=colour,
                                  label=_label(f"{label} predicted")))

    def threads_axis(self, top: int, label: str = "threads obtained") -> None:
        self.ax.set_xlabel(label)
        self.ax.set_xlim(0.5, top + 0.5)
        if top <= 16:
            self.ax.set_xticks(range(1, top + 1))

    def finish(self, ylabel: str, columns: int = 3) -> Figure:
        """Hollow grey points; one above the axis sits on its top edge, its value beside it."""
        ax, top = self.ax, self.top * 1.1
        ax.set_ylim(0, top)
        for marker, x, y in self.doubtful:
            shown = min(y, top)
            ax.plot([x], [shown], marker=marker, linestyle="none", markersize=9, markerfacecolor="none",
                    markeredgecolor=_DOUBTFUL, markeredgewidth=1.5, clip_on=False, zorder=5)
            if y > top:
                ax.annotate(f"{y:.3g}", (x, shown), xytext=(6, -12), textcoords="offset points", fontsize=8,
                            color=_DOUBTFUL, annotation_clip=False)
        if self.doubtful:
            self.key(ax.plot([], [], marker="o", linestyle="none", markerfacecolor="none", markeredgecolor=_DOUBTFUL,
                             label="not to be trusted or failed (hollow, grey; kept out of the scale)"))
        ax.set_ylabel(ylabel)
        ax.legend(handles=self.handles, loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=columns, fontsize=9,
                  frameon=False)
        return self.fig


def speedup_figure(module: Any, study: Study) -> Optional[Figure]:
    """speedup.png: the median's speedup against threads obtained (docs/files.md, "Plots")."""
    if not (plotted := _plotted(study, Series.STRONG, lambda s: s.speedup)):
        return None
    top_threads = max(s.threads or 1 for _, rows in plotted for s in rows)
    c = _Canvas(module, "Speedup over the serial baseline (median, bars: min–max)\n" + subtitle(study), top_threads)
    c.key(c.ax.plot([1, top_threads], [1, top_threads], linestyle="--", color="grey", label="ideal"))
    for k, (entry, rows) in enumerate(plotted):
        colour = f"C{k % 10}"
        rows = sorted(rows, key=_threads)
        low, high = [], []
        for s in filter(_trusted, rows):
            y = s.speedup or 0.0
            base = y * (s.median_s or 0.0)  # the baseline's median
            hi = base / s.min_s if s.min_s else y
            low.append(max(y - (base / s.max_s if s.max_s else y), 0.0))
            high.append(max(hi - y, 0.0))
            c.trusted(hi)
        c.key(c.line(rows, _threads, lambda s: s.speedup, _marker(entry), c.ax.errorbar, yerr=[low, high],
                     color=colour, capsize=4, label=_label(entry.name), **_style(k)))
        c.predicted(rows, _threads, colour, entry.name)
    c.threads_axis(top_threads)
    return c.finish("speedup")


def sweep_figure(module: Any, study: Study) -> Optional[Figure]:
    """sweep.png: speedup against N per parallel program and team (docs/files.md, "Plots")."""
    lines: List[Tuple[C.Program, int, List[Summary]]] = []
    for entry, rows in _plotted(study, Series.SWEEP):
        for t in sorted({s.threads for s in rows if s.threads is not None}):
            mine = sorted((s for s in rows if s.threads == t), key=lambda s: s.problem_size)
            if any(s.speedup is not None or s.predicted_speedup for s in mine):
                lines.append((entry, t, mine))
    if not lines:
        return None
    c = _Canvas(module, "Speedup over the serial baseline against problem size\n" + subtitle(study), 1.1)
    c.ax.set_xscale("log")
    sizes = [s.problem_size for _, _, rows in lines for s in rows]
    low_n, high_n = min(sizes) / 1.5, max(sizes) * 1.5
    c.key(c.ax.axhline(1.1, linestyle="--", color="grey", label="speedup 1.1"))
    colours: Dict[Tuple[str, int], str] = {}
    for k, (entry, t, rows) in enumerate(lines):
        colour = colours[(entry.name, t)] = f"C{k % 10}"
        name = f"{entry.name} {threads_text(t)}"
        c.key(c.line(rows, lambda s: s.problem_size, lambda s: s.speedup, _marker(entry), color=colour,
                     label=_label(name), **_style(k)))
        c.predicted(rows, lambda s: s.problem_size, colour, name)
    for x in study.crossovers:
        colour = colours.get((x.program, x.threads), "grey")
        if x.predicted_n is not None and low_n <= x.predicted_n <= high_n:
            c.key(c.ax.axvline(x.predicted_n, linestyle="--", linewidth=1, color=colour,
                               label=_label(f"{x.program} {x.threads}: predicted crossover")))
        if x.measured_n is not None and low_n <= x.measured_n <= high_n:
            c.key(c.ax.plot([x.measured_n], [1.1], marker="x", markersize=10, markeredgewidth=2, linestyle="none",
                            color=colour, label=_label(f"{x.program} {x.threads}: measured crossover")))
    c.ax.set_xlim(low_n, high_n)
    c.ax.set_xlabel("N (intervals)")
    return c.finish("speedup")


def weak_figure(module: Any, study: Study) -> Optional[Figure]:
    """Weak scaling: efficiency t(1) / t(T) against threads, N = base x T, the ideal at 1."""
    if not (plotted := _plotted(study, Series.WEAK, lambda s: s.efficiency)):
        return None
    c = _Canvas(module, "Weak scaling: efficiency t(1) / t(T), N = base x T\n" + subtitle(study), 1.1)
    c.key(c.ax.axhline(1.0, linestyle="--", color="grey", label="ideal"))
    for k, (entry, rows) in enumerate(plotted):
        c.key(c.line(rows, _threads, lambda s: s.efficiency, _marker(entry), color=f"C{k % 10}",
                     label=_label(entry.name), **_style(k)))
    c.threads_axis(max(s.threads or 1 for _, rows in plotted for s in rows))
    return c.finish("efficiency")


def class_figure(module: Any, study: Study) -> Optional[Figure]:
    """A class's pi programs: one bar per program at each team (hollow where its figure is not to
    be trusted), the suite's own parallel programs as reference lines across each team's bars."""
    rows = [s for s in study.of_series(Series.STRONG) if s.threads and s.speedup is not None
            and s.entry is not None and s.entry.kind is C.PI and s.entry.parallel]
    names = list(dict.fromkeys(s.program for s in rows if s.entry is not None and s.entry.variant))
    if not names:
        return None
    teams = sorted({s.threads or 0 for s in rows})
    width = 0.8 / len(names)
    c = _Canvas(module, "The class: speedup over the serial baseline per program (median)\n" + subtitle(study), 1.1)
    for k, name in enumerate(names):
        bars = []
        for s in (s for s in rows if s.program == name):
            if good := _trusted(s):
                c.trusted(s.speedup)
            bars.append(c.ax.bar([teams.index(s.threads or 0) + 0.6 + (k + 0.5) * width], [s.speedup], width * 0.9,
                                 color=f"C{k % 10}" if good else "none", linewidth=1.5, label=_label(name),
                                 edgecolor=f"C{k % 10}", hatch="" if good else "//"))
        c.key(bars[0])
    for k, suite in enumerate(sorted({s.program for s in rows if s.entry is not None and not s.entry.variant})):
        lines = [c.ax.plot([teams.index(s.threads or 0) + 0.55, teams.index(s.threads or 0) + 1.45],
                           [s.speedup, s.speedup], color="black", linestyle=("-", "--", ":")[k % 3],
                           label=_label(f"{suite} (the suite's)"))
                 for s in rows if s.program == suite and _trusted(s)]
        c.trusted(*(s.speedup for s in rows if s.program == suite and _trusted(s)))
        if lines:
            c.key(lines[0])
    c.key(c.ax.bar([0], [0], color="none", edgecolor=_DOUBTFUL, hatch="//", label="not to be trusted (hollow)"))
    c.threads_axis(len(teams))
    c.ax.set_xticks(range(1, len(teams) + 1), [str(t) for t in teams])
    return c.finish("speedup", columns=4)


def render(fig: Figure, fmt: str) -> bytes:
    buf = io.BytesIO()
    # No date in the SVG: the same study draws the same file.
    fig.savefig(buf, format=fmt, bbox_inches="tight", **({"metadata": {"Date": None}} if fmt == "svg" else {}))
    return buf.getvalue()


def save(fig: Figure, folder: str, stem: str) -> List[str]:
    """STEM.png and STEM.svg, each written whole; the names written."""
    for fmt in FORMATS:
        write_atomic(os.path.join(folder, f"{stem}.{fmt}"), render(fig, fmt))
    return [f"{stem}.{fmt}" for fmt in FORMATS]


_FIGURES = {"speedup": speedup_figure, "sweep": sweep_figure, "weak": weak_figure, "class": class_figure}


def _drawn(module: Any, study: Study, stems: Sequence[str] = STUDY_PLOTS) -> Iterator[Tuple[str, Figure]]:
    """The study's figures that have something to show, by stem."""
    for stem in stems:
        if (fig := _FIGURES[stem](module, study)) is not None:
            yield stem, fig


def _with_matplotlib(draw: Callable[[Any], List[T]], say: bool = True) -> Tuple[List[T], str]:
    """(draw(the matplotlib.figure module), "") or ([], the line why there are no plots, said on
    standard error where asked)."""
    module, why = load()
    if module is None:
        if say:
            progress(why)
        return [], why
    with warnings.catch_warnings():  # a glyph a font lacks is drawn as a box, not said on stderr
        warnings.simplefilter("ignore")
        return draw(module), ""


class StudyPlots:
    """The study's plots: speedup, and with those series sweep and weak."""

    def write(self, study: Study, folder: str) -> List[str]:
        return _with_matplotlib(lambda m: [n for stem, fig in _drawn(m, study) for n in save(fig, folder, stem)])[0]


def svgs(study: Study, stems: Sequence[str] = STUDY_PLOTS) -> Tuple[List[Tuple[str, str]], str]:
    """The study's plots drawn in memory, as (stem, SVG text); ([], the line why) without matplotlib."""
    return _with_matplotlib(lambda m: [(stem, render(fig, "svg").decode("utf-8"))
                                       for stem, fig in _drawn(m, study, stems)], say=False)


def compare_figure(module: Any, studies: Sequence[Study], labels: Sequence[str]) -> Optional[Figure]:
    """Strong-scaling speedup against threads: one colour per study, one marker per program, for
    the parallel programs."""
    markers: Dict[str, Tuple[int, str]] = {}
    per_study = []
    for study in studies:
        rows = [(e, [s for s in ss if s.speedup is not None]) for e, ss in _plotted(study, Series.STRONG)]
        for entry, _ in rows:
            markers.setdefault(entry.name, (len(markers), _marker(entry)))
        per_study.append(rows)
    if not any(ss for rows in per_study for _, ss in rows):
        return None
    top_threads = max(s.threads or 1 for rows in per_study for _, ss in rows for s in ss)
    c = _Canvas(module, "Speedup over the serial baseline (median time) on each machine", top_threads)
    c.key(c.ax.plot([1, top_threads], [1, top_threads], linestyle="--", color="grey", label="ideal"))
    for m, (study, label, rows) in enumerate(zip(studies, labels, per_study)):
        colour = f"C{m % 10}"
        cores = study.fact("cores")
        what = study.fact("processor") + (f", {cores} cores" if cores else "")
        c.key(c.ax.plot([], [], color=colour, linewidth=3, label=_label(f"{label}: {what}", 100)))
        for entry, ss in rows:
            k, marker = markers[entry.name]
            c.line(ss, _threads, lambda s: s.speedup, marker, color=colour, **_style(k))
    for name, (k, marker) in markers.items():
        c.key(c.ax.plot([], [], marker=marker, color="black", linestyle="none", label=_label(name)))
    c.threads_axis(top_threads, "threads")
    return c.finish("speedup", columns=2)


def compare_plot(folder: str, studies: Sequence[Study], labels: Sequence[str]) -> List[str]:
    """compare.png and compare.svg in folder; the names written ([] when there is nothing to draw
    or no matplotlib, which one line on standard error says)."""
    def draw(module: Any) -> List[str]:
        fig = compare_figure(module, studies, labels)
        return [] if fig is None else save(fig, folder, "compare")
    return _with_matplotlib(draw)[0]
