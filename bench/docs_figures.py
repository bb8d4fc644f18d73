#!/usr/bin/env python3
"""The measured figures of the README and docs/results-2-cores.md, taken again on this machine.

Runs `./runsuite --markdown` and `./scaling --sweep --weak` (their defaults otherwise) one after
the other, and `./runsuite` again beside a CPU hog on one core (stress-ng); then writes
docs/results-2-cores.md whole, copies the study's plots beside it, and puts the commands'
terminal tables into the README and docs/noise.md between their figure markers. Every page
says when, where and with which command its figures were measured. Nothing else is edited: the
prose of the pages reads the figures, so it must not quote them.
Usage: bench/docs_figures.py [--keep DIR]
"""
import argparse
import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import benchlib
from ompsuite.errors import SuiteError  # noqa: E402
from ompsuite.platform.console import progress, run_main  # noqa: E402
from ompsuite.platform.files import read_text, write_atomic  # noqa: E402

ROOT = benchlib.ROOT
PAGE = os.path.join(ROOT, "docs", "results-2-cores.md")
PAGES = {"runsuite": "README.md", "scaling": "README.md", "busy": "docs/noise.md"}  # where each block goes
RUNSUITE = ("./runsuite", "--markdown", "{markdown}")
SCALING = ("./scaling", "--sweep", "--weak", "--out", "{out}")
BUSY = ("./runsuite",)  # at its defaults, as a user would run it
HOG = ("stress-ng", "--cpu", "1", "--taskset", "1", "--quiet")
# The README's generated blocks: each between <!-- figures: NAME --> and <!-- /figures: NAME -->.
MARK = "<!-- figures: {} -->"
END = "<!-- /figures: {} -->"


def run(command, hog=False, **where):
    """(stdout, stderr, seconds, status) of a tool run from the repository; with hog, while a
    CPU hog holds one core."""
    argv = [a.format(**where) for a in command]
    beside = subprocess.Popen(HOG, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) if hog else None
    try:
        return _run(argv)
    finally:
        if beside is not None:
            beside.terminate()
            beside.wait()


def _run(argv):
    progress("running " + " ".join(argv))
    began = time.monotonic()
    proc = subprocess.run(argv, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if proc.returncode not in (0, 3):  # 3: every check passed, some figure untrusted: that is a finding
        raise SuiteError(f"{argv[0]} failed with status {proc.returncode}: {proc.stderr.strip()[-300:]}")
    return proc.stdout, proc.stderr, time.monotonic() - began, proc.returncode


def table(stdout):
    """The terminal table and what follows it, without the programs' own lines before it."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("program "))
    return "\n".join(line for line in lines[start:] if not line.startswith("written in")).rstrip()


def closing(stderr):
    """The closing lines a tool wrote on standard error (untrusted figures, failed checks)."""
    return "\n".join(line for line in stderr.splitlines() if line.startswith(("untrusted:", "  ", "check failed:")))


def block(text, note=""):
    return "```\n" + text + ("\n" + note if note else "") + "\n```"


def page(when, host, suite, scaling, busy, summary_md, modelcheck):
    (suite_out, suite_err, suite_s, suite_status), (study_out, study_err, study_s, study_status) = suite, scaling
    busy_out, busy_err, busy_s, busy_status = busy
    summary = summary_md.split("\n", 1)[1].strip()  # the study's own title line gives way to this page's
    return f"""# One machine's full results: 2 cores

Measured on {when} on `{host}`, a 2-core virtual machine (24 GiB, no swap), by
`python3 bench/docs_figures.py`, which runs the two commands below one after the other and
rewrites this page and the README's tables. Figures older than the code are the code's
figures no longer: run it again after a change that moves them.

The machine's memory is handed back to the hypervisor when freed: the fills' first touches
are mostly the kernel's page faults, see [noise.md](noise.md#this-virtual-machine). The tools
say so themselves in each such row.

## `{' '.join(RUNSUITE[:2])} FILE` (its defaults; {suite_s:.0f} s, exit status {suite_status})

{block(table(suite_out), closing(suite_err))}

## `{' '.join(SCALING[:3])}` (its defaults otherwise; {study_s:.0f} s, exit status {study_status})

{block(table(study_out), closing(study_err))}

Its `summary.md`:

{summary}

![Speedup against threads on a 2-core machine](scaling-2-cores.png)

![Speedup against N on a 2-core machine](sweep-2-cores.png)

## `{' '.join(BUSY)}` beside `{' '.join(HOG[:3])}` ({busy_s:.0f} s, exit status {busy_status})

{block(table(busy_out), closing(busy_err))}

## How well the model explains it: `bench/modelcheck.py`

{block(modelcheck.strip())}
"""


def replace_block(text, name, content):
    """The page's text with the block between its markers for name replaced."""
    pattern = re.compile(re.escape(MARK.format(name)) + r"\n.*?" + re.escape(END.format(name)), re.S)
    if not pattern.search(text):
        raise SuiteError(f"{PAGES[name]} has no {MARK.format(name)} ... {END.format(name)} block")
    return pattern.sub(lambda _: MARK.format(name) + "\n" + content + "\n" + END.format(name), text)


def blocks(page_text):
    """The other pages' blocks, taken from this page's sections in order: runsuite, scaling, busy
    (the consistency test holds the pages to these)."""
    fences = re.findall(r"^## `\./[^\n]*\n\n(```\n.*?\n```)", page_text, re.S | re.M)
    return dict(zip(("runsuite", "scaling", "busy"), fences))


def main(argv):
    ap = argparse.ArgumentParser(prog="docs_figures", description=__doc__.splitlines()[0])
    ap.add_argument("--keep", metavar="DIR", help="keep the study folder here (default: a temporary one, removed)")
    a = ap.parse_args(argv)
    work = tempfile.mkdtemp(prefix="docs-figures-")
    try:
        markdown = os.path.join(work, "runsuite.md")
        out = a.keep or os.path.join(work, "study")
        if shutil.which(HOG[0]) is None:
            raise SuiteError("stress-ng is not installed (Debian package stress-ng): it makes the busy machine")
        suite = run(RUNSUITE, markdown=markdown)
        scaling = run(SCALING, out=out)
        busy = run(BUSY, hog=True)
        study = benchlib.read_study(out)
        check = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "modelcheck.py"), out], cwd=ROOT,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True).stdout
        when = datetime.date.today().isoformat()
        text = page(when, study.fact("host"), suite, scaling, busy, read_text(os.path.join(out, "summary.md")),
                    check.replace(out, "STUDY"))
        write_atomic(PAGE, text)
        for stem, name in (("speedup", "scaling-2-cores.png"), ("sweep", "sweep-2-cores.png")):
            if os.path.exists(os.path.join(out, f"{stem}.png")):
                shutil.copyfile(os.path.join(out, f"{stem}.png"), os.path.join(ROOT, "docs", name))
        for name, content in blocks(text).items():
            path = os.path.join(ROOT, PAGES[name])
            write_atomic(path, replace_block(read_text(path), name, content))
        progress(f"written: {os.path.relpath(PAGE, ROOT)}, its plots, and the tables in " + ", ".join(sorted(set(PAGES.values()))))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    run_main("docs_figures", main, sys.argv[1:])
