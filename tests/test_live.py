"""The command asking emulated devices on 127.0.0.1: the same answers as
for files, one per target, the failure classes counted, saved captures,
retries, credentials and Ctrl-C."""
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("asyncssh")

from live_fleet import serving  # noqa: E402
from ssh_emulator import BANNER, Device  # noqa: E402

from talvern.platformdetails.cli.inventory import collect, read_inventory  # noqa: E402
from talvern.platformdetails.live import fleet as _fleet  # noqa: E402
from talvern.platformdetails.live.targets import Target, TargetError  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
TEXTS = {name: (EXAMPLES / name).read_text() for name in ("tolm-processor.txt", "garu.txt", "unrelated.txt")}
PASSWORD = "pw-N0t-For-Any-Output"


@pytest.fixture
def fleet(tmp_path):
    yield from serving(tmp_path, PASSWORD)


def good_devices(fleet):
    return [fleet.start(Device(TEXTS["tolm-processor.txt"])),
            fleet.start(Device(TEXTS["garu.txt"], kind="shell", banner=BANNER, page=4, prompt="garu-2>")),
            fleet.start(Device(TEXTS["unrelated.txt"], kind="exec-empty"))]


@pytest.mark.parametrize("form", [[], ["--json"], ["--csv"], ["--tsv"], ["--summary"], ["--detectors"]])
def test_live_answers_are_the_saved_folders_answers(fleet, tmp_path, form):
    targets = good_devices(fleet)
    saved = tmp_path / "saved"
    live = fleet.run(*(form + ["--save", saved] + targets))
    offline = fleet.run(*(form + [saved]))
    assert (live.returncode, offline.returncode) == (1, 1)  # one text is unrelated by design
    names = {target: "%s/%s.txt" % (saved, target[len("ssh://"):]) for target in targets}
    answers = live.stdout.decode()
    if form == ["--json"]:
        lines = [json.loads(line) for line in answers.splitlines()]
        assert sorted(line["via"] for line in lines) == ["exec", "shell", "shell"]
        assert all(line["seconds"] > 0 and line["failure"] is None for line in lines)
        answers = "".join(json.dumps({key: value for key, value in line.items()
                                      if key not in ("via", "seconds", "failure")}) + "\n" for line in lines)
    for target, name in names.items():
        answers = answers.replace(target, name)

    def entries(text):  # live answers come in the order they finish
        return sorted(part.strip() for part in text.split("\n\n" if form == ["--detectors"] else "\n"))
    assert entries(answers) == entries(offline.stdout.decode())
    for path in saved.iterdir():
        assert os.stat(str(path)).st_mode & 0o777 == 0o600
    sidecar = json.loads((saved / (".%s.json" % targets[0][len("ssh://"):])).read_text())
    assert (sidecar["target"], sidecar["command"], sidecar["via"]) == (targets[0], "show version", "exec")
    assert sidecar["time"].endswith("Z")


def test_each_target_one_answer_and_each_failure_class_counted(fleet):
    good = fleet.start(Device(TEXTS["tolm-processor.txt"]))
    hang = fleet.start(Device("", kind="hang"))
    unknown = fleet.start(Device(TEXTS["garu.txt"]), known=False)
    denied = fleet.start(Device(TEXTS["garu.txt"], auth="deny"))
    proc = fleet.run_process("--json", "--summary", "--timeout", "1.5", "--concurrency", "2", "--jobs", "2",
                     good, hang, unknown, denied, good, env={"PYTHONWARNINGS": "always"})
    lines = [json.loads(line) for line in proc.stdout.decode().splitlines()]
    assert proc.returncode == 2
    said = {line["input"]: line["failure"] for line in lines[:-1]}
    assert said == {good: None, hang: "timeout", unknown: "host-key", denied: "auth"}
    assert lines[-1]["summary"]["failures"] == {"timeout": 1, "host-key": 1, "auth": 1}
    errors = proc.stderr.decode().splitlines()
    # One line per failure, and no import-time warning of asyncssh or cryptography.
    assert len(errors) == 3 and all(line.count(": ") >= 3 for line in errors), errors


