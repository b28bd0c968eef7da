"""Live detection from Python: ask and ask_many, synchronous and in the
caller's event loop, against emulated devices on 127.0.0.1; the settings,
the answers, and every mistake said before anything connects."""
import asyncio
import json
import logging
import os
import pathlib
import pickle
import threading

import pytest

pytest.importorskip("asyncssh")
pytestmark = pytest.mark.skipif(bool(os.environ.get("FDEF_UNDER_VALGRIND")),
                                reason="pure Python over the module; asyncssh's handshakes under valgrind take minutes")

from live_fleet import serving  # noqa: E402
from ssh_emulator import Device  # noqa: E402

from talvern.platformdetails import detect  # noqa: E402
from talvern.platformdetails.live import FAILURES, Answer, Settings, Target, ask, ask_async, ask_many, ask_many_async  # noqa: E402

TEXT = (pathlib.Path(__file__).resolve().parent.parent / "examples" / "tolm-processor.txt").read_text()


def lookup_fails():
    """An SSH config whose mistake shows only when h is looked up."""
    path = pathlib.Path(os.environ["HOME"]) / "lookup-fails"
    path.write_text("Host h\n  HostName %h.%z\n")
    return str(path)
PASSWORD = "api-pw-N0t-For-Any-Output"


@pytest.fixture
def fleet(tmp_path, monkeypatch):
    yield from serving(tmp_path, PASSWORD, monkeypatch)


def test_one_device_is_an_answer_with_its_target_detection_and_text(fleet):
    target = fleet.start(Device(TEXT))
    answer = ask(target, timeout=10)
    assert isinstance(answer, Answer) and answer.failure is None, answer.reason
    assert (answer.target, answer.host, answer.user, answer.via) == (target, "127.0.0.1", "admin", "exec")
    assert (answer.model, answer.detector) == ("TOLM3400", "get_tolm_details") == (
        answer.detection.model, answer.detection.detector)
    assert answer.text == TEXT and answer.seconds > 0
    assert json.loads(json.dumps(answer.as_dict()))["model"] == "TOLM3400"
    with pytest.raises(AttributeError):
        answer.model = "other"


def test_a_device_that_fails_is_an_answer_with_its_class(fleet):
    unknown = fleet.start(Device(TEXT), known=False)
    answer = ask(unknown, timeout=10)
    assert (answer.failure, answer.model, answer.detection) == ("host-key", None, None)
    assert answer.failure in FAILURES and "unknown host" in answer.reason


@pytest.mark.parametrize("call, error", [
    (lambda: ask("ssh://admin:pw@h"), ValueError),  # no password in a target
    (lambda: ask("ssh://h:99999"), ValueError),
    (lambda: ask(42), TypeError),
    (lambda: ask("h", colour="blue"), TypeError),  # no such option
    (lambda: ask("h", timeout=-1), ValueError),
    (lambda: ask("h", timeout="soon"), TypeError),
    (lambda: ask("h", concurrency=0), ValueError),
    (lambda: ask("h", command="show version\nreload"), ValueError),
    (lambda: ask("h", keys="~/.ssh/id_ed25519"), TypeError),  # a str is one key, not a sequence of them
    (lambda: ask("h", password=PASSWORD, password_env="PW"), ValueError),
    (lambda: ask("h", settings=Settings(), timeout=3), TypeError),
    (lambda: ask_many("ssh://h"), TypeError),  # one target, not many
    (lambda: ask_many(["h", None]), TypeError),
    (lambda: ask_many_async(["h:x"]), ValueError),
    (lambda: ask("h", jump="a,,b"), ValueError),
    (lambda: ask("h", ssh_config=42), TypeError),
    (lambda: ask("h", ssh_config="/no/such/ssh_config"), ValueError),  # no such file: its path said
    (lambda: ask_many(["h"], ssh_config=lookup_fails()), ValueError),  # found when h is looked up
    (lambda: ask_many_async(["h"], password_env=None, agent=False, keys=[]), ValueError),  # no credentials
])
def test_a_mistake_is_raised_before_anything_connects(fleet, monkeypatch, call, error):
    import socket

    def no_connection(*args, **kwargs):
        raise AssertionError("something connected")
    monkeypatch.setattr(socket, "create_connection", no_connection)
    monkeypatch.setattr(socket.socket, "connect", no_connection)
    with pytest.raises(error) as raised:
        call()
    assert PASSWORD not in str(raised.value)


def test_settings_are_made_once_immutable_and_never_show_the_password(fleet, monkeypatch):
    from talvern.platformdetails.live import credentials

    loaded = []
    real = credentials.asyncssh.load_keypairs
    monkeypatch.setattr(credentials.asyncssh, "load_keypairs", lambda *args: loaded.append(args) or real(*args))
    targets = [fleet.start(Device(TEXT, auth="password")) for _ in range(3)]
    settings = Settings(password=PASSWORD, timeout=10)  # known_hosts read once, now
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    logging.getLogger().addHandler(handler)
    logging.getLogger().setLevel(logging.DEBUG)
    try:
        found = [ask(target, settings) for target in targets]
    finally:
        logging.getLogger().removeHandler(handler)
        logging.getLogger().setLevel(logging.WARNING)
    assert [answer.failure for answer in found] == [None] * 3 and len(loaded) == 1
    assert records and not any(PASSWORD in record.getMessage() for record in records)
    assert PASSWORD not in repr(settings) + str(settings) and "password='***'" in repr(settings)
    with pytest.raises(TypeError):
        pickle.dumps(settings)
    with pytest.raises(AttributeError):
        settings.timeout = 1


