"""A user's own program given as its source (--program NAME=SOURCE.cpp, --programs DIR): built
with the compiler and the flags that built the suite's programs, as the build tree recorded them
(variant-build.json, written by cmake/SuiteFlags.cmake), into that tree's variants/ folder, and
only again when the source or the flags change. A source that does not compile is no reason to
stop: its Build says why, and the variant's rows fail with it."""
import dataclasses
import hashlib
import json
import os
import re
import shlex
from typing import Callable, Dict, List, Optional, Tuple

from ompsuite import catalogue as C
from ompsuite.analyse.derive import warning_count
from ompsuite.errors import SuiteError, os_reason
from ompsuite.escape import printable
from ompsuite.platform.child import run_child
from ompsuite.platform.console import progress
from ompsuite.platform.files import write_atomic
from ompsuite.study import build_of

SOURCE_SUFFIXES = (".c", ".cpp", ".cc", ".cxx")
RECIPE_FILE = "variant-build.json"
VARIANTS = "variants"
BUILD_TIMEOUT_S = 300.0
OUTPUT_CAP = 4 << 20  # of the compiler's messages: a page of warnings is kilobytes
# What a cached build was made with besides the source and the flags: a change here rebuilds.
_STAMP_FORM = 1


def is_source(path: str) -> bool:
    return os.path.splitext(path)[1] in SOURCE_SUFFIXES


@dataclasses.dataclass(frozen=True)
class Recipe:
    """How the build tree built the suite's programs."""
    compiler: str                 # its path
    version: str                  # "GNU 12.2.0", as CMake names it
    common: Tuple[str, ...]       # the build type's, the exactness, warning, target and OpenMP flags
    cxx: Tuple[str, ...]          # the language standard, for C++
    c: Tuple[str, ...]            # for C (-x c and its standard)
    link: Tuple[str, ...]         # OpenMP and its libraries, the math library

    @property
    def described(self) -> str:
        return f"{self.version} ({self.compiler})"

    def flags(self, c_source: bool) -> Tuple[str, ...]:
        return (*self.common, *(self.c if c_source else self.cxx), *self.link)

    def command(self, source_name: str, c_source: bool, out: str) -> List[str]:
        # -x none after a C source: the libraries that follow are no C.
        return [self.compiler, *self.common, *(self.c if c_source else self.cxx), source_name,
                *(["-x", "none"] if c_source else []), "-o", out, *self.link]


def read_recipe(tree: str) -> Recipe:
    path = os.path.join(tree, RECIPE_FILE)
    try:
        with open(path, encoding="utf-8") as f:
            d = json.load(f)
        lists = {k: tuple(str(x) for x in d[k]) for k in ("compiler", "common", "cxx", "c", "link")}
        if len(lists["compiler"]) != 2:
            raise ValueError("compiler is not [path, version]")
    except FileNotFoundError:
        raise SuiteError(f"{tree} does not say how its programs were built ({RECIPE_FILE}), so no source can be "
                         "built like them: configure it again with this version (cmake -S . -B TREE), or give "
                         "built programs", 2) from None
    except OSError as e:
        raise SuiteError(f"cannot read {path}: {os_reason(e)}", 2) from None
    except (ValueError, KeyError, TypeError) as e:
        raise SuiteError(f"{path} is damaged ({printable(e, 80)}): configure the tree again", 2) from None
    return Recipe(lists["compiler"][0], lists["compiler"][1], lists["common"], lists["cxx"], lists["c"],
                  lists["link"])


_ERROR = re.compile(r"\berror\b|undefined reference", re.I)


def first_error(messages: str, returncode: Optional[int]) -> str:
    """The compiler's first error line, or its first line, or how it ended."""
    lines = [ln.strip() for ln in messages.splitlines() if ln.strip()]
    line = next((ln for ln in lines if _ERROR.search(ln)), lines[0] if lines else "")
    if line:
        return printable(line, 300)
    return f"the compiler ended with status {returncode} and said nothing"


def _key(source_bytes: bytes, recipe: Recipe, c_source: bool) -> str:
    h = hashlib.sha256(source_bytes)
    h.update(json.dumps([_STAMP_FORM, recipe.compiler, recipe.version, recipe.flags(c_source), c_source]).encode())
    return h.hexdigest()


def _cached(stamp: str, key: str, binary: str) -> Optional[C.Build]:
    """The Build a stamp records for this key, when it is still good (the program is there, or
    the source did not compile)."""
    try:
        with open(stamp, encoding="utf-8") as f:
            d = json.load(f)
        if d.get("key") != key:
            return None
        built = build_of(d["build"])
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return None  # none, or unreadable: built again
    return built if built.error or os.path.isfile(binary) else None


def _remember(stamp: str, key: str, built: C.Build) -> None:
    try:
        write_atomic(stamp, json.dumps({"key": key, "build": built.to_json()}, indent=1) + "\n")
    except OSError as e:
        progress(f"could not record the build of {printable(built.source)} ({os_reason(e)}): it is built again "
                 "next time")


RaceCheck = Callable[[str, str], Tuple[C.Race, Tuple[str, ...]]]


