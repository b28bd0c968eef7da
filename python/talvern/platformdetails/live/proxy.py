"""A ProxyCommand of the user's SSH config, run as OpenSSH's ssh runs it:
$SHELL -c "exec COMMAND", its standard input and output the connection.
The end of what it writes on standard error is kept to say why it ended,
and it gets SIGHUP once the connection is done, as ssh sends it."""
import asyncio
import os
import signal
import socket
import subprocess
from typing import Any, Optional

KEPT = 2048  # bytes of its standard error kept
REAP_STEPS, REAP_STEP = 100, 0.02  # after SIGHUP: 2 s to end before SIGKILL


class ProxyFailed(Exception):
    """The command could not be started; the message says why."""


class Proxy:
    """One running ProxyCommand; sock is this side of the connection."""

    def __init__(self, command: str) -> None:
        self.command = command
        self.sock, theirs = socket.socketpair()
        shell = os.environ.get("SHELL") or "/bin/sh"
        try:
            self.process = subprocess.Popen([shell, "-c", "exec " + command], stdin=theirs.fileno(),
                                            stdout=theirs.fileno(), stderr=subprocess.PIPE, close_fds=True)
        except OSError as exc:
            self.sock.close()
            raise ProxyFailed("cannot start %s for the ProxyCommand: %s" % (shell, exc.strerror or exc))
        finally:
            theirs.close()
        self.sock.setblocking(False)
        self.errors = b""
        self._loop = asyncio.get_event_loop()
        self._stderr = self.process.stderr  # type: Any
        os.set_blocking(self._stderr.fileno(), False)
        self._loop.add_reader(self._stderr.fileno(), self._read)
        self._reaper = None  # type: Optional[asyncio.Future[Any]]

    def _read(self) -> None:
        try:
            data = os.read(self._stderr.fileno(), 65536)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if data:
            self.errors = (self.errors + data)[-KEPT:]
        else:
            self._close_stderr()

    def _close_stderr(self) -> None:
        if not self._stderr.closed:
            self._loop.remove_reader(self._stderr.fileno())
            self._stderr.close()

    def said(self) -> str:
        """Its last line on standard error, or what ended it."""
        lines = [line.strip() for line in self.errors.decode("utf-8", "replace").splitlines() if line.strip()]
        status = self.process.poll()
        how = "" if status is None else (" (it ended with status %d)" % status if status >= 0 else
                                         " (it was ended by signal %d)" % -status)
        return ("%s%s" % (lines[-1][:200], how)) if lines else ("it said nothing%s" % how)

    async def ended(self, seconds: float) -> None:
        """Waits, at most seconds, for it to end and its standard error to close."""
        for _ in range(max(1, int(seconds / REAP_STEP))):
            if self.process.poll() is not None and self._stderr.closed:
                return
            await asyncio.sleep(REAP_STEP)

    def stop(self) -> None:
        """SIGHUP, then SIGKILL if it is still there a little later; reaped either way."""
        if self._reaper is None:
            self._reaper = asyncio.ensure_future(self._reap())

    async def _reap(self) -> None:
        try:
            if self.process.poll() is None:
                self.process.send_signal(signal.SIGHUP)
            for _ in range(REAP_STEPS):
                if self.process.poll() is not None:
                    break
                await asyncio.sleep(REAP_STEP)
        finally:  # the loop ending cancels this: no zombie is left either way
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            self._close_stderr()
            self.sock.close()
