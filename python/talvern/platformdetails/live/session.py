"""One SSH session to one device: log in, ask the version command, and
return exactly what the device printed.

Imported only in the live mode: it imports asyncssh, an optional extra.
"""
import asyncio
import codecs
import socket
import time
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

from ._asyncssh import asyncssh

from .algorithms import algorithms, host_key_algs
from .hostkeys import HostKeys
from .screen import PAGER, PROMPT, clean, drawn

CONNECT_LIMIT = 10.0  # seconds to reach a device, or half the deadline when that is shorter
MAX_OUTPUT = 1 << 20
PAGER_ANSWERS = 10000  # pages one answer may take before it is called stuck
DEFAULT_PAGING_OFF = ("terminal length 0",)



class Failure(Exception):
    """A device that could not be answered: a class and a one-line reason."""

    def __init__(self, kind: str, reason: str) -> None:
        Exception.__init__(self, kind, reason)
        self.kind = kind
        self.reason = reason


class Settings(NamedTuple):
    command: str = "show version"
    timeout: float = 30.0
    max_output: int = MAX_OUTPUT
    paging_off: Tuple[str, ...] = DEFAULT_PAGING_OFF
    legacy: bool = False


class Credentials(NamedTuple):
    """Loaded once per process; never printed (the password is not in repr)."""

    user: str
    keys: Tuple[Any, ...]
    agent: Optional[str]
    password: Optional["Secret"]


class Secret:
    """A password that does not show itself in reprs, logs or tracebacks."""

    __slots__ = ("_value",)

    def __init__(self, value: str) -> None:
        self._value = value

    def reveal(self) -> str:
        return self._value

    def __repr__(self) -> str:
        return "Secret(***)"

    __str__ = __repr__


class Capture(NamedTuple):
    text: bytes
    via: str  # "exec" or "shell"
    seconds: float


class _Client(asyncssh.SSHClient):  # type: ignore[misc]
    """Checks host keys against the stores and answers password prompts."""

    def __init__(self, target: str, hostkeys: HostKeys, password: Optional[Secret]) -> None:
        self.target = target
        self.hostkeys = hostkeys
        self.password = password
        self.host_key_problem = None  # type: Optional[str]
        self.kbdint_rounds = 0
        self.password_tries = 0
        self.shell = None  # type: Optional[_Reader]
        self.conn = None  # type: Any
        # Algorithms are agreed before the device's host key is checked.
        self.agreed = False
        self.logged_in = False

    def connection_made(self, conn: Any) -> None:
        self.conn = conn

    def auth_completed(self) -> None:
        self.logged_in = True

    def closed_while_agreeing(self) -> bool:
        """Whether the device, having greeted us, closed before any
        algorithm was agreed: it had none in common with ours. asyncssh
        then reports either that, or (when the close wins the race with
        its own check) only "Connection lost"."""
        greeted = self.conn is not None and self.conn.get_extra_info("server_version") is not None
        return greeted and not self.agreed

    def validate_host_public_key(self, host: str, addr: str, port: int, key: Any) -> bool:
        self.agreed = True
        self.host_key_problem = self.hostkeys.check(host, addr, port, key)
        return self.host_key_problem is None

    def password_auth_requested(self) -> Optional[str]:
        # Once: asyncssh asks again after a refusal, as a person would retype.
        self.password_tries += 1
        if self.password is None or self.password_tries > 1:
            return None
        return self.password.reveal()

    def kbdint_auth_requested(self) -> Optional[str]:
        return "" if self.password is not None else None

    def kbdint_challenge_received(self, name: str, instructions: str, lang: str,
                                  prompts: Sequence[Tuple[str, bool]]) -> Optional[List[str]]:
        # Only a password prompt is answered, and only once or twice: a
        # device asking for anything else (a token) is an auth failure.
        self.kbdint_rounds += 1
        if self.password is None or self.kbdint_rounds > 2:
            return None
        if all("password" in prompt.lower() for prompt, _ in prompts):
            return [self.password.reveal() for _ in prompts]
        return None


