"""The SSH client configuration read side by side with OpenSSH's ssh: its
-G prints the effective configuration, and -v the paths and the proxy
command it expands at connect time (run here with a proxy that ends at once,
so that nothing is reached). Every field must agree, and the errors name
their file and line where ssh refuses the same files."""
import os
import pwd
import re
import shutil
import subprocess

import pytest

pytest.importorskip("asyncssh")  # the live package's __init__ needs it, though this module does not

from talvern.platformdetails.live.sshconfig import ConfigError, load  # noqa: E402

SSH = shutil.which("ssh") or "/usr/bin/ssh"
pytestmark = pytest.mark.skipif(not os.access(SSH, os.X_OK), reason="needs OpenSSH's ssh")
ACCOUNT = pwd.getpwuid(os.getuid())
STRICT = {"true": "yes", "false": "no", "ask": "ask", "accept-new": "accept-new"}
KNOWN_HOSTS = [ACCOUNT.pw_dir + "/.ssh/known_hosts", ACCOUNT.pw_dir + "/.ssh/known_hosts2"]  # ssh's defaults


def chain(length):
    """Files 1 to length, each including the next: the last is that many Includes deep."""
    return {str(n): "Include {dir}/%d\n" % (n + 1) if n < length else "User deep\n" for n in range(1, length + 1)}


