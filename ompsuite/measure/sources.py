"""A user's own program given as its source, built as the suite's programs were (docs/class.md,
"How sources are built"). A source that does not compile stops nothing: its Build says why."""
import dataclasses
import hashlib
import json
import os
import re
import shlex
import shutil
from typing import Callable, Dict, List, Optional, Tuple

from ompsuite import catalogue as C
from ompsuite.analyse.derive import warning_count
from ompsuite.errors import SuiteError, os_reason
from ompsuite.escape import printable
from ompsuite.measure.build import installed
from ompsuite.platform import sandbox
from ompsuite.platform.child import ChildResult, run_child
from ompsuite.platform.console import progress
from ompsuite.platform.files import digest, read_bytes, write_atomic
from ompsuite.platform.machine import ROOT
from ompsuite.study import build_of

SOURCE_SUFFIXES = (".c", ".cpp", ".cc", ".cxx")
RECIPE_FILE = "variant-build.json"
VARIANTS = "variants"
BUILD_TIMEOUT_S = 300.0
OUTPUT_CAP = 4 << 20  # of the compiler's messages: a page of warnings is kilobytes
SOURCE_CAP = 16 << 20  # a student's source is kilobytes: a larger file is none
DEPENDENCY_CAP = 256 << 20  # each file a build read, digested for its key
COMPILER_MEMORY = 2 << 30  # of address space: #include "/dev/zero" must not take the machine's memory
_OUT_OF_MEMORY = re.compile(r"out of memory|memory exhausted|cannot allocate memory|bad_alloc", re.I)
# What a cached build was made with besides the source and the flags: a change here rebuilds.
_STAMP_FORM = 2


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
        remedy = ("an installed suite builds no sources: build them with a checkout of the suite, or give "
                  "built programs" if installed() is not None else "configure it again with this version "
                  f"(cmake -S {ROOT} -B {tree}), or give built programs")
        raise SuiteError(f"{tree} does not say how its programs were built ({RECIPE_FILE}), so no source can be "
                         f"built like them: {remedy}", 2) from None
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
    if line := next((ln for ln in lines if _ERROR.search(ln)), lines[0] if lines else ""):
        return printable(line, 300)
    return f"the compiler ended with status {returncode} and said nothing"


_digests: Dict[Tuple[str, int, int, int], str] = {}  # (path, inode, size, mtime): the system's headers once a run


def _dependency_digest(path: str) -> Optional[str]:
    """The digest of a file the compiler read, or None when it is no regular file within the cap."""
    try:
        st = os.stat(path)
        if (seen := (path, st.st_ino, st.st_size, st.st_mtime_ns)) not in _digests:
            _digests[seen] = digest(path, DEPENDENCY_CAP)
        return _digests[seen]
    except (OSError, SuiteError):
        return None


def _dependencies(depfile: str, work: str, copy: str) -> Optional[Dict[str, str]]:
    """Each file the compiler read (its own list, a make rule) but the private copy, with its
    digest; None when the list is missing or a file in it cannot be digested (not kept then)."""
    try:
        with open(depfile, encoding="utf-8", errors="surrogateescape") as f:
            rule = f.read().replace("\\\n", " ")
    except OSError:
        return None
    found: Dict[str, str] = {}
    for word in re.split(r"(?<!\\)\s+", rule.split(": ", 1)[-1].strip()):
        path = os.path.normpath(os.path.join(work, word.replace("\\ ", " ").replace("$$", "$")))
        if not word or path == copy:
            continue
        if (known := _dependency_digest(path)) is None:
            return None
        found[path] = known
    return found


def _cached(stamp: str, key: str, binary: str) -> Tuple[Optional[C.Build], Optional[Dict[str, str]]]:
    """The Build a stamp records for this key and the files it read, when it is still good: each
    of them is as it was, and the program is there (or the source did not compile)."""
    try:
        with open(stamp, encoding="utf-8") as f:
            d = json.load(f)
        read = {str(p): str(h) for p, h in d["read"].items()}
        if d.get("key") != key or any(_dependency_digest(p) != h for p, h in read.items()):
            return None, None
        built = build_of(d["build"])
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return None, None  # none, or unreadable: built again
    return (built, read) if built.error or os.path.isfile(binary) else (None, None)


