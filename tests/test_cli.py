"""The command line: what it answers for files and folders, in every
format, with every exit status, from a directory outside the source tree."""
import csv
import gc
import importlib.util
import io
import os
import pty
import re

import pytest

import talvern.platformdetails
from command import EXAMPLES, PROG, ROOT, TABLE, cli, cli_process, example, json_lines
from conftest import DETECTOR_NAMES as DETECTORS

NO_BANNER = "AttributeError: 'NoneType' object has no attribute 'group'"


# Each example and what every detector says about it (an exception as "Type: message").
EXPECTED = [
    ("kveos-chassis.txt", ["7280", "", NO_BANNER, "", ""]),
    ("kveos-virtual.txt", ["KVEOSv", "", NO_BANNER, "", ""]),
    ("kveos-demo.txt", ["KVEOSv", "", NO_BANNER, "", ""]),
    ("garu.txt", ["", "GARU", NO_BANNER, "", ""]),
    ("fesk.txt", ["", "FESK", NO_BANNER, "", ""]),
    ("fesk-l2.txt", ["", "FESK-L2", NO_BANNER, "", ""]),
    ("vkorin.txt", ["", "", "KORINv", "", ""]),
    ("vkorin-l2.txt", ["", "", "KORINvL2", "", ""]),
    ("prav-model.txt", ["", "", NO_BANNER, "PRAV-5140", ""]),
    ("prav-admin.txt", ["", "", NO_BANNER, "PRAV", ""]),
    ("tolm-chassis.txt", ["", "", NO_BANNER, "", "TOLM12"]),
    ("tolm-processor.txt", ["", "", NO_BANNER, "", "TOLM3400"]),
    ("tolm-third-line.txt", ["", "", NO_BANNER, "", "TOLM880ER"]),
    ("unrelated.txt", ["", "", NO_BANNER, "", ""]),
]


# The answer for each example: (model, detector).
ANSWERS = {name: next(((said, DETECTORS[i]) for i, said in enumerate(expected)
                       if said and not said.startswith("AttributeError")), (None, None))
           for name, expected in EXPECTED}


def said(entry):
    out = []
    for name in DETECTORS:
        d = entry["claims"][name]
        out.append(d["error"] if d["error"] else d["result"])
    return out


def write_bytes(path, data):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return str(path)


def test_every_example_is_reported_in_json(tmp_path):
    # The folder rather than a list of its files, so an example added
    # without its expectations here fails.
    proc = cli(tmp_path, "--json", EXAMPLES)
    assert proc.returncode == 1, proc.stderr  # unrelated.txt is not recognised
    by_input = {e["input"]: e for e in json_lines(proc)}
    assert list(by_input) == sorted(example(name) for name, _ in EXPECTED)  # not table.json: never a text
    entries = [by_input[example(name)] for name, _ in EXPECTED]
    assert [said(e) for e in entries] == [expected for _, expected in EXPECTED]
    # The form of one entry, key order included, is the README's example.
    for (name, _), entry in zip(EXPECTED, entries):
        assert (entry["model"], entry["detector"]) == ANSWERS[name]
        assert list(entry["claims"]) == DETECTORS and entry["error"] is None
        tolm = entry["claims"]["get_tolm_details"]
        # The detector's own line is reported beside its result, never on stdout.
        assert tolm["printed"] == ([] if tolm["result"] else ["Unable to get platform for TOLM"])


def test_default_output_is_one_answer_line_per_input(tmp_path):
    files = [example(name) for name, _ in EXPECTED]
    proc = cli(tmp_path, *files)
    assert proc.returncode == 1 and proc.stderr == b""
    expected = []
    for name, _ in EXPECTED:
        model, detector = ANSWERS[name]
        expected.append("%s: %s" % (example(name), "%s (%s)" % (model, detector) if model else "not recognised"))
    assert proc.stdout.decode().splitlines() == expected


