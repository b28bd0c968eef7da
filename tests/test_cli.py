"""The command line, run as a user runs it: a subprocess of the test venv's
interpreter, from a directory outside the source tree."""
import json
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
TABLE = os.path.join(EXAMPLES, "table.json")
DETECTORS = ["fetch_kveos_details", "get_garu_details", "get_vkorin_details",
             "get_prav_details", "get_tolm_details"]
NO_BANNER = "AttributeError: 'NoneType' object has no attribute 'group'"


def example(name):
    return os.path.join(EXAMPLES, name)


def cli(tmp_path, *args, stdin=""):
    return subprocess.run([sys.executable, "-m", "talvern.platformdetails"] + list(args),
                          input=stdin.encode(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          cwd=str(tmp_path), timeout=60)


def json_lines(proc):
    """Every stdout line must be one whole JSON object."""
    return [json.loads(line) for line in proc.stdout.decode().splitlines()]


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


def said(entry):
    out = []
    for name in DETECTORS:
        d = entry["detectors"][name]
        out.append(d["error"] if d["error"] else d["result"])
    return out


def test_every_example_is_reported_in_json(tmp_path):
    files = [example(name) for name, _ in EXPECTED]
    proc = cli(tmp_path, "--json", *files)
    assert proc.returncode == 0, proc.stderr
    entries = json_lines(proc)
    assert [e["input"] for e in entries] == files
    assert [said(e) for e in entries] == [expected for _, expected in EXPECTED]
    for entry in entries:
        assert list(entry["detectors"]) == DETECTORS
        assert entry["error"] is None and "table" not in entry
        tolm = entry["detectors"]["get_tolm_details"]
        # The detector's own line is reported beside its result, never on stdout.
        assert tolm["printed"] == ([] if tolm["result"] else ["Unable to get platform for TOLM"])


def test_examples_are_sized_like_real_device_output():
    texts = [name for name in os.listdir(EXAMPLES) if name.endswith(".txt")]
    assert sorted(texts) == sorted(name for name, _ in EXPECTED)
    for name in texts:
        with open(example(name)) as f:
            assert 20 <= len(f.read().splitlines()) <= 60, name


@pytest.mark.parametrize("args", [[], ["-"]], ids=["no-file", "dash"])
def test_stdin_with_crlf_line_ends(tmp_path, args):
    text = "VANTREL R (X) processor with 1K\r\nboard\r\nTOLM-9-A\r\nmore\r\n"
    proc = cli(tmp_path, "--json", *args, stdin=text)
    assert proc.returncode == 0, proc.stderr
    (entry,) = json_lines(proc)
    assert entry["input"] == "<stdin>"
    # Third-line form: only matches once \r\n is read as \n.
    assert entry["detectors"]["get_tolm_details"]["result"] == "TOLM9A"


def test_default_output_is_an_aligned_block_per_input(tmp_path):
    proc = cli(tmp_path, example("garu.txt"), example("vkorin.txt"))
    assert proc.returncode == 0 and proc.stderr == b""
    out = proc.stdout.decode()
    blocks = out.split("\n\n")
    assert len(blocks) == 2
    lines = blocks[0].splitlines()
    assert lines[0] == "== " + example("garu.txt")
    assert lines[2] == "  get_garu_details     'GARU'"
    assert lines[3] == "  get_vkorin_details   " + NO_BANNER
    assert lines[5] == "  get_tolm_details     ''   (printed: Unable to get platform for TOLM)"
    assert "Traceback" not in out


def test_missing_file_among_good_ones(tmp_path):
    missing = str(tmp_path / "nope.txt")
    proc = cli(tmp_path, "--json", example("garu.txt"), missing, example("fesk.txt"))
    assert proc.returncode == 1
    assert proc.stderr.decode() == "python -m talvern.platformdetails: cannot read %s: No such file or directory\n" % missing
    entries = json_lines(proc)
    assert [e["input"] for e in entries] == [example("garu.txt"), missing, example("fesk.txt")]
    assert entries[1]["error"] == "cannot read: No such file or directory"
    assert said(entries[2])[1] == "FESK"


def test_directory_as_input_is_unreadable(tmp_path):
    proc = cli(tmp_path, str(tmp_path), example("fesk.txt"))
    assert proc.returncode == 1
    assert str(tmp_path) in proc.stderr.decode() and "Traceback" not in proc.stderr.decode()
    assert "'FESK'" in proc.stdout.decode()


def test_table_classifies_and_explains(tmp_path):
    proc = cli(tmp_path, "--json", "--table", TABLE, "--explain",
               example("fesk-l2.txt"), example("tolm-chassis.txt"), example("unrelated.txt"))
    assert proc.returncode == 0, proc.stderr
    fesk_l2, tolm, other = json_lines(proc)
    assert fesk_l2["table"] == {"key": "10-fesk-l2", "match": "LINUX_L2", "groups": []}
    assert tolm["table"] == {"key": "60-tolm", "match": "TOLM-12 Chassis", "groups": ["TOLM-12", None]}
    assert other["table"] is None
    with open(TABLE) as f:
        keys = sorted(json.load(f))
    # Every key, in walk order; later keys that also match are visible.
    assert [step["key"] for step in fesk_l2["explain"]] == keys
    matched = [step["key"] for step in fesk_l2["explain"] if step["yielded"]]
    assert matched == ["10-fesk-l2", "30-fesk", "99-vantrel"]
    assert not any(step["yielded"] for step in other["explain"])


def test_explain_text_marks_winner_and_later_matches(tmp_path):
    table = tmp_path / "t.json"
    table.write_text(json.dumps({"b": "Linux Unix", "a": "FESK", "c": "nothing"}))
    proc = cli(tmp_path, "--table", str(table), "--explain", example("fesk.txt"))
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.decode().splitlines()
    assert lines[-5:] == [
        "  table                'a'   matched 'FESK'   groups ()",
        "  walk (sorted keys):",
        "    'a'  'FESK'        'FESK' ()   <- wins",
        "    'b'  'Linux Unix'  'Linux Unix' ()   <- also matches",
        "    'c'  'nothing'     no match",
    ]


BAD_TABLES = [
    ('{"ok": "a", "bad": "(unclosed"}', "the pattern for key 'bad' does not compile"),
    ('{"x": 1}', "the pattern for key 'x' must be a string, not int"),
    ('["LINUX_L2"]', "must be a JSON object of key to pattern, not list"),
    ('{"a": "x", "a": "y"}', "key 'a' appears twice"),
    ("{not json", "is not valid JSON"),
]


@pytest.mark.parametrize("content, message", BAD_TABLES, ids=[m.split()[-1] for _, m in BAD_TABLES])
def test_invalid_table_is_a_one_line_error_before_any_text_is_read(tmp_path, content, message):
    table = tmp_path / "t.json"
    table.write_text(content)
    # A missing input after a bad table: the table must be refused first.
    proc = cli(tmp_path, "--table", str(table), str(tmp_path / "missing.txt"))
    assert proc.returncode == 2
    err = proc.stderr.decode()
    assert err.count("\n") == 1 and message in err and "missing.txt" not in err
    assert proc.stdout == b""


def test_unreadable_table_file(tmp_path):
    proc = cli(tmp_path, "--table", str(tmp_path / "none.json"), example("garu.txt"))
    assert proc.returncode == 2
    assert proc.stderr.decode() == "python -m talvern.platformdetails: error: cannot read table %s: No such file or directory\n" % (
        tmp_path / "none.json")


@pytest.mark.parametrize("args", [["--bogus"], ["--explain", "x.txt"], ["--table"]])
def test_usage_errors(tmp_path, args):
    proc = cli(tmp_path, *args)
    assert proc.returncode == 2
    assert b"usage:" in proc.stderr and b"Traceback" not in proc.stderr


def test_help_describes_options_and_exit_statuses(tmp_path):
    proc = cli(tmp_path, "--help")
    assert proc.returncode == 0
    out = proc.stdout.decode()
    for word in ["--json", "--table", "--explain", "sorted", "exit status", "standard input"]:
        assert word in out


def test_console_script_is_installed(tmp_path):
    script = os.path.join(os.path.dirname(sys.executable), "talvern-platformdetails")
    proc = subprocess.run([script, "--json", example("prav-admin.txt")], stdout=subprocess.PIPE,
                          cwd=str(tmp_path), timeout=60)
    assert proc.returncode == 0
    (entry,) = json_lines(proc)
    assert entry["detectors"]["get_prav_details"]["result"] == "PRAV"
