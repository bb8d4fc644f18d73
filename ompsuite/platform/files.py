"""Files whole or absent, one writer per folder, and strict readers for the files the tools read back.

- claim_out_dir / lock_folder: an output folder is held by one tool at a time (flock on a lock
  file inside it; where the file system has no flock, the lock file's own creation), and only
  once it is held is it checked for earlier results, so two tools started together cannot both
  find it empty.
- write_atomic: a file is written to a temporary name beside it and renamed, never half there.
- RowLog: a CSV log that only ever holds whole rows, even when the disk fills mid-row.
- read_csv / read_key_values: a damaged, cut or hostile file is refused with the file, the line
  and the field, never half read.
- parse_env_count: a count from the environment (OMP_NUM_THREADS and the like), checked.
Failures are SuiteError with one line naming the file; status 2 where the input (a path, a file
given to read, a setting) is at fault.
"""
import csv
import errno
import fcntl
import io
import math
import os
import re
import secrets
import socket
import stat

from ompsuite.errors import SuiteError
from ompsuite.escape import printable

LOCK_NAME = ".ompsuite.lock"  # inside a held folder; it is not a result, and is removed on release
MAX_READ_BYTES = 64 << 20  # more than any results file the tools write; a bound on /dev/zero and the like

_REASONS = {
    errno.ENOENT: "no such file or folder", errno.EACCES: "permission denied", errno.EPERM: "permission denied",
    errno.ELOOP: "a loop of symbolic links", errno.ENOTDIR: "a part of the path is not a folder",
    errno.EROFS: "read-only file system", errno.ENOSPC: "no space left on the device",
    errno.EDQUOT: "disk quota exceeded", errno.ENAMETOOLONG: "the name is too long",
    errno.EISDIR: "it is a folder", errno.EIO: "input/output error",
}


def os_reason(err):
    """The few words that say why an OSError happened."""
    return _REASONS.get(err.errno) or (err.strerror or str(err)).lower()


# ---------------------------------------------------------------------------------------------
# One writer per folder


# flock's answers on a file system that has no locks (Lustre without -o flock, some NFS mounts).
NO_FLOCK = (errno.ENOLCK, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EINVAL)