JUMPS = """Host edge-*
  ProxyJump u1@j1:2201,j2,ops@[2001:db8::7]:2222
Host uri
  ProxyJump ssh://joe@bastion.example:2022
Host tokens
  ProxyJump %r@jump-%h:2200
Host loop-free
  ProxyJump NONE
Host *
  ProxyCommand true %h %p %r %n %k %%
"""
# (files, host, user, port): "config" is read as ssh -F reads it; without
# it, home/.ssh/config and ssh_config are the user's and the system's files.
CASES = [
    ({"config": "Host edge-01\n  HostName 10.0.0.1\n  User admin\n  Port 2222\n"}, "edge-01", None, None),
    ({"config": "Host edge-*\n  HostName %h.mgmt.example\n  User ops\nHost *\n  User nobody\n  Port 2200\n"},
     "edge-07", None, None),
    ({"config": "Host edge-*\n  HostName %h.mgmt.example\nHost *\n  User nobody\n"}, "core-1", None, None),
    ({"config": "Host * !edge-99\n  User a\nHost r? s*x\n  Port 2001\n"}, "edge-99", None, None),
    ({"config": "Host * !edge-99\n  User a\nHost r? s*x\n  Port 2001\n"}, "r1", None, None),
    ({"config": "Host * !edge-99\n  User a\nHost r? s*x\n  Port 2001\n"}, "s-box", None, None),
    ({"config": "Host edge-01\n  User lower\nHost EDGE-01\n  User upper\nMatch host edge-01\n  Port 2001\n"},
     "EDGE-01", None, None),
    ({"config": "Host edge-*\n  Port 2001\nHost edge-01\n  Port 2002\n  User named\nHost *\n  User generic\n"},
     "edge-01", None, None),
    ({"config": "Host edge-01\n  Port 2002\nHost edge-*\n  Port 2001\n  User wild\nHost edge-01 edge-02\n  User n\n"},
     "edge-02", None, None),
    ({"config": "Host *\n  User cfg\n  Port 2001\nMatch user cli\n  IdentityFile /k/cli\n"}, "a", "cli", 2022),
    ({"config": "Host a\n  User deploy\nMatch user deploy\n  IdentityFile /k/deploy\nMatch !user deploy\n"
               "  IdentityFile /k/other\n"}, "a", None, None),
    ({"config": "Match localuser %s\n  User local\nMatch !localuser %s\n  Port 9\n" % ((ACCOUNT.pw_name,) * 2)},
     "a", None, None),
    ({"config": "Host short\n  HostName Long.Example\nMatch host long.*\n  User viahost\nMatch originalhost SHORT\n"
               "  Port 2201\nMatch originalhost long.*\n  Port 2202\n"}, "short", None, None),
    ({"config": "Match host *.nomatch\n  User wrong\nMatch !originalhost a* user r*\n  Port 9\n"}, "a", None, None),
    ({"config": "Match all\n  User everyone\nMatch !all\n  Port 9\n"}, "a", None, None),
    ({"config": "Host short\n  HostName final.example\nMatch final host final.example\n  User f\n"
               "Host final.example\n  Port 2300\nMatch !final\n  IdentityFile /k/first\nMatch canonical\n"
               "  IdentityFile /k/second\n  IdentityFile /k/first\n"}, "short", None, None),
    ({"config": "CanonicalizeHostname yes\nProxyCommand true\nHost short\n  HostName a.b.example\n"
               "Host a.b.example\n  User second\n"}, "short", None, None),
    ({"config": 'Match exec "test %h = edge-01 && test %n = edge-01"\n  User exec\n'
               'Match host nothing exec "kill -9 $$"\n  Port 9\nMatch exec false\n  Port 8\n'}, "edge-01", None, None),
    ({"config": 'Host short\n  HostName long.example\nMatch exec "test %k = long.example"\n  User k-is-the-host\n'
               'Host *\n  HostKeyAlias Later\nMatch exec "test %k = Later"\n  Port 2001\n'}, "short", None, None),
    ({"config": "Host v6\n  HostName FE80:0:0::1\nMatch final host fe80::1\n  User canonical\n"}, "v6", None, None),
    ({"config": "Host *\n  HostName %h.x\n  User u\n  Port 2222\n  HostKeyAlias Alias-%h\n"
               "  IdentityFile ~/.ssh/id_%h_%r_%u_%p_%n\n  IdentityFile %d/k/%l/%L/%i/%k/%%\n"
               "  IdentityFile /k/%C\n  IdentityFile ~\n  IdentityFile ~//k\n  IdentityFile ${TALVERN_KEYS}/x\n"},
     "EDGE", None, None),
    ({"config": "Host a\n  IdentityFile /k/1\n  IdentityFile /k/2\nHost *\n  IdentityFile /k/1\n  IdentityFile /k/3\n"
               "  IdentitiesOnly yes\n"}, "a", None, None),
    ({"config": "Host a\n  IdentityFile none\nHost *\n  IdentityFile NONE\n  IdentitiesOnly no\n"}, "a", None, None),
    ({"config": "Host a\n  IdentityFile none\n  IdentityFile /k/only\n"}, "a", None, None),
    ({"config": "Host a\n  UserKnownHostsFile ~/kh/%h %d/kh2 /kh/%k\n  HostKeyAlias Key-A\nHost *\n"
               "  UserKnownHostsFile /later\n"}, "a", None, None),
    ({"config": "Host a\n  UserKnownHostsFile none\nHost *\n  UserKnownHostsFile /later\n"}, "a", None, None),
    ({"config": JUMPS}, "edge-01", "me", None),
    ({"config": JUMPS}, "uri", None, None),
    ({"config": JUMPS}, "tokens", "ops", 2022),
    ({"config": JUMPS}, "loop-free", None, None),
    ({"config": JUMPS}, "other", "me", 2022),
    ({"config": "Host a\n  ProxyCommand none\nHost *\n  ProxyCommand true\n  ProxyJump j\n"}, "a", None, None),
    ({"config": "Host a\n  ProxyCommand true 'quoted %h' # kept\n  ProxyJump j\n"}, "a", None, None),
    ({"config": "Host a\n  ConnectTimeout none\nHost *\n  ConnectTimeout 1m30s\n  StrictHostKeyChecking off\n"},
     "a", None, None),
    ({"config": "StrictHostKeyChecking Accept-New\nConnectTimeout 5\n"}, "a", None, None),
    ({"config": "Include {dir}/inc/*.conf\nIdentityFile /k/after\nHost b\n  Include {dir}/never\nHost *\n  Port 2001\n",
      "never": "User never\n", "inc/b.conf": "Match host a\n  User second\nHost nothing\n  Port 9\n",
      "inc/a.conf": "User first\nHost nothing\n  Port 9\n", "inc/.hidden.conf": "User hidden\n"}, "a", None, None),
    (dict(chain(16), config="Include {dir}/1\n"), "a", None, None),
    ({"config": "Include nested\n", "home/.ssh/nested": "Host a\n  Include deeper\n", "home/.ssh/deeper": "User d\n"},
     "a", None, None),
    ({"config": 'HOSTNAME=h.example\n\tuser = "quoted name"\r\n  Port\t= 2001 # a comment\n# Port 9\n'
               '"IdentityFile" "/k/with space" \n\nIdentityFile /k/a\\ b\n'}, "a", None, None),
    ({"home/.ssh/config": "Host a\n  User mine\n  IdentityFile /k/user\n",
      "ssh_config": "Host *\n  User system\n  Port 2001\n  IdentityFile /k/system\n"}, "a", None, None),
    ({"home/.ssh/config": "Host b\n  User mine\n", "ssh_config": "Host *\n  User system\n"}, "a", None, None),
]


