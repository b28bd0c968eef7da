"""The live mode: ask each device over SSH and answer what it printed
exactly as a file's text, in the same formats and with the same statuses.

The devices are shared among worker processes (--jobs), each one event
loop asking up to its share of --concurrency at once, and each asking a
bounded number of devices before a fresh process takes over; answers come back
to this process as they finish and are written at once, so that Ctrl-C
loses none. Every target gets one answer: a text, or a failure with its
class and a one-line reason.
"""
import asyncio
import collections
import time
import warnings
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Set, TextIO, Tuple

from . import saving as _saved
from ..live.credentials import CredentialError, load
from .escape import escape
from ..live.hostkeys import HostKeys, default_own_file, default_user_files
from .progress import Progress, is_terminal
from .output import Writer
from .report import ERROR, report
from ..live.session import DEFAULT_PAGING_OFF, MAX_OUTPUT, Credentials, Failure, Settings, capture, describe
from ..live.targets import Target, TargetError, collect
from .answers import Options, Outcome, Task, answer, default_jobs

TIMEOUT = 30.0  # seconds per device when --timeout is not given
CONCURRENCY = 100
FILES_KEPT = 64  # descriptors left for the interpreter, pipes and files
COLLECT_EVERY = 100  # answers between collections in a worker
# Devices one worker process asks before a fresh one takes over (unless its
# concurrency alone is more): what a worker's C heap keeps of the
# connections it has finished stays bounded, however many devices a run asks.
DEVICES_PER_WORKER = 500
# Seconds between handing the C heap's free pages back to the system in a
# worker: handshakes leave them among the allocations that live on, and
# returning them saved 5 MiB with 1,000 connections in flight.
TRIM_EVERY = 0.1
FAILURES = ("dns", "refused", "timeout", "auth", "host-key", "algorithms", "pager", "too-large", "closed")


class Job(NamedTuple):
    """What every worker asks with; handed over by fork, never pickled."""

    options: Options
    settings: Settings
    credentials: Credentials
    hostkeys: HostKeys
    save: Optional[str]
    concurrency: int


# A worker's answer: (target index, failure class or None, outcome).
Answer = Tuple[int, Optional[str], Outcome]


def failed(options: Options, target: Target, kind: str, reason: str, seconds: float) -> Outcome:
    error = "%s: %s" % (kind, reason)
    entry, detection = report(target.shown, None, options.table, options.explain, error)
    output = options.format.with_fields(options.format.entry(entry, detection),
                                        {"via": None, "seconds": round(seconds, 3), "failure": kind})
    return Outcome(ERROR, None, output, ("%s: %s: %s" % (options.prog, escape(target.shown), escape(error)),))


async def ask(job: Job, index: int, target: Target) -> Answer:
    started = time.monotonic()
    user = target.user or job.credentials.user
    try:
        got = await capture((target.host, target.port, user), job.settings, job.credentials, job.hostkeys)
    except Failure as exc:
        outcome = failed(job.options, target, exc.kind, exc.reason, time.monotonic() - started)
        if job.save is not None:
            try:
                _saved.forget(job.save, target)
            except OSError as error:  # the failure is still the answer
                outcome.messages += (not_saved(job.options.prog, "cannot remove the last capture of", target,
                                               error),)
        return index, exc.kind, outcome
    except Exception as exc:  # a fault of ours must not lose the other devices
        return index, "closed", failed(job.options, target, "closed", "failed: %s" % describe(exc),
                                       time.monotonic() - started)
    outcome = answer(job.options, Task(target.shown, None, got.text, None))
    outcome.output = job.options.format.with_fields(
        outcome.output, {"via": got.via, "seconds": round(got.seconds, 3), "failure": None})
    if job.save is not None:
        try:
            _saved.save(job.save, target, user, got.text, job.settings.command, got.via, got.seconds)
        except OSError as exc:
            outcome.messages += (not_saved(job.options.prog, "cannot save", target, exc),)
    return index, None, outcome


def not_saved(prog: str, what: str, target: Target, exc: OSError) -> str:
    return "%s: warning: %s %s: %s" % (prog, what, escape(target.shown), escape(str(exc.strerror or exc)))


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


async def ask_all(job: Job, share: Sequence[Tuple[int, Target]], send: Callable[[Answer], None]) -> None:
    import gc

    trimming = asyncio.ensure_future(trim_heap())
    pending = iter(share)
    done = [0]

    async def one_at_a_time() -> None:
        for index, target in pending:
            send(await ask(job, index, target))
            done[0] += 1
            # A finished connection is a cycle of asyncssh objects holding
            # C heap (buffers, cipher contexts) that waits for a full
            # collection: without this a worker grew 15-20 KiB per device.
            if done[0] % COLLECT_EVERY == 0:
                gc.collect()
    try:
        await asyncio.gather(*(one_at_a_time() for _ in range(min(job.concurrency, len(share)))))
    finally:
        trimming.cancel()


def worker(job: Job, share: Sequence[Tuple[int, Target]], pipe: Any) -> None:
    import signal

    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the main process's to handle
    # cryptography warns when asyncssh uses an old algorithm (with
    # --legacy-algorithms): the user asked for it, and the warning is not theirs.
    warnings.filterwarnings("ignore", module=r"asyncssh(\.|$)")
    try:
        asyncio.run(ask_all(job, share, pipe.send))
        pipe.send(None)  # all answered
    finally:
        pipe.close()


def open_files_allow(wanted: int, stderr: TextIO, prog: str) -> int:
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
        stderr.write("%s: warning: the open-file limit (%d) allows %d connections at once per process,"
                     " not %d\n" % (prog, soft, allowed, wanted))
        return allowed
    return wanted


