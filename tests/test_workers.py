"""A fleet run keeps going whatever happens to a worker, and no input is
answered for longer than --timeout: the command as a user runs it, with
its workers killed as the OOM killer would."""
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from command import cli, example

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="finds workers through /proc")

FAST = [b"Kernel: Solaris Unix\n", b"Helix OS\n"]
# A pattern backtracks for half a second or more on this line, which is
# longer than --max-line-length lets through by default.
SLOW_LINE = b"Vantrel x (" * 550 + b"\n"
KILLED = "not answered: its worker process was killed by SIGKILL"


def state(pid):
    """The process's state letter: R running, S sleeping (waiting), ...;
    "" once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return ""


def cpu_seconds(pid):
    """User and system time the process has used; 0 once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:  # gone meanwhile
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found


def fleet(folder, count, slow=()):
    folder.mkdir()
    for i in range(count):
        (folder / ("%04d.txt" % i)).write_bytes(slow[i] if i in slow else FAST[i % 2])
    return [str(folder.name) + "/%04d.txt" % i for i in range(count)]


class Run:
    """The command running on the fleet; its output is read as it comes
    (unless held back), its workers can be killed. Nothing waits unbounded."""

    def __init__(self, cwd, args, read=True):
        self.proc = subprocess.Popen([sys.executable, "-m", "talvern.platformdetails"] + args, cwd=str(cwd),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines, self.errors = [], []
        self.reading = threading.Event()
        if read:
            self.reading.set()
        self.readers = [threading.Thread(target=self.read, args=(stream, into), daemon=True)
                        for stream, into in ((self.proc.stdout, self.lines), (self.proc.stderr, self.errors))]
        for reader in self.readers:
            reader.start()

    def read(self, stream, into):
        self.reading.wait(30)
        for line in stream:
            into.append(line.decode().rstrip("\n"))

    def wait_for(self, condition, seconds=10.0):
        deadline = time.monotonic() + seconds
        while not condition():
            assert time.monotonic() < deadline and self.proc.poll() is None, "the run ended first"
            time.sleep(0.01)

    def workers(self, count):
        self.wait_for(lambda: len(children(self.proc.pid)) >= count)
        return children(self.proc.pid)

    def finish(self):
        self.reading.set()
        try:
            self.proc.wait(60)
        except subprocess.TimeoutExpired:
            pytest.fail("the run hung")
        for reader in self.readers:
            reader.join(10)
        return self.proc.returncode, self.lines, self.errors


@pytest.fixture
def started():
    """Runs to stop, with their workers, should a test fail midway."""
    runs = []
    yield runs
    for run in runs:
        run.proc.stdout.close()
        run.proc.stderr.close()
        if run.proc.poll() is not None:  # ended and reaped: its pid may be another's by now
            continue
        for pid in children(run.proc.pid) + [run.proc.pid]:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass


def answered_once_in_order(names, lines, errors):
    """Every input has exactly one line on stdout or one on stderr, in input order."""
    shown = [line.split(": ")[0] for line in lines]
    failed = [line.split(": ")[1] for line in errors]
    assert sorted(shown + failed) == names and shown == sorted(shown)


@pytest.mark.parametrize("kill_all", [False, True], ids=["one worker", "every worker"])
def test_a_worker_killed_while_answering_costs_only_the_input_it_was_answering(tmp_path, started, kill_all):
    # Each slow input takes a hundredth of a second or more, so the workers
    # have work left for a second or more in their first batch (the first
    # two batches of 256 after the inputs answered here), and each is killed
    # while it runs, well into it: running, but only starting, a worker
    # answers nothing yet. The inputs after those are quick.
    names = fleet(tmp_path / "fleet", 800, {i: b"Vantrel x (" * 170 + b"\n" for i in range(1, 540, 2)})
    run = Run(tmp_path, ["--jobs", "2", "fleet"])
    started.append(run)
    workers = run.workers(2)
    for pid in workers if kill_all else workers[:1]:
        run.wait_for(lambda: cpu_seconds(pid) >= 0.2 and state(pid) == "R")
        os.kill(pid, signal.SIGKILL)
    status, lines, errors = run.finish()
    answered_once_in_order(names, lines, errors)
    assert 0 < len(errors) <= (2 if kill_all else 1) and status == 2
    assert all(line.endswith(": " + KILLED) for line in errors)


def test_an_idle_worker_killed_costs_nothing(tmp_path, started):
    # Output not read: the main process blocks on the full pipe and the
    # workers, far enough ahead, wait with nothing to do.
    names = fleet(tmp_path / "fleet", 8000)  # more than the workers may answer ahead of the output
    run = Run(tmp_path, ["--jobs", "2", "fleet"], read=False)
    started.append(run)
    workers = run.workers(2)
    for _ in range(2):  # waiting, twice in a row: not just between two inputs
        time.sleep(0.2)
        run.wait_for(lambda: all(state(pid) == "S" for pid in workers + [run.proc.pid]))
    os.kill(workers[0], signal.SIGKILL)
    time.sleep(0.1)
    status, lines, errors = run.finish()
    answered_once_in_order(names, lines, errors)
    assert errors == [] and status == 1


def test_workers_killed_near_the_end_cost_the_input_being_answered(tmp_path, started):
    # The last input takes seconds, the others a second in all: once a
    # worker has run for longer than that, it is on the last input, and the
    # other worker waits with nothing to do. Its answers come back with the
    # rest of its batch, so the output cannot tell when that is.
    names = fleet(tmp_path / "fleet", 1200, {1199: b"Vantrel x (" * 1500 + b"\n"})
    run = Run(tmp_path, ["--jobs", "2", "--max-line-length", "0", "fleet"])
    started.append(run)
    workers = run.workers(2)
    run.wait_for(lambda: max(cpu_seconds(pid) for pid in workers) >= 1.5, seconds=30.0)
    run.wait_for(lambda: all(state(pid) == "S" for pid in workers if cpu_seconds(pid) < 1.5))
    for pid in workers:
        os.kill(pid, signal.SIGKILL)
    status, lines, errors = run.finish()
    answered_once_in_order(names, lines, errors)
    assert errors == ["python -m talvern.platformdetails: fleet/1199.txt: " + KILLED] and status == 2


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_an_input_past_the_time_limit_is_an_error_and_the_run_goes_on(tmp_path, jobs):
    # With --jobs 2 the first slow input, answered here, takes long enough
    # to start the workers, and one of them gets the second.
    names = fleet(tmp_path / "fleet", 6, {0: SLOW_LINE, 3: SLOW_LINE})
    os.rename(str(tmp_path / names[3]), str(tmp_path / "fleet" / "0003\x1b[2J.txt"))  # shown escaped
    names[3] = "fleet/0003\\x1b[2J.txt"
    proc = cli(tmp_path, "--jobs", jobs, "--timeout", "0.1", "--max-line-length", "0", "fleet")
    lines, errors = proc.stdout.decode().splitlines(), proc.stderr.decode().splitlines()
    assert errors == ["python -m talvern.platformdetails: %s: not answered within 0.1 s" % names[i] for i in (0, 3)]
    assert lines == ["%s: %s" % (names[i], "not recognised" if i % 2 else "GARU (get_garu_details)")
                     for i in (1, 2, 4, 5)]
    assert proc.returncode == 2


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_where_no_alarm_can_be_set_a_worker_keeps_the_time_limit(tmp_path):
    from talvern.platformdetails.cli.answers import Answerer, answers
    from talvern.platformdetails.cli.inputs import tasks

    names = fleet(tmp_path / "fleet", 3, {1: SLOW_LINE})
    outcomes = []
    # Only the main thread may set an alarm.
    thread = threading.Thread(target=lambda: outcomes.extend(answers(
        Answerer(), tasks([str(tmp_path / name) for name in names], None),
        1, 0.1, lambda: None)))
    thread.start()
    thread.join(30)
    assert [outcome.kind for outcome in outcomes] == ["recognised", "error", "recognised"]
    assert outcomes[1].messages == (("error", str(tmp_path / names[1]), "not answered within 0.1 s"),)


@pytest.mark.parametrize("seconds", ["1e12", "inf", "0"])
def test_a_limit_longer_than_a_timer_takes_is_no_limit(tmp_path, seconds):
    proc = cli(tmp_path, "--timeout", seconds, example("garu.txt"))
    assert (proc.returncode, proc.stderr) == (0, b"")