def test_fresh_workers_take_over_and_every_device_is_answered_once(fleet, tmp_path, monkeypatch):
    # Two devices per worker: seven devices need four workers, two at a time.
    monkeypatch.setattr(_fleet, "DEVICES_PER_WORKER", 2)
    pids = tmp_path / "pids"
    batch = _fleet.Asker.batch

    def noted(self, items):
        with pids.open("a") as stream:
            stream.write("%d\n" % os.getpid())
        batch(self, items)
    monkeypatch.setattr(_fleet.Asker, "batch", noted)
    targets = [fleet.start(Device(TEXTS["garu.txt"])) for _ in range(7)]
    proc = fleet.run("--json", "--concurrency", "2", "--jobs", "2", *targets, here=True)
    assert proc.returncode == 0, proc.stderr
    assert sorted(json.loads(line)["input"] for line in proc.stdout.decode().splitlines()) == sorted(targets)
    assert len(set(pids.read_text().splitlines())) == 4


def test_a_password_from_the_environment_never_shows(fleet, tmp_path):
    target = fleet.start(Device(TEXTS["tolm-processor.txt"], auth="password"))
    wrong = fleet.start(Device(TEXTS["tolm-processor.txt"], auth="kbdint"))
    os.unlink(str(fleet.key_file))
    saved = tmp_path / "saved"
    ok = fleet.run("--json", "--save", saved, "--password-env", "PD_PW", target, env={"PD_PW": PASSWORD})
    assert ok.returncode == 0, ok.stderr
    bad = fleet.run("--summary", "--password-env", "PD_PW", wrong, env={"PD_PW": "wrong-" + PASSWORD})
    assert bad.returncode == 2 and b"auth: " in bad.stderr
    missing = fleet.run("--password-env", PASSWORD, target)  # a password where a name belongs
    assert missing.returncode == 2
    for proc in (ok, bad, missing):
        assert PASSWORD.encode() not in proc.stdout + proc.stderr
    assert all(PASSWORD.encode() not in path.read_bytes() for path in saved.iterdir())


@pytest.mark.parametrize("args, words", [
    (["--password", "x", "ssh://h"], b"no environment variable of that name is set"),  # a prefix of --password-env
    (["ssh://h:99999"], b"port must be a number"),
    (["-i", "no-such-key", "ssh://h"], b"cannot read the key no-such-key"),
    (["--password-env", "NOT_SET_HERE", "ssh://h"], b"no environment variable NOT_SET_HERE is set"),
])
def test_usage_mistakes(fleet, args, words):
    proc = fleet.run(*args)
    assert proc.returncode == 2 and words in proc.stderr, proc.stderr


def test_no_credentials_is_said_before_any_device_is_asked(fleet):
    os.unlink(str(fleet.key_file))
    proc = fleet.run(fleet.start(Device("")))
    assert proc.returncode == 2 and b"no credentials" in proc.stderr


def ssh_keygen(path, passphrase):
    """A key as OpenSSH users make them: its own format, encrypted with bcrypt's KDF."""
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", passphrase, "-f", str(path)], check=True,
                   stdout=subprocess.DEVNULL, timeout=30)


@pytest.mark.skipif(not shutil.which("ssh-keygen"), reason="no ssh-keygen here")
@pytest.mark.parametrize("named", [True, False], ids=["-i", "~/.ssh"])
def test_an_encrypted_key_as_ssh_keygen_makes_it_is_named_with_why_it_was_not_used(fleet, tmp_path, named):
    os.unlink(str(fleet.key_file))
    path = tmp_path / "locked" if named else fleet.key_file
    ssh_keygen(path, "a passphrase")
    proc = fleet.run(*(["-i", path] if named else []) + ["ssh://127.0.0.1:1"])
    assert proc.returncode == 2
    assert b"the key %s is encrypted: add it to ssh-agent" % str(path).encode() in proc.stderr, proc.stderr


@pytest.mark.skipif(not shutil.which("ssh-keygen"), reason="no ssh-keygen here")
def test_an_encrypted_key_as_ssh_keygen_makes_it_opens_with_its_passphrase(tmp_path):
    from talvern.platformdetails.live import credentials

    ssh_keygen(tmp_path / "locked", "a passphrase")
    asked = []
    keys, why = credentials._load_key(str(tmp_path / "locked"), lambda path: asked.append(path) or "a passphrase",
                                      True)
    assert len(keys) == 1 and why is None and asked == [str(tmp_path / "locked")]


