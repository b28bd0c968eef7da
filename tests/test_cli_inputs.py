"""Inputs that are not plain files: special files in a folder, pipes named
on the command line, endless or huge inputs, and CR-CR-LF line ends."""
import os
import resource
import socket
import threading

import pytest

from command import EXAMPLES, cli, cli_process, example, json_lines
from talvern.platformdetails.cli.inputs import MAX_SIZE, read_file, size

GARU = b"Kernel: Solaris Unix\n"


def test_a_folder_walk_reads_regular_files_and_skips_fifos_sockets_and_devices(tmp_path):
    top = tmp_path / "fleet"
    top.mkdir()
    for name in ["a.txt", "z.txt"]:
        (top / name).write_bytes(GARU)
    os.mkfifo(str(top / "fifo"))  # read, it would wait for ever for a writer
    os.symlink(str(top / "fifo"), str(top / "link-to-fifo"))
    os.symlink(os.devnull, str(top / "null"))
    os.symlink(str(top / "a.txt"), str(top / "link-to-file"))
    os.symlink(str(top / "nowhere"), str(top / "dangling"))  # reported, as grep -R does
    server = socket.socket(socket.AF_UNIX)
    try:
        server.bind(str(top / "socket"))
        proc = cli(tmp_path, "fleet")
    finally:
        server.close()
    assert proc.returncode == 2
    assert proc.stdout.decode().splitlines() == [
        "fleet/a.txt: GARU (get_garu_details)", "fleet/link-to-file: GARU (get_garu_details)",
        "fleet/z.txt: GARU (get_garu_details)"]
    assert proc.stderr.decode() == ("python -m talvern.platformdetails: cannot read fleet/dangling: "
                                    "No such file or directory\n")


def test_a_fifo_put_in_a_folder_after_its_listing_is_refused_without_waiting(tmp_path):
    os.mkfifo(str(tmp_path / "fifo"))
    with pytest.raises(OSError, match="not a regular file"):
        read_file(str(tmp_path / "fifo"), MAX_SIZE, walked=True)


@pytest.mark.parametrize("kind", ["process-substitution", "named-fifo"])
def test_a_pipe_named_on_the_command_line_is_read_as_a_stream(tmp_path, kind):
    if kind == "process-substitution":  # what <(cat file) hands over
        reader, writer = os.pipe()
        os.write(writer, GARU)
        os.close(writer)
        try:
            proc = cli_process(tmp_path, "/dev/fd/%d" % reader, pass_fds=[reader])
        finally:
            os.close(reader)
        name = "/dev/fd/%d" % reader
    else:
        name = str(tmp_path / "fifo")
        os.mkfifo(name)

        def feed():
            with open(name, "wb") as stream:  # waits for the command to open it
                stream.write(GARU)
        writer_thread = threading.Thread(target=feed, daemon=True)
        writer_thread.start()
        proc = cli(tmp_path, name)
        writer_thread.join(10)
    assert (proc.returncode, proc.stderr) == (0, b""), proc.stderr
    assert proc.stdout.decode() == "%s: GARU (get_garu_details)\n" % name


def test_an_endless_input_ends_at_max_size_and_the_run_goes_on(tmp_path):
    if not os.path.exists("/dev/zero"):
        pytest.skip("no /dev/zero here")
    proc = cli(tmp_path, "/dev/zero", example("garu.txt"))
    assert proc.returncode == 2
    assert proc.stdout.decode() == "%s: GARU (get_garu_details)\n" % example("garu.txt")
    assert proc.stderr.decode() == ("python -m talvern.platformdetails: cannot read /dev/zero: "
                                    "larger than --max-size 64M\n")


def test_max_size_is_per_input_and_refuses_only_what_is_larger(tmp_path):
    (tmp_path / "at.txt").write_bytes(GARU.ljust(1024, b" "))
    (tmp_path / "over.txt").write_bytes(GARU.ljust(1025, b" "))
    proc = cli(tmp_path, "--json", "--max-size", "1K", "at.txt", "over.txt", "-", stdin="x" * 1025)
    assert proc.returncode == 2
    assert [entry["error"] for entry in json_lines(proc)] == [
        None, "cannot read: larger than --max-size 1K", "cannot read: larger than --max-size 1K"]
    assert proc.stderr.decode().splitlines()[0].endswith("cannot read over.txt: larger than --max-size 1K")


@pytest.mark.parametrize("value, count", [("100", 100), ("1k", 1024), ("64M", 64 << 20), ("2G", 2 << 30),
                                          ("0", None), ("-1", None), ("1.5M", None), ("1Q", None), ("M", None),
                                          ("", None)])
def test_max_size_values(value, count):
    if count is None:
        with pytest.raises(ValueError):
            size(value)
    else:
        assert size(value) == count


@pytest.mark.skipif(bool(os.environ.get("LD_PRELOAD")), reason="a sanitizer or valgrind reserves the address space")
def test_running_out_of_memory_on_one_input_is_its_error_not_a_traceback(tmp_path):
    if not os.path.exists("/dev/zero"):
        pytest.skip("no /dev/zero here")
    limit = 512 << 20

    def small_address_space():
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    proc = cli_process(tmp_path, "--max-size", "4G", "/dev/zero", example("garu.txt"), preexec_fn=small_address_space)
    assert proc.returncode == 2
    assert proc.stdout.decode() == "%s: GARU (get_garu_details)\n" % example("garu.txt")
    assert proc.stderr.decode() == "python -m talvern.platformdetails: cannot read /dev/zero: out of memory\n"


def test_any_run_of_carriage_returns_before_a_newline_is_one_line_end(tmp_path):
    names = sorted(name for name in os.listdir(EXAMPLES) if name.endswith(".txt"))
    for name in names:
        with open(example(name), "rb") as stream:
            data = stream.read()
        assert b"\r" not in data
        (tmp_path / name).write_bytes(data.replace(b"\n", b"\r\r\n"))
        (tmp_path / ("mixed-" + name)).write_bytes(data.replace(b"\n", b"\r\r\r\n", 2).replace(b"\n", b"\r\n"))

    def answers(*args):
        return [(entry["model"], entry["detector"], entry["claims"]) for entry in json_lines(cli(tmp_path, *args))]
    lf = answers("--json", *[example(name) for name in names])
    assert answers("--json", *names) == lf
    assert answers("--json", *["mixed-" + name for name in names]) == lf
    assert ("TOLM880ER", "get_tolm_details") in [answer[:2] for answer in lf]  # the third-line form is among them
