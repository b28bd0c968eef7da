"""detect(): one answer from the five detectors, with every claim kept."""
import builtins
import functools
import re
import sys
from typing import NamedTuple, Optional, Tuple, Type

from ._printed import close_capture, open_capture, reroute

# BaseExceptionGroup (3.11): its members carry tracebacks of their own.
_ExceptionGroup = getattr(builtins, "BaseExceptionGroup", None)  # type: Optional[Type[BaseException]]
_sre_max_repeat = 2 ** 32 - 1  # the largest count sre accepts in {m}, on every version

# The detectors in the order the module defines them; claims are kept and
# reported in this order.
DETECTORS = (
    "fetch_kveos_details",
    "get_garu_details",
    "get_vkorin_details",
    "get_prav_details",
    "get_tolm_details",
)


class Claim(NamedTuple):
    """What one detector said about a text."""

    detector: str
    #: What it returned (a str, possibly empty); None when it raised.
    result: Optional[str]
    #: What it raised, or None.
    exception: Optional[BaseException]
    #: The lines it printed on standard output while it ran, split on "\n".
    printed: Tuple[str, ...]

    @property
    def model(self) -> Optional[str]:
        """The model it claims: its result when that is a non-empty str."""
        return self.result if self.result else None


class Detection(NamedTuple):
    """The answer for one text: the model, the detector that gave it, and
    every detector's claim, in detector order."""

    model: Optional[str]
    detector: Optional[str]
    claims: Tuple[Claim, ...]

    @property
    def claimants(self) -> Tuple[Claim, ...]:
        """The claims that name a model."""
        return tuple(claim for claim in self.claims if claim.model is not None)

    @property
    def ambiguous(self) -> bool:
        """True when detectors claim different models, so none was chosen."""
        return self.model is None and len(self.claimants) > 1


class LineTooLong(ValueError):
    """A line of the text is longer than ``detect``'s ``max_line_length``.

    ``line`` is its number (from 1), ``length`` its length in characters and
    ``limit`` the bound it passed.
    """

    def __init__(self, line: int, length: int, limit: int) -> None:
        super().__init__("line %d is %d characters long, more than max_line_length=%d" % (line, length, limit))
        self.line = line
        self.length = length
        self.limit = limit


# The patterns for a few bounds at a time: a caller passes one bound.
@functools.lru_cache(maxsize=8)
def _longer_than(limit: int) -> "re.Pattern[str]":
    # ^ in MULTILINE mode fails at once where no line starts, so the search
    # reads each line at most once, up to limit + 1 characters.
    return re.compile("^[^\n]{%d}" % (limit + 1), re.MULTILINE)


def _check_line_length(text: str, limit: int) -> None:
    if len(text) <= limit:
        return
    if limit + 1 < _sre_max_repeat:
        found = _longer_than(limit).search(text)
        if found is None:
            return
        start = found.start()
    else:  # a bound beyond what one pattern repeat counts (2**32 characters)
        start = 0
        while True:
            end = text.find("\n", start)
            if (len(text) if end < 0 else end) - start > limit:
                break
            if end < 0:
                return
            start = end + 1
    end = text.find("\n", start)
    length = (len(text) if end < 0 else end) - start
    raise LineTooLong(text.count("\n", 0, start) + 1, length, limit)


def _detached(exc: BaseException, handled: Optional[BaseException]) -> BaseException:
    """exc with nothing left that reaches a caller's frames: no traceback,
    no __context__, no __cause__. The chain that arose inside the detector
    is kept as notes ("raised from ...", "raised while handling ..."); the
    exception the caller was handling when it called detect() is the
    caller's and is left out."""
    exc.__traceback__ = None
    if _ExceptionGroup is not None and isinstance(exc, _ExceptionGroup):
        for inner in getattr(exc, "exceptions", ()):
            _detached(inner, handled)
    if exc.__context__ is None and exc.__cause__ is None:
        return exc
    notes = []
    seen = {id(exc)}
    link = exc  # type: BaseException
    while True:
        if link.__cause__ is not None:
            how, following = "raised from", link.__cause__  # type: str, Optional[BaseException]
        elif not link.__suppress_context__:
            how, following = "raised while handling", link.__context__
        else:
            break
        if following is None or following is handled or id(following) in seen:
            break
        seen.add(id(following))
        notes.append("%s %s" % (how, describe_exception(following)))
        link = following
    suppress = exc.__suppress_context__
    exc.__cause__ = None  # which sets __suppress_context__
    exc.__context__ = None
    exc.__suppress_context__ = suppress
    for note in notes:
        _add_note(exc, note)
    return exc


