"""One device at a time against the emulator: what the detectors get, the
security defaults, and every failure class."""
import asyncio
import os
import pathlib
import socket

import pytest

asyncssh = pytest.importorskip("asyncssh")

from ssh_emulator import BANNER, Device, Emulator  # noqa: E402

from talvern.platformdetails.live import session as _ssh  # noqa: E402
from talvern.platformdetails.live.hostkeys import HostKeys, host_pattern  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
TEXT = (EXAMPLES / "tolm-processor.txt").read_text()
NOT_UTF8 = TEXT.replace("\n", " \udce9\n", 1)  # a Latin-1 byte, as an old device may print
PASSWORD = "s3cret-pw-never-shown"
LIMIT = 20  # seconds any one test may take


@pytest.fixture(scope="module")
def keys():
    return {"client": asyncssh.generate_private_key("ssh-ed25519"),
            "host": asyncssh.generate_private_key("ssh-ed25519"),
            "other": asyncssh.generate_private_key("ssh-ed25519"),
            "ecdsa": asyncssh.generate_private_key("ecdsa-sha2-nistp256")}


@pytest.fixture
def home(tmp_path, monkeypatch):
    """A HOME of the test's own: the real ~/.ssh is never read or written."""
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    monkeypatch.delenv("SSH_AUTH_SOCK", raising=False)
    (tmp_path / ".ssh").mkdir()
    return tmp_path


def known_hosts(home, port, *keys, host="127.0.0.1"):
    path = home / ".ssh" / "known_hosts"
    with path.open("a") as stream:
        for key in keys:
            stream.write("%s %s\n" % (host_pattern(host, port),
                                      key.export_public_key().decode().strip()))
    return path


def ask(keys, home, device, record=None, accept_new=False, password=None, settings=None,
        use_key=True, host="127.0.0.1"):
    """Serves one device, asks it once, stops it; returns the capture or the
    failure. record: the host keys to put in known_hosts first (default: the
    device's own)."""
    async def scenario():
        emulator = Emulator(keys["host"], [keys["client"].convert_to_public()], PASSWORD)
        try:
            port = await emulator.start(device)
            stored = record if record is not None else [device.host_key or keys["host"]]
            known_hosts(home, port, *stored, host=host)
            hostkeys = HostKeys([str(home / ".ssh" / "known_hosts")],
                                str(home / "config" / "talvern-platformdetails" / "known_hosts"), accept_new,
                                global_files=[])
            credentials = _ssh.Credentials("admin", (keys["client"],) if use_key else (), None,
                                           _ssh.Secret(password) if password else None)
            try:
                return await _ssh.capture((host, port, "admin"), settings or _ssh.Settings(timeout=5),
                                          credentials, hostkeys)
            except _ssh.Failure as failure:
                return failure
        finally:
            await emulator.close()
    return asyncio.run(asyncio.wait_for(scenario(), LIMIT))


@pytest.mark.parametrize("device, via", [
    (Device(TEXT), "exec"),
    (Device(TEXT, kind="shell", banner=BANNER, page=5), "shell"),
    (Device(TEXT, kind="exec-empty", banner=BANNER), "shell"),
    (Device(TEXT, kind="pager", banner=BANNER, page=4, prompt="core-7>"), "shell"),
    (Device(NOT_UTF8), "exec"),
    (Device(NOT_UTF8, kind="shell", banner=BANNER, page=5), "shell"),
    (Device(TEXT, kind="shell", prompt="<edge-01>"), "shell"),
    (Device(TEXT, kind="shell", prompt="\x1b[1;32medge-01#\x1b[0m ", page=5), "shell"),
])
def test_the_capture_is_what_the_device_printed(keys, home, device, via):
    """Echo, banner (with #, > and "password"), pager and prompt are gone:
    the first line is the text's own first line."""
    result = ask(keys, home, device)
    assert isinstance(result, _ssh.Capture), result
    assert result.via == via
    assert result.text == device.text.encode("utf-8", "surrogateescape")
    assert result.seconds > 0


@pytest.mark.parametrize("auth, password", [("password", PASSWORD), ("kbdint", PASSWORD)])
def test_a_password_logs_in_and_never_shows(keys, home, auth, password):
    result = ask(keys, home, Device(TEXT, auth=auth), password=password, use_key=False)
    assert isinstance(result, _ssh.Capture), result
    assert PASSWORD not in repr(_ssh.Credentials("u", (), None, _ssh.Secret(PASSWORD)))


def failure_cases(keys):
    return [
        # (device, ask() keyword arguments, class, words of the reason)
        (Device(TEXT), {"record": [keys["other"]]}, "host-key", "HOST KEY CHANGED"),
        (Device(TEXT, host_key=keys["ecdsa"]), {"record": [keys["host"]]}, "host-key", "HOST KEY CHANGED"),
        (Device(TEXT), {"record": [keys["other"]], "accept_new": True}, "host-key", "HOST KEY CHANGED"),
        (Device(TEXT), {"record": []}, "host-key", "unknown host"),
        (Device(TEXT, auth="deny"), {}, "auth", "refused every credential"),
        (Device(TEXT, auth="kbdint"), {"use_key": False}, "auth", "refused"),
        (Device(TEXT, auth="password"), {"password": "wrong", "use_key": False}, "auth", "refused"),
        (Device(TEXT, kind="hang"), {"settings": _ssh.Settings(timeout=1)}, "timeout", "within 1 s"),
        (Device(TEXT, kind="drip"), {"settings": _ssh.Settings(timeout=1)}, "timeout", "within 1 s"),
        (Device(TEXT, kind="no-banner"), {"settings": _ssh.Settings(timeout=1), "record": []},
         "timeout", "no login"),
        (Device(TEXT, kind="flood"), {"settings": _ssh.Settings(timeout=5, max_output=100000)},
         "too-large", "more than 100000 bytes"),
        (Device(TEXT, kind="close-mid"), {}, "closed", "closed the connection"),
        (Device(TEXT, kind="legacy"), {}, "algorithms", "--legacy-algorithms"),
        (Device(TEXT, kind="legacy-drops"), {}, "algorithms", "--legacy-algorithms"),
        (Device(TEXT, kind="stuck-pager", page=4), {"settings": _ssh.Settings(timeout=1)},
         "pager", "pager prompt"),
    ]


