"""Host keys decided as OpenSSH decides them: side by side with its ssh
client on the same files, lines found as ssh-keygen -F finds them, and what
--accept-new-host-keys records when worker processes race for a new host."""
import asyncio
import multiprocessing
import shlex
import subprocess
import threading

import pytest

asyncssh = pytest.importorskip("asyncssh")

from ssh_emulator import Device, Emulator  # noqa: E402

from talvern.platformdetails.live.hostkeys import HostKeys, host_pattern  # noqa: E402

LIMIT = 20  # seconds any one server start, ssh run or worker may take
NAMES = ("host", "other", "ecdsa")


@pytest.fixture(scope="module")
def keys():
    return {name: asyncssh.generate_private_key("ecdsa-sha2-nistp256" if name == "ecdsa" else "ssh-ed25519")
            for name in NAMES + ("third", "fourth")}


def public(keys, name):
    return keys[name].export_public_key().decode().strip()


def own_file(tmp_path):
    return tmp_path / "config" / "talvern-platformdetails" / "known_hosts"


def test_one_key_per_new_host_whichever_worker_reaches_it_first(keys, tmp_path):
    """Worker processes forked from the same state, each presented another key
    for the same new host: one records it, the others find theirs changed, and
    so does a worker forked later from that state."""
    own = own_file(tmp_path)
    hostkeys = HostKeys([], str(own), True, global_files=[])
    context = multiprocessing.get_context("fork")
    names = ("host", "other", "third", "fourth")
    start, results = context.Barrier(len(names)), context.Queue()

    def worker(name):
        start.wait(LIMIT)
        results.put((name, hostkeys.check("edge-01", "", 22, keys[name].convert_to_public())))
    workers = [context.Process(target=worker, args=(name,), daemon=True) for name in names]
    for process in workers:
        process.start()
    try:
        said = dict(results.get(timeout=LIMIT) for _ in names)
    finally:
        for process in workers:
            process.join(LIMIT)
            if process.is_alive():
                process.terminate()
    first = [name for name, reason in said.items() if reason is None]
    assert len(first) == 1 and all("HOST KEY CHANGED" in said[name] for name in names if name not in first), said
    assert own.read_text() == "edge-01 %s\n" % public(keys, first[0])
    later = [hostkeys.check("EDGE-01", "", 22, keys[name].convert_to_public()) for name in names]
    assert [reason is None for reason in later] == [name in first for name in names]
    assert own.read_text().count("\n") == 1


@pytest.mark.parametrize("lines, host, port, accept_new, said", [
    (["edge-01 {host}"], "edge-01", 22, False, None),
    (["[edge-01]:2222 {host}"], "EDGE-01", 2222, False, None),  # names are matched in lower case
    (["edge-01 {other}"], "EDGE-01", 22, True, "HOST KEY CHANGED"),
    (["edge-01 {host}", "@revoked * {host}"], "edge-01", 22, False, "marked revoked"),
    (["@revoked * {host}"], "edge-01", 22, True, "marked revoked"),
    (["@revoked * {other}"], "edge-01", 22, False, "unknown host"),
    (["@revoked * {other}"], "edge-01", 22, True, None),
    (["edge-01 {other}"], "edge-01", 2222, False, "unknown host"),  # another port is another host
    (["edge-01 {other}"], "edge-01", 2222, True, None),
    (["[edge-01]:2222 {other}"], "edge-01", 22, False, "unknown host"),
    (["Edge-01 {host}"], "edge-01", 22, False, None),
    (["@revoked EDGE-01 {host}"], "edge-01", 22, True, "marked revoked"),
    (["edge-01 {host}", "@revoked\tEDGE-01\t{host}"], "edge-01", 22, False, "marked revoked"),
    (["oldrouter, {host}"], "edge-01", 2222, False, "unknown host"),  # a stray comma names no host
    (["oldrouter, {other}"], "edge-01", 2222, True, None),
    (["edge-01,10.0.0.1 {other}"], "10.0.0.1", 22, True, "HOST KEY CHANGED"),
    (["edge-01 {other}"], "edge-01.", 22, True, None),  # a name is matched as it is written
    (["xn--bcher-kva.example {host}"], "B\u00fcCHER.example", 22, False, None),
    (["b\u00fccher.example {host}"], "b\u00fccher.example", 22, False, "unknown host"),
])
def test_host_key_decisions(keys, tmp_path, lines, host, port, accept_new, said):
    named = {name: public(keys, name) for name in ("host", "other")}
    user_file = tmp_path / "known_hosts"
    user_file.write_text("".join(line.format(**named) + "\n" for line in lines), encoding="utf-8")
    own = own_file(tmp_path)
    hostkeys = HostKeys([str(user_file)], str(own), accept_new, global_files=[])
    reason = hostkeys.check(host, "192.0.2.1", port, keys["host"].convert_to_public())
    assert (reason is None) == (said is None) and (said or "") in (reason or ""), reason
    if reason is None and accept_new and not any(named["host"] in line.format(**named) for line in lines):
        assert own.read_text() == "%s %s\n" % (host_pattern(host.lower(), port), named["host"])
    else:
        assert not own.exists()


