#!/usr/bin/env python3
"""How fast the command answers a fleet's saved version texts.

    python3 bench/fleet.py                        # 5,000 and 100,000 captures
    python3 bench/fleet.py --counts 20000 --jobs 1 2
    python3 bench/fleet.py --python .venvs/py3.7/bin/python

Writes the captures (every example text, with its host name and serial
numbers varied, so no two files are the same) into nested folders in a
temporary directory, site-NN/rack-NN/device-NNNNNN.txt, then times
`python -m talvern.platformdetails --json FOLDER` over them, output to a
file, for each --jobs value; best of --repeat runs, with the CPU time that
run took in all its processes. Peak memory is the largest resident set of
any process of any run (the command or a worker).
By default the interpreter is the one running this script, which must have
the package installed; --python names another. Not part of the test suite.
"""
import argparse
import glob
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PER_RACK = 40
RACKS_PER_SITE = 25


def templates():
    texts = []
    for path in sorted(glob.glob(os.path.join(ROOT, "examples", "*.txt"))):
        with open(path) as f:
            texts.append(f.read())
    return texts


def write_fleet(top, count):
    texts = templates()
    for i in range(count):
        rack, site = i // PER_RACK, i // (PER_RACK * RACKS_PER_SITE)
        folder = os.path.join(top, "site-%02d" % site, "rack-%02d" % (rack % RACKS_PER_SITE))
        if i % PER_RACK == 0:
            os.makedirs(folder, exist_ok=True)
        text = texts[i % len(texts)]
        # Vary what differs between devices of one model: names and serials.
        text = re.sub(r"\b([a-z]+-[a-z]+-\d+)\b", r"\1-%d" % i, text, count=1)
        text = re.sub(r"(Serial number: [A-Z]+)\d+", r"\g<1>%07d" % i, text)
        with open(os.path.join(folder, "device-%06d.txt" % i), "w") as f:
            f.write(text)


def measure(python, top, jobs, out):
    """(seconds, CPU seconds, peak KiB, exit status) of one run, in a child
    that reports what its descendants used: CPU time summed, and the largest
    resident set of any one of them."""
    code = (
        "import resource, subprocess, sys, time\n"
        "t = time.perf_counter()\n"
        "with open(sys.argv[1], 'wb') as out:\n"
        "    rc = subprocess.call(sys.argv[2:], stdout=out)\n"
        "t = time.perf_counter() - t\n"
        "use = resource.getrusage(resource.RUSAGE_CHILDREN)\n"
        "print(t, use.ru_utime + use.ru_stime, use.ru_maxrss, rc)\n"
    )
    command = [python, "-m", "talvern.platformdetails", "--json", "--jobs", str(jobs), top]
    result = subprocess.run([sys.executable, "-c", code, out] + command, stdout=subprocess.PIPE, check=True)
    seconds, cpu, peak, status = result.stdout.split()
    return float(seconds), float(cpu), int(peak), int(status)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", default=sys.executable, help="interpreter with the package installed")
    parser.add_argument("--counts", type=int, nargs="+", default=[5000, 100000])
    parser.add_argument("--jobs", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    version = subprocess.run([args.python, "-c", "import sys; print('%d.%d.%d' % sys.version_info[:3])"],
                             stdout=subprocess.PIPE, check=True).stdout.decode().strip()
    print("| captures | --jobs | CPython | seconds | captures/s | CPU seconds | peak memory |")
    print("|---:|---:|---|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as tmp:
        for count in args.counts:
            top = os.path.join(tmp, "fleet-%d" % count)
            write_fleet(top, count)
            for jobs in args.jobs:
                runs = [measure(args.python, top, jobs, os.path.join(tmp, "out.jsonl")) for _ in range(args.repeat)]
                best = min(runs)
                peak = max(run[2] for run in runs)
                if any(run[3] not in (0, 1) for run in runs):
                    sys.exit("fleet: the command failed (status %s)" % [run[3] for run in runs])
                with open(os.path.join(tmp, "out.jsonl"), "rb") as f:
                    lines = sum(1 for _ in f)
                if lines != count:
                    sys.exit("fleet: %d lines of output for %d captures" % (lines, count))
                print("| %d | %d | %s | %.3f | %.0f | %.2f | %.1f MiB |"
                      % (count, jobs, version, best[0], count / best[0], best[1], peak / 1024), flush=True)
            os.rename(top, top + ".done")  # keep the temp dir's size to one fleet at a time
            subprocess.run(["rm", "-rf", top + ".done"], check=True)


if __name__ == "__main__":
    main()