class FolderLock:
    """An exclusive flock on LOCK_NAME in a folder, held until release() (or the end of a with
    block, or the process). The lock file holds the holder's pid, for the refusal message.
    Without flock the lock is the file itself, made with O_EXCL and holding the pid and host;
    a process killed before release() leaves it behind (a stale lock, removed by hand)."""

    def __init__(self, folder, fd):
        self.folder = folder
        self.path = os.path.join(folder, LOCK_NAME)
        self._fd = fd

    @property
    def held(self):
        return self._fd is not None

    def release(self):
        """Remove the lock file while still holding it, then let go; a second call does nothing."""
        if self._fd is None:
            return
        fd, self._fd = self._fd, None
        try:
            os.unlink(self.path)
        except OSError:
            pass
        os.close(fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()


def lock_folder(path, what="study"):
    """Hold the folder path (which must exist) for this process: a FolderLock. Refused at once,
    SuiteError status 2, while another process holds it: '<path> is in use by another <what>
    (pid N)'; also when no file can be made there."""
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
            raise SuiteError(f"cannot write in the folder {printable(path)}: {_create_reason(e, lock_path)}",
                             2) from None
        try:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise SuiteError(f"{printable(path)} is in use by another {what} ({_holder(fd)})", 2) from None
            except OSError as e:
                if e.errno not in NO_FLOCK:
                    raise SuiteError(f"cannot lock the folder {printable(path)}: {os_reason(e)}", 2) from None
                if not created:
                    raise SuiteError(f"{printable(path)} is in use by another {what} ({_holder(fd)}; "
                                     f"{_stale_hint(fd, lock_path)})", 2) from None
                # No flock here: having made the file is holding the folder.
                os.pwrite(fd, f"{os.getpid()} {socket.gethostname()}\n".encode(), 0)
                return FolderLock(path, fd)
            # A holder that let go removed the file we opened; another may have made a new one.
            try:
                same = os.path.samestat(os.fstat(fd), os.stat(lock_path, follow_symlinks=False))
            except FileNotFoundError:
                same = False
            if same:
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


def _holder_fields(fd):
    """(pid, host) read from a lock file; host is None for a flock holder, which writes only its pid."""
    try:
        fields = os.pread(fd, 300, 0).decode("ascii", errors="replace").split()
    except OSError:
        fields = []
    pid = fields[0] if fields and fields[0].isdigit() else None
    return pid, (printable(fields[1], 64) if len(fields) > 1 else None)


def _holder(fd):
    pid, host = _holder_fields(fd)
    return f"pid {pid or 'unknown'}" + (f" on {host}" if host else "")


def _stale_hint(fd, lock_path):
    """What to do about a lock file on a file system without flock, which outlives a killed holder."""
    pid, host = _holder_fields(fd)
    if pid and host == socket.gethostname():
        try:
            os.kill(int(pid), 0)
        except ProcessLookupError:
            return f"no such process runs here: a stale lock, remove {printable(lock_path)}"
        except OSError:
            pass
    return f"no flock on this file system: if that process is gone, remove {printable(lock_path)}"


def _create_reason(err, path):
    if err.errno == errno.ELOOP:
        return f"{LOCK_NAME} there is a symbolic link"
    if err.errno == errno.ENOENT and os.path.isdir(os.path.dirname(path)):
        return "the file system there does not allow new files"  # /proc and the like
    return os_reason(err)


def claim_out_dir(path, owned_files, what="study"):
    """Make the output folder path (with its parents) and hold it: a FolderLock, to release when
    the tool is done. Only once it is held, refuse a folder that already holds one of owned_files
    (those results would be overwritten or mixed). SuiteError status 2 for: a path that exists
    and is not a folder, a link to nowhere, a loop of links, a place where no folder or file can
    be made (permission, read-only, /proc), a folder in use, earlier results."""
    shown = printable(path)
    try:
        st = os.stat(path)
    except FileNotFoundError:
        if os.path.lexists(path):
            raise SuiteError(f"{shown} is a symbolic link to {printable(os.readlink(path))}, "
                             "which does not exist", 2) from None
    except OSError as e:
        raise SuiteError(f"cannot use {shown} as the output folder: {os_reason(e)}", 2) from None
    else:
        if not stat.S_ISDIR(st.st_mode):
            raise SuiteError(f"{shown} exists and is not a folder", 2)
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as e:
        where = printable(os.path.dirname(os.path.abspath(e.filename or path)))
        if e.errno in (errno.EACCES, errno.EPERM):
            reason = f"permission denied in {where}"
        elif e.errno == errno.ENOENT and os.path.isdir(where):
            reason = f"the file system does not allow new folders in {where}"
        else:
            reason = os_reason(e)
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


# ---------------------------------------------------------------------------------------------
# Files whole or absent


def write_atomic(path, data):
    """Write data (str, as UTF-8, or bytes) to path whole: a temporary file in the same folder is
    written, flushed to the disk and renamed over path. On any failure the temporary file is
    removed and an earlier file at path is left as it was; an OSError propagates with its
    filename set to path."""
    if isinstance(data, str):
        data = data.encode("utf-8", errors="backslashreplace")
    folder = os.path.dirname(path) or "."
    tmp = os.path.join(folder, f".{os.path.basename(path)[:100]}.{os.getpid()}.{secrets.token_hex(4)}.part")
    fd = None
    try:
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        _write_all(fd, data)
        os.fsync(fd)
        fd, closing = None, fd
        os.close(closing)
        os.replace(tmp, path)
    except BaseException as e:
        if fd is not None:
            os.close(fd)
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(e, OSError):
            e.filename, e.filename2 = path, None
        raise
    _fsync_folder(folder)


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        n = os.write(fd, view)
        if n <= 0:
            raise OSError(errno.EIO, "the write wrote nothing")
        view = view[n:]


def _fsync_folder(folder):
    # Makes the rename itself durable; some file systems cannot sync a folder, which costs nothing.
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def csv_line(values):
    """One CSV record (a sequence of values) as text, ending in a newline."""
    buf = io.StringIO()
    csv.writer(buf, lineterminator="\n").writerow(values)
    return buf.getvalue()


def csv_text(header, rows):
    """A whole CSV file: the header, then the rows, one line each."""
    return "".join(csv_line(r) for r in [header, *rows])


class RowLog:
    """A CSV log written row by row, for results that must survive whatever comes after them.

    The file is created new (never over an earlier log) with its header. Each row is formatted
    whole in memory, written and synced to the disk; when a write fails (a full disk), the file
    is cut back to its last whole row and SuiteError (status 1) names the file and the number of
    whole rows it holds. count is the number of whole rows written."""

    def __init__(self, path, fieldnames):
        self.path = path
        self.fieldnames = tuple(fieldnames)
        self.count = 0
        self._size = 0
        try:
            self._fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_APPEND | os.O_CLOEXEC, 0o666)
        except FileExistsError:
            raise SuiteError(f"{printable(path)} already exists: a log is never written over", 2) from None
        except OSError as e:
            raise SuiteError(f"cannot write {printable(path)}: {os_reason(e)}", 2) from None
        header = csv_line(self.fieldnames).encode("utf-8", errors="backslashreplace")
        try:
            _write_all(self._fd, header)
            os.fsync(self._fd)
        except BaseException as e:
            self.close()
            try:
                os.unlink(path)
            except OSError:
                pass
            if isinstance(e, OSError):
                raise SuiteError(f"cannot write {printable(path)}: {os_reason(e)}", 1) from None
            raise
        self._size = len(header)

    def add(self, row):
        """Append one row (a mapping of field name to value; missing fields are empty)."""
        if self._fd is None:
            raise ValueError(f"{self.path} is closed")
        unknown = set(row) - set(self.fieldnames)
        if unknown:
            raise ValueError(f"{self.path} has no field {sorted(unknown)[0]}")
        line = csv_line(["" if row.get(f) is None else row[f] for f in self.fieldnames])
        line = line.encode("utf-8", errors="backslashreplace")
        written = 0
        try:
            view = memoryview(line)
            while written < len(line):
                n = os.write(self._fd, view[written:])
                if n <= 0:
                    raise OSError(errno.EIO, "the write wrote nothing")
                written += n
            os.fsync(self._fd)
        except OSError as e:
            whole = self._cut_back()
            raise SuiteError(f"cannot write {printable(self.path)}: {os_reason(e)}; it holds "
                             f"{self.count} whole row{'' if self.count == 1 else 's'}"
                             f"{'' if whole else ' and part of another, which could not be cut off'}", 1) from None
        except BaseException:
            # An interruption: a row written whole is kept (it was measured), a part is cut off.
            if written == len(line):
                self._size += len(line)
                self.count += 1
            else:
                self._cut_back()
            raise
        self._size += len(line)
        self.count += 1

    def _cut_back(self):
        try:
            os.ftruncate(self._fd, self._size)  # O_APPEND: the next row goes at the new end
            return True
        except OSError:
            return False

    def close(self):
        if self._fd is not None:
            fd, self._fd = self._fd, None
            os.close(fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ---------------------------------------------------------------------------------------------
# Strict readers


class Field:
    """A column's (or a key's) type. required=False: a column or key that may be absent, which then
    reads as default. parse(text) returns the value or raises ValueError with the reason."""

    def __init__(self, required=True, default=None):
        self.required = required
        self.default = default

    def parse(self, text):
        raise NotImplementedError


def _show(text):
    return "'" + printable(text, 40) + "'"


class _Bounded(Field):
    """A number within low .. high (inclusive, where given); an empty field only with allow_empty
    (then None)."""

    def __init__(self, low=None, high=None, allow_empty=False, **kw):
        super().__init__(**kw)
        self.low, self.high, self.allow_empty = low, high, allow_empty

    def parse(self, text):
        if text == "" and self.allow_empty:
            return None
        value = self.number(text)
        _check_range(value, self.low, self.high)
        return value


class Finite(_Bounded):
    """A finite decimal number (float). Refused: nan, inf, numbers too large for a float (1e999),
    hexadecimal, text, surrounding spaces."""
    _NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")

    def number(self, text):
        if not self._NUMBER.fullmatch(text):
            if text.strip().lower().lstrip("+-") in ("nan", "inf", "infinity"):
                raise ValueError(f"{_show(text)} is not a finite number")
            raise ValueError(f"{_show(text)} is not a number" if text else "empty, where a number belongs")
        value = float(text)
        if not math.isfinite(value):
            raise ValueError(f"{_show(text)} is too large for a number")
        return value


class Whole(_Bounded):
    """A whole number (int, decimal digits with an optional sign)."""
    _WHOLE = re.compile(r"[+-]?[0-9]{1,30}")

    def number(self, text):
        if not self._WHOLE.fullmatch(text):
            raise ValueError(f"{_show(text)} is not a whole number" if text else "empty, where a whole number belongs")
        return int(text)


def _check_range(value, low, high):
    if low is not None and value < low:
        raise ValueError(f"{value} is below {low}")
    if high is not None and value > high:
        raise ValueError(f"{value} is above {high}")


class Text(Field):
    """Text on one line (no control characters) of at most max_len characters."""

    def __init__(self, max_len=200, allow_empty=True, **kw):
        super().__init__(**kw)
        self.max_len, self.allow_empty = max_len, allow_empty

    def parse(self, text):
        if text == "" and not self.allow_empty:
            raise ValueError("empty")
        if len(text) > self.max_len:
            raise ValueError(f"longer than {self.max_len} characters")
        if printable(text) != text:
            raise ValueError(f"{_show(text)} holds a control character")
        return text


class Choice(Field):
    """One of the given texts, exactly."""

    def __init__(self, values, **kw):
        super().__init__(**kw)
        self.values = tuple(values)

    def parse(self, text):
        if text not in self.values:
            raise ValueError(f"{_show(text)} is not one of {', '.join(self.values)}")
        return text


def read_csv(path, schema, header_required=True, final_newline=True, max_bytes=MAX_READ_BYTES):
    """The rows of a CSV file with a header line: a list of dicts holding the schema's columns
    (name -> Field), parsed; other columns are ignored, an absent optional column reads as its
    default. An empty file is refused, or reads as no rows when header_required is False.
    final_newline: a last line without its line end is refused (a file cut inside its last
    field, 0.12 of 0.125, looks whole otherwise). Refused with SuiteError status 2 naming the file,
    line and field: not UTF-8, a missing column, a row of the wrong length, a field of the wrong
    type, malformed quoting, empty lines between rows."""
    shown = printable(path)
    records = _records(path, final_newline, max_bytes)
    if not records:
        if header_required:
            raise SuiteError(f"{shown} is empty: it has no header line", 2)
        return []
    _, header = records[0]
    if len(set(header)) != len(header):
        twice = next(h for h in header if header.count(h) > 1)
        raise SuiteError(f"{shown} line 1: column {_show(twice)} appears twice", 2)
    for name, field in schema.items():
        if field.required and name not in header:
            raise SuiteError(f"{shown} line 1: no column {name}", 2)
    where = {name: header.index(name) for name in schema if name in header}
    rows = []
    for line, fields in records[1:]:
        if len(fields) != len(header):
            raise SuiteError(f"{shown} line {line}: {len(fields)} field{'' if len(fields) == 1 else 's'} where the "
                             f"header has {len(header)}: the row is cut short or damaged", 2)
        rows.append({name: (_parse(shown, line, name, field, fields[where[name]]) if name in where else field.default)
                     for name, field in schema.items()})
    return rows


def read_key_values(path, schema, final_newline=True, max_bytes=MAX_READ_BYTES):
    """A key,value file (header line 'key,value', then one key per line) as a dict of the schema's
    keys (name -> Field), parsed; other keys are ignored, an absent optional key reads as its
    default. Refused like read_csv, and also: another header, a key given twice."""
    shown = printable(path)
    records = _records(path, final_newline, max_bytes)
    if not records or records[0][1] != ["key", "value"]:
        found = ",".join(records[0][1]) if records else ""
        raise SuiteError(f"{shown} line 1: the header is {_show(found)}, not 'key,value'", 2)
    seen = {}
    for line, fields in records[1:]:
        if len(fields) != 2:
            raise SuiteError(f"{shown} line {line}: {len(fields)} field{'' if len(fields) == 1 else 's'} where a "
                             "key and a value belong: the line is cut short or damaged", 2)
        key, value = fields
        if key in seen:
            raise SuiteError(f"{shown} line {line}: key {_show(key)} given again (first on line {seen[key][0]})", 2)
        seen[key] = (line, value)
    result = {}
    for name, field in schema.items():
        if name in seen:
            result[name] = _parse(shown, seen[name][0], name, field, seen[name][1])
        elif field.required:
            raise SuiteError(f"{shown}: no key {name}", 2)
        else:
            result[name] = field.default
    return result


def _parse(shown, line, name, field, text):
    try:
        return field.parse(text)
    except ValueError as e:
        raise SuiteError(f"{shown} line {line}, field {name}: {e}", 2) from None


def _records(path, final_newline, max_bytes):
    """[(line number, fields)] of every non-empty record of a CSV file; empty lines at the end are
    allowed, others refused."""
    shown = printable(path)
    text = read_text(path, max_bytes)
    if final_newline and text and not text.endswith(("\n", "\r")):
        line = text.count("\n") + 1
        raise SuiteError(f"{shown} line {line}: the last line has no line end: the file was cut short", 2)
    reader = csv.reader(io.StringIO(text, newline=""), strict=True)
    records, blank, line = [], None, 1
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


def read_text(path, max_bytes=MAX_READ_BYTES):
    """A regular file's whole text as UTF-8 (a leading byte order mark dropped). Refused with
    SuiteError status 2: a file that cannot be read, is not a regular file (a FIFO, a device:
    they could block or never end), is larger than max_bytes, is not UTF-8, holds a NUL."""
    shown = printable(path)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)  # a FIFO would block the open
    except OSError as e:
        raise SuiteError(f"cannot read {shown}: {os_reason(e)}", 2) from None
    try:
        st = os.fstat(fd)
        if stat.S_ISDIR(st.st_mode):
            raise SuiteError(f"cannot read {shown}: it is a folder, not a file", 2)
        if not stat.S_ISREG(st.st_mode):
            raise SuiteError(f"cannot read {shown}: not a regular file", 2)
        os.set_blocking(fd, True)
        chunks, size = [], 0
        while size <= max_bytes:
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
        if size > max_bytes:
            raise SuiteError(f"cannot read {shown}: larger than {max_bytes} bytes", 2)
    except OSError as e:
        raise SuiteError(f"cannot read {shown}: {os_reason(e)}", 2) from None
    finally:
        os.close(fd)
    data = b"".join(chunks)
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        line = data.count(b"\n", 0, e.start) + 1
        raise SuiteError(f"{shown} line {line}: not UTF-8 text (byte 0x{data[e.start]:02x})", 2) from None
    if "\0" in text:
        line = text.count("\n", 0, text.index("\0")) + 1
        raise SuiteError(f"{shown} line {line}: holds a NUL character", 2)
    return text


