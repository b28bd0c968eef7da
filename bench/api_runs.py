#!/usr/bin/env python3
"""The runs bench/api.py times, each in a process of its own, as a user's
program would make them: one JSON object on the last line of stdout.

    api_runs.py ask-many INVENTORY JOBS           # ask_many over the inventory's targets
    api_runs.py ticker INVENTORY JOBS|default [thread] [concurrency=N]
                                                  # ask_many_async beside a 10 ms ticker
    api_runs.py loop INVENTORY JOBS ...           # the same, every pass of the event loop timed
    api_runs.py alone                             # the ticker alone, until stdin closes
    api_runs.py nornir-run HOSTS_YAML             # nr.run(task=detect_platform), 20 threads
    api_runs.py nornir-fill HOSTS_YAML [CONCURRENCY]  # fill_platforms(nr)

HOME (a key, known_hosts) comes from bench/api.py. With PROFILE=FILE in the
environment the timed part runs under cProfile, its statistics written there.
"""
import asyncio
import json
import sys
import time
import warnings

warnings.simplefilter("ignore")  # cryptography's deprecations on 3.7, at import

# Every family the detectors name, so that each recognised host gets a platform.
PLATFORMS = {"kveos": "kveos", "garu": "garu", "vkorin": "vkorin", "prav": "prav", "tolm": "tolm"}
TICK = 0.01
NOTED = 0.05  # late wake-ups noted with when they came


def profiled(call):
    """call(), under cProfile where PROFILE names a file; with
    PROFILE_WORKERS=PREFIX each worker's batch too, in PREFIX.PID."""
    import os

    workers = os.environ.get("PROFILE_WORKERS")
    if workers:
        from talvern.platformdetails.live import fleet

        def batch(self, items, run=fleet.Asker.batch):
            import cProfile

            profile = cProfile.Profile()
            try:
                profile.runcall(run, self, items)
            finally:
                profile.dump_stats("%s.%d" % (workers, os.getpid()))
        fleet.Asker.batch = batch
    path = os.environ.get("PROFILE")
    if not path:
        return call()
    import cProfile

    profile = cProfile.Profile()
    try:
        return profile.runcall(call)
    finally:
        profile.dump_stats(path)


def targets(path):
    with open(path) as stream:
        return [line.strip() for line in stream if line.strip()]


def ask_many_run(inventory, jobs):
    from talvern.platformdetails.live import ask_many

    found = targets(inventory)
    started = time.perf_counter()
    answers = profiled(lambda: list(ask_many(found, jobs=int(jobs))))
    seconds = time.perf_counter() - started
    return {"seconds": seconds, "answers": len(answers), "recognised": sum(1 for a in answers if a.model),
            "failures": sorted(set(a.failure for a in answers if a.failure))}