@pytest.mark.parametrize("args", [[], ["-"]], ids=["no-file", "dash"])
def test_stdin_with_crlf_line_ends(tmp_path, args):
    text = "VANTREL R (X) processor with 1K\r\nboard\r\nTOLM-9-A\r\nmore\r\n"
    proc = cli(tmp_path, "--json", *args, stdin=text)
    assert proc.returncode == 0, proc.stderr
    (entry,) = json_lines(proc)
    assert entry["input"] == "<stdin>"
    # Third-line form: only matches once \r\n is read as \n.
    assert (entry["model"], entry["detector"]) == ("TOLM9A", "get_tolm_details")


def test_no_file_at_a_terminal_prints_usage_instead_of_waiting(tmp_path):
    master, slave = pty.openpty()
    try:
        proc = cli_process(tmp_path, stdin=slave)
    finally:
        os.close(master)
        os.close(slave)
    assert proc.returncode == 2 and proc.stdout == b""
    assert proc.stderr.startswith(b"usage:") and b"standard input is a terminal" in proc.stderr


def test_detectors_view_is_a_block_per_input_with_a_blank_line_between(tmp_path):
    # The exact layout of one block is the README's example (test_readme).
    proc = cli(tmp_path, "--detectors", example("garu.txt"), example("vkorin.txt"))
    assert proc.returncode == 0 and proc.stderr == b""
    blocks = [block.splitlines() for block in proc.stdout.decode().split("\n\n")]
    assert [block[0] for block in blocks] == ["== " + example("garu.txt"), "== " + example("vkorin.txt")]
    assert [len(block) for block in blocks] == [6, 6]
    assert blocks[1][3] == "  get_vkorin_details   'KORINv'"


def test_missing_file_among_good_ones(tmp_path):
    missing = str(tmp_path / "nope.txt")
    proc = cli(tmp_path, "--json", example("garu.txt"), missing, example("fesk.txt"))
    assert proc.returncode == 2
    assert proc.stderr.decode() == "python -m talvern.platformdetails: cannot read %s: No such file or directory\n" % missing
    entries = json_lines(proc)
    assert [e["input"] for e in entries] == [example("garu.txt"), missing, example("fesk.txt")]
    assert entries[1] == {"input": missing, "model": None, "detector": None, "claims": None,
                          "error": "cannot read: No such file or directory", "empty": False}
    assert entries[2]["model"] == "FESK"


# A text that two detectors claim with different models.
GARU_AND_TOLM = "Kernel: Solaris Unix 5.11\nTOLM-12 Chassis\n"
EXIT_STATUSES = [
    ("recognised", [("a.txt", b"Kernel: Solaris Unix 5.11\n")], 0),
    ("one not recognised", [("a.txt", b"Kernel: Solaris Unix\n"), ("b.txt", b"Helix OS\n")], 1),
    ("empty", [("a.txt", b"")], 1),
    ("ambiguous", [("a.txt", GARU_AND_TOLM.encode())], 1),
    ("binary with a marker", [("a.txt", b"Kernel: Solaris Unix\n"), ("b.bin", b"\x7fELF\0\0Solaris Unix\0")], 2),
    ("error beats not recognised", [("a.txt", b"Helix OS\n"), ("b.bin", b"\0\1\2\3\0")], 2),
]


@pytest.mark.parametrize("files, status", [case[1:] for case in EXIT_STATUSES], ids=[case[0] for case in EXIT_STATUSES])
def test_exit_status_follows_grep(tmp_path, files, status):
    paths = [write_bytes(tmp_path / name, data) for name, data in files]
    proc = cli(tmp_path, *paths)
    assert proc.returncode == status, proc.stderr
    for path in paths:
        if path.endswith(".bin"):
            assert proc.stderr.decode() == "python -m talvern.platformdetails: %s: binary file, skipped\n" % path
            assert path not in proc.stdout.decode()


def test_ambiguous_text_names_every_claim(tmp_path):
    proc = cli(tmp_path, "-", stdin=GARU_AND_TOLM)
    # The claims as the other views give them: test_csv_has_a_header_and_a_row_per_input.
    assert proc.stdout.decode() == "<stdin>: ambiguous: GARU (get_garu_details), TOLM12 (get_tolm_details)\n"


