"""Devices behind jump hosts, as the command reaches them: -J, ProxyJump
and an inventory's jump column; one connection per jump host per worker
process; several hops chained; every way a hop fails; a ProxyCommand (the
real OpenSSH client's ssh -W among them); and each device's own key and
password from a CSV inventory."""
import json
import os
import pathlib
import shutil
import time

import pytest

pytest.importorskip("asyncssh")

from live_fleet import port_of, serving  # noqa: E402
from ssh_emulator import Device, asyncssh  # noqa: E402

from talvern.platformdetails.live import credentials  # noqa: E402

TEXT = (pathlib.Path(__file__).resolve().parent.parent / "examples" / "garu.txt").read_text()
PASSWORD = "jump-pw-N0t-For-Any-Output"
SSH = shutil.which("ssh") or "/usr/bin/ssh"


@pytest.fixture
def fleet(tmp_path):
    yield from serving(tmp_path, PASSWORD)


def hop(target):
    """A jump host's -J form."""
    return target[len("ssh://"):]


def said(proc):
    """Each answer's target and failure ("ok" for none), from --json."""
    assert b"Traceback" not in proc.stderr, proc.stderr
    return {line["input"]: line["failure"] or "ok" for line in map(json.loads, proc.stdout.decode().splitlines())}


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return path


def all_closed(fleet, target):
    """Whether the jump host's connections all end (waited for a bounded while)."""
    for _ in range(100):
        if fleet.connections(target)[1] == 0:
            return True
        time.sleep(0.05)
    return False


@pytest.mark.parametrize("given", ["-J", "ProxyJump", "jump column"])
@pytest.mark.parametrize("jobs", [1, 2])
def test_one_connection_per_jump_host_per_worker_carries_every_device(fleet, tmp_path, given, jobs):
    jump = fleet.start(Device("", kind="jump"))
    devices = [fleet.start(Device(TEXT)) for _ in range(5)]
    args = ["--json", "--jobs", str(jobs), "--concurrency", "5"]
    if given == "-J":
        args += ["-J", hop(jump)] + devices
    elif given == "ProxyJump":
        write(fleet.home / ".ssh" / "config", "Host dev\n  HostName 127.0.0.1\n  ProxyJump %s\n" % hop(jump))
        devices = [device.replace("127.0.0.1", "dev") for device in devices]
        args += devices
    else:
        rows = "".join("%s,%s\n" % (hop(device), hop(jump)) for device in devices)
        args += ["--inventory", write(tmp_path / "devices.csv", "host,jump\n" + rows)]
    proc = fleet.run(*args)
    assert (proc.returncode, said(proc)) == (0, {device: "ok" for device in devices}), proc.stderr
    assert fleet.connections(jump)[0] == jobs  # five devices at once waited for the one opening
    assert all_closed(fleet, jump)


def test_several_hops_each_over_the_one_before(fleet):
    """The device is known only to the second hop, which only the first
    reaches: answered only when both are gone through, in order (a chain
    that stopped at its first hop could not reach it)."""
    device = fleet.start(Device(TEXT), known=False)
    second = fleet.start(Device("", kind="jump", forwards={"edge.lab": port_of(device)}), known=False)
    first = fleet.start(Device("", kind="jump", forwards={"hop2.lab": port_of(second)}))
    key = fleet.host.export_public_key().decode().strip()
    with (fleet.home / ".ssh" / "known_hosts").open("a") as stream:
        stream.write("hop2.lab %s\nedge.lab %s\n" % (key, key))
    by_hand = fleet.run("--json", "-J", "%s,admin@hop2.lab" % hop(first), "ssh://admin@edge.lab")
    # The same chain from the config, a ProxyJump of a jump host's own.
    write(fleet.home / ".ssh" / "config", "Host edge.lab\n  ProxyJump admin@second\nHost second\n"
                                          "  HostName hop2.lab\n  ProxyJump %s\n" % hop(first))
    from_config = fleet.run("--json", "ssh://admin@edge.lab")
    for proc in (by_hand, from_config):
        assert said(proc) == {"ssh://admin@edge.lab": "ok"}, proc.stderr
    assert fleet.connections(first)[0] == fleet.connections(second)[0] == 2


