"""Output that cannot be written: a full disk, a closed pipe, standard
output closed from the start, standard error that fails."""
import os

import pytest

from command import EXAMPLES, cli, cli_process, example

OUTPUTS = [[], ["--json"], ["--csv"], ["--tsv"], ["--detectors"], ["--summary"]]


@pytest.mark.parametrize("args", OUTPUTS, ids=lambda args: " ".join(args) or "default")
@pytest.mark.parametrize("sink", ["full-disk", "closed-pipe"])
def test_output_that_cannot_be_written(tmp_path, args, sink):
    if sink == "full-disk":
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full here")
        stdout = os.open("/dev/full", os.O_WRONLY)
    else:
        reader, stdout = os.pipe()
        os.close(reader)
    # Unbuffered, so that the first write is the one that fails, whatever
    # PYTHONUNBUFFERED the tests themselves run with: buffered, the status
    # would be that of every input the buffer took.
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    try:
        proc = cli_process(tmp_path, *args + [EXAMPLES], stdout=stdout, env=env)
    finally:
        os.close(stdout)
    if sink == "closed-pipe":
        # Quiet, as grep | head: the status is that of the inputs answered
        # (the first example is recognised), not an error.
        assert (proc.returncode, proc.stderr) == (0, b"")
        return
    assert proc.returncode == 2
    assert proc.stderr.decode() == ("python -m talvern.platformdetails: error: cannot write the output: "
                                    "No space left on device\n")


def test_standard_error_that_cannot_be_written_costs_no_answer(tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    stderr = os.open("/dev/full", os.O_WRONLY)
    try:
        proc = cli_process(tmp_path, "gone.txt", example("garu.txt"), stderr=stderr,
                           env=dict(os.environ, PYTHONUNBUFFERED="1"))
    finally:
        os.close(stderr)
    assert proc.returncode == 2
    assert proc.stdout.decode().splitlines()[-1].endswith("garu.txt: GARU (get_garu_details)")


def test_closed_standard_output_is_one_line_and_status_2(tmp_path):
    proc = cli_process(tmp_path, example("garu.txt"), stdout=None, preexec_fn=lambda: os.close(1))
    assert proc.returncode == 2
    assert proc.stderr.decode() == "python -m talvern.platformdetails: error: standard output is closed\n"