TEXT = "Vantrel PRAV-5140 Software, caf\u00e9 edition\r\nKORIN DALM Admin\n"
ENCODINGS = [
    ("utf-8-bom", b"\xef\xbb\xbf" + TEXT.encode("utf-8")),
    ("utf-16-le-bom", TEXT.encode("utf-16")),  # what a Windows shell writes
    ("utf-16-be-bom", b"\xfe\xff" + TEXT.encode("utf-16-be")),
    ("utf-32-le-bom", b"\xff\xfe\0\0" + TEXT.encode("utf-32-le")),
    ("utf-32-be-bom", b"\0\0\xfe\xff" + TEXT.encode("utf-32-be")),
    ("utf-16-le-no-bom", TEXT.encode("utf-16-le")),
    ("utf-16-be-no-bom", TEXT.encode("utf-16-be")),
    ("utf-32-le-no-bom", TEXT.encode("utf-32-le")),
]


@pytest.mark.parametrize("data", [data for _, data in ENCODINGS], ids=[name for name, _ in ENCODINGS])
def test_byte_order_marks_and_wide_encodings_are_read(tmp_path, data):
    proc = cli(tmp_path, "--json", write_bytes(tmp_path / "v.txt", data))
    assert proc.returncode == 0 and proc.stderr == b""
    (entry,) = json_lines(proc)
    assert entry["model"] == "PRAV-5140"


def test_latin1_text_is_read_with_a_warning(tmp_path):
    path = write_bytes(tmp_path / "old.txt", TEXT.encode("latin-1"))
    proc = cli(tmp_path, path)
    assert proc.returncode == 0
    assert proc.stdout.decode() == "%s: PRAV-5140 (get_prav_details)\n" % path
    assert proc.stderr.decode() == "python -m talvern.platformdetails: warning: %s not UTF-8, read as Latin-1\n" % path


def test_folders_are_walked_sorted_skipping_hidden_files_and_link_loops(tmp_path):
    top = tmp_path / "fleet"
    garu = b"Kernel: Solaris Unix\n"
    for name in ["b/z.txt", "b/a/x.txt", "a.txt", "c/10.txt", "c/9.txt", ".git/config", "b/.hidden.txt"]:
        write_bytes(top / name, garu)
    os.symlink(str(top), str(top / "b" / "loop"))  # back up the tree
    os.symlink(str(top / "a.txt"), str(top / "link.txt"))
    proc = cli(tmp_path, "fleet", example("fesk.txt"))
    assert proc.returncode == 0, proc.stderr
    names = [line.split(": ")[0] for line in proc.stdout.decode().splitlines()]
    assert names == [os.path.join("fleet", name) for name in
                     ["a.txt", "b/a/x.txt", "b/z.txt", "c/10.txt", "c/9.txt", "link.txt"]] + [example("fesk.txt")]


def test_csv_has_a_header_and_a_row_per_input(tmp_path):
    missing = str(tmp_path / "nope.txt")
    proc = cli(tmp_path, "--csv", "--table", TABLE, example("garu.txt"), missing, "-", stdin=GARU_AND_TOLM)
    rows = list(csv.reader(io.StringIO(proc.stdout.decode())))
    assert rows == [
        ["input", "model", "detector", "claims", "error", "empty", "table"],
        [example("garu.txt"), "GARU", "get_garu_details", "get_garu_details=GARU", "", "", "20-garu"],
        [missing, "", "", "", "cannot read: No such file or directory", "", ""],
        ["<stdin>", "", "", "get_garu_details=GARU;get_tolm_details=TOLM12", "", "", "20-garu"],
    ]


