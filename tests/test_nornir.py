"""The Nornir integration against emulated devices on 127.0.0.1: a task per
host in Nornir's own runner, and every host in one pass of the live mode,
each host's platform set from what its device printed."""
import os
import pathlib

import pytest

pytest.importorskip("asyncssh")
pytestmark = pytest.mark.skipif(bool(os.environ.get("FDEF_UNDER_VALGRIND")),
                                reason="pure Python over the module; asyncssh's handshakes under valgrind take minutes")
pytest.importorskip("nornir")

from live_fleet import serving  # noqa: E402
from ssh_emulator import Device  # noqa: E402

from nornir.core import Nornir  # noqa: E402
from nornir.core.inventory import ConnectionOptions, Defaults, Groups, Host, Hosts, Inventory  # noqa: E402
from nornir.core.task import AggregatedResult  # noqa: E402

from talvern.platformdetails.nornir import detect_platform, fill_platforms  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
TEXTS = {name: (EXAMPLES / name).read_text() for name in ("tolm-processor.txt", "garu.txt", "unrelated.txt")}
PASSWORD = "nornir-pw-N0t-For-Any-Output"
PLATFORMS = {"TOLM3400": "tolm-3400", "garu": "garu-os"}  # a model, and a family


@pytest.fixture
def fleet(tmp_path, monkeypatch):
    yield from serving(tmp_path, PASSWORD, monkeypatch)


def inventory(fleet):
    """Four hosts: two recognised (one logging in with its own password), one
    not, and one whose device refuses connections."""
    devices = {"edge-01": Device(TEXTS["tolm-processor.txt"]),
               "core-02": Device(TEXTS["garu.txt"], auth="password"),
               "lab-03": Device(TEXTS["unrelated.txt"])}
    hosts = {}
    for name, device in devices.items():
        port = int(fleet.start(device).rsplit(":", 1)[1])
        options = {"talvern_platformdetails": ConnectionOptions(password=PASSWORD)} if name == "core-02" else {}
        hosts[name] = Host(name, hostname="127.0.0.1", port=port, username="admin", connection_options=options)
    hosts["gone-04"] = Host("gone-04", hostname="127.0.0.1", port=1, username="admin")
    from nornir.plugins.runners import ThreadedRunner

    return Nornir(inventory=Inventory(hosts=Hosts(hosts), groups=Groups(), defaults=Defaults()),
                  runner=ThreadedRunner())  # Nornir's default: 20 threads


def check(nr, result):
    assert isinstance(result, AggregatedResult) and sorted(result) == sorted(nr.inventory.hosts)
    said = {name: (multi[0].failed, multi[0].result.failure, multi[0].changed) for name, multi in result.items()}
    assert said == {"edge-01": (False, None, True), "core-02": (False, None, True), "lab-03": (False, None, False),
                    "gone-04": (True, "refused", False)}
    assert {name: host.platform for name, host in nr.inventory.hosts.items()} == {
        "edge-01": "tolm-3400", "core-02": "garu-os", "lab-03": None, "gone-04": None}
    assert result["lab-03"][0].result.model is None  # an explicit "not recognised"


def test_a_task_per_host_in_nornirs_runner(fleet):
    nr = inventory(fleet)
    check(nr, nr.run(task=detect_platform, platforms=PLATFORMS, timeout=10))


def test_every_host_in_one_pass(fleet, capsys):
    from nornir_utils.plugins.functions import print_result

    nr = inventory(fleet)
    result = fill_platforms(nr, platforms=PLATFORMS, timeout=10, jobs=2)
    check(nr, result)
    print_result(result)
    shown = capsys.readouterr().out
    assert "TOLM3400" in shown and "refused" in shown and PASSWORD not in shown
