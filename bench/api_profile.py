#!/usr/bin/env python3
"""Where the time of bench/api.py's runs goes: cProfile of each, on the same
emulated devices.

    python3 bench/api_profile.py --python .venvs/h313/bin/python --python .venvs/h37/bin/python

- ask_many_async in the loop (jobs=1), beside the ticker: the whole process;
- ask_many_async with workers (jobs=2): the main process, whose loop the
  ticker shares (the start: settings, forks; then taking in replies);
- fill_platforms (its defaults) with devices that take 0.5 s: each worker's
  batches, added together.

Each profile is listed by the time spent in each function itself, its
share of the profile's total, and the calls, with the named functions' time
including what they call. Profiling slows the runs down (about twice):
read the shares, not the seconds.
"""
import argparse
import glob
import os
import pstats
import tempfile

from api import RUNS, child, hosts_yaml
from live import Fleet, version

# Functions whose time with what they call is shown too, by file and name.
NAMED = (("settings.py", "__init__"), ("_fanout.py", "start"), ("_fanout.py", "receive"), ("answer.py", "answer_of"),
         ("_detect.py", "detect"), ("fleet.py", "one_at_a_time"), ("session.py", "ask"),
         ("~", "<built-in method gc.collect>"), ("~", "<built-in method gc.freeze>"),
         ("~", "<built-in method posix.fork>"), ("_worker.py", "stop"), ("_fanout.py", "replace"))
# Waiting, not working: left out of the total the shares are of.
WAITING = ("<method 'poll' of 'select.epoll' objects>", "<method 'poll' of 'select.poll' objects>",
           "<method 'acquire' of '_thread.lock' objects>", "<method 'select' of 'select.epoll' objects>")


def listing(paths, count):
    """The top count functions by their own time, and the named ones with what they call."""
    rows = pstats.Stats(*paths).stats
    waiting = sum(row[2] for key, row in rows.items() if key[2] in WAITING)
    total = sum(row[2] for key, row in rows.items() if key[2] not in WAITING)
    lines = ["  %.2f s of work (%.2f s more waiting in poll) in %d functions" % (total, waiting, len(rows))]
    working = [item for item in rows.items() if item[0][2] not in WAITING]
    for (path, line, name), (_, calls, own, _, _) in sorted(working, key=lambda item: -item[1][2])[:count]:
        lines.append("  %6.3f s %5.1f%% %8d  %s (%s:%d)" % (own, 100 * own / total, calls, name,
                                                          os.path.basename(path), line))
    for (path, line, name), (_, calls, _, cumulative, _) in sorted(working, key=lambda item: -item[1][3]):
        if (os.path.basename(path), name) in NAMED:
            lines.append("  with what it calls: %6.3f s %5.1f%% %8d  %s (%s:%d)" % (
                cumulative, 100 * cumulative / total, calls, name, os.path.basename(path), line))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", action="append")
    parser.add_argument("--devices", type=int, default=1000)
    parser.add_argument("--top", type=int, default=18)
    args = parser.parse_args()
    pythons = [os.path.abspath(python) for python in args.python]
    folder = tempfile.mkdtemp(prefix="api-profile-")
    fleet = Fleet(pythons[0], args.devices, 0.0, 2)
    try:
        for python in pythons:
            shown = "CPython " + version(python)
            for jobs in ("1", "2"):
                path = os.path.join(folder, "ticker-%s-%s" % (shown.split()[1], jobs))
                _, said = child(python, fleet, [RUNS, "ticker", fleet.inventory, jobs], profile=path)
                print("%s, ask_many_async, jobs=%s: %.2f s, worst late %.1f ms, %s" % (
                    shown, jobs, said["seconds"], said["worst"] * 1e3, said["engine"]), flush=True)
                print(listing([path], args.top), flush=True)
    finally:
        fleet.close()
    fleet = Fleet(pythons[0], args.devices, 0.5, 2)
    try:
        hosts = hosts_yaml(fleet)
        for python in pythons:
            shown = "CPython " + version(python)
            prefix = os.path.join(folder, "fill-%s" % shown.split()[1])
            fleet.env["PROFILE_WORKERS"] = prefix  # each child's environment is a copy of the fleet's
            try:
                _, said = child(python, fleet, [RUNS, "nornir-fill", hosts])
            finally:
                fleet.env.pop("PROFILE_WORKERS")
            paths = glob.glob(prefix + ".*")
            print("%s, fill_platforms: %.2f s, a device's median %.2f s; %d workers profiled" % (
                shown, said["seconds"], said["device_median"], len(paths)), flush=True)
            print(listing(paths, args.top), flush=True)
    finally:
        fleet.close()
    print("The profiles are kept in %s (pstats files)." % folder)


if __name__ == "__main__":
    main()
