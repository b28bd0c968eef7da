#!/usr/bin/env python3
"""The live mode through a jump host, against the same devices asked directly.

    python3 bench/jump.py                                   # 1,000 devices, 3 rounds of each
    python3 bench/jump.py --python .venvs/dev37/bin/python --devices 1000 --jobs 2

The devices are bench/live.py's (emulated on 127.0.0.1 by tests/ssh_emulator.py
in --servers processes, each answering by exec); the jump host is one more
emulator process, an asyncssh server that forwards each channel to the device
asked for. The command runs as a user runs it, `--json --jobs N --inventory
FILE`, then with `-J admin@127.0.0.1:PORT` added, the rounds alternating so
that both see the same machine; each round is timed from the start of the
command to its end. Every device must be answered and recognised, and the jump
host must have seen one connection per worker process in each round through it.

The share is the median, over the pairs of rounds, of the rate through the
jump host over the direct rate of the round just before. On a machine that
others share the rates move with their load, so each round's CPU time is
measured too: the command's with its workers (what the tunnel costs us), the
device emulators' and the jump host's; the share of CPU is the direct round's
CPU per device over the jump round's, all processes together, which is what
the rate would be on two cores of their own.

Not part of the test suite; not run by CI. Nothing listens beyond loopback.
"""
import argparse
import json
import os
import resource
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TARGET = 0.60  # the rate through the jump host, as a share of the direct rate


class JumpHost:
    """The emulator process serving the jump host, with the fleet's keys."""

    def __init__(self, python, fleet):
        served = os.path.join(ROOT, "tests", "ssh_emulator_process.py")
        self.process = subprocess.Popen([python, "-W", "ignore", served], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, universal_newlines=True, env=fleet.env)
        with open(os.path.join(fleet.folder, "host_key")) as stream:
            host_key = stream.read()
        with open(os.path.join(fleet.folder, "client_key.pub")) as stream:
            client_key = stream.read()
        self.send({"host_key": host_key, "client_keys": [client_key]})
        self.send({"text": "", "kind": "jump"})
        self.port = int(self.process.stdout.readline())
        with open(os.path.join(fleet.folder, "host_key.pub")) as stream:
            key = stream.read().strip()
        with open(os.path.join(fleet.folder, ".ssh", "known_hosts"), "a") as stream:
            stream.write("[127.0.0.1]:%d %s\n" % (self.port, key))

    def send(self, fields):
        self.process.stdin.write(json.dumps(fields) + "\n")
        self.process.stdin.flush()

    def connections(self):
        self.send({"connections": self.port})
        return int(self.process.stdout.readline().split()[0])

    def close(self):
        self.process.stdin.close()
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
        self.process.stdout.close()


def cpu(pids):
    """CPU seconds (user and system) the processes have used so far."""
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as stream:
                fields = stream.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return total / os.sysconf("SC_CLK_TCK")


def reaped():
    """CPU seconds of the children reaped so far: the command's, its workers' included."""
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    return used.ru_utime + used.ru_stime


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--devices", type=int, default=1000)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3, help="of each, alternating")
    parser.add_argument("--servers", type=int, default=2, help="emulator processes for the devices")
    args = parser.parse_args()
    sys.path.insert(0, HERE)
    import live  # bench/live.py: its fleet and its way of timing the command

    python = os.path.abspath(args.python) if os.sep in args.python else args.python
    shown = "CPython " + live.version(python)
    fleet = live.Fleet(python, args.devices, 0.0, args.servers)
    jump = JumpHost(python, fleet)
    rounds, ok = [], True  # (rate, CPU seconds of all processes), for each pair of rounds
    try:
        options = ["--jobs", str(args.jobs)]
        via = ["-J", "admin@127.0.0.1:%d" % jump.port]
        servers = [server.pid for server in fleet.servers]
        for _ in range(args.rounds):
            pair = []
            for extra in ([], via):
                before = jump.connections(), reaped(), cpu(servers), cpu([jump.process.pid])
                seconds, peak, _, answers, recognised = live.run_command(python, fleet, options + extra)
                logins = jump.connections() - before[0]
                used = reaped() - before[1], cpu(servers) - before[2], cpu([jump.process.pid]) - before[3]
                pair.append((fleet.count / seconds, sum(used)))
                ok = ok and answers == recognised == fleet.count and (not extra or logins == args.jobs)
                print("  %s %.2f s, %.0f/s, %d of %d recognised, peak PSS %.1f MiB; CPU s: command %.2f, devices"
                      " %.2f, jump host %.2f%s" % ("through the jump host:" if extra else "directly:", seconds,
                                                   fleet.count / seconds, recognised, answers, peak, used[0],
                                                   used[1], used[2], "; %d connections to the jump host" % logins
                                                   if extra else ""), flush=True)
            rounds.append(pair)
    finally:
        jump.close()
        fleet.close()
    share = median([through[0] / direct[0] for direct, through in rounds])
    cpu_share = median([direct[1] / through[1] for direct, through in rounds])
    print("| %s | %d | `%s` | %.0f | %.0f | %.2f | %.2f | %s |" % (
        shown, fleet.count, " ".join(options), median([direct[0] for direct, _ in rounds]),
        median([through[0] for _, through in rounds]), share, cpu_share,
        "met" if share >= TARGET and ok else "**missed**"), flush=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
