"""The command asking devices: the targets from the command line and
inventories, credentials and host keys read once, the devices asked by the
live mode, and each reply answered exactly as a file's text would be, in
the same formats and with the same statuses, written as soon as it comes.
--save keeps each device's text in a folder, to answer later as files.
"""
from typing import Any, Callable, Dict, List, Optional, Set, TextIO, Tuple

from .._detect import describe_exception
from .._failures import CLASSES
from ..live.answer import Answer
from ..live.asking import answers
from ..live.credentials import CredentialError
from ..live.routes import Route, resolve
from ..live.settings import CONCURRENCY, DEFAULT_COMMAND, Settings
from ..live.targets import Target, TargetError
from . import saving
from .answers import Answerer, Outcome
from .escape import escape
from .output import Writer
from .progress import Progress, is_terminal
from .signals import Stopped

TYPE_CHECKING = False
if TYPE_CHECKING:
    from .answers import Message


def _targets(line: Any) -> List[Target]:
    from .inventory import collect, unique

    targets = collect(line.files, line.inventory or ())
    if line.retry_failed is not None:
        again = saving.read_failed(line.retry_failed)
        if again is None:
            raise TargetError("--retry-failed %s: no run was saved there (--save DIR keeps one)"
                              % line.retry_failed)
        targets = unique(targets + [target for target, _, _ in again])  # an inventory's columns kept
    return targets


def _settings(line: Any, stdin: Optional[TextIO], max_line_length: Optional[int]) -> Settings:
    """The live mode's settings from the command line: a passphrase and the
    password asked at the terminal where the run has one."""
    import getpass

    at_terminal = is_terminal(stdin)
    password = None  # type: Optional[str]
    if line.ask_password:
        if not at_terminal:
            raise CredentialError("--ask-password needs a terminal; use --password-env NAME elsewhere")
        password = getpass.getpass("SSH password: ")
    options = {"max_size": line.max_size} if line.max_size else {}  # type: Dict[str, Any]
    if line.timeout is not None:
        options["timeout"] = line.timeout
    if line.paging_off:
        options["paging_off"] = line.paging_off
    return Settings(user=line.user, keys=line.identity, password=password, password_env=line.password_env,
                    passphrase=(lambda path: getpass.getpass("Passphrase for %s: " % path)) if at_terminal else None,
                    accept_new_host_keys=line.accept_new_host_keys, legacy_algorithms=line.legacy_algorithms,
                    command=line.command or DEFAULT_COMMAND, max_line_length=max_line_length,
                    concurrency=line.concurrency or CONCURRENCY, jobs=line.jobs, ssh_config=line.ssh_config,
                    jump=line.jump, **options)


def outcome(answerer: Answerer, answer: Answer) -> Outcome:
    """An answer as a file's would be, or its failure as an input that could
    not be answered; how the device was asked goes into the entry."""
    name = answer.target
    messages = []  # type: List[Message]
    error = None  # type: Optional[str]
    if answer.failure is not None:
        error = "%s: %s" % (answer.failure, answer.reason)
        messages.append(("error", name, error))
    elif answer.warning is not None:
        messages.append(("warning", name, answer.warning))
    answered = answerer.outcome(name, answer.text, answer.detection, error, messages, error is not None)
    answered.entry.update(via=answer.via, seconds=round(answer.seconds, 3), failure=answer.failure)
    return answered


def _save(folder: saving.SaveFolder, target: Target, answer: Answer, settings: Settings, route: Route,
          answered: Outcome) -> None:
    """The device's text in the folder; a failed device's last capture goes,
    so the folder says what this run found."""
    try:
        if answer.failure is not None or answer.output is None:
            folder.forget(target)
        else:
            folder.save(target, route.user, answer.output, settings.command, answer.via or "", answer.seconds)
    except OSError as exc:  # the answer stands; the folder lacks it
        what = "not saved" if answer.failure is None else "not removed"
        answered.messages += ((what, answer.target, describe_exception(exc)),)


def _write_failed(folder: saving.SaveFolder, targets: List[Target], asked: Set[Target],
                  failed: Dict[Target, Tuple[str, str]], warn: Callable[[str], None]) -> None:
    """The targets that failed, and those never asked, for --retry-failed."""
    missed = "the run ended before it was asked"
    try:
        folder.write_failed([(target,) + failed.get(target, (saving.INTERRUPTED, missed)) for target in targets
                             if target in failed or target not in asked])
    except OSError as exc:
        warn("cannot save the failed targets in %s: %s" % (folder.path, describe_exception(exc)))
    finally:
        folder.close()


def run_devices(line: Any, answerer: Answerer, stdout: TextIO, stderr: TextIO, stdin: Optional[TextIO],
                prog: str) -> int:
    def warn(message: str) -> None:
        stderr.write("%s: warning: %s\n" % (prog, escape(message)))

    try:
        targets = _targets(line)
        settings = _settings(line, stdin, answerer.max_line_length)
        routes = resolve(targets, settings, warn)  # every target looked up in the SSH config first
        path = line.save if line.save is not None else line.retry_failed
        folder = saving.open_folder(path) if path is not None and targets else None
    except (TargetError, CredentialError, ValueError) as exc:  # SaveError and ConfigError included
        stderr.write("%s: error: %s\n" % (prog, escape(str(exc))))
        return 2
    for problem in settings.hostkeys.problems:  # lines of known_hosts that are skipped
        warn(problem)
    if not targets:
        stderr.write("%s: nothing to ask: no targets\n" % prog)
        return 0
    output = Writer(line.format, stdout, stderr, prog, answerer.table is not None)
    progress = Progress(stderr, is_terminal(stdout))
    failures = {kind: 0 for kind in CLASSES}  # type: Dict[str, int]
    asked = set()  # type: Set[Target]
    failed = {}  # type: Dict[Target, Tuple[str, str]]
    changed = []  # type: List[str]
    answered_all = answers(targets, settings, warn, output.flush, routes)
    try:
        for target, answer in answered_all:
            answered = outcome(answerer, answer)
            asked.add(target)
            if answer.failure is not None:
                failed[target] = (answer.failure, answer.reason or "")
                failures[answer.failure] += 1
                if answer.failure in ("host-key", "jump") and "HOST KEY CHANGED" in (answer.reason or ""):
                    changed.append(answer.target)
            if folder is not None:
                _save(folder, target, answer, settings, routes[target], answered)
            output.take(answered, progress, then_flush=True)  # each answer is out as soon as it is known
            progress.update(output.total, len(targets), len(failed))
    except (KeyboardInterrupt, Stopped):
        progress.clear()
        stderr.write("%s: interrupted: %d of %d devices answered\n" % (prog, output.total, len(targets)))
        raise
    finally:
        answered_all.close()
        progress.clear()
        if folder is not None:
            _write_failed(folder, targets, asked, failed, warn)
    if changed:
        # Said again last, where it cannot scroll away among other answers.
        stderr.write("%s: WARNING: THE HOST KEY CHANGED for %d device(s): %s. Someone may be intercepting"
                     " the connections; nothing was recorded or overwritten.\n"
                     % (prog, len(changed), ", ".join(map(escape, changed[:5])) + (", ..." if changed[5:] else "")))
    return output.finish(line.summary, {kind: count for kind, count in failures.items() if count})
