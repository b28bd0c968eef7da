"""Reaching a device and logging in: the TCP connection under its own limit,
the host key checked, credentials offered, and every way it can fail
mapped to its class."""
import asyncio
import re
import socket
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .._detect import describe_exception
from .._failures import Failure
from ._asyncssh import asyncssh
from .algorithms import algorithms, host_key_algs
from .credentials import reveal
from .hostkeys import HostKeys
from .proxy import Proxy, ProxyFailed
from .routes import JUMP_HOST, Route
from .settings import Settings
from .tunnel import Socket, Through

CONNECT_LIMIT = 10.0  # seconds to reach a device, or half the deadline when that is shorter
# A keyboard-interactive prompt that asks for the password, and nothing
# else ("Password:", "admin@edge-01's password:", "Password for admin:"):
# a one-time code or a token is never answered with it.
PASSWORD_PROMPT = re.compile(r"\s*(?:enter\s+)?(?:\S+'s\s+)?password(?:\s+for\s+\S+)?\s*:?\s*\Z", re.IGNORECASE)


class Client(asyncssh.SSHClient):  # type: ignore[misc]
    """Checks host keys against the stores, as the route says, and answers
    password prompts; notes when its connection ends (a jump host's is then
    opened again), and stops the ProxyCommand carrying it."""

    def __init__(self, hostkeys: HostKeys, route: Route) -> None:
        self.hostkeys, self.route = hostkeys, route
        self.host_key_problem = None  # type: Optional[str]
        self.kbdint_rounds = 0
        self.password_tries = 0
        self.shell = None  # type: Any  # the shell's reader, once one is open
        self.conn = None  # type: Any
        self.made = None  # type: Optional[asyncio.Future[None]]
        self.proxy = None  # type: Optional[Proxy]
        # Algorithms are agreed before the device's host key is checked.
        self.agreed = False
        self.logged_in = False
        self.lost = False

    def connection_made(self, conn: Any) -> None:
        self.conn = conn
        if self.made is not None and not self.made.done():
            self.made.set_result(None)

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self.lost = True
        if self.proxy is not None:
            self.proxy.stop()

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
        route = self.route
        self.host_key_problem = self.hostkeys.check(route.host, addr, route.port, key, route.alias,
                                                    route.known_hosts, route.accept_new)
        return self.host_key_problem is None

    def password(self) -> Optional[str]:
        return reveal(self.route.password, self.route.asked)

    def password_auth_requested(self) -> Optional[str]:
        # Once: asyncssh asks again after a refusal, as a person would retype.
        self.password_tries += 1
        if self.route.password is None or self.password_tries > 1:
            return None
        return self.password()

    def kbdint_auth_requested(self) -> Optional[str]:
        return "" if self.route.password is not None else None

    def kbdint_challenge_received(self, name: str, instructions: str, lang: str,
                                  prompts: Sequence[Tuple[str, bool]]) -> Optional[List[str]]:
        # Only a password prompt is answered, and only once or twice: a
        # device asking for anything else (a token) is an auth failure.
        self.kbdint_rounds += 1
        if self.route.password is None or self.kbdint_rounds > 2:
            return None
        if all(PASSWORD_PROMPT.match(prompt) for prompt, _ in prompts):  # none: an empty answer
            password = self.password()
            return None if password is None else [password for _ in prompts]
        return None


async def open_socket(host: str, port: int) -> socket.socket:
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


def hostport(host: str, port: int) -> str:
    return ("[%s]:%d" if ":" in host else "%s:%d") % (host, port)


async def _reached(attempt: "asyncio.Future[Any]", client: Client, limit: float, shown: str, via: Route) -> None:
    """Waits until the jump host has connected the channel to the device
    (the connect limit), or the attempt has ended."""
    client.made = asyncio.get_event_loop().create_future()
    try:
        await asyncio.wait([attempt, client.made], timeout=limit, return_when=asyncio.FIRST_COMPLETED)
    except BaseException:
        attempt.cancel()
        raise
    if not attempt.done() and not client.made.done():
        attempt.cancel()
        raise Failure("timeout", "no connection to %s through jump host %s within %g s" % (shown, via.name, limit))


