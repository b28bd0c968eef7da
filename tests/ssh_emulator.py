"""Network devices emulated on 127.0.0.1 with asyncssh's server, for the
live tests and bench/live.py (ssh_emulator_process.py serves them from a
process of their own).

Each device listens on its own ephemeral port and answers its version
command with a saved text, by exec or in a shell with a prompt, a banner
and a pager, or misbehaves as a kind says. Nothing listens beyond loopback.
"""
import asyncio
import os
import struct
import warnings
from typing import Any, Dict, List, NamedTuple, Optional, Sequence

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    import asyncssh

LOOPBACK = "127.0.0.1"
BANNER = ("*** Authorized access only # all sessions > logged ***\n"
          "Enter your password at your own risk: password:\n"
          "router# is not a prompt\n")

# What each misbehaving kind does (the default "device" answers well); a
# jump host forwards to the devices, or refuses to, or drops its connection
# once each device it carried is done.
KINDS = ("device", "shell", "exec-empty", "exec-refuses", "exec-prompt", "pager", "stuck-pager", "hang", "drip",
         "flood", "close-mid", "no-banner", "legacy", "legacy-drops", "jump", "jump-refuses", "jump-drops")
JUMPS = ("jump", "jump-refuses", "jump-drops")
# How a pager prompt is rubbed out before the next page, as devices do it.
ERASES = {"spaces": "\r        \r", "erase-line": "\r\x1b[K", "backspaces": "\x08" * 10 + " " * 10 + "\x08" * 10}


class Device(NamedTuple):
    text: str
    kind: str = "device"
    prompt: str = "edge-01#"
    command: str = "show version"
    page: int = 0  # lines per page, 0 for no pager
    banner: str = ""  # sent before login and after it
    auth: str = "publickey"  # or "password", "kbdint", "deny"
    host_key: Any = None
    delay: float = 0.0  # seconds before a session answers (a jump host forwards), to hold connections open
    offers: Optional[Dict[str, Sequence[str]]] = None  # the only algorithms, by asyncssh option name
    login_delay: float = 0.0  # seconds a key takes to be accepted, as a slow password server
    erase: str = "spaces"  # how the pager prompt is rubbed out (ERASES)
    more_at_end: bool = False  # a pager after the last page too, then the prompt right after its erase
    kbdint_prompt: str = "Password: "
    # A jump host's names for what it reaches, each a port on 127.0.0.1
    # (None: only 127.0.0.1 itself, at the port asked for).
    forwards: Optional[Dict[str, int]] = None


def _lines(text: str) -> List[str]:
    return text.replace("\n", "\r\n").splitlines(True)


