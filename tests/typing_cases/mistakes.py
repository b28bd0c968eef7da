"""Common mistakes that mypy --strict must flag: each line marked
"# mistake" and no other."""
from typing import Any, Optional

from talvern.platformdetails import detect
from talvern.platformdetails import function_def as fd

TEXT = "Kernel: Solaris Unix 5.11\n"


class SearchOnly:
    def search(self, pattern: str, string: str, flags: int = 0) -> Any:
        return None


fd.invokeaction(TEXT, 42)  # mistake
fd.invokeaction(TEXT, None)  # mistake
fd.get_key_value(TEXT, {"a": 1})  # mistake
fd.get_garu_details(b"Kernel: Solaris Unix")  # mistake
fd.get_prav_details()  # mistake
count: int = fd.get_tolm_details(TEXT)  # mistake
fd.re = SearchOnly()  # mistake
fd.re = "re"  # mistake
detect(b"Kernel: Solaris Unix")  # mistake
model: str = detect(TEXT).model  # mistake
detector: Optional[str] = detect(TEXT).claims[0].result.upper()  # mistake

from talvern.platformdetails.live import Settings, ask  # noqa: E402

ask(42)  # mistake
Settings(timeout="soon")  # mistake
ask("127.0.0.1:1").model.upper()  # mistake
