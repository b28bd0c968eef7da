"""The SSH config as the live mode uses it: what wins over what, side by
side with OpenSSH's ssh -G; a Host alias asked as ssh asks it; host keys
checked as usual whatever a config says; and every mistake of a config
said once, with its file and line, before any device is asked."""
import json
import os
import pathlib
import shutil
import socket
import subprocess
import time

import pytest

pytest.importorskip("asyncssh")

from live_fleet import port_of, serving  # noqa: E402
from ssh_emulator import Device, asyncssh  # noqa: E402

from talvern.platformdetails.live import Settings, connect  # noqa: E402
from talvern.platformdetails.live.routes import resolve, shown_hop  # noqa: E402
from talvern.platformdetails.live.sshconfig import parse_jump  # noqa: E402
from talvern.platformdetails.live.targets import parse_target  # noqa: E402

TEXT = (pathlib.Path(__file__).resolve().parent.parent / "examples" / "tolm-processor.txt").read_text()
PASSWORD = "config-pw-N0t-For-Any-Output"
SSH = shutil.which("ssh") or "/usr/bin/ssh"
KEYS = ("cli", "cli2", "cfg", "star", "matched")


@pytest.fixture
def home(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    monkeypatch.delenv("SSH_AUTH_SOCK", raising=False)
    (tmp_path / ".ssh").mkdir()
    for name in KEYS:
        asyncssh.generate_private_key("ssh-ed25519").write_private_key(str(tmp_path / name))
    return tmp_path


CONFIG = """Host edge-01
  HostName 10.0.0.1
  User cfg
  Port 2000
  IdentityFile {home}/cfg
  ProxyJump u1@j1:2201,j2
Match user cli
  IdentityFile {home}/matched
Host pc
  ProxyCommand nc %h %p
Host *
  User star
  IdentityFile {home}/star
"""
# (destination, --user as ssh -l, -i files as ssh -i, -J as ssh -J)
PRECEDENCE = [
    ("edge-01", None, (), None),
    ("tgt@edge-01", None, (), None),
    ("tgt@edge-01", "cli", (), None),  # -l wins over the target's user, and Match user sees it
    ("ssh://tgt@edge-01:4000", None, (), None),  # the target's port over the config's
    ("ssh://edge-01:22", None, (), None),  # a port 22 written is the target's own
    ("edge-01", None, ("cli", "cli2"), None),  # -i first, then the config's
    ("edge-01", None, (), "ops@[2001:db8::7]:2222,j3"),  # -J over ProxyJump
    ("edge-01", None, (), "none"),
    ("other", "cli", ("cli",), None),
    ("pc", None, (), "none"),  # -J none leaves ProxyCommand alone
    ("pc", None, (), "j3"),  # hops do not
]


def openssh(home, destination, user, keys, jump):
    args = ["-G", "-F", str(home / "config.ssh")] + (["-l", user] if user else [])
    args += [word for name in keys for word in ("-i", str(home / name))] + (["-J", jump] if jump else [])
    done = subprocess.run([SSH] + args + [destination], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=30)
    assert done.returncode == 0, done.stderr
    shown = {}
    for line in done.stdout.splitlines():
        key, _, value = line.partition(" ")
        shown.setdefault(key, []).append(value)
    hops = parse_jump(shown["proxyjump"][0], "ssh -G") if "proxyjump" in shown else None
    return {"host": shown["hostname"][0], "user": shown["user"][0], "port": int(shown["port"][0]),
            "keys": [os.path.basename(path) for path in shown["identityfile"]],
            "jump": [shown_hop(hop) for hop in hops or ()], "proxy command": "proxycommand" in shown}


def ours(home, destination, user, keys, jump):
    settings = Settings(user=user, keys=[str(home / name) for name in keys], agent=False, password="unused",
                        ssh_config=str(home / "config.ssh"), jump=jump, known_hosts=[])
    target = parse_target(destination, "target")
    route = resolve([target], settings, lambda message: None)[target]
    names = {bytes(asyncssh.read_private_key(str(home / name)).public_data): name for name in KEYS}
    hops, via = [], route.via
    while via is not None:
        hops.insert(0, via.name)
        via = via.via
    return {"host": route.host, "user": route.user, "port": route.port,
            "keys": [names[bytes(key.public_data)] for key in route.keys], "jump": hops,
            "proxy command": route.proxy_command is not None}


@pytest.mark.skipif(not os.access(SSH, os.X_OK), reason="needs OpenSSH's ssh")
@pytest.mark.parametrize("destination, user, keys, jump", PRECEDENCE)
def test_what_wins_is_what_ssh_takes(home, destination, user, keys, jump):
    (home / "config.ssh").write_text(CONFIG.format(home=home))
    assert ours(home, destination, user, keys, jump) == openssh(home, destination, user, keys, jump)


@pytest.fixture
def fleet(tmp_path):
    yield from serving(tmp_path, PASSWORD)


def config(fleet, text, name=".ssh/config"):
    path = fleet.home / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return path


def answers(proc):
    assert b"Traceback" not in proc.stderr, proc.stderr
    return {line["input"]: line["failure"] or "ok" for line in map(json.loads, proc.stdout.decode().splitlines())}


def test_a_host_alias_is_asked_as_ssh_asks_it(fleet, monkeypatch):
    real = socket.getaddrinfo

    def resolve_here(host, *args, **kwargs):  # no query leaves the machine
        if host in ("edge-01", "edge-02"):
            raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")
        return real(host, *args, **kwargs)
    monkeypatch.setattr(socket, "getaddrinfo", resolve_here)
    port = port_of(fleet.start(Device(TEXT)))
    os.rename(str(fleet.key_file), str(fleet.home / "lab-key"))
    alias = "Host edge-01\n  HostName 127.0.0.1\n  Port %d\n  User admin\n  IdentityFile ~/lab-key\n" % port
    config(fleet, alias)
    config(fleet, alias.replace("edge-01", "edge-02"), "other")
    assert answers(fleet.run("--json", "ssh://edge-01")) == {"ssh://edge-01": "ok"}  # ~/.ssh/config
    assert answers(fleet.run("--json", "-F", "~/other", "ssh://edge-02")) == {"ssh://edge-02": "ok"}
    assert fleet.run("-F", "~/other", "ssh://edge-01").returncode == 2  # only the file named
    os.rename(str(fleet.home / "lab-key"), str(fleet.key_file))
    unread = fleet.run("--json", "-F", "none", "ssh://edge-01")
    assert answers(unread) == {"ssh://edge-01": "dns"}


def test_no_config_weakens_host_key_checking(fleet):
    unknown = [fleet.start(Device(TEXT), known=False) for _ in range(2)]
    config(fleet, "Host 127.0.0.1\n  StrictHostKeyChecking no\n  UserKnownHostsFile /dev/null\n")
    proc = fleet.run("--json", *unknown)
    assert answers(proc) == {target: "host-key" for target in unknown}
    warned = [line for line in proc.stderr.decode().splitlines() if "not followed" in line]
    assert len(warned) == 1 and "UserKnownHostsFile /dev/null" in warned[0], proc.stderr
    assert "StrictHostKeyChecking no" in warned[0] and "checked as usual" in warned[0]


def test_accept_new_an_alias_and_the_configs_own_known_hosts(fleet):
    new = fleet.start(Device(TEXT), known=False)
    aliased = fleet.start(Device(TEXT), known=False)
    elsewhere = fleet.start(Device(TEXT), known=False)
    key = fleet.host.export_public_key().decode().strip()
    (fleet.home / ".ssh" / "known_hosts").write_text("lab-alias %s\n" % key)
    hashed = config(fleet, "[127.0.0.1]:%d %s\n" % (port_of(elsewhere), key), "kh/devices")
    subprocess.run(["ssh-keygen", "-q", "-H", "-f", str(hashed)], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=30)  # as Debian's HashKnownHosts yes writes it
    config(fleet, "Match host 127.0.0.1 exec \"test %%p = %d\"\n  StrictHostKeyChecking accept-new\n"
                  "Match host 127.0.0.1 exec \"test %%p = %d\"\n  HostKeyAlias Lab-Alias\n"
                  "Match host 127.0.0.1 exec \"test %%p = %d\"\n  UserKnownHostsFile ~/kh/devices\n"
                  % (port_of(new), port_of(aliased), port_of(elsewhere)))
    proc = fleet.run("--json", new, aliased, elsewhere)
    assert answers(proc) == {new: "ok", aliased: "ok", elsewhere: "ok"}, proc.stderr
    own = fleet.home / "config" / "talvern-platformdetails" / "known_hosts"
    assert own.read_text().startswith("[127.0.0.1]:%d " % port_of(new))
    assert fleet.run(new).returncode == 0  # recorded: known from now on


@pytest.mark.parametrize("text, line, why", [
    ("Host *\n  Port 0\n", 2, "bad port"),
    ("Host 127.0.0.1\n  HostName %h.%z\n", 2, "no token"),  # found only when the host is looked up
    ("Host 127.0.0.1\n  ProxyJump a,,b\n", 2, "bad ProxyJump"),
])
def test_a_config_mistake_is_one_line_before_any_device_is_asked(fleet, text, line, why):
    device = fleet.start(Device(TEXT))
    path = config(fleet, text, "bad.conf")
    proc = fleet.run("-F", path, device, device.replace("admin@", "ops@"))
    errors = proc.stderr.decode().splitlines()
    assert (proc.returncode, proc.stdout, len(errors)) == (2, b"", 1), errors
    assert errors[0].startswith("%s: error: %s:%d: " % ("python -m talvern.platformdetails", path, line))
    assert why in errors[0] and fleet.connections(device)[0] == 0


def test_asyncssh_never_reads_a_config_of_its_own(fleet, monkeypatch):
    """asyncssh would turn host-key checking off for UserKnownHostsFile none."""
    seen = []
    real = connect.asyncssh.create_connection

    def noted(*args, **kwargs):
        seen.append(kwargs.get("config", "not given"))
        return real(*args, **kwargs)
    monkeypatch.setattr(connect.asyncssh, "create_connection", noted)
    jump = fleet.start(Device("", kind="jump"))
    proc = fleet.run("--json", "--jobs", "1", "-J", jump[len("ssh://"):], fleet.start(Device(TEXT)), here=True)
    assert proc.returncode == 0 and seen == [None, None], (seen, proc.stderr)


@pytest.mark.skipif(not (shutil.which("ssh-agent") and shutil.which("ssh-add")), reason="needs OpenSSH's agent")
def test_identities_only_keeps_the_agent_to_the_configs_keys(fleet, tmp_path):
    device = fleet.start(Device(TEXT))
    sock = tmp_path / "agent.sock"
    agent = subprocess.Popen(["ssh-agent", "-D", "-a", str(sock)], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    try:
        for _ in range(200):  # its socket, within 10 s
            if sock.exists() or agent.poll() is not None:
                break
            time.sleep(0.05)
        subprocess.run(["ssh-add", "-q", str(fleet.key_file)], env=dict(os.environ, SSH_AUTH_SOCK=str(sock)),
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        os.unlink(str(fleet.key_file))  # the device's key is the agent's alone now
        asyncssh.generate_private_key("ssh-ed25519").write_private_key(str(fleet.home / "other"))
        env = {"SSH_AUTH_SOCK": str(sock)}
        found = {}
        for only in ("no", "yes"):
            config(fleet, "Host 127.0.0.1\n  IdentityFile ~/other\n  IdentitiesOnly %s\n" % only)
            found[only] = answers(fleet.run("--json", device, env=env))[device]
    finally:
        agent.terminate()
        agent.wait(30)
    assert found == {"no": "ok", "yes": "auth"}
