"""Eight threads calling every function at once get exactly what one thread
gets: the module keeps no state that calls could share."""
import sys
import threading
import time
from contextlib import redirect_stdout

from talvern.platformdetails import function_def as fd

SECONDS = 2.0
THREADS = 8

KVEOS = "Ostrel version 4\nHardware\n  Type  Ostrel3 Chassis\n"
VKORIN = "Vantrel KORIN Software, vkorin_l2 Software\n"
TOLM = "Vantrel TOLM-12 Chassis\n"
PROCESSOR = "Vantrel TM-7 (rev 2) processor\n"


def model(text):
    return "M" if "X" in text else ""


TABLE = {"garu": fd.get_garu_details, "kveos": fd.fetch_kveos_details, "tolm": fd.get_tolm_details,
         "pat": r"X(\d)", "none": None}

CALLS = [
    (fd.fetch_kveos_details, (KVEOS,)),
    (fd.fetch_kveos_details, ("nothing", None)),
    (fd.get_garu_details, ("Kernel: Linux Unix 4.1",)),
    (fd.get_garu_details, ("LINUX_L2 Solaris Unix",)),
    (fd.get_vkorin_details, (VKORIN,)),
    (fd.get_vkorin_details, ("nothing",)),
    (fd.get_prav_details, ("Vantrel PRAV-300",)),
    (fd.get_prav_details, ("KORIN DALM Admin",)),
    (fd.get_tolm_details, (TOLM,)),
    (fd.get_tolm_details, (PROCESSOR,)),
    (fd.get_tolm_details, ("nothing",)),
    (fd.invokeaction, ("Hardware: X1", r"X(\d)")),
    (fd.invokeaction, ("Hardware: X1", model, object)),
    (fd.invokeaction, ("Hardware", model)),
    (fd.invokeaction, ("t", 42)),
    (fd.invokeaction, (None, "x")),
    (fd.get_key_value, ("Kernel: Solaris Unix", TABLE)),
    (fd.get_key_value, (TOLM, TABLE)),
    (fd.get_key_value, ("Chassis X1", TABLE)),
    (fd.get_key_value, ("t", None)),
    (fd.get_key_value, ("t",)),
]


class Discard:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def outcome(func, args):
    try:
        return "returned", repr(func(*args))
    except Exception as exc:
        return "raised", type(exc).__name__, str(exc)


def test_threads_get_single_thread_results():
    with redirect_stdout(Discard()):
        expected = [outcome(func, args) for func, args in CALLS]
        mismatches = []
        counts = [0] * THREADS
        deadline = time.monotonic() + SECONDS

        start = threading.Barrier(THREADS)

        def worker(index):
            start.wait()
            n = index  # each thread starts elsewhere in the table
            # At least one whole round each, also where threads barely
            # overlap (under valgrind, which runs one at a time).
            while n - index < len(CALLS) or time.monotonic() < deadline:
                i = n % len(CALLS)
                got = outcome(*CALLS[i])
                if got != expected[i]:
                    mismatches.append((i, got, expected[i]))
                n += 1
            counts[index] = n - index

        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-5)
        try:
            threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            sys.setswitchinterval(interval)
    assert not mismatches, mismatches[:5]
    assert all(count >= len(CALLS) for count in counts), counts
