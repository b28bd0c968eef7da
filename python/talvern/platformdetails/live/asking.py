"""Asking devices from Python: one or many, synchronously or in the caller's
event loop, each answered as an Answer. Every mistake (a malformed target,
an unknown option, a bad value, an SSH config that cannot be read or looked
up, credentials that cannot be had) is raised before anything connects; a
device that fails is an Answer with a failure, never an exception."""
import asyncio
import threading
import warnings
from typing import (Any, AsyncIterator, Callable, Coroutine, Dict, Generator, Iterable, Iterator, List, Optional,
                    Tuple, TypeVar, Union)

from .._fanout import default_jobs
from .answer import Answer, answer_of
from .fleet import replies, replies_async
from .routes import Route, resolve
from .session import ask as ask_device
from .settings import Settings, settings_from
from .targets import Target, parse_target

TargetLike = Union[str, Target]
T = TypeVar("T")


def target_of(given: Any) -> Target:
    """A Target from what a caller gives: an ssh:// URL or [user@]host[:port], or a Target."""
    if isinstance(given, Target):
        return given
    if not isinstance(given, str):
        raise TypeError("a target must be a str or a Target, not %s" % type(given).__name__)
    return parse_target(given, "target")


def targets_of(given: Iterable[TargetLike]) -> List[Target]:
    if isinstance(given, (str, Target)):
        raise TypeError("targets must be an iterable of targets; for one, call ask()")
    return [target_of(target) for target in given]


def _warn(message: str) -> None:
    warnings.warn(message, RuntimeWarning, stacklevel=4)


def _run(coroutine: Coroutine[Any, Any, T]) -> T:
    """The coroutine's result, in an event loop of its own: in this thread,
    or, where this thread runs a loop already (a notebook), in another."""
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return asyncio.run(coroutine)
    result = []  # type: List[Any]

    def run() -> None:
        try:
            result.append((True, asyncio.run(coroutine)))
        except BaseException as exc:  # handed to the caller
            result.append((False, exc))
    thread = threading.Thread(target=run, name="talvern-platformdetails ask", daemon=True)
    thread.start()
    thread.join()
    ok, value = result[0]
    if not ok:
        raise value
    return value  # type: ignore[no-any-return]


async def _ask(target: Target, settings: Settings, route: Route) -> Answer:
    return answer_of(await ask_device(target, settings, route), settings.max_line_length)


def ask(target: TargetLike, settings: Optional[Settings] = None, **options: Any) -> Answer:
    """One device's Answer. settings, or the options of a Settings; safe
    from many threads at once, and from a thread that runs an event loop."""
    chosen = settings_from(settings, options)
    found = target_of(target)
    return _run(_ask(found, chosen, resolve([found], chosen, _warn)[found]))


async def ask_async(target: TargetLike, settings: Optional[Settings] = None, **options: Any) -> Answer:
    """ask() in the caller's event loop, which goes on meanwhile."""
    chosen = settings_from(settings, options)
    found = target_of(target)
    return await _ask(found, chosen, resolve([found], chosen, _warn)[found])


def answers(targets: List[Target], settings: Settings, warn: Callable[[str], None] = _warn,
            before_fork: Optional[Callable[[], None]] = None,
            routes: Optional[Dict[Target, Route]] = None) -> Generator[Tuple[Target, Answer], None, None]:
    """Each target with its Answer, as devices answer: the way in of
    ask_many() and of the command. routes: resolve()'s for the targets,
    made first when not given."""
    if routes is None:
        routes = resolve(targets, settings, warn)
    found = replies(targets, settings, routes, settings.jobs or default_jobs(), warn, before_fork)
    try:
        for reply in found:
            yield reply.target, answer_of(reply, settings.max_line_length)
    finally:
        found.close()


def ask_many(targets: Iterable[TargetLike], settings: Optional[Settings] = None,
             **options: Any) -> Iterator[Answer]:
    """Each target's Answer, as devices answer (not in the targets' order),
    concurrency at a time, in worker processes (jobs of them) where this
    process may fork: else in an event loop of this process."""
    chosen = settings_from(settings, options)
    found = targets_of(targets)
    routes = resolve(found, chosen, _warn)
    return (answer for _, answer in answers(found, chosen, routes=routes))


def ask_many_async(targets: Iterable[TargetLike], settings: Optional[Settings] = None,
                   **options: Any) -> AsyncIterator[Answer]:
    """ask_many() as an async iterator in the caller's event loop, which
    goes on meanwhile: the devices are asked in worker processes where
    this process may fork, else in the loop itself."""
    chosen = settings_from(settings, options)
    found = targets_of(targets)
    routes = resolve(found, chosen, _warn)

    async def answering() -> AsyncIterator[Answer]:
        async for reply in replies_async(found, chosen, routes, chosen.jobs or default_jobs(), _warn):
            yield answer_of(reply, chosen.max_line_length)
    return answering()
