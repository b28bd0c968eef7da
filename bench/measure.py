"""The benchmark itself, run by one interpreter that has the module installed.

Normally started by bench/run.py; it can also be run directly, in either mode:

    python bench/measure.py [--rounds N] [--target-ms T] [--json FILE]   # wall clock
    python bench/measure.py --count [--calls N] [--json FILE]           # instructions

Both modes (1) run every case through the extension and through the plain
Python versions (tests/reference.py) with a recording stand-in for ``re``, and
stop unless both give the same result or exception, the same printed lines
and the same calls into ``re`` (including the ``replace`` of a group); (2)
from that record, write the floor of each case: the calls into Python the
case requires, prebound, straight-line. Printed lines go to a cheap sink.

Wall clock: (3) time module, plain and floor, interleaved round by round;
report medians in ns per call, less the cost of an empty timing loop; (4)
measure the cost of importing the module.

Instructions (``--count``, needs valgrind and Cython 3.0): compile a copy of
tests/reference.py with Cython as the module plain_cy, then run this script again
under callgrind, which checks plain_cy too at (1) and runs each loop once
as a warm-up and then between two ``os.getppid()`` calls; callgrind dumps
its counts before each of them (``--dump-before=getppid``). Report
instructions per call of module, plain, cython and floor, less the empty
loop counted the same way. The hash seed is fixed and the collector is off
in the loops, so a second run gives the same counts.
"""
import argparse
import gc
import itertools
import json
import math
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The plain Python statement of the functions lives with the tests, which
# check it against the module.
REFERENCE = os.path.join(os.path.dirname(HERE), "tests", "reference.py")
sys.path[:0] = [HERE, os.path.dirname(REFERENCE)]

import cases as C  # noqa: E402
import reference as plain  # noqa: E402
from talvern.platformdetails import function_def as fd  # noqa: E402
from record import check_all, floor_code  # noqa: E402

# ---- loops ------------------------------------------------------------------------

TEMPLATE = """
def inner(_it{bind}):
    for _i in _it:
{body}
"""


def make_loop(stmt, ns):
    """inner(iterator): runs stmt once per item, the names of ns bound as
    locals beforehand (default arguments), so that the loop pays no lookup."""
    bind = "".join(", %s=_ns[%r]" % (name, name) for name in ns)
    body = "\n".join("        " + line for line in stmt.splitlines())
    scope = {"_ns": ns}
    exec(TEMPLATE.format(bind=bind, body=body), scope)
    return scope["inner"]


def call_stmt(func, args, expected):
    ns = {"f": func}
    names = []
    for i, a in enumerate(args):
        ns["a%d" % i] = a
        names.append("a%d" % i)
    stmt = "f(%s)" % ", ".join(names)
    if expected is not None:
        stmt = "try:\n    %s\nexcept %s:\n    pass" % (stmt, expected.__name__)
        ns[expected.__name__] = expected
    return stmt, ns


def candidate_loops(impls, case, record):
    """{candidate: loop} for one case: each implementation, then the floor."""
    func_name, _, make_args, expected = case
    loops = {name: make_loop(*call_stmt(getattr(impl, func_name), make_args(impl), expected))
             for name, impl in impls.items()}
    loops["floor"] = make_loop(*floor_code(case, record))
    return loops


# ---- wall clock -------------------------------------------------------------------

def make_timer(loop):
    def timer(n):
        it = itertools.repeat(None, n)
        t0 = time.perf_counter()
        loop(it)
        return time.perf_counter() - t0
    return timer


def calibrate(timer, target):
    n = 1
    while True:
        t = timer(n)
        if t >= target / 4:
            return max(1, int(n * target / t))
        n *= 4


def time_cases(impls, records, rounds, target):
    timers = []
    for case, record in zip(C.CASES, records):
        cand = {name: make_timer(loop) for name, loop in candidate_loops(impls, case, record).items()}
        n = calibrate(cand["plain"], target)
        timers.append((cand, n))
    empty = make_timer(make_loop("pass", {}))
    n_empty = calibrate(empty, target)
    samples = [{k: [] for k in cand} for cand, _ in timers]
    loop = []
    rng = random.Random(7)
    for _ in range(rounds):
        loop.append(empty(n_empty) / n_empty)
        for (cand, n), sample in zip(timers, samples):
            order = list(cand)
            rng.shuffle(order)
            for name in order:
                sample[name].append(cand[name](n) / n)
    base = statistics.median(loop)
    results = []
    for case, sample in zip(C.CASES, samples):
        med = {k: (statistics.median(v) - base) * 1e9 for k, v in sample.items()}
        results.append({"function": case[0], "case": case[1], "ns": med})
    return results, base * 1e9


# ---- import cost ------------------------------------------------------------------

IMPORT_PROBE = r"""
import json, os, re, sys, time
import talvern.platformdetails
PAGE = os.sysconf("SC_PAGE_SIZE")
def rss():
    # os-level reads: a Python file object would allocate more than it measures.
    fd = os.open("/proc/self/statm", os.O_RDONLY)
    try:
        return int(os.read(fd, 200).split()[1]) * PAGE
    finally:
        os.close(fd)
rss(); rss()
r0 = rss(); t0 = time.perf_counter()
import talvern.platformdetails.function_def
t1 = time.perf_counter(); r1 = rss()
print(json.dumps({"ms": (t1 - t0) * 1e3, "kib": (r1 - r0) / 1024.0}))
"""