def test_tsv_has_the_csv_columns_with_tabs_and_escaped_cells(tmp_path):
    odd = write_bytes(tmp_path / "a\tb\\c\nd.txt", b"Kernel: Solaris Unix\n")
    missing = str(tmp_path / "nope.txt")
    proc = cli(tmp_path, "--tsv", "--table", TABLE, odd, missing)
    assert proc.returncode == 2
    escaped = odd.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
    assert proc.stdout.decode().split("\n") == [
        "input\tmodel\tdetector\tclaims\terror\tempty\ttable",
        escaped + "\tGARU\tget_garu_details\tget_garu_details=GARU\t\t\t20-garu",
        missing + "\t\t\t\tcannot read: No such file or directory\t\t",
        ""]
    # Cells without a tab, newline or backslash are the CSV's cells.
    csv_rows = list(csv.reader(io.StringIO(cli(tmp_path, "--csv", EXAMPLES).stdout.decode())))
    tsv_rows = [line.split("\t") for line in cli(tmp_path, "--tsv", EXAMPLES).stdout.decode().splitlines()]
    assert tsv_rows == csv_rows and len(tsv_rows) == 1 + len(EXPECTED)


def test_summary_counts_inputs_per_model(tmp_path):
    files = [example(name) for name in ["garu.txt", "kveos-demo.txt", "kveos-virtual.txt", "unrelated.txt"]]
    proc = cli(tmp_path, "--summary", *files, str(tmp_path / "nope.txt"))
    assert proc.returncode == 2
    assert proc.stdout.decode().splitlines()[-7:] == [
        "== summary: 5 inputs", "  1  GARU", "  2  KVEOSv", "  1  not recognised", "  0  ambiguous", "  0  empty",
        "  1  errors"]
    proc = cli(tmp_path, "--json", "--summary", *files)
    assert json_lines(proc)[-1] == {"summary": {"inputs": 4, "models": {"GARU": 1, "KVEOSv": 2},
                                                "not recognised": 1, "ambiguous": 0, "empty": 0, "errors": 0}}


def test_an_empty_text_is_told_apart_from_an_unknown_device(tmp_path):
    empty = [write_bytes(tmp_path / name, data) for name, data in
             [("nothing.txt", b""), ("blank.txt", b" \r\n\t\n"), ("mark.txt", b"\xef\xbb\xbf\n")]]
    inputs = empty + [example("unrelated.txt")]
    proc = cli(tmp_path, *inputs)
    assert proc.returncode == 1 and proc.stderr == b""
    assert proc.stdout.decode().splitlines() == [name + ": empty" for name in empty] + [
        example("unrelated.txt") + ": not recognised"]
    assert [entry["empty"] for entry in json_lines(cli(tmp_path, "--json", *inputs))] == [True] * 3 + [False]
    assert cli(tmp_path, "--summary", *inputs).stdout.decode().splitlines()[-3:-1] == ["  0  ambiguous", "  3  empty"]
    for view in ("--csv", "--tsv"):
        rows = cli(tmp_path, view, *inputs).stdout.decode().splitlines()[1:]
        assert [row.replace("\t", ",").split(",")[5] for row in rows] == ["yes"] * 3 + [""]
    blocks = cli(tmp_path, "--detectors", *inputs).stdout.decode().split("\n\n")
    assert ["(empty: no text, or only white space)" in block for block in blocks] == [True] * 3 + [False]


def test_version_is_the_package_version(tmp_path):
    proc = cli(tmp_path, "--version")
    assert proc.returncode == 0
    # test_packaging checks that __version__ is the distribution's version.
    assert proc.stdout.decode() == "python -m talvern.platformdetails %s\n" % talvern.platformdetails.__version__