def _remember(stamp: str, key: str, read: Optional[Dict[str, str]], built: C.Build) -> None:
    if read is None:
        return  # what it was built from is not known whole: built again next time
    try:
        write_atomic(stamp, json.dumps({"key": key, "read": read, "build": built.to_json()}, indent=1) + "\n")
    except OSError as e:
        progress(f"could not record the build of {printable(built.source)} ({os_reason(e)}): it is built again "
                 "next time")


RaceCheck = Callable[[str, str, str], Tuple[C.Race, Tuple[str, ...]]]


def build_variant(name: str, source: str, tree: str, recipe: Recipe, race_check: Optional[RaceCheck] = None
                  ) -> Tuple[str, C.Build]:
    """(program path, Build) of a source, unless built before from what it is built from now. One
    private copy is digested, compiled and race-checked (race_check(copy, workdir, source's folder),
    when given and not done yet). A source that cannot be read fails alone, with a Build saying why."""
    source = os.path.abspath(source)
    shown = printable(os.path.relpath(source) if not os.path.relpath(source).startswith("..") else source)
    folder = os.path.join(tree, VARIANTS)
    # The records in a hidden folder: no variant's name starts with a dot.
    stamps = os.path.join(folder, ".build")
    try:
        os.makedirs(stamps, exist_ok=True)
    except OSError as e:
        raise SuiteError(f"cannot make {printable(folder)} for the variants built from sources: {os_reason(e)}",
                         2) from None
    stamp = os.path.join(stamps, f"{name}.json")
    c_source = source.endswith(".c")
    flags = shlex.join(recipe.flags(c_source))
    work = sandbox.scratch("build")
    try:
        try:
            data = read_bytes(source, SOURCE_CAP)
        except SuiteError as e:
            progress(f"{name}: {e}")
            return os.path.join(folder, name), C.Build(source, recipe.described, flags, "", str(e))
        copy = os.path.join(work, os.path.basename(source))
        with open(copy, "wb") as f:
            f.write(data)
        compiler = _dependency_digest(os.path.realpath(recipe.compiler))
        key = hashlib.sha256(data + json.dumps([_STAMP_FORM, source, recipe.compiler, compiler, recipe.version,
                                                recipe.flags(c_source), c_source]).encode()).hexdigest()
        binary = os.path.join(folder, key[:16], name)  # a folder per build: another run's replaces nothing
        built, read = _cached(stamp, key, binary)
        if built is not None:
            built = dataclasses.replace(built, source=source)
            before = {C.Race.FREE: "no race", C.Race.FOUND: "; ".join(built.race_detail)}.get(built.race)
            progress(f"{name}: {shown} unchanged since it was built" + (" (it does not compile)" if built.error else "")
                     + (f"; race check (as before): {before}" if before else ""))
        else:
            built, read = _compile(name, source, copy, shown, binary, recipe, c_source)
            _remember(stamp, key, read, built)
        if race_check is not None and not built.error and built.race in (C.Race.NOT_RUN, C.Race.SKIPPED):
            race, detail = race_check(copy, work, os.path.dirname(source))
            built = dataclasses.replace(built, race=race, race_detail=detail)
            if race is not C.Race.SKIPPED:  # a skip is tried again: the tools may be installed meanwhile
                _remember(stamp, key, read, built)
    finally:
        sandbox.remove(work)
    return binary, built


def compile_in_sandbox(cmd: List[str], work: str, include: str, timeout_s: float) -> Tuple[ChildResult, str]:
    """A compiler run on a private copy in work, in the sandbox, limited in time, output and
    memory: its result and, for one it stopped or that ran out of memory, why (then not kept)."""
    prefix = os.path.dirname(os.path.dirname(os.path.realpath(cmd[0])))  # a compiler installed in the home folder
    share = [include, *([prefix] if prefix != "/" else [])]
    done = run_child(sandbox.wrap(cmd, work, share), timeout_s=timeout_s, output_cap=OUTPUT_CAP,
                     cwd=work, memory_cap=COMPILER_MEMORY)
    if done.timed_out:
        return done, f"the compiler ran past its {timeout_s:g}-second limit and was stopped"
    if done.over_cap:
        return done, f"the compiler printed more than {OUTPUT_CAP >> 20} MiB and was stopped"
    status = sandbox.signalled(done.returncode, done.argv)
    if status and (status < 0 or _OUT_OF_MEMORY.search(done.stderr)):
        return done, f"the compiler needed more than its {COMPILER_MEMORY >> 30} GiB of memory and was stopped"
    return done, ""


