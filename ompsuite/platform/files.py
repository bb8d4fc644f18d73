"""Files whole or absent, one writer per folder (docs/files.md), and strict readers for the files
the tools read back. Failures are SuiteError with one line naming the file; status 2 where the
input (a path, a file given to read, a setting) is at fault."""
import contextlib
import csv
import errno
import fcntl
import hashlib
import io
import math
import os
import re
import socket
import stat
import sys
import tempfile
from typing import Callable, Generic, Iterable, Iterator, Mapping, Optional, Sequence, TypeVar, Union

from ompsuite.errors import SuiteError, os_reason
from ompsuite.escape import printable

__all__ = ["LOCK_NAME", "MAX_READ_BYTES", "os_reason", "FolderLock", "lock_folder", "claim_out_dir",
           "check_output_path", "write_atomic", "csv_text", "Field", "read_small", "listdir",
           "Finite", "Whole", "Text", "Choice", "read_csv", "read_key_values", "read_text", "parse_env_count"]

LOCK_NAME = ".ompsuite.lock"  # inside a held folder; it is not a result, and is removed on release
MAX_READ_BYTES = 64 << 20  # more than any results file the tools write; a bound on /dev/zero and the like

# The real paths of the folders this process holds: a name in one is the tool's own, not the user's,
# so whatever sits there (a link, a FIFO) is replaced, never written through.
_held: set[str] = set()


# -- One writer per folder -------------------------------------------------------------------------

# flock's answers on a file system that has no locks (Lustre without -o flock, some NFS mounts).
NO_FLOCK = (errno.ENOLCK, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EINVAL)


class FolderLock:
    """A folder held until release() (or the process's end): an flock on LOCK_NAME there, or
    without flock the file itself, which a killed holder leaves behind (docs/files.md)."""

    def __init__(self, folder: str, fd: int) -> None:
        self.folder = folder
        self.path = os.path.join(folder, LOCK_NAME)
        self._fd: Optional[int] = fd
        _held.add(os.path.realpath(folder))

    def release(self) -> None:
        """Remove the lock file while still holding it, then let go; a second call does nothing."""
        if self._fd is None:
            return
        fd, self._fd = self._fd, None
        _held.discard(os.path.realpath(self.folder))
        with contextlib.suppress(OSError):
            os.unlink(self.path)
        os.close(fd)


def _stat(path: str, follow_symlinks: bool = True) -> Optional[os.stat_result]:
    try:
        return os.stat(path, follow_symlinks=follow_symlinks)
    except FileNotFoundError:
        return None


def lock_folder(path: str, what: str = "study") -> FolderLock:
    """Hold the folder path (which must exist) for this process; refused at once (SuiteError status
    2) while another process holds it ('<path> is in use by another <what> (pid N)')."""
    lock_path = os.path.join(path, LOCK_NAME)
    flags = os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC  # never through a link: the pid would go where it points
    for _ in range(100):
        try:
            try:
                fd, created = os.open(lock_path, flags | os.O_CREAT | os.O_EXCL, 0o644), True
            except FileExistsError:
                try:
                    fd, created = os.open(lock_path, flags), False
                except FileNotFoundError:
                    continue  # its holder let go between the two opens
        except OSError as e:
            reason = (f"{LOCK_NAME} there is a symbolic link" if e.errno == errno.ELOOP
                      else "the file system there does not allow new files"  # /proc and the like
                      if e.errno == errno.ENOENT and os.path.isdir(path) else os_reason(e))
            raise SuiteError(f"cannot write in the folder {printable(path)}: {reason}", 2) from None
        try:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise _in_use(path, what, fd) from None
            except OSError as e:
                if e.errno not in NO_FLOCK:
                    raise SuiteError(f"cannot lock the folder {printable(path)}: {os_reason(e)}", 2) from None
                if not created:
                    raise _in_use(path, what, fd, stale_lock=lock_path) from None
                # No flock here: having made the file is holding the folder.
                os.pwrite(fd, f"{os.getpid()} {socket.gethostname()}\n".encode(), 0)
                return FolderLock(path, fd)
            # A holder that let go removed the file we opened; another may have made a new one.
            if (now := _stat(lock_path, follow_symlinks=False)) and os.path.samestat(os.fstat(fd), now):
                os.ftruncate(fd, 0)
                os.pwrite(fd, f"{os.getpid()}\n".encode(), 0)
                return FolderLock(path, fd)
        except OSError as e:
            os.close(fd)
            raise SuiteError(f"cannot write in the folder {printable(path)}: {os_reason(e)}", 2) from None
        except BaseException:
            os.close(fd)
            raise
        os.close(fd)
    raise SuiteError(f"cannot lock the folder {printable(path)}: its lock file keeps being replaced", 2)


