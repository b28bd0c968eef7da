"""How devices are asked: one immutable object made once for a run, before
any device is asked, and handed to every connection."""
from typing import NamedTuple, Optional, Tuple

from .credentials import Credentials
from .hostkeys import HostKeys

MAX_OUTPUT = 1 << 20
DEFAULT_COMMAND = "show version"
DEFAULT_PAGING_OFF = ("terminal length 0",)
TIMEOUT = 30.0  # seconds per device
MAX_LINE_LENGTH = 4096  # as the command's: the slowest detector pattern is cubic in a line's length


class Settings(NamedTuple):
    credentials: Credentials
    hostkeys: HostKeys
    command: str = DEFAULT_COMMAND
    timeout: float = TIMEOUT
    max_output: int = MAX_OUTPUT
    paging_off: Tuple[str, ...] = DEFAULT_PAGING_OFF
    legacy: bool = False
    max_line_length: Optional[int] = MAX_LINE_LENGTH