def as_path(name: str) -> str:
    """A file name the compiler cannot take for an option."""
    return f"./{name}" if name.startswith("-") else name


def _compile(name: str, source: str, copy: str, shown: str, binary: str, recipe: Recipe, c_source: bool
             ) -> Tuple[C.Build, Optional[Dict[str, str]]]:
    """The Build of the private copy, the program put in place, and what it read (None: not kept)."""
    work, include = os.path.dirname(copy), os.path.dirname(source)
    made, depfile = os.path.join(work, "program"), os.path.join(work, "program.d")
    cmd = recipe.command(as_path(os.path.basename(copy)), c_source, made)
    # Quoted includes from the source's own folder; the list of every file read for the key.
    cmd[1:1] = ["-iquote", include, "-MD", "-MF", depfile]
    done, limited = compile_in_sandbox(cmd, work, include, BUILD_TIMEOUT_S)
    messages = (done.stdout + done.stderr).rstrip("\n")
    error = limited or (first_error(messages, done.returncode) if done.returncode != 0 or not os.path.isfile(made)
                        else "")
    temporary = f"{binary}.new{os.getpid()}"
    try:
        if not error:
            os.makedirs(os.path.dirname(binary), exist_ok=True)
            shutil.copy(made, temporary)  # with its mode
            os.replace(temporary, binary)
    except OSError as e:
        raise SuiteError(f"--program {name}: cannot put its program in place at {printable(binary)}: "
                         f"{os_reason(e)}") from None
    warned = warning_count(messages)
    said = f" ({warned} warning{'s' if warned != 1 else ''})" if warned else ""
    progress(f"{name}: does not compile: {error}" if error else f"{name}: built from {shown}{said}")
    read = None if limited else _dependencies(depfile, work, copy)
    return C.Build(source, recipe.described, shlex.join(recipe.flags(c_source)), messages, error), read


def folder_programs(folder: str) -> List[C.VariantArg]:
    """Every source and every executable regular file in FOLDER (not its subfolders, no hidden
    file), named after its file stem; a source is of kind pi, a program's kind is read from it."""
    where = f"--programs {printable(folder)}"
    try:
        names = sorted(entry for entry in os.listdir(folder) if not entry.startswith("."))
    except OSError as e:
        raise SuiteError(f"{where}: {os_reason(e)}", 2) from None
    found: Dict[str, C.VariantArg] = {}  # by name
    inside = os.path.realpath(folder)
    for entry in names:
        path, shown = os.path.join(folder, entry), printable(entry)
        if os.path.dirname(os.path.realpath(path)) != inside:  # what the folder holds is all that is read
            progress(f"{where}: {shown} is a link out of the folder: left out")
            continue
        source = is_source(entry) and os.path.isfile(path)
        if not source and not (os.path.isfile(path) and os.access(path, os.X_OK)):
            progress(f"{where}: {shown} is neither a source ({', '.join(SOURCE_SUFFIXES)}) nor a program: left out")
            continue
        stem = os.path.splitext(entry)[0] if source else entry
        try:
            C.parse_variant(f"{stem}={path}")
        except SuiteError:
            raise SuiteError(f"{where}: {shown} would be named '{printable(stem)}', but a name must be a letter then "
                             "up to 31 letters, digits, '_', '.' or '-': rename the file", 2) from None
        if stem in found:
            raise SuiteError(f"{where}: {printable(os.path.basename(found[stem].path))} and {shown} would both be "
                             f"named '{stem}': rename one", 2)
        found[stem] = C.VariantArg(stem, path, "pi" if source else None)
    if not found:
        raise SuiteError(f"{where}: no source ({', '.join(SOURCE_SUFFIXES)}) and no program in it", 2)
    return list(found.values())
