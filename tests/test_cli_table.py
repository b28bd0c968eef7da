"""The command's pattern tables: --table classifies each text, --explain
shows the walk, and a table that cannot be used is refused up front."""
import json
import os
import resource

import pytest

from command import TABLE, cli, cli_process, example, json_lines


def test_table_classifies_and_explains(tmp_path):
    proc = cli(tmp_path, "--json", "--table", TABLE, "--explain",
               example("fesk-l2.txt"), example("tolm-chassis.txt"), example("unrelated.txt"), "nope.txt")
    assert proc.returncode == 2, proc.stderr
    fesk_l2, tolm, other, missing = json_lines(proc)
    # Every line has the same keys, even one for an input that cannot be read.
    assert set(missing) == set(other) and missing["table"] is None and missing["explain"] == []
    assert fesk_l2["table"] == {"key": "10-fesk-l2", "match": "LINUX_L2", "groups": [], "named": {}}
    assert tolm["table"] == {"key": "60-tolm", "match": "TOLM-12 Chassis", "groups": ["TOLM-12", None],
                             "named": {"chassis": "TOLM-12", "processor": None}}
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
    assert proc.stdout.decode().splitlines() == [
        "%s: FESK (get_garu_details)" % example("fesk.txt"),
        "  table  'a'   matched 'FESK'   groups ()",
        "  walk (sorted keys):",
        "    'a'  'FESK'        'FESK' ()   <- wins",
        "    'b'  'Linux Unix'  'Linux Unix' ()   <- also matches",
        "    'c'  'nothing'     no match",
    ]


def test_named_groups_are_reported_by_name_and_position(tmp_path):
    table = tmp_path / "t.json"
    table.write_text(json.dumps({"1-os": r"Kernel: (?P<os>\w+ Unix) (?P<release>[\d.]+)",
                                 "2-any": r"(Sol)(?P<rest>aris)"}))
    proc = cli(tmp_path, "--json", "--table", str(table), "--explain", example("garu.txt"))
    (entry,) = json_lines(proc)
    assert entry["table"] == {"key": "1-os", "match": "Kernel: Solaris Unix 5.11", "groups": ["Solaris Unix", "5.11"],
                              "named": {"os": "Solaris Unix", "release": "5.11"}}
    assert [step["named"] for step in entry["explain"]] == [{"os": "Solaris Unix", "release": "5.11"},
                                                            {"rest": "aris"}]
    proc = cli(tmp_path, "--table", str(table), example("garu.txt"))
    assert proc.stdout.decode().splitlines()[1] == (
        "  table  '1-os'   matched 'Kernel: Solaris Unix 5.11'   groups ('Solaris Unix', '5.11')"
        "   named os='Solaris Unix', release='5.11'")


BAD_TABLES = [
    ('{"ok": "a", "bad": "(unclosed"}', "the pattern for key 'bad' does not compile"),
    ('{"x": 1}', "the pattern for key 'x' must be a string, not int"),
    ('["LINUX_L2"]', "must be a JSON object of key to pattern, not list"),
    ('{"a": "x", "a": "y"}', "key 'a' appears twice"),
    ("{not json", "is not valid JSON"),
    ("[" * 100000, "is not valid JSON: nested too deeply"),
    ('{"a": ' * 100000, "is not valid JSON: nested too deeply"),
    (b"\xef\xbb\xbf{\"a\": \"\xff\"}", "is not UTF-8"),
]


@pytest.mark.parametrize("content, message", BAD_TABLES, ids=[m.split()[-1] for _, m in BAD_TABLES])
def test_invalid_table_is_a_one_line_error_before_any_text_is_read(tmp_path, content, message):
    table = tmp_path / "t.json"
    table.write_bytes(content if isinstance(content, bytes) else content.encode())
    # A missing input after a bad table: the table must be refused first.
    proc = cli(tmp_path, "--table", str(table), str(tmp_path / "missing.txt"))
    assert proc.returncode == 2
    err = proc.stderr.decode()
    assert err.count("\n") == 1 and message in err and "missing.txt" not in err and "Traceback" not in err
    assert proc.stdout == b""


@pytest.mark.parametrize("encoding", ["utf-8-sig", "utf-16", "utf-16-be", "utf-32"])
def test_table_with_a_byte_order_mark_is_read_as_inputs_are(tmp_path, encoding):
    text = json.dumps({"caf\u00e9": "Solaris Unix"}, ensure_ascii=False)
    data = text.encode(encoding)
    if encoding == "utf-16-be":
        data = b"\xfe\xff" + data  # Python writes no mark for an explicit byte order
    table = tmp_path / "t.json"
    table.write_bytes(data)
    proc = cli(tmp_path, "--csv", "--table", str(table), example("garu.txt"))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.decode().splitlines()[1].endswith(",caf\u00e9")


@pytest.mark.skipif(bool(os.environ.get("LD_PRELOAD")), reason="a sanitizer or valgrind reserves the address space")
def test_a_table_too_large_for_memory_is_a_one_line_error(tmp_path):
    # Under the 64M read limit, but whether reading or parsing runs out, one line.
    (tmp_path / "big.json").write_text('{"a": [' + "0," * (31 << 20) + "0]}")

    def small_address_space():
        resource.setrlimit(resource.RLIMIT_AS, (256 << 20, 256 << 20))
    proc = cli_process(tmp_path, "--table", "big.json", example("garu.txt"), preexec_fn=small_address_space)
    assert (proc.returncode, proc.stdout) == (2, b"")
    assert proc.stderr.decode() == ("python -m talvern.platformdetails: error: table big.json: out of memory"
                                    " while reading it\n")