def test_retry_failed_asks_only_what_failed(fleet, tmp_path):
    good = fleet.start(Device(TEXTS["tolm-processor.txt"]))
    later = fleet.start(Device(TEXTS["garu.txt"]), known=False)
    saved = tmp_path / "saved"
    first = fleet.run("--save", saved, good, later)
    assert first.returncode == 2
    assert (saved / ".failed").read_text().startswith(later + "  # host-key: unknown host")
    fleet.know(int(later.rsplit(":", 1)[1]), fleet.host)
    again = fleet.run("--retry-failed", saved)
    assert (again.returncode, again.stdout.decode().split(":")[:3]) == (0, later.split(":")), again.stderr
    assert (saved / ".failed").read_text() == ""
    assert fleet.run("--retry-failed", tmp_path).returncode == 2  # no run saved there


def test_a_saved_folder_answers_as_the_run_did(fleet, tmp_path):
    good = fleet.start(Device(TEXTS["tolm-processor.txt"]))
    binary = fleet.start(Device(TEXTS["garu.txt"].replace("\n", "\n\0", 1)))
    saved = tmp_path / "saved"
    live = fleet.run("--json", "--summary", "--save", saved, good, binary, "ssh://127.0.0.1:1")
    offline = fleet.run("--json", "--summary", saved)
    summaries = [json.loads(proc.stdout.decode().splitlines()[-1])["summary"] for proc in (live, offline)]
    assert (live.returncode, offline.returncode) == (2, 2)
    assert summaries[0]["failures"] == {"refused": 1, "unreadable": 1}
    del summaries[0]["failures"]
    assert summaries[0] == summaries[1] and summaries[1]["errors"] == 2
    # The failed devices by name, with their class and reason, as the run said them.
    said = sorted(line.split(": ", 2)[1:] for line in offline.stderr.decode().splitlines())
    assert [(name, reason.split(":")[0]) for name, reason in said] == [
        ("ssh://127.0.0.1:1", "refused"), (binary, "unreadable")]
    again = fleet.run("--retry-failed", saved)  # the device that printed no text is asked again
    assert binary.encode() in again.stderr


@pytest.mark.parametrize("signum, status", [(signal.SIGTERM, 143), (signal.SIGHUP, 129)])
def test_a_signal_stops_the_workers_and_keeps_what_was_answered(fleet, tmp_path, signum, status):
    good = fleet.start(Device(TEXTS["tolm-processor.txt"]))
    hangs = [fleet.start(Device("", kind="hang")) for _ in range(3)]
    saved = tmp_path / "saved"
    proc = subprocess.Popen([sys.executable, "-m", "talvern.platformdetails", "--timeout", "20", "--save",
                             str(saved), good] + hangs, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=fleet.environment(None),
                            preexec_fn=lambda: signal.signal(signum, signal.SIG_DFL))  # not ignored, as nohup would
    try:
        first = proc.stdout.readline()
        workers = [pid for pid in os.listdir("/proc") if pid.isdigit() and parent(pid) == proc.pid]
        proc.send_signal(signum)
        out, err = proc.communicate(timeout=15)
    finally:
        proc.kill()
        proc.wait()
    assert first.startswith(good.encode() + b": ") and proc.returncode == status, err
    assert b"interrupted: 1 of 4 devices answered" in err and b"Traceback" not in err
    failed = (saved / ".failed").read_text().splitlines()
    assert sorted(line.split("  # ")[0] for line in failed) == sorted(hangs)
    assert all("  # interrupted: " in line or "  # timeout: " in line for line in failed)
    assert workers and not any(os.path.exists("/proc/%s" % pid) for pid in workers)  # none goes on alone


def parent(pid):
    try:
        with open("/proc/%s/stat" % pid) as stat:
            return int(stat.read().rsplit(")", 1)[1].split()[1])
    except OSError:
        return None


