"""Many devices at once: shared among worker processes, each one event loop
asking up to its share of the concurrency at once, and each asking a
bounded number of devices before a fresh process takes over. Replies come
back as they finish, so that an interrupted run loses none it had."""
import asyncio
import warnings
from typing import Any, Callable, Generator, Optional, Sequence

from .._batch import Batch
from .._fanout import fan_out
from .session import Reply, ask
from .settings import Settings
from .targets import Target

CONCURRENCY = 100
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


class Asker:
    """What a worker process does with its batch of targets."""

    def __init__(self, settings: Settings, concurrency: int) -> None:
        self.settings, self.concurrency = settings, concurrency

    def batch(self, batch: Batch) -> None:
        # cryptography warns when asyncssh uses an old algorithm (with
        # --legacy-algorithms): the user asked for it, and the warning is not theirs.
        warnings.filterwarnings("ignore", module=r"asyncssh(\.|$)")
        asyncio.run(self.ask_all(batch))

    async def ask_all(self, batch: Batch) -> None:
        import gc

        trimming = asyncio.ensure_future(trim_heap())
        pending = iter(batch)
        done = [0]

        async def one_at_a_time() -> None:
            for number, target in pending:
                batch.done(number, await ask(target, self.settings))
                done[0] += 1
                # A finished connection is a cycle of asyncssh objects holding
                # C heap (buffers, cipher contexts) that waits for a full
                # collection: without this a worker grew 15-20 KiB per device.
                if done[0] % COLLECT_EVERY == 0:
                    gc.collect()
        try:
            await asyncio.gather(*(one_at_a_time() for _ in range(min(self.concurrency, len(batch)))))
        finally:
            trimming.cancel()


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


def _lost(target: Target, reason: str) -> Reply:
    return Reply(target, None, None, 0.0, "closed", reason)


def ask_many(targets: Sequence[Target], settings: Settings, jobs: int, concurrency: int,
             warn: Callable[[str], None],
             before_fork: Optional[Callable[[], None]] = None) -> Generator[Reply, None, None]:
    """Each target's reply, as devices answer, from up to jobs worker
    processes asking concurrency devices at once in all."""
    concurrency = max(1, min(concurrency, len(targets)))
    jobs = max(1, min(jobs, concurrency))
    per_process = open_files_allow(-(-concurrency // jobs), warn)
    size = max(per_process, min(DEVICES_PER_WORKER, -(-len(targets) // jobs)))
    asker = Asker(settings, per_process)
    replies = fan_out(asker.batch, targets, jobs, _lost, size, ordered=False, stream=True, fresh_after=size,
                      before_fork=before_fork)  # type: Any
    try:
        for _, reply in replies:
            yield reply
    finally:
        replies.close()
