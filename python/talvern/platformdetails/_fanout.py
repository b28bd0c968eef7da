"""Worker processes for a fleet: every input gets one answer or one error,
whatever happens to a worker, and none is answered for longer than the
time limit.

Each worker has its own Pipe and holds at most one batch of inputs; the
main process waits on the pipes and the processes' sentinels, so a worker
that dies leaves no lock behind. A worker notes in shared memory which
input it is answering and since when: the main process kills a worker that
is past the limit, and knows which input a dead worker was answering. That
input is reported as an error; the others the worker held are given to its
replacement. Imported only when workers start: multiprocessing costs a
small run more than its answers.
"""
from __future__ import annotations

import collections
import multiprocessing
import multiprocessing.connection
import multiprocessing.sharedctypes
import signal
import time

TYPE_CHECKING = False  # as in _cli: typing stays unimported
if TYPE_CHECKING:
    from multiprocessing.connection import Connection
    from typing import Any, Callable, Deque, Dict, Generator, Iterator, List, Optional, Sequence, Tuple

    from .cli.answers import Outcome, Task

    Batch = List[Tuple[int, Task]]

CHUNK = 256  # inputs handed to a worker at a time
AHEAD = 4  # batches per worker that may be answered ahead of the output
TRIES = 3  # a worker that dies holding an input it was not answering: tries before that input is an error
IDLE = -1.0


def start_worker() -> None:
    # Ctrl-C is the main process's to handle: it stops the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def serve(connection: Connection, function: Callable[[Task], Outcome], progress: Any,
          inherited: Sequence[Connection]) -> None:
    """A worker's life: answer each batch received, send the outcomes back."""
    start_worker()
    for other in inherited:  # forked with the main process's ends of other workers' pipes
        other.close()
    while True:
        try:
            batch = connection.recv()  # type: Optional[Batch]
        except EOFError:
            return
        if batch is None:
            return
        outcomes = []
        for number, task in batch:
            # Written started, number, number: a reader that sees both
            # numbers equal has the started time that goes with them.
            progress[1] = time.monotonic()
            progress[0] = progress[2] = number
            outcomes.append((number, function(task)))
        progress[0] = progress[2] = IDLE
        try:
            connection.send(outcomes)
        except OSError:  # the main process is gone
            return


def describe_end(exitcode: Optional[int]) -> str:
    if exitcode is not None and exitcode < 0:
        try:
            name = signal.Signals(-exitcode).name
        except ValueError:
            name = "signal %d" % -exitcode
        return "not answered: its worker process was killed by %s" % name
    return "not answered: its worker process ended with status %s" % exitcode


class Worker:
    """One worker process, its pipe and what it holds."""

    def __init__(self, context: Any, function: Callable[[Task], Outcome], others: Sequence[Connection]) -> None:
        self.connection, child = context.Pipe()
        self.progress = multiprocessing.sharedctypes.RawArray("d", [IDLE, 0.0, IDLE])
        inherited = list(others) + [self.connection] if context.get_start_method() == "fork" else []
        self.process = context.Process(target=serve, args=(child, function, self.progress, inherited),
                                       daemon=True)
        self.process.start()
        child.close()
        self.held = []  # type: Batch

    def answering(self) -> Tuple[Optional[int], float]:
        """The number of the input being answered and since when, or None."""
        for _ in range(3):
            first, started, last = self.progress[0], self.progress[1], self.progress[2]
            if first == last:
                return (None if first == IDLE else int(first)), started
        return None, 0.0

    def stop(self, kill: bool) -> None:
        if kill:
            self.process.kill()
        else:
            try:
                self.connection.send(None)
            except OSError:
                pass
            self.process.join(1.0)
            if self.process.exitcode is None:
                self.process.kill()
        self.process.join()
        self.connection.close()


