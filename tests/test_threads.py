"""Eight threads calling every function at once get exactly what one thread
gets: the module keeps no state that calls could share."""
import contextlib
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


@contextlib.contextmanager
def switching_often(interval):
    """Threads switch every `interval` seconds meanwhile, so calls overlap."""
    saved = sys.getswitchinterval()
    sys.setswitchinterval(interval)
    try:
        yield
    finally:
        sys.setswitchinterval(saved)


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

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
        with switching_often(1e-5):
            for t in threads:
                t.start()
            for t in threads:
                t.join()
    assert not mismatches, mismatches[:5]
    assert all(count >= len(CALLS) for count in counts), counts


# detect() from many threads and asyncio tasks while others print: each
# claim holds its own detector's lines, and the program's own output arrives
# whole and in order.

DETECT_THREADS = 12
DETECT_CALLS = 40  # per thread at least, then until DETECT_SECONDS have passed
DETECT_SECONDS = 1.0
PRINTED_LINES = 3000  # per printing thread

DETECT_TEXTS = ["Kernel: Solaris Unix 5.11\nhost-%d\n" % n for n in range(4)] + [
    "Vantrel PRAV-5140 Software\nhost-7\n",
    "Vantrel TM-7 (rev 2) processor\nboard\nTOLM-880-ER\n",
    "interrupt\n",
]


class Recording:
    """The program's own standard output: keeps every write, in order."""

    def __init__(self):
        self.pieces = []

    def write(self, text):
        self.pieces.append(text)
        return len(text)

    def flush(self):
        pass

    def lines(self):
        return "".join(self.pieces).split("\n")[:-1]


def chatty_prav(version, spawn_id=""):
    """A detector that prints several pieces per line, so lines of threads
    that share a buffer interleave; its lines hold \\v, \\f and U+2028."""
    tag = version.split()[-1]
    print("said", tag, "\v\f\u2028end")
    print(tag, end="")
    print()
    if tag == "interrupt":
        raise KeyboardInterrupt
    return PRAV_DETAILS(version)


PRAV_DETAILS = fd.get_prav_details


def said(claims):
    return [(c.detector, c.result, type(c.exception).__name__, c.printed) for c in claims]


def hammer_detect(monkeypatch):
    """Runs the detection workers and printers; returns what went wrong."""
    from talvern.platformdetails import detect

    recording = Recording()
    monkeypatch.setattr(sys, "stdout", recording)
    monkeypatch.setattr(fd, "get_prav_details", chatty_prav)
    expected = {text: said(detect(text).claims) for text in DETECT_TEXTS if "interrupt" not in text}
    wrong = []

    def detecting(index):
        deadline = time.monotonic() + DETECT_SECONDS
        n = 0
        while n < DETECT_CALLS or time.monotonic() < deadline:
            text = DETECT_TEXTS[(index + n) % len(DETECT_TEXTS)]
            n += 1
            try:
                got = said(detect(text).claims)
            except KeyboardInterrupt:
                continue
            if got != expected[text]:
                wrong.append((text, got))

    def printing(index):
        # One write per line: print's pieces from two printers would
        # interleave anywhere, as they do on a real stdout.
        for n in range(PRINTED_LINES):
            print("printer %d line %d\n" % (index, n), end="")

    return recording, expected, wrong, detecting, printing


def check_printers(recording, printers):
    lines = recording.lines()
    for index in range(printers):
        assert [line for line in lines if line.startswith("printer %d " % index)] == \
            ["printer %d line %d" % (index, n) for n in range(PRINTED_LINES)]
    assert len(lines) == printers * PRINTED_LINES, [line for line in lines if not line.startswith("printer")][:5]


def test_detect_from_threads_keeps_every_line_where_it_belongs(monkeypatch):
    recording, expected, wrong, detecting, printing = hammer_detect(monkeypatch)
    assert expected["Vantrel PRAV-5140 Software\nhost-7\n"][3][3] == ("said host-7 \v\f\u2028end", "host-7")
    threads = [threading.Thread(target=detecting, args=(i,)) for i in range(DETECT_THREADS)]
    threads += [threading.Thread(target=printing, args=(i,)) for i in range(2)]
    with switching_often(1e-6):
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert sys.stdout is recording
    assert not wrong, wrong[:3]
    check_printers(recording, 2)


def test_detect_from_asyncio_tasks_and_their_threads(monkeypatch):
    import asyncio
    import contextvars

    recording, expected, wrong, detecting, printing = hammer_detect(monkeypatch)

    async def in_task(index):
        for n in range(DETECT_CALLS):
            text = DETECT_TEXTS[(index + n) % len(DETECT_TEXTS)]
            try:
                got = said(fd_detect(text).claims)
            except KeyboardInterrupt:
                got = None
            if got is not None and got != expected[text]:
                wrong.append((text, got))
            await asyncio.sleep(0)

    async def printing_task():
        for n in range(PRINTED_LINES):
            print("printer 0 line %d\n" % n, end="")
            if n % 10 == 0:
                await asyncio.sleep(0)

    async def main():
        loop = asyncio.get_running_loop()
        # Threads started with a copy of the task's context, as
        # asyncio.to_thread does, and threads without one.
        in_threads = [loop.run_in_executor(None, contextvars.copy_context().run, detecting, i) for i in range(4)]
        in_threads += [loop.run_in_executor(None, detecting, i) for i in range(4)]
        in_threads.append(loop.run_in_executor(None, printing, 1))
        await asyncio.gather(printing_task(), *[in_task(i) for i in range(8)], *in_threads)

    from talvern.platformdetails import detect as fd_detect
    with switching_often(1e-6):
        asyncio.run(main())
    assert sys.stdout is recording
    assert not wrong, wrong[:3]
    check_printers(recording, 2)