class _Session(asyncssh.SSHServerSession):  # type: ignore[misc]
    def __init__(self, device: Device) -> None:
        self.device = device
        self.chan = None  # type: Any
        self.command = None  # type: Optional[str]
        self.line = ""
        self.paging = device.page
        self.pending = []  # type: List[str]
        self.at_pager = False
        self.ended = False
        self.task = None  # type: Optional[asyncio.Task]  # type: ignore[type-arg]
        self.writable = asyncio.Event()
        self.writable.set()

    def connection_made(self, chan: Any) -> None:
        self.chan = chan

    def pty_requested(self, term_type: str, term_size: Any, term_modes: Any) -> bool:
        return True

    def shell_requested(self) -> bool:
        return True

    def exec_requested(self, command: str) -> bool:
        if self.device.kind in ("shell", "pager", "stuck-pager"):
            return False
        self.command = command
        return True

    def pause_writing(self) -> None:
        self.writable.clear()

    def resume_writing(self) -> None:
        self.writable.set()

    def connection_lost(self, exc: Optional[Exception]) -> None:
        if self.task is not None:
            self.task.cancel()

    def session_started(self) -> None:
        if self.device.delay:
            self.task = asyncio.ensure_future(self._later())
        else:
            self._start()

    async def _later(self) -> None:
        await asyncio.sleep(self.device.delay)
        self._start()

    def _start(self) -> None:
        kind = self.device.kind
        if kind == "hang":
            return
        if kind in ("drip", "flood", "close-mid"):
            self.task = asyncio.ensure_future(getattr(self, "_" + kind.replace("-", "_"))())
            return
        if self.command is not None:
            if kind == "exec-empty":
                self.chan.exit(0)
            elif kind == "exec-refuses":
                self.chan.write_stderr("% exec channel not supported\n")
                self.chan.exit(1)
            elif self.command != self.device.command:
                self.chan.write_stderr("% Invalid input\n")
                self.chan.exit(1)
            elif kind == "exec-prompt":  # the answer, then a prompt, and the channel held open
                self.chan.write(self.device.text + self.device.prompt)
            else:
                self.chan.write(self.device.text)
                self.chan.exit(0)
            return
        if self.device.banner:
            self.chan.write(self.device.banner.replace("\n", "\r\n"))
        self.chan.write("\r\n" + self.device.prompt)

    async def _drip(self) -> None:
        for _ in range(100000):
            self.chan.write("x")
            await asyncio.sleep(0.05)

    async def _flood(self) -> None:
        chunk = ("flood " * 2000 + "\n")
        while True:
            await self.writable.wait()
            self.chan.write(chunk)
            await asyncio.sleep(0)

    async def _close_mid(self) -> None:
        text = self.device.text
        self.chan.write(text[:len(text) // 2])
        await asyncio.sleep(0.05)
        self.chan.get_extra_info("connection").abort()

    def data_received(self, data: str, datatype: Any) -> None:
        if self.at_pager:
            if data.startswith(" ") and self.device.kind != "stuck-pager":
                self.at_pager = False
                self.chan.write(ERASES[self.device.erase])
                self._page()
            return
        for char in data:
            if char in "\r\n":
                self.chan.write("\r\n")
                self._run(self.line.strip())
                self.line = ""
            else:
                self.line += char
                self.chan.write(char)  # as a terminal echoes

    def _run(self, command: str) -> None:
        if command == "terminal length 0" and self.device.kind not in ("pager", "stuck-pager"):
            self.paging = 0
        elif command == self.device.command:
            self.pending = _lines(self.device.text)
            self.ended = False
            self._page()
            return
        elif command:
            self.chan.write("% Invalid input detected at '^' marker.\r\n")
        self.chan.write(self.device.prompt)

    def _page(self) -> None:
        size = self.paging or len(self.pending)
        self.chan.write("".join(self.pending[:size]))
        del self.pending[:size]
        if self.pending or (self.device.more_at_end and self.paging and not self.ended):
            self.ended = not self.pending
            self.at_pager = True
            self.chan.write(" --More-- ")
        else:
            self.chan.write(self.device.prompt)


class _Server(asyncssh.SSHServer):  # type: ignore[misc]
    def __init__(self, device: Device, client_keys: Sequence[Any], password: str, counts: List[int]) -> None:
        self.device = device
        self.client_keys = client_keys
        self.password = password
        self.counts = counts
        self.conn = None  # type: Any

    def connection_made(self, conn: Any) -> None:
        self.conn = conn
        self.counts[0] += 1
        self.counts[1] += 1
        if self.device.banner:
            conn.send_auth_banner(self.device.banner)

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self.counts[1] -= 1

    def connection_requested(self, dest_host: str, dest_port: int, orig_host: str, orig_port: int) -> Any:
        """A jump host's forwarding, to loopback only."""
        if self.device.kind not in JUMPS:
            return False
        if self.device.kind == "jump-refuses":
            raise asyncssh.ChannelOpenError(asyncssh.OPEN_ADMINISTRATIVELY_PROHIBITED, "forwarding is off here")
        names = self.device.forwards
        if names is None and dest_host != LOOPBACK or names is not None and dest_host not in names:
            raise asyncssh.ChannelOpenError(asyncssh.OPEN_CONNECT_FAILED, "%s: Name or service not known" % dest_host)
        return self._forward(dest_port if names is None else names[dest_host])

    async def _forward(self, port: int) -> Any:
        await asyncio.sleep(self.device.delay)  # a jump host slow to reach the device
        forwarder = await self.conn.forward_connection(LOOPBACK, port)
        if self.device.kind == "jump-drops":
            ended = forwarder.connection_lost

            def then_drop(exc: Optional[Exception]) -> None:
                ended(exc)
                asyncio.get_event_loop().call_soon(self.conn.abort)
            forwarder.connection_lost = then_drop
        return forwarder

    def begin_auth(self, username: str) -> bool:
        return True

    def public_key_auth_supported(self) -> bool:
        return self.device.auth in ("publickey", "deny")

    def validate_public_key(self, username: str, key: Any) -> Any:
        valid = self.device.auth == "publickey" and key in self.client_keys
        if not self.device.login_delay:
            return valid

        async def later() -> bool:
            await asyncio.sleep(self.device.login_delay)
            return valid
        return later()

    def password_auth_supported(self) -> bool:
        return self.device.auth == "password"

    def validate_password(self, username: str, password: str) -> bool:
        return password == self.password

    def kbdint_auth_supported(self) -> bool:
        return self.device.auth == "kbdint"

    def get_kbdint_challenge(self, username: str, lang: str, submethods: str) -> Any:
        return "", "", "", [(self.device.kbdint_prompt, False)]

    def validate_kbdint_response(self, username: str, responses: Sequence[str]) -> bool:
        return list(responses) == [self.password]

    def session_requested(self) -> Any:
        return _Session(self.device)


class Emulator:
    """Devices on 127.0.0.1; start() them, then close() (tests use a fixture)."""

    def __init__(self, host_key: Any, client_keys: Sequence[Any], password: str = "") -> None:
        self.host_key = host_key
        self.client_keys = list(client_keys)
        self.password = password
        self.servers = []  # type: List[Any]
        self.idle = []  # type: List[Any]
        self.connections = {}  # type: Dict[int, List[int]]  # by port: SSH connections had, and open now

    async def start(self, device: Device) -> int:
        """Serves one device; returns its port."""
        if device.kind in ("no-banner", "legacy-drops"):
            server = await asyncio.start_server(self._silent if device.kind == "no-banner" else self._drop,
                                                LOOPBACK, 0)
            self.servers.append(server)
            return int(server.sockets[0].getsockname()[1])
        options = dict(device.offers or {})  # type: Dict[str, Any]
        if device.kind == "legacy":
            options["kex_algs"] = ["diffie-hellman-group1-sha1"]
        counts = [0, 0]  # connections had, and open now
        server = await asyncssh.create_server(
            lambda: _Server(device, self.client_keys, self.password, counts), LOOPBACK, 0,
            server_host_keys=[device.host_key or self.host_key], line_editor=False,
            errors="surrogateescape",  # a text's lone surrogates are sent as the bytes they stand for
            login_timeout=60, **options)
        self.servers.append(server)
        port = int(server.sockets[0].getsockname()[1])
        self.connections[port] = counts
        return port

    async def _silent(self, reader: Any, writer: Any) -> None:
        self.idle.append(writer)
        try:
            await reader.read()
        finally:
            writer.close()

    async def _drop(self, reader: Any, writer: Any) -> None:
        """An old device that greets, offers only old algorithms and hangs
        up at once, without a word of why."""
        names = [b"diffie-hellman-group1-sha1", b"ssh-rsa", b"3des-cbc", b"3des-cbc", b"hmac-sha1",
                 b"hmac-sha1", b"none", b"none", b"", b""]
        payload = b"\x14" + os.urandom(16) + b"".join(struct.pack(">I", len(name)) + name for name in names)
        payload += b"\x00" + struct.pack(">I", 0)
        padding = 8 - (5 + len(payload)) % 8 + 8
        writer.write(b"SSH-2.0-OldDevice\r\n" + struct.pack(">IB", 1 + len(payload) + padding, padding)
                     + payload + bytes(padding))
        writer.write_eof()
        try:
            await reader.read()
        finally:
            writer.close()

    async def close(self) -> None:
        for writer in self.idle:
            writer.close()
        for server in self.servers:
            server.close()
        for server in self.servers:
            await server.wait_closed()
        self.servers = []
