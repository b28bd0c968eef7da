"""One worker process of a fan-out (_fanout): its own side (the batch it
was given, and how it reports on each item, until it is told to stop) and
the main process's hold on it (the process, its pipe, what it holds)."""
from __future__ import annotations

import time

TYPE_CHECKING = False  # typing stays unimported at run time; the type checker takes this as true
if TYPE_CHECKING:
    from multiprocessing.connection import Connection
    from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

    Numbered = List[Tuple[int, Any]]

IDLE = -1.0  # in the shared progress: no item begun
PR_SET_PDEATHSIG = 1  # linux/prctl.h


class Batch:
    """The items a worker got, as (number, item), and how it reports on them.
    A result is sent back at once with stream, else with the batch's end."""

    def __init__(self, items: Numbered, connection: Connection, progress: Any, stream: bool) -> None:
        self.items, self.connection, self.progress, self.stream = items, connection, progress, stream
        self.results = []  # type: List[Tuple[int, Any]]

    def __iter__(self) -> Any:
        return iter(self.items)

    def __len__(self) -> int:
        return len(self.items)

    def begin(self, number: int) -> None:
        """number is worked on alone from now until the next begin or done:
        the time limit counts for it, and it is blamed if the worker dies."""
        # Written since, then the number twice: a reader that sees both
        # numbers equal has the time that goes with them.
        self.progress[1] = time.monotonic()
        self.progress[0] = self.progress[2] = number

    def done(self, number: int, result: Any) -> None:
        self.progress[0] = self.progress[2] = IDLE
        self.results.append((number, result))
        if self.stream:
            self.send(False)

    def send(self, finished: bool) -> None:
        results, self.results = self.results, []
        self.connection.send((results, finished))


def serve(connection: Connection, handle: Callable[[Batch], None], progress: Any, stream: bool,
           inherited: Sequence[Connection]) -> None:
    """A worker's life: handle each batch received, send its results back."""
    import signal

    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the main process's to handle
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)
    try:  # nothing goes on once the command has gone, however it went (SIGKILL too)
        import ctypes

        ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    except (ImportError, OSError, AttributeError):  # not Linux: the pipes' end stops it
        pass
    for other in inherited:  # forked with the main process's ends of other workers' pipes
        other.close()
    while True:
        try:
            items = connection.recv()  # type: Optional[Numbered]
        except EOFError:
            return
        if items is None:
            return
        batch = Batch(items, connection, progress, stream)
        handle(batch)
        try:
            batch.send(True)
        except OSError:  # the main process is gone
            return


def describe_end(exitcode: Optional[int]) -> str:
    import signal

    if exitcode is not None and exitcode < 0:
        try:
            name = signal.Signals(-exitcode).name
        except ValueError:
            name = "signal %d" % -exitcode
        return "not answered: its worker process was killed by %s" % name
    return "not answered: its worker process ended with status %s" % exitcode


class Worker:
    """One worker process, its pipe, and what it holds."""

    def __init__(self, context: Any, handle: Callable[[Batch], None], stream: bool,
                 others: Sequence[Connection]) -> None:
        import multiprocessing.sharedctypes

        self.connection, child = context.Pipe()
        self.progress = multiprocessing.sharedctypes.RawArray("d", [IDLE, 0.0, IDLE])
        self.process = context.Process(target=serve, args=(child, handle, self.progress, stream,
                                                             list(others) + [self.connection]), daemon=True)
        self.process.start()
        child.close()
        self.held = {}  # type: Dict[int, Any]
        self.given = 0

    def begun(self) -> Tuple[Optional[int], float]:
        """The number of the item being worked on alone and since when, or None."""
        for _ in range(3):
            first, since, last = self.progress[0], self.progress[1], self.progress[2]
            if first == last:
                return (None if first == IDLE else int(first)), since
        return None, 0.0

    def tell_to_end(self) -> None:
        try:
            self.connection.send(None)
        except OSError:
            pass

    def stop(self, kill: bool) -> None:
        if kill:
            self.process.kill()
        else:
            self.tell_to_end()
            self.process.join(1.0)
            if self.process.exitcode is None:
                self.process.kill()
        self.process.join()
        self.connection.close()