def write(tmp_path, files):
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text.replace("{dir}", str(tmp_path)))


def openssh(tmp_path, config, host, user, port, home):
    """ssh's effective values for host, in the form of ours: None where ssh has its defaults."""
    fake = tmp_path / "ssh-ends-at-once"  # run for a ProxyJump's hop instead of ssh
    fake.write_text("#!/bin/sh\nexit 0\n")
    fake.chmod(0o755)
    args = ["-F", str(config)] + (["-l", user] if user else []) + (["-p", str(port)] if port else []) + [host]
    env = dict(os.environ, HOME=home, TALVERN_KEYS="/keys")
    done = subprocess.run([SSH, "-G"] + args, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=30)
    assert done.returncode == 0, done.stderr
    shown = {}
    for line in done.stdout.splitlines():
        key, _, value = line.partition(" ")
        shown.setdefault(key, []).append(value)
    proxy = [] if "proxycommand" in shown or "proxyjump" in shown else ["-o", "ProxyCommand=true"]
    connect = subprocess.run([str(fake), "-v"] + proxy + args, executable=SSH, env=env, stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=30)
    ids = re.findall(r"^debug1: identity file (.*) type -?\d+$", connect.stderr, re.M)
    command = re.findall(r"^debug1: Executing proxy command: exec (.*)$", connect.stderr, re.M)
    known = shown["userknownhostsfile"][0].split(" ")
    return {"hostname": shown["hostname"][0], "user": shown["user"][0], "port": int(shown["port"][0]),
            "ids": None if all(name.startswith("~/.ssh/id_") for name in shown["identityfile"]) else
            [name for i, name in enumerate(ids) if not (i and name == ids[i - 1] + "-cert")],
            "identitiesonly": shown["identitiesonly"][0] == "yes",
            "command": command[0] if command and not proxy else None,
            "known": None if known == KNOWN_HOSTS else [] if known == ["none"] else known,
            "alias": shown.get("hostkeyalias", [None])[0], "strict": STRICT[shown["stricthostkeychecking"][0]],
            "timeout": None if shown["connecttimeout"] == ["none"] else int(shown["connecttimeout"][0])}