def _in_use(path: str, what: str, fd: int, stale_lock: Optional[str] = None) -> SuiteError:
    """The refusal of a folder held by the process the lock file names (its pid, and its host where
    there is no flock: then stale_lock, the file, outlives a killed holder and is named)."""
    try:
        fields = os.pread(fd, 300, 0).decode("ascii", errors="replace").split()
    except OSError:
        fields = []
    pid = fields[0] if fields and fields[0].isdigit() else None
    host = printable(fields[1], 64) if len(fields) > 1 else None
    holder = f"pid {pid or 'unknown'}" + (f" on {host}" if host else "")
    if stale_lock is not None:
        hint = f"no flock on this file system: if that process is gone, remove {printable(stale_lock)}"
        if pid and host == socket.gethostname():
            try:
                os.kill(int(pid), 0)
            except ProcessLookupError:
                hint = f"no such process runs here: a stale lock, remove {printable(stale_lock)}"
            except OSError:
                pass
        holder += f"; {hint}"
    return SuiteError(f"{printable(path)} is in use by another {what} ({holder})", 2)


def claim_out_dir(path: str, owned_files: Iterable[str], what: str = "study") -> FolderLock:
    """Make the output folder path (and its parents) and hold it (a FolderLock); only then, so that two
    tools cannot both find it empty, refuse one holding any of owned_files: results would mix."""
    shown = printable(path)
    try:
        st = _stat(path)
    except OSError as e:
        raise SuiteError(f"cannot use {shown} as the output folder: {os_reason(e)}", 2) from None
    if st is None and os.path.lexists(path):
        raise SuiteError(f"{shown} is a symbolic link to {printable(os.readlink(path))}, which does not exist", 2)
    if st is not None and not stat.S_ISDIR(st.st_mode):
        raise SuiteError(f"{shown} exists and is not a folder", 2)
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as e:
        where = printable(os.path.dirname(os.path.abspath(e.filename or path)))
        reason = (f"permission denied in {where}" if e.errno in (errno.EACCES, errno.EPERM)
                  else f"the file system does not allow new folders in {where}"
                  if e.errno == errno.ENOENT and os.path.isdir(where) else os_reason(e))
        raise SuiteError(f"cannot create the output folder {shown}: {reason}", 2) from None
    lock = lock_folder(path, what)
    try:
        for name in owned_files:
            if os.path.lexists(os.path.join(path, name)):
                raise SuiteError(f"{shown} already holds {printable(name)}: choose another output folder "
                                 "(or remove it)", 2)
    except BaseException:
        lock.release()
        raise
    return lock


# -- Files whole or absent -------------------------------------------------------------------------

def check_output_path(path: Optional[str], option: str) -> None:
    """Refuse, before anything runs, a file named by option (--json FILE, say) that could not be
    written once the runs are done (docs/commands.md, "./runsuite"): SuiteError status 2."""
    if path is not None and not path.strip():
        raise SuiteError(f"{option} is empty: give the name of a file to write", 2)
    if path is not None and (why := _unwritable(path)):
        raise SuiteError(f"{option} {printable(path)}: {why}", 2)


