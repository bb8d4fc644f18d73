"""results.json: a study's runs in google benchmark's JSON format, for its compare.py
(docs/files.md, "results.json", gives the layout and why).
"""
from __future__ import annotations

import datetime
import json
import math
import statistics
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Set, Tuple

from ompsuite import catalogue as C
from ompsuite.analyse import derive
from ompsuite.errors import SuiteError
from ompsuite.escape import printable
from ompsuite.platform.interference import FIELDS as WATCHED
from ompsuite.study import FORMAT, Run, Study, read_json

JSON = Dict[str, Any]

# results.json's own version (the context's ompsuite_schema) of its entries and the suite's keys;
# the library's own keys follow the library.
SCHEMA = 1
PREFIX = "ompsuite_"
EXTRA = PREFIX + "extra_"
RUN_KEYS = ("series", "program", "threads", "threads_requested", "problem_size", "repeat", "time_s", "cpu_s",
            "check", "disturbed", "result")
AGGREGATES = ("mean", "median", "stddev", "cv")
# The fields of a study's run that results.json keeps under ompsuite_extra_ where they are set.
RUN_EXTRA = ("size_note", "check_value", "started", "placement", "printed_n", "team_reported", "fault")
JUDGED = ("untrusted", "imprecise")  # the top-ups' judgements, the flags' values, in derive.judgements' order
# Per second: multiplying by an exact power of ten keeps printed decimals whole (0.004211 s is 4211 us).
PER_SECOND = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}
DEFAULT_UNIT = "us"


def benchmark_name(run: JSON) -> str:
    """The run's benchmark: PROGRAM/threads:T[/N:SIZE]/series:SERIES."""
    threads = run["threads"] if run["threads"] else run["threads_requested"]
    size = "" if run["problem_size"] is None else f"/N:{run['problem_size']}"
    return f"{run['program']}/threads:{threads}{size}/series:{run['series']}"


def _excluded(run: JSON) -> Optional[Tuple[str, str]]:
    """Why a run stays out of the figures ('failed', 'disturbed', 'untimed'), or None."""
    if run["check"] != "ok":
        return "failed", run["check"]
    if run["disturbed"]:
        return "disturbed", f"disturbed: {run['disturbed']}"
    if run["time_s"] is None:
        return "untimed", "no time was measured"
    return None


def _is_int(v: Any) -> bool:
    return isinstance(v, int) and not isinstance(v, bool)


def _run_problem(run: Any) -> Optional[str]:
    """What is wrong with a run dict, or None."""
    if not isinstance(run, dict):
        return "is not a dict"
    if missing := [k for k in RUN_KEYS if k not in run]:
        return f"lacks {', '.join(missing)}"
    for key in ("series", "program", "check", "disturbed", "result"):
        if not isinstance(run[key], str):
            return f"{key} is {run[key]!r}, not text"
    if not run["series"] or not run["program"] or "/" in run["series"] + run["program"]:
        return f"series {run['series']!r} and program {run['program']!r} must be names without '/'"
    for key, v, low in (("threads_requested", run["threads_requested"], 0), ("threads", run["threads"], 0),
                        ("problem_size", run["problem_size"], None)):  # all but the team asked may be null
        if not ((v is None and key != "threads_requested") or (_is_int(v) and (low is None or v >= low))):
            return f"{key} is {v!r}"
    if not _is_int(run["repeat"]) or run["repeat"] < 1:
        return f"repeat is {run['repeat']!r}, not a count from 1"
    for key, v in (("time_s", run["time_s"]), ("cpu_s", run["cpu_s"])):
        if not (v is None or (isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) and v >= 0)):
            return f"{key} is {v!r}, not a time in seconds"
    extra = run.get("extra", {})
    if not isinstance(extra, dict):
        return "extra is not a dict"
    for k, v in extra.items():
        if not isinstance(k, str) or not k:
            return f"extra key {k!r} is not a name"
        if not (v is None or isinstance(v, (str, bool, int)) or (isinstance(v, float) and math.isfinite(v))):
            return f"extra {k} is {v!r}: only text, numbers, true/false and null are written"
    return None