def ours_as_openssh(ours, tmp_path, config, host):
    hostname, user, port = ours.hostname or host.lower(), ours.user or ACCOUNT.pw_name, ours.port or 22
    command = ours.proxy_command
    if ours.proxy_jump:
        assert command is None  # ssh has one or the other
        *extra, last = ours.proxy_jump
        command = "%s%s%s%s -F %s -v -W '[%s]:%d' %s" % (
            tmp_path / "ssh-ends-at-once", " -l " + last.user if last.user else "",
            " -p %d" % last.port if last.port else "", " -J " + ",".join(map(shown_hop, extra)) if extra else "",
            config, hostname, port, last.host)
    return {"hostname": hostname, "user": user, "port": port,
            "ids": None if ours.identity_files is None else list(ours.identity_files),
            "identitiesonly": bool(ours.identities_only), "command": command,
            "known": None if ours.user_known_hosts_files is None else list(ours.user_known_hosts_files),
            "alias": ours.host_key_alias, "strict": ours.strict_host_key_checking or "ask",
            "timeout": ours.connect_timeout}


def shown_hop(hop):
    host = "[%s]" % hop.host if ":" in hop.host else hop.host
    return (hop.user + "@" if hop.user else "") + host + (":%d" % hop.port if hop.port else "")


def configured(tmp_path, monkeypatch, files):
    """Our configuration and the file ssh -F reads for the same: the user's
    and the system's files are read by ssh through one that includes both."""
    write(tmp_path, files)
    home = str(tmp_path / "home") if any(name.startswith("home/") for name in files) else ACCOUNT.pw_dir
    monkeypatch.setenv("HOME", home)
    monkeypatch.setenv("TALVERN_KEYS", "/keys")
    if "config" in files:
        return load(str(tmp_path / "config")), tmp_path / "config", home
    both = tmp_path / "both"
    both.write_text("Include %s/home/.ssh/config\nInclude %s/ssh_config\n" % (tmp_path, tmp_path))
    return load(None, system_file=str(tmp_path / "ssh_config")), both, home


@pytest.mark.parametrize("files, host, user, port", CASES)
def test_lookup_agrees_with_openssh(tmp_path, monkeypatch, files, host, user, port):
    config, for_ssh, home = configured(tmp_path, monkeypatch, files)
    ours = config.lookup(host, user, port)
    assert ours_as_openssh(ours, tmp_path, for_ssh, host) == openssh(tmp_path, for_ssh, host, user, port, home)
    assert config.lookup(host, user, port) == ours  # a second lookup of the same host is the same