class Ticker:
    """Sleeps TICK again and again in the loop, noting how late each wake-up
    is, and when (seconds into the asking, answers so far) it passed NOTED."""

    def __init__(self, answers):
        self.answers, self.lates, self.noted = answers, [], []
        self.running, self.started = True, None

    async def run(self):
        while self.running:
            before = time.perf_counter()
            await asyncio.sleep(TICK)
            late = time.perf_counter() - before - TICK
            if self.started is None:
                continue  # the asking has not begun
            self.lates.append(late)
            if late > NOTED:
                self.noted.append((round(before - self.started, 3), len(self.answers), round(late * 1e3, 1)))

    def said(self):
        lates = sorted(self.lates)
        return {"ticks": len(lates), "worst": lates[-1], "p99": lates[int(0.99 * (len(lates) - 1))],
                "median": lates[len(lates) // 2], "over_100ms": sum(1 for late in lates if late > 0.1),
                "late_at": self.noted}


async def ticker_main(inventory, jobs, extra):
    import multiprocessing

    from talvern.platformdetails.live import ask_many_async  # imported before the loop began

    found = targets(inventory)
    if "thread" in extra:  # as a program that has used the loop's executor (a resolver call) would be
        await asyncio.get_event_loop().run_in_executor(None, time.sleep, 0)
    options = {} if jobs == "default" else {"jobs": int(jobs)}
    options.update((word.split("=")[0], int(word.split("=")[1])) for word in extra if "=" in word)
    answers, workers = [], 0
    ticker = Ticker(answers)
    tick = asyncio.ensure_future(ticker.run())
    await asyncio.sleep(0.05)
    ticker.started = started = time.perf_counter()
    asking = ask_many_async(found, **options)  # the settings are made here, in the loop
    call = time.perf_counter() - started
    async for answer in asking:
        answers.append(answer)
        workers = max(workers, len(multiprocessing.active_children()))
    seconds = time.perf_counter() - started
    ticker.running = False
    await tick
    return dict(ticker.said(), seconds=seconds, call_ms=call * 1e3, answers=len(answers), recognised=sum(1 for a in answers if a.model),
                engine="processes" if workers else "in-loop", workers=workers)


def ticker_run(inventory, jobs, *extra):
    import talvern.platformdetails.live  # noqa: F401  (as a program would have it, before its loop)

    return profiled(lambda: asyncio.run(ticker_main(inventory, jobs, extra)))


async def alone_main():
    """The ticker alone in its loop, from "ready" on stdout until stdin closes."""
    loop = asyncio.get_event_loop()
    closed = loop.create_future()
    loop.add_reader(sys.stdin.fileno(), lambda: closed.done() or closed.set_result(None))
    ticker = Ticker([])
    tick = asyncio.ensure_future(ticker.run())
    await asyncio.sleep(0.05)
    ticker.started = started = time.perf_counter()
    print("ready", flush=True)
    await closed
    ticker.running = False
    await tick
    return dict(ticker.said(), seconds=time.perf_counter() - started)


def alone_run():
    return asyncio.run(alone_main())


def nornir(hosts_yaml):
    from nornir import InitNornir

    folder = hosts_yaml.rsplit("/", 1)[0]
    return InitNornir(runner={"plugin": "threaded", "options": {"num_workers": 20}},  # Nornir's default
                      inventory={"plugin": "SimpleInventory",
                                 "options": {"host_file": hosts_yaml, "group_file": folder + "/no-groups.yaml",
                                             "defaults_file": folder + "/no-defaults.yaml"}},
                      logging={"enabled": False})


def nornir_result(nr, result, seconds):
    """The run's seconds and what it found, with each device's own seconds
    (from connecting to its last byte)."""
    hosts = nr.inventory.hosts.values()
    each = sorted(multi[0].result.seconds for multi in result.values())
    return {"seconds": seconds, "answers": len(result), "failed": len(result.failed_hosts),
            "platforms": sum(1 for host in hosts if host.platform), "device_median": each[len(each) // 2],
            "device_p90": each[int(0.9 * (len(each) - 1))]}


def nornir_run(hosts_yaml):
    from talvern.platformdetails.nornir import detect_platform

    nr = nornir(hosts_yaml)
    started = time.perf_counter()
    result = profiled(lambda: nr.run(task=detect_platform, platforms=PLATFORMS))
    return nornir_result(nr, result, time.perf_counter() - started)


def nornir_fill(hosts_yaml, concurrency=""):
    from talvern.platformdetails.nornir import fill_platforms

    nr = nornir(hosts_yaml)
    options = {"concurrency": int(concurrency)} if concurrency else {}
    started = time.perf_counter()
    result = profiled(lambda: fill_platforms(nr, platforms=PLATFORMS, **options))
    return nornir_result(nr, result, time.perf_counter() - started)


def loop_run(inventory, jobs, *extra):
    from api_loop import timing

    return timing(lambda: ticker_run(inventory, jobs, *extra))


RUNS = {"ask-many": ask_many_run, "ticker": ticker_run, "alone": alone_run, "loop": loop_run, "nornir-run": nornir_run,
        "nornir-fill": nornir_fill}

if __name__ == "__main__":
    print(json.dumps(RUNS[sys.argv[1]](*sys.argv[2:])))