def _unwritable(path: str) -> str:
    """Why write_atomic could not write path, or "" where it could."""
    if path.endswith(os.sep) or os.path.basename(path) in (".", ".."):
        return "names a folder, not a file"
    if (fd_number := _own_fd(path)) is not None:
        with contextlib.suppress(OSError):  # no such file open
            if (fcntl.fcntl(fd_number, fcntl.F_GETFL) & os.O_ACCMODE) in (os.O_WRONLY, os.O_RDWR):
                return ""
        return "the tool has no such file open for writing"
    try:
        if (st := _stat(path)) is not None and stat.S_ISDIR(st.st_mode):
            return "names a folder, not a file"
        if st is not None and not stat.S_ISREG(st.st_mode):
            return "" if os.access(path, os.W_OK) else "permission denied"
        folder = os.path.dirname(target := os.path.realpath(path))
        if not stat.S_ISDIR(os.stat(folder).st_mode):
            return f"{printable(folder)} is not a folder"
    except FileNotFoundError:  # only the folder's stat: _stat reads a missing file as None
        return f"the folder {printable(folder)} does not exist"
    except OSError as e:
        return os_reason(e)
    # The file is replaced whole: a new file is made in its folder and renamed over it.
    if st is not None and not os.access(target, os.W_OK):
        return "permission denied"
    if not os.access(folder, os.W_OK | os.X_OK):
        return f"no new file can be made in {printable(folder)} (permission denied)"
    return ""


# /dev/stdout and the like name one of the tool's own open files: writing goes to that file
# where it stands, after what the tool has printed there, as a shell's redirection would.
_OWN_FD = re.compile(r"^/(?:dev/fd|proc/self/fd)/(\d+)$")
_STD_NAMES = {"/dev/stdin": 0, "/dev/stdout": 1, "/dev/stderr": 2}


def _own_fd(path: str) -> Optional[int]:
    m = _OWN_FD.match(normal := os.path.normpath(path))
    return _STD_NAMES.get(normal, int(m.group(1)) if m else None)


def write_atomic(path: str, data: Union[str, bytes]) -> None:
    """Write data (str, as UTF-8, or bytes) to path whole (docs/files.md): in a folder this process
    holds, whatever is there is replaced, link or not; elsewhere never written through a planted
    link. An OSError carries path as its filename."""
    raw = data.encode("utf-8", errors="backslashreplace") if isinstance(data, str) else bytes(data)
    try:
        folder = os.path.realpath(os.path.dirname(path) or ".")
        if folder in _held:
            target = os.path.join(folder, os.path.basename(path))
            old = _stat(target, follow_symlinks=False)
            _replace(target, raw, old if old is not None and stat.S_ISREG(old.st_mode) else None)
            return
        if (fd_number := _own_fd(path)) is not None:
            for stream in (sys.stdout, sys.stderr):  # what the tool printed there goes first
                with contextlib.suppress(OSError, ValueError, AttributeError, io.UnsupportedOperation):
                    if stream is not None and stream.fileno() == fd_number:
                        stream.flush()
            _write_all(fd_number, raw)
            return
        st = _stat(path)
        if st is not None and not stat.S_ISREG(st.st_mode):
            if stat.S_ISDIR(st.st_mode):
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
            # A FIFO waits here for its reader, as it would for a shell's redirection.
            fd = os.open(path, os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC)
            try:
                _write_all(fd, raw)
            finally:
                os.close(fd)
            return
        _replace(os.path.realpath(path), raw, st)
    except OSError as e:
        e.filename, e.filename2 = path, None
        raise


def _replace(target: str, data: bytes, st: Optional[os.stat_result]) -> None:
    folder, name = os.path.split(target)  # target is absolute: folder is never empty
    # mkstemp: O_CREAT | O_EXCL | O_NOFOLLOW under a random name, tried again on a clash.
    fd, tmp = tempfile.mkstemp(prefix=f".{name[:100]}.", suffix=".part", dir=folder)
    try:
        # The new file gets the old one's permissions, or those a new file gets here.
        os.fchmod(fd, stat.S_IMODE(st.st_mode) & 0o777 if st is not None else 0o666 & ~_umask())
        _write_all(fd, data)
        os.fsync(fd)
        closing, fd = fd, -1
        os.close(closing)
        os.replace(tmp, target)
    except BaseException:
        if fd >= 0:
            os.close(fd)
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    # The rename itself made durable; some file systems cannot sync a folder, which costs nothing.
    with contextlib.suppress(OSError):
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        n = os.write(fd, view)
        if n <= 0:
            raise OSError(errno.EIO, "the write wrote nothing")
        view = view[n:]


