"""One device's answer: the text it printed for its version command and the
detection made from it, or why there is none, as an immutable value."""
from typing import Any, Dict, NamedTuple, Optional

from .._decode import BinaryInput, decode
from .._detect import Detection, LineTooLong, describe_exception, detect
from .session import Reply


class Answer(NamedTuple):
    """What one device answered. A device that could not be answered is an
    Answer with a failure (one of FAILURES) and a one-line reason, never
    an exception."""

    #: The target as it was given (a Target given: its ssh:// form).
    target: str
    host: str
    port: int
    #: The user the target names, or None for the run's.
    user: Optional[str]
    detection: Optional[Detection]
    failure: Optional[str]
    reason: Optional[str]
    #: "exec" or "shell": how the text was had; None for a failure before.
    via: Optional[str]
    #: From connecting to the last byte.
    seconds: float
    #: The text the detectors saw: the device's output decoded, with \n line ends.
    text: Optional[str]
    #: The device's output as it printed it (for a shell, without the
    #: terminal's noise, the echo and the prompt).
    output: Optional[bytes] = None
    #: "not UTF-8, read as Latin-1" for such a text, else None.
    warning: Optional[str] = None

    @property
    def model(self) -> Optional[str]:
        return self.detection.model if self.detection is not None else None

    @property
    def detector(self) -> Optional[str]:
        return self.detection.detector if self.detection is not None else None

    def as_dict(self) -> Dict[str, Any]:
        """For JSON: the fields (output aside) with the detection's claims
        as the command's --json gives them."""
        claims = None
        if self.detection is not None:
            claims = {claim.detector: {"result": claim.result, "error": None if claim.exception is None
                                       else describe_exception(claim.exception), "printed": list(claim.printed)}
                      for claim in self.detection.claims}
        return {"target": self.target, "host": self.host, "port": self.port, "user": self.user,
                "model": self.model, "detector": self.detector, "claims": claims, "failure": self.failure,
                "reason": self.reason, "via": self.via, "seconds": round(self.seconds, 3), "text": self.text}


def answer_of(reply: Reply, max_line_length: Optional[int]) -> Answer:
    """The Answer of a reply: its output decoded and detected. A text that
    cannot be answered (NUL bytes, a line past the limit) is a failure."""
    target = reply.target
    fields = (target.name, target.host, target.port, target.user)
    if reply.failure is not None or reply.output is None:
        return Answer(*fields, None, reply.failure or "closed", reply.reason, reply.via, reply.seconds, None)
    try:
        text, warning = decode(reply.output)
        detection = detect(text, max_line_length=max_line_length)
    except BinaryInput:
        return Answer(*fields, None, "unreadable", "the device's text holds NUL bytes: it is not a version text",
                      reply.via, reply.seconds, None, reply.output)
    except LineTooLong as exc:
        return Answer(*fields, None, "unreadable", "line %d is %d characters long, over the line-length limit of"
                      " %d" % (exc.line, exc.length, exc.limit), reply.via, reply.seconds, None, reply.output)
    return Answer(*fields, detection, None, None, reply.via, reply.seconds, text, reply.output, warning)
