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
from .connect import Client
from .jumps import Jumps, reach
from .routes import Resolver, Route
from . import screen
from .settings import Settings
from .targets import Target

PAGER_ANSWERS = 10000  # pages one answer may take before it is called stuck
QUIET = 1.0  # seconds of nothing after an exec answer's prompt that end it


class Reply(NamedTuple):
    """What one device gave, as data: its output as it printed it (bytes)
    and how it was asked, or its failure's class and reason."""

    target: Target
    output: Optional[bytes]
    via: Optional[str]  # "exec" or "shell"
    seconds: float
    failure: Optional[str] = None
    reason: Optional[str] = None


class ExecRefused(Exception):
    """The exec answer does not count: the device's words, or why not."""


async def _exec(conn: Any, settings: Settings) -> bytes:
    """The command's standard output by an exec request. Raises
    ExecRefused when the request, its exit status, its standard error or a
    short refusal on standard output says the answer does not count."""
    try:
        chan, reader = await conn.create_session(lambda: ChannelReader(settings.max_output), settings.command,
                                                 encoding=None)
    except asyncssh.ChannelOpenError as exc:
        raise ExecRefused("the device refused an exec request: %s" % describe_exception(exc, first_line=True))
    while not reader.closed:
        if screen.PROMPT.match(screen.last_line(bytes(reader.buffer[-200:]))) and reader.buffer.strip():
            # The whole answer and a prompt, and the channel held open: a
            # quiet spell after the prompt ends it.
            if not await reader.wait(min(QUIET, settings.timeout / 4)):
                chan.close()
                data = bytes(reader.buffer)
                return data[:data.rfind(b"\n") + 1]
            continue
        await reader.wait()
    if reader.error is not None:
        raise Failure("closed", "the device closed the connection before the command ended: %s"
                      % describe_exception(reader.error, first_line=True))
    output = bytes(reader.buffer)
    refused = screen.refusal(output)
    if reader.exit_status not in (None, 0) or not output.strip() or refused:
        words = b" ".join(bytes(reader.stderr).split()[:40]) or refused
        said = words.decode("utf-8", "replace") if words else "it printed nothing"
        if reader.exit_status not in (None, 0):
            said += ", exit status %d" % reader.exit_status
        raise ExecRefused(said)
    return output


async def until_prompt(reader: ChannelReader, prompt: Optional[bytes]) -> bytes:
    """Reads until the last line, as the terminal shows it, is the prompt
    (any prompt when None), answering pagers on the way; returns everything
    read."""
    pages = 0
    while True:
        shown = screen.last_line(bytes(reader.buffer[-400:]))
        paged = screen.pager(shown)
        if prompt is None:
            if paged is None and screen.PROMPT.match(shown):  # "<--- More --->" is no prompt
                return reader.take()
        elif shown.strip() == prompt.strip() and shown:
            return reader.take()
        if paged is not None:
            pages += 1
            if pages > PAGER_ANSWERS:
                raise Failure("pager", "the device kept paging after %d answers" % PAGER_ANSWERS)
            # The pager's line goes, whatever the device does to rub it out.
            del reader.buffer[reader.buffer.rfind(b"\n") + 1:]
            reader.buffer += shown[:paged.start()].rstrip()
            reader.send(" ")
        if reader.closed:
            raise Failure("closed", "the device closed the session before its prompt came back")
        reader.at_pager = paged is not None
        await reader.wait()


async def _shell(conn: Any, settings: Settings, client: Client, refused: str) -> bytes:
    chan, reader = await conn.create_session(lambda: ChannelReader(settings.max_output),
                                             term_type="vt100", term_size=(511, 0), encoding=None)
    client.shell = reader
    await until_prompt(reader, None)
    # The prompt as the device repeats it after an empty line: a banner
    # line that only looked like a prompt is not repeated.
    reader.send("\r")
    prompt = screen.last_line(await until_prompt(reader, None))
    for command in settings.paging_off:
        reader.send(command + "\r")
        await until_prompt(reader, prompt)
    reader.send(settings.command + "\r")
    text = screen.clean(await until_prompt(reader, prompt), settings.command, prompt)
    chan.close()
    words = screen.refusal(text)
    if words is not None:
        raise Failure("command", "the device refused %r: %s (by exec: %s)"
                      % (settings.command, words.decode("utf-8", "replace"), refused))
    return text


async def _dialogue(target: Target, route: Route, settings: Settings, client: Client, jumps: Jumps) -> Reply:
    started = time.monotonic()
    conn = await reach(route, settings, client, jumps)
    try:
        via = "exec"
        try:
            output = await _exec(conn, settings)
        except ExecRefused as refused:
            via = "shell"
            try:
                output = await _shell(conn, settings, client, str(refused))
            except asyncssh.ChannelOpenError:
                raise Failure("command", "the device refused %r by exec (%s), and has no shell"
                              % (settings.command, refused))
    except (asyncssh.ConnectionLost, asyncssh.DisconnectError, asyncssh.ChannelOpenError,
            ConnectionError) as exc:
        raise Failure("closed", "the device closed the connection: %s" % describe_exception(exc, first_line=True))
    finally:
        conn.abort()
    return Reply(target, output, via, time.monotonic() - started)


async def _within_deadline(target: Target, route: Route, settings: Settings, jumps: Jumps) -> Reply:
    """What the device printed for the command, within the one deadline.
    Raises Failure; never anything else for a device's fault."""
    client = Client(settings.hostkeys, route)
    try:
        return await asyncio.wait_for(_dialogue(target, route, settings, client, jumps), settings.timeout)
    except asyncio.TimeoutError:
        if client.shell is not None and client.shell.at_pager:
            raise Failure("pager", "the device stopped at a pager prompt that a space does not move on")
        if route.via is not None and client.conn is None and not jumps.is_open(route.via):
            raise Failure("jump", "no connection to jump host %s within %g s" % (route.via.name, settings.timeout))
        if not client.logged_in:
            raise Failure("timeout", "no login within %g s" % settings.timeout)
        raise Failure("timeout", "no complete answer within %g s" % settings.timeout)
    except Failure as exc:
        if exc.kind == "closed" and route.via is not None and jumps.dropped(route.via):
            raise Failure("jump", "the connection to jump host %s dropped: %s" % (route.via.name, exc.reason))
        raise
    except (asyncssh.Error, OSError, EOFError) as exc:
        raise Failure("closed", "the connection failed: %s" % describe_exception(exc, first_line=True))


async def ask(target: Target, settings: Settings, route: Optional[Route] = None,
              jumps: Optional[Jumps] = None) -> Reply:
    """One device's reply: never raises for anything a device does, nor for
    a fault of ours, which must not cost the other devices theirs. route:
    how to reach it (default: decided now, which raises a mistake of the
    config or the credentials); jumps: the event loop's jump hosts
    (default: its own, closed before it returns)."""
    if route is None:
        route = Resolver(settings).target(target)
    own = jumps is None
    used = Jumps(settings) if jumps is None else jumps
    started = time.monotonic()
    try:
        return await _within_deadline(target, route, settings, used)
    except Failure as exc:
        return Reply(target, None, None, time.monotonic() - started, exc.kind, exc.reason)
    except Exception as exc:
        return Reply(target, None, None, time.monotonic() - started, "closed",
                     "failed: %s" % describe_exception(exc, first_line=True))
    finally:
        if own:
            await used.close()
