"""The tools under hostile input and failure, tried from the outside: fake programs (the real ones
with one replaced by a shell script) and damaged study folders, all made here in code.

Every case states its exit status and the last line on standard error, the one that says what
happened (the measuring commands may print progress before it; compare's refusals print only
it); no case may print a traceback; and whatever folder the tool wrote in holds only whole files,
with nothing left behind that would block a retry."""
import json
import os
import re
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
from ompsuite.platform import files  # noqa: E402  the strict readers: what they accept is whole
from ompsuite.cli.compare import OWNED  # noqa: E402  what would refuse a retry
from ompsuite.cli.scaling import STUDY_FILES  # noqa: E402
from ompsuite.study import read_journal  # noqa: E402
from test_tools import UNDISTURBED, fake_bin  # noqa: E402

BIN, TEST_BIN = os.environ["SUITE_BIN"], os.environ["SUITE_TEST_BIN"]
PI_LINE = "pi = 3.141592653589793, N =    100000, time = 0.01 secs"


def tool(name, *args, env=None, stderr_closed=False, file_limit=None, popen=False):
    """Run ./NAME in a session of its own (signals from the test reach it alone): the finished
    process, with stdout and stderr as text; or, with popen, the running one."""
    e = dict(os.environ, OMP_NUM_THREADS="2")
    for k in ("OMP_PROC_BIND", "OMP_PLACES"):
        e.pop(k, None)
    e.update(env or {})
    argv = [sys.executable, os.path.join(ROOT, name), *args]
    if stderr_closed:
        argv = ["sh", "-c", 'exec "$@" 2>&-', "sh", *argv]

    def limit():
        if file_limit:  # a full disk, as far as the tool can tell: writes past it fail with EFBIG
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_limit, file_limit))

    proc = subprocess.Popen(argv, env=e, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                            preexec_fn=limit)
    if popen:
        return proc
    return finished(proc)


def finished(proc, timeout=120):
    out, err = proc.communicate(timeout=timeout)
    # Lines the tools wrap to 100 columns are read whole.
    proc.stdout_text, proc.stderr_text = out.decode("utf-8", "replace"), err.decode("utf-8", "replace").replace(
        "\n    ", " ")
    return proc


def suite_args(bindir=BIN, *extra):
    calibrate = [] if "--calibration" in extra else ["--no-calibrate"]
    return ["--threads", "1,2", "--repeats", "1", "--pi-n", "1e5", *calibrate, "--precision", "off", *UNDISTURBED,
            "--bin", bindir,
            "--recurrence-n", "1000000", "--recurrence-bin", os.path.join(TEST_BIN, "n1000000"), *extra]


def study_args(out, bindir=BIN, *extra):
    return suite_args(bindir, "--out", out, *extra)


def fake(folder, name, script):
    os.makedirs(folder)
    return fake_bin(folder, name, script)


def null_device(folder):
    """A null device to name as an output. For root, a private node of it: a fault that replaced
    the device with a file must not take the machine's own /dev/null, which others use, with it."""
    if os.geteuid() != 0:
        return os.devnull  # /dev cannot be written in: such a fault fails, and harms nothing
    path = os.path.join(folder, "null")
    os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    return path


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


def whole_line(path):
    """The first line of path once its writer has finished it, else None (absent, or cut short:
    a program stopped between opening the file and writing its line)."""
    try:
        with open(path) as f:
            text = f.read()
    except FileNotFoundError:
        return None
    return text.split("\n", 1)[0] if "\n" in text else None


def wait_for(path, timeout=60, line=False):
    """Wait for path to appear (line: to hold a whole line, which is returned). The timeout only
    bounds a failure: nothing is asserted about how long a busy machine takes."""
    deadline = time.monotonic() + timeout
    while not (whole_line(path) is not None if line else os.path.exists(path)):
        if time.monotonic() > deadline:
            raise AssertionError(f"{path} never {'held a whole line' if line else 'appeared'}")
        time.sleep(0.02)
    return whole_line(path) if line else None


