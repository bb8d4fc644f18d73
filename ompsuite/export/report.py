"""report.html: a study as one page for a person to read in a browser, whole in itself, every
text the tools did not make up escaped by text() (docs/commands.md, "The report page").
"""
from __future__ import annotations

import collections
import html
import os
import xml.etree.ElementTree as ET
from typing import Dict, Iterable, List, Sequence, Tuple

from ompsuite import catalogue as C
from ompsuite.analyse import derive
from ompsuite.analyse.grades import CRITERIA, DEFAULT, Rubric, class_sources, grade, near_copies
from ompsuite.analyse.stats import ORDER_NOTE
from ompsuite.escape import printable
from ompsuite.export import plot, tables
from ompsuite.export.grades import copies_of
from ompsuite.study import Run, Series, State, Study, Summary

ET.register_namespace("", "http://www.w3.org/2000/svg")  # the plots come back out as plain <svg>, not <ns0:svg>
ET.register_namespace("xlink", "http://www.w3.org/1999/xlink")

# A quoted reason is cut here on a card; the table beside it has it whole.
REASON_LIMIT = 400
with open(os.path.join(os.path.dirname(__file__), "report.css"), encoding="utf-8") as _css:
    STYLE = _css.read()  # inlined in the page, whose policy forbids loading a style sheet


def text(value: object, limit: int = 0) -> str:
    """One line of untrusted text for the page: control characters and directional overrides
    shown as escapes, then HTML's special characters escaped."""
    return html.escape(printable(value, limit or None))


def _tag(name: str, body: str, cls: str = "") -> str:
    return f'<{name} class="{cls}">{body}</{name}>' if cls else f"<{name}>{body}</{name}>"


_STATE_CLASS = {State.OK: "ok", State.FAILED: "fail", State.IMPOSSIBLE: "doubt", State.UNTRUSTED: "doubt"}


# -- The variants' cards ---------------------------------------------------------------------------

def _n(n: int) -> str:
    return tables.fmt_n(n) or str(n)


def _correct(build: C.Build, runs: Sequence[Run]) -> str:
    """The sizes at which every run passed its check, the untimed check sizes first, and a line
    per size where one failed."""
    if build.error:
        return _tag("span", "never run: it does not compile", "bad")
    if not runs:
        return "not run"
    groups: Dict[Tuple[bool, int], List[Run]] = {}
    for r in runs:
        groups.setdefault((r.series is not Series.CHECK, r.problem_size), []).append(r)
    good: Dict[bool, List[str]] = {False: [], True: []}
    bad: List[str] = []
    for (timed, n), rs in sorted(groups.items()):
        failed = [r for r in rs if not r.check.ok]
        where = f"N = {_n(n)}" + ("" if timed else " (untimed check)")
        if failed:
            bad.append(f'<span class="bad">fails</span> at {where}: {len(failed)} of {len(rs)} '
                       f"run{'' if len(rs) == 1 else 's'}: {text(failed[0].check.reason, REASON_LIMIT)}")
        else:
            good[timed].append(_n(n))
    sizes = [f"N = {', '.join(good[timed])} ({what})" for timed, what in ((False, "untimed checks"), (True, "timed"))
             if good[timed]]
    out = [f'<span class="good">correct</span> at {"; ".join(sizes)}'] if sizes else []
    return "<br>".join(out + bad)


def _of(study: Study, entry: C.Program) -> Tuple[C.Build, List[Run], List[Summary]]:
    return (entry.build or C.Build(), [r for r in study.runs if r.program == entry.name],
            [s for s in study.of_series(Series.STRONG) if s.program == entry.name])


def _verdict(build: C.Build, runs: Sequence[Run], rows: Sequence[Summary]) -> Tuple[str, str]:
    """(class, word) of a variant's badge: the worst that applies."""
    if build.error:
        return "fail", "does not compile"
    if build.race is C.Race.FOUND:
        return "fail", "data race"
    if any(not r.check.ok for r in runs) or any(s.state is State.FAILED for s in rows):
        return "fail", "FAIL"
    if not runs:
        return "doubt", "not run"
    worst = next((s.state for s in rows if s.state is not State.OK), None)
    return ("ok", "ok") if worst is None else ("doubt", worst.value)