def describe_exception(exc: BaseException, first_line: bool = False) -> str:
    """An exception in words, as every message of this package gives one:
    "KeyError: 'k'", or an OS error's reason alone ("No such file or
    directory"). first_line: only its first line, for a one-line reason."""
    if isinstance(exc, OSError) and exc.strerror:
        message = str(exc.strerror)
    else:
        try:
            message = str(exc)
        except Exception:  # an exception whose __str__ fails still has a name
            message = ""
        if message:
            message = "%s: %s" % (type(exc).__name__, message)
        else:
            message = type(exc).__name__
    return message.split("\n", 1)[0] if first_line else message


def _add_note(exc: BaseException, note: str) -> None:
    """What BaseException.add_note does (3.11), on every version."""
    try:
        notes = getattr(exc, "__notes__", None)
        if notes is None:
            notes = []
            setattr(exc, "__notes__", notes)
        if note not in notes:  # an instance raised again keeps one copy
            notes.append(note)
    except Exception:  # notes that are not a list: only the chain's text is lost
        pass


def detect(text: str, spawn_id: object = "", *, max_line_length: Optional[int] = None,
           any_line_end: bool = False) -> Detection:
    """Which device printed this version text?

    Runs the five detectors of ``function_def`` on ``text`` (each with
    ``spawn_id``) and keeps what each returned or raised and the lines it
    printed; nothing reaches standard output. A detector that raises or
    returns an empty result makes no claim. Then:

    - no claim: ``model`` and ``detector`` are None (not recognised);
    - every claim names the same model: that model, from the first detector
      (in the module's order) that claimed it;
    - claims name different models: ``model`` and ``detector`` are None and
      ``ambiguous`` is true; no detector is trusted over another.

    Each claim's ``printed`` holds exactly the lines its detector printed,
    split on ``\n`` only, also with other threads or asyncio tasks calling
    ``detect`` or printing at the same time: their output goes where it was
    going, in full and in order. What stays shared is ``sys.stdout`` itself:
    while calls are in flight it holds a router that forwards to the stream
    it found, and it is put back when the last call returns (or raises).
    Code that replaces ``sys.stdout`` meanwhile keeps its replacement, but a
    detector that prints between that replacement and the start of the next
    detector's run prints into it.

    A kept exception has no traceback, ``__context__`` or ``__cause__``, so
    a result holds nothing of its caller's frames; a chain that arose inside
    the detector is kept as text in its ``__notes__``.

    ``max_line_length``, off by default, bounds how long one line (up to a
    ``\n``) may be: a longer one raises ``LineTooLong`` (a ``ValueError``)
    before any detector runs. The TOLM processor pattern takes time cubic in
    one line's length, so this bounds the time each line can take; the
    lines of a text add up, so bound its size as well. It costs
    one scan of the text, and none when the whole text is within the bound;
    texts within it give exactly the answer they give without it.

    ``any_line_end=True`` takes line ends as devices and terminals send
    them: ``\r\n``, ``\r\r\n`` and a lone ``\r`` each end a line, as
    ``\n`` does (off by default: the detectors see the text as it is, and
    ``'TOLM880ER\r'`` may come of a CR-LF text).
    """
    # Imported here, not held by this module, so that the extension can be
    # freed and imported afresh like any module.
    from . import function_def as fd

    if not isinstance(text, str):
        raise TypeError("detect() needs the version text as str, not %s" % type(text).__name__)
    if any_line_end:
        from ._decode import line_ends

        text = line_ends(text)
    if max_line_length is not None:
        if not isinstance(max_line_length, int) or isinstance(max_line_length, bool):
            raise TypeError("max_line_length must be an int or None, not %s" % type(max_line_length).__name__)
        if max_line_length < 0:
            raise ValueError("max_line_length must not be negative")
        _check_line_length(text, max_line_length)
    handled = sys.exc_info()[1]  # the caller's, when called inside an except block
    claims = []
    winner = None  # type: Optional[Claim]
    ambiguous = False
    make = tuple.__new__  # Claim(...) without its Python-level __new__: called per detector per text
    capture = open_capture()
    try:
        for name in DETECTORS:
            result = None  # type: Optional[str]
            exception = None  # type: Optional[BaseException]
            reroute()
            try:
                value = getattr(fd, name)(text, spawn_id)
                if isinstance(value, str):
                    result = value
            except Exception as exc:  # a detector's way of saying "not mine"
                exception = _detached(exc, handled)
            claim = make(Claim, (name, result, exception, capture.take()))  # type: Claim
            claims.append(claim)
            if result:
                if winner is None:
                    winner = claim
                elif result != winner.result:
                    ambiguous = True
    finally:
        close_capture(capture)
    if winner is None or ambiguous:
        return Detection(None, None, tuple(claims))
    return Detection(winner.result, winner.detector, tuple(claims))
