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
from .credentials import Credentials
from .hostkeys import HostKeys
from .settings import Settings

CONNECT_LIMIT = 10.0  # seconds to reach a device, or half the deadline when that is shorter
# A keyboard-interactive prompt that asks for the password, and nothing
# else ("Password:", "admin@edge-01's password:", "Password for admin:"):
# a one-time code or a token is never answered with it.
PASSWORD_PROMPT = re.compile(r"\s*(?:enter\s+)?(?:\S+'s\s+)?password(?:\s+for\s+\S+)?\s*:?\s*\Z", re.IGNORECASE)


class Client(asyncssh.SSHClient):  # type: ignore[misc]
    """Checks host keys against the stores and answers password prompts."""

    def __init__(self, hostkeys: HostKeys, credentials: Credentials, target: Any) -> None:
        self.hostkeys = hostkeys
        self.credentials, self.target = credentials, target
        self.host_key_problem = None  # type: Optional[str]
        self.kbdint_rounds = 0
        self.password_tries = 0
        self.shell = None  # type: Any  # the shell's reader, once one is open
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

    def password(self) -> Optional[str]:
        return self.credentials.password_for(self.target)

    def password_auth_requested(self) -> Optional[str]:
        # Once: asyncssh asks again after a refusal, as a person would retype.
        self.password_tries += 1
        if self.credentials.password is None or self.password_tries > 1:
            return None
        return self.password()

    def kbdint_auth_requested(self) -> Optional[str]:
        return "" if self.credentials.password is not None else None

    def kbdint_challenge_received(self, name: str, instructions: str, lang: str,
                                  prompts: Sequence[Tuple[str, bool]]) -> Optional[List[str]]:
        # Only a password prompt is answered, and only once or twice: a
        # device asking for anything else (a token) is an auth failure.
        self.kbdint_rounds += 1
        if self.credentials.password is None or self.kbdint_rounds > 2:
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


async def connect(host: str, port: int, user: str, settings: Settings, client: Client) -> Any:
    """The logged-in connection; its options go with this frame, not held
    while the command runs. The connect limit covers reaching the device;
    logging in (a slow password check) has the rest of the deadline."""
    shown = ("[%s]:%d" if ":" in host else "%s:%d") % (host, port)
    hostkeys, credentials = settings.hostkeys, settings.credentials
    options = dict(algorithms(settings.legacy))  # type: Dict[str, Any]
    options["server_host_key_algs"] = host_key_algs(hostkeys.algorithms(host, port), settings.legacy)
    limit = min(CONNECT_LIMIT, settings.timeout / 2)
    try:
        try:
            sock = await asyncio.wait_for(open_socket(host, port), limit)
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
        unused = "".join("; not offered: %s" % why for why in credentials.unused)
        raise Failure("auth", "the device refused every credential offered as %s%s" % (user, unused))
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
        raise Failure("closed", "the device closed the connection during login: %s"
                      % describe_exception(exc, first_line=True))
    except OSError as exc:
        raise Failure("refused", "cannot connect to %s: %s" % (shown, describe_exception(exc)))
    return conn


def no_common_algorithm(reason: str) -> Failure:
    return Failure("algorithms", "no algorithm in common with the device (%s); an old device may need"
                   " --legacy-algorithms" % reason)


def client_keys(credentials: Credentials) -> Optional[List[Any]]:
    """The keys loaded once per run. asyncssh reads ~/.ssh again for an
    empty list and ignores the agent for None: an agent alone gets the
    empty list, which finds nothing the first reading did not."""
    if credentials.keys:
        return list(credentials.keys)
    return [] if credentials.agent else None
