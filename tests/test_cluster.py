"""The Slurm batch script on a private single-node cluster, and the compare command, on real
studies made at small sizes. Exits 77 (skipped) with the reason when Slurm cannot be started
here (not root, packages missing); the batch test never passes without having run a job."""
import csv
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import reference as ref

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
from ompsuite.export.tables import fmt_time  # noqa: E402  the unit rule the Markdown uses
from ompsuite.export.comparison import fmt, team  # noqa: E402
from ompsuite.study import Series, load  # noqa: E402
from test_tools import UNDISTURBED  # noqa: E402

SMALL_N = 1000000
SLURM_TOOLS = {"slurmctld": "slurmctld", "slurmd": "slurmd", "sbatch": "slurm-client", "scontrol": "slurm-client",
               "sinfo": "slurm-client", "scancel": "slurm-client", "munged": "munge", "mungekey": "munge"}


def study_args(pi_n):
    return ["--repeats", "1", "--pi-n", pi_n, "--no-calibrate", "--bin", os.environ["SUITE_BIN"], *UNDISTURBED,
            "--recurrence-n", str(SMALL_N),
            "--recurrence-bin", os.path.join(os.environ["SUITE_TEST_BIN"], f"n{SMALL_N}")]


def direct_study(out, pi_n):
    proc = subprocess.run([os.path.join(ROOT, "scaling"), "--threads", "1,2", "--out", out, *study_args(pi_n)],
                          capture_output=True, text=True, timeout=600)
    if proc.returncode not in (0, 3):  # 3: a figure that is no result on a busy machine, not a failed check
        raise AssertionError(f"study for {out} failed: {proc.stderr}")
    return out


def compare(*args, env=None):
    return subprocess.run([sys.executable, os.path.join(ROOT, "compare"), *args], capture_output=True, text=True,
                          timeout=120, env=env)


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def markdown_rows(text, first_header):
    """Rows of the Markdown table whose header starts with first_header, as dicts."""
    lines = text.splitlines()
    start = next(i for i, ln in enumerate(lines) if ln.startswith(f"| {first_header} |"))
    head = [c.strip() for c in lines[start].strip("|").split(" | ")]
    rows = []
    for ln in lines[start + 2:]:
        if not ln.startswith("|"):
            break
        rows.append(dict(zip(head, (c.strip() for c in ln.strip("|").split(" | ")))))
    return rows


