"""One device at a time against the emulator: what the detectors get, the
security defaults, and every failure class."""
import asyncio
import os
import pathlib
import socket

import pytest

asyncssh = pytest.importorskip("asyncssh")

from ssh_emulator import BANNER, Device, Emulator  # noqa: E402

from talvern.platformdetails.live import connect, screen, session  # noqa: E402
from talvern.platformdetails.live.credentials import Credentials, Secret  # noqa: E402
from talvern.platformdetails.live.hostkeys import HostKeys, host_pattern  # noqa: E402
from talvern.platformdetails.live.settings import Settings  # noqa: E402
from talvern.platformdetails.live.targets import Target  # noqa: E402

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


def settings_with(home, key=None, password=None, accept_new=False, **options):
    """Settings as a program makes them, reading the test's known_hosts."""
    return Settings(**dict({"timeout": 5.0}, user="admin", keys=[key] if key is not None else [], agent=False,
                           password=password, known_hosts=[str(home / ".ssh" / "known_hosts")],
                           accept_new_host_keys=accept_new, **options))


def ask(keys, home, device, record=None, accept_new=False, password=None, options=None,
        use_key=True, host="127.0.0.1"):
    """Serves one device, asks it once, stops it; returns its reply.
    record: the host keys to put in known_hosts first (default: the
    device's own); options: Settings' fields."""
    async def scenario():
        emulator = Emulator(keys["host"], [keys["client"].convert_to_public()], PASSWORD)
        try:
            port = await emulator.start(device)
            stored = record if record is not None else [device.host_key or keys["host"]]
            known_hosts(home, port, *stored, host=host)
            settings = settings_with(home, keys["client"] if use_key else None, password, accept_new,
                                     **(options or {}))
            return await session.ask(Target(host, port, "admin"), settings)
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
    # Exec refused on standard error with a status: the shell is asked.
    (Device(TEXT, kind="exec-refuses", banner=BANNER), "shell"),
    # The whole answer and a prompt by exec, the channel held open.
    (Device(TEXT, kind="exec-prompt"), "exec"),
    # A pager after the last page too, rubbed out as devices do, the prompt right after.
    (Device(TEXT, kind="pager", page=4, more_at_end=True, erase="spaces"), "shell"),
    (Device(TEXT, kind="pager", page=4, more_at_end=True, erase="erase-line"), "shell"),
    (Device(TEXT, kind="pager", page=4, more_at_end=True, erase="backspaces"), "shell"),
])
def test_the_capture_is_what_the_device_printed(keys, home, device, via):
    """Echo, banner (with #, > and "password"), pager and prompt are gone:
    the first line is the text's own first line."""
    result = ask(keys, home, device)
    assert result.failure is None, result
    assert result.via == via
    assert result.output == device.text.encode("utf-8", "surrogateescape")
    assert result.seconds > 0


@pytest.mark.parametrize("auth, password", [("password", PASSWORD), ("kbdint", PASSWORD)])
def test_a_password_logs_in_and_never_shows(keys, home, auth, password):
    result = ask(keys, home, Device(TEXT, auth=auth), password=password, use_key=False)
    assert result.failure is None, result
    assert PASSWORD not in repr(Credentials("u", (), None, Secret(PASSWORD)))


def failure_cases(keys):
    return [
        # (device, ask() keyword arguments, class, words of the reason)
        (Device(TEXT), {"record": [keys["other"]]}, "host-key", "HOST KEY CHANGED"),
        (Device(TEXT, host_key=keys["ecdsa"]), {"record": [keys["host"]]}, "host-key", "HOST KEY CHANGED"),
        (Device(TEXT), {"record": [keys["other"]], "accept_new": True}, "host-key", "HOST KEY CHANGED"),
        (Device(TEXT), {"record": []}, "host-key", "unknown host"),
        (Device(TEXT, auth="deny"), {}, "auth", "refused every credential"),
        (Device(TEXT, auth="kbdint"), {}, "auth", "refused"),  # a key, and no password for the prompt
        (Device(TEXT, auth="password"), {"password": "wrong", "use_key": False}, "auth", "refused"),
        (Device(TEXT, kind="hang"), {"options": {"timeout": 1.0}}, "timeout", "within 1 s"),
        (Device(TEXT, kind="drip"), {"options": {"timeout": 1.0}}, "timeout", "within 1 s"),
        (Device(TEXT, kind="no-banner"), {"options": {"timeout": 1.0}, "record": []},
         "timeout", "no login"),
        (Device(TEXT, kind="flood"), {"options": {"max_size": 100000}},
         "too-large", "more than 100000 bytes"),
        (Device(TEXT, kind="close-mid"), {}, "closed", "closed the connection"),
        (Device(TEXT, kind="legacy"), {}, "algorithms", "--legacy-algorithms"),
        (Device(TEXT, kind="legacy-drops"), {}, "algorithms", "--legacy-algorithms"),
        (Device(TEXT, kind="stuck-pager", page=4), {"options": {"timeout": 2.0}},  # to reach the pager first
         "pager", "pager prompt"),
        # A version command the device rejects, by exec and in a shell, in its own words.
        (Device(TEXT), {"options": {"command": "show ver"}}, "command", "% Invalid input detected"),
        (Device(TEXT, kind="shell"), {"options": {"command": "show ver"}}, "command", "'show ver'"),
        # Only a prompt for the password gets the password.
        (Device(TEXT, auth="kbdint", kbdint_prompt="Verification code (not your password): "),
         {"password": PASSWORD, "use_key": False}, "auth", "refused"),
        (Device(TEXT, auth="kbdint", kbdint_prompt="One-time password (OATH): "),
         {"password": PASSWORD, "use_key": False}, "auth", "refused"),
    ]