def in_workers(function: Callable[[Task], Outcome], failed: Callable[[Task, str], Outcome], jobs: int,
               work: Iterator[Task], timeout: float, late: str,
               before_start: Callable[[], None]) -> Generator[Outcome, None, None]:
    """function over work in jobs worker processes, outcomes in input order.

    An input still being answered after timeout seconds (0: no limit) gets
    failed(task, late) instead, and one whose worker dies while answering
    it failed(task, how the worker ended); the worker is replaced. before_start runs before each worker starts.
    Closing the generator stops the workers.
    """
    methods = multiprocessing.get_all_start_methods()
    # fork shares the loaded module at no cost; elsewhere workers import it.
    context = multiprocessing.get_context("fork" if "fork" in methods else None)
    workers = []  # type: List[Worker]
    retry = collections.deque()  # type: Deque[Tuple[int, Task]]
    tries = {}  # type: Dict[int, int]
    done = {}  # type: Dict[int, Outcome]
    numbered = enumerate(work)
    taken = shown = 0
    exhausted = False

    def start() -> Worker:
        before_start()
        return Worker(context, function, [worker.connection for worker in workers])

    def lost(worker: Worker, reason: str, blamed: Optional[int]) -> None:
        """worker is gone: its input blamed fails, the others go to another."""
        workers[workers.index(worker)] = start()
        for number, task in reversed(worker.held):
            tries[number] = tries.get(number, 0) + (number != blamed)
            if number == blamed or tries[number] >= TRIES:
                done[number] = failed(task, reason)
                tries.pop(number)
            else:
                retry.appendleft((number, task))

    def receive(worker: Worker) -> bool:
        """Takes in what worker sent; False when its pipe has closed."""
        try:
            while worker.connection.poll():
                outcomes = worker.connection.recv()  # type: List[Tuple[int, Outcome]]
                done.update(outcomes)
                worker.held = []
                for number, _ in outcomes:
                    tries.pop(number, None)
        except (EOFError, OSError):
            return False
        return True

    try:
        for _ in range(jobs):
            workers.append(start())
        while True:
            for worker in workers:  # hand out work
                if worker.held:
                    continue
                batch = []  # type: Batch
                while retry and len(batch) < CHUNK:
                    batch.append(retry.popleft())
                while not exhausted and len(batch) < CHUNK and taken - shown < AHEAD * CHUNK * jobs:
                    try:
                        batch.append(next(numbered))
                    except StopIteration:
                        exhausted = True
                    else:
                        taken += 1
                if not batch:
                    continue
                worker.held = batch
                try:
                    worker.connection.send(batch)
                except OSError:
                    pass  # it died: its sentinel says so below
            while shown in done:
                outcome = done.pop(shown)
                shown += 1
                yield outcome
            if exhausted and shown == taken:
                break
            now = time.monotonic()
            wait = None  # type: Optional[float]
            if timeout > 0:
                for worker in list(workers):
                    if not worker.held:
                        continue
                    number, started = worker.answering()
                    if number is None:
                        # Not started yet (or finished): its deadline is
                        # at least a whole limit away.
                        left = timeout
                    elif now - started >= timeout:
                        worker.stop(kill=True)
                        lost(worker, late, number)
                        left = 0.0
                    else:
                        left = started + timeout - now
                    wait = left if wait is None else min(wait, left)
                if wait == 0.0:
                    continue
            ready = multiprocessing.connection.wait(
                [worker.connection for worker in workers] + [worker.process.sentinel for worker in workers],
                wait)
            for worker in list(workers):
                if worker.connection in ready and receive(worker) and worker.process.sentinel not in ready:
                    continue
                if worker.connection in ready or worker.process.sentinel in ready:
                    number, _ = worker.answering()
                    worker.process.join(1.0)
                    exitcode = worker.process.exitcode
                    receive(worker)
                    worker.stop(kill=True)
                    lost(worker, describe_end(exitcode), number)
    finally:
        for worker in workers:
            worker.stop(kill=not exhausted or bool(worker.held))
