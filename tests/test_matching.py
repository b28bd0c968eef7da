"""invokeaction and get_key_value: what they hand on as it is, and tables
that change or behave oddly while they are walked. What they return, print
and call for every known action and table is in test_reference.py."""
import signal
import time

import pytest

from talvern.platformdetails import function_def as fd


class Action:
    def __init__(self, result):
        self.result = result
        self.calls = []

    def __call__(self, *args, **kwargs):
        assert not kwargs
        self.calls.append(args)
        return self.result

    def __str__(self):
        return "<action %r>" % (self.result,)


@pytest.mark.parametrize("result", ["M1", ["x"], (0,)])
def test_a_true_result_is_returned_as_it_is(result):
    assert fd.invokeaction("text", Action(result))[0] is result


def test_callable_receives_any_input_unchanged():
    action = Action("M")
    value = object()
    fd.invokeaction(value, action)
    assert action.calls[0][0] is value


def test_exceptions_pass_through_unchanged():
    failure = KeyError("mine")

    def action(text):
        raise failure

    with pytest.raises(KeyError) as info:
        fd.invokeaction("text", action)
    assert info.value is failure
    with pytest.raises(KeyError) as info:
        fd.get_key_value("text", {"a": "z", "b": action, "c": "text"})
    assert info.value is failure


# ---- get_key_value -------------------------------------------------------

def test_invokeaction_is_looked_up_for_each_entry(monkeypatch):
    seen = []

    def replacement(text, action):
        seen.append(action)
        return []

    def first(text):
        monkeypatch.setattr(fd, "invokeaction", replacement)
        return None

    assert fd.get_key_value("x", {"a": first, "b": "x", "c": "y"}) == []
    assert seen == ["x", "y"]


# ---- the order of the walk and the table's own behaviour ---------------------

class UnstableHash(str):
    """Hashes differently at every lookup after the first."""
    hashes = 0

    def __hash__(self):
        UnstableHash.hashes += 1
        return 0 if UnstableHash.hashes % 2 else 1


def test_each_key_is_looked_up_once():
    UnstableHash.hashes = 0
    key = UnstableHash("k")
    table = {key: "t"}  # hashed once here: the walk's lookup misses
    with pytest.raises(KeyError):
        fd.get_key_value("t", table)


def test_an_action_dropping_itself_from_the_table_is_kept_alive():
    class Action(object):
        def __call__(self, text):
            table.clear()
            return "found"

    table = {"a": Action()}
    assert fd.get_key_value("t", table) == ["a", ["found"]]


def test_a_signal_interrupts_a_long_walk_of_c_callables():
    # operator-free: a bound dict method as invokeaction runs no bytecode,
    # so only the walk itself can notice the signal.
    class Alarm(Exception):
        pass

    def handler(signum, frame):
        # Only once the walk has begun: a slow machine (an emulator) may
        # take longer to get there, and is given another tick. One timer at
        # a time, so that none is left to ring once the test is over.
        if "t" not in last:
            signal.setitimer(signal.ITIMER_REAL, 0.001)
            return
        raise Alarm(last["t"])

    last = {}
    table = {i: i for i in range(300000)}
    previous = signal.signal(signal.SIGALRM, handler)
    saved = fd.invokeaction
    fd.invokeaction = last.__setitem__  # returns None: no match, walk on
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001)
        with pytest.raises(Alarm) as info:
            fd.get_key_value("t", table)
            time.sleep(1)  # not reached when the walk notices the signal
    finally:
        fd.invokeaction = saved
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert info.value.args[0] < len(table) - 1