@pytest.mark.parametrize("host, port, alias, recorded", [
    ("B\u00fccher.Example", 2222, None, "[xn--bcher-kva.example]:2222"),
    ("EDGE-01", 22, None, "edge-01"),
    ("fe80::1%eth0", 830, None, "[fe80::1%eth0]:830"),
    ("10.0.0.1", 2222, "Edge-01", "edge-01"),  # under the alias, without the port
])
def test_a_new_host_is_recorded_as_it_is_looked_up(keys, tmp_path, host, port, alias, recorded):
    own = own_file(tmp_path)
    assert HostKeys([], str(own), True, global_files=[]).check(
        host, "", port, keys["host"].convert_to_public(), alias=alias) is None
    assert own.read_text() == "%s %s\n" % (recorded, public(keys, "host"))
    later = HostKeys([], str(own), False, global_files=[])
    assert later.check(host.upper(), "", port, keys["host"].convert_to_public(), alias=alias) is None
    assert "HOST KEY CHANGED" in later.check(host, "", port, keys["other"].convert_to_public(), alias=alias)


@pytest.mark.parametrize("host, make_unwritable, said", [
    ("edge-01", True, "not recorded: "),
    ("edge-01,*", False, "a name known_hosts cannot hold"),  # would stand for every host
    ("edge-01 *", False, "a name known_hosts cannot hold"),
    ("edge..b\u00fccher", False, "a name known_hosts cannot hold"),  # no ASCII form
])
def test_a_key_that_cannot_be_recorded_is_not_trusted(keys, tmp_path, host, make_unwritable, said):
    own = own_file(tmp_path)
    if make_unwritable:
        own.parent.parent.write_text("")  # a file where the folder of ours goes
    hostkeys = HostKeys([], str(own), True, global_files=[])
    for _ in range(2):
        reason = hostkeys.check(host, "", 22, keys["host"].convert_to_public())
        assert reason is not None and said in reason and "\n" not in reason, reason
    assert make_unwritable or not own.exists()


@pytest.mark.parametrize("bad, why", [
    ("@badmarker edge-01 {other}", "unknown marker (@badmarker)"),
    ("@revoked @revoked edge-01 {other}", "more than one marker"),
    ("@cert-authority *.lab {other}", "@cert-authority lines are not used"),
    ("edge-01", "no key"), ("edge-01 ssh-ed25519", "no key"), ("edge-01 # {other}", "no key"),
    ("edge-01 ssh-ed25519 AAAA", "cannot be read"), ("edge-01 ssh-foo AAAA", "cannot be read"),
    ("edge-01 ecdsa-sha2-nistp256 {other_blob}", "cannot be read"),  # the blob is another type's
    ("|1|AAAA|AAAA {other}", "hashed"), ("|2|x|y {other}", "hashed"),
])
def test_a_line_that_cannot_be_read_is_skipped_and_said_once(keys, tmp_path, bad, why):
    user_file = tmp_path / "known_hosts"
    user_file.write_text("# fleet\n%s\nedge-01 %s\n" % (bad.format(other=public(keys, "other"), other_blob=public(
        keys, "other").split()[1]), public(keys, "host")))
    hostkeys = HostKeys([str(user_file)], str(own_file(tmp_path)), False, global_files=[])
    for _ in range(2):
        assert hostkeys.check("edge-01", "", 22, keys["host"].convert_to_public()) is None
        assert hostkeys.algorithms("edge-01", 22) == ["ssh-ed25519"]
    assert len(hostkeys.problems) == 1 and hostkeys.problems[0].startswith("%s:2: " % user_file)
    assert why in hostkeys.problems[0], hostkeys.problems