def _built(build: C.Build) -> str:
    if not build.from_source:
        return "a binary: build unknown"
    compiler = text(build.compiler) if build.compiler else "a compiler not recorded"
    how = f"from <code>{text(build.source)}</code> with {compiler}"
    if build.flags:
        how += f"<br>flags <code>{text(build.flags)}</code>"
    if build.error:
        how += _tag("p", f"does not compile: {text(build.error)}", "bad")
    if build.warnings:
        lines = build.warnings.splitlines()
        what = "the compiler's messages" if build.error else "warnings"
        how += (f'<p class="muted">{len(lines)} line{"" if len(lines) == 1 else "s"} of {what}:</p>'
                "<pre>" + "\n".join(text(line) for line in lines) + "</pre>")
    return how


def _race(build: C.Build) -> str:
    detail = "; ".join(build.race_detail)
    said = f": {text(detail)}" if detail else ""  # race-free: how it was checked (the compiler, the sizes, the teams)
    if build.race is C.Race.FREE:
        return _tag("span", "race-free", "good") + f" (ThreadSanitizer with Archer saw no race{said})"
    if build.race is C.Race.FOUND:
        items = "".join(f"<li>{text(line)}</li>" for line in build.race_detail) or "<li>data race</li>"
        return _tag("span", "data race found:", "bad") + f"<ul>{items}</ul>"
    if build.race is C.Race.SKIPPED:
        return "race check skipped" + said
    if not build.from_source:
        return "race check not run: a binary has no source to instrument"
    if build.error:
        return "race check not run: it does not compile"
    return "race check not run" + said


def _teams(rows: Sequence[Summary], modelled: bool) -> str:
    """Per team of the strong series: median, speedup with its interval, % of floor, bound by."""
    if not rows:
        return '<span class="muted">no timed figures</span>'
    head = ["threads", "median", "speedup", "95% interval", *(["% of floor", "bound by"] if modelled else []), "check"]
    body = []
    for s in rows:
        cells = [text(tables.threads_cell(s)), text(tables.median_cell(s)), tables.fmt_num(s.speedup, ".2f"),
                 text(tables.speedup_interval_cell(s))]
        if modelled:
            cells += [tables.fmt_num(s.pct_floor, ".0f", "%"), text(s.bound_by)]
        cells.append(_tag("span", text(s.state.value), _STATE_CLASS[s.state]))
        body.append("<tr>" + "".join(f'<td class="w">{c}</td>' if h == "bound by" else f"<td>{c}</td>"
                                     for h, c in zip(head, cells)) + "</tr>")
    return ('<div class="scroll"><table class="mini"><thead><tr>' + "".join(f"<th>{h}</th>" for h in head) +
            "</tr></thead><tbody>" + "".join(body) + "</tbody></table></div>")


def card(study: Study, entry: C.Program) -> str:
    build, runs, rows = _of(study, entry)
    cls, word = _verdict(build, runs, rows)
    return "\n".join([
        f'<article class="card {cls}"><header><h3>{text(entry.name)}</h3>'
        f'<span class="kind">{text(entry.kind.name)}</span><span class="badge {cls}">{html.escape(word)}</span>'
        f"</header>",
        f'<p class="path">{text(entry.path or "")}</p><dl>',
        f"<dt>Built</dt><dd>{_built(build)}</dd>",
        f"<dt>Checks</dt><dd>{_correct(build, runs)}</dd>",
        f"<dt>Race check</dt><dd>{_race(build)}</dd>",
        f'<dt class="wide">Speedup, per team</dt><dd class="wide">{_teams(rows, bool(study.calibration))}</dd>',
        "</dl></article>"])


# -- The tables, the notes, the plots, the machine -------------------------------------------------

_WORDS = ("check", "note")  # said in words under the table, as the terminal says them


