"""The stub accepts the documented uses and catches the common mistakes:
mypy --strict over tests/typing_cases/, line by line."""
import importlib.util
import os
import re
import subprocess
import sys

import pytest

CASES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "typing_cases")


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_flags_the_mistakes_and_only_them(tmp_path):
    uses, mistakes = os.path.join(CASES, "uses.py"), os.path.join(CASES, "mistakes.py")
    # From a folder without a mypy configuration, so the installed package is checked.
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                           "--cache-dir", str(tmp_path / "cache"), uses, mistakes],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=str(tmp_path), timeout=300)
    assert proc.stderr == b""
    flagged = set()
    for line in proc.stdout.decode().splitlines():
        found = re.match(r"(.*?):(\d+): error: ", line)
        if found:
            flagged.add((os.path.basename(found.group(1)), int(found.group(2))))
    with open(mistakes) as f:
        expected = {("mistakes.py", number) for number, text in enumerate(f, 1) if text.rstrip().endswith("# mistake")}
    assert len(expected) >= 10
    assert flagged == expected, proc.stdout.decode()