def _entry(run: JSON, sequence: int, indices: Tuple[int, int], repetition: int, repetitions: int, unit: str) -> JSON:
    name = benchmark_name(run)
    excluded = _excluded(run)
    timed = run["time_s"] is not None
    e: JSON = {"name": name if excluded is None else f"{name}/{excluded[0]}", "family_index": indices[0],
         "per_family_instance_index": indices[1], "run_name": name, "run_type": "iteration",
         "repetitions": repetitions, "repetition_index": repetition,
         "threads": run["threads"] or run["threads_requested"]}
    if excluded is not None:
        e["error_occurred"], e["error_message"] = True, excluded[1]
    e.update(iterations=1 if timed else 0, real_time=(run["time_s"] or 0.0) * PER_SECOND[unit],
             cpu_time=(run["cpu_s"] or 0.0) * PER_SECOND[unit] if timed else 0.0, time_unit=unit)
    e.update({**{PREFIX + k: run[k] for k in RUN_KEYS}, PREFIX + "sequence": sequence,
              **{EXTRA + k: v for k, v in run.get("extra", {}).items()}})
    return e


def _aggregates(first: JSON, clean: Sequence[JSON], unit: str, repetitions: int) -> List[JSON]:
    """The library's four aggregate entries over the clean runs of one benchmark."""
    scale = PER_SECOND[unit]
    real = [r["time_s"] * scale for r in clean]
    cpu = [r["cpu_s"] * scale for r in clean if r["cpu_s"] is not None]

    def stats(xs: Sequence[float]) -> Dict[str, float]:
        if not xs:
            return dict.fromkeys(AGGREGATES, 0.0)
        mean = sum(xs) / len(xs)
        sd = statistics.stdev(xs) if len(xs) > 1 else 0.0
        return {"mean": mean, "median": statistics.median(xs), "stddev": sd, "cv": sd / mean if mean > 0 else 0.0}

    rs, cs = stats(real), stats(cpu)
    name = first["run_name"]
    return [{"name": f"{name}_{agg}", "family_index": first["family_index"],
             "per_family_instance_index": first["per_family_instance_index"], "run_name": name,
             "run_type": "aggregate", "repetitions": repetitions, "threads": first["threads"],
             "aggregate_name": agg, "aggregate_unit": "percentage" if agg == "cv" else "time",
             "iterations": len(clean), "real_time": rs[agg], "cpu_time": cs[agg], "time_unit": unit,
             PREFIX + "series": first[PREFIX + "series"], PREFIX + "program": first[PREFIX + "program"],
             PREFIX + "threads": first["threads"], PREFIX + "problem_size": first[PREFIX + "problem_size"],
             PREFIX + "runs": len(clean)} for agg in AGGREGATES]


def suite_unit(program: str, catalogue: Optional[C.Catalogue] = None) -> str:
    """The coarsest unit in which every time the program prints is whole (the pi programs print 8
    decimals: ns, the fills 6: us); DEFAULT_UNIT for a program the catalogue does not hold."""
    try:
        tick: float = (catalogue or C.Catalogue()).get(program).kind.printed_tick
    except KeyError:
        return DEFAULT_UNIT
    return next((unit for unit in ("s", "ms", "us") if tick * PER_SECOND[unit] >= 1 - 1e-9), "ns")


def results_document(context: JSON, runs: Iterable[JSON], aggregates: bool = True,
                     unit_of: Callable[[str], str] = suite_unit) -> JSON:
    """The document for `runs` (dicts with RUN_KEYS and an optional `extra` dict) measured in
    `context`: benchmarks by family (program and series, as first run), then size and team, each with
    its runs and aggregates. ValueError for a malformed run or a context JSON cannot hold (an infinity)."""
    ctx = dict(context)  # every caller's context is the suite's own: no other schema comes in
    ctx.setdefault(PREFIX + "schema", SCHEMA)
    if "host" in ctx:
        ctx.setdefault("host_name", ctx["host"])
    ctx.setdefault("date", datetime.datetime.now().astimezone().isoformat(timespec="seconds"))
    ctx.setdefault("library_build_type", "release")
    try:
        json.dumps(ctx, allow_nan=False)
    except (TypeError, ValueError) as e:
        raise ValueError(f"the context cannot be written as JSON: {e}") from None
    groups: Dict[str, List[Tuple[int, JSON]]] = {}
    families: Dict[Tuple[str, str], Set[Tuple[int, int, str]]] = {}
    for i, run in enumerate(runs):
        if problem := _run_problem(run):
            raise ValueError(f"run {i + 1} {problem}")
        name = benchmark_name(run)
        groups.setdefault(name, []).append((i, run))
        families.setdefault((run["program"], run["series"]), set()).add(
            (-1 if run["problem_size"] is None else run["problem_size"], run["threads"] or run["threads_requested"],
             name))
    benchmarks = []
    for family_index, members in enumerate(families.values()):
        for instance, (_, _, name) in enumerate(sorted(members)):
            # Teams asked for that gave the same team share its benchmark, each with its own
            # count of repeats: the repetitions are numbered across them.
            group = sorted(groups[name], key=lambda ir: (int(ir[1]["repeat"]), int(ir[1]["threads_requested"])))
            repeats = [(r["repeat"], r["threads_requested"]) for _, r in group]
            if len(set(repeats)) != len(repeats):
                twice = next(x for x in repeats if repeats.count(x) > 1)
                raise ValueError(f"{name} has repeat {twice[0]} twice (team {twice[1]} asked)")
            unit = unit_of(group[0][1]["program"])
            entries = [_entry(r, i, (family_index, instance), k, len(group), unit) for k, (i, r) in enumerate(group)]
            benchmarks += entries
            clean = [r for _, r in group if _excluded(r) is None]
            if aggregates and len(clean) >= 2:
                benchmarks += _aggregates(entries[0], clean, unit, len(group))
    return {"context": ctx, "benchmarks": benchmarks}