@pytest.mark.parametrize("case", range(15))
def test_each_failure_has_its_class_and_reason(keys, home, case):
    device, options, kind, words = failure_cases(keys)[case]
    result = ask(keys, home, device, **options)
    assert isinstance(result, _ssh.Failure), result
    assert (result.kind, words in result.reason) == (kind, True), result.reason
    assert "\n" not in result.reason and PASSWORD not in result.reason
    own = home / "config" / "talvern-platformdetails" / "known_hosts"
    assert not own.exists()  # nothing recorded: a changed key is never overwritten


def test_legacy_algorithms_are_for_that_run_only(keys, home):
    device = Device(TEXT, kind="legacy")
    assert isinstance(ask(keys, home, device, settings=_ssh.Settings(timeout=60, legacy=True)), _ssh.Capture)
    assert isinstance(ask(keys, home, device), _ssh.Failure)


@pytest.mark.parametrize("offers", [
    {"mac_algs": ["hmac-sha1"], "encryption_algs": ["aes128-ctr"]},
    {"kex_algs": ["diffie-hellman-group14-sha256"]},
])
def test_what_openssh_offers_by_default_needs_no_legacy_algorithms(keys, home, offers):
    assert isinstance(ask(keys, home, Device(TEXT, offers=offers)), _ssh.Capture)


def test_a_new_host_key_goes_to_our_own_file_only(keys, home):
    user_file = home / ".ssh" / "known_hosts"
    result = ask(keys, home, Device(TEXT), record=[], accept_new=True)
    assert isinstance(result, _ssh.Capture), result
    own = home / "config" / "talvern-platformdetails" / "known_hosts"
    assert keys["host"].export_public_key().decode().split()[1] in own.read_text()
    assert user_file.read_text() == ""
    assert os.stat(str(own)).st_mode & 0o777 == 0o600


def test_logging_in_has_the_deadline_not_the_connect_limit(keys, home, monkeypatch):
    monkeypatch.setattr(_ssh, "CONNECT_LIMIT", 0.5)
    result = ask(keys, home, Device(TEXT, login_delay=1.5), settings=_ssh.Settings(timeout=10))
    assert isinstance(result, _ssh.Capture), result


@pytest.mark.parametrize("unusable_first", [False, True])
def test_a_device_asked_by_its_name(keys, home, monkeypatch, unusable_first):
    real = socket.getaddrinfo

    def resolve(host, port, *args, **kwargs):  # the name is this machine's: no query leaves it
        if host != "edge-01.test":
            return real(host, port, *args, **kwargs)
        if kwargs.get("flags", 0) & socket.AI_NUMERICHOST:
            raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")
        # An address no socket can be made for (as IPv6 on a kernel without it) comes first.
        unusable = [(socket.AF_INET, socket.SOCK_STREAM, 255, "", ("127.0.0.1", port))] if unusable_first else []
        return unusable + real("127.0.0.1", port, *args, **kwargs)
    monkeypatch.setattr(socket, "getaddrinfo", resolve)
    assert isinstance(ask(keys, home, Device(TEXT), host="edge-01.test"), _ssh.Capture)


def test_a_paged_banner_is_no_prompt():
    class Shell:  # a device that pages its banner before the prompt
        closed = at_pager = False

        def __init__(self):
            self.chunks, self.sent = ["Welcome\r\nline 2\r\n<--- More --->"], []

        def text(self):
            return "".join(self.chunks)

        def take(self):
            text, self.chunks = self.text(), []
            return text

        def send(self, text):
            self.sent.append(text)
            self.chunks.append("\r              \rline 3\r\nedge-01# ")

        async def wait(self):
            pass
    shell = Shell()
    seen = asyncio.run(_ssh._until_prompt(shell, None, _ssh.Settings()))
    assert shell.sent == [" "] and seen.endswith("edge-01# ")


@pytest.mark.parametrize("host, kind", [
    ("no-such-host.invalid", "dns"), ("edge..example", "dns"), ("127.0.0.1", "refused")])
def test_unreachable_hosts(home, monkeypatch, host, kind):
    real = socket.getaddrinfo

    def resolve(host, *args, **kwargs):  # no query leaves the machine
        if host == "no-such-host.invalid":
            raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")
        return real(host, *args, **kwargs)
    monkeypatch.setattr(socket, "getaddrinfo", resolve)

    async def scenario():
        # A port that was just free: nothing listens there any more.
        server = await asyncio.start_server(lambda r, w: None, "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        server.close()
        await server.wait_closed()
        hostkeys = HostKeys([], str(home / "own"), False, global_files=[])
        try:
            await _ssh.capture((host, port, "admin"), _ssh.Settings(timeout=5),
                               _ssh.Credentials("admin", (), None, None), hostkeys)
        except _ssh.Failure as exc:
            return exc
    result = asyncio.run(asyncio.wait_for(scenario(), LIMIT))
    assert result is not None and result.kind == kind, result
