"""Nornir integration: each host's platform filled in from what the device
itself prints for its version command.

    from talvern.platformdetails.nornir import detect_platform, fill_platforms

    nr.run(task=detect_platform, platforms={"TOLM12": "tolm", "kveos": "kveos_eos"})
    result = fill_platforms(nr, platforms=PLATFORMS, password_env="DEVICE_PW")

detect_platform is a task, one host at a time in Nornir's runner;
fill_platforms asks every host of a Nornir object in one pass of the live
mode (worker processes and event loops, not threads) and returns Nornir's
AggregatedResult, so that print_result works. Both use each host's
hostname, port, username and password as Nornir's inventory gives them for
the connection "talvern_platformdetails" (its extras may hold any option
of live.Settings), and take the other options as keywords. Needs the
``nornir`` extra.
"""
import threading
from typing import Any, Dict, List, Mapping, Optional, Tuple

try:
    from nornir.core.task import AggregatedResult, MultiResult, Result, Task
except ImportError as exc:
    raise ImportError("the Nornir integration needs nornir: pip install 'talvern-platformdetails[nornir]'",
                      name="nornir") from exc

from .live import Answer, Settings, Target, ask
from .live.asking import answers

CONNECTION = "talvern_platformdetails"
#: The family each detector names, as platforms may map it.
FAMILIES = {"fetch_kveos_details": "kveos", "get_garu_details": "garu", "get_vkorin_details": "vkorin",
            "get_prav_details": "prav", "get_tolm_details": "tolm"}
FILL_CONCURRENCY = 1000  # devices fill_platforms asks at once, by default
_settings = {}  # type: Dict[Tuple[int, Tuple[Any, ...]], Settings]
_lock = threading.Lock()


class _Passwords:
    """Each host's own password, looked up when its device asks for one:
    nothing of it is held in the settings, pickled or shown."""

    def __init__(self, nornir: Any) -> None:
        self.hosts = nornir.inventory.hosts

    def __call__(self, target: Target) -> Optional[str]:
        host = self.hosts.get(target.given)
        return None if host is None else host.get_connection_parameters(CONNECTION).password

    def __repr__(self) -> str:
        return "_Passwords(***)"


def _target(host: Any) -> Tuple[Target, Dict[str, Any]]:
    """The host as a target, named by the host's name, and its connection's extras."""
    found = host.get_connection_parameters(CONNECTION)
    return Target(found.hostname or host.name, found.port or 22, found.username, host.name), dict(found.extras or {})


def _settings_for(nornir: Any, options: Dict[str, Any], extras: Dict[str, Any]) -> Settings:
    """The settings of a run, made once per Nornir object and options, so
    that keys are loaded and known_hosts read once, not per host."""
    chosen = dict(options, **extras)
    if "password" not in chosen and "password_env" not in chosen:
        chosen["password"] = _Passwords(nornir)
    key = (id(nornir.inventory), tuple(sorted((name, repr(value)) for name, value in chosen.items())))
    with _lock:
        if key not in _settings:
            _settings[key] = Settings(**chosen)
        return _settings[key]


def _result(host: Any, answer: Answer, platforms: Optional[Mapping[str, str]]) -> Result:
    """The host's Result, holding its Answer; its platform set where the
    model or family is one platforms names."""
    changed = False
    if answer.failure is None and platforms is not None:
        platform = platforms.get(answer.model or "") or platforms.get(FAMILIES.get(answer.detector or "", ""))
        if platform is not None and host.platform != platform:
            host.platform = platform
            changed = True
    return Result(host=host, result=answer, changed=changed, failed=answer.failure is not None)


def detect_platform(task: Task, platforms: Optional[Mapping[str, str]] = None, **options: Any) -> Result:
    """A Nornir task: asks the host's device, and with platforms sets
    task.host.platform from its model or family. A device that fails gives
    failed=True, its Answer's failure the class."""
    target, extras = _target(task.host)
    return _result(task.host, ask(target, _settings_for(task.nornir, options, extras)), platforms)


def fill_platforms(nr: Any, platforms: Optional[Mapping[str, str]] = None, **options: Any) -> AggregatedResult:
    """Asks every host of nr in one pass of the live mode, sets the
    platforms as detect_platform does, and returns an AggregatedResult.
    Up to FILL_CONCURRENCY devices are asked at once unless concurrency
    says otherwise: a device spends most of its time waiting."""
    hosts = nr.inventory.hosts
    options = dict(options)
    options.setdefault("concurrency", max(1, min(len(hosts), FILL_CONCURRENCY)))
    groups = {}  # type: Dict[str, Tuple[Dict[str, Any], List[Target]]]  # hosts with the same extras
    for host in hosts.values():
        target, extras = _target(host)
        groups.setdefault(repr(sorted(extras.items())), (extras, []))[1].append(target)
    aggregated = AggregatedResult("fill_platforms")
    for extras, targets in groups.values():
        settings = _settings_for(nr, options, extras)
        for target, answer in answers(targets, settings):
            host = hosts[target.given]
            aggregated[host.name] = MultiResult("fill_platforms")
            aggregated[host.name].append(_result(host, answer, platforms))
    return aggregated