def summary_table(rows: Sequence[Summary], modelled: bool) -> str:
    """The full table (the Markdown's columns), a row coloured by its check's state. The check
    comes right after the row's name, as its state and numbers of the lines under the table
    that give its reasons and notes, where a wide table's last columns cannot hide them."""
    cols = [c for c in tables.columns(rows, modelled) if c.head not in _WORDS]
    at = next((k + 1 for k, c in enumerate(cols) if c.head == "N"), 1)
    head = [f'<th class="{"r" if c.right else "l"}">{html.escape(c.head)}</th>' for c in cols]
    head.insert(at, '<th class="l">check</th>')
    body: List[str] = []
    notes: List[str] = []
    for s in rows:
        cells = [f'<td class="{"r" if c.right else "l"}">{text(c.cell(s))}</td>' for c in cols]
        mine = tables.row_notes(s)
        marks = "".join(f"<sup>{len(notes) + k}</sup>" for k in range(1, len(mine) + 1))
        notes += [text(f"{s.program} {tables.team_label(s)} N={_n(s.problem_size)}: {line}") for line in mine]
        cls = _STATE_CLASS[s.state]
        cells.insert(at, f'<td class="l state"><span class="{cls}">{html.escape(s.state.value)}</span>{marks}</td>')
        body.append(f'<tr class="{cls}">{"".join(cells)}</tr>')
    table = (f'<div class="scroll"><table class="summary"><thead><tr>{"".join(head)}</tr></thead>'
             f'<tbody>{"".join(body)}</tbody></table></div>')
    if notes:
        table += '<ol class="rownotes">' + "".join(f"<li>{line}</li>" for line in notes) + "</ol>"
    return table


def _items(lines: Iterable[str]) -> str:
    return "<ul>" + "".join(f"<li>{line}</li>" for line in lines) + "</ul>"


def _inline_svg(svg: str, label: str) -> str:
    """A plot's SVG for the page: parsed and written out again, which drops its prolog, document
    type and comments; its metadata, any script and any handler go too, and it takes the
    page's width."""
    root = ET.fromstring(svg)
    for parent in list(root.iter()):
        for child in list(parent):
            if child.tag.rpartition("}")[2] in ("metadata", "script", "foreignObject"):
                parent.remove(child)
        for attr in [a for a in parent.attrib if a.rpartition("}")[2].lower().startswith("on")]:
            del parent.attrib[attr]
    for attr in ("width", "height"):
        root.attrib.pop(attr, None)
    root.set("role", "img")
    root.set("aria-label", label)
    return ET.tostring(root, encoding="unicode")


_PLOT_TITLES = {"speedup": "Speedup against threads", "sweep": "Speedup against problem size",
                "weak": "Weak scaling", "class": "The class's pi programs"}


def plots_section(study: Study, stems: Sequence[str] = plot.STUDY_PLOTS[:-1]) -> str:
    drawn, why = plot.svgs(study, stems)
    if why:
        return _tag("p", text(why), "muted")
    if not drawn:
        return _tag("p", "no plots: nothing in this study to draw", "muted")
    out = []
    for stem, svg in drawn:
        title = _PLOT_TITLES.get(stem, stem)
        try:
            figure = _inline_svg(svg, title)
        except ET.ParseError as e:
            figure = _tag("p", text(f"the {stem} plot could not be read back: {e}"), "bad")
        out.append(f"<figure><figcaption>{html.escape(title)}</figcaption>{figure}</figure>")
    return "\n".join(out)


# -- The page --------------------------------------------------------------------------------------

def _overview(study: Study) -> str:
    """One line on what the rows are worth, and the study's stop if it did not complete."""
    counts = collections.Counter(s.state for s in study.summaries)
    failed_runs = sum(not r.check.ok for r in study.runs)
    words = [f'<span class="pill {_STATE_CLASS[st]}">{counts[st]} {html.escape(st.value)}</span>'
             for st in State if counts.get(st)]
    line = f"{len(study.summaries)} rows: " + " ".join(words)
    if failed_runs:
        line += f' <span class="pill fail">{failed_runs} failed run{"" if failed_runs == 1 else "s"}</span>'
    out = _tag("p", line, "overview")
    if not study.completed:
        out += _tag("p", f"This study did not complete: {text(study.stopped or 'stopped')}. "
                         "Its figures rest on the runs it has.", "banner")
    return out


def _section(title: str, body: str, ident: str) -> str:
    return f'<section id="{ident}"><h2>{html.escape(title)}</h2>\n{body}\n</section>'