class _Reader(asyncssh.SSHClientSession):  # type: ignore[misc]
    """Collects what the device prints, up to the cap, and wakes the waiter.

    The channel is opened without an encoding, so the bytes are the
    device's own; in a shell, where prompts are looked for as text, they are
    decoded as they come (surrogateescape keeps every byte)."""

    def __init__(self, cap: int, shell: bool = False) -> None:
        self.cap = cap
        self.chunks = []  # type: List[Any]  # bytes; str in a shell
        self.decoder = codecs.getincrementaldecoder("utf-8")("surrogateescape") if shell else None
        self.size = 0
        self.changed = False
        # One future at a time, rather than an asyncio.Event with its deque:
        # a fleet holds one reader per connection in flight.
        self.waiter = None  # type: Optional[asyncio.Future[None]]
        self.closed = False
        self.exit_status = None  # type: Optional[int]
        self.too_large = False
        self.error = None  # type: Optional[Exception]
        self.at_pager = False  # waiting at a pager prompt, for a timeout's reason
        self.channel = None  # type: Any

    def connection_made(self, chan: Any) -> None:
        self.channel = chan

    def data_received(self, data: bytes, datatype: Any) -> None:
        self.size += len(data)
        if self.size > self.cap:
            self.too_large = True
            self.chunks = []
            self.channel.abort()
        else:
            self.chunks.append(data if self.decoder is None else self.decoder.decode(data))
        self._wake()

    def exit_status_received(self, status: int) -> None:
        self.exit_status = status

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self.closed = True
        self.error = exc
        self._wake()

    def _wake(self) -> None:
        self.changed = True
        if self.waiter is not None and not self.waiter.done():
            self.waiter.set_result(None)

    def output(self) -> bytes:
        """Everything read, as the device sent it (not in a shell)."""
        return b"".join(self.chunks)

    def text(self) -> str:
        """What a shell printed since the last take, decoded."""
        if len(self.chunks) > 1:
            self.chunks = ["".join(self.chunks)]
        return self.chunks[0] if self.chunks else ""

    def take(self) -> str:
        text = self.text()
        self.chunks = []
        return text

    def send(self, text: str) -> None:
        self.channel.write(text.encode("utf-8"))

    async def wait(self) -> None:
        if not self.changed:
            self.waiter = asyncio.get_event_loop().create_future()
            try:
                await self.waiter
            finally:
                self.waiter = None
        self.changed = False
        if self.too_large:
            raise Failure("too-large", "the device printed more than %d bytes; stopped reading" % self.cap)


async def _exec(conn: Any, settings: Settings) -> Optional[bytes]:
    """The command's output by an exec request, or None when the device
    refuses it or prints nothing."""
    try:
        chan, reader = await conn.create_session(lambda: _Reader(settings.max_output), settings.command,
                                                 encoding=None)
    except asyncssh.ChannelOpenError:
        return None
    while not reader.closed:
        await reader.wait()
    if reader.error is not None:
        raise Failure("closed", "the device closed the connection before the command ended: %s"
                      % describe(reader.error))
    output = reader.output()
    return output if output.strip() else None


async def _until_prompt(reader: _Reader, prompt: Optional[str], settings: Settings) -> str:
    """Reads until the last line is the prompt (any prompt when None),
    answering pagers on the way; returns everything read."""
    pages = 0
    while True:
        text = reader.text()
        tail = text[-200:].replace("\r", "")
        shown = drawn(tail)
        pager = PAGER.search(tail)
        if prompt is None:
            if pager is None and PROMPT.search(shown):  # "<--- More --->" is no prompt
                return reader.take()
        elif shown.endswith("\n" + prompt) or shown == prompt:
            return reader.take()
        if pager is not None:
            pages += 1
            if pages > PAGER_ANSWERS:
                raise Failure("pager", "the device kept paging after %d answers" % PAGER_ANSWERS)
            reader.chunks = [text[:len(text) - len(tail) + pager.start()]]
            reader.send(" ")
        if reader.closed:
            raise Failure("closed", "the device closed the session before its prompt came back")
        reader.at_pager = pager is not None
        await reader.wait()


async def _shell(conn: Any, settings: Settings, client: "_Client") -> str:
    chan, reader = await conn.create_session(lambda: _Reader(settings.max_output, shell=True),
                                             term_type="vt100", term_size=(511, 0), encoding=None)
    client.shell = reader
    await _until_prompt(reader, None, settings)
    # The prompt as the device repeats it after an empty line: a banner
    # line that only looked like a prompt is not repeated.
    reader.send("\r")
    seen = await _until_prompt(reader, None, settings)
    prompt = drawn(seen.replace("\r", "")).rsplit("\n", 1)[-1]
    for command in settings.paging_off:
        reader.send(command + "\r")
        await _until_prompt(reader, prompt, settings)
    reader.send(settings.command + "\r")
    text = await _until_prompt(reader, prompt, settings)
    chan.close()
    return clean(text, settings.command, prompt)


async def _session(target: Tuple[str, int, str], settings: Settings, credentials: Credentials,
                   hostkeys: HostKeys, client: "_Client", started: float) -> Capture:
    conn = await _connect(target, settings, credentials, hostkeys, client)
    try:
        via = "exec"
        output = await _exec(conn, settings)
        if output is None:
            via = "shell"
            output = (await _shell(conn, settings, client)).encode("utf-8", "surrogateescape")
    except (asyncssh.ConnectionLost, asyncssh.DisconnectError, asyncssh.ChannelOpenError,
            ConnectionError) as exc:
        raise Failure("closed", "the device closed the connection: %s" % describe(exc))
    finally:
        conn.abort()
    return Capture(output, via, time.monotonic() - started)