# ---------------------------------------------------------------------------------------------
# Counts from the environment


def parse_env_count(name, value, low=1, high=None, nested=None):
    """The count a setting such as OMP_NUM_THREADS gives (an int), or None when it is unset (value
    None). nested (by default: for OMP_NUM_THREADS) allows a comma list, one count per nesting
    level, as the OpenMP runtime does; the first level is returned, every level is checked.
    Spaces around a count are allowed, as the runtime allows them. Anything else ('', 'abc',
    '2.5', '-1', out of low .. high): SuiteError status 2 naming the variable."""
    if value is None:
        return None
    if nested is None:
        nested = name == "OMP_NUM_THREADS"
    shown = f"{name}='{printable(value, 40)}'"
    if not value.strip():
        raise SuiteError(f"{name} is set but empty: give it a whole number, or unset it", 2)
    counts = []
    for item in (value.split(",") if nested else [value]):
        item = item.strip(" \t")
        if not re.fullmatch(r"[0-9]{1,18}", item):
            what = "a list of whole numbers, one per nesting level" if nested else "a whole number"
            raise SuiteError(f"{shown} is not {what}", 2)
        count = int(item)
        if count < low or (high is not None and count > high):
            bounds = f"from {low} to {high}" if high is not None else f"at least {low}"
            raise SuiteError(f"{shown}: {count} is not {bounds}", 2)
        counts.append(count)
    return counts[0]