class Compare(unittest.TestCase):
    """compare on two real studies of different pi sizes (its reading and refusals are unit-tested
    on stored studies: tests/unit/test_compare.py)."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.small = direct_study(os.path.join(cls.tmp.name, "small"), "1e5")
        cls.large = direct_study(os.path.join(cls.tmp.name, "large"), "2e5")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_side_by_side(self):
        out = os.path.join(self.tmp.name, "cmp")
        proc = compare("--out", out, self.small, self.large)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertRegex(proc.stderr, r"different problem sizes \(quadplain: 100000 on [^;]*, 200000 on ")
        self.assertIn(f"written: {out}/compare.md, verdicts.csv", proc.stdout)
        with open(os.path.join(out, "compare.md")) as f:
            md = f.read()
        self.assertIn("**Different problem sizes:**", md)
        self.assertNotIn("growplain", md.split("**Different problem sizes:**")[1].split("##")[0],
                         "the recurrence ran at one size in both studies")

        studies = [load(os.path.join(s, "study.json")) for s in (self.small, self.large)]
        machines = markdown_rows(md, "machine")
        self.assertEqual(len(machines), 2)
        for study, row in zip(studies, machines):
            self.assertTrue(row["machine"].startswith(study.fact("host")), row)
            self.assertEqual(row["processor"], study.fact("processor"))
        labels = [row["machine"] for row in machines]
        self.assertNotEqual(labels[0], labels[1], "the same host twice needs two names")

        # Every figure in the side-by-side table is the one its own study holds.
        table = {(r["program"], r["threads"]): r for r in markdown_rows(md, "program")}
        for label, study in zip(labels, studies):
            strong = study.of_series(Series.STRONG)
            self.assertEqual(sorted(table), sorted((s.program, team(s.threads)) for s in strong))
            for s in strong:
                got = table[(s.program, team(s.threads))]
                self.assertEqual(got[f"{label} median"], fmt_time(s.median_s), (label, s))
                self.assertEqual(got[f"{label} speedup"], fmt(s.speedup, "%.2f"), (label, s))
                self.assertEqual(got[f"{label} efficiency"], fmt(s.efficiency, "%.2f"), (label, s))


    def test_either_file_of_a_study_gives_the_same_figures(self):
        out = os.path.join(self.tmp.name, "files")
        proc = compare("--out", out, *(os.path.join(self.small, f) for f in ("study.json", "results.json")))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertLessEqual(max(len(line) for line in (proc.stdout + proc.stderr).splitlines()), 100)
        with open(os.path.join(out, "compare.md")) as f:
            rows = markdown_rows(f.read(), "program")
        self.assertTrue(rows)
        for row in rows:  # program, threads, then each file's median, speedup, efficiency and check
            values = list(row.values())[2:]
            self.assertEqual(values[:len(values) // 2], values[len(values) // 2:], row)


def free_ports(count):
    socks = [socket.socket() for _ in range(count)]
    try:
        for s in socks:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


class PrivateSlurm:
    """munged, slurmctld and slurmd on localhost, with a fresh key, a generated configuration and
    all state in one folder; stop() ends whatever start() began, by process id."""

    def __init__(self, folder):
        self.dir = folder
        self.procs = []
        self.tools = {}
        self.env = dict(os.environ, SLURM_CONF=os.path.join(folder, "slurm.conf"))

    def missing(self):
        """Why this machine cannot run the cluster, or None."""
        if os.geteuid() != 0:
            return f"the daemons run as root here, and this runs as uid {os.geteuid()}"
        path = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"
        self.tools = {name: shutil.which(name, path=path) for name in SLURM_TOOLS}
        lacking = sorted({SLURM_TOOLS[n] for n, p in self.tools.items() if p is None})
        if lacking:
            return f"Slurm is not installed (Debian packages {' '.join(lacking)})"
        return None

    def _spawn(self, name, args):
        log = open(os.path.join(self.dir, f"{name}.out"), "w")
        self.procs.append((name, subprocess.Popen([self.tools[name], *args], stdout=log, stderr=subprocess.STDOUT,
                                                  stdin=subprocess.DEVNULL, start_new_session=True)))
        log.close()

    def _wait(self, what, ready, seconds=30):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            for name, p in self.procs:
                if p.poll() is not None:
                    raise AssertionError(f"{name} exited with status {p.returncode}: {self.log_tail(name)}")
            if ready():
                return
            time.sleep(0.2)
        raise AssertionError(f"{what} not ready after {seconds} s: "
                             + " / ".join(self.log_tail(n) for n, _ in self.procs))

    def log_tail(self, name):
        try:
            with open(os.path.join(self.dir, f"{name}.out")) as f:
                return " | ".join(f.read().splitlines()[-5:])
        except OSError:
            return "(no log)"

    def tool(self, name, *args, timeout=30):
        return subprocess.run([self.tools[name], *args], env=self.env, capture_output=True, text=True,
                              timeout=timeout)

    def start(self):
        # munged refuses a socket that others cannot reach: the folder and its parent need mode 755.
        for d in (os.path.dirname(self.dir), self.dir):
            os.chmod(d, 0o755)
        key, sock = os.path.join(self.dir, "munge.key"), os.path.join(self.dir, "munge.sock")
        subprocess.run([self.tools["mungekey"], "-c", "-k", key], check=True, capture_output=True)
        self._spawn("munged", ["-F", f"--key-file={key}", f"--socket={sock}",
                               f"--pid-file={self.dir}/munged.pid", f"--log-file={self.dir}/munged.log",
                               f"--seed-file={self.dir}/munged.seed"])
        self._wait("munged", lambda: os.path.exists(sock))

        node = subprocess.run([self.tools["slurmd"], "-C"], capture_output=True, text=True).stdout.splitlines()[0]
        host = re.match(r"NodeName=(\S+)", node).group(1)
        ctld_port, d_port = free_ports(2)
        for sub in ("state", "spool"):
            os.mkdir(os.path.join(self.dir, sub))
        with open(self.env["SLURM_CONF"], "w") as f:
            f.write(f"""ClusterName=ompsuite-test
