"""The command asking emulated devices on 127.0.0.1: the same answers as
for files, one per target, the failure classes counted, saved captures,
retries, credentials and Ctrl-C."""
import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("asyncssh")

from live_fleet import Fleet  # noqa: E402
from ssh_emulator import BANNER, Device  # noqa: E402

from talvern.platformdetails.cli.inventory import collect, read_inventory  # noqa: E402
from talvern.platformdetails.live import fleet as _fleet  # noqa: E402
from talvern.platformdetails.live.targets import Target, TargetError  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
TEXTS = {name: (EXAMPLES / name).read_text() for name in ("tolm-processor.txt", "garu.txt", "unrelated.txt")}
PASSWORD = "pw-N0t-For-Any-Output"


@pytest.fixture
def fleet(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    fleet = Fleet(home, PASSWORD)
    yield fleet
    fleet.stop()


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
    proc = fleet.run("--json", "--concurrency", "2", "--jobs", "2", *targets)
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
    (["--password", "x", "ssh://h"], b"--password-env: no environment variable of that name"),  # a prefix
    (["ssh://h:99999"], b"port must be a number"),
    (["-i", "no-such-key", "ssh://h"], b"cannot read the key no-such-key"),
])
def test_usage_mistakes(fleet, args, words):
    proc = fleet.run(*args)
    assert proc.returncode == 2 and words in proc.stderr, proc.stderr


def test_no_credentials_is_said_before_any_device_is_asked(fleet):
    os.unlink(str(fleet.key_file))
    proc = fleet.run(fleet.start(Device("")))
    assert proc.returncode == 2 and b"no credentials" in proc.stderr


def test_an_encrypted_key_without_a_terminal_is_explained(fleet, tmp_path):
    from ssh_emulator import asyncssh

    path = tmp_path / "locked"
    path.write_bytes(asyncssh.generate_private_key("ssh-ed25519").export_private_key("pkcs8-pem", passphrase="p"))
    proc = fleet.run("-i", path, "ssh://127.0.0.1:1")
    assert proc.returncode == 2 and b"is encrypted: add it to ssh-agent" in proc.stderr


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
    proc = subprocess.Popen([sys.executable, "-m", "talvern.platformdetails", "--timeout", "20", good] + hangs,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment)  # a real Ctrl-C
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


INVENTORIES = [
    ("r1\n# a comment\n\nadmin@r2:2222\nssh://[::1]:830\nfe80::1\n",
     [Target("r1", 22, None), Target("r2", 2222, "admin"), Target("::1", 830, None), Target("fe80::1", 22, None)]),
    ("host,user,port,site\nr1,ops,,north\nr2,,2200,south\n",
     [Target("r1", 22, "ops"), Target("r2", 2200, None)]),
    ("Host\nr1\nR1\n", [Target("r1", 22, None)]),  # once each
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
    ("hostname,port\nr1,22\n", "inventory:1: no host name"),  # CSV without a host column
    ("r1;22\n", "inventory:1: no host name"),
    ("r1\nssh://ops:Hunter2@r2\n", "inventory:2: a password in a target is not taken"),
    ("ssh://ops:Hunter2@\n", "inventory:1: a password"),
    ("host,user\nr1,ops:Hunter2\n", "inventory:2: a password"),
    ("host,user\nr1,ops\x01\n", "inventory:2: a user name with a control character"),
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

