#!/usr/bin/env python3
"""The live mode against a fleet of emulated devices on this machine.

    python3 bench/live.py                                  # 1,000 devices, then the memory runs
    python3 bench/live.py --python .venvs/dev37/bin/python --devices 1000 --jobs 2
    python3 bench/live.py --memory 1000 5000               # only the memory runs

The interpreter (the one running this, or --python) must have asyncssh (the
ssh extra) and the extension built into this checkout's python/ folder, as
for the quick test loop. The emulator of tests/ssh_emulator.py serves the
devices from 127.0.0.1 only, in --servers processes of the same
interpreter, one port per device, every device answering by exec with an
example text in turn. HOME is a temporary folder with an ed25519 client
key and a known_hosts naming every device.

- Throughput: ``--json --jobs N --inventory FILE`` timed from the start of
  the command to its end (start-up included), best of --rounds; devices/s
  is devices / seconds. Every device must be answered and recognised.
- Memory: the devices wait --delay seconds before they answer, so that
  --concurrency connections are in flight at once; the proportional set
  size (PSS, /proc/PID/smaps_rollup) of the command and its workers is
  summed every 0.1 s, and the peak reported, with 1,000 and 5,000 devices.

Not part of the test suite; not run by CI. Nothing listens beyond loopback.
"""
import argparse
import asyncio
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TEXTS = ("tolm-processor.txt", "garu.txt", "kveos-chassis.txt", "vkorin.txt", "prav-model.txt", "fesk.txt")


def serve(count, delay, folder, number):
    """One emulator process: count devices; writes their ports, then waits for stdin to close."""
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    import resource

    from ssh_emulator import Device, Emulator, asyncssh

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    host = asyncssh.read_private_key(os.path.join(folder, "host_key"))
    client = asyncssh.read_public_key(os.path.join(folder, "client_key.pub"))
    texts = [open(os.path.join(ROOT, "examples", name)).read() for name in TEXTS]

    async def main():
        emulator = Emulator(host, [client])
        ports = []
        for index in range(count):
            ports.append(await emulator.start(Device(texts[index % len(texts)], delay=delay)))
        with open(os.path.join(folder, "ports-%d" % number), "w") as stream:
            stream.write("".join("%d\n" % port for port in ports))
        await asyncio.get_event_loop().run_in_executor(None, sys.stdin.read)
        await emulator.close()
    asyncio.run(main())


