"""detect(): one answer from the five detectors, with every claim kept."""
import io
import sys
from typing import NamedTuple, Optional, Tuple

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
    #: The lines it printed on standard output while it ran.
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


def detect(text: str, spawn_id: object = "") -> Detection:
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

    Standard output is swapped for the duration of the call, so calls from
    several threads at once may see each other's printed lines.
    """
    # Imported here, not held by this module, so that the extension can be
    # freed and imported afresh like any module.
    from . import function_def as fd

    if not isinstance(text, str):
        raise TypeError("detect() needs the version text as str, not %s" % type(text).__name__)
    claims = []
    winner = None  # type: Optional[Claim]
    ambiguous = False
    make = tuple.__new__  # Claim(...) without its Python-level __new__: called per detector per text
    buffer = io.StringIO()
    saved = sys.stdout
    sys.stdout = buffer
    try:
        for name in DETECTORS:
            result = None  # type: Optional[str]
            exception = None  # type: Optional[BaseException]
            try:
                value = getattr(fd, name)(text, spawn_id)
                if isinstance(value, str):
                    result = value
            except Exception as exc:  # a detector's way of saying "not mine"
                exception = exc.with_traceback(None)
            printed = ()  # type: Tuple[str, ...]
            if buffer.tell():
                printed = tuple(buffer.getvalue().splitlines())
                buffer.seek(0)
                buffer.truncate()
            claim = make(Claim, (name, result, exception, printed))  # type: Claim
            claims.append(claim)
            if result:
                if winner is None:
                    winner = claim
                elif result != winner.result:
                    ambiguous = True
    finally:
        sys.stdout = saved
    if winner is None or ambiguous:
        return Detection(None, None, tuple(claims))
    return Detection(winner.result, winner.detector, tuple(claims))
