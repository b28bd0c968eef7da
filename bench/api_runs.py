#!/usr/bin/env python3
"""The runs bench/api.py times, each in a process of its own, as a user's
program would make them: one JSON object on the last line of stdout.

    api_runs.py ask-many INVENTORY JOBS         # ask_many over the inventory's targets
    api_runs.py ticker INVENTORY JOBS|default   # ask_many_async beside a 10 ms ticker
    api_runs.py nornir-run HOSTS_YAML           # nr.run(task=detect_platform), 20 threads
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


def profiled(call):
    """call(), under cProfile where PROFILE names a file."""
    import os

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


async def ticking(lates, running):
    """Sleeps TICK again and again, noting how late each wake-up was."""
    while running:
        before = time.perf_counter()
        await asyncio.sleep(TICK)
        lates.append(time.perf_counter() - before - TICK)


async def ticker_main(inventory, jobs, thread):
    import multiprocessing

    from talvern.platformdetails.live import ask_many_async

    found = targets(inventory)
    if thread:  # as a program that has used the loop's executor (a resolver call) would be
        await asyncio.get_event_loop().run_in_executor(None, time.sleep, 0)
    lates, running, workers = [], [True], [0]
    tick = asyncio.ensure_future(ticking(lates, running))
    await asyncio.sleep(0.05)  # the ticker's first wake-ups, before the asking
    lates.clear()
    options = {} if jobs == "default" else {"jobs": int(jobs)}
    answers = []
    started = time.perf_counter()
    async for answer in ask_many_async(found, **options):  # the settings are made here, in the loop
        answers.append(answer)
        workers[0] = max(workers[0], len(multiprocessing.active_children()))
    seconds = time.perf_counter() - started
    running.clear()
    await tick
    lates.sort()
    return {"seconds": seconds, "answers": len(answers), "recognised": sum(1 for a in answers if a.model),
            "ticks": len(lates), "worst": lates[-1], "p99": lates[int(0.99 * (len(lates) - 1))],
            "median": lates[len(lates) // 2], "over_100ms": sum(1 for late in lates if late > 0.1),
            "engine": "processes" if workers[0] else "in-loop", "workers": workers[0]}


def ticker_run(inventory, jobs, thread=""):
    return profiled(lambda: asyncio.run(ticker_main(inventory, jobs, bool(thread))))


def nornir(hosts_yaml):
    from nornir import InitNornir

    folder = hosts_yaml.rsplit("/", 1)[0]
    return InitNornir(runner={"plugin": "threaded", "options": {"num_workers": 20}},  # Nornir's default
                      inventory={"plugin": "SimpleInventory",
                                 "options": {"host_file": hosts_yaml, "group_file": folder + "/no-groups.yaml",
                                             "defaults_file": folder + "/no-defaults.yaml"}},
                      logging={"enabled": False})


def nornir_result(nr, result, seconds):
    hosts = nr.inventory.hosts.values()
    return {"seconds": seconds, "answers": len(result), "failed": len(result.failed_hosts),
            "platforms": sum(1 for host in hosts if host.platform)}


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


RUNS = {"ask-many": ask_many_run, "ticker": ticker_run, "nornir-run": nornir_run, "nornir-fill": nornir_fill}

if __name__ == "__main__":
    print(json.dumps(RUNS[sys.argv[1]](*sys.argv[2:])))
