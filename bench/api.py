#!/usr/bin/env python3
"""Asking devices from Python against the command, on emulated devices.

    python3 bench/api.py --python .venvs/h313/bin/python --python .venvs/h37/bin/python
    python3 bench/api.py --python .venvs/h313/bin/python --only ticker --rounds 5

Each interpreter needs the package installed with its ssh and nornir extras
(and nornir_utils); PYTHONPATH is cleared for them, so the installed copy
is what runs. The devices are bench/live.py's: emulator processes of the
first interpreter on 127.0.0.1, HOME a temporary folder with an ed25519 key
and a known_hosts naming every device. Every run is a process of its own
(bench/api_runs.py), and the compared runs are interleaved, round by
round, each interpreter in turn, the order within a round swapped every round:

- rate: the command (``--json --jobs 2 --inventory FILE``, output to a
  file) and ``ask_many(targets, jobs=2)``, both timed from the start of the
  process to its end; the call alone is timed inside the process too.
- nornir: with devices that wait 0.5 s before they answer,
  ``nr.run(task=detect_platform)`` in Nornir's threaded runner (20 threads)
  and ``fill_platforms(nr)``, with its defaults and with --fill-concurrency;
  the call alone is timed (InitNornir and the YAML inventory are not).
- ticker: ``ask_many_async`` with jobs=2, jobs=1 and jobs left to the
  default, beside a task sleeping 10 ms again and again in the same loop;
  its lateness (waking later than asked) is noted at every wake-up. The
  control: the ticker alone in a process of its own while ask_many asks
  in another. Once per interpreter, the default where the loop's executor
  has started a thread (as a program's resolver call would), jobs=1 with
  concurrency=10, and each engine with every pass of the loop timed
  (bench/api_loop.py).

Each run's CPU seconds (its process and workers) and the emulator's are
noted beside its clock time: a run bound by the two cores shows as such.

Not part of the test suite; not run by CI. Nothing listens beyond loopback.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import time

from live import Fleet, version

HERE = os.path.dirname(os.path.abspath(__file__))
RUNS = os.path.join(HERE, "api_runs.py")


def client_env(fleet):
    """The fleet's HOME, with the interpreter's installed package (not python/)."""
    env = dict(fleet.env)
    env.pop("PYTHONPATH", None)
    return env


def cpu_seconds(pids):
    """User and system CPU seconds the processes have used so far (Linux)."""
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as stream:
                fields = stream.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return total / os.sysconf("SC_CLK_TCK")


def child(python, fleet, argv, out=None, profile=None):
    """(seconds from the process's start to its end, what it printed last as JSON, with the CPU seconds of
    the process and its workers and of the emulator, or None)."""
    env = client_env(fleet)
    if profile:
        env["PROFILE"] = profile
    load = os.getloadavg()[0]
    emulator = cpu_seconds(server.pid for server in fleet.servers)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    proc = subprocess.run([python, "-W", "ignore"] + argv, stdout=out or subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env, cwd=fleet.folder)
    seconds = time.perf_counter() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    costs = {"cpu": after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime, "load": load,
             "emulator_cpu": cpu_seconds(server.pid for server in fleet.servers) - emulator}
    errors = proc.stderr.decode(errors="replace").strip()
    if proc.returncode or (errors and out is None):
        print("  exit %d: %s" % (proc.returncode, errors.splitlines()[-1][:300] if errors else ""), flush=True)
    if out is not None:
        return seconds, costs
    lines = proc.stdout.decode().strip().splitlines()
    return seconds, dict(json.loads(lines[-1]), **costs) if lines and not proc.returncode else None


def command(python, fleet):
    path = os.path.join(fleet.folder, "out")
    with open(path, "wb") as stream:
        seconds, costs = child(python, fleet, ["-m", "talvern.platformdetails", "--json", "--jobs", "2", "--inventory",
                                           fleet.inventory], out=stream)
    with open(path) as stream:
        lines = stream.read().splitlines()
    return seconds, dict(costs, answers=len(lines), recognised=sum(1 for line in lines if '"model": "' in line))


def hosts_yaml(fleet):
    """Nornir's SimpleInventory of the fleet, a host per device."""
    path = os.path.join(fleet.folder, "hosts.yaml")
    with open(fleet.inventory) as stream:
        ports = [int(line.rsplit(":", 1)[1]) for line in stream if line.strip()]
    with open(path, "w") as stream:
        for number, port in enumerate(ports):
            stream.write("dev-%04d:\n  hostname: 127.0.0.1\n  port: %d\n  username: admin\n" % (number, port))
    return path