def class_section(study: Study, rubric: Rubric) -> str:
    """One row per program, best grade first (then speedup): its state, diagnosis, speedup at
    each team beside the suite's best there, and points; the near-copies and the plot under it."""
    grades, copies = grade(study, rubric), near_copies(class_sources(study))
    strong = study.of_series(Series.STRONG)
    teams = sorted({t for g in grades for t, _ in g.speedups})
    suite = {t: max((s.speedup or 0.0 for s in strong if s.threads == t and s.state is State.OK and s.entry
                     and s.entry.parallel and not s.entry.variant and s.entry.kind is C.PI), default=0.0)
             for t in teams}
    head = ["program", "state", "diagnosis", *(f"speedup at {t}" + (f"<br><small>suite {suite[t]:.2f}</small>"
                                                                   if suite[t] else "") for t in teams), "points"]
    body = []
    for g in sorted(grades, key=lambda g: (-g.total, -max((x for _, x in g.speedups), default=0.0))):
        cls, word = _verdict(*_of(study, study.catalogue.get(g.program)))
        said = [text(g.diagnosis, REASON_LIMIT)] + [text(n) for n in dict.fromkeys(
            n for s in strong if s.program == g.program for n in s.notes if n == ORDER_NOTE)]
        if copies_of(g.program, copies):
            said.append(f"nearly the same source as {text(copies_of(g.program, copies))}")
        speed = dict(g.speedups)
        cells = [text(g.program), _tag("span", html.escape(word), f"badge {cls}"), "<br>".join(x for x in said if x),
                 *(tables.fmt_num(speed.get(t), ".2f") for t in teams), f"{g.total:g} / {g.max_total:g}"]
        body.append(f'<tr class="{cls}">' + "".join(f"<td>{c}</td>" for c in cells) + "</tr>")
    table = ('<table class="class"><thead><tr>' + "".join(f"<th>{h}</th>" for h in head) + "</tr></thead><tbody>" +
             "".join(body) + "</tbody></table>")
    used = ", ".join(f"{c.replace('_', ' ')} {rubric.of(c):g}" for c in CRITERIA)
    note = _tag("p", f"Points: {used}; performance by {html.escape(rubric.measure)} (docs/class.md). Near-copies "
                     "are said, no points taken.", "muted")
    return table + note + plots_section(study, ("class",))


def page(study: Study, rubric: Rubric = DEFAULT) -> str:
    f = study.fact
    host, date = f("host", "an unnamed host"), f("date").replace("T", " ")
    model = bool(study.calibration)
    about = [x for x in (date, f("processor"), f("cores") and f"{f('cores')} cores", f("compiler")) if x]
    sections = []
    if variants := study.catalogue.variants():
        if any(e.kind is C.PI for e in variants):
            sections.append(_section("Class", class_section(study, rubric), "class"))
        sections.append(_section("Variants", '<div class="cards">' + "\n".join(card(study, e) for e in variants) +
                                 "</div>", "variants"))
    tables_html = summary_table(study.of_series(Series.STRONG), model)
    if sweep := study.of_series(Series.SWEEP):
        tables_html += "<h3>N sweep</h3>" + summary_table(sweep, model)
        if study.crossovers:
            tables_html += _items(tables.crossover_text(study, c, text) for c in study.crossovers)
    if weak := study.of_series(Series.WEAK):
        tables_html += "<h3>Weak scaling (N = base × threads; efficiency = t(1) / t(T))</h3>"
        tables_html += summary_table(weak, model)
    sections.append(_section("Summary", tables_html, "summary"))
    if notes := [text(n) for n in (*study.notes, *derive.doubt_lines(study), *tables.team_lines(study))]:
        sections.append(_section("Notes", _items(notes), "notes"))
    sections.append(_section("Plots", plots_section(study), "plots"))
    facts = "".join(f"<dt>{text(k)}</dt><dd>{text(v)}</dd>" for k, v in tables.machine_facts(study))
    sections.append(_section("Machine", f'<dl class="facts">{facts}</dl>', "machine"))
    title = f"ompsuite results on {printable(host)}" + (f", {printable(date)}" if date else "")
    return "\n".join([
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        # Nothing to fetch and nothing to run, whatever a quoted text holds.
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">",
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{html.escape(title)}</title>",
        f"<style>\n{STYLE}</style></head><body><main>",
        f"<header><h1>Results on {text(host)}</h1>",
        _tag("p", " · ".join(text(x) for x in about), "sub"),
        _overview(study), "</header>",
        *sections,
        "</main></body></html>", ""])

