"""The folder --save writes: what another local user who can write in it or
above it could make a run do, refused or made harmless, the folder checked
side by side with sshd's StrictModes, and .failed read back as written.
Another user is played by chown to OTHER: the tests run as root."""
import os
import pathlib
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time

import pytest

from talvern.platformdetails.cli import saving as _saved
from talvern.platformdetails.live.targets import Target, TargetError

OTHER = 54321  # a uid and gid of no one on the machine
TARGET = Target("r1", 22, None)
LIMIT = 10  # seconds for a call that might wait on a FIFO, or on sshd
as_root = pytest.mark.skipif(os.geteuid() != 0, reason="playing another user needs chown")


def bounded(call, fifo):
    """What call() raised, or None; a call still waiting after LIMIT seconds
    is let go by opening fifo at both ends, and fails the test."""
    raised = []
    thread = threading.Thread(target=lambda: raised.append(caught(call)), daemon=True)
    thread.start()
    thread.join(LIMIT)
    if thread.is_alive():
        os.close(os.open(str(fifo), os.O_RDWR | os.O_NONBLOCK))
        thread.join(LIMIT)
        pytest.fail("waited on the FIFO at %s" % fifo)
    return raised[0]


def caught(call):
    try:
        call()
    except Exception as exc:  # handed to the test
        return exc
    return None


def write(folder, entry):
    with _saved.open_folder(str(folder)) as saving:
        if entry == ".failed":
            saving.write_failed([(TARGET, "auth", "denied")])
        else:
            saving.save(TARGET, "me", b"device text\n", "show version", "exec", 0.5)


@pytest.mark.parametrize("entry", ["r1:22.txt", ".r1:22.json", ".failed"])
@pytest.mark.parametrize("plant", ["link", "hard link", "fifo", "held open"])
def test_what_was_planted_at_a_files_path_is_replaced_not_written(tmp_path, plant, entry):
    folder, victim = tmp_path / "caps", tmp_path / "victim"
    folder.mkdir(mode=0o700)
    victim.write_bytes(b"theirs\n")
    path, held = folder / entry, None
    if plant == "link":
        path.symlink_to(victim)
    elif plant == "hard link":
        os.link(str(victim), str(path))
    elif plant == "fifo":
        os.mkfifo(str(path))
    else:
        path.write_bytes(b"before\n")
        held = path.open("rb")  # as the one who planted it keeps it
    assert bounded(lambda: write(folder, entry), path) is None
    info = os.lstat(str(path))
    assert stat.S_ISREG(info.st_mode) and stat.S_IMODE(info.st_mode) == 0o600
    assert victim.read_bytes() == b"theirs\n"
    if held is not None:
        with held:
            assert held.read() == b"before\n"
    left = [".failed"] if entry == ".failed" else [".r1:22.json", "r1:22.txt"]
    assert sorted(os.listdir(str(folder))) == left  # and no temporary file


def a_link_of_anothers(up, folder):
    folder.rename(up / "real")
    folder.symlink_to("real")
    os.chown(str(folder), OTHER, OTHER, follow_symlinks=False)


CHECKS = [  # (what, made(up, folder), words, whether sshd takes a key in folder/.failed, and a run the folder)
    ("all the user's", lambda up, folder: None, None, True, True),
    # A group of no one: Debian's sshd takes a group-writable folder whose group is its owner's alone.
    ("writable by its group", lambda up, folder: (os.chown(str(folder), -1, OTHER), folder.chmod(0o770)),
     "caps can be written by others (mode 0770)", False, False),
    ("writable by others", lambda up, folder: folder.chmod(0o703), "(mode 0703)", False, False),
    ("sticky itself", lambda up, folder: folder.chmod(0o1777), "(mode 1777)", False, False),
    ("not the user's", lambda up, folder: os.chown(str(folder), OTHER, -1), "caps belongs to uid %d" % OTHER,
     False, False),
    ("above it another's", lambda up, folder: os.chown(str(up), OTHER, -1), "up belongs to uid", False, False),
    ("above it writable", lambda up, folder: up.chmod(0o757), "up can be written by others", False, False),
    ("above it sticky", lambda up, folder: up.chmod(0o1777), None, False, True),  # on purpose: see _problem
    ("its .failed another's", lambda up, folder: os.chown(str(folder / ".failed"), OTHER, -1), ".failed belongs",
     False, False),
    ("its .failed writable", lambda up, folder: (folder / ".failed").chmod(0o606), ".failed can be", False, False),
    ("a capture of another's", lambda up, folder: os.chown(str(folder / "r1:22.txt"), OTHER, -1),
     "r1:22.txt belongs", True, False),  # sshd reads its key file only
    ("a link of another's on the way", a_link_of_anothers, "caps (a link) belongs", True, False),  # sshd follows it
]


