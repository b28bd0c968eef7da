"""--max-line-length: a text with a longer line is an error by name, not
answered, and the inputs after it still are."""
import pytest

from command import cli, example, json_lines

# A TOLM text whose second line is 5,000 characters: answered when allowed.
LONG = "Vantrel TOLM-12 Chassis\n" + "x" * 5000 + "\n"
REFUSED = "line 2 is 5000 characters long, over the line-length limit of %d"


@pytest.mark.parametrize("args, limit", [
    ([], 4096),  # the default
    (["--max-line-length", "4999"], 4999),
    (["--max-line-length=5000"], None),  # argparse's spelling
    (["--max-line-length", "0"], None),  # no limit
])
def test_a_line_past_the_limit_is_an_error_and_the_run_goes_on(tmp_path, args, limit):
    long = tmp_path / "long.txt"
    long.write_text(LONG)
    proc = cli(tmp_path, "--json", *args + [str(long), example("garu.txt")])
    refused, garu = json_lines(proc)
    assert garu["model"] == "GARU"
    if limit is None:
        assert proc.returncode == 0 and proc.stderr == b""
        assert refused["model"] == "TOLM12"
        return
    assert proc.returncode == 2
    assert refused == {"input": str(long), "model": None, "detector": None, "claims": None,
                       "error": REFUSED % limit, "empty": False}
    assert proc.stderr.decode() == "python -m talvern.platformdetails: %s: %s\n" % (long, REFUSED % limit)


def test_the_limit_is_a_count(tmp_path):
    proc = cli(tmp_path, "--max-line-length", "-1", example("garu.txt"))
    assert proc.returncode == 2 and proc.stdout == b""
    assert proc.stderr.decode().endswith("error: --max-line-length needs a number of 0 or more (0: no limit)\n")
