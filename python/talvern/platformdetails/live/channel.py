"""What a device prints on one SSH channel, as its own bytes, read up to a cap."""
import asyncio
from typing import Any, Optional

from .._failures import Failure
from ._asyncssh import asyncssh

STDERR_KEPT = 4096  # bytes of standard error kept: enough for the device's own words


class ChannelReader(asyncssh.SSHClientSession):  # type: ignore[misc]
    """Collects what the device prints on standard output, up to the cap,
    and wakes the waiter. The channel is opened without an encoding, so the
    bytes are the device's own, kept in one buffer that grows in place:
    however large the output, it costs about its size."""

    def __init__(self, cap: int) -> None:
        self.cap = cap
        self.buffer = bytearray()
        self.stderr = bytearray()
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
        if datatype == asyncssh.EXTENDED_DATA_STDERR:
            self.stderr += data[:max(0, STDERR_KEPT - len(self.stderr))]
            return
        self.size += len(data)
        if self.size > self.cap:
            self.too_large = True
            self.buffer = bytearray()
            self.channel.abort()
        else:
            self.buffer += data
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

    def take(self) -> bytes:
        """Everything read since the last take."""
        data = bytes(self.buffer)
        self.buffer = bytearray()
        return data

    def send(self, text: str) -> None:
        self.channel.write(text.encode("utf-8"))

    async def wait(self, seconds: Optional[float] = None) -> bool:
        """Waits for more (at most seconds); False when none came in time."""
        if not self.changed:
            self.waiter = asyncio.get_event_loop().create_future()
            try:
                if seconds is None:
                    await self.waiter
                else:
                    await asyncio.wait_for(asyncio.shield(self.waiter), seconds)
            except asyncio.TimeoutError:
                return False
            finally:
                self.waiter = None
        self.changed = False
        if self.too_large:
            raise Failure("too-large", "the device printed more than %d bytes; stopped reading" % self.cap)
        return True
