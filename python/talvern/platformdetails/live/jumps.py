"""Devices behind jump hosts: one connection per jump host in each event
loop (a worker process's, or one call's) carries every device behind it,
each device a channel in it, and every hop is checked and logged in to as
a device is. The hops are chained here, each over the one before, which
works with every asyncssh this package takes."""
import asyncio
from typing import Any, Dict, Optional, Tuple

from .._detect import describe_exception
from .._failures import Failure
from ._asyncssh import asyncssh
from .connect import Client, connect
from .routes import Route
from .settings import Settings

CLOSE_LIMIT = 2.0  # seconds the jump hosts' connections have to close at the end

Opened = Tuple[Any, Client]


class Jumps:
    """The jump hosts' connections of one event loop. Each is opened when
    a device first needs it (the devices that need it meanwhile wait for
    that one), opened again once it has dropped, and closed by close().
    opened: connections made, all hops together."""

    def __init__(self, settings: Settings) -> None:
        self.settings = settings
        self.opened = 0
        self._open = {}  # type: Dict[Tuple[Any, ...], Opened]
        self._opening = {}  # type: Dict[Tuple[Any, ...], asyncio.Future[Opened]]

    async def connection(self, hop: Route) -> Any:
        """The logged-in connection to the jump host; Failure("jump") when it cannot be had."""
        key = hop.key
        found = self._open.get(key)
        if found is not None and not found[1].lost:
            return found[0]
        opening = self._opening.get(key)
        if opening is None:
            opening = self._opening[key] = asyncio.ensure_future(self._login(hop))
            opening.add_done_callback(lambda done: self._settled(key, done))
        conn, _ = await asyncio.shield(opening)  # a device out of time does not stop it for the others
        return conn

    def is_open(self, hop: Route) -> bool:
        found = self._open.get(hop.key)
        return found is not None and not found[1].lost

    def dropped(self, hop: Route) -> bool:
        """Whether the jump host's connection was had and has ended."""
        found = self._open.get(hop.key)
        return found is not None and found[1].lost

    def _settled(self, key: Tuple[Any, ...], opening: "asyncio.Future[Opened]") -> None:
        del self._opening[key]
        if not opening.cancelled() and opening.exception() is None:  # a failure is each waiting device's
            old = self._open.get(key)
            if old is not None:
                old[0].abort()
            self._open[key] = opening.result()

    async def _login(self, hop: Route) -> Opened:
        client = Client(self.settings.hostkeys, hop)
        timeout = self.settings.timeout
        try:
            conn = await asyncio.wait_for(reach(hop, self.settings, client, self), timeout)
        except asyncio.TimeoutError:
            raise Failure("jump", "jump host %s: %s within %g s" % (
                hop.name, "no login" if client.conn is not None else "no connection", timeout))
        except Failure as exc:
            if exc.kind == "jump":  # an earlier hop's, already named
                raise
            raise Failure("jump", "jump host %s: %s: %s" % (hop.name, exc.kind, exc.reason))
        except (asyncssh.Error, OSError, EOFError) as exc:
            raise Failure("jump", "jump host %s: the connection failed: %s"
                          % (hop.name, describe_exception(exc, first_line=True)))
        self.opened += 1
        return conn, client

    async def close(self) -> None:
        for opening in list(self._opening.values()):
            opening.cancel()
        opened = list(self._open.values())
        self._open.clear()
        for conn, _ in opened:
            conn.close()
        for conn, _ in opened:
            try:
                await asyncio.wait_for(conn.wait_closed(), CLOSE_LIMIT)
            except (asyncio.TimeoutError, asyncssh.Error, OSError):
                conn.abort()


async def reach(route: Route, settings: Settings, client: Client, jumps: Optional[Jumps]) -> Any:
    """The logged-in connection to route: through its jump host, its
    ProxyCommand, or straight. A jump host whose connection has just
    dropped is opened again once for a device that had not got through it."""
    if route.via is None:
        return await connect(route, settings, client)
    if jumps is None:
        raise RuntimeError("a route through a jump host needs the Jumps of its event loop")
    for attempt in range(2):
        tunnel = await jumps.connection(route.via)
        try:
            return await connect(route, settings, client, tunnel)
        except Failure:
            if attempt or client.conn is not None or not jumps.dropped(route.via):
                raise
    raise AssertionError("unreachable")