def test_missing_default_files_are_no_configuration(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    for config in (load(None, system_file=str(tmp_path / "absent")), load("none"), load("NONE")):
        assert set(config.lookup("a")) == {None}


# (files, the file and line named, words of the reason): ssh refuses each as well,
# or did before the release TAKEN_SINCE names.
ERRORS = [
    ({"config": "Host a\n  HostName\n"}, "config", 2, "without its argument"),
    ({"config": "Host a\n  HostName a b\n"}, "config", 2, "one argument"),
    ({"config": 'Host a\n  User "open\n'}, "config", 2, "quote"),
    ({"config": "Port 0\n"}, "config", 1, "bad port"),
    ({"config": "Host *\nPort 65536\n"}, "config", 2, "bad port"),
    ({"config": "ConnectTimeout 5x\n"}, "config", 1, "bad time"),
    ({"config": "StrictHostKeyChecking maybe\n"}, "config", 1, "cannot be"),
    ({"config": "Match tagged x\n"}, "config", 1, "Match tagged is not supported"),
    ({"config": "Match host\n"}, "config", 1, "without its argument"),
    ({"config": "Match all host x\n"}, "config", 1, "cannot be combined"),
    ({"config": "Match # nothing\n"}, "config", 1, "without a criterion"),
    ({"config": "UserKnownHostsFile /a none\n"}, "config", 1, "none with other"),
    ({"config": "ProxyJump a,,b\n"}, "config", 1, "bad ProxyJump"),
    ({"config": "ProxyJump a:0\n"}, "config", 1, "bad ProxyJump"),
    ({"config": "Host b\n  Include {dir}/inc\n", "inc": "Host x\n  Port\n"}, "inc", 2, "without its argument"),
    ({"config": "\nInclude {dir}/config\n"}, "config", 2, "nested more than 16 deep"),
    (dict(chain(17), config="Include {dir}/1\n"), "16", 1, "nested more than 16 deep"),
    ({"config": "Include {dir}/writable\n", "writable": ""}, "config", 1, "bad owner or permissions"),
]


# What ssh from this release on reads, and we refuse rather than misread.
TAKEN_SINCE = {"Match tagged is not supported": (9, 4)}


def openssh_release():
    said = subprocess.run([SSH, "-V"], stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30).stderr
    return tuple(int(part) for part in re.match(r"OpenSSH_(\d+)\.(\d+)", said).groups())


@pytest.mark.parametrize("files, name, line, why", ERRORS)
def test_errors_name_their_file_and_line(tmp_path, monkeypatch, files, name, line, why):
    write(tmp_path, files)
    if "writable" in files:
        (tmp_path / "writable").chmod(0o666)
    with pytest.raises(ConfigError) as caught:
        load(str(tmp_path / "config"))
    assert str(caught.value).startswith("%s:%d: " % (tmp_path / name, line)) and why in str(caught.value)
    assert "\n" not in str(caught.value)
    if why in TAKEN_SINCE and openssh_release() >= TAKEN_SINCE[why]:
        return
    said = refused_by_openssh(tmp_path, "a")
    assert set(re.findall(r"line (\d+)", said)) <= {str(line)}, said


# (config, host, line): errors only a lookup can find, as only ssh's use of the value does.
LOOKUP_ERRORS = [
    ("Host a\n  HostName %h.%p\n", "a", 2),
    ("Host *\n  UserKnownHostsFile /kh/%z\n", "a", 2),
    ("Host *\n  IdentityFile /k/${TALVERN_NOT_SET}\n", "a", 2),
    ("Host *\n  IdentityFile /k/%\n", "a", 2),
    ("Host *\n  ProxyJump b\n", "b", 2),
    ('Match exec "kill -9 $$"\n  User u\n', "a", 1),
]


@pytest.mark.parametrize("text, host, line", LOOKUP_ERRORS)
def test_lookup_errors_name_the_line_that_set_the_value(tmp_path, monkeypatch, text, host, line):
    monkeypatch.delenv("TALVERN_NOT_SET", raising=False)
    write(tmp_path, {"config": text})
    config = load(str(tmp_path / "config"))
    with pytest.raises(ConfigError, match="^%s:%d: " % (re.escape(str(tmp_path / "config")), line)):
        config.lookup(host)
    refused_by_openssh(tmp_path, host)


def refused_by_openssh(tmp_path, host):
    """What ssh says as it stops, in -G or, for what it expands only to connect, in -v."""
    args = ["-F", str(tmp_path / "config"), host]
    shown = subprocess.run([SSH, "-G"] + args, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    if shown.returncode == 0:
        shown = subprocess.run([SSH, "-v", "-o", "ProxyCommand=true"] + args, stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, timeout=30)
        assert "Local version string" not in shown.stderr, shown.stderr  # it stopped before talking to the proxy
    assert shown.returncode == 255
    return shown.stderr


def test_a_named_file_must_be_there_and_the_system_files_includes_are_its_own(tmp_path, monkeypatch):
    with pytest.raises(ConfigError, match="^%s: cannot be read: no such file$" % re.escape(str(tmp_path / "x"))):
        load(str(tmp_path / "x"))
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    write(tmp_path, {"etc/ssh_config": "Include conf.d/*.conf\n", "etc/conf.d/a.conf": "User from-conf-d\n",
                     "home/.ssh/conf.d/a.conf": "User from-home\n"})
    assert load(None, system_file=str(tmp_path / "etc/ssh_config")).lookup("a").user == "from-conf-d"
    (tmp_path / "etc/ssh_config").write_text("Include ~/.ssh/conf.d/*.conf\n")
    with pytest.raises(ConfigError, match=r"ssh_config:1: .* cannot start with ~"):
        load(None, system_file=str(tmp_path / "etc/ssh_config"))
