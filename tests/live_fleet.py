"""Emulated devices on 127.0.0.1 served from a thread of the test process,
for tests that run the command as a subprocess against them."""
import asyncio
import os
import subprocess
import sys
import threading

from ssh_emulator import Emulator, asyncssh

from talvern.platformdetails.live.hostkeys import host_pattern

LIMIT = 30  # seconds any one start, stop or command may take


class Fleet:
    """start() devices, run() the command against them; stop() ends all."""

    def __init__(self, home, password=""):
        self.home = home
        self.client = asyncssh.generate_private_key("ssh-ed25519")
        self.host = asyncssh.generate_private_key("ssh-ed25519")
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        self.emulator = Emulator(self.host, [self.client.convert_to_public()], password)
        ssh = home / ".ssh"
        ssh.mkdir(exist_ok=True)
        self.key_file = ssh / "id_ed25519"
        self.key_file.write_bytes(self.client.export_private_key())
        os.chmod(str(self.key_file), 0o600)
        (ssh / "known_hosts").touch()

    def call(self, coroutine):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(LIMIT)

    def start(self, device, known=True):
        """Serves one device; returns its ssh:// target. known: its key is
        put in known_hosts (the device's own, or the key given)."""
        port = self.call(self.emulator.start(device))
        if known:
            self.know(port, self.host if known is True else known)
        return "ssh://admin@127.0.0.1:%d" % port

    def know(self, port, key):
        with (self.home / ".ssh" / "known_hosts").open("a") as stream:
            stream.write("%s %s\n" % (host_pattern("127.0.0.1", port), key.export_public_key().decode().strip()))

    def stop(self):
        self.call(self.emulator.close())
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(LIMIT)
        self.loop.close()

    def run(self, *args, env=None, cwd=None, command=("-m", "talvern.platformdetails")):
        environment = dict(os.environ, HOME=str(self.home), XDG_CONFIG_HOME=str(self.home / "config"))
        environment.pop("SSH_AUTH_SOCK", None)
        environment.update(env or {})
        return subprocess.run([sys.executable] + list(command) + [str(arg) for arg in args],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=environment, cwd=str(cwd or self.home), timeout=LIMIT * 2)
