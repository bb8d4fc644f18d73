import dataclasses
import errno
import os
import socket
import stat
import subprocess
import tempfile
import threading
import unittest
from unittest import mock

from ompsuite.platform import files
from ompsuite.errors import SuiteError
from ompsuite.platform.files import (Choice, Finite, Text, Whole, claim_out_dir, parse_env_count, read_csv,
                            read_key_values, write_atomic)
from ompsuite.study import FORMAT, JOURNAL_MARK, Config, Journal, Run, Series, read_journal


def null_device(folder):
    """A null device to write to. For root, a private node of it in folder: a fault that replaced
    the device with a file must not take the machine's own /dev/null (others use it) with it."""
    if os.geteuid() != 0:
        return os.devnull  # /dev cannot be written in: such a fault fails, and harms nothing
    path = os.path.join(folder, "null")
    os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    return path


class Folder(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.d = self.tmp.name
        self.addCleanup(self.tmp.cleanup)

    def path(self, *parts):
        return os.path.join(self.d, *parts)

    def refused(self, call, *args, status=2):
        with self.assertRaises(SuiteError) as e:
            call(*args)
        self.assertEqual(e.exception.status, status)
        return str(e.exception)


class Locks(Folder):
    def test_earlier_results_are_looked_for_only_once_the_folder_is_held(self):
        out = self.path("out")
        real = files.lock_folder

        def lock_then_rival_writes(path, what):  # a rival that found the folder empty finished first
            lock = real(path, what)
            open(os.path.join(path, "runs.csv"), "w").close()
            return lock
        with mock.patch.object(files, "lock_folder", lock_then_rival_writes):
            self.assertIn("already holds runs.csv", self.refused(claim_out_dir, out, ["summary.csv", "runs.csv"]))
        self.assertFalse(os.path.exists(self.path("out", files.LOCK_NAME)))  # let go on refusal

    def test_without_flock_the_lock_file_itself_holds_the_folder(self):
        host = socket.gethostname()
        finished = subprocess.Popen(["true"])
        finished.wait()  # a pid that no longer runs here
        for code in (errno.ENOLCK, errno.EOPNOTSUPP, errno.EINVAL):
            with self.subTest(errno=errno.errorcode[code]), \
                    mock.patch.object(files.fcntl, "flock", side_effect=OSError(code, os.strerror(code))):
                lock_path = self.path(files.LOCK_NAME)
                lock = files.lock_folder(self.d)
                with open(lock_path) as f:
                    self.assertEqual(f.read(), f"{os.getpid()} {host}\n")
                # Held all the same: a link planted in it is replaced, not followed out of it.
                os.symlink(self.path("elsewhere"), self.path("runs.csv"))
                files.write_atomic(self.path("runs.csv"), "x")
                self.assertFalse(os.path.islink(self.path("runs.csv")) or os.path.exists(self.path("elsewhere")))
                os.unlink(self.path("runs.csv"))
                self.assertIn(f"in use by another study (pid {os.getpid()} on {host}; no flock on this file "
                              f"system: if that process is gone, remove {lock_path})",
                              self.refused(files.lock_folder, self.d))
                lock.release()
                self.assertFalse(os.path.exists(lock_path))

                with open(lock_path, "w") as f:  # left by a holder that was killed
                    f.write(f"{finished.pid} {host}\n")
                self.assertIn(f"(pid {finished.pid} on {host}; no such process runs here: a stale lock, "
                              f"remove {lock_path})", self.refused(files.lock_folder, self.d))
                os.unlink(lock_path)
        with mock.patch.object(files.fcntl, "flock", side_effect=OSError(errno.EIO, "I/O error")):
            self.assertIn("cannot lock the folder", self.refused(files.lock_folder, self.d))

    def test_places_that_cannot_be_an_output_folder(self):
        open(self.path("file"), "w").close()
        os.symlink("loop2", self.path("loop1"))
        os.symlink("loop1", self.path("loop2"))
        os.symlink("nowhere", self.path("dangling"))
        os.mkdir(self.path("held"))
        open(self.path("victim"), "w").close()
        os.symlink(self.path("victim"), self.path("held", files.LOCK_NAME))
        cases = [(self.path("file"), "exists and is not a folder"), (self.path("loop1"), "a loop of symbolic links"),
                 (self.path("dangling"), "is a symbolic link to nowhere, which does not exist"),
                 (self.path("file", "sub"), "a part of the path is not a folder"),
                 (self.path("held"), f"{files.LOCK_NAME} there is a symbolic link")]
        if os.path.isdir("/proc/self"):
            cases.append(("/proc/self/out", "the file system does not allow new folders in /proc/self"))
            cases.append(("/proc/self", "the file system there does not allow new files"))
        if os.geteuid() != 0:  # root may write anywhere
            os.mkdir(self.path("ro"), 0o555)
            cases.append((self.path("ro", "out"), f"permission denied in {self.path('ro')}"))
        for path, why in cases:
            with self.subTest(path):
                self.assertIn(why, self.refused(claim_out_dir, path, ["runs.csv"]))


class WholeFiles(Folder):
    def test_write_atomic_leaves_the_old_file_and_no_part_on_failure(self):
        target = self.path("summary.csv")
        write_atomic(target, "old\n")
        failures = [("os.replace", OSError(errno.EXDEV, "Invalid cross-device link")),
                    ("os.fsync", OSError(errno.EIO, "Input/output error")), ("os.write", KeyboardInterrupt())]
        for name, exc in failures:
            with self.subTest(name), mock.patch(name, side_effect=exc):
                with self.assertRaises(type(exc)) as e:
                    write_atomic(target, "new\n")
                if isinstance(exc, OSError):
                    self.assertEqual(e.exception.filename, target)
            self.assertEqual(os.listdir(self.d), ["summary.csv"])
            with open(target) as f:
                self.assertEqual(f.read(), "old\n")
        write_atomic(target, b"new\n")
        with open(target) as f:
            self.assertEqual(f.read(), "new\n")

    def test_one_output_failing_leaves_the_others_written(self):
        from ompsuite.cli.runsuite import write_each
        os.mkdir(self.path("taken"))  # became a folder after the early check: its write fails
        outputs = [(self.path("taken"), lambda s: "md"), (self.path("a.csv"), lambda s: "csv"),
                   (self.path("gone", "b.json"), lambda s: "json"), (self.path("c.json"), lambda s: "json")]
        written, failed = write_each(outputs, None)
        self.assertEqual(written, [self.path("a.csv"), self.path("c.json")])
        self.assertEqual(len(failed), 2)
        self.assertRegex(failed[0], r"^cannot write .*/taken: ")
        with open(self.path("c.json")) as f:
            self.assertEqual(f.read(), "json")

    def test_write_atomic_writes_what_the_name_means(self):
        def read(path):
            with open(path) as f:
                return f.read()
        real, link, dangling = self.path("real.json"), self.path("link.json"), self.path("dangling.json")
        write_atomic(real, "old\n")
        os.chmod(real, 0o600)
        os.symlink("real.json", link)
        os.symlink("made.json", dangling)
        write_atomic(link, "through the link\n")
        write_atomic(dangling, "made\n")
        # The link stays a link; its target is replaced whole, keeping its permissions.
        self.assertTrue(os.path.islink(link))
        self.assertEqual((read(real), stat.S_IMODE(os.stat(real).st_mode)), ("through the link\n", 0o600))
        self.assertEqual(read(self.path("made.json")), "made\n")
        # A FIFO receives the data; /dev/null stays a device; /dev/fd/N is that open file.
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        got = []
        reader = threading.Thread(target=lambda: got.append(read(fifo)), daemon=True)
        reader.start()
        write_atomic(fifo, "to a reader\n")
        reader.join(60)  # only a FIFO replaced instead of written leaves it waiting that long
        self.assertEqual((got, stat.S_ISFIFO(os.stat(fifo).st_mode)), (["to a reader\n"], True))
        null = null_device(self.d)
        write_atomic(null, "gone\n")
        self.assertTrue(stat.S_ISCHR(os.stat(null).st_mode))
        r, w = os.pipe()
        try:
            write_atomic(f"/dev/fd/{w}", b"on the pipe\n")
            self.assertEqual(os.read(r, 100), b"on the pipe\n")
        finally:
            os.close(r)
            os.close(w)
        self.assertEqual(sorted(set(os.listdir(self.d)) - {"null"}),
                         ["dangling.json", "fifo", "link.json", "made.json", "real.json"])

    def test_nothing_planted_in_advance_is_followed(self):
        victim = self.path("victim")
        with open(victim, "w") as f:
            f.write("keep\n")
        # The first temporary name tried is one a rival planted a link at: it is passed over.
        os.symlink(victim, self.path(".summary.csv.planted.part"))
        with mock.patch("tempfile._get_candidate_names", return_value=iter(["planted", "fresh"])):
            write_atomic(self.path("summary.csv"), "rows\n")
        # In a folder the tool holds, each name is its own: a link or a FIFO there is replaced.
        held = self.path("held")
        os.mkdir(held)
        os.symlink(victim, os.path.join(held, "speedup.dat"))
        os.mkfifo(os.path.join(held, "sweep.dat"))
        lock = claim_out_dir(held, ["runs.csv"])
        try:
            write_atomic(os.path.join(held, "speedup.dat"), "1 1\n")
            write_atomic(os.path.join(held, "sweep.dat"), "2 2\n")  # would wait for a reader if opened
        finally:
            lock.release()
        self.assertFalse(os.path.islink(os.path.join(held, "speedup.dat")))
        self.assertTrue(os.path.isfile(os.path.join(held, "sweep.dat")))
        with open(victim) as f:
            self.assertEqual(f.read(), "keep\n")

    def test_output_paths_refused_before_anything_runs(self):
        open(self.path("file"), "w").close()
        os.mkdir(self.path("folder"))
        os.symlink("loop", self.path("loop"))
        os.symlink(self.path("nowhere", "x.json"), self.path("into-nowhere"))
        cases = [("", "--json is empty: give the name of a file to write"),
                 ("   ", "--json is empty: give the name of a file to write"),
                 (self.path("folder"), "names a folder, not a file"),
                 (self.path("folder") + "/", "names a folder, not a file"),
                 (self.path("missing", "x.json"), f"the folder {self.path('missing')} does not exist"),
                 (self.path("file", "x.json"), "a part of the path is not a folder"),
                 (self.path("loop"), "a loop of symbolic links"),
                 (self.path("into-nowhere"), f"the folder {self.path('nowhere')} does not exist"),
                 ("/dev/fd/999", "the tool has no such file open for writing")]
        if os.geteuid() != 0:  # root may write anywhere
            os.mkdir(self.path("ro"), 0o555)
            cases.append((self.path("ro", "x.json"), "no new file can be made in"))
        for path, why in cases:
            with self.subTest(path=path):
                message = self.refused(files.check_output_path, path, "--json")
                self.assertIn(why, message)
                self.assertEqual(len(message.splitlines()), 1)
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        for path in (None, self.path("new.json"), self.path("file"), os.devnull, fifo, "/dev/stdout"):
            with self.subTest(path=path):
                files.check_output_path(path, "--json")

    def test_the_journal_keeps_whole_lines_when_the_disk_fills_mid_line(self):
        path = self.path("runs.jsonl")
        journal = Journal(path, {"journal": JOURNAL_MARK, "format": FORMAT, "machine": [], "variants": [], "plan": {}})
        run = Run(Config(Series.STRONG, "quadplain", 1, 1000), 1, 1, time_s=0.5)
        journal.add(run)
        real_write = os.write

        def half_then_full(fd, data):
            if len(data) > 4:
                return real_write(fd, bytes(data[:4]))
            raise OSError(errno.ENOSPC, "No space left on device")
        with mock.patch("os.write", half_then_full):
            message = self.refused(journal.add, run, status=1)
        self.assertEqual(message, f"cannot write {path}: no space left on the device; it holds 1 whole run")
        journal.add(dataclasses.replace(run, repeat=2))  # the next line follows the last whole one
        journal.close()
        self.assertEqual([r.repeat for r in read_journal(path).runs], [1, 2])


SCHEMA = {"program": Choice(["quadplain", "quadguard"]), "threads": Whole(1, 4096), "time_s": Finite(0),
          "note": Text(max_len=20, required=False, default="-"), "speedup": Finite(allow_empty=True, required=False)}
GOOD = "program,threads,time_s,extra\nquadplain,1,0.5,x\nquadguard,2,2.5e-1,y\n"


class StrictReaders(Folder):
    def write(self, data):
        path = self.path("in.csv")
        with open(path, "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)
        return path

    def test_good_files_read_whole(self):
        for text in (GOOD, "\ufeff" + GOOD.replace("\n", "\r\n"), GOOD + "\n\n"):
            self.assertEqual(read_csv(self.write(text), SCHEMA), [
                {"program": "quadplain", "threads": 1, "time_s": 0.5, "note": "-", "speedup": None},
                {"program": "quadguard", "threads": 2, "time_s": 0.25, "note": "-", "speedup": None}])
        self.assertEqual(read_csv(self.write(""), SCHEMA, header_required=False), [])
        facts = read_key_values(self.write("key,value\nhost,lab\ncores,8\nother,1\n"),
                                {"host": Text(), "cores": Whole(1), "mhz": Finite(required=False)})
        self.assertEqual(facts, {"host": "lab", "cores": 8, "mhz": None})

    def test_damaged_files_are_refused_with_line_and_field(self):
        head = "program,threads,time_s\n"
        cases = [
            (head + "quadplain,1,0.5\nquadguard,2\n", "line 3: 2 fields where the header has 3"),
            (head + "quadplain,1,0.12", "line 2: the last line has no line end: the file was cut short"),
            (head + "quadplain,1,nan\n", "line 2, field time_s: 'nan' is not a finite number"),
            (head + "quadplain,1,-inf\n", "line 2, field time_s: '-inf' is not a finite number"),
            (head + "quadplain,1,1e999\n", "line 2, field time_s: '1e999' is too large for a number"),
            (head + "quadplain,1,-0.5\n", "line 2, field time_s: -0.5 is below 0"),
            (head + "quadplain,1, 0.5\n", "line 2, field time_s: ' 0.5' is not a number"),
            (head + "quadplain,1,\n", "line 2, field time_s: empty, where a number belongs"),
            (head + "quadplain,2.5,1\n", "line 2, field threads: '2.5' is not a whole number"),
            (head + "quadplain,0,1\n", "line 2, field threads: 0 is below 1"),
            (head + "rm -rf,1,1\n", "line 2, field program: 'rm -rf' is not one of quadplain, quadguard"),
            ("program,time_s\nquadplain,1\n", "line 1: no column threads"),
            ("program,threads,threads,time_s\n", "line 1: column 'threads' appears twice"),
            (head + "quadplain,1,1\n\nquadplain,1,1\n", "line 3: an empty line between rows"),
            (head + 'quadplain,1,"1\n', "line 2: not valid CSV"),
            (head.encode() + b"quadplain,1,0.\xff5\n", "line 2: not UTF-8 text (byte 0xff)"),
            (head + "quadplain,1,1\x00\n", "line 2: holds a NUL character"),
            ("", "is empty: it has no header line"),
            ("program,threads,time_s,note\nquadplain,1,1,\"a\nb\"\n", "line 2, field note: 'a\\nb' holds a control"),
        ]
        for data, why in cases:
            with self.subTest(why):
                path = self.write(data)
                message = self.refused(read_csv, path, SCHEMA)
                self.assertTrue(message.startswith(path), message)
                self.assertIn(why, message)
        for data, why in (("host,lab\n", "line 1: the header is 'host,lab', not 'key,value'"),
                          ("key,value\nhost,a\nhost,b\n", "line 3: key 'host' given again (first on line 2)"),
                          ("key,value\ncores,8\n", "no key host"), ("key,value\nhost\n", "line 2: 1 field where")):
            with self.subTest(why):
                self.assertIn(why, self.refused(read_key_values, self.write(data), {"host": Text()}))

    def test_things_that_are_not_regular_files(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)  # opening it to read would wait for a writer forever
        for path, why in ((fifo, "not a regular file"), (self.d, "it is a folder"),
                          (self.path("missing.csv"), "no such file or folder")):
            with self.subTest(why):
                self.assertEqual(self.refused(read_csv, path, SCHEMA), f"cannot read {path}: {why}" +
                                 (", not a file" if why == "it is a folder" else ""))


class EnvironmentCounts(unittest.TestCase):
    def test_counts(self):
        self.assertIsNone(parse_env_count("OMP_NUM_THREADS", None))
        self.assertEqual(parse_env_count("OMP_NUM_THREADS", " 4 "), 4)
        self.assertEqual(parse_env_count("OMP_NUM_THREADS", "4,2"), 4)
        for name, value, why in (("OMP_NUM_THREADS", "abc", "OMP_NUM_THREADS='abc' is not a list of whole numbers"),
                                 ("OMP_NUM_THREADS", "2.5", "is not a list"), ("OMP_NUM_THREADS", "4,0", ": 0 is not from 1 to 4096"),
                                 ("OMP_NUM_THREADS", "-1", "is not a list"), ("OMP_NUM_THREADS", "", "is set but empty"),
                                 ("OMP_THREAD_LIMIT", "4,2", "OMP_THREAD_LIMIT='4,2' is not a whole number"),
                                 ("OMP_THREAD_LIMIT", "5000", ": 5000 is not from 1 to 4096")):
            with self.subTest(value=value), self.assertRaises(SuiteError) as e:
                parse_env_count(name, value, 1, 4096)
            self.assertIn(why, str(e.exception))
            self.assertEqual(e.exception.status, 2)


if __name__ == "__main__":
    unittest.main()
