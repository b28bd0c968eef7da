"""What a person sees of an input's text and name: never a raw control
character, one line per answer, and two names never shown alike."""
import csv
import io
import os

import pytest

from command import TABLE, cli, json_lines
from talvern.platformdetails.cli.escape import escape

# The third line of a processor-line text is TOLM's model, whatever it holds.
HOSTILE_MODEL = "\x1b]0;pwned\x07\x1b[2J"
HOSTILE_TEXT = "VANTREL TR-8 (MPC8548E) processor (revision 0x11)\nboard\n%s\n" % HOSTILE_MODEL
HOSTILE_NAME = "a\x1b[31mb\nc\u202ed.txt"
RAW = [b"\x1b", b"\x07", b"\xe2\x80\xae"]  # ESC, BEL and the right-to-left override, as UTF-8


@pytest.mark.parametrize("text, shown", [
    ("GARU", "GARU"),
    ("m\u00e9tal caf\u00e9", "m\u00e9tal caf\u00e9"),
    (HOSTILE_MODEL, "\\x1b]0;pwned\\x07\\x1b[2J"),
    ("a\tb\r\nc", "a\\tb\\r\\nc"),
    ("\x7f\x9b\u202e\u2028\U000e0001", "\\x7f\\u009b\\u202e\\u2028\\U000e0001"),
    ("n\x85\xa0.txt", "n\\u0085\\u00a0.txt"),  # characters, not bytes: apart from the next
    ("n\udc85\udca0.txt", "n\\x85\\xa0.txt"),
    ("back\\slash", "back\\\\slash"),
    ("n\udcff.txt", "n\\xff.txt"),  # the byte 0xff of a name that is not UTF-8
    ("n\\xff.txt", "n\\\\xff.txt"),  # a name spelled so
])
def test_escape_shows_every_unprintable_character_and_never_two_texts_alike(text, shown):
    assert escape(text) == shown
    assert shown.isprintable() and "\n" not in shown


VIEWS = [[], ["--detectors"], ["--summary"], ["--csv"], ["--tsv"], ["--table", TABLE, "--explain"],
         ["--detectors", "--table", TABLE]]


@pytest.mark.parametrize("args", VIEWS, ids=lambda args: " ".join(args).replace(TABLE, "T") or "default")
def test_no_view_writes_a_control_character_from_an_input(tmp_path, args):
    (tmp_path / HOSTILE_NAME).write_text(HOSTILE_TEXT)
    (tmp_path / ("bin\x1b[2J.txt")).write_bytes(b"\0\1\2\3\xff")
    (tmp_path / ("old\x1b[2J.txt")).write_bytes(b"Kernel: Solaris Unix \xe9\n")
    proc = cli(tmp_path, *(args + [HOSTILE_NAME, "bin\x1b[2J.txt", "old\x1b[2J.txt", "gone\x1b[2J.txt"]))
    assert proc.returncode == 2
    for raw in RAW:
        assert raw not in proc.stdout and raw not in proc.stderr
    assert escape(HOSTILE_NAME).encode() in proc.stdout
    errors = proc.stderr.decode().splitlines()
    assert [line.split(": ", 1)[1] for line in errors] == [
        "bin\\x1b[2J.txt: binary file, skipped", "warning: old\\x1b[2J.txt not UTF-8, read as Latin-1",
        "cannot read gone\\x1b[2J.txt: No such file or directory"]
    if not args:  # each input's answer is one line
        assert proc.stdout.decode().splitlines() == [
            "a\\x1b[31mb\\nc\\u202ed.txt: \\x1b]0;pwned\\x07\\x1b[2J (get_tolm_details)",
            "old\\x1b[2J.txt: GARU (get_garu_details)"]


def test_json_keeps_exact_strings_and_a_name_that_is_not_utf8_as_surrogates(tmp_path):
    names = [b"n\xff.txt", b"n\\xff.txt"]
    for name in names:
        with open(os.path.join(os.fsencode(str(tmp_path)), name), "wb") as stream:
            stream.write(HOSTILE_TEXT.encode())
    proc = cli(tmp_path, "--json", ".")
    assert proc.returncode == 0, proc.stderr
    entries = json_lines(proc)
    assert [os.fsencode(entry["input"]) for entry in entries] == [b"./" + name for name in sorted(names)]
    assert {entry["model"] for entry in entries} == {HOSTILE_MODEL}
    # The text views tell the two names apart.
    assert cli(tmp_path, ".").stdout.decode().splitlines() == [
        "./n\\\\xff.txt: \\x1b]0;pwned\\x07\\x1b[2J (get_tolm_details)",
        "./n\\xff.txt: \\x1b]0;pwned\\x07\\x1b[2J (get_tolm_details)"]


def test_csv_guards_cells_a_spreadsheet_would_run_and_tsv_keeps_them(tmp_path):
    names = ["=1+1.txt", "+x.txt", "-x.txt", "@x.txt", "'x.txt", "x=1.txt"]
    for name in names:
        (tmp_path / name).write_text("Kernel: Solaris Unix\n")
    rows = list(csv.reader(io.StringIO(cli(tmp_path, "--csv", "--", *names).stdout.decode())))
    assert [row[0] for row in rows[1:]] == ["'=1+1.txt", "'+x.txt", "'-x.txt", "'@x.txt", "''x.txt", "x=1.txt"]
    tsv = cli(tmp_path, "--tsv", "--", *names).stdout.decode().splitlines()
    assert [line.split("\t")[0] for line in tsv[1:]] == names


def test_a_table_file_or_an_argument_is_named_escaped_on_standard_error(tmp_path):
    proc = cli(tmp_path, "--table", "t\x1b[2J.json", "x.txt")
    assert proc.returncode == 2
    assert proc.stderr.decode() == ("python -m talvern.platformdetails: error: cannot read table t\\x1b[2J.json: "
                                    "No such file or directory\n")
    proc = cli(tmp_path, "-q\x1b[2J")
    assert proc.returncode == 2 and b"\x1b" not in proc.stderr and b"-q\\x1b[2J" in proc.stderr
    # A pattern's error quotes it; a table too large is refused, not read on.
    (tmp_path / "t.json").write_text('{"g": "(?\\u001b]0;x\\u0007)"}')
    for table, words in [("t.json", b"does not compile: unknown extension ?\\x1b"),
                         ("/dev/zero", b"table /dev/zero is larger than 64M")]:
        proc = cli(tmp_path, "--table", table, "x.txt")
        assert proc.returncode == 2 and proc.stderr.count(b"\n") == 1 and words in proc.stderr, proc.stderr
        assert b"\x1b" not in proc.stderr