def jump_failures(fleet):
    """(the jump host's target, -J, the device, the class, words of the reason)."""
    device = fleet.start(Device(TEXT))
    unknown = fleet.start(Device("", kind="jump"), known=False)
    changed = fleet.start(Device("", kind="jump"), known=asyncssh.generate_private_key("ssh-ed25519"))
    denies = fleet.start(Device("", kind="jump", auth="deny"))
    refuses = fleet.start(Device("", kind="jump-refuses"))
    silent = fleet.start(Device("", kind="no-banner"))
    jump = fleet.start(Device("", kind="jump"))
    return [
        (hop(unknown), device, "jump", "jump host %s: host-key: unknown host" % hop(unknown)),
        (hop(changed), device, "jump", "jump host %s: host-key: HOST KEY CHANGED" % hop(changed)),
        (hop(denies), device, "jump", "jump host %s: auth: the jump host refused every credential" % hop(denies)),
        (hop(refuses), device, "jump", "jump host %s refused to forward to 127.0.0.1" % hop(refuses)),
        ("admin@127.0.0.1:1", device, "jump", "jump host admin@127.0.0.1:1: refused: nothing accepts"),
        (hop(silent), device, "jump", "jump host %s" % hop(silent)),
        # The jump host is fine; the device is not there, or has no address there.
        (hop(jump), "ssh://127.0.0.1:1", "refused", "jump host %s cannot connect to 127.0.0.1:1" % hop(jump)),
        (hop(jump), "ssh://edge.invalid", "dns", "jump host %s cannot connect to edge.invalid:22" % hop(jump)),
    ]


def test_a_jump_host_that_fails_is_a_jump_failure_naming_it(fleet):
    cases = jump_failures(fleet)
    for jump, device, kind, words in cases:
        proc = fleet.run("--json", "--timeout", "3", "-J", jump, device)
        failure = json.loads(proc.stdout)
        assert (proc.returncode, failure["failure"]) == (2, kind), (jump, failure)
        assert words in failure["error"] and "\n" not in failure["error"], failure["error"]
        assert PASSWORD not in failure["error"]
        if "HOST KEY CHANGED" in words:  # said again at the end, as for a device's own key
            assert "WARNING: THE HOST KEY CHANGED for 1 device(s)" in proc.stderr.decode().splitlines()[-1]


def test_connect_timeout_bounds_reaching_the_device_through_its_jump_host(fleet):
    jump = fleet.start(Device("", kind="jump", delay=30))
    device = fleet.start(Device(TEXT))
    write(fleet.home / ".ssh" / "config", "Host 127.0.0.1\n  ConnectTimeout 1\n")
    proc = fleet.run("--json", "--timeout", "20", "-J", hop(jump), device)
    failure = json.loads(proc.stdout)
    assert failure["failure"] == "timeout", failure
    assert "no connection to 127.0.0.1:%d through jump host %s within 1 s" % (port_of(device), hop(jump)) \
        in failure["error"]


def test_a_jump_host_that_drops_is_opened_again(fleet):
    jump = fleet.start(Device("", kind="jump-drops"))
    devices = [fleet.start(Device(TEXT)) for _ in range(3)]
    proc = fleet.run("--json", "--jobs", "1", "--concurrency", "1", "-J", hop(jump), *devices)
    assert said(proc) == {device: "ok" for device in devices}, proc.stderr
    assert fleet.connections(jump)[0] == 3  # it dropped after each device


