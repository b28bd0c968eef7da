"""What a device prints on one SSH channel, read up to a cap."""
import asyncio
import codecs
from typing import Any, List, Optional

from .._failures import Failure
from ._asyncssh import asyncssh


class ChannelReader(asyncssh.SSHClientSession):  # type: ignore[misc]
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
