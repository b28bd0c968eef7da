"""The benchmark itself, run by one interpreter that has the module installed.

Normally started by bench/run.py; it can also be run directly:

    python bench/measure.py [--rounds N] [--target-ms T] [--json FILE]

Steps: (1) run every case through the extension and through the plain
Python versions (bench/plain.py) with a recording stand-in for ``re``, and
stop unless both give the same result or exception, the same printed lines
and the same calls into ``re``; (2) from that record, write the floor of
each case: the calls into Python the case requires, prebound, straight-line;
(3) time module, plain and floor, interleaved round by round, with printed
lines going to a cheap sink; report medians in ns per call, less the cost of
an empty timing loop; (4) measure the cost of importing the module.
"""
import argparse
import io
import itertools
import json
import math
import os
import platform
import random
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import cases as C  # noqa: E402
import plain  # noqa: E402
from talvern.platformdetails import function_def as fd  # noqa: E402

ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")


# ---- recording stand-in for re -------------------------------------------------

class Match(object):
    def __init__(self, log, index, real):
        self._log, self._index, self._real = log, index, real

    def group(self, *args):
        self._log.append(("group", self._index, args))
        return self._real.group(*args)

    def groups(self, *args):
        self._log.append(("groups", self._index, args))
        return tuple(Group(g, self._log) if isinstance(g, str) else g for g in self._real.groups(*args))


class Group(str):
    """A str item of groups(): what is done with it, replace(), is recorded too."""

    def __new__(cls, value, log):
        self = str.__new__(cls, value)
        self._log = log
        return self

    def replace(self, *args):
        self._log.append(("replace", str(self), args))
        return str.replace(self, *args)


class RecordingRe(object):
    I = re.I

    def __init__(self):
        self.log = []
        self.matches = 0

    def _call(self, name, args):
        self.log.append((name, args))
        real = getattr(re, name)(*args)
        if real is None:
            self.log.append(("none",))
            return None
        self.matches += 1
        self.log.append(("is", self.matches - 1))
        return Match(self.log, self.matches - 1, real)

    def search(self, *args):
        return self._call("search", args)

    def match(self, *args):
        return self._call("match", args)


def run_recorded(impl, case):
    """(outcome, printed lines, re log) of one call with re recorded."""
    func_name, _, make_args, _ = case
    rec = RecordingRe()
    saved_re, saved_out = impl.re, sys.stdout
    impl.re = rec
    sys.stdout = out = io.StringIO()
    try:
        try:
            outcome = ("result", getattr(impl, func_name)(*make_args(impl)))
        except Exception as exc:  # compared below, whatever it is
            outcome = ("raised", type(exc), str(exc))
    finally:
        impl.re, sys.stdout = saved_re, saved_out
    printed = [ADDRESS.sub(" at 0x?", line) for line in out.getvalue().splitlines()]
    return outcome, printed, rec.log


def check_all():
    """Stops the run unless module and plain agree on every case."""
    failures = []
    records = []
    for case in C.CASES:
        got = run_recorded(fd, case)
        want = run_recorded(plain, case)
        expected = case[3]
        if got != want:
            failures.append("%s [%s]: module %r, plain %r" % (case[0], case[1], got[:2], want[:2]))
        elif (want[0][0] == "raised") != (expected is not None) or (expected and want[0][1] is not expected):
            failures.append("%s [%s]: unexpected outcome %r" % (case[0], case[1], want[0]))
        records.append(want)
    if failures:
        sys.stderr.write("module and plain Python disagree:\n  " + "\n  ".join(failures) + "\n")
        sys.exit(1)
    return records


# ---- the floor --------------------------------------------------------------------

def floor_code(case, record):
    """(statement, namespace): the calls into Python this case requires."""
    func_name, _, make_args, expected = case
    outcome, printed, log = record
    args = make_args(plain)
    ns = {"search": re.search, "match": re.match, "print_": print, "str_": str}
    consts = {}

    def const(value):
        key = (type(value), value) if isinstance(value, (str, int)) else id(value)
        if key not in consts:
            consts[key] = "k%d" % len(consts)
            ns[consts[key]] = value
        return consts[key]

    lines = []
    i = 0
    while i < len(log):
        event = log[i]
        if event[0] in ("search", "match"):
            call = "%s(%s)" % (event[0], ", ".join(const(a) for a in event[1]))
            if log[i + 1][0] == "is":
                lines.append("m%d = %s" % (log[i + 1][1], call))
            else:
                lines.append(call)
            i += 2
            continue
        if event[0] == "replace":
            _, text, call_args = event
            lines.append("%s.replace(%s)" % (const(text), ", ".join(const(a) for a in call_args)))
        else:
            kind, index, call_args = event
            lines.append("m%d.%s(%s)" % (index, kind, ", ".join(const(a) for a in call_args)))
        i += 1
    # A caller's own action is called as invokeaction calls it.
    if func_name == "invokeaction" and args[1] in C.USER_ACTIONS:
        handle = args[2] if len(args) > 2 and args[2] else None
        call_args = (args[0], handle) if handle else (args[0],)
        lines.append("%s(%s)" % (const(args[1]), ", ".join(const(a) for a in call_args)))
    callables = [a for a in args if callable(a)]
    for a in args:
        if isinstance(a, dict):
            callables += [v for v in a.values() if callable(v)]
    for line in printed:
        # A line that shows a callable took its str().
        for action in callables:
            shown = ADDRESS.sub(" at 0x?", str(action))
            if shown in line:
                lines.append("str_(%s)" % const(action))
                line = line.replace(shown, str(action))
        lines.append("print_(%s)" % const(line))
    if expected is not None:
        # What the body does without a match: read .group of None.
        lines = lines + ["try:", "    %s.group" % const(None), "except AttributeError:", "    pass"]
    return "\n".join(lines), ns