def test_a_hosts_own_files_stand_for_the_users_and_are_read_once(keys, tmp_path):
    user, its_own, folder, own = tmp_path / "user", tmp_path / "its-own", tmp_path / "folder", own_file(tmp_path)
    user.write_text("edge-01 %s\n" % public(keys, "other"))
    its_own.write_text("edge-01 %s\n" % public(keys, "host"))
    own.parent.mkdir(parents=True)
    own.write_text("edge-02 %s\n" % public(keys, "host"))  # ours counts for every host
    folder.mkdir()
    hostkeys, host = HostKeys([str(user)], str(own), False, global_files=[]), keys["host"].convert_to_public()
    assert "HOST KEY CHANGED" in hostkeys.check("edge-01", "", 22, host)
    assert hostkeys.check("edge-01", "", 22, host, files=[str(its_own)]) is None
    its_own.unlink()  # read once: what it held still counts
    assert hostkeys.check("edge-01", "", 22, host, files=[str(its_own)]) is None
    assert hostkeys.check("edge-02", "", 22, host, files=[str(its_own)]) is None
    assert "cannot read %s" % folder in hostkeys.check("edge-01", "", 22, host, files=[str(folder)])
    assert hostkeys.algorithms("edge-01", 22, files=[str(folder)]) == []


FLEET = ("# fleet\n\n edge-01,10.0.0.1 {host}\n[edge-01]:2222 {other}\nedge-01 {ecdsa}\n"
         "[10.0.0.2]:830,core {host}\n"
         "EDGE-02 {other}\nbad-key AAAA\n,10.0.0.3 {ecdsa}\n*.lab,!core.lab {host}\n@revoked edge-0? {other}\n"
         "lab-?? {ecdsa}\n")


@pytest.mark.parametrize("hashed", [False, True])
@pytest.mark.parametrize("host, port", [
    ("edge-01", 22), ("edge-01", 2222), ("10.0.0.1", 22), ("core", 22), ("10.0.0.2", 830), ("EDGE-02", 22),
    ("bad-key", 22), ("10.0.0.3", 22), ("a.lab", 22), ("core.lab", 22), ("edge-05", 22), ("lab-01", 22),
    ("nowhere", 22),
])
def test_lines_found_for_a_host_are_those_ssh_keygen_finds(keys, tmp_path, hashed, host, port):
    """Plain lines kept by name, patterns, negations and hashed names (which
    ssh-keygen -H writes for plain lines only) find what OpenSSH finds."""
    path = tmp_path / "known_hosts"
    text = FLEET.format(**{name: public(keys, name) for name in NAMES})
    path.write_text(text.replace("bad-key AAAA\n", "") if hashed else text)  # ssh-keygen -H refuses it
    if hashed:
        subprocess.run(["/usr/bin/ssh-keygen", "-H", "-f", str(path)], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=LIMIT, check=True)
    name = host_pattern(host.lower(), port)
    proc = subprocess.run(["/usr/bin/ssh-keygen", "-l", "-F", name, "-f", str(path)], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, timeout=LIMIT)
    found = [int(line.split(" line ")[1].split()[0]) for line in proc.stdout.decode().splitlines()
             if line.startswith("# Host ")]
    hostkeys = HostKeys([str(path)], str(own_file(tmp_path)), False, global_files=[])
    assert [record.line for record in hostkeys._records(name, None)] == found


