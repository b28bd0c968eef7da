"""Many devices at once: shared among worker processes forked from this one,
each one event loop asking up to its share of the concurrency at once and
a bounded number of devices before a fresh process takes over; or, where
forking is not safe (other threads run) or one process is asked for, one
event loop in this process. Replies come back as they finish, so that an
interrupted run loses none it had."""
import asyncio
import threading
from typing import Any, AsyncIterator, Callable, Dict, Generator, Iterable, Iterator, Optional, Sequence, Tuple

from .._fanout import fan_out, fan_out_async
from .jumps import Jumps
from .routes import Route
from .session import Reply, ask
from .settings import Settings
from .targets import Target

Routes = Dict[Target, Route]

FILES_KEPT = 64  # descriptors left for the interpreter, pipes and files
COLLECT_EVERY = 100  # replies between collections in a worker
# Devices one worker process asks before a fresh one takes over (unless its
# concurrency alone is more): what a worker's C heap keeps of the
# connections it has finished stays bounded, however many devices a run asks.
DEVICES_PER_WORKER = 500
# Seconds between handing the C heap's free pages back to the system in a
# worker: handshakes leave them among the allocations that live on, and
# returning them saved 5 MiB with 1,000 connections in flight.
TRIM_EVERY = 0.1
_END = object()


async def trim_heap() -> None:
    """Calls glibc's malloc_trim every TRIM_EVERY seconds; returns at once
    where the C library has none."""
    try:
        import ctypes  # already loaded with asyncssh's dependencies

        trim = ctypes.CDLL(None).malloc_trim
    except (ImportError, OSError, AttributeError):
        return
    trim.argtypes = [ctypes.c_size_t]
    while True:
        await asyncio.sleep(TRIM_EVERY)
        trim(0)


async def ask_all(settings: Settings, routes: Routes, numbered: Iterable[Tuple[int, Target]], concurrency: int,
                  done: Callable[[int, Reply], None], trim: bool = False) -> None:
    """Asks every target, concurrency at a time, each reply to done as it
    comes; the jump hosts' connections are shared among them, and closed
    at the end. trim: a worker process's, its heap kept small."""
    import gc

    trimming = asyncio.ensure_future(trim_heap()) if trim else None
    jumps = Jumps(settings)
    pending = iter(numbered)
    count = [0]

    async def one_at_a_time() -> None:
        for number, target in pending:
            done(number, await ask(target, settings, routes[target], jumps))
            count[0] += 1
            # A finished connection is a cycle of asyncssh objects holding
            # C heap (buffers, cipher contexts) that waits for a full
            # collection: without this a worker grew 15-20 KiB per device.
            # Only in a worker: elsewhere it would stall the caller's threads.
            if trim and count[0] % COLLECT_EVERY == 0:
                gc.collect()
    try:
        await asyncio.gather(*(one_at_a_time() for _ in range(concurrency)))
    finally:
        if trimming is not None:
            trimming.cancel()
        await jumps.close()


class Asker:
    """What a worker process does with its batch of targets."""

    def __init__(self, settings: Settings, routes: Routes, concurrency: int) -> None:
        self.settings, self.routes, self.concurrency = settings, routes, concurrency

    def batch(self, batch: Any) -> None:
        # Forked from a running event loop, the worker has none of its own yet.
        getattr(asyncio.events, "_set_running_loop")(None)
        asyncio.run(ask_all(self.settings, self.routes, batch, min(self.concurrency, len(batch)), batch.done,
                            trim=True))


def open_files_allow(wanted: int, warn: Callable[[str], None]) -> int:
    """Connections one process may hold: wanted, or fewer under the
    open-file limit, which is raised to its hard ceiling where that helps."""
    try:
        import resource
    except ImportError:
        return wanted
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = wanted + FILES_KEPT
    if soft != resource.RLIM_INFINITY and soft < need:
        raised = need if hard == resource.RLIM_INFINITY else min(need, hard)
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (raised, hard))
            soft = raised
        except (ValueError, OSError):
            pass
    if soft != resource.RLIM_INFINITY and soft < need:
        allowed = max(1, soft - FILES_KEPT)
        warn("the open-file limit (%d) allows %d connections at once per process, not %d"
             % (soft, allowed, wanted))
        return allowed
    return wanted


def forking_is_safe() -> bool:
    """Whether worker processes may be forked from here: a fork with other
    threads running may leave their locks held in the child for ever."""
    import multiprocessing

    return threading.active_count() == 1 and "fork" in multiprocessing.get_all_start_methods()


def _lost(target: Target, reason: str) -> Reply:
    return Reply(target, None, None, 0.0, "closed", reason)


