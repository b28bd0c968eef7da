"""Documented uses of the package that mypy --strict must accept."""
import re
from typing import Any, Callable, Dict, List, Optional, Union

from talvern.platformdetails import Claim, Detection, detect
from talvern.platformdetails import function_def as fd
from talvern.platformdetails.live import FAILURES, Answer, Settings, Target, ask, ask_async, ask_many, ask_many_async

TEXT = "Kernel: Solaris Unix 5.11\n"


class RecordingRe:
    """The README's stand-in for re, with the annotations strict mode asks for."""

    I = re.I

    def __init__(self) -> None:
        self.patterns: List[str] = []

    def search(self, pattern: str, string: str, flags: int = 0) -> Optional["re.Match[str]"]:
        self.patterns.append(pattern)
        return re.search(pattern, string, flags)

    def match(self, pattern: str, string: str, flags: int = 0) -> Optional["re.Match[str]"]:
        self.patterns.append(pattern)
        return re.match(pattern, string, flags)


fd.re = RecordingRe()
model: str = fd.get_garu_details(TEXT)
fd.re = re

with_handle: str = fd.fetch_kveos_details(TEXT, spawn_id=object())
pattern_hit: List[Any] = fd.invokeaction(TEXT, r"Kernel: (\w+)")
callable_hit = fd.invokeaction(TEXT, fd.get_garu_details, "handle")
lambda_hit = fd.invokeaction(TEXT, lambda text: "Unix" in text)
won = fd.get_key_value(TEXT, {"10-garu": fd.get_garu_details, "20-any": "[Vv]antrel"})
# A table built apart from the call mixes str and callables: say so.
table: Dict[str, Union[str, Callable[..., object]]] = {"10-garu": fd.get_garu_details, "20-any": "[Vv]antrel"}
won = fd.get_key_value(TEXT, table)

found: Detection = detect(TEXT, spawn_id=42)
if found.model is not None:
    answer: str = found.model + " " + str(found.detector)
claims: List[Claim] = list(found.claimants)
for claim in found.claims:
    name: str = claim.detector
    raised: Optional[BaseException] = claim.exception
    printed: str = "\n".join(claim.printed)
ambiguous: bool = found.ambiguous

found = detect("TOLM-9-A\r\n", any_line_end=True)

# The live API, as docs/python.md shows it (checked, not run).
settings = Settings(password="not sent", timeout=5)
reply: Answer = ask("ssh://admin@127.0.0.1:1", settings)
failure: Optional[str] = reply.failure
if reply.failure is not None:
    known: bool = reply.failure in FAILURES
seen: Optional[str] = reply.model
for each in ask_many(["127.0.0.1:1", Target("127.0.0.1", 1, "admin")], settings):
    print(each.target, each.via, each.seconds, each.as_dict())
one: Answer = ask("127.0.0.1:1", timeout=3.0, password=lambda target: None)


async def main() -> List[Optional[str]]:
    first = await ask_async("127.0.0.1:1", settings)
    return [first.failure] + [answer.failure async for answer in ask_many_async(["127.0.0.1:1"], settings)]