@pytest.fixture(scope="module")
def servers(keys):
    """A server on 127.0.0.1 for each host key, served from a thread: {key name: port}."""
    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()
    emulator = Emulator(keys["host"], [])

    def call(coroutine):
        return asyncio.run_coroutine_threadsafe(coroutine, loop).result(LIMIT)
    try:
        yield {name: call(emulator.start(Device("", host_key=keys[name]))) for name in NAMES}
    finally:
        call(emulator.close())
        loop.call_soon_threadsafe(loop.stop)
        thread.join(LIMIT)
        loop.close()


def openssh_says(host, port, user_files, global_file, alias):
    """What ssh decides of the host key: ok, unknown, changed or revoked."""
    command = ["/usr/bin/ssh", "-F", "/dev/null", "-4", "-p", str(port), "-o", "BatchMode=yes",
               "-o", "StrictHostKeyChecking=yes", "-o", "UserKnownHostsFile=" + " ".join(map(str, user_files)),
               "-o", "GlobalKnownHostsFile=%s" % global_file, "-o", "ConnectTimeout=5",
               "-o", "IdentityAgent=none", "-o", "PubkeyAuthentication=no", "-o", "PasswordAuthentication=no",
               "-o", "KbdInteractiveAuthentication=no", "-o", "GSSAPIAuthentication=no"]
    command += ["-o", "HostKeyAlias=" + alias] if alias else []
    proc = subprocess.run(command + [host, "true"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=LIMIT)
    said = proc.stderr.decode()
    for words, verdict in [("IDENTIFICATION HAS CHANGED", "changed"), ("REVOKED HOST KEY", "revoked"),
                           ("host key is known for", "unknown"), ("Permission denied", "ok")]:
        if words in said:
            return verdict
    raise AssertionError(said)


def ours_says(reason):
    if reason is None:
        return "ok"
    for words, verdict in [("HOST KEY CHANGED", "changed"), ("marked revoked", "revoked"),
                           ("unknown host", "unknown")]:
        if words in reason:
            return verdict
    raise AssertionError(reason)


SELF = "[localhost]:{port}"
SIDE_BY_SIDE = [
    # (known_hosts lines, host asked, key the server presents, ssh's verdict, ours where it differs,
    #  options: "global" lines, "second" user file lines, "alias", "hashed")
    ([SELF + " {host}"], "localhost", "host", "ok", None, {}),
    ([SELF + " {other}"], "localhost", "host", "changed", None, {}),
    ([], "localhost", "host", "unknown", None, {}),
    # the address's record neither stands in for the name's nor is consulted
    ([SELF + " {host}", "[127.0.0.1]:{port} {other}"], "localhost", "other", "changed", None, {}),
    (["[127.0.0.1]:{port} {host}"], "localhost", "host", "unknown", None, {}),
    (["[127.0.0.1]:{port} {host}"], "127.0.0.1", "host", "ok", None, {}),
    ([SELF + " {host}"], "LOCALHOST", "host", "ok", None, {}),
    (["[LocalHost]:{port} {host}"], "localhost", "host", "ok", None, {}),
    ([SELF + " {host}"], "localhost", "ecdsa", "changed", None, {}),  # another type on record
    # the entry without a port: OpenSSH takes it, we keep ports apart
    (["localhost {host}"], "localhost", "host", "ok", "unknown", {}),
    (["localhost {other}"], "localhost", "host", "unknown", None, {}),
    (["[local*]:{port} {other}"], "localhost", "host", "changed", None, {}),
    (["[127.0.0.?]:{port} {host}"], "127.0.0.1", "host", "ok", None, {}),
    (["*,![localhost]:{port} {other}"], "localhost", "host", "unknown", None, {}),
    ([SELF + ",![127.0.0.1]:{port} {host}"], "localhost", "host", "ok", None, {}),
    (["oldrouter,," + SELF + " {host}"], "localhost", "host", "ok", None, {}),
    (["  " + SELF + "\t {host} a comment\r"], "localhost", "host", "ok", None, {}),
    (["@revoked * {host}", SELF + " {host}"], "localhost", "host", "revoked", None, {}),
    (["@revoked\t" + SELF + "\t{host_tab}", SELF + " {host}"], "localhost", "host", "revoked", None, {}),
    # OpenSSH ends a marker at the line's first space, if any: it skips this line, we honour it
    (["@revoked\t" + SELF + "\t{host}", SELF + " {host}"], "localhost", "host", "ok", "revoked", {}),
    (["@revoked * {other}", SELF + " {host}"], "localhost", "host", "ok", None, {}),
    # lines that cannot be read are skipped
    (["@badmarker " + SELF + " {other}", SELF + " {host}"], "localhost", "host", "ok", None, {}),
    ([SELF, SELF + " ssh-ed25519", SELF + " ssh-ed25519 AAAA", SELF + " {host}"], "localhost", "host", "ok",
     None, {}),
    (["|1|AAAA|AAAA {other}", SELF + " {host}"], "localhost", "host", "ok", None, {}),
    (["@cert-authority " + SELF + " {other}"], "localhost", "host", "unknown", None, {}),
    ([SELF + " {host}", "[127.0.0.1]:{port} {other}"], "localhost", "host", "ok", None, {"hashed": True}),
    ([SELF + " {other}"], "localhost", "host", "changed", None, {"hashed": True}),
    ([], "localhost", "host", "ok", None, {"global": [SELF + " {host}"]}),
    ([], "localhost", "host", "changed", None, {"global": [SELF + " {other}"]}),
    ([SELF + " {host}"], "localhost", "host", "ok", None, {"global": [SELF + " {other}"]}),  # any one matches
    ([], "localhost", "host", "ok", None, {"second": [SELF + " {host}"]}),
    (["edge-01 {host}"], "localhost", "host", "ok", None, {"alias": "Edge-01"}),
    (["edge-01 {other}", SELF + " {host}"], "localhost", "host", "changed", None, {"alias": "edge-01"}),
    ([SELF + " {host}"], "localhost", "host", "unknown", None, {"alias": "edge-01"}),
]


@pytest.mark.parametrize("lines, host, presented, openssh, ours, options", SIDE_BY_SIDE)
def test_host_keys_decided_as_openssh_decides(keys, servers, tmp_path, lines, host, presented, openssh, ours,
                                             options):
    port = servers[presented]
    named = {name: public(keys, name) for name in NAMES}
    named["host_tab"] = named["host"].replace(" ", "\t")

    def write(name, lines):
        path = tmp_path / name
        path.write_text("".join(line.format(port=port, **named) + "\n" for line in lines))
        return path
    user, global_file = write("known_hosts", lines), write("global", options.get("global", []))
    user_files = [user] + ([write("second", options["second"])] if "second" in options else [])
    if options.get("hashed"):
        subprocess.run(["/usr/bin/ssh-keygen", "-H", "-f", str(user)], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=LIMIT, check=True)
        assert "localhost" not in user.read_text()
    assert openssh_says(host, port, user_files, global_file, options.get("alias")) == openssh
    hostkeys = HostKeys([str(user)], str(own_file(tmp_path)), False, global_files=[str(global_file)])
    files = [str(path) for path in user_files] if "second" in options else None
    reason = hostkeys.check(host, "127.0.0.1", port, keys[presented].convert_to_public(),
                            alias=options.get("alias"), files=files)
    assert ours_says(reason) == (ours or openssh), reason


def test_a_changed_key_names_the_entry_to_remove(keys, tmp_path):
    user = tmp_path / "known_hosts"
    user.write_text("# fleet\n[127.0.0.1]:2201 %s\n[127.0.0.1]:2202 %s\n" % (public(keys, "other"),
                                                                             public(keys, "other")))
    hostkeys = HostKeys([str(user)], str(own_file(tmp_path)), True, global_files=[])
    reason = hostkeys.check("127.0.0.1", "127.0.0.1", 2201, keys["host"].convert_to_public())
    fingerprints = [keys[name].get_fingerprint("sha256") for name in ("host", "other")]
    assert all(words in reason for words in ["HOST KEY CHANGED", "%s:2" % user] + fingerprints), reason
    command = reason.split("(")[-1].split(")")[0]
    assert command == "ssh-keygen -R '[127.0.0.1]:2201' -f %s" % shlex.quote(str(user))
    subprocess.run(command, shell=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=LIMIT,
                   check=True)
    assert user.read_text().startswith("# fleet\n[127.0.0.1]:2202 ")  # that entry and no other