# What of a study's topology record goes into the context: the library's own keys and the suite's
# topology_* keys. Anything else in a study file could clash with the keys this writer owns.
_LIBRARY_KEYS = ("num_cpus", "mhz_per_cpu", "caches", "load_avg")


def study_context(study: Study) -> JSON:
    """The context of a study's results: its topology in the library's keys, its date and host,
    and the whole of its machine facts under ompsuite_machine."""
    facts = dict(study.machine)
    ctx: JSON = {k: v for k, v in study.topology_context.items() if k in _LIBRARY_KEYS or k.startswith("topology_")}
    if "num_cpus" not in ctx and facts.get("cpus", "").isdigit():  # a study without its topology record
        ctx["num_cpus"] = int(facts["cpus"])
    ctx.setdefault("load_avg", [])
    whole = study.to_json()
    judged = [{"flag": flag, "series": c.series.value, "program": c.program, "threads": c.threads,
               "problem_size": c.n, "reason": why}
              for flag, found in zip(JUDGED, derive.judgements(study)) for c, why in found.items()]
    ctx.update(date=facts.get("date", ""), host=facts.get("host", ""), library_build_type="release",
               ompsuite_machine=facts, ompsuite_variants=whole["variants"], ompsuite_calibration=whole["calibration"],
               ompsuite_judged=judged)
    return ctx


def run_record(run: Run, catalogue: C.Catalogue) -> JSON:
    """A run of a study as the plain record results_document takes."""
    entry: C.Program = run.entry if run.entry is not None else catalogue.get(run.program)
    extra: JSON = {"kind": entry.kind.name, "baseline": entry.baseline or ""}
    # The rest of the run, and its interference record where the platform offered one, so that
    # the study read back from this file is the one it was written from.
    whole = run.to_json()
    extra.update((k, whole[k]) for k in RUN_EXTRA if whole[k] not in (None, ""))
    extra.update((k, v) for k, v in (whole["interference"] or {}).items() if v not in (None, ""))
    return {**{k: whole[k] for k in ("series", "program", "threads", "repeat", "time_s", "disturbed", "result")},
            "threads_requested": run.threads_requested or 0,  # 0: the runtime's default team
            "problem_size": None if entry.kind is C.TEAM else run.problem_size,
            "cpu_s": run.cpu_s, "check": str(run.check), "extra": extra}


def study_document(study: Study) -> JSON:
    """results.json of a study: every run, in the order they ran, with the study's machine."""
    return results_document(study_context(study), [run_record(r, study.catalogue) for r in study.runs],
                            unit_of=lambda program: suite_unit(program, study.catalogue))


def document_text(document: JSON) -> str:
    return json.dumps(document, indent=2, allow_nan=False) + "\n"


def read_study(path: str) -> Study:
    """The study in a results.json this module wrote; SuiteError (status 2) naming its fault."""
    return study_of(read_json(path), path)


