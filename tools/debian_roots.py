"""Debian roots that hold the CPythons this machine lacks: 3.14 and 3.15 (and
their debug builds) from Debian unstable, and arm64 CPythons run under
qemu-user emulation.

Each root is made once per machine by debootstrap, from Debian's packages
alone, into a cache folder outside the checkout ($FDEF_CACHE, else
$XDG_CACHE_HOME/talvern-platformdetails, else ~/.cache/talvern-platformdetails),
so a fresh clone reuses it. Making and entering a root needs root (as CI
runs); while a command runs inside, /proc, /dev, /dev/pts and the checkout
are mounted there, and unmounted after. This machine's pip settings and
certificate bundle are copied in, so pip inside reaches the same index.
"""
import configparser
import contextlib
import fcntl
import os
import shutil
import subprocess
import threading
import time

from shell import log

MIRROR = "http://deb.debian.org/debian"
ROOT_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

# name: (suite, architecture, packages). Changing a list remakes the root.
ROOTS = {
    "sid-amd64": ("sid", "amd64", [
        "python3.14", "python3.14-dev", "python3.14-venv", "python3.14-dbg",
        "python3.15", "python3.15-dev", "python3.15-venv", "python3.15-dbg",
        "g++", "cmake", "ninja-build", "binutils",
        # The host-key and config tests compare our answers with OpenSSH's.
        "openssh-client"]),
    "sid-arm64": ("sid", "arm64", [
        "python3.13", "python3.13-venv", "libpython3.13-dev",
        "python3.14", "python3.14-venv", "libpython3.14-dev",
        "python3.15", "python3.15-venv", "libpython3.15-dev"]),
    # python3.11-venv needs python3.11-distutils, which only python3-distutils
    # provides, and that one needs the default python3: apt does not find this
    # by itself, so all three are named.
    "bookworm-arm64": ("bookworm", "arm64", ["python3.11", "python3.11-venv", "libpython3.11-dev",
                                             "python3", "python3-distutils"]),
}
# Which root holds which CPython, per architecture.
PYTHONS = {
    "x86_64": {"3.14": "sid-amd64", "3.15": "sid-amd64"},
    "aarch64": {"3.11": "bookworm-arm64", "3.13": "sid-arm64", "3.14": "sid-arm64", "3.15": "sid-arm64"},
}
QEMU = {"arm64": ("aarch64", "/usr/bin/qemu-aarch64-static",
                  r"\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00",
                  r"\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff")}
BINFMT = "/proc/sys/fs/binfmt_misc"
HOST_ARCH = {"x86_64": "amd64", "aarch64": "arm64"}


class Unavailable(Exception):
    """A root this machine cannot make or enter: the reason."""


def cache_dir():
    base = os.environ.get("FDEF_CACHE")
    if not base:
        xdg = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
        base = os.path.join(xdg, "talvern-platformdetails")
    return os.path.join(base, "roots")


def root_path(name):
    return os.path.join(cache_dir(), name)


def stamp(name):
    suite, arch, packages = ROOTS[name]
    return "%s %s %s\n" % (suite, arch, " ".join(packages))


def is_ready(name):
    try:
        with open(os.path.join(root_path(name), ".fdef-root")) as f:
            return f.read() == stamp(name)
    except OSError:
        return False


def foreign(arch):
    return HOST_ARCH.get(os.uname().machine) != arch


def check_can_make(arch, making=True):
    """Raises Unavailable unless this machine can make a root for arch
    (making), or enter one already made."""
    if os.geteuid() != 0:
        raise Unavailable("making or entering a Debian root needs root")
    tools = ["debootstrap", "chroot", "mount"] if making else ["chroot", "mount"]
    if foreign(arch):
        if arch not in QEMU:
            raise Unavailable("no emulator known for %s" % arch)
        tools.append(QEMU[arch][1])
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        raise Unavailable("%s not installed" % ", ".join(missing))


@contextlib.contextmanager
def emulation(arch):
    """binfmt_misc mounted and qemu registered for `arch` (with the F flag,
    so the emulator need not be inside the root); undone after if this
    made it so."""
    if not foreign(arch):
        yield
        return
    cpu, qemu, magic, mask = QEMU[arch]
    with locked("binfmt"), registered_emulator(cpu, qemu, magic, mask):
        yield