class Fleet:
    """Emulator processes serving devices, and a HOME that knows them."""

    def __init__(self, python, count, delay, servers):
        sys.path.insert(0, os.path.join(ROOT, "tests"))
        self.folder = tempfile.mkdtemp(prefix="live-bench-")
        self.env = dict(os.environ, HOME=self.folder, XDG_CONFIG_HOME=os.path.join(self.folder, "config"),
                        PYTHONPATH=os.pathsep.join([os.path.join(ROOT, "python"), os.path.join(ROOT, "tests")]))
        self.env.pop("SSH_AUTH_SOCK", None)
        keys = ("import asyncssh, os; f = %r\n"
                "for name in ('host_key', 'client_key'):\n"
                "    key = asyncssh.generate_private_key('ssh-ed25519')\n"
                "    key.write_private_key(os.path.join(f, name)); key.write_public_key(os.path.join(f, name + '.pub'))\n"
                % self.folder)
        subprocess.run([python, "-W", "ignore", "-c", keys], check=True, env=self.env)
        ssh = os.path.join(self.folder, ".ssh")
        os.mkdir(ssh, 0o700)
        shutil.copy(os.path.join(self.folder, "client_key"), os.path.join(ssh, "id_ed25519"))
        self.servers = []
        shares = [count // servers + (1 if number < count % servers else 0) for number in range(servers)]
        for number, share in enumerate(shares):
            self.servers.append(subprocess.Popen(
                [python, "-W", "ignore", os.path.abspath(__file__), "--serve", str(share), "--delay", str(delay),
                 "--folder", self.folder, "--number", str(number)], stdin=subprocess.PIPE, env=self.env))
        ports = []
        for number in range(servers):
            path = os.path.join(self.folder, "ports-%d" % number)
            for _ in range(6000):  # up to 10 minutes for the servers to start
                if os.path.exists(path) or self.servers[number].poll() is not None:
                    break
                time.sleep(0.1)
            time.sleep(0.2)
            with open(path) as stream:
                ports.extend(int(line) for line in stream)
        with open(os.path.join(self.folder, "host_key.pub")) as stream:
            key = stream.read().strip()
        with open(os.path.join(ssh, "known_hosts"), "w") as stream:
            stream.write("".join("[127.0.0.1]:%d %s\n" % (port, key) for port in ports))
        self.inventory = os.path.join(self.folder, "inventory")
        with open(self.inventory, "w") as stream:
            stream.write("".join("admin@127.0.0.1:%d\n" % port for port in ports))
        self.count = len(ports)

    def close(self):
        for server in self.servers:
            server.stdin.close()
        for server in self.servers:
            try:
                server.wait(30)
            except subprocess.TimeoutExpired:
                server.kill()
        shutil.rmtree(self.folder, ignore_errors=True)


def tree(pid):
    """pid and every process below it."""
    found, frontier = [pid], [pid]
    while frontier:
        parent = frontier.pop()
        try:
            with open("/proc/%d/task/%d/children" % (parent, parent)) as stream:
                children = [int(word) for word in stream.read().split()]
        except OSError:
            children = []
        found.extend(children)
        frontier.extend(children)
    return found


def pss_kib(pid):
    try:
        with open("/proc/%d/smaps_rollup" % pid) as stream:
            for line in stream:
                if line.startswith("Pss:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_command(python, fleet, options):
    """(seconds, peak PSS MiB of all its processes, peak process count, answers, recognised)."""
    argv = [python, "-m", "talvern.platformdetails", "--json", "--inventory", fleet.inventory] + options
    out = os.path.join(fleet.folder, "out")
    peak = processes = 0
    started = time.perf_counter()
    with open(out, "wb") as stream:
        proc = subprocess.Popen(argv, stdout=stream, stderr=subprocess.PIPE, env=fleet.env)
        while proc.poll() is None:
            pids = tree(proc.pid)
            peak = max(peak, sum(pss_kib(pid) for pid in pids))
            processes = max(processes, len(pids))
            time.sleep(0.1)
        seconds = time.perf_counter() - started
    errors = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    with open(out) as stream:
        lines = stream.read().splitlines()
    recognised = sum(1 for line in lines if '"model": "' in line)
    if errors.strip():
        print("  stderr: " + errors.strip().splitlines()[0][:200], flush=True)
    return seconds, peak / 1024.0, processes, len(lines), recognised


def version(python):
    return subprocess.run([python, "-c", "import platform; print(platform.python_version())"],
                          stdout=subprocess.PIPE, check=True).stdout.decode().strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--devices", type=int, nargs="*", default=[1000])
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--concurrency", type=int, default=None, help="for the throughput runs (default: the command's)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--memory", type=int, nargs="*", default=[1000, 5000])
    parser.add_argument("--delay", type=float, default=8.0, help="seconds a device waits in the memory runs")
    parser.add_argument("--servers", type=int, default=2, help="emulator processes")
    parser.add_argument("--serve", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--folder", help=argparse.SUPPRESS)
    parser.add_argument("--number", type=int, default=0, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve is not None:
        return serve(args.serve, args.delay, args.folder, args.number)
    python = os.path.abspath(args.python) if os.sep in args.python else args.python
    shown = "CPython " + version(python)
    for count in args.devices:
        fleet = Fleet(python, count, 0.0, args.servers)
        try:
            options = ["--jobs", str(args.jobs)]
            if args.concurrency:
                options += ["--concurrency", str(args.concurrency)]
            best = None
            for _ in range(args.rounds):
                result = run_command(python, fleet, options)
                print("  %d devices, %s: %.2f s, %d answers, %d recognised, peak PSS %.1f MiB"
                      % (fleet.count, " ".join(options), result[0], result[3], result[4], result[1]), flush=True)
                best = result if best is None or result[0] < best[0] else best
            print("| %s | %d | %s | %.2f | %.0f | %.1f MiB |" % (shown, fleet.count, " ".join(options), best[0],
                                                                fleet.count / best[0], best[1]), flush=True)
        finally:
            fleet.close()
    for count in args.memory:
        fleet = Fleet(python, count, args.delay, args.servers)
        try:
            options = ["--jobs", str(args.jobs), "--concurrency", "1000", "--timeout", str(args.delay + 60)]
            seconds, peak, processes, answers, recognised = run_command(python, fleet, options)
            print("| %s | %d | %s | %.1f s | %d of %d recognised | %d processes | peak PSS %.1f MiB |"
                  % (shown, fleet.count, " ".join(options), seconds, recognised, answers, processes, peak),
                  flush=True)
        finally:
            fleet.close()


if __name__ == "__main__":
    main()