Value = Union[str, int, float, None]  # what a CSV cell is written from, and what a field reads as


def csv_text(header: Sequence[Value], rows: Iterable[Sequence[Value]]) -> str:
    """A whole CSV file: the header, then the rows, one line each."""
    buf = io.StringIO()
    csv.writer(buf, lineterminator="\n").writerows([header, *rows])
    return buf.getvalue()


# A cell a spreadsheet would run as a formula (docs/files.md); the texts come from programs and the environment.
_FORMULA_START = ("=", "+", "-", "@", "\t", "\r")
_NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")  # a plain number; Finite reads it too


def spreadsheet_cell(text: str) -> str:
    """The text as a spreadsheet shows it: one that would start a formula gets a leading '."""
    if text.startswith(_FORMULA_START) and not _NUMBER.fullmatch(text):
        return "'" + text
    return text


def spreadsheet_csv(header: Sequence[str], rows: Iterable[Sequence[str]]) -> str:
    return csv_text(list(header), [[spreadsheet_cell(c) for c in row] for row in rows])


# -- Strict readers --------------------------------------------------------------------------------

T = TypeVar("T", bound=Value, covariant=True)  # a reader of what it parses
N = TypeVar("N", int, float)


class Field(Generic[T]):
    """A column's (or key's) type: parse(text) is the value, or ValueError saying why; default if absent."""

    def __init__(self, parse: Callable[[str], T], required: bool = True, default: Value = None) -> None:
        self.parse, self.required, self.default = parse, required, default


Schema = Mapping[str, "Field[Value]"]
Row = dict[str, Value]


def _show(text: str) -> str:
    return "'" + printable(text, 40) + "'"


def _bounded(number: Callable[[str], N], low: Optional[float], high: Optional[float], allow_empty: bool,
             required: bool, default: Value) -> Field[Optional[N]]:
    """A number within low .. high (inclusive); an empty field only with allow_empty (then None)."""
    def parse(text: str) -> Optional[N]:
        if text == "" and allow_empty:
            return None
        value = number(text)
        if low is not None and value < low:
            raise ValueError(f"{value} is below {low}")
        if high is not None and value > high:
            raise ValueError(f"{value} is above {high}")
        return value
    return Field(parse, required, default)


def Finite(low: Optional[float] = None, high: Optional[float] = None, allow_empty: bool = False,
           required: bool = True, default: Value = None) -> Field[Optional[float]]:
    """A finite decimal number (float). Refused: nan, inf, numbers too large for a float (1e999),
    hexadecimal, text, surrounding spaces."""
    def number(text: str) -> float:
        if not _NUMBER.fullmatch(text):
            if text.strip().lower().lstrip("+-") in ("nan", "inf", "infinity"):
                raise ValueError(f"{_show(text)} is not a finite number")
            raise ValueError(f"{_show(text)} is not a number" if text else "empty, where a number belongs")
        if not math.isfinite(value := float(text)):
            raise ValueError(f"{_show(text)} is too large for a number")
        return value
    return _bounded(number, low, high, allow_empty, required, default)


def Whole(low: Optional[float] = None, high: Optional[float] = None, allow_empty: bool = False,
          required: bool = True, default: Value = None) -> Field[Optional[int]]:
    """A whole number (int, decimal digits with an optional sign)."""
    def number(text: str) -> int:
        if not re.fullmatch(r"[+-]?[0-9]{1,30}", text):
            raise ValueError(f"{_show(text)} is not a whole number" if text else "empty, where a whole number belongs")
        return int(text)
    return _bounded(number, low, high, allow_empty, required, default)