def study_of(doc: Any, path: str) -> Study:
    """The study of a results document: its machine, variants, calibration and runs as written,
    each run checked against its entry, and every figure derived from them as the run commands
    derive theirs (derive.rederived), with the top-ups' judgements the document carries."""
    def bad(what: str) -> SuiteError:
        return SuiteError(f"{printable(path)}: {what}", 2)

    if not isinstance(doc, dict) or not isinstance(doc.get("context"), dict) \
            or not isinstance(doc.get("benchmarks"), list):
        raise bad("not a benchmark results document (no context object and benchmarks list)")
    ctx = doc["context"]
    if PREFIX + "schema" not in ctx:
        raise bad(f"not written by this suite (its context has no {PREFIX}schema)")
    if ctx[PREFIX + "schema"] != SCHEMA:
        raise bad(f"{PREFIX}schema is {printable(ctx[PREFIX + 'schema'], 20)}; this version reads {SCHEMA}")

    runs: List[Tuple[int, JSON]] = []
    seen: Dict[Tuple[str, int, int], int] = {}
    for n, entry in enumerate(doc["benchmarks"], 1):
        where = f"benchmark entry {n}"
        if not isinstance(entry, dict) or not isinstance(entry.get("name"), str):
            raise bad(f"{where} is not an object with a name")
        where += f" ({printable(entry['name'], 60)})"
        if entry.get("run_type") == "aggregate":
            continue
        if entry.get("run_type") != "iteration":
            raise bad(f"{where} has run_type {printable(entry.get('run_type'), 20)}")
        if missing := [PREFIX + k for k in RUN_KEYS + ("sequence",) if PREFIX + k not in entry]:
            raise bad(f"{where} lacks {', '.join(missing)}")
        run = {k: entry[PREFIX + k] for k in RUN_KEYS}
        run["extra"] = {k[len(EXTRA):]: v for k, v in entry.items() if k.startswith(EXTRA)}
        if problem := _run_problem(run):
            raise bad(f"{where}: the run {printable(problem, 80)}")
        excluded = _excluded(run)
        name = benchmark_name(run)
        if entry["name"] != (name if excluded is None else f"{name}/{excluded[0]}"):
            raise bad(f"{where} does not match its run ({printable(name, 60)}, check {printable(run['check'], 40)})")
        if entry.get("time_unit") not in PER_SECOND or not isinstance(entry.get("real_time"), (int, float)):
            raise bad(f"{where} has no real_time in a known time_unit")
        written = entry["real_time"] / PER_SECOND[entry["time_unit"]]
        if run["time_s"] is not None and not math.isclose(written, run["time_s"], rel_tol=1e-9, abs_tol=1e-12):
            raise bad(f"{where}: real_time {entry['real_time']} {entry['time_unit']} is not its run's "
                      f"{run['time_s']} s")
        key = (name, run["repeat"], run["threads_requested"])
        if key in seen:
            raise bad(f"{where} repeats entry {seen[key]}: {name} repeat {run['repeat']} twice")
        seen[key] = n
        if not _is_int(entry[PREFIX + "sequence"]):
            raise bad(f"{where}: {PREFIX}sequence is not a whole number")
        runs.append((entry[PREFIX + "sequence"], _study_run(run)))
    runs.sort(key=lambda sr: int(sr[0]))
    machine = ctx.get(PREFIX + "machine")
    facts = {str(k): str(v) for k, v in (machine.items() if isinstance(machine, dict) else ())}
    done = facts.get("completed", "yes")
    study = Study.from_json({"format": FORMAT, "machine": [list(p) for p in facts.items()],
                             "variants": ctx.get(PREFIX + "variants", []),
                             "calibration": ctx.get(PREFIX + "calibration", []), "runs": [r for _, r in runs],
                             "completed": done == "yes", "stopped": "" if done == "yes" else done.removeprefix("no: ")},
                            path)
    marks = ctx.get(PREFIX + "judged", [])
    if not isinstance(marks, list) or not all(isinstance(j, dict) and j.get("flag") in JUDGED
                                              and isinstance(j.get("reason"), str) for j in marks):
        raise bad(f"{PREFIX}judged is not a list of judgements")
    # What each judgement was asked for, read as the runs are.
    asked = Study.from_json({"format": FORMAT, "variants": ctx.get(PREFIX + "variants", []), "runs": [
        dict(j, threads_requested=j.get("threads"), threads=None, repeat=1) for j in marks]}, path).runs
    return derive.rederived(study, *({r.config: j["reason"] for j, r in zip(marks, asked) if j["flag"] == flag}
                                     for flag in JUDGED))


def _study_run(run: JSON) -> JSON:
    """A run of a results document in the study's JSON form. A team of 0 stands for the runtime's
    default team asked, or a team no one reported; a run of no size (the team report) has N 0."""
    extra = run["extra"]
    watched = {k: extra[k] for k in WATCHED if k in extra}
    found = {k: run[k] for k in ("series", "program", "repeat", "time_s", "result", "disturbed")}
    found.update({k: extra.get(k) for k in RUN_EXTRA}, threads_requested=run["threads_requested"] or None,
                 threads=run["threads"] or None, problem_size=run["problem_size"] or 0,
                 check=None if run["check"] == "ok" else run["check"].removeprefix("FAIL: "),
                 interference=watched if "watched_s" in watched else None)
    return {k: v for k, v in found.items() if v is not None or k in ("threads", "threads_requested", "check")}
