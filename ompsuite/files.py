"""Files a study writes: its output folder, runs.csv row by row, and whole files written to a
temporary name and renamed, so an interruption never leaves a half-written one beside the data."""
import csv
import io
import os

from .errors import SuiteError


def check_out_dir(path, owned):
    """Refuse, before anything runs, a folder that already holds results of this kind (files
    named in owned): they would be overwritten or mixed with the new ones."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise SuiteError(f"{path} exists and is not a folder", 2)
    there = [f for f in owned if os.path.exists(os.path.join(path, f))]
    if there:
        raise SuiteError(f"{path} already holds {there[0]}: choose a new --out folder (or remove it)", 2)
    ancestor = os.path.abspath(path)
    while not os.path.exists(ancestor):
        ancestor = os.path.dirname(ancestor)
    if not os.path.isdir(ancestor) or not os.access(ancestor, os.W_OK | os.X_OK):
        raise SuiteError(f"cannot write the output folder {path}: {ancestor} is not a writable folder", 2)


def open_out_dir(path):
    """Create the output folder (and fail now, before any run, when it cannot be written)."""
    try:
        os.makedirs(path, exist_ok=True)
        probe = os.path.join(path, ".write-test")
        with open(probe, "w"):
            pass
        os.remove(probe)
    except OSError as e:
        raise SuiteError(f"cannot write the output folder {path}: {e.strerror}", 2) from None
    return path


class RunLog:
    """runs.csv, one row per run, flushed to the file as soon as the run is checked."""

    def __init__(self, path, fields):
        self.path = path
        self.count = 0
        try:
            self.file = open(path, "w", newline="")
        except OSError as e:
            raise SuiteError(f"cannot write {path}: {e.strerror}", 2) from None
        self.writer = csv.DictWriter(self.file, fieldnames=fields)
        self.writer.writeheader()
        self.file.flush()

    def add(self, row):
        self.writer.writerow(row)
        self.file.flush()
        os.fsync(self.file.fileno())
        self.count += 1

    def close(self):
        self.file.close()


def write_atomic(path, text):
    tmp = path + ".part"
    try:
        with open(tmp, "w", newline="") as f:
            f.write(text)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise


def csv_text(header, rows):
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    w.writerow(header)
    w.writerows(rows)
    return buf.getvalue()