class Plan:
    """How many devices are asked at once, by how many processes, each
    holding how many."""

    def __init__(self, count: int, settings: Settings, jobs: int, warn: Callable[[str], None]) -> None:
        self.concurrency = max(1, min(settings.concurrency, count))
        self.jobs = max(1, min(jobs, self.concurrency)) if forking_is_safe() else 1
        self.per_process = open_files_allow(-(-self.concurrency // self.jobs), warn)
        self.share = max(self.per_process, min(DEVICES_PER_WORKER, -(-count // self.jobs)))

    def fan_out(self, settings: Settings, routes: Routes, targets: Sequence[Target], before_fork: Any,
                run: Any) -> Any:
        return run(Asker(settings, routes, self.per_process).batch, targets, self.jobs, _lost, self.share,
                   ordered=False, stream=True, fresh_after=self.share, before_fork=before_fork)


def replies(targets: Sequence[Target], settings: Settings, routes: Routes, jobs: int, warn: Callable[[str], None],
            before_fork: Optional[Callable[[], None]] = None) -> Generator[Reply, None, None]:
    """Each target's reply, as devices answer: from worker processes
    (forked once routes, and the keys they hold, are had), or from an event
    loop in a thread of this process."""
    plan = Plan(len(targets), settings, jobs, warn)
    if plan.jobs > 1:
        results = plan.fan_out(settings, routes, targets, before_fork, fan_out)
        try:
            for _, reply in results:
                yield reply
        finally:
            results.close()
        return
    import queue

    came = queue.Queue()  # type: queue.Queue[Any]
    for item in _in_a_thread(targets, settings, routes, plan.concurrency, came.put, came.get):
        yield item


class _Thread:
    """An event loop in a thread of its own, asking every target; each
    reply handed to put as (number, reply), then _END."""

    def __init__(self, targets: Sequence[Target], settings: Settings, routes: Routes, concurrency: int,
                 put: Callable[[Any], None]) -> None:
        self.loop = asyncio.new_event_loop()
        self.work = self.loop.create_task(ask_all(settings, routes, enumerate(targets), concurrency,
                                                  lambda number, reply: put((number, reply))))

        def run() -> None:
            try:
                self.loop.run_until_complete(self.work)
            except BaseException:  # cancelled when the caller stops early; a fault of ours: see _unanswered
                pass
            finally:
                put(_END)
        self.thread = threading.Thread(target=run, name="talvern-platformdetails devices", daemon=True)
        self.thread.start()

    def stop(self) -> None:
        if self.thread.is_alive():
            self.loop.call_soon_threadsafe(self.work.cancel)
        self.thread.join()
        self.loop.close()


def _in_a_thread(targets: Sequence[Target], settings: Settings, routes: Routes, concurrency: int,
                 put: Callable[[Any], None], get: Callable[[], Any]) -> Iterator[Reply]:
    asking = _Thread(targets, settings, routes, concurrency, put)
    seen = set()
    try:
        while True:
            item = get()
            if item is _END:
                break
            seen.add(item[0])
            yield item[1]
        for reply in _unanswered(targets, seen):
            yield reply
    finally:
        asking.stop()


def _unanswered(targets: Sequence[Target], seen: Any) -> Iterator[Reply]:
    """Still one reply each, should a fault of ours end the asking early."""
    for number, target in enumerate(targets):
        if number not in seen:
            yield _lost(target, "not asked: the loop asking it ended")


async def replies_async(targets: Sequence[Target], settings: Settings, routes: Routes, jobs: int,
                        warn: Callable[[str], None]) -> AsyncIterator[Reply]:
    """replies() in the running event loop: from worker processes, or from
    an event loop in a thread of this process."""
    plan = Plan(len(targets), settings, jobs, warn)
    if plan.jobs > 1:
        async for _, reply in plan.fan_out(settings, routes, targets, None, fan_out_async):
            yield reply
        return
    # Asked from a thread of this process, not in the caller's loop itself,
    # which a hundred handshakes at once kept from its other work for
    # 100 ms and more at a time; the replies come back into the loop.
    loop = asyncio.get_event_loop()
    came = asyncio.Queue()  # type: asyncio.Queue[Any]

    def put(item: Any) -> None:
        loop.call_soon_threadsafe(came.put_nowait, item)
    asking = _Thread(targets, settings, routes, plan.concurrency, put)
    seen = set()
    try:
        while True:
            item = await came.get()
            if item is _END:
                break
            seen.add(item[0])
            yield item[1]
        for reply in _unanswered(targets, seen):
            yield reply
    finally:
        asking.stop()  # at once: what it was asking is cancelled
