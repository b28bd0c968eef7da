"""The classes of failure a device asked live can have: each answer that is
not a text names one, with a one-line reason of its own. The command's
summary counts them and its --help names them; docs/live.md says what to
do about each."""

#: Each class and what happened, in the order they are counted and shown.
FAILURES = (
    ("dns", "the host name does not resolve"),
    ("refused", "nothing accepts connections on that port, or it cannot be reached"),
    ("jump", "a jump host or ProxyCommand could not be reached, logged in to or trusted"),
    ("timeout", "no connection, no login or no whole answer in time"),
    ("auth", "every credential offered was refused"),
    ("host-key", "unknown host, a revoked key, or HOST KEY CHANGED"),
    ("algorithms", "no key exchange, cipher or host-key type in common"),
    ("command", "the device refused the version command, by exec and in a shell"),
    ("pager", "the device kept paging, or stopped at a pager a space does not move"),
    ("too-large", "the device printed more than --max-size"),
    ("unreadable", "the device's text holds NUL bytes, or a line past --max-line-length"),
    ("closed", "the device ended the connection or the session before the answer"),
)
CLASSES = tuple(name for name, _ in FAILURES)


class Failure(Exception):
    """A device that could not be answered: its class and a one-line reason."""

    def __init__(self, kind: str, reason: str) -> None:
        Exception.__init__(self, kind, reason)
        self.kind = kind
        self.reason = reason

    def __str__(self) -> str:
        return "%s: %s" % (self.kind, self.reason)