def test_many_inputs_in_workers_keep_input_order(tmp_path):
    texts = [b"Kernel: Solaris Unix\n", b"Helix OS\n", b"TOLM-%d Chassis\n"]
    for i in range(1500):  # past the point where workers start
        write_bytes(tmp_path / "fleet" / ("%02d" % (i % 7)) / ("%04d.txt" % i), texts[i % 3].replace(b"%d", b"%d" % i))
    frozen = gc.get_freeze_count()  # not 0 on 3.12, which freezes some at start-up
    serial = cli(tmp_path, "--jobs", "1", "--json", "fleet")
    parallel = cli(tmp_path, "--jobs", "2", "--json", "fleet")
    # What was frozen for the forks is collectable again: a program that runs it often keeps nothing.
    assert gc.get_freeze_count() <= frozen
    assert serial.returncode == parallel.returncode == 1
    assert parallel.stdout == serial.stdout and parallel.stderr == serial.stderr == b""
    entries = json_lines(parallel)
    names = [entry["input"] for entry in entries]
    assert len(names) == 1500 and names == sorted(names)
    assert entries[-1] == dict(entries[-1], input="fleet/06/1497.txt", model="GARU")


@pytest.mark.parametrize("stderr_tty, stdout_tty, said", [
    (True, False, "\r4000 inputs, 1000/s \r4001 inputs, 8/s \r\033[K"),
    (False, False, ""),
    # Answers to the same terminal: the line is taken off before each, and drawn again after.
    (True, True, "\r4000 inputs, 1000/s \r\033[K\r4001 inputs, 8/s \r\033[K"),
])
def test_progress_shows_on_a_terminal_after_a_while_out_of_the_answers_way(stderr_tty, stdout_tty, said):
    from talvern.platformdetails.cli.progress import Progress

    class Stream(io.StringIO):
        def isatty(self):
            return stderr_tty

    now = [0.0]
    stream = Stream()
    progress = Progress(stream, stdout_tty, clock=lambda: now[0])
    progress.update(10)  # a short run says nothing
    now[0] = 4.0
    progress.update(4000)
    progress.before_output()
    now[0] = 500.0
    progress.update(4001)
    progress.clear()
    assert stream.getvalue() == said


USAGE_ERRORS = [
    (["--bogus"], "unknown option --bogus"), (["--explain", "x.txt"], "--explain needs --table"),
    (["--table"], "--table needs FILE"), (["--json", "--csv", "x"], "--csv cannot be combined with --json"),
    (["--csv", "--summary", "x"], "--summary cannot be combined with --csv"),
    (["--tsv", "--summary", "x"], "--summary cannot be combined"), (["--jobs", "0", "x"], "--jobs needs a number"),
    (["--tsv", "--csv", "x"], "cannot be combined"), (["--timeout", "-1", "x"], "--timeout needs"),
    (["--timeout", "nan", "x"], "--timeout needs"), (["--jobs", "two"], "--jobs: 'two' is not a valid N"),
    (["--s", "x"], "--s is ambiguous: --summary, --save"), (["--summary=yes"], "--summary takes no value"),
    (["--save", "DIR", "some-file.txt"], "--save is for asking devices"),
    (["ssh://h", "some-file.txt"], "cannot be answered in one run"), (["--timeout", "0", "ssh://h"], "above 0"),
    (["--\x1b[31m"], "unknown option --\\x1b[31m"),  # shown escaped, as a glob's file names may be
]


@pytest.mark.parametrize("args, words", USAGE_ERRORS, ids=repr)
def test_usage_errors(tmp_path, args, words):
    proc = cli(tmp_path, *args)
    assert proc.returncode == 2 and proc.stdout == b""
    usage, _, error = proc.stderr.decode().splitlines()
    assert usage.startswith("usage: %s [OPTION]" % PROG) and error.startswith(PROG + ": error: ")
    assert words in error, error


COMMAND_LINES = [
    # (argv, what it means: dests that differ from their defaults)
    (["a.txt", "-"], {"files": ["a.txt", "-"]}),
    (["--json", "--json", "x"], {"format": "--json", "files": ["x"]}),
    (["--jobs", "007", "-j", "2", "x"], {"jobs": 2, "files": ["x"]}),
    (["-j2", "--js", "a"], {"jobs": 2, "format": "--json", "files": ["a"]}),  # an unambiguous prefix
    (["a", "--json", "b"], {"format": "--json", "files": ["a", "b"]}),  # options after files
    (["--", "-x", "--json"], {"files": ["-x", "--json"]}),
    (["--table=t.json", "--table", "-", "--explain"], {"table": "-", "explain": True}),
    (["--timeout", "0.5", "--max-size", "1k", "x"], {"timeout": 0.5, "max_size": 1024, "files": ["x"]}),
    (["-i", "k1", "-ik2", "--identity=k3", "ssh://h"], {"identity": ["k1", "k2", "k3"], "files": ["ssh://h"]}),
    (["--tsv", "--table", "t.json", "--explain", "a", ""], {"format": "--tsv", "table": "t.json", "explain": True,
                                                           "files": ["a", ""]}),
]