@contextlib.contextmanager
def registered_emulator(cpu, qemu, magic, mask):
    mounted = not os.path.exists(os.path.join(BINFMT, "register"))
    if mounted:
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT], check=True)
    entry = os.path.join(BINFMT, "fdef-qemu-" + cpu)
    registered = not any(open(os.path.join(BINFMT, e)).read().find(qemu) >= 0
                         for e in os.listdir(BINFMT) if e.startswith("qemu-") or e.startswith("fdef-"))
    try:
        if registered:
            with open(os.path.join(BINFMT, "register"), "w") as f:
                f.write(":fdef-qemu-%s:M::%s:%s:%s:F" % (cpu, magic, mask, qemu))
        yield
    finally:
        if registered and os.path.exists(entry):
            with open(entry, "w") as f:
                f.write("-1")
        if mounted:
            subprocess.run(["umount", BINFMT])


def config_values(files, keys):
    """The words given for keys in any section of these pip configuration
    files; a file that does not parse gives none."""
    values = []
    for config in files:
        parser = configparser.ConfigParser()
        try:
            parser.read(config)
        except (configparser.Error, UnicodeDecodeError):
            continue
        for section in parser.sections():
            for key in keys:
                values += parser.get(section, key, fallback="").split()
    return values


def pip_files():
    """This machine's pip configuration files and the files they name
    (constraints, certificate bundle): copied into a root at the same paths."""
    configs = ["/etc/pip.conf", "/etc/xdg/pip/pip.conf", os.path.expanduser("~/.config/pip/pip.conf"),
               os.path.expanduser("~/.pip/pip.conf"), os.environ.get("PIP_CONFIG_FILE", "")]
    files = [c for c in configs if c and os.path.isfile(c)]
    named = [os.environ.get(v, "") for v in ("PIP_CERT", "PIP_CONSTRAINT", "SSL_CERT_FILE", "REQUESTS_CA_BUNDLE")]
    named += config_values(files, ("cert", "constraint", "client-cert"))
    return sorted(set(files + [n for n in named if n and os.path.isfile(n)]))


def pip_folders():
    """The local package folders and indexes this machine's pip settings name
    (find-links, file:// indexes): mounted in a root at the same paths."""
    values = [os.environ.get(v, "") for v in ("PIP_FIND_LINKS", "PIP_INDEX_URL", "PIP_EXTRA_INDEX_URL")]
    values += config_values(pip_files(), ("find-links", "index-url", "extra-index-url"))
    folders = set()
    for value in " ".join(values).split():
        path = value[len("file://"):] if value.startswith("file://") else value
        if path.startswith("/") and os.path.isdir(path):
            path = os.path.realpath(path)
            # A local index's files usually sit beside its simple/ folder.
            folders.add(os.path.dirname(path) if os.path.basename(path) == "simple" else path)
    return sorted(folders)


def copy_in(root, path):
    target = os.path.join(root, path.lstrip("/"))
    os.makedirs(os.path.dirname(target), exist_ok=True)
    shutil.copyfile(os.path.realpath(path), target)


def unmount_below(path):
    """Unmounts what an interrupted run left mounted in `path`, so that
    removing it can never reach the machine's own /dev or a checkout."""
    with open("/proc/self/mounts") as f:
        targets = [line.split()[1] for line in f]
    for target in reversed(targets):
        if target == path or target.startswith(path + "/"):
            subprocess.run(["umount", "-l", target])


def remove(path):
    unmount_below(path)
    shutil.rmtree(path, ignore_errors=True)


def make_root(name):
    suite, arch, packages = ROOTS[name]
    check_can_make(arch)
    path = root_path(name)
    work = path + ".new"
    remove(work)
    remove(path)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    log("making the Debian root %s in %s" % (name, path))
    started = time.time()
    cmd = ["debootstrap", "--variant=minbase", "--arch=" + arch]
    if foreign(arch):
        cmd.append("--foreign")
    subprocess.run(cmd + [suite, work, MIRROR], check=True, stdout=subprocess.DEVNULL)
    env = {"PATH": ROOT_PATH, "DEBIAN_FRONTEND": "noninteractive", "LANG": "C.UTF-8"}
    # apt, not debootstrap's --include, resolves the packages' dependencies.
    with emulation(arch), mounts(work, []):
        if foreign(arch):
            subprocess.run(["chroot", work, "/debootstrap/debootstrap", "--second-stage"], check=True,
                           stdout=subprocess.DEVNULL, env=env)
        apt = ["chroot", work, "apt-get"]
        if subprocess.run(apt + ["update", "-qq"], stdout=subprocess.DEVNULL, env=env).returncode != 0:
            # A mirror that serves an older copy of the archive has a Release
            # file past its Valid-Until date: apt refuses it, though its
            # signature still holds. Once more without the date check.
            log("apt-get update failed; once more without checking the Release file's date")
            subprocess.run(apt + ["-o", "Acquire::Check-Valid-Until=false", "update", "-qq"], check=True,
                           stdout=subprocess.DEVNULL, env=env)
            apt += ["-o", "Acquire::Check-Valid-Until=false"]
        subprocess.run(apt + ["install", "-y", "-qq", "--no-install-recommends"] + packages, check=True,
                       stdout=subprocess.DEVNULL, env=env)
    # Without downloaded packages: the root is cached, the archives need not be.
    shutil.rmtree(os.path.join(work, "var", "cache", "apt", "archives"), ignore_errors=True)
    with open(os.path.join(work, ".fdef-root"), "w") as f:
        f.write(stamp(name))
    os.rename(work, path)
    log("made %s in %.0f s" % (name, time.time() - started))


