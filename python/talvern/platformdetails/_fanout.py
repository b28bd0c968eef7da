"""Work shared among worker processes forked from this one: files to answer
or devices to ask. Every item gets one result, whatever happens to a worker.

Each worker has its own pipe and holds one batch at a time; this process
waits on the pipes and the processes' sentinels, so a worker that dies
leaves no lock behind. An item a worker began alone (``Batch.begin``, noted
in shared memory) that passes the time limit has its worker killed, and one
whose worker dies is blamed for it: it fails, and the others go to a fresh
worker. multiprocessing and signal are imported only when workers start.
"""
from __future__ import annotations

import collections
import gc
import time

from ._worker import Batch, Worker, describe_end

TYPE_CHECKING = False  # typing stays unimported at run time; the type checker takes this as true
if TYPE_CHECKING:
    from typing import (Any, AsyncIterator, Callable, Deque, Dict, Generator, Iterable, Iterator, List, Optional,
                        Sequence, Tuple)

    from ._worker import Numbered

AHEAD = 4  # batches per worker that may be done ahead of what was yielded
TRIES = 3  # times an item held by a worker that died is handed out again before it fails

# What the interpreter froze itself before we came (3.12 freezes some at
# start-up), told apart from what a caller froze.
_FROZEN_AT_IMPORT = gc.get_freeze_count()


def default_jobs() -> int:
    """Worker processes by default: one per CPU this process may use."""
    import os

    affinity = getattr(os, "sched_getaffinity", None)
    return max(1, len(affinity(0))) if affinity is not None else (os.cpu_count() or 1)


class _Fan:
    """One fan-out's state: the workers, what each holds, what is done."""

    def __init__(self, handle: Callable[[Batch], None], items: Iterable[Any], failed: Callable[[Any, str], Any],
                 batch: int, stream: bool, fresh_after: Optional[int],
                 before_fork: Optional[Callable[[], None]]) -> None:
        import multiprocessing

        # fork shares the loaded module and the run's state at no cost.
        self.context = multiprocessing.get_context("fork")
        self.handle, self.failed, self.batch, self.stream = handle, failed, batch, stream
        self.fresh_after, self.before_fork = fresh_after, before_fork
        self.workers = []  # type: List[Worker]
        self.retiring = []  # type: List[Worker]
        self.retry = collections.deque()  # type: Deque[Tuple[int, Any]]
        self.tries = {}  # type: Dict[int, int]
        self.done = collections.OrderedDict()  # type: collections.OrderedDict[int, Any]
        self.numbered = enumerate(items)
        self.taken = self.shown = 0
        self.exhausted = False
        # Frozen by this fan-out only (not by the caller), to be unfrozen at
        # its end: a program that asks devices often must not keep each
        # fork's garbage for ever.
        self.unfreeze = gc.get_freeze_count() <= _FROZEN_AT_IMPORT

    def start(self) -> Worker:
        if self.before_fork is not None:
            self.before_fork()
        # What is loaded so far is shared with the worker: kept out of its
        # collections, its pages are not copied when it collects.
        gc.freeze()
        return Worker(self.context, self.handle, self.stream,
                      [worker.connection for worker in self.workers + self.retiring])

    def replace(self, worker: Worker) -> None:
        self.workers[self.workers.index(worker)] = self.start()

    def hand_out(self) -> None:
        """A batch to each worker that holds none, while the output keeps up."""
        for worker in self.workers:
            if worker.held:
                continue
            size = self.batch if self.fresh_after is None else min(self.batch, self.fresh_after - worker.given)
            handed = []  # type: Numbered
            while self.retry and len(handed) < size:
                handed.append(self.retry.popleft())
            while (not self.exhausted and len(handed) < size
                   and self.taken - self.shown < AHEAD * self.batch * len(self.workers)):
                try:
                    handed.append(next(self.numbered))
                except StopIteration:
                    self.exhausted = True
                else:
                    self.taken += 1
            if not handed:
                continue
            worker.held = dict(handed)
            worker.given += len(handed)
            try:
                worker.connection.send(handed)
            except OSError:
                pass  # it died: its sentinel says so

    def receive(self, worker: Worker) -> bool:
        """Takes in what worker sent; False when its pipe has closed."""
        try:
            while worker.connection.poll():
                results, finished = worker.connection.recv()  # type: List[Tuple[int, Any]], bool
                for number, result in results:
                    self.done[number] = result
                    worker.held.pop(number, None)
                    self.tries.pop(number, None)
                if finished:
                    for number, item in worker.held.items():  # a handler that skipped some
                        self.done[number] = self.failed(item, "not answered")
                    worker.held = {}
        except (EOFError, OSError):
            return False
        return True

    def lost(self, worker: Worker, reason: str, blamed: Optional[int]) -> None:
        """worker is gone: the item it was blamed for fails, the others go to another."""
        self.replace(worker)
        for number, item in sorted(worker.held.items(), reverse=True):
            self.tries[number] = self.tries.get(number, 0) + (number != blamed)
            if number == blamed or self.tries[number] >= TRIES:
                self.done[number] = self.failed(item, reason)
                self.tries.pop(number)
            else:
                self.retry.appendleft((number, item))

    def past_deadlines(self, timeout: float, late: str) -> float:
        """Kills the workers whose begun item is past the limit; the seconds
        until the next deadline (0: one has just passed)."""
        wait = timeout
        now = time.monotonic()
        for worker in list(self.workers):
            number, since = worker.begun()
            if not worker.held or number is None:
                continue  # nothing begun: its deadline is at least a whole limit away
            if now - since >= timeout:
                worker.stop(kill=True)
                self.lost(worker, late, number)
                wait = 0.0
            else:
                wait = min(wait, since + timeout - now)
        return wait

    def waited_on(self) -> List[Any]:
        return [worker.connection for worker in self.workers] + [worker.process.sentinel for worker in self.workers]

    def wait(self, seconds: Optional[float]) -> None:
        """Takes in what comes within seconds."""
        from multiprocessing.connection import wait

        self.take(wait(self.waited_on(), seconds))

    async def wait_async(self, seconds: Optional[float]) -> None:
        """wait() in the running event loop, which goes on meanwhile."""
        import asyncio
        from multiprocessing.connection import wait

        loop = asyncio.get_event_loop()
        ready = loop.create_future()
        waited = self.waited_on()
        handles = [item if isinstance(item, int) else item.fileno() for item in waited]
        for handle in handles:
            loop.add_reader(handle, lambda: None if ready.done() else ready.set_result(None))
        try:
            await asyncio.wait_for(ready, seconds)
        except asyncio.TimeoutError:
            pass
        finally:
            for handle in handles:
                loop.remove_reader(handle)
        self.take(wait(waited, 0))

    def take(self, ready: Sequence[Any]) -> None:
        """Takes in what the ready workers sent, and replaces those that died."""
        for worker in list(self.workers):
            if worker.connection in ready and self.receive(worker) and worker.process.sentinel not in ready:
                continue
            if worker.connection in ready or worker.process.sentinel in ready:
                number, _ = worker.begun()
                worker.process.join(1.0)
                exitcode = worker.process.exitcode
                self.receive(worker)
                worker.stop(kill=True)
                if worker.held:
                    self.lost(worker, describe_end(exitcode), number)
                else:
                    self.replace(worker)
        if self.fresh_after is not None:
            for worker in list(self.workers):
                if not worker.held and worker.given >= self.fresh_after and self.more():
                    # Told to end, and reaped once it has: a wait here would
                    # hold up the caller's event loop (fan_out_async).
                    worker.tell_to_end()
                    self.retiring.append(worker)
                    self.replace(worker)
        for worker in [worker for worker in self.retiring if not worker.process.is_alive()]:
            self.retiring.remove(worker)
            worker.stop(kill=False)

    def more(self) -> bool:
        """Whether any item is left to hand out, taking the next one to know."""
        if self.retry:
            return True
        if not self.exhausted:
            try:
                self.retry.append(next(self.numbered))
                self.taken += 1
                return True
            except StopIteration:
                self.exhausted = True
        return False

    def steps(self, jobs: int, ordered: bool, timeout: float, late: str) -> Iterator[Tuple[bool, Any]]:
        """The fan-out, as (True, (number, result)) for each result and
        (False, seconds) where it must wait for the workers."""
        for _ in range(jobs):
            self.workers.append(self.start())
        done = self.done
        while True:
            self.hand_out()
            if ordered:
                while self.shown in done:
                    yield True, (self.shown, done.pop(self.shown))
                    self.shown += 1
            else:
                while done:
                    yield True, done.popitem(last=False)
                    self.shown += 1
            if self.exhausted and self.shown == self.taken:
                return
            wait = self.past_deadlines(timeout, late) if timeout > 0 else None
            if wait != 0.0:
                yield False, wait

    def stop(self) -> None:
        for worker in self.retiring:
            worker.stop(kill=False)
        for worker in self.workers:
            worker.stop(kill=not self.exhausted or bool(worker.held))
        if self.unfreeze:
            gc.unfreeze()