def Text(max_len: int = 200, allow_empty: bool = True, required: bool = True, default: Value = None) -> Field[str]:
    """Text on one line (no control characters) of at most max_len characters."""
    def parse(text: str) -> str:
        if text == "" and not allow_empty:
            raise ValueError("empty")
        if len(text) > max_len:
            raise ValueError(f"longer than {max_len} characters")
        if printable(text) != text:
            raise ValueError(f"{_show(text)} holds a control character")
        return text
    return Field(parse, required, default)


def Choice(values: Iterable[str], required: bool = True, default: Value = None) -> Field[str]:
    """One of the given texts, exactly."""
    choices = tuple(values)

    def parse(text: str) -> str:
        if text not in choices:
            raise ValueError(f"{_show(text)} is not one of {', '.join(choices)}")
        return text
    return Field(parse, required, default)


def read_csv(path: str, schema: Schema, header_required: bool = True) -> list[Row]:
    """The rows of a CSV file, each a dict of the schema's columns parsed (an absent optional one:
    its default); an empty file is no rows only without header_required. Anything amiss (docs/files.md):
    SuiteError status 2 naming the file, line and field."""
    shown = printable(path)
    if not (records := _records(path)):
        if header_required:
            raise SuiteError(f"{shown} is empty: it has no header line", 2)
        return []
    _, header = records[0]
    if (twice := next((h for h in header if header.count(h) > 1), None)) is not None:
        raise SuiteError(f"{shown} line 1: column {_show(twice)} appears twice", 2)
    if missing := next((name for name, field in schema.items() if field.required and name not in header), None):
        raise SuiteError(f"{shown} line 1: no column {missing}", 2)
    where = {name: header.index(name) for name in schema if name in header}
    rows = []
    for line, fields in records[1:]:
        if len(fields) != len(header):
            raise SuiteError(f"{shown} line {line}: {len(fields)} field{'' if len(fields) == 1 else 's'} where the "
                             f"header has {len(header)}: the row is cut short or damaged", 2)
        rows.append({name: _parse(shown, line, fields[where[name]], name, field) if name in where else field.default
                     for name, field in schema.items()})
    return rows


def read_key_values(path: str, schema: Schema) -> Row:
    """A 'key,value' file as a dict of the schema's keys, parsed as read_csv parses columns."""
    shown = printable(path)
    records = _records(path)
    if not records or records[0][1] != ["key", "value"]:
        found = ",".join(records[0][1]) if records else ""
        raise SuiteError(f"{shown} line 1: the header is {_show(found)}, not 'key,value'", 2)
    seen: dict[str, tuple[int, str]] = {}
    for line, fields in records[1:]:
        if len(fields) != 2:
            raise SuiteError(f"{shown} line {line}: {len(fields)} field{'' if len(fields) == 1 else 's'} where a "
                             "key and a value belong: the line is cut short or damaged", 2)
        key, value = fields
        if key in seen:
            raise SuiteError(f"{shown} line {line}: key {_show(key)} given again (first on line {seen[key][0]})", 2)
        seen[key] = (line, value)
    if missing := next((name for name, field in schema.items() if field.required and name not in seen), None):
        raise SuiteError(f"{shown}: no key {missing}", 2)
    return {name: _parse(shown, *seen[name], name, field) if name in seen else field.default
            for name, field in schema.items()}


def _parse(shown: str, line: int, text: str, name: str, field: "Field[Value]") -> Value:
    try:
        return field.parse(text)
    except ValueError as e:
        raise SuiteError(f"{shown} line {line}, field {name}: {e}", 2) from None


def _records(path: str) -> list[tuple[int, list[str]]]:
    """[(line number, fields)] of every non-empty record; empty lines only at the end."""
    shown = printable(path)
    text = read_text(path)
    if text and not text.endswith(("\n", "\r")):
        line = text.count("\n") + 1
        raise SuiteError(f"{shown} line {line}: the last line has no line end: the file was cut short", 2)
    reader = csv.reader(io.StringIO(text, newline=""), strict=True)
    records: list[tuple[int, list[str]]] = []
    blank: Optional[int] = None
    line = 1
    try:
        for fields in reader:
            if not fields:
                blank = blank or line
            elif blank is not None:
                raise SuiteError(f"{shown} line {blank}: an empty line between rows", 2)
            else:
                records.append((line, fields))
            line = reader.line_num + 1
    except csv.Error as e:
        raise SuiteError(f"{shown} line {line}: not valid CSV ({printable(e)})", 2) from None
    return records