async def connect(route: Route, settings: Settings, client: Client, tunnel: Any = None) -> Any:
    """The logged-in connection, straight, through tunnel (the connection
    to route.via) or through route's ProxyCommand; its options go with this
    frame, not held while the command runs. The connect limit (the
    config's ConnectTimeout, if any) covers reaching the device; logging in
    (a slow password check) has the rest of the deadline."""
    host, port = route.host, route.port
    shown = hostport(host, port)
    hostkeys = settings.hostkeys
    options = dict(algorithms(settings.legacy))  # type: Dict[str, Any]
    options["server_host_key_algs"] = host_key_algs(hostkeys.algorithms(host, port, route.alias, route.known_hosts),
                                                    settings.legacy)
    if route.agent_identities is not None:
        options["agent_identities"] = list(route.agent_identities)
    if tunnel is not None:
        options["tunnel"] = Through(tunnel)
    limit = min(route.connect_timeout, settings.timeout) if route.connect_timeout else min(
        CONNECT_LIMIT, settings.timeout / 2)
    sock = None  # type: Optional[socket.socket]
    try:
        if route.proxy_command is not None and tunnel is None:
            try:
                client.proxy = Proxy(route.proxy_command)
            except ProxyFailed as exc:
                raise Failure("jump", str(exc))
            sock = client.proxy.sock
        elif tunnel is None:
            try:
                sock = await asyncio.wait_for(open_socket(host, port), limit)
            except asyncio.TimeoutError:
                raise Failure("timeout", "no connection to %s within %g s" % (shown, limit))
        if route.role == JUMP_HOST and sock is not None:
            options["tunnel"] = Socket(sock)  # its writes for many devices batched
        try:
            attempt = asyncio.ensure_future(asyncssh.create_connection(
                lambda: client, host, port, sock=None if "tunnel" in options else sock, username=route.user,
                known_hosts=hostkeys.none, client_keys=client_keys(route), agent_path=route.agent, password=None,
                config=None, preferred_auth="publickey,keyboard-interactive,password",
                login_timeout=settings.timeout, **options))
            if tunnel is not None and route.via is not None:
                await _reached(attempt, client, limit, shown, route.via)
            conn, _ = await attempt
        except BaseException as exc:
            if client.proxy is not None:
                if isinstance(exc, (asyncssh.DisconnectError, ConnectionError)):
                    await client.proxy.ended(1.0)  # its own status and words, before it is told to stop
                client.proxy.stop()
            if sock is not None:
                sock.close()  # asyncssh may not have taken it over
            raise
    except asyncssh.HostKeyNotVerifiable as exc:
        raise Failure("host-key", client.host_key_problem or "the host key was not accepted: %s" % exc.reason)
    except asyncssh.PermissionDenied:
        unused = "".join("; not offered: %s" % why for why in route.unused)
        raise Failure("auth", "%s refused every credential offered as %s%s" % (route.role, route.user, unused))
    except asyncssh.ChannelOpenError as exc:  # the jump host's answer to our asking it for the device
        raise through_failure(exc, shown, route)
    except asyncssh.KeyExchangeFailed as exc:
        raise no_common_algorithm(exc.reason)
    except asyncssh.DisconnectError as exc:  # ConnectionLost included
        ended_early(client)
        if "no matching" in exc.reason.lower():
            raise no_common_algorithm(exc.reason)
        if client.closed_while_agreeing():
            raise no_common_algorithm("%s closed the connection while algorithms were agreed" % route.role)
        raise Failure("closed", "%s ended the connection during login: %s" % (route.role, exc.reason))
    except socket.gaierror as exc:
        raise Failure("dns", "cannot resolve %s: %s" % (host, exc.strerror))
    except UnicodeError:  # an empty or overlong label (edge..example): no query is made
        raise Failure("dns", "cannot resolve %s: not a host name" % host)
    except ConnectionRefusedError:
        raise Failure("refused", "nothing accepts SSH connections on %s" % shown)
    except ConnectionError as exc:
        ended_early(client)
        if client.closed_while_agreeing():
            raise no_common_algorithm("%s closed the connection while algorithms were agreed" % route.role)
        raise Failure("closed", "%s closed the connection during login: %s"
                      % (route.role, describe_exception(exc, first_line=True)))
    except OSError as exc:
        raise Failure("refused", "cannot connect to %s: %s" % (shown, describe_exception(exc)))
    return conn


def ended_early(client: Client) -> None:
    """A connection through a ProxyCommand that ended: the command's failure, in its own words."""
    if client.proxy is not None:
        command = client.proxy.command
        raise Failure("jump", "the ProxyCommand %r ended the connection before the login: %s"
                      % (command if len(command) <= 80 else command[:77] + "...", client.proxy.said()))


def through_failure(exc: Any, shown: str, route: Route) -> Failure:
    """A jump host that would not, or could not, connect us to the next one
    or the device: refusing is the jump host's failure; the device not
    answering it, the device's."""
    via = route.via.name if route.via is not None else "?"
    if exc.code == asyncssh.OPEN_ADMINISTRATIVELY_PROHIBITED:
        return Failure("jump", "jump host %s refused to forward to %s: %s" % (via, shown, exc.reason))
    kind = "dns" if re.search(r"resol|not known|no address|nodename", exc.reason, re.IGNORECASE) else "refused"
    return Failure(kind, "jump host %s cannot connect to %s: %s" % (via, shown, exc.reason))


def no_common_algorithm(reason: str) -> Failure:
    return Failure("algorithms", "no algorithm in common with the device (%s); an old device may need"
                   " --legacy-algorithms" % reason)


def client_keys(route: Route) -> Optional[List[Any]]:
    """The keys loaded once per run. asyncssh reads ~/.ssh again for an
    empty list and ignores the agent for None: an agent alone gets the
    empty list, which finds nothing the first reading did not."""
    if route.keys:
        return list(route.keys)
    return [] if route.agent else None