def fan_out(handle: Callable[[Batch], None], items: Iterable[Any], jobs: int,
            failed: Callable[[Any, str], Any], batch: int, ordered: bool = True, stream: bool = False,
            fresh_after: Optional[int] = None, timeout: float = 0.0, late: str = "",
            before_fork: Optional[Callable[[], None]] = None) -> Generator[Tuple[int, Any], None, None]:
    """(number, result) for each item, numbered from 0, made by handle in
    jobs worker processes, batch items at a time. What files and devices
    need differently:

    - ordered: results in the items' order (files), or as they come (devices);
    - stream: each result sent as it is done (devices: Ctrl-C loses none),
      or a batch's at once (files: fewer messages);
    - fresh_after: items a worker is given before a fresh one takes over
      (devices: what its C heap keeps of connections stays bounded);
    - timeout: seconds an item begun alone may take (0: no limit) before
      its worker is killed and it gets failed(item, late), as an item
      whose worker dies gets failed(item, how the worker ended).

    before_fork runs before each fork (a forked worker flushes its copy of
    an output buffer when it ends). Closing the generator stops the workers.
    """
    fan = _Fan(handle, items, failed, batch, stream, fresh_after, before_fork)
    try:
        for result, value in fan.steps(jobs, ordered, timeout, late):
            if result:
                yield value
            else:
                fan.wait(value)
    finally:
        fan.stop()


async def fan_out_async(handle: Callable[[Batch], None], items: Iterable[Any], jobs: int,
                        failed: Callable[[Any, str], Any], batch: int, ordered: bool = True, stream: bool = False,
                        fresh_after: Optional[int] = None, timeout: float = 0.0, late: str = "",
                        before_fork: Optional[Callable[[], None]] = None) -> AsyncIterator[Tuple[int, Any]]:
    """fan_out in the running event loop, which goes on while it waits."""
    fan = _Fan(handle, items, failed, batch, stream, fresh_after, before_fork)
    try:
        for result, value in fan.steps(jobs, ordered, timeout, late):
            if result:
                yield value
            else:
                await fan.wait_async(value)
    finally:
        fan.stop()