def _chunks(path: str, max_bytes: int) -> Iterator[bytes]:
    """A regular file's bytes, in chunks; SuiteError status 2 for anything else (a FIFO, a device:
    they could block or never end) and for a file past max_bytes, before more is read."""
    shown = printable(path)
    try:  # a FIFO would block the open
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise SuiteError(f"cannot read {shown}: {os_reason(e)}", 2) from None
    try:
        st = os.fstat(fd)
        if stat.S_ISDIR(st.st_mode):
            raise SuiteError(f"cannot read {shown}: it is a folder, not a file", 2)
        if not stat.S_ISREG(st.st_mode):
            raise SuiteError(f"cannot read {shown}: not a regular file", 2)
        os.set_blocking(fd, True)
        size = 0
        while chunk := os.read(fd, 1 << 20):
            if (size := size + len(chunk)) > max_bytes:
                raise SuiteError(f"cannot read {shown}: larger than {max_bytes} bytes", 2)
            yield chunk
    except OSError as e:
        raise SuiteError(f"cannot read {shown}: {os_reason(e)}", 2) from None
    finally:
        os.close(fd)


def read_bytes(path: str, max_bytes: int = MAX_READ_BYTES) -> bytes:
    return b"".join(_chunks(path, max_bytes))


def digest(path: str, max_bytes: int) -> str:
    """The SHA-256 of a regular file, read in chunks (refused as read_bytes refuses)."""
    h = hashlib.sha256()
    for chunk in _chunks(path, max_bytes):
        h.update(chunk)
    return h.hexdigest()


def read_text(path: str, max_bytes: int = MAX_READ_BYTES) -> str:
    """A regular file's whole UTF-8 text (without a byte order mark); SuiteError as _chunks, or for a NUL."""
    shown = printable(path)
    data = read_bytes(path, max_bytes).removeprefix(b"\xef\xbb\xbf")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        line = data.count(b"\n", 0, e.start) + 1
        raise SuiteError(f"{shown} line {line}: not UTF-8 text (byte 0x{data[e.start]:02x})", 2) from None
    if "\0" in text:
        line = text.count("\n", 0, text.index("\0")) + 1
        raise SuiteError(f"{shown} line {line}: holds a NUL character", 2)
    return text


# -- What /proc and /sys show ----------------------------------------------------------------------

def read_small(path: str) -> Optional[str]:
    """A small text file's content (its first MiB), stripped; None when it cannot be read."""
    try:
        with open(path) as f:
            return f.read(1 << 20).strip()
    except (OSError, UnicodeDecodeError):
        return None


def listdir(path: str) -> list[str]:
    try:
        return os.listdir(path)
    except OSError:
        return []


# -- Counts from the environment -------------------------------------------------------------------

def parse_env_count(name: str, value: Optional[str], low: int = 1, high: Optional[int] = None) -> Optional[int]:
    """The count a setting such as OMP_NUM_THREADS gives (its nesting levels' list checked whole, the
    first returned; spaces around a count allowed, as the runtime allows them), or None when unset;
    anything else is SuiteError status 2 naming the variable."""
    if value is None:
        return None
    nested = name == "OMP_NUM_THREADS"
    shown = f"{name}='{printable(value, 40)}'"
    if not value.strip():
        raise SuiteError(f"{name} is set but empty: give it a whole number, or unset it", 2)
    items = [item.strip(" \t") for item in (value.split(",") if nested else [value])]
    for item in items:
        if not re.fullmatch(r"[0-9]{1,18}", item):
            what = "a list of whole numbers, one per nesting level" if nested else "a whole number"
            raise SuiteError(f"{shown} is not {what}", 2)
        if (count := int(item)) < low or (high is not None and count > high):
            bounds = f"from {low} to {high}" if high is not None else f"at least {low}"
            raise SuiteError(f"{shown}: {count} is not {bounds}", 2)
    return int(items[0])