@pytest.mark.parametrize("case", range(19))
def test_each_failure_has_its_class_and_reason(keys, home, case):
    device, options, kind, words = failure_cases(keys)[case]
    result = ask(keys, home, device, **options)
    assert (result.failure, words in result.reason) == (kind, True), result
    assert "\n" not in result.reason and PASSWORD not in result.reason
    own = home / "config" / "talvern-platformdetails" / "known_hosts"
    assert not own.exists()  # nothing recorded: a changed key is never overwritten


def test_legacy_algorithms_are_for_that_run_only(keys, home):
    device = Device(TEXT, kind="legacy")
    assert ask(keys, home, device, options={"timeout": 60.0, "legacy_algorithms": True}).failure is None
    assert ask(keys, home, device).failure == "algorithms"


@pytest.mark.parametrize("offers", [
    {"mac_algs": ["hmac-sha1"], "encryption_algs": ["aes128-ctr"]},
    {"kex_algs": ["diffie-hellman-group14-sha256"]},
])
def test_what_openssh_offers_by_default_needs_no_legacy_algorithms(keys, home, offers):
    assert ask(keys, home, Device(TEXT, offers=offers)).failure is None


def test_a_new_host_key_goes_to_our_own_file_only(keys, home):
    user_file = home / ".ssh" / "known_hosts"
    result = ask(keys, home, Device(TEXT), record=[], accept_new=True)
    assert result.failure is None, result
    own = home / "config" / "talvern-platformdetails" / "known_hosts"
    assert keys["host"].export_public_key().decode().split()[1] in own.read_text()
    assert user_file.read_text() == ""
    assert os.stat(str(own)).st_mode & 0o777 == 0o600


def test_logging_in_has_the_deadline_not_the_connect_limit(keys, home, monkeypatch):
    monkeypatch.setattr(connect, "CONNECT_LIMIT", 0.5)
    result = ask(keys, home, Device(TEXT, login_delay=1.5), options={"timeout": 10.0})
    assert result.failure is None, result


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
    assert ask(keys, home, Device(TEXT), host="edge-01.test").failure is None


class Shell:
    """A device's shell as until_prompt reads it from the channel's reader:
    what it has printed, and what it prints for a space."""

    closed = at_pager = False

    def __init__(self, printed, after_space=b""):
        self.buffer, self.after_space, self.sent = bytearray(printed), after_space, []

    def take(self):
        data, self.buffer = bytes(self.buffer), bytearray()
        return data

    def send(self, text):
        self.sent.append(text)
        self.buffer += self.after_space

    async def wait(self, seconds=None):
        return True


def test_a_paged_banner_is_no_prompt():
    shell = Shell(b"Welcome\r\nline 2\r\n<--- More --->", b"\r              \rline 3\r\nedge-01# ")
    seen = asyncio.run(session.until_prompt(shell, None))
    assert shell.sent == [" "] and seen.endswith(b"edge-01# ")


def test_a_shell_capture_costs_about_its_bytes():
    import tracemalloc

    line = "Vantrel TOLM-3400 (rev 2) processor, caf\u00e9 edition, 8 GB memory and more words\r\n"
    text = (line * ((1 << 20) // len(line))).replace("caf", "\U0001f600", 1).encode("utf-8")
    shell = Shell(b"", b"")
    tracemalloc.start()
    try:
        for start in range(0, len(text), 1 << 14):  # as the channel delivers it
            shell.buffer += text[start:start + (1 << 14)]
            assert screen.last_line(bytes(shell.buffer[-400:])) != b"edge-01#"
        shell.buffer += b"edge-01# "
        output = screen.clean(asyncio.run(session.until_prompt(shell, b"edge-01#")), "show version", b"edge-01#")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert output == text.replace(b"\r\n", b"\n")
    assert peak < 3.5 * len(text), peak / len(text)  # the buffer, the copy taken, the copy cleaned


@pytest.mark.parametrize("host, kind, shown", [
    ("no-such-host.invalid", "dns", "no-such-host.invalid"), ("edge..example", "dns", "edge..example"),
    ("127.0.0.1", "refused", "127.0.0.1:"), ("::1", "refused", "[::1]:")])
def test_unreachable_hosts(home, monkeypatch, host, kind, shown):
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
        return await session.ask(Target(host, port, "admin"), settings_with(home, password=PASSWORD))
    result = asyncio.run(asyncio.wait_for(scenario(), LIMIT))
    assert result.failure == kind and shown in result.reason, result
