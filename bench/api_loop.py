"""Where an event loop's long passes go, for bench/api_runs.py's loop run:
every pass timed (the callbacks it ran, their time together, the slowest by
the clock and by this thread's CPU time, which a process waiting for a core
does not add to), the waits in epoll that ended well after their timeout,
the full collections timed, and the stack of a callback
that has run for over STUCK sampled every SAMPLE seconds (a SIGALRM timer:
a thread would keep the live mode from forking its workers)."""
import asyncio
import asyncio.base_events
import asyncio.events
import collections
import gc
import os
import selectors
import signal
import time
import traceback

LONG = 0.05  # a pass this long is listed
STUCK = 0.03
SAMPLE = 0.01
FRAMES = 6  # innermost frames of a sampled stack


def name_of(handle):
    """What a callback of the loop runs: a task's coroutine, or the function."""
    callback = handle._callback
    owner = getattr(callback, "__self__", None)
    if isinstance(owner, asyncio.Task):
        coro = owner.get_coro() if hasattr(owner, "get_coro") else owner._coro
        return "task " + getattr(coro, "__qualname__", type(coro).__name__)
    return getattr(callback, "__qualname__", type(callback).__name__)


def timing(run_it):
    """run_it()'s JSON-able result, with "passes": what the loop's passes took."""
    passes, current, collections_ms, began, overslept = [], [0.0, 0, 0.0, 0.0, ""], [], [0.0, time.perf_counter()], []
    stuck = collections.Counter()
    run, once = asyncio.events.Handle._run, asyncio.base_events.BaseEventLoop._run_once
    select = selectors.EpollSelector.select

    def waited(selector, timeout=None):
        """select(), noting where it returned well after its timeout: the
        process was woken, or given a core, late."""
        since = time.perf_counter()
        try:
            return select(selector, timeout)
        finally:
            over = time.perf_counter() - since - (timeout or 0.0)
            if timeout is not None and over > STUCK:
                overslept.append((round(since - began[1], 3), round(timeout * 1e3, 1), round(over * 1e3, 1)))

    def timed(handle):
        began[0], cpu = time.perf_counter(), time.thread_time()
        try:
            run(handle)
        finally:
            took, began[0] = time.perf_counter() - began[0], 0.0
        current[0] += took
        current[1] += 1
        if took > current[2]:
            current[2:] = [took, time.thread_time() - cpu, name_of(handle) if took > 0.005 else ""]

    def one_pass(loop):
        current[:] = [0.0, 0, 0.0, 0.0, ""]
        once(loop)
        passes.append(tuple(current))

    def collecting(phase, info, since=[0.0]):
        if info["generation"] == 2:
            if phase == "start":
                since[0] = time.perf_counter()
            else:
                collections_ms.append(round((time.perf_counter() - since[0]) * 1e3, 1))

    def sample(signum, frame):
        if began[0] and time.perf_counter() - began[0] > STUCK:
            frames = traceback.extract_stack(frame)[-FRAMES:]
            stuck[" < ".join("%s:%d %s" % (os.path.basename(item.filename), item.lineno, item.name)
                             for item in reversed(frames))] += 1
    asyncio.events.Handle._run, asyncio.base_events.BaseEventLoop._run_once = timed, one_pass
    selectors.EpollSelector.select = waited
    gc.callbacks.append(collecting)
    signal.signal(signal.SIGALRM, sample)
    signal.setitimer(signal.ITIMER_REAL, SAMPLE, SAMPLE)
    try:
        said = run_it()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        asyncio.events.Handle._run, asyncio.base_events.BaseEventLoop._run_once = run, once
        selectors.EpollSelector.select = select
    long = [item for item in passes if item[0] > LONG]
    slowest = {}
    for item in passes:
        if item[2] > 0.005:
            slowest[item[4]] = max(slowest.get(item[4], (0.0, 0.0)), (round(item[2] * 1e3, 1), round(item[3] * 1e3, 1)))
    said["passes"] = {
        "count": len(passes), "busy": round(sum(item[0] for item in passes), 2), "over_50ms": len(long),
        "over_100ms": sum(1 for item in long if item[0] > 0.1),
        "callbacks_in_long": sorted(item[1] for item in long),
        "slowest_in_long_ms": sorted((round(item[2] * 1e3, 1), round(item[3] * 1e3, 1)) for item in long),
        "slowest_callbacks_ms": sorted(((value, name) for name, value in slowest.items()), reverse=True)[:8],
        "full_collections_ms": collections_ms,
        "stuck_samples": stuck.most_common(8),
        "overslept": overslept[:20]}  # (seconds since the process began timing, the timeout, ms past it)
    return said