@pytest.mark.skipif(not os.access(SSH, os.X_OK), reason="needs OpenSSH's ssh")
def test_a_proxycommand_is_run_as_ssh_runs_it(fleet):
    """OpenSSH's own client as the ProxyCommand, through a jump host; and
    one that fails says so in its own words."""
    jump = fleet.start(Device("", kind="jump"))
    device = fleet.start(Device(TEXT))
    known = fleet.home / ".ssh" / "known_hosts"
    through = ("ssh -F none -i %s -o IdentitiesOnly=yes -o BatchMode=yes -o UserKnownHostsFile=%s -o"
               " GlobalKnownHostsFile=/dev/null -o StrictHostKeyChecking=yes -p %d -W %%h:%%p admin@127.0.0.1"
               % (fleet.key_file, known, port_of(jump)))
    write(fleet.home / ".ssh" / "config",
          "Host edge-01\n  HostName 127.0.0.1\n  Port %d\n  User admin\n  ProxyCommand %s\n"
          "Host edge-02\n  ProxyCommand sh -c 'echo \"no route to %%h\" >&2; exit 3'\n" % (port_of(device), through))
    proc = fleet.run("--json", "ssh://edge-01", "ssh://edge-02")
    assert said(proc) == {"ssh://edge-01": "ok", "ssh://edge-02": "jump"}, proc.stderr
    assert fleet.connections(jump)[0] == 1
    reason = [json.loads(line)["error"] for line in proc.stdout.decode().splitlines()
              if json.loads(line)["input"] == "ssh://edge-02"][0]
    assert "ProxyCommand" in reason and "no route to edge-02 (it ended with status 3)" in reason, reason


def test_each_devices_own_key_and_password_from_the_inventory(fleet, tmp_path, monkeypatch):
    """Keys are loaded once per run, in the command before it forks its
    workers; a device's own password is given to it alone and never shown."""
    keyed = [fleet.start(Device(TEXT)) for _ in range(3)]
    locked = fleet.start(Device(TEXT, auth="password"))
    without = fleet.start(Device(TEXT, auth="password"))
    mine = fleet.home / "lab" / "key"
    mine.parent.mkdir()
    os.rename(str(fleet.key_file), str(mine))
    loads = tmp_path / "loads"
    real = credentials.asyncssh.load_keypairs

    def noted(*args, **kwargs):
        with loads.open("a") as stream:
            stream.write("%d\n" % os.getpid())
        return real(*args, **kwargs)
    monkeypatch.setattr(credentials.asyncssh, "load_keypairs", noted)
    rows = "".join("%s,~/lab/key,\n" % hop(target) for target in keyed) + "%s,,DEV_PW\n" % hop(locked)
    inventory = write(tmp_path / "devices.csv", "host,identity,password_env\n" + rows)
    proc = fleet.run("--json", "--jobs", "2", "--inventory", inventory, env={"DEV_PW": PASSWORD}, here=True)
    assert said(proc) == dict({target: "ok" for target in keyed}, **{locked: "ok"}), proc.stderr
    assert loads.read_text().splitlines() == [str(os.getpid())]
    # A device of no credential at all, and a password missing, are said before any is asked.
    again = fleet.run("--inventory", inventory, without, env={"DEV_PW": PASSWORD})
    assert (again.returncode, again.stdout) == (2, b"")
    assert b"no credentials for %s: no SSH agent" % without.encode() in again.stderr
    missing = fleet.run("--inventory", inventory, env={})
    assert missing.returncode == 2 and missing.stdout == b""
    assert b"no environment variable DEV_PW is set" in missing.stderr
    for ran in (proc, again, missing):
        assert PASSWORD.encode() not in ran.stdout + ran.stderr


def test_the_jump_hosts_own_login_is_its_own(fleet, tmp_path):
    """As ssh -J: a jump host is offered its own IdentityFile and the run's
    password, not the keys of -i nor a device's own password."""
    jump = fleet.start(Device("", kind="jump"))
    device = fleet.start(Device(TEXT))
    named = tmp_path / "named"
    os.rename(str(fleet.key_file), str(named))
    refused = fleet.run("--json", "-i", named, "-J", hop(jump), device)
    assert (refused.returncode, refused.stdout) == (2, b"")
    assert b"no credentials for %s" % hop(jump).encode() in refused.stderr
    write(fleet.home / ".ssh" / "config", "Host 127.0.0.1\n  IdentityFile %s\n" % named)
    assert said(fleet.run("--json", "-J", hop(jump), device)) == {device: "ok"}
