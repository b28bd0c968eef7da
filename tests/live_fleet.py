"""Emulated devices on 127.0.0.1, served by a process of their own, for
tests that run the command against them: in this process (run), which the
command's worker processes are then forked from with no thread but the
test's, or as a subprocess (run_process)."""
import json
import os
import subprocess
import sys

from command import IN_PROCESSES, PROG, cli
from ssh_emulator import asyncssh

from talvern.platformdetails.live.hostkeys import host_pattern

LIMIT = 30  # seconds any one start, stop or command may take
EMULATOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ssh_emulator_process.py")


def serving(tmp_path, password, monkeypatch=None):
    """A fixture's body: a Fleet with a HOME of its own, stopped after the
    test. Given monkeypatch, this process's environment is the one the
    command would get (for the Python API's in-process calls)."""
    home = tmp_path / "home"
    home.mkdir()
    fleet = Fleet(home, password)
    if monkeypatch is not None:
        for name, value in fleet.environment(None).items():
            monkeypatch.setenv(name, value)
        monkeypatch.delenv("SSH_AUTH_SOCK", raising=False)
    yield fleet
    fleet.stop()


class Fleet:
    """start() devices, run() the command against them; stop() ends all."""

    def __init__(self, home, password=""):
        self.home = home
        self.client = asyncssh.generate_private_key("ssh-ed25519")
        self.host = asyncssh.generate_private_key("ssh-ed25519")
        self.server = subprocess.Popen([sys.executable, EMULATOR], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       universal_newlines=True)
        self.send({"host_key": self.host.export_private_key().decode(),
                   "client_keys": [self.client.export_public_key().decode()], "password": password})
        ssh = home / ".ssh"
        ssh.mkdir(exist_ok=True)
        self.key_file = ssh / "id_ed25519"
        self.key_file.write_bytes(self.client.export_private_key())
        os.chmod(str(self.key_file), 0o600)
        (ssh / "known_hosts").touch()

    def send(self, fields):
        self.server.stdin.write(json.dumps(fields) + "\n")
        self.server.stdin.flush()

    def start(self, device, known=True):
        """Serves one device; returns its ssh:// target. known: its key is
        put in known_hosts (the device's own, or the key given)."""
        fields = device._asdict()
        if device.host_key is not None:
            fields["host_key"] = device.host_key.export_private_key().decode()
        self.send(fields)
        port = int(self.server.stdout.readline())
        if known:
            self.know(port, self.host if known is True else known)
        return "ssh://admin@127.0.0.1:%d" % port

    def connections(self, target):
        """(SSH connections had, open now) of the device (a jump host) of that target."""
        self.send({"connections": port_of(target)})
        had, open_now = self.server.stdout.readline().split()
        return int(had), int(open_now)

    def know(self, port, key):
        with (self.home / ".ssh" / "known_hosts").open("a") as stream:
            stream.write("%s %s\n" % (host_pattern("127.0.0.1", port), key.export_public_key().decode().strip()))

    def stop(self):
        self.server.stdin.close()
        try:
            self.server.wait(LIMIT)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()
        self.server.stdout.close()

    def environment(self, env):
        environment = dict(os.environ, HOME=str(self.home), XDG_CONFIG_HOME=str(self.home / "config"))
        environment.pop("SSH_AUTH_SOCK", None)
        environment.update(env or {})
        return environment

    def run(self, *args, env=None, cwd=None, here=False):
        """The command in this process, with HOME the fleet's (as a
        subprocess under valgrind, unless here: a test patched this process)."""
        if IN_PROCESSES and not here:
            return self.run_process(*args, env=env, cwd=cwd)
        saved = dict(os.environ)
        os.environ.clear()
        os.environ.update(self.environment(env))
        try:
            return cli(cwd or self.home, *args, here=here)
        finally:
            os.environ.clear()
            os.environ.update(saved)

    def run_process(self, *args, env=None, cwd=None, command=("-m", "talvern.platformdetails")):
        return subprocess.run([sys.executable] + list(command) + [str(arg) for arg in args],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=self.environment(env), cwd=str(cwd or self.home), timeout=LIMIT * 2)


def port_of(target):
    return int(target.rsplit(":", 1)[1])


__all__ = ["Fleet", "LIMIT", "PROG", "port_of"]