@contextlib.contextmanager
def locked(name):
    """One user of a root at a time: each mounts and unmounts its folders."""
    os.makedirs(cache_dir(), exist_ok=True)
    with open(os.path.join(cache_dir(), name + ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def ensure(name):
    """The path of root `name`, made if missing; raises Unavailable."""
    check_can_make(ROOTS[name][1], making=not is_ready(name))
    with locked(name):
        if not is_ready(name):
            try:
                make_root(name)
            except (OSError, subprocess.CalledProcessError) as exc:
                raise Unavailable("could not make the Debian root %s: %s" % (name, exc))
    return root_path(name)


@contextlib.contextmanager
def mounts(root, binds):
    """/proc, /dev, /dev/pts and each folder of `binds` (at its own path)
    mounted in `root`; unmounted, innermost first, on the way out."""
    done = []
    try:
        for source, kind in [("proc", "proc"), ("/dev", "bind"), ("/dev/pts", "bind")] + [(b, "bind") for b in binds]:
            target = os.path.join(root, (source if kind == "bind" else "/proc").lstrip("/"))
            os.makedirs(target, exist_ok=True)
            opts = ["-t", "proc"] if kind == "proc" else ["--bind"]
            subprocess.run(["mount"] + opts + [source, target], check=True)
            done.append(target)
        for path in pip_files():
            copy_in(root, path)
        yield
    finally:
        for target in reversed(done):
            subprocess.run(["umount", target])


def run_in(name, cmd, cwd, binds=(), env=None, **kwargs):
    """Runs `cmd` in root `name` (made if missing) from `cwd`, with `binds`
    and `cwd` mounted at their own paths; the exit status. Raises
    Unavailable."""
    root = ensure(name)
    arch = ROOTS[name][1]
    child_env = dict(env or {}, PATH=ROOT_PATH, HOME="/root", LANG="C.UTF-8")
    for var in ("PIP_CERT", "SSL_CERT_FILE", "REQUESTS_CA_BUNDLE", "PIP_CONSTRAINT", "PIP_DEFAULT_TIMEOUT",
                "PIP_DISABLE_PIP_VERSION_CHECK", "CI"):
        if var in os.environ and var not in child_env:
            child_env[var] = os.environ[var]
    folders = sorted(set(os.path.realpath(b) for b in list(binds) + [cwd]) | set(pip_folders()))
    print("+ [%s] %s" % (name, " ".join(cmd)), flush=True)
    with locked(name), emulation(arch), mounts(root, folders):
        return subprocess.run(["chroot", root, "env", "--chdir=" + cwd] + list(cmd), env=child_env,
                              **kwargs).returncode


def make_in_background(names):
    """Starts making the missing roots of `names`, one after another, in a
    thread, while the caller's other steps run (debootstrap waits mostly on
    the network and on emulation). A step that needs a root waits for it in
    ensure(), through the root's lock, and says why one could not be made."""
    def make_all():
        for name in names:
            try:
                ensure(name)
            except Unavailable:
                pass
    thread = threading.Thread(target=make_all, name="debian-roots", daemon=True)
    thread.start()
    return thread


def main():
    """Makes every root (or those named): python3 tools/debian_roots.py [NAME ...]"""
    import sys
    names = sys.argv[1:] or sorted(ROOTS)
    for name in names:
        try:
            ensure(name)
        except Unavailable as exc:
            log(str(exc))
            return 1
        log("%s: %s" % (name, root_path(name)))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