@pytest.mark.parametrize("bad, in_the_way", [
    ("ssh://127.0.0.1:1", "127.0.0.1:1.txt"),  # a folder where the last capture was
    ("ssh://%s@127.0.0.1:1" % ("u" * 300), None),  # a name too long to be a file's
])
def test_a_capture_that_cannot_be_removed_costs_no_answer(fleet, tmp_path, bad, in_the_way):
    good = fleet.start(Device(TEXTS["tolm-processor.txt"]))
    saved = tmp_path / "saved"
    saved.mkdir()
    if in_the_way:
        (saved / in_the_way).mkdir()
    proc = fleet.run("--json", "--save", saved, "--jobs", "1", bad, good)
    said = {json.loads(line)["input"]: json.loads(line)["failure"] for line in proc.stdout.decode().splitlines()}
    assert (proc.returncode, said) == (2, {bad: "refused", good: None}), proc.stderr
    assert b"Traceback" not in proc.stderr


def test_max_size_caps_what_a_device_may_print(fleet):
    target = fleet.start(Device(TEXTS["tolm-processor.txt"]))
    proc = fleet.run("--json", "--max-size", "100", target)
    assert proc.returncode == 2 and json.loads(proc.stdout)["failure"] == "too-large"


def test_accepted_new_keys_go_to_our_file_only(fleet):
    target = fleet.start(Device(TEXTS["tolm-processor.txt"]), known=False)
    user_file = fleet.home / ".ssh" / "known_hosts"
    assert fleet.run("--accept-new-host-keys", target).returncode == 0
    assert fleet.run(target).returncode == 0  # recorded, so known from now on
    assert user_file.read_text() == ""
    own = fleet.home / "config" / "talvern-platformdetails" / "known_hosts"
    assert len(own.read_text().splitlines()) == 1


def test_a_changed_host_key_is_said_loudly_at_the_end(fleet):
    from ssh_emulator import asyncssh

    changed = fleet.start(Device(TEXTS["garu.txt"]), known=asyncssh.generate_private_key("ssh-ed25519"))
    proc = fleet.run("--accept-new-host-keys", fleet.start(Device(TEXTS["garu.txt"])), changed)
    assert proc.returncode == 2
    assert proc.stderr.decode().splitlines()[-1].startswith(
        "python -m talvern.platformdetails: WARNING: THE HOST KEY CHANGED for 1 device(s): %s." % changed)
    assert not (fleet.home / "config" / "talvern-platformdetails" / "known_hosts").exists()


def test_legacy_algorithms_only_when_asked_and_quietly(fleet):
    target = fleet.start(Device(TEXTS["garu.txt"], kind="legacy"))
    refused = fleet.run(target)
    assert refused.returncode == 2 and b": algorithms: " in refused.stderr
    legacy = fleet.run_process("--legacy-algorithms", target, env={"PYTHONWARNINGS": "always"})
    assert (legacy.returncode, legacy.stderr) == (0, b"")