async def _open(host: str, port: int) -> socket.socket:
    """A TCP connection to the device, its addresses tried in turn."""
    loop = asyncio.get_event_loop()
    try:  # an address needs no resolver thread
        found = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_NUMERICHOST)
    except socket.gaierror:
        found = await loop.getaddrinfo(host, port, type=socket.SOCK_STREAM)
    error = OSError("no address for %s" % host)
    for family, kind, proto, _, address in found:
        try:
            sock = socket.socket(family, kind, proto)
        except OSError as exc:  # IPv6 where the kernel has none: the next address
            error = exc
            continue
        try:
            sock.setblocking(False)
            await loop.sock_connect(sock, address)
            return sock
        except OSError as exc:
            sock.close()
            error = exc
        except BaseException:  # the connect limit: the socket is not left open
            sock.close()
            raise
    raise error


async def _connect(target: Tuple[str, int, str], settings: Settings, credentials: Credentials,
                   hostkeys: HostKeys, client: "_Client") -> Any:
    """The logged-in connection; its options go with this frame, not held
    while the command runs. The connect limit covers reaching the device;
    logging in (a slow password check) has the rest of the deadline."""
    host, port, user = target
    shown = "%s:%d" % (host, port)
    options = dict(algorithms(settings.legacy))  # type: Dict[str, Any]
    options["server_host_key_algs"] = host_key_algs(hostkeys.algorithms(host, port), settings.legacy)
    limit = min(CONNECT_LIMIT, settings.timeout / 2)
    try:
        try:
            sock = await asyncio.wait_for(_open(host, port), limit)
        except asyncio.TimeoutError:
            raise Failure("timeout", "no connection to %s within %g s" % (shown, limit))
        try:
            conn, _ = await asyncssh.create_connection(
                lambda: client, host, port, sock=sock, username=user, known_hosts=hostkeys.none,
                client_keys=client_keys(credentials), agent_path=credentials.agent,
                password=None, config=None, preferred_auth="publickey,keyboard-interactive,password",
                login_timeout=settings.timeout, **options)
        except BaseException:
            sock.close()  # asyncssh may not have taken it over
            raise
    except asyncssh.HostKeyNotVerifiable as exc:
        raise Failure("host-key", client.host_key_problem or "the host key was not accepted: %s" % exc.reason)
    except asyncssh.PermissionDenied:
        raise Failure("auth", "the device refused every credential offered as %s" % user)
    except asyncssh.KeyExchangeFailed as exc:
        raise no_common_algorithm(exc.reason)
    except asyncssh.DisconnectError as exc:  # ConnectionLost included
        if "no matching" in exc.reason.lower():
            raise no_common_algorithm(exc.reason)
        if client.closed_while_agreeing():
            raise no_common_algorithm("the device closed the connection while algorithms were agreed")
        raise Failure("closed", "the device ended the connection during login: %s" % exc.reason)
    except socket.gaierror as exc:
        raise Failure("dns", "cannot resolve %s: %s" % (host, exc.strerror))
    except UnicodeError:  # an empty or overlong label (edge..example): no query is made
        raise Failure("dns", "cannot resolve %s: not a host name" % host)
    except ConnectionRefusedError:
        raise Failure("refused", "nothing accepts SSH connections on %s" % shown)
    except ConnectionError as exc:
        if client.closed_while_agreeing():
            raise no_common_algorithm("the device closed the connection while algorithms were agreed")
        raise Failure("closed", "the device closed the connection during login: %s" % describe(exc))
    except OSError as exc:
        raise Failure("refused", "cannot connect to %s: %s" % (shown, exc.strerror or exc))
    return conn


def no_common_algorithm(reason: str) -> Failure:
    return Failure("algorithms", "no algorithm in common with the device (%s); an old device may need"
                   " --legacy-algorithms" % reason)


def client_keys(credentials: Credentials) -> Optional[List[Any]]:
    """The keys loaded once per process. asyncssh reads ~/.ssh again for an
    empty list and ignores the agent for None: an agent alone gets the
    empty list, which finds nothing the first reading did not."""
    if credentials.keys:
        return list(credentials.keys)
    return [] if credentials.agent else None


def describe(exc: BaseException) -> str:
    reason = getattr(exc, "reason", None) or str(exc) or type(exc).__name__
    return str(reason).splitlines()[0] if str(reason) else type(exc).__name__


async def capture(target: Tuple[str, int, str], settings: Settings, credentials: Credentials,
                  hostkeys: HostKeys) -> Capture:
    """What the device printed for the command, within the one deadline.
    Raises Failure; never anything else for a device's fault."""
    started = time.monotonic()
    client = _Client("%s:%d" % target[:2], hostkeys, credentials.password)
    try:
        return await asyncio.wait_for(_session(target, settings, credentials, hostkeys, client, started),
                                      settings.timeout)
    except asyncio.TimeoutError:
        if client.shell is not None and client.shell.at_pager:
            raise Failure("pager", "the device stopped at a pager prompt that a space does not move on")
        if not client.logged_in:
            raise Failure("timeout", "no login within %g s" % settings.timeout)
        raise Failure("timeout", "no complete answer within %g s" % settings.timeout)
    except Failure:
        raise
    except (asyncssh.Error, OSError, EOFError) as exc:
        raise Failure("closed", "the connection failed: %s" % describe(exc))