# ---- timing -----------------------------------------------------------------------

TEMPLATE = """
def inner(_it, _timer):
{bind}
    _t0 = _timer()
    for _i in _it:
{body}
    return _timer() - _t0
"""


def make_timer(stmt, ns):
    bind = "\n".join("    %s = _ns[%r]" % (name, name) for name in ns) or "    pass"
    body = "\n".join("        " + line for line in stmt.splitlines())
    scope = {"_ns": ns}
    exec(TEMPLATE.format(bind=bind, body=body), scope)
    inner = scope["inner"]
    return lambda n: inner(itertools.repeat(None, n), time.perf_counter)


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


def calibrate(timer, target):
    n = 1
    while True:
        t = timer(n)
        if t >= target / 4:
            return max(1, int(n * target / t))
        n *= 4


def time_cases(records, rounds, target):
    timers = []
    for case, record in zip(C.CASES, records):
        func_name, _, make_args, expected = case
        cand = {
            "module": make_timer(*call_stmt(getattr(fd, func_name), make_args(fd), expected)),
            "plain": make_timer(*call_stmt(getattr(plain, func_name), make_args(plain), expected)),
            "floor": make_timer(*floor_code(case, record)),
        }
        n = calibrate(cand["plain"], target)
        timers.append((cand, n))
    empty = make_timer("pass", {})
    n_empty = calibrate(empty, target)
    samples = [{k: [] for k in ("module", "plain", "floor")} for _ in timers]
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


# ---- report -----------------------------------------------------------------------

def geomean(values):
    values = list(values)
    return math.exp(sum(math.log(v) for v in values) / len(values))


def report(results, loop_ns, imp, out):
    w = out.write
    w("%-20s %-18s %10s %10s %10s %8s %8s\n" % ("function", "case", "module ns", "plain ns", "floor ns",
                                              "mod/pl", "mod/fl"))
    for r in results:
        ns = r["ns"]
        r["module/plain"] = ns["module"] / ns["plain"]
        r["module/floor"] = ns["module"] / ns["floor"]
        w("%-20s %-18s %10.0f %10.0f %10.0f %8.3f %8.3f\n" % (r["function"], r["case"], ns["module"], ns["plain"],
                                                            ns["floor"], r["module/plain"], r["module/floor"]))
    per_function = {}
    for name in dict.fromkeys(r["function"] for r in results):
        rows = [r for r in results if r["function"] == name]
        per_function[name] = {"module/plain": geomean(r["module/plain"] for r in rows),
                              "module/floor": geomean(r["module/floor"] for r in rows),
                              "floor/plain": geomean(r["ns"]["floor"] / r["ns"]["plain"] for r in rows)}
        w("%-39s %32s %8.3f %8.3f\n" % ("geometric mean, " + name, "", per_function[name]["module/plain"],
                                       per_function[name]["module/floor"]))
    overall = {"module/plain": geomean(r["module/plain"] for r in results),
               "module/floor": geomean(r["module/floor"] for r in results),
               "floor/plain": geomean(r["ns"]["floor"] / r["ns"]["plain"] for r in results)}
    w("%-39s %32s %8.3f %8.3f\n" % ("geometric mean, all cases", "", overall["module/plain"],
                                   overall["module/floor"]))
    # A module at the floor would score floor/plain against plain Python.
    w("floor/plain, the lowest module/plain reachable: %s; all cases %.3f\n"
      % (", ".join("%s %.3f" % (name, v["floor/plain"]) for name, v in per_function.items()),
         overall["floor/plain"]))
    w("(empty timing loop, subtracted: %.1f ns per iteration)\n" % loop_ns)
    w("import: %.3f ms, %.0f KiB resident (median of %d fresh processes, re already imported)\n"
      % (imp["ms"], imp["kib"], imp["runs"]))
    return per_function, overall


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=21, help="timing rounds (default 21)")
    parser.add_argument("--target-ms", type=float, default=2.0, help="length of one measurement (default 2 ms)")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--only", metavar="FUNCTION", action="append", help="time only these functions")
    args = parser.parse_args()

    records = check_all()
    print("checked: module and plain Python agree on all %d cases (results, printed lines, calls into re)"
          % len(C.CASES), flush=True)
    if args.only:
        keep = [i for i, c in enumerate(C.CASES) if c[0] in args.only]
        C.CASES[:] = [C.CASES[i] for i in keep]
        records = [records[i] for i in keep]
    sink = open(os.devnull, "w")
    saved, sys.stdout = sys.stdout, sink
    try:
        results, loop_ns = time_cases(records, args.rounds, args.target_ms / 1e3)
    finally:
        sys.stdout = saved
        sink.close()
    imp = import_cost(15)
    version = "%s %s" % (platform.python_implementation(), platform.python_version())
    print("%s, %d rounds" % (version, args.rounds))
    per_function, overall = report(results, loop_ns, imp, sys.stdout)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"python": version, "rounds": args.rounds, "loop_ns": loop_ns, "cases": results,
                       "per_function": per_function, "overall": overall, "import": imp}, f, indent=1)


if __name__ == "__main__":
    main()
