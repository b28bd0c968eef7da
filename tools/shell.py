"""What the tools print as they go: a heading for each step, and each
command before it runs."""
import subprocess


def log(message):
    print("==> " + message, flush=True)


def run(cmd, **kwargs):
    print("+ " + " ".join(cmd), flush=True)
    return subprocess.run(cmd, **kwargs).returncode
