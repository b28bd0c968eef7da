"""One device asked once: log in, send the version command by exec or in
a shell, and keep exactly what the device printed, all within one
deadline. Every way that can fail is a Failure with its class."""
import asyncio
import time
from typing import Any, NamedTuple, Optional

from .._detect import describe_exception
from .._failures import Failure
from ._asyncssh import asyncssh
from .channel import ChannelReader
from .connect import Client, connect
from .screen import PAGER, PROMPT, clean, drawn
from .settings import Settings
from .targets import Target

PAGER_ANSWERS = 10000  # pages one answer may take before it is called stuck


class Reply(NamedTuple):
    """What one device gave, as data: its output as it printed it (bytes)
    and how it was asked, or its failure's class and reason."""

    target: Target
    output: Optional[bytes]
    via: Optional[str]  # "exec" or "shell"
    seconds: float
    failure: Optional[str] = None
    reason: Optional[str] = None


async def _exec(conn: Any, settings: Settings) -> Optional[bytes]:
    """The command's output by an exec request, or None when the device
    refuses it or prints nothing."""
    try:
        chan, reader = await conn.create_session(lambda: ChannelReader(settings.max_output), settings.command,
                                                 encoding=None)
    except asyncssh.ChannelOpenError:
        return None
    while not reader.closed:
        await reader.wait()
    if reader.error is not None:
        raise Failure("closed", "the device closed the connection before the command ended: %s"
                      % describe_exception(reader.error, first_line=True))
    output = reader.output()
    return output if output.strip() else None


async def until_prompt(reader: ChannelReader, prompt: Optional[str]) -> str:
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


async def _shell(conn: Any, settings: Settings, client: Client) -> str:
    chan, reader = await conn.create_session(lambda: ChannelReader(settings.max_output, shell=True),
                                             term_type="vt100", term_size=(511, 0), encoding=None)
    client.shell = reader
    await until_prompt(reader, None)
    # The prompt as the device repeats it after an empty line: a banner
    # line that only looked like a prompt is not repeated.
    reader.send("\r")
    seen = await until_prompt(reader, None)
    prompt = drawn(seen.replace("\r", "")).rsplit("\n", 1)[-1]
    for command in settings.paging_off:
        reader.send(command + "\r")
        await until_prompt(reader, prompt)
    reader.send(settings.command + "\r")
    text = await until_prompt(reader, prompt)
    chan.close()
    return clean(text, settings.command, prompt)


async def _dialogue(target: Target, user: str, settings: Settings, client: Client) -> Reply:
    started = time.monotonic()
    conn = await connect(target.host, target.port, user, settings, client)
    try:
        via = "exec"
        output = await _exec(conn, settings)
        if output is None:
            via = "shell"
            output = (await _shell(conn, settings, client)).encode("utf-8", "surrogateescape")
    except (asyncssh.ConnectionLost, asyncssh.DisconnectError, asyncssh.ChannelOpenError,
            ConnectionError) as exc:
        raise Failure("closed", "the device closed the connection: %s" % describe_exception(exc, first_line=True))
    finally:
        conn.abort()
    return Reply(target, output, via, time.monotonic() - started)


async def _within_deadline(target: Target, settings: Settings) -> Reply:
    """What the device printed for the command, within the one deadline.
    Raises Failure; never anything else for a device's fault."""
    user = target.user or settings.credentials.user
    client = Client(settings.hostkeys, settings.credentials)
    try:
        return await asyncio.wait_for(_dialogue(target, user, settings, client), settings.timeout)
    except asyncio.TimeoutError:
        if client.shell is not None and client.shell.at_pager:
            raise Failure("pager", "the device stopped at a pager prompt that a space does not move on")
        if not client.logged_in:
            raise Failure("timeout", "no login within %g s" % settings.timeout)
        raise Failure("timeout", "no complete answer within %g s" % settings.timeout)
    except Failure:
        raise
    except (asyncssh.Error, OSError, EOFError) as exc:
        raise Failure("closed", "the connection failed: %s" % describe_exception(exc, first_line=True))


async def ask(target: Target, settings: Settings) -> Reply:
    """One device's reply: never raises for anything a device does, nor for
    a fault of ours, which must not cost the other devices theirs."""
    started = time.monotonic()
    try:
        return await _within_deadline(target, settings)
    except Failure as exc:
        return Reply(target, None, None, time.monotonic() - started, exc.kind, exc.reason)
    except Exception as exc:
        return Reply(target, None, None, time.monotonic() - started, "closed",
                     "failed: %s" % describe_exception(exc, first_line=True))