@pytest.mark.parametrize("argv, meaning", COMMAND_LINES, ids=repr)
def test_command_lines(argv, meaning):
    from talvern.platformdetails.cli.options import OPTIONS, parse

    line = parse(argv)
    said = {option.dest: getattr(line, option.dest) for option in OPTIONS if option.dest != "format"}
    said.update(files=line.files, format=line.format.option)
    defaults = {option.dest: option.default for option in OPTIONS if option.dest != "format"}
    defaults.update(files=[], format=None)
    assert {name: value for name, value in said.items() if value != defaults[name]} == meaning


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="no CPU affinity here")
def test_help_is_one_screen_of_every_option_and_counts_the_cpus_this_process_may_use(tmp_path):
    from talvern.platformdetails._failures import CLASSES
    from talvern.platformdetails.cli.options import OPTIONS

    # One CPU allowed on a machine that may have more: the default must
    # follow what the process may use, not what the machine has.
    proc = cli_process(tmp_path, "--help", preexec_fn=lambda: os.sched_setaffinity(0, {min(os.sched_getaffinity(0))}))
    assert proc.returncode == 0 and proc.stderr == b""
    out = proc.stdout.decode()
    assert out.startswith("usage: python -m talvern.platformdetails ")
    assert re.findall(r"CPUs\s+available,\s+(\d+)\s+here", out) == ["1"]
    assert all(option.flags[-1] in out for option in OPTIONS) and "docs/command.md" in out
    assert all("\n  %s " % name in out for name in CLASSES)  # the failure classes, each with its meaning
    assert max(len(line) for line in out.splitlines()[2:]) <= 79  # past the usage, which holds the name


def load_demo():
    spec = importlib.util.spec_from_file_location("demo", os.path.join(ROOT, "tools", "demo.py"))
    demo = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(demo)
    return demo


EXAMPLE_TEXTS = sorted(name for name, _ in EXPECTED)
DEMO_ARGS = [
    # caller's args, caller's folder (None: outside the tree), what the command gets
    ([], ROOT, ["--summary"] + [os.path.join("examples", name) for name in EXAMPLE_TEXTS]),
    (["--json"], EXAMPLES, ["--json"] + EXAMPLE_TEXTS),
    (["--table", "t.json"], None, ["--table", "t.json"] + [example(name) for name in EXAMPLE_TEXTS]),
    (["--jobs", "2", "saved"], None, ["--jobs", "2", "saved"]),
    (["x.txt"], "/", ["x.txt"]),
    (["-"], "/", ["-"]),
    (["--csv", "--", "-odd.txt"], "/", ["--csv", "--", "-odd.txt"]),
]


@pytest.mark.parametrize("args, cwd, expected", DEMO_ARGS)
def test_demo_reads_files_from_the_callers_folder_and_examples_only_without_files(tmp_path, args, cwd, expected):
    # None: a folder outside the source tree, wherever the tree is.
    assert load_demo().command_args(args, cwd or str(tmp_path)) == expected


@pytest.mark.parametrize("returncode, args, status", [
    (1, [], 0), (1, ["--json"], 0),  # over examples/: unrelated.txt is meant not to be recognised
    (2, [], 2), (1, ["x.txt"], 1), (0, ["x.txt"], 0),
])
def test_demo_exits_0_when_it_ran_as_intended(returncode, args, status):
    assert load_demo().status(returncode, args) == status