def paired(rounds, pythons, runs):
    """{(python, name): [results]}, runs interleaved: each round, each python, the runs in turn (swapped every round)."""
    results = {}
    for number in range(rounds):
        for python, shown in pythons:
            for name, run in (runs if number % 2 == 0 else runs[::-1]):
                outcome = run(python)
                results.setdefault((shown, name), []).append(outcome)
                print("  round %d, %s, %s: %s" % (number + 1, shown, name, json.dumps(outcome, sort_keys=True)),
                      flush=True)
    return results


def median(values):
    values = sorted(values)
    return values[len(values) // 2] if values else float("nan")


def spread(values, form="%.2f"):
    """best; the range; each in turn."""
    return "%s; %s to %s" % (form % min(values), form % min(values), form % max(values))


def rate(fleet, pythons, rounds):
    def run_command(python):
        seconds, said = command(python, fleet)
        return dict(said, outer=seconds)

    def run_api(python):
        seconds, said = child(python, fleet, [RUNS, "ask-many", fleet.inventory, "2"])
        return dict(said or {}, outer=seconds)
    results = paired(rounds, pythons, [("command", run_command), ("ask_many", run_api)])
    print("\n| CPython | run | seconds, process start to end (best; range) | devices/s (best) "
          "| its rate / the command's, each round (median) | the call alone, s (best) "
          "| CPU s, its processes (median) | CPU s, emulator (median) | answered |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---|")
    for _, shown in pythons:
        commands = [item["outer"] for item in results[(shown, "command")]]
        for name in ("command", "ask_many"):
            found = results[(shown, name)]
            outer = [item["outer"] for item in found]
            inner = [item["seconds"] for item in found if "seconds" in item]
            ratios = [one / other for one, other in zip(commands, outer)]
            print("| %s | %s | %s | %.0f | %s (%.2f) | %s | %.2f | %.2f | %s |" % (
                shown, name, spread(outer), fleet.count / min(outer), ", ".join("%.2f" % ratio for ratio in ratios),
                median(ratios), "%.2f" % min(inner) if inner else "",
                median(item.get("cpu", 0) for item in found), median(item.get("emulator_cpu", 0) for item in found),
                "all recognised" if all(item.get("recognised") == fleet.count for item in found) else "NOT ALL"))


def nornir(fleet, pythons, rounds, fill_concurrency):
    path = hosts_yaml(fleet)
    runs = [("nr.run", lambda python: child(python, fleet, [RUNS, "nornir-run", path])[1] or {}),
            ("fill_platforms", lambda python: child(python, fleet, [RUNS, "nornir-fill", path])[1] or {})]
    if fill_concurrency:
        runs.append(("fill_platforms, concurrency=%d" % fill_concurrency, lambda python: child(
            python, fleet, [RUNS, "nornir-fill", path, str(fill_concurrency)])[1] or {}))
    results = paired(rounds, pythons, runs)
    print("\n| CPython | call | seconds (best; range) | hosts/s (best) | nr.run / this, best to best (each round) "
          "| a device's seconds, median (90th pct) | CPU s, its processes (median) | CPU s, emulator (median) "
          "| hosts answered, platform set |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---|")
    for _, shown in pythons:
        threaded = [item.get("seconds", float("nan")) for item in results[(shown, "nr.run")]]
        for name, _ in runs:
            found = results[(shown, name)]
            times = [item.get("seconds", float("nan")) for item in found]
            print("| %s | %s | %s | %.0f | %.1f (%s) | %.2f (%.2f) | %.1f | %.1f | %s |" % (
                shown, name, spread(times), fleet.count / min(times), min(threaded) / min(times),
                ", ".join("%.1f" % (one / other) for one, other in zip(threaded, times)),
                median(item.get("device_median", 0) for item in found), median(item.get("device_p90", 0)
                                                                              for item in found),
                median(item.get("cpu", 0) for item in found), median(item.get("emulator_cpu", 0) for item in found),
                "all" if all((item.get("answers"), item.get("platforms")) == (fleet.count, fleet.count)
                             for item in found) else "NOT ALL"))


def late_where(found):
    """When the wake-ups over 100 ms came: at the start (no answer yet), or after how many answers."""
    said = ["%s ms at %s" % (late, "the start" if answers == 0 else "%d answers" % answers)
            for item in found for at, answers, late in item.get("late_at", []) if late > 100]
    return "; ".join(said[:6]) + (" and %d more" % (len(said) - 6) if len(said) > 6 else "") or "none"


def beside(python, fleet):
    """The ticker alone in a process of its own while ask_many (jobs=2) runs in another: what the
    machine's scheduling alone makes of its wake-ups."""
    proc = subprocess.Popen([python, "-W", "ignore", RUNS, "alone"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            env=client_env(fleet), cwd=fleet.folder)
    try:
        proc.stdout.readline()  # ready
        _, asked = child(python, fleet, [RUNS, "ask-many", fleet.inventory, "2"])
    finally:
        proc.stdin.close()
        said = proc.stdout.read().decode().strip().splitlines()
        proc.wait()
    return dict(json.loads(said[-1]), engine="none (beside ask_many)",
                recognised=(asked or {}).get("recognised"), seconds=(asked or {}).get("seconds", 0.0))


def ticker(fleet, pythons, rounds):
    def run(kind, jobs, *extra):
        return lambda python: child(python, fleet, [RUNS, kind, fleet.inventory, jobs] + list(extra))[1] or {}
    runs = [("jobs=2", run("ticker", "2")), ("jobs=1", run("ticker", "1")), ("default", run("ticker", "default")),
            ("alone, beside ask_many(jobs=2)", lambda python: beside(python, fleet))]
    results = paired(rounds, pythons, runs)
    once = [("default, a thread running", run("ticker", "default", "thread")),
            ("jobs=1, concurrency=10", run("ticker", "1", "concurrency=10"))]
    for name, each in once:
        for python, shown in pythons:
            results[(shown, name)] = [each(python)]
            print("  %s, %s: %s" % (shown, name, json.dumps(results[(shown, name)][0], sort_keys=True)), flush=True)
    print("\n| CPython | jobs | engine | worst late, ms (each round) | 99th percentile, ms (each round) "
          "| median, ms | wake-ups over 100 ms (of all) | seconds | recognised | over 100 ms, when |")
    print("|---|---|---|---:|---:|---:|---:|---:|---|---|")
    for _, shown in pythons:
        for name in [name for name, _ in runs + once]:
            found = [item for item in results[(shown, name)] if item]
            print("| %s | %s | %s | %s | %s | %.2f | %d (%d) | %s | %s | %s |" % (
                shown, name, "/".join(sorted(set(item["engine"] for item in found))),
                ", ".join("%.1f" % (item["worst"] * 1e3) for item in found),
                ", ".join("%.1f" % (item["p99"] * 1e3) for item in found),
                median(item["median"] * 1e3 for item in found), sum(item["over_100ms"] for item in found),
                sum(item["ticks"] for item in found), ", ".join("%.2f" % item["seconds"] for item in found),
                "all" if all(item["recognised"] == fleet.count for item in found) else "NOT ALL", late_where(found)))
    print("\nEvery pass of the event loop timed, once per interpreter and engine:")
    for python, shown in pythons:
        for jobs in ("1", "2"):
            said = run("loop", jobs)(python)
            print("  %s, jobs=%s: %.2f s, worst %.1f ms, p99 %.1f ms; %s" % (
                shown, jobs, said.get("seconds", 0), said.get("worst", 0) * 1e3, said.get("p99", 0) * 1e3,
                json.dumps(said.get("passes"), sort_keys=True)), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", action="append", help="an interpreter (repeatable; default: this one)")
    parser.add_argument("--devices", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--servers", type=int, default=2, help="emulator processes")
    parser.add_argument("--fill-concurrency", type=int, default=1000, help="a second fill_platforms (0: none)")
    parser.add_argument("--only", choices=("rate", "nornir", "ticker"), action="append")
    args = parser.parse_args()
    pythons = [os.path.abspath(python) if os.sep in python else python for python in args.python or [sys.executable]]
    pythons = [(python, "CPython " + version(python)) for python in pythons]
    only = args.only or ["rate", "nornir", "ticker"]
    started = time.perf_counter()
    if "rate" in only or "ticker" in only:
        fleet = Fleet(pythons[0][0], args.devices, 0.0, args.servers)
        try:
            if "rate" in only:
                rate(fleet, pythons, args.rounds)
            if "ticker" in only:
                ticker(fleet, pythons, args.rounds)
        finally:
            fleet.close()
    if "nornir" in only:
        fleet = Fleet(pythons[0][0], args.devices, 0.5, args.servers)
        try:
            nornir(fleet, pythons, args.rounds, args.fill_concurrency)
        finally:
            fleet.close()
    print("\n%.0f s in all; load average now %s" % (time.perf_counter() - started,
                                                    " ".join("%.2f" % load for load in os.getloadavg())))


if __name__ == "__main__":
    main()