class LiveProgress(Progress):
    def show(self, done: int, total: int, failures: int) -> None:
        if self.stream is None:
            return
        now = self.clock()
        if now - self.started < 2.0 or now - self.last < 0.5:
            return
        self.last = now
        self.stream.write("\r%d/%d devices, %d failed, %.0f/s " % (done, total, failures,
                                                                   done / (now - self.started)))
        self.stream.flush()
        self.shown = True


def usage(args: Any, stdin: Optional[TextIO]) -> Tuple[List[Target], Credentials, HostKeys]:
    """The targets, credentials and known keys; raises ValueError with the
    user's mistake."""
    targets = collect(args.files, args.inventory or ())
    if args.retry_failed is not None:
        again = _saved.read_failed(args.retry_failed)
        if again is None:
            raise TargetError("--retry-failed %s: no run was saved there (--save DIR keeps one)"
                              % args.retry_failed)
        targets = collect([target.shown for target in targets + again], ())
    credentials = load(args.user, args.identity or (), args.password_env, args.ask_password, stdin)
    hostkeys = HostKeys(default_user_files(), default_own_file(), args.accept_new_host_keys)
    return targets, credentials, hostkeys


def run_live(args: Any, options: Options, stdout: TextIO, stderr: TextIO, stdin: Optional[TextIO]) -> int:
    prog = options.prog
    try:
        targets, credentials, hostkeys = usage(args, stdin)
        save = args.save if args.save is not None else args.retry_failed
        if save is not None:
            _saved.prepare(save)
    except (TargetError, CredentialError, ValueError) as exc:
        stderr.write("%s: error: %s\n" % (prog, escape(str(exc))))
        return 2
    except OSError as exc:
        stderr.write("%s: error: cannot save into %s: %s\n"
                     % (prog, escape(str(exc.filename)), exc.strerror or exc))
        return 2
    if not targets:
        stderr.write("%s: nothing to ask: no targets\n" % prog)
        return 0
    settings = Settings(command=args.command or "show version",
                        timeout=args.timeout if args.timeout is not None else TIMEOUT,
                        max_output=args.max_size or MAX_OUTPUT,
                        paging_off=tuple(args.paging_off) if args.paging_off else DEFAULT_PAGING_OFF,
                        legacy=args.legacy_algorithms)
    concurrency = min(args.concurrency or CONCURRENCY, len(targets))
    jobs = max(1, min(args.jobs or default_jobs(), concurrency))
    per_process = open_files_allow(-(-concurrency // jobs), stderr, prog)
    job = Job(options, settings, credentials, hostkeys, save, per_process)

    output = Writer(options.format, stdout, stderr, options.table is not None)
    import multiprocessing
    from multiprocessing.connection import wait

    context = multiprocessing.get_context("fork")
    import gc

    readers = {}  # type: Dict[Any, Tuple[Any, List[Tuple[int, Target]]]]
    indexed = list(enumerate(targets))
    size = max(per_process, min(DEVICES_PER_WORKER, -(-len(indexed) // jobs)))
    shares = collections.deque(indexed[start:start + size] for start in range(0, len(indexed), size))

    def start_worker() -> None:
        """The next share in a fresh worker, forked from this process."""
        share = shares.popleft()
        # What is loaded so far is shared with the worker: kept out of its
        # collections, its pages are not copied when it collects.
        gc.freeze()
        output.out("", then_flush=True)  # a forked worker flushes its copy of the buffer when it ends
        reader, writer = context.Pipe(duplex=False)
        process = context.Process(target=worker, args=(job, share, writer), daemon=True)
        process.start()
        writer.close()
        readers[reader] = (process, share)

    while shares and len(readers) < jobs:
        start_worker()

    failures = {kind: 0 for kind in FAILURES}
    answered = set()  # type: Set[int]
    ok = set()  # type: Set[int]
    changed = []  # type: List[str]
    progress = LiveProgress(stderr, is_terminal(stdout))

    def take(item: Answer) -> None:
        index, failure, outcome = item
        answered.add(index)
        if failure is None:
            ok.add(index)
        else:
            failures[failure] = failures.get(failure, 0) + 1
            if failure == "host-key" and any("HOST KEY CHANGED" in line for line in outcome.messages):
                changed.append(targets[index].shown)
        output.take(outcome, progress.clear, then_flush=True)  # each answer is out as soon as it is known

    try:
        while readers:
            for ready in wait(list(readers), 0.5):
                pipe = ready  # type: Any  # one of the readers above
                try:
                    item = pipe.recv()
                except EOFError:
                    item = None
                if item is not None:
                    take(item)
                    continue
                process, share = readers.pop(pipe)
                process.join()
                for index, target in share:
                    if index not in answered:  # the worker died: still one answer each
                        take((index, "closed", failed(options, target, "closed", "the process asking it ended"
                                                      " (status %s)" % process.exitcode, 0.0)))
                if shares:
                    start_worker()
            progress.show(output.total, len(targets), output.total - len(ok))
    except KeyboardInterrupt:
        progress.clear()
        stderr.write("%s: interrupted: %d of %d devices answered\n" % (prog, output.total, len(targets)))
        raise
    finally:
        for process, _ in readers.values():
            process.terminate()
        for process, _ in readers.values():
            process.join()
        progress.clear()
        if save is not None:
            _saved.write_failed(save, [target for index, target in indexed if index not in ok])
    if changed:
        # Said again last, where it cannot scroll away among other answers.
        stderr.write("%s: WARNING: THE HOST KEY CHANGED for %d device(s): %s. Someone may be intercepting"
                     " the connections; nothing was recorded or overwritten.\n"
                     % (prog, len(changed), ", ".join(map(escape, changed[:5])) + (", ..." if changed[5:] else "")))
    return output.finish(args.summary, {kind: count for kind, count in failures.items() if count})