def test_a_password_per_target(fleet):
    first, second = fleet.start(Device(TEXT, auth="password")), fleet.start(Device(TEXT, auth="password"))
    asked = []

    def password(target):
        asked.append(target)
        return PASSWORD if target.given == first else "wrong"
    found = {answer.target: answer.failure for answer in ask_many([first, second], password=password, jobs=1)}
    assert found == {first: None, second: "auth"} and all(isinstance(target, Target) for target in asked)


@pytest.mark.parametrize("jobs, in_a_thread", [(2, False), (1, False), (2, True)],
                         ids=["processes", "one process", "from a thread"])
def test_many_devices_each_answered_once_as_they_answer(fleet, jobs, in_a_thread):
    targets = [fleet.start(Device(TEXT)) for _ in range(5)] + ["ssh://127.0.0.1:1"]
    found = []

    def run():
        found.extend(ask_many(targets, timeout=10, jobs=jobs, concurrency=3))
    if in_a_thread:  # other threads run: no fork, an event loop in this process instead
        thread = threading.Thread(target=run)
        thread.start()
        thread.join(60)
    else:
        run()
    assert sorted(answer.target for answer in found) == sorted(targets)
    assert sorted(str(answer.failure) for answer in found) == ["None"] * 5 + ["refused"]


def test_in_the_callers_event_loop(fleet):
    # Each device takes 0.2 s, so a loop left free ticks some twenty times.
    targets = [fleet.start(Device(TEXT, delay=0.2)) for _ in range(3)]

    async def scenario():
        ticks = []

        async def tick():
            while True:
                ticks.append(asyncio.get_event_loop().time())
                await asyncio.sleep(0.01)
        ticker = asyncio.ensure_future(tick())
        one = await ask_async(targets[0], timeout=10)
        many = [answer async for answer in ask_many_async(targets, timeout=10, jobs=2)]
        ticker.cancel()
        return one, many, ticks
    one, many, ticks = asyncio.run(scenario())
    assert one.model == "TOLM3400" and sorted(answer.target for answer in many) == sorted(targets)
    assert len(ticks) > 5  # the loop went on while the devices were asked


def test_sync_calls_from_many_threads_and_from_a_running_loop(fleet):
    targets = [fleet.start(Device(TEXT)) for _ in range(4)]
    settings = Settings(timeout=10)
    found = []
    threads = [threading.Thread(target=lambda target=target: found.append(ask(target, settings))) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)

    async def notebook():  # a cell of a notebook, whose loop is running
        return ask(targets[0], settings)
    found.append(asyncio.run(notebook()))
    assert [answer.failure for answer in found] == [None] * 5


@pytest.mark.parametrize("text, model", [
    ("VANTREL R (X) processor with 1K\r\nboard\r\nTOLM-880-ER\r\n", "TOLM880ER"),
    ("VANTREL R (X) processor with 1K\r\r\nboard\r\r\nTOLM-880-ER\r\r\n", "TOLM880ER"),
    ("VANTREL R (X) processor with 1K\rboard\rTOLM-880-ER\r", "TOLM880ER"),
])
def test_detect_takes_line_ends_as_devices_send_them_when_asked(text, model):
    assert detect(text, any_line_end=True).model == model
    assert detect(text).model != model  # by default, the text as it is


def test_without_the_extra_the_import_names_it():
    import subprocess
    import sys

    code = "import sys; sys.modules['asyncssh'] = None\nimport talvern.platformdetails.live"
    proc = subprocess.run([sys.executable, "-c", code], stderr=subprocess.PIPE, timeout=60, env=dict(os.environ))
    assert proc.returncode == 1 and b"pip install 'talvern-platformdetails[ssh]'" in proc.stderr


@pytest.mark.parametrize("how", ["processes", "one process", "the caller's loop", "one device"])
def test_through_a_jump_host_from_python(fleet, how):
    jump = fleet.start(Device("", kind="jump"))
    targets = [fleet.start(Device(TEXT)) for _ in range(4)]
    settings = Settings(jump=jump[len("ssh://"):], timeout=10, jobs=2 if how == "processes" else 1)
    if how == "the caller's loop":
        async def scenario():
            return [answer async for answer in ask_many_async(targets, settings)]
        found = asyncio.run(scenario())
    elif how == "one device":
        found = [ask(target, settings) for target in targets]
    else:
        found = list(ask_many(targets, settings))
    assert sorted((answer.target, answer.failure) for answer in found) == sorted((target, None) for target in targets)
    # One connection per worker process, or per call of ask() (each its own event loop).
    assert fleet.connections(jump)[0] == {"processes": 2, "one device": 4}.get(how, 1)