def test_ctrl_c_keeps_every_finished_answer(fleet):
    good = fleet.start(Device(TEXTS["tolm-processor.txt"]))
    hangs = [fleet.start(Device("", kind="hang")) for _ in range(3)]
    environment = dict(os.environ, HOME=str(fleet.home), XDG_CONFIG_HOME=str(fleet.home / "config"))
    # A real Ctrl-C, also where this test runs with SIGINT ignored (a shell's background job).
    proc = subprocess.Popen([sys.executable, "-m", "talvern.platformdetails", "--timeout", "20", good] + hangs,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        first = proc.stdout.readline()
        proc.send_signal(signal.SIGINT)
        started = time.monotonic()
        out, err = proc.communicate(timeout=15)
    finally:
        proc.kill()
        proc.wait()
    assert first.startswith(good.encode() + b": ") and out == b""
    assert proc.returncode == 130 and time.monotonic() - started < 5
    assert b"interrupted: 1 of 4 devices answered" in err and b"Traceback" not in err


def unnamed(host, user=None, **own):
    """A target that names no port: the SSH config's Port applies to it."""
    return Target(host, 22, user, **own)


INVENTORIES = [
    ("r1  # the lab's\n# a comment\n\nadmin@r2:2222\t# core\nssh://[::1]:830\nfe80::1\n",
     [unnamed("r1"), Target("r2", 2222, "admin"), Target("::1", 830, None), unnamed("fe80::1")]),
    ("host,user,port,site\nr1,ops,,north\nr2,,2200,south\n",
     [unnamed("r1", "ops"), Target("r2", 2200, None)]),
    ("Host\nr1\nR1\n", [unnamed("r1")]),  # once each
    ("r1:22\nr2:2200\n", [Target("r1", 22, None, port_named=True), Target("r2", 2200, None)]),
    ("host,identity,password_env,jump\nr1,~/.ssh/lab,LAB_PW,ops@bastion:2222\nr2,,,none\nr3,,,\"a,b\"\n",
     [unnamed("r1", identity="~/.ssh/lab", password_env="LAB_PW", jump="ops@bastion:2222"),
      unnamed("r2", jump="none"), unnamed("r3", jump="a,b")]),
]


@pytest.mark.parametrize("text, targets", INVENTORIES)
def test_inventories(tmp_path, text, targets):
    path = tmp_path / "inventory"
    path.write_text(text)
    assert collect([], [str(path)]) == targets


@pytest.mark.parametrize("text, words", [
    ("r1\nr2:ssh\n", "inventory:2: the port"),
    ("host,port\nr1,22,extra\n", "inventory:2: 3 cells"),
    ("host,user\n,ops\n", "inventory:2: no host"),
    ("r1 r2\n", "inventory:1: no host name"),
    ("hostname,username,port\nr1,ops,22\n", "inventory:1: a CSV inventory needs a host column; this header"
                                           " names hostname, username, port"),
    ("r1:\u00b2\n", "inventory:1: the port must be a number"),  # ASCII digits only, as OpenSSH
    ("r1:\u0662\u0662\n", "inventory:1: the port must be a number"),
    ("host,port\nr1,\u0662\u0662\n", "inventory:2: the port must be a number"),
    ("r1;22\n", "inventory:1: no host name"),
    ("r1\nssh://ops:Hunter2@r2\n", "inventory:2: a password in a target is not taken"),
    ("ssh://ops:Hunter2@\n", "inventory:1: a password"),
    ("host,user\nr1,ops:Hunter2\n", "inventory:2: a password"),
    ("host,user\nr1,ops\x01\n", "inventory:2: a user name with a control character"),
    ("host,password_env\nr1,Hunter2\n", "inventory:2: password_env must name an environment variable"),
    ("host,jump\nr1,\"a,,b\"\n", "inventory:2: bad jump 'a,,b': it is \\[user@\\]host"),
    ("host,jump\nr1,a:0\n", "inventory:2: bad jump"),
])
def test_inventory_mistakes_say_where(tmp_path, text, words):
    path = tmp_path / "inventory"
    path.write_text(text)
    with pytest.raises(TargetError, match=words) as info:
        read_inventory(str(path))
    assert "Hunter2" not in str(info.value)


@pytest.mark.parametrize("argument, refused", [
    ("ssh://\udcffops@r1", True), ("ssh://r\udcff1", True), ("ssh://ops\n@r1", True), ("ssh://ops\u2028x@r1", True),
    ("ssh://d\u200dx@h\u0627\u200cb.example", False),  # joiners belong to some scripts' names
])
def test_a_target_with_bytes_that_are_no_text_is_refused(argument, refused):
    if refused:
        with pytest.raises(TargetError, match="^target: "):
            collect([argument], ())
    else:
        assert collect([argument], ())[0].user == "d\u200dx"


def test_concurrency_stays_under_the_open_file_limit(monkeypatch):
    import resource

    monkeypatch.setattr(resource, "getrlimit", lambda which: (200, 200))
    monkeypatch.setattr(resource, "setrlimit", lambda which, limits: None)
    said = []
    assert _fleet.open_files_allow(100, said.append) == 100
    assert _fleet.open_files_allow(1000, said.append) == 200 - _fleet.FILES_KEPT
    assert len(said) == 1 and "open-file limit (200)" in said[0]


def test_the_offline_command_does_not_import_asyncssh(tmp_path):
    code = ("import sys; from talvern.platformdetails.cli import main;"
            "status = main([%r]); sys.exit(status if 'asyncssh' not in sys.modules else 99)"
            % str(EXAMPLES / "garu.txt"))
    assert subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, timeout=60).returncode == 0


def test_without_the_ssh_extra_the_live_mode_says_how_to_get_it():
    code = ("import sys; sys.modules['asyncssh'] = None; from talvern.platformdetails.cli import main;"
            "sys.exit(main(['ssh://router']))")
    proc = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    assert proc.returncode == 2 and b"pip install 'talvern-platformdetails[ssh]'" in proc.stderr, proc.stderr
    assert b"Traceback" not in proc.stderr