class Hostile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="hostile-")
        cls.good = os.path.join(cls.tmp, "good")
        proc = tool("scaling", *study_args(cls.good))
        if proc.returncode not in (0, 3):
            raise AssertionError(f"the study to damage failed: {proc.stderr_text}")

    @classmethod
    def tearDownClass(cls):
        for folder, _, _ in os.walk(cls.tmp):  # a case may have taken a folder's permissions away
            os.chmod(folder, 0o755)
        shutil.rmtree(cls.tmp)

    def place(self, name):
        return os.path.join(self.tmp, f"{len(os.listdir(self.tmp))}-{name}")

    # -- what every case asserts ---------------------------------------------------------------

    def ends(self, proc, status, last, alone=False):
        err = proc.stderr_text
        self.assertNotIn("Traceback", err)
        if status == 0:  # 3: every check passed, but a busy machine left some figures untrusted
            self.assertIn(proc.returncode, (0, 3), err)
        else:
            self.assertEqual(proc.returncode, status, err)
        lines = err.splitlines()
        if last is not None:
            self.assertTrue(lines, "nothing on standard error")
            self.assertRegex(lines[-1], last, err)
        if alone:
            self.assertEqual(len(lines), 1, err)

    def whole(self, folder, held=False):
        """Only whole files in folder: every CSV as the strict readers take it, nothing temporary
        left (nor the lock, unless a tool still holds the folder), every other file complete.
        The number of runs the journal holds whole, or None."""
        if not os.path.isdir(folder):
            return None
        runs = None
        for name in os.listdir(folder):
            path = os.path.join(folder, name)
            if held and name == files.LOCK_NAME:
                continue
            self.assertFalse(name.startswith(".") or name.endswith(".part"), f"left behind in {folder}: {name}")
            try:
                if name == "machine.csv":
                    files.read_key_values(path, {})
                elif name.endswith(".csv"):
                    files.read_csv(path, {})
                elif name.endswith(".json"):
                    json.loads(files.read_text(path))
                elif name.endswith(".jsonl"):
                    text = files.read_text(path)
                    self.assertTrue(text == "" or text.endswith("\n"), f"{path} ends in a cut line")
                    runs = len(read_journal(path).runs) if text else 0  # its header line, then the runs
                elif name.endswith(".png"):
                    with open(path, "rb") as f:
                        data = f.read()
                    self.assertTrue(data.startswith(b"\x89PNG") and data.endswith(b"IEND\xaeB`\x82"), path)
                else:
                    self.assertTrue(files.read_text(path).endswith("\n"), f"{path} is cut short")
            except files.SuiteError as e:
                self.fail(f"not whole: {e}")
        return runs

    def nothing_blocks_retry(self, folder, owned=STUDY_FILES):
        if os.path.isdir(folder):
            self.assertEqual([n for n in os.listdir(folder) if n in owned or n.startswith(".")], [], folder)

    def saved(self, proc, out):
        """A stopped study: 'M of N runs saved in OUT' last, and M is what the journal holds whole."""
        found = re.search(rf"; (\d+) of \d+ runs saved in {re.escape(out)}(;|$)", proc.stderr_text.splitlines()[-1])
        self.assertTrue(found, proc.stderr_text)
        self.assertEqual(self.whole(out), int(found.group(1)))
        return int(found.group(1))

    # -- measuring with programs that misbehave ------------------------------------------------

    def test_programs_that_misbehave(self):
        pid = 'echo $$ > "$CALLS.pid"; '
        byte, esc, bel = "$(printf '\\377')", "$(printf '\\033')", "$(printf '\\007')"
        cases = (  # (case, command, program, script, options, status, what stderr says last (or at all, for 0))
            ("sleeps forever", "scaling", "quadmerge", pid + "exec sleep 1000\n", ["--run-timeout", "2"], 124,
             r"^scaling: quadmerge ran past its 2-second limit and was stopped .*; \d+ of \d+ runs saved in "),
            ("ignores SIGTERM", "scaling", "quadmerge", pid + "trap '' TERM; exec sleep 1000\n", ["--run-timeout", "2"],
             124, r"^scaling: quadmerge ran past its 2-second limit .*; \d+ of \d+ runs saved in "),
            ("prints without end", "scaling", "quadmerge", f'exec yes "{PI_LINE}"\n', [], 1,
             r"^check failed: quadmerge .*: FAIL: .*printed more than 1 MiB on stdout"),
            ("a team of 99999999", "runsuite", "teamtally",
             '"$REAL" "$@" | sed "s/Number of threads = [0-9]*/Number of threads = 99999999/"\n', [], 1,
             r"^check failed: teamtally .*: FAIL: .*a team of 99999999 threads"),
            ("a terminal escape in the report", "runsuite", "teamtally",
             f'"$REAL" "$@" | sed "s/Total= .*/Total= {esc}]0;owned{bel}/"\n', [], 1,
             r"^check failed: teamtally .*: FAIL: total \\x1b\]0;owned\\x07, expected"),
            ("non-UTF-8 in the report", "scaling", "quadmerge", f'"$REAL" "$@" | sed "s/^pi = 3/pi = {byte}/"\n', [],
             1, r"^check failed: quadmerge .*: FAIL"),
            ("non-UTF-8 around the report", "scaling", "quadmerge",
             f'"$REAL" "$@"; echo "stray {byte}"; echo "warning {byte}" >&2\n', [], 0,
             "(?m)^quadmerge says on stderr: warning \ufffd$"),
            ("a median of exactly 0", "scaling", "quadmerge",
             '"$REAL" "$@" | sed "s/time = [0-9.]*/time = 0.00000000/"\n', [], 0, None),
        )
        for case, command, program, script, options, status, said in cases:
            with self.subTest(case=case):
                d = self.place(case.replace(" ", "-"))
                out = os.path.join(d, "out")
                bindir = fake(os.path.join(d, "bin"), program, script)
                proc = tool(command, *(study_args(out, bindir, *options) if command == "scaling"
                                       else suite_args(bindir, "--no-warmup", *options)))
                self.ends(proc, status, said if status else None)
                if status == 0 and said:
                    self.assertRegex(proc.stderr_text, said)
                if said and "runs saved" in said:
                    self.saved(proc, out)
                self.whole(out)
                if command == "scaling":
                    for name in ("machine.csv", "summary.csv", "summary.md", "study.json"):
                        self.assertTrue(os.path.exists(os.path.join(out, name)), name)
                pid = whole_line(os.path.join(d, "bin", "calls.pid"))  # None: stopped before it said
                if pid is not None:
                    self.assertFalse(alive(int(pid)), "the program outlived its run")

    # -- refused before anything is measured ---------------------------------------------------

    def test_refused_before_measuring(self):
        d = self.place("refused")
        os.makedirs(d)
        loop = os.path.join(d, "loop")
        os.symlink(loop, loop)
        inert = fake(os.path.join(d, "inert"), "quadmerge", "exit 0\n")
        os.chmod(os.path.join(inert, "quadmerge"), 0o644)
        calibrations = {"non-numeric": "figure,threads,median,low95\nadd_latency,1,fast,\n",
                        "missing column": "figure,threads,low95\nadd_latency,1,1e-9\n",
                        "non-UTF-8": "figure,threads,median,low95\nadd_\xff,1,1e-9,\n"}
        for name, text in calibrations.items():
            with open(os.path.join(d, name), "w", encoding="latin-1") as f:
                f.write(text)
        tuned = os.path.join(d, "tuned")  # a build tree tuned with -march=native on another node
        os.makedirs(os.path.join(tuned, "bin"))
        with open(os.path.join(tuned, "host-cpu.txt"), "w") as f:
            f.write("model name: Another processor\nflags: fpu\n")
        out = os.path.join(d, "out")
        cases = (  # (case, options, environment, last line)
            ("--repeats 1e99", ["--repeats", "1e99"], {}, r"--repeats: must be at most 1000"),
            ("--recurrence-repeats 1e99", ["--recurrence-repeats", "1e99"], {}, r"must be at most 100\b"),
            ("OMP_NUM_THREADS=abc", [], {"OMP_NUM_THREADS": "abc"}, r"^scaling: OMP_NUM_THREADS='abc' is not"),
            ("OMP_NUM_THREADS=2.5", [], {"OMP_NUM_THREADS": "2.5"}, r"^scaling: OMP_NUM_THREADS='2.5' is not"),
            ("OMP_NUM_THREADS=-1", [], {"OMP_NUM_THREADS": "-1"}, r"^scaling: OMP_NUM_THREADS='-1' is not"),
            ("--bin ''", ["--bin", ""], {}, r"^scaling: --bin is empty"),
            ("not executable", ["--bin", inert], {}, r"^scaling: --bin .* has quadmerge, but it is not executable$"),
            ("tuned for another processor", ["--bin", os.path.join(tuned, "bin")], {},
             rf"^scaling: {re.escape(tuned)} is tuned \(-march=native\) for another processor \(Another processor; "
             r"this one: .*\), so its programs may not run here: remove it to rebuild, or use a portable build"),
            ("--out /proc", ["--out", "/proc"], {}, r"^scaling: cannot write in the folder /proc: "),
            ("--out a loop", ["--out", loop], {}, r"^scaling: cannot use .*loop as the output folder: a loop of "
                                                  r"symbolic links$"),
            *((f"--calibration {name}", ["--calibration", os.path.join(d, name)], {},
               rf"^scaling: {re.escape(os.path.join(d, name))} line \d+\b.*{why}")
              for name, why in (("non-numeric", "median.*'fast' is not a number"), ("missing column", "median"),
                                ("non-UTF-8", "not UTF-8"))),
        )
        for case, options, env, last in cases:
            with self.subTest(case=case):
                proc = tool("scaling", *study_args(out, BIN, *options), env=env)
                self.ends(proc, 2, last)
                self.assertEqual(proc.stdout_text, "")
                self.nothing_blocks_retry(out)
        self.nothing_blocks_retry("/proc")

    def test_written_and_run_only_as_named(self):
        d = self.place("as-named")
        os.makedirs(d)
        # --bin in a folder that looks like a build tree: its CMake cache names a compiler, and
        # bench/calibrate sits beside it; neither was built by the tools, so neither may run.
        marker = os.path.join(d, "RAN")
        tree = os.path.join(d, "tree")
        bindir = fake(os.path.join(tree, "bin"), "quadmerge", 'exec "$REAL" "$@"\n')
        os.makedirs(os.path.join(tree, "bench"))
        for path in (os.path.join(d, "fake-c++"), os.path.join(tree, "bench", "calibrate")):
            with open(path, "w") as f:
                f.write(f"#!/bin/sh\necho $0 >> {marker}\nexit 1\n")
            os.chmod(path, 0o755)
        with open(os.path.join(tree, "CMakeCache.txt"), "w") as f:
            f.write(f"CMAKE_CXX_COMPILER:FILEPATH={d}/fake-c++\n")
        # The results go where the names say: a FIFO gets the data, a link is written through, the
        # null device stays one.
        real, link, fifo = (os.path.join(d, n) for n in ("real.json", "link.json", "fifo.csv"))
        with open(real, "w") as f:
            f.write("an earlier run\n")
        os.symlink("real.json", link)
        os.mkfifo(fifo)
        got = []

        def read_fifo():
            with open(fifo) as f:
                got.append(f.read())
        reader = threading.Thread(target=read_fifo, daemon=True)
        reader.start()
        null = null_device(d)
        args = [a for a in suite_args(bindir, "--no-warmup") if a != "--no-calibrate"]
        proc = tool("runsuite", *args, "--json", link, "--csv", fifo, "--markdown", null)
        if not got:
            open(fifo, "w").close()  # a run that never wrote it: let the reader go
        reader.join(60)
        self.ends(proc, 0, None)
        self.assertFalse(os.path.exists(marker), "a program the tools neither built nor were given ran")
        self.assertIn("no calibrate program for", proc.stderr_text)
        self.assertTrue(os.path.islink(link))
        facts = json.loads(files.read_text(real))["context"]["ompsuite_machine"]
        self.assertEqual(facts["compiler"], "unknown (programs from outside the suite's build trees)")
        self.assertTrue(got and got[0].startswith("series,program,threads"), got)
        self.assertTrue(stat.S_ISCHR(os.stat(null).st_mode))
        self.assertEqual(sorted(set(os.listdir(d)) - {"null"}),
                         ["fake-c++", "fifo.csv", "link.json", "real.json", "tree"])
        # A name that could not be written at the end is refused before anything runs.
        for case, option, path, last in (
                ("an empty name", "--json", "", r"^runsuite: --json is empty"),
                ("a folder", "--csv", d, r"^runsuite: --csv .*: names a folder, not a file$"),
                ("in a missing folder", "--markdown", os.path.join(d, "missing", "t.md"),
                 r"^runsuite: --markdown .*: the folder .*missing does not exist$"),
                ("the page as a folder", "--report", d + "/", r"^runsuite: --report .*: names a folder, not a file$")):
            with self.subTest(case=case):
                proc = tool("runsuite", *suite_args(bindir, "--no-warmup"), option, path)
                self.ends(proc, 2, last, alone=True)
                self.assertEqual(proc.stdout_text, "")

    def test_one_study_per_folder(self):
        d = self.place("two-writers")
        out = os.path.join(d, "out")
        bindir = fake(os.path.join(d, "bin"), "quadmerge", f'[ $n -eq 3 ] && {{ touch {d}/waiting; sleep 60; }}\n'
                                                         'exec "$REAL" "$@"\n')
        first = tool("scaling", *study_args(out, bindir), popen=True)
        try:
            wait_for(os.path.join(d, "waiting"))
            before = self.whole(out, held=True)
            second = tool("scaling", *study_args(out))
            self.ends(second, 2, rf"^scaling: {re.escape(out)} is in use by another study \(pid {first.pid}\)$")
            self.assertEqual(second.stdout_text, "")
            self.assertEqual(self.whole(out, held=True), before, "the second study wrote in the first's folder")
        finally:
            first.send_signal(signal.SIGTERM)
            finished(first)
        self.ends(first, 128 + signal.SIGTERM, r"^scaling: interrupted by SIGTERM; ")
        self.assertGreaterEqual(self.saved(first, out), before)

    # -- signals ---------------------------------------------------------------------------------

    def test_signals_stop_cleanly(self):
        # The running program ignores SIGTERM: the tool must neither wait for it nor leave it behind.
        stubborn = '[ $n -eq 3 ] && { trap "" TERM; echo $$ > "$CALLS.pid"; exec sleep 60; }\nexec "$REAL" "$@"\n'
        cases = [(s, None, stubborn) for s in (signal.SIGQUIT, signal.SIGUSR1, signal.SIGALRM, signal.SIGTERM)]
        # A second SIGTERM (batch systems send bursts) while the stop is under way: the program's
        # end, the summary's writing.
        cases += [(signal.SIGTERM, delay, stubborn.replace('trap "" TERM; ', "")) for delay in (0.01, 0.03, 0.06)]
        for signum, again, script in cases:
            with self.subTest(signal=signum.name, again=again):
                d = self.place(f"signal-{signum.name}")
                out = os.path.join(d, "out")
                proc = tool("scaling", *study_args(out, fake(os.path.join(d, "bin"), "quadmerge", script)), popen=True)
                # Its pid written whole: the stop may not cut the program short before it said it.
                pid = int(wait_for(os.path.join(d, "bin", "calls.pid"), line=True))
                proc.send_signal(signum)
                if again:
                    time.sleep(again)
                    proc.send_signal(signal.SIGTERM)
                finished(proc, timeout=60)
                self.ends(proc, 128 + signum, rf"^scaling: interrupted by {signum.name}; \d+ of \d+ runs saved in ")
                self.assertGreater(self.saved(proc, out), 0)
                self.assertTrue(os.path.exists(os.path.join(out, "summary.md")))
                facts = files.read_key_values(os.path.join(out, "machine.csv"), {"completed": files.Text()})
                self.assertRegex(facts["completed"], rf"^no: interrupted by {signum.name}")
                self.assertFalse(alive(pid), "the running program outlived the tool")

    # -- the study's own surroundings ------------------------------------------------------------

    def test_surroundings(self):
        d = self.place("surroundings")
        os.makedirs(d)
        failing = fake(os.path.join(d, "bin"), "quadmerge",
                       '[ $n -eq 3 ] && { echo "disk on fire" >&2; exit 7; }\nexec "$REAL" "$@"\n')
        calibration = os.path.join(d, "calibration.csv")
        with open(calibration, "w") as f:  # larger than the disk below holds
            f.write("figure,threads,median,low95\n" + "add_latency,1,1e-9,\n" * 300)
        full = {"file_limit": 2500, "env": {"PATH": "/nonexistent"}}  # without hwloc: no topology.xml first
        cases = (  # (case, options, tool's surroundings, status, last line)
            ("stderr closed", ["--bin", failing], {"stderr_closed": True}, 7, None),
            ("a full disk", [], full, 1, r"^scaling: cannot write .*/runs\.jsonl: file too large; it holds \d+ whole "
                                        r"runs?; \d+ of \d+ runs saved in .*; then cannot write .*: "
                                        r"[Ff]ile too large$"),
            ("a full disk for the calibration", ["--calibration", calibration], full, 1,
             r"^scaling: cannot write .*/calibration\.csv: file too large$"),
            ("PYTHONIOENCODING=ascii", [], {"env": {"PYTHONIOENCODING": "ascii"}}, 0, None),
            ("--bin with a trailing slash", ["--bin", BIN + "/"], {}, 0, None),
        )
        victim = os.path.join(d, "victim")
        with open(victim, "w") as f:
            f.write("keep\n")
        for case, options, how, status, last in cases:
            if "file_limit" in how and "TSAN_OPTIONS" in os.environ:
                continue  # ThreadSanitizer's runtime itself fails under a file-size limit (status 66)
            with self.subTest(case=case):
                # A folder name the ASCII-only output must escape, whatever units the times take.
                out = os.path.join(d, case.replace(" ", "-") + ("-\u00b5" if "PYTHONIOENCODING" in case else ""))
                if status == 0:  # a plot's name with .part, a link planted there in advance
                    os.makedirs(out)
                    os.symlink(victim, os.path.join(out, "speedup.png.part"))
                proc = tool("scaling", *study_args(out, BIN, *options), **how)
                self.ends(proc, status, last)
                if status == 0:  # passed over, neither followed nor taken for the tool's own
                    self.assertEqual(os.readlink(os.path.join(out, "speedup.png.part")), victim)
                    os.unlink(os.path.join(out, "speedup.png.part"))
                self.whole(out)
                if "runs saved" in (last or ""):
                    self.saved(proc, out)
                if status == 1:
                    self.nothing_blocks_retry(out, ("calibration.csv",))
                    continue
                facts = files.read_key_values(os.path.join(out, "machine.csv"),
                                              {"completed": files.Text(max_len=1000), "compiler": files.Text()})
                if status == 0:
                    self.assertEqual(facts["completed"], "yes")
                    self.assertEqual(facts["compiler"], self.good_facts()["compiler"])
                else:  # the reason reached machine.csv and the exit status, with nowhere else to go
                    self.assertRegex(facts["completed"], r"^no: quadmerge failed with status 7: disk on fire; "
                                                         r"\d+ of \d+ runs saved in ")
                if "PYTHONIOENCODING" in case:
                    self.assertIn("\\xb5", proc.stdout_text)  # the folder's µ, escaped
                    self.assertTrue(proc.stdout_text.isascii())
        with open(victim) as f:
            self.assertEqual(f.read(), "keep\n", "a link planted in the output folder was written through")

    def good_facts(self):
        return files.read_key_values(os.path.join(self.good, "machine.csv"), {"compiler": files.Text()})

    # -- compare on damaged and hostile studies --------------------------------------------------

    def copy(self, name, **edits):
        """A copy of the good study in a folder named name, each file edited by a function of its
        bytes (study_json=... for study.json); folder=f edits the folder itself."""
        path = self.place("") + name
        shutil.copytree(self.good, path)
        for fname, edit in edits.items():
            if fname == "folder":
                edit(path)
                continue
            fname = os.path.join(path, fname.replace("_", "."))
            with open(fname, "rb") as f:
                data = edit(f.read())
            with open(fname, "wb") as f:
                f.write(data)
        return path

    def test_compare(self):
        marker = "PWNED"  # a line of its own in compare.md, if a value could break out of its cell
        loop = os.path.join(self.tmp, "study-loop")
        os.symlink(loop, loop)

        def median(value):  # the first summary's median_s
            return lambda data: re.sub(rb'"median_s": [^,\n]*', b'"median_s": ' + value, data, count=1)

        def host(value):
            return lambda data: re.sub(rb'("host",\s*)"[^"]*"', lambda m: m.group(1) + json.dumps(value).encode(),
                                       data, count=1)

        def fifo(path):
            os.remove(os.path.join(path, "study.json"))
            os.mkfifo(os.path.join(path, "study.json"))

        cases = (  # (case, study, how compare runs, status, last line): 1 for a study it cannot read
            ("median NaN", self.copy("nan", study_json=median(b"NaN")), {}, 1,
             r"study\.json: not JSON \(NaN is not a number JSON allows\)"),
            ("median Infinity", self.copy("inf", study_json=median(b"Infinity")), {}, 1,
             r"study\.json: not JSON \(Infinity is not a number"),
            ("median 1e999", self.copy("big", study_json=median(b"1e999")), {}, 1,
             r"study\.json: summary field median_s is too large"),
            ("cut short", self.copy("cut", study_json=lambda d: d[:len(d) // 2]), {}, 1, r"study\.json: not JSON \("),
            ("non-UTF-8 study", self.copy("latin", study_json=lambda d: d.replace(b"quadplain", b"quad\xffplain")),
             {}, 1, r"study\.json line \d+: not UTF-8"),
            ("a later format", self.copy("later", study_json=lambda d: re.sub(rb'"format": \d+', b'"format": 9', d, 1)),
             {}, 1, r"study\.json: its format 9 is not one this version reads"),
            ("a FIFO for a study", self.copy("fifo", folder=fifo), {}, 1, r"study\.json: not a regular file"),
            ("host across lines", self.copy("host", study_json=host(f"lab\n{marker}\nlab")), {}, 0, None),
            ("host with pipes", self.copy("pipes", study_json=host(f"lab | {marker} |")), {}, 0, None),
            # The folder's name is the study's label when its host is empty.
            ("folder name across lines", self.copy(f"\n{marker}\n", study_json=host("")), {}, 0, None),
            ("non-UTF-8 path", self.copy("\udcff"), {}, 0, None),
            ("a loop of links", loop, {}, 1, r"^compare: .*study-loop.*a loop of symbolic links"),
            ("a full disk", self.copy("full"), {"file_limit": 2000}, 1, r"^compare: cannot write .*compare\.md: "),
        )
        for case, study, how, status, last in cases:
            with self.subTest(case=case):
                out = self.place("compare")
                proc = tool("compare", "--out", out, self.good, study, **how)
                refused = status == 1 and "cannot write" not in (last or "")
                self.ends(proc, status, last, alone=refused)
                self.whole(out)
                if refused:
                    self.assertFalse(os.path.exists(out), "a refused comparison leaves no folder")
                elif status == 0:
                    md = files.read_text(os.path.join(out, "compare.md"))
                    self.assertNotRegex(md, rf"(?m)^{marker}|(?<!\\)\| {marker}")
                else:
                    self.nothing_blocks_retry(out, OWNED)
        if os.geteuid() == 0:
            print("\nnote: no case of a study folder without search permission: root may search any folder",
                  file=sys.stderr)
        else:
            hidden = self.copy("hidden", folder=lambda p: os.chmod(p, 0))
            proc = tool("compare", "--out", self.place("compare"), self.good, hidden)
            self.ends(proc, 1, r"^compare: .*hidden.*permission denied", alone=True)


if __name__ == "__main__":
    unittest.main(argv=sys.argv)