def build_variant(name: str, source: str, tree: str, recipe: Recipe, race_check: Optional[RaceCheck] = None
                  ) -> Tuple[str, C.Build]:
    """(program path, Build) of a source, built into TREE/variants/NAME unless built there from
    this source with these flags before. race_check(source, workdir), when given, runs for a
    source that compiled and was not checked yet (or was skipped for want of the tools)."""
    source = os.path.abspath(source)
    shown = printable(os.path.relpath(source) if not os.path.relpath(source).startswith("..") else source)
    try:
        with open(source, "rb") as f:
            data = f.read()
    except OSError as e:
        raise SuiteError(f"--program {name}: cannot read {printable(source)}: {os_reason(e)}", 2) from None
    folder = os.path.join(tree, VARIANTS)
    # The records and the race check's copies in hidden folders: no variant's name starts with a dot.
    stamps, checked = os.path.join(folder, ".build"), os.path.join(folder, ".race")
    try:
        for made in (folder, stamps, checked):
            os.makedirs(made, exist_ok=True)
    except OSError as e:
        raise SuiteError(f"cannot make {printable(folder)} for the variants built from sources: {os_reason(e)}",
                         2) from None
    binary, stamp = os.path.join(folder, name), os.path.join(stamps, f"{name}.json")
    c_source = source.endswith(".c")
    key = _key(data, recipe, c_source)
    built = _cached(stamp, key, binary)
    if built is not None:
        built = dataclasses.replace(built, source=source)
        before = {C.Race.FREE: "no race", C.Race.FOUND: "; ".join(built.race_detail)}.get(built.race)
        progress(f"{name}: {shown} unchanged since it was built" + (" (it does not compile)" if built.error else "") +
                 (f"; race check (as before): {before}" if before else ""))
    else:
        built = _compile(name, source, shown, binary, recipe, c_source)
        _remember(stamp, key, built)
    if race_check is not None and not built.error and built.race in (C.Race.NOT_RUN, C.Race.SKIPPED):
        race, detail = race_check(source, checked)
        built = dataclasses.replace(built, race=race, race_detail=detail)
        if race is not C.Race.SKIPPED:  # a skip is tried again: the tools may be installed meanwhile
            _remember(stamp, key, built)
    return binary, built


def _compile(name: str, source: str, shown: str, binary: str, recipe: Recipe, c_source: bool) -> C.Build:
    temporary = f"{binary}.new{os.getpid()}"
    cmd = recipe.command(os.path.basename(source), c_source, temporary)
    # In the source's folder, so that the messages name the file as the student knows it.
    done = run_child(cmd, timeout_s=BUILD_TIMEOUT_S, output_cap=OUTPUT_CAP, cwd=os.path.dirname(source))
    messages = (done.stdout + done.stderr).rstrip("\n")
    error = ""
    if done.timed_out:
        error = f"the compiler ran past its {BUILD_TIMEOUT_S:g}-second limit and was stopped"
    elif done.over_cap:
        error = f"the compiler printed more than {OUTPUT_CAP >> 20} MiB and was stopped"
    elif done.returncode != 0 or not os.path.isfile(temporary):
        error = first_error(messages, done.returncode)
    try:
        if error:
            for path in (temporary, binary):  # an older program must not run in its place
                if os.path.lexists(path):
                    os.remove(path)
        else:
            os.replace(temporary, binary)
    except OSError as e:
        raise SuiteError(f"--program {name}: cannot put its program in place at {printable(binary)}: "
                         f"{os_reason(e)}") from None
    warned = warning_count(messages)
    said = f" ({warned} warning{'s' if warned != 1 else ''})" if warned else ""
    progress(f"{name}: does not compile: {error}" if error else f"{name}: built from {shown}{said}")
    return C.Build(source, recipe.described, shlex.join(recipe.flags(c_source)), messages, error)


def folder_programs(folder: str) -> List[C.VariantArg]:
    """Every source and every executable regular file in FOLDER (not its subfolders, no hidden
    file), named after its file stem; a source is of kind pi, a program's kind is read from it."""
    try:
        names = sorted(os.listdir(folder))
    except OSError as e:
        raise SuiteError(f"--programs {printable(folder)}: {os_reason(e)}", 2) from None
    found: List[C.VariantArg] = []
    taken: Dict[str, str] = {}
    for entry in names:
        path = os.path.join(folder, entry)
        if entry.startswith("."):
            continue
        source = is_source(entry) and os.path.isfile(path)
        program = not source and os.path.isfile(path) and os.access(path, os.X_OK)
        if not (source or program):
            progress(f"--programs {printable(folder)}: {printable(entry)} is neither a source "
                     f"({', '.join(SOURCE_SUFFIXES)}) nor a program: left out")
            continue
        stem = os.path.splitext(entry)[0] if source else entry
        try:
            C.parse_variant(f"{stem}={path}")
        except SuiteError:
            raise SuiteError(f"--programs {printable(folder)}: {printable(entry)} would be named "
                             f"'{printable(stem)}', but a name must be a letter then up to 31 letters, digits, "
                             "'_', '.' or '-': rename the file", 2) from None
        if stem in taken:
            raise SuiteError(f"--programs {printable(folder)}: {printable(taken[stem])} and {printable(entry)} "
                             f"would both be named '{stem}': rename one", 2)
        taken[stem] = entry
        found.append(C.VariantArg(stem, path, "pi" if source else None))
    if not found:
        raise SuiteError(f"--programs {printable(folder)}: no source ({', '.join(SOURCE_SUFFIXES)}) and no program "
                         "in it", 2)
    return found