SlurmctldHost={host}(127.0.0.1)
SlurmctldPort={ctld_port}
SlurmdPort={d_port}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket={sock}
CredType=cred/munge
StateSaveLocation={self.dir}/state
SlurmdSpoolDir={self.dir}/spool
SlurmctldPidFile={self.dir}/slurmctld.pid
SlurmdPidFile={self.dir}/slurmd.pid
ProctrackType=proctrack/linuxproc
TaskPlugin=task/affinity
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
MpiDefault=none
MailProg=/bin/true
ReturnToService=2
MinJobAge=4
{node} NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=main Nodes=ALL Default=YES MaxTime=INFINITE State=UP
""")
        conf = ["-D", "-f", self.env["SLURM_CONF"]]
        self._spawn("slurmctld", conf)
        self._spawn("slurmd", conf)
        self._wait("the Slurm node", lambda: self.tool("sinfo", "-h", "-o", "%T").stdout.strip() == "idle")

    def stop(self):
        names = [n for n, p in self.procs if p.poll() is None]
        if "slurmctld" in names:
            try:
                self.tool("scancel", "--user=root", timeout=10)
                self.tool("scontrol", "shutdown", timeout=10)
            except subprocess.TimeoutExpired:
                pass
        for name, p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


class BatchPath(unittest.TestCase):
    def test_study_through_sbatch(self):
        with tempfile.TemporaryDirectory() as tmp:
            cluster = PrivateSlurm(os.path.join(tmp, "slurm"))
            os.mkdir(cluster.dir)
            why = cluster.missing()
            if why:
                self.skipTest(why)
            try:
                cluster.start()
                self.run_jobs(cluster, tmp)
            finally:
                cluster.stop()

    def run_jobs(self, cluster, tmp):
        studies = os.path.join(tmp, "studies")
        env = dict(cluster.env)
        env.pop("OMPSUITE_ROOT", None)  # the script must find the checkout from the submit folder

        def submit(*args):
            proc = subprocess.run([cluster.tools["sbatch"], "--wait", "--parsable", f"--output={tmp}/job-%j.out",
                                   os.path.join(ROOT, "slurm", "study.sbatch"), *args],
                                  cwd=os.path.join(ROOT, "tests"), env=env, capture_output=True, text=True,
                                  timeout=600)
            job = proc.stdout.strip().split(";")[0]
            self.assertRegex(job, r"^\d+$", f"sbatch gave no job id: {proc.stderr}")
            with open(os.path.join(tmp, f"job-{job}.out")) as f:
                return proc.returncode, job, f.read()

        # A study that fails stops the job with the study's status, which sbatch --wait returns.
        status, _, output = submit(studies, "--pi-n", "0")
        self.assertEqual(status, 2, output)
        self.assertIn("--pi-n", output)

        status, job, output = submit(studies, *study_args("1e5"))
        self.assertIn(status, (0, 3), output)  # 3: a fill the busy machine made look faster than its team
        host = socket.gethostname().split(".")[0]
        made = os.listdir(studies)
        self.assertEqual(len(made), 1, made)
        self.assertRegex(made[0], rf"^{re.escape(host)}-{job}-\d{{8}}-\d{{6}}$")
        study = os.path.join(studies, made[0])
        for name in ("runs.csv", "machine.csv", "summary.csv"):
            self.assertTrue(os.path.isfile(os.path.join(study, name)), name)

        # The thread list follows the node's cores: 1, 2, 4, ... and the core count.
        lscpu = subprocess.run(["lscpu", "-p=CPU,CORE,SOCKET"], capture_output=True, text=True).stdout
        mine = os.sched_getaffinity(0)
        cores = len({tuple(ln.split(",")[1:]) for ln in lscpu.splitlines()
                     if not ln.startswith("#") and int(ln.split(",")[0]) in mine})
        expected = sorted({2 ** k for k in range(cores.bit_length()) if 2 ** k <= cores} | {cores})
        runs = read_csv(os.path.join(study, "runs.csv"))
        self.assertEqual(sorted({int(r["threads_requested"]) for r in runs if r["program"] == "quadguard"}), expected)
        self.assertTrue(all(r["check"] == "ok" for r in runs), runs)

        second = direct_study(os.path.join(tmp, "direct"), "2e5")
        out = os.path.join(tmp, "cmp")
        proc = compare("--out", out, study, second)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("different problem sizes", proc.stderr)
        with open(os.path.join(out, "compare.md")) as f:
            self.assertIn(f"| {study} |", f.read())


if __name__ == "__main__":
    ref.main()