def import_cost(repeats):
    runs = []
    for _ in range(repeats):
        out = subprocess.run([sys.executable, "-c", IMPORT_PROBE], stdout=subprocess.PIPE, check=True)
        runs.append(json.loads(out.stdout.decode()))
    return {"ms": statistics.median(r["ms"] for r in runs), "kib": statistics.median(r["kib"] for r in runs),
            "runs": repeats}


# ---- instruction counts -----------------------------------------------------------

def build_cython(directory):
    """Compiles a copy of tests/reference.py with Cython into `directory`, as the module plain_cy."""
    shutil.copyfile(REFERENCE, os.path.join(directory, "plain_cy.py"))
    out = subprocess.run([sys.executable, "-m", "Cython.Build.Cythonize", "-i", "-3", "-q", "plain_cy.py"],
                         cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if out.returncode != 0:
        sys.stderr.write(out.stdout.decode(errors="replace"))
        sys.exit("Cython could not compile tests/reference.py (pip install 'Cython>=3.0,<3.1' setuptools)")


def count_loops(impls, records, calls):
    """Runs every loop between two calls of os.getppid, before each of which
    callgrind dumps its counts; returns the loops' labels in that order:
    the empty loop first, then (case index, candidate)."""
    loops = [(None, "empty", make_loop("pass", {}))]
    for i, (case, record) in enumerate(zip(C.CASES, records)):
        loops += [(i, name, loop) for name, loop in candidate_loops(impls, case, record).items()]
    getppid = os.getppid
    gc.disable()  # so that no collection falls into one loop and not into another
    try:
        for _, _, loop in loops:
            loop(itertools.repeat(None, calls))  # warm-up: fills re's pattern cache and the module's
            sys.stdout.flush()  # so that candidates printing the same lines also flush the same number of times
            it = itertools.repeat(None, calls)
            getppid()
            loop(it)
            getppid()
    finally:
        gc.enable()
    return [(i, name) for i, name, _ in loops]


def dump_totals(directory):
    """The instruction totals of the dumps made before getppid, in order."""
    parts = []
    for name in os.listdir(directory):
        if name.startswith("callgrind.out."):
            with open(os.path.join(directory, name)) as f:
                text = f.read()
            if "Trigger: --dump-before=getppid" in text:
                part = int(re.search(r"^part: *(\d+)", text, re.M).group(1))
                total = int(re.search(r"^(?:totals|summary): *(\d+)", text, re.M).group(1))
                parts.append((part, total))
    return [total for _, total in sorted(parts)]


def count_instructions(calls, only):
    """Instructions per call of every candidate on every case, and of the empty
    loop, from a run of this script under callgrind."""
    if shutil.which("valgrind") is None:
        sys.exit("the instruction count needs valgrind")
    with tempfile.TemporaryDirectory() as tmp:
        build_cython(tmp)
        cmd = ["valgrind", "-q", "--tool=callgrind", "--dump-before=getppid",
               "--callgrind-out-file=" + os.path.join(tmp, "callgrind.out.%p"),
               sys.executable, os.path.abspath(__file__), "--calls", str(calls), "--in-callgrind", tmp]
        for name in only or ():
            cmd += ["--only", name]
        # A fixed hash seed lays dicts and sets out the same way in every run.
        rc = subprocess.run(cmd, env=dict(os.environ, PYTHONHASHSEED="0")).returncode
        if rc != 0:
            sys.exit(rc)
        with open(os.path.join(tmp, "order.json")) as f:
            order = json.load(f)
        totals = dump_totals(tmp)
    if len(totals) != 2 * len(order):
        sys.exit("expected %d callgrind dumps, found %d" % (2 * len(order), len(totals)))
    # Each loop is the second dump of its pair; the first holds what ran before it.
    per_call = [total / calls for total in totals[1::2]]
    empty = per_call[0]
    results = [{"function": case[0], "case": case[1], "instructions": {}} for case in C.CASES]
    for (i, name), n in zip(order[1:], per_call[1:]):
        results[i]["instructions"][name] = n - empty
    return results, empty


# ---- report -----------------------------------------------------------------------

def geomean(values):
    values = list(values)
    return math.exp(sum(math.log(v) for v in values) / len(values))


def ratios(results, key, pairs):
    """Adds the ratio of each pair of candidates to every case; returns their
    geometric means per function and over all cases."""
    names = ["%s/%s" % pair for pair in pairs]
    for r in results:
        for (a, b), name in zip(pairs, names):
            r[name] = r[key][a] / r[key][b]
    per_function = {}
    for function in dict.fromkeys(r["function"] for r in results):
        rows = [r for r in results if r["function"] == function]
        per_function[function] = {name: geomean(r[name] for r in rows) for name in names}
    overall = {name: geomean(r[name] for r in results) for name in names}
    return per_function, overall


def write_table(results, key, unit, shown, per_function, overall, out):
    """One row per case: each candidate in `unit` per call, then the ratios
    `shown`; then their geometric means per function and over all cases."""
    candidates = list(results[0][key])
    out.write("%-20s %-18s" % ("function", "case") + "".join(" %13s" % ("%s %s" % (c, unit)) for c in candidates)
              + "".join(" %13s" % name for name in shown) + "\n")
    for r in results:
        out.write("%-20s %-18s" % (r["function"], r["case"]) + "".join(" %13.0f" % r[key][c] for c in candidates)
                  + "".join(" %13.3f" % r[name] for name in shown) + "\n")
    for function, means in list(per_function.items()) + [("all cases", overall)]:
        out.write("%-*s" % (39 + 14 * len(candidates), "geometric mean, " + function)
                  + "".join(" %13.3f" % means[name] for name in shown) + "\n")


def report_times(results, loop_ns, imp, out):
    per_function, overall = ratios(results, "ns", [("module", "plain"), ("module", "floor"), ("floor", "plain")])
    write_table(results, "ns", "ns", ["module/plain", "module/floor"], per_function, overall, out)
    # A module at the floor would score floor/plain against plain Python.
    out.write("floor/plain, the lowest module/plain reachable: %s; all cases %.3f\n"
              % (", ".join("%s %.3f" % (name, v["floor/plain"]) for name, v in per_function.items()),
                 overall["floor/plain"]))
    out.write("(empty timing loop, subtracted: %.1f ns per iteration)\n" % loop_ns)
    out.write("import: %.3f ms, %.0f KiB resident (median of %d fresh processes, re already imported)\n"
              % (imp["ms"], imp["kib"], imp["runs"]))
    return per_function, overall


def report_counts(results, empty, out):
    shown = ["module/plain", "module/cython", "module/floor"]
    per_function, overall = ratios(results, "instructions", [tuple(name.split("/")) for name in shown])
    write_table(results, "instructions", "Ir", shown, per_function, overall, out)
    out.write("(empty loop, subtracted: %.1f instructions per iteration)\n" % empty)
    return per_function, overall


def checked_records(impls, only):
    """check_all's records, kept (with the cases) for the functions in `only`
    when it names any."""
    records = check_all(impls)
    print("checked: %s and plain Python agree on all %d cases (results, printed lines, calls into re)"
          % (", ".join(name for name in impls if name != "plain"), len(C.CASES)), flush=True)
    kept = [i for i, case in enumerate(C.CASES) if not only or case[0] in only]
    C.CASES[:] = [C.CASES[i] for i in kept]
    return [records[i] for i in kept]


def without_printing(run, *args):
    """run(*args) with printed lines going to a cheap sink."""
    saved, sys.stdout = sys.stdout, open(os.devnull, "w")
    try:
        return run(*args)
    finally:
        sys.stdout.close()
        sys.stdout = saved


def write_json(path, result):
    if path:
        with open(path, "w") as f:
            json.dump(result, f, indent=1)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", action="store_true", help="count instructions under callgrind instead of timing")
    parser.add_argument("--calls", type=int, default=200, help="calls per counted loop (default 200)")
    parser.add_argument("--rounds", type=int, default=21, help="timing rounds (default 21)")
    parser.add_argument("--target-ms", type=float, default=2.0, help="length of one timed measurement (default 2 ms)")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--only", metavar="FUNCTION", action="append", help="measure only these functions")
    # The process that count_instructions starts under callgrind: it writes the loops' order into DIR.
    parser.add_argument("--in-callgrind", metavar="DIR", help=argparse.SUPPRESS)
    args = parser.parse_args()
    version = "%s %s" % (platform.python_implementation(), platform.python_version())

    if args.count:
        C.CASES[:] = [case for case in C.CASES if not args.only or case[0] in args.only]
        results, empty = count_instructions(args.calls, args.only)
        print("%s, instructions (Ir) per call, %d calls per loop" % (version, args.calls))
        per_function, overall = report_counts(results, empty, sys.stdout)
        write_json(args.json, {"python": version, "calls": args.calls, "empty_loop": empty, "cases": results,
                               "per_function": per_function, "overall": overall})
    elif args.in_callgrind:
        sys.path.insert(0, args.in_callgrind)
        import plain_cy
        impls = {"module": fd, "plain": plain, "cython": plain_cy}
        records = checked_records(impls, args.only)
        order = without_printing(count_loops, impls, records, args.calls)
        with open(os.path.join(args.in_callgrind, "order.json"), "w") as f:
            json.dump(order, f)
    else:
        impls = {"module": fd, "plain": plain}
        records = checked_records(impls, args.only)
        results, loop_ns = without_printing(time_cases, impls, records, args.rounds, args.target_ms / 1e3)
        imp = import_cost(15)
        print("%s, %d rounds" % (version, args.rounds))
        per_function, overall = report_times(results, loop_ns, imp, sys.stdout)
        write_json(args.json, {"python": version, "rounds": args.rounds, "loop_ns": loop_ns, "cases": results,
                               "per_function": per_function, "overall": overall, "import": imp})


if __name__ == "__main__":
    main()
