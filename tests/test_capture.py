"""Standard output caught per call: what other code does to sys.stdout while
detect() runs is kept, and what it prints goes where it was going."""
import contextvars
import io
import sys
import threading
from contextlib import redirect_stdout

import pytest
from isolated import run_script

from talvern.platformdetails import _printed as _capture, detect
from talvern.platformdetails import function_def as fd

GARU = "Kernel: Solaris Unix 5.11\n"
UNABLE = ("Unable to get platform for TOLM",)


class Recording(io.StringIO):
    """The program's own standard output."""


def other_thread_prints(text):
    """print from a thread that holds no capture, as other code would."""
    failures = []

    def printing():
        try:
            print(text)
        except Exception as exc:
            failures.append(exc)

    thread = threading.Thread(target=printing)
    thread.start()
    thread.join()
    assert not failures


@pytest.fixture
def program(monkeypatch):
    """sys.stdout as the program set it, and hooks that run inside detect(),
    between two detectors (the PRAV detector's place). The stream is set when
    the test asks for it: pytest sets its own as the test starts."""
    recording = Recording()
    hooks = []
    prav = fd.get_prav_details

    failures = []  # detect() would keep them as the detector's claim

    def hooked(version, spawn_id=""):
        for hook in hooks:
            try:
                hook()
            except Exception as exc:
                failures.append(exc)
        return prav(version)

    monkeypatch.setattr(fd, "get_prav_details", hooked)

    def start():
        monkeypatch.setattr(sys, "stdout", recording)
        return recording, hooks

    yield start
    assert not failures


def test_a_replacement_made_during_a_call_is_kept(program):
    recording, hooks = program()
    theirs = io.StringIO()

    def replace():
        sys.stdout = theirs

    hooks.append(replace)
    found = detect(GARU)
    assert sys.stdout is theirs
    # The next detector's line is still caught: nothing reached either stream.
    assert found.claims[4].printed == UNABLE
    assert theirs.getvalue() == recording.getvalue() == ""


def test_a_redirect_inside_a_call_gets_its_lines_and_is_undone(program):
    recording, hooks = program()
    theirs = io.StringIO()

    def redirected():
        with redirect_stdout(theirs):
            other_thread_prints("theirs")
        other_thread_prints("ours")

    hooks.append(redirected)
    found = detect(GARU)
    assert sys.stdout is recording
    assert found.claims[4].printed == UNABLE
    assert (theirs.getvalue(), recording.getvalue()) == ("theirs\n", "ours\n")


def test_a_redirect_begun_before_a_call_and_ended_inside_it(program):
    recording, hooks = program()
    theirs = io.StringIO()
    redirect = redirect_stdout(theirs)
    hooks.append(lambda: redirect.__exit__(None, None, None))
    redirect.__enter__()
    found = detect(GARU)
    assert sys.stdout is recording
    assert found.claims[4].printed == UNABLE
    assert theirs.getvalue() == recording.getvalue() == ""


def test_a_router_put_back_late_only_forwards_and_goes_at_the_next_call(program):
    recording, hooks = program()
    saved = []
    hooks.append(lambda: saved.append(sys.stdout))
    detect(GARU)
    assert sys.stdout is recording
    sys.stdout = saved[0]  # other code restoring what it saw during the call
    print("after")
    assert recording.getvalue() == "after\n"
    del hooks[:]
    assert detect(GARU).claims[4].printed == UNABLE
    assert sys.stdout is recording


def test_contexts_copied_from_a_call_do_not_write_into_it(program):
    recording, hooks = program()
    copied = []

    def start_thread_with_this_context():
        # As asyncio.to_thread does, or a thread that inherits its starter's context.
        context = contextvars.copy_context()
        copied.append(context)
        thread = threading.Thread(target=context.run, args=(print, "thread"))
        thread.start()
        thread.join()

    hooks.append(start_thread_with_this_context)
    found = detect(GARU)
    assert found.claims[3].printed == ()
    # The copy runs again after the call, while another capture holds the
    # router in place: the closed capture takes nothing.
    other = _capture.open_capture()
    try:
        copied[0].run(print, "later")
    finally:
        _capture.close_capture(other)
    assert recording.getvalue() == "thread\nlater\n"
    assert sys.stdout is recording


def test_no_standard_output_at_all(program, monkeypatch):
    hooks = program()[1]
    monkeypatch.setattr(sys, "stdout", None)
    hooks.append(lambda: other_thread_prints("lost"))
    assert detect(GARU).claims[4].printed == UNABLE
    assert sys.stdout is None


def test_the_stream_s_other_attributes_are_its_own(program):
    recording, hooks = program()
    seen = []
    hooks.append(lambda: seen.append((sys.stdout.getvalue, sys.stdout.closed)))
    detect(GARU)
    assert seen == [(recording.getvalue, False)]


def test_a_print_still_writing_when_the_last_capture_closes():
    # print() writes its end through the stream it looked up, holding no
    # reference of its own: the router must outlive its time in sys.stdout.
    # In a child: a router freed there crashes the interpreter.
    rc, out, err = run_script("""
        import sys, threading
        from talvern.platformdetails import _printed as _capture

        class Slow:
            \"\"\"Holds its first write until told, as a full pipe would.\"\"\"
            def __init__(self):
                self.pieces = []
                self.entered, self.go = threading.Event(), threading.Event()
            def write(self, text):
                if not self.entered.is_set():
                    self.entered.set()
                    self.go.wait(10)
                self.pieces.append(text)
                return len(text)

        slow = sys.stdout = Slow()
        capture = _capture.open_capture()
        printer = threading.Thread(target=print, args=("theirs",))
        printer.start()
        slow.entered.wait(10)  # the printer is inside the router's write
        _capture.close_capture(capture)
        restored = sys.stdout is slow
        slow.go.set()
        printer.join()
        sys.stdout = sys.__stdout__
        print(repr("".join(slow.pieces)), restored)
    """, timeout=60)
    assert (rc, out) == (0, "'theirs\\n' True\n"), err


def test_a_copy_of_the_router_is_never_wrapped(program):
    import copy

    recording, hooks = program()
    copies = []
    hooks.append(lambda: copies.append(copy.copy(sys.stdout)))
    detect(GARU)
    sys.stdout = copies[0]  # other code restoring a copy of what it saw
    assert detect(GARU).claims[4].printed == UNABLE
    assert sys.stdout is recording
    print("after")
    assert recording.getvalue() == "after\n"


def test_the_command_s_table_calls_catch_only_their_own_lines(program):
    from talvern.platformdetails.cli.report import call_captured

    recording = program()[0]

    def action():
        print("one\vline")
        other_thread_prints("theirs")
        raise KeyError("k")

    assert call_captured(action) == (None, "KeyError: 'k'", ["one\vline"])
    assert recording.getvalue() == "theirs\n"
    assert sys.stdout is recording