@as_root
@pytest.mark.parametrize("what, made, words, sshd_takes, we_take", CHECKS, ids=[case[0] for case in CHECKS])
def test_the_folder_is_checked_as_sshd_checks_a_key_file(strict, what, made, words, sshd_takes, we_take):
    base, sshd = strict
    up = base / what.replace(" ", "-").replace("'", "") / "up"
    folder = up / "caps"
    folder.mkdir(parents=True, mode=0o700)
    up.chmod(0o755)
    for name, data in ((".failed", (base / "client.pub").read_bytes()), ("r1:22.txt", b"planted\n")):
        (folder / name).write_bytes(data)
        (folder / name).chmod(0o600)
    made(up, folder)
    before = sorted(os.listdir(str(folder)))
    for call in (lambda: _saved.open_folder(str(folder)).close(), lambda: _saved.read_failed_entries(str(folder))):
        refused = caught(call)
        assert (refused is None) == we_take, refused
        assert refused is None or (isinstance(refused, _saved.SaveError) and words in str(refused)
                                   and "\n" not in str(refused)), refused
    assert sorted(os.listdir(str(folder))) == before
    if sshd:
        assert sshd_takes_key_in(base, folder / ".failed") == sshd_takes


@pytest.fixture(scope="module")
def strict(tmp_path_factory):
    """A folder for the trees, and whether sshd can be run beside: then it
    is outside /tmp (whose sticky bit sshd refuses), under folders only
    root can change, with keys; sshd runs with a /run of its own."""
    here = pathlib.Path(__file__).resolve().parent
    if (os.path.exists("/usr/sbin/sshd") and shutil.which("unshare")
            and subprocess.run(["unshare", "-m", "true"]).returncode == 0
            and not any(os.stat(str(up)).st_uid or os.stat(str(up)).st_mode & 0o022 for up in [here, *here.parents])):
        base = pathlib.Path(tempfile.mkdtemp(prefix=".strictmodes-", dir=str(here)))
        for key in ("host", "client"):
            subprocess.run(["/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(base / key)], check=True)
        yield base, True
        shutil.rmtree(str(base))
    else:
        base = tmp_path_factory.mktemp("strict")
        (base / "client.pub").write_text("ssh://no-sshd-here\n")
        yield base, False


def sshd_takes_key_in(base, path):
    """Whether sshd, StrictModes on, logs root in with the key at path."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    options = {"ListenAddress": "127.0.0.1:%d" % port, "HostKey": base / "host", "AuthorizedKeysFile": path,
               "StrictModes": "yes", "UsePAM": "no", "PidFile": "none"}
    log = base / "sshd.log"
    own_run = 'mount -t tmpfs run /run && mkdir /run/sshd && exec "$@"'
    with log.open("wb") as stream:
        server = subprocess.Popen(["unshare", "-m", "sh", "-c", own_run, "sh", "/usr/sbin/sshd", "-D", "-d", "-e", "-f",
                                   "/dev/null"] + ["-o%s=%s" % item for item in options.items()],
                                  stdin=subprocess.DEVNULL, stderr=stream)
    try:
        for _ in range(LIMIT * 10):
            if b"Server listening" in log.read_bytes() or server.poll() is not None:
                break
            time.sleep(0.1)
        client = subprocess.run(["/usr/bin/ssh", "-F", "/dev/null", "-i", str(base / "client"), "-p", str(port),
                                 "-oBatchMode=yes", "-oStrictHostKeyChecking=no", "-oUserKnownHostsFile=/dev/null",
                                 "-oLogLevel=ERROR", "root@127.0.0.1", "true"], stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=LIMIT)
        return client.returncode == 0
    finally:
        server.kill()
        server.wait()


@pytest.mark.parametrize("kind", ["fifo", "link", "folder"])
def test_a_failed_that_is_not_a_regular_file_is_not_opened(tmp_path, kind):
    path, elsewhere = tmp_path / ".failed", tmp_path.parent / (tmp_path.name + "-targets")
    elsewhere.write_text("ssh://chosen-by-another\n")
    {"fifo": lambda: os.mkfifo(str(path)), "link": lambda: path.symlink_to(elsewhere), "folder": path.mkdir}[kind]()
    refused = bounded(lambda: _saved.read_failed(str(tmp_path)), path)
    assert isinstance(refused, _saved.SaveError) and ".failed is not a regular file" in str(refused), refused


def test_made_folders_and_the_users_own_links_are_taken(tmp_path):
    made = tmp_path / "new" / "caps"
    with _saved.open_folder(str(made)) as saving:
        saving.write_failed([(TARGET, "timeout", "no answer")])
    assert [stat.S_IMODE(os.stat(str(path)).st_mode) for path in (made, made.parent)] == [0o700, 0o700]
    (tmp_path / "mine").symlink_to(made)
    assert _saved.read_failed(str(tmp_path / "mine")) == [(TARGET, "timeout", "no answer")]


def test_the_folder_cannot_be_swapped_under_the_run(tmp_path):
    folder, moved, elsewhere = tmp_path / "caps", tmp_path / "moved", tmp_path / "elsewhere"
    folder.mkdir(mode=0o700)
    elsewhere.mkdir()
    with _saved.open_folder(str(folder)) as saving:
        folder.rename(moved)
        folder.symlink_to(elsewhere)
        saving.save(TARGET, "me", b"text\n", "show version", "exec", 1.0)
    assert (moved / "r1:22.txt").read_bytes() == b"text\n" and not os.listdir(str(elsewhere))


@pytest.mark.parametrize("target", [TARGET, Target("r1", 22, "u" * 300)])  # a folder in the way; too long a name
def test_a_capture_that_cannot_be_written_or_removed_is_an_oserror(tmp_path, target):
    (tmp_path / "r1:22.txt").mkdir()
    with _saved.open_folder(str(tmp_path)) as saving:
        for call in (lambda: saving.save(target, "me", b"text\n", "show version", "exec", 1.0),
                     lambda: saving.forget(target)):
            assert isinstance(caught(call), OSError)
    assert os.listdir(str(tmp_path)) == ["r1:22.txt"]


FAILED = [  # (target, class, reason as the run said it, as .failed keeps it)
    (Target("r1", 22, None), "auth", "permission denied", "permission denied"),
    (Target("fe80::1", 2222, "x  # y"), "closed", "cut\r\noff  # here", "cut off # here"),
    (Target("r2", 22, "jos\u00e9"), "dns", "no \x1b[31mname\u2028\udce9 here", "no [31mname \ufffd here"),
    (Target("r3", 830, None), _saved.INTERRUPTED, "", ""),
]


def test_failed_keeps_each_targets_class_and_reason(tmp_path):
    with _saved.open_folder(str(tmp_path / "caps")) as saving:
        saving.write_failed([(target, failure, reason) for target, failure, reason, _ in FAILED])
    kept = [(target, failure, reason) for target, failure, _, reason in FAILED]
    assert _saved.read_failed(str(tmp_path / "caps")) == kept
    with (tmp_path / "caps" / ".failed").open("a") as stream:
        stream.write("\nssh://saved-without-reasons\nssh://a b\n")
    entries = _saved.read_failed_entries(str(tmp_path / "caps"))
    assert entries[-2][:3] == ("ssh://saved-without-reasons", _saved.UNKNOWN, "no reason was saved")
    with pytest.raises(TargetError, match=r"\.failed:7: no host"):
        _saved.read_failed(str(tmp_path / "caps"))
    assert _saved.read_failed(str(tmp_path)) is None  # a folder without a run
    assert _saved.read_failed(str(tmp_path / "none")) is None and not (tmp_path / "none").exists()


def test_the_offline_mode_reads_failed_without_asyncssh(tmp_path):
    with _saved.open_folder(str(tmp_path)) as saving:
        saving.write_failed([(TARGET, "refused", "connection refused")])
    code = ("import sys; from talvern.platformdetails.cli import saving\n"
            "assert saving.read_failed_entries(sys.argv[1])[0].failure == 'refused'\n"
            "assert 'asyncssh' not in sys.modules\n")
    subprocess.run([sys.executable, "-c", code, str(tmp_path)], check=True, timeout=60)


def test_capture_names_are_apart_and_not_hidden():
    targets = [Target(host, 22, user) for user, host in [
        ("a/b", "r1"), ("a_b", "r1"), ("@", "r1"), (None, "r1"), ("jos\u00e9", "r1"), ("jos_", "r1"),
        (".svc", "r1"), (None, ".r1"), ("a%2F", "r1"), (None, "fe80::1%eth0")]]
    names = [_saved.capture_name(target) for target in targets]
    assert len(set(names)) == len(names) and not any(name.startswith(".") for name in names), names
