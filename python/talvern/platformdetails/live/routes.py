"""How each device is reached and logged in to, decided for the whole run
before anything connects, as OpenSSH decides it: the command line first
(--user as ssh -l, -i, -J), then the target (its user, port and an
inventory's columns), then the SSH config, then the defaults. A jump host
is looked up in the config as ssh -J looks it up, and is a route of its
own. Key files are loaded and known_hosts files read here, once each, in
the process that forks the workers; no config weakens host-key checking."""
import os
import stat
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from .credentials import CredentialError, PerTarget, Secret, password_from
from .settings import Settings
from .sshconfig import ConfigError, JumpHost, parse_jump
from .sshconfig_lookup import HostConfig
from .targets import DEFAULT_PORT, Target

DEVICE, JUMP_HOST = "the device", "the jump host"  # what a route reaches, as messages say it
MAX_HOPS = 16  # jump hosts in a row: more is taken for two ProxyJump lines leading to each other
SHOWN = 3  # hosts named in the warning about a config that would weaken host-key checking


class Route(NamedTuple):
    """One device's way in, or one jump host's. name: as messages name it
    (the target as given, or the hop as written); host: what is connected
    to (the config's HostName, else the name); asked: what a password
    callable is given; agent_identities: with IdentitiesOnly, the agent's
    keys that may be offered; via: the jump host reached just before, or
    proxy_command: what carries the connection instead of TCP."""

    name: str
    host: str
    port: int
    user: str
    keys: Tuple[Any, ...]
    agent: Optional[str]
    agent_identities: Optional[Tuple[bytes, ...]]
    password: Union[Secret, PerTarget, None]
    asked: Target
    unused: Tuple[str, ...]
    alias: Optional[str]
    known_hosts: Optional[Tuple[str, ...]]
    accept_new: bool
    connect_timeout: Optional[float]
    via: Optional["Route"]
    proxy_command: Optional[str]
    role: str = DEVICE

    @property
    def key(self) -> Tuple[Any, ...]:
        """The same jump host reached the same way: one connection serves both."""
        return (self.name, self.host, self.port, self.user, self.via.key if self.via is not None else None,
                self.proxy_command)


def shown_hop(hop: JumpHost) -> str:
    """A jump host as -J and ProxyJump write it."""
    host = "[%s]" % hop.host if ":" in hop.host else hop.host
    return (hop.user + "@" if hop.user else "") + host + (":%d" % hop.port if hop.port else "")


def _no_file(path: str) -> bool:
    """A known_hosts file that can hold no key, as /dev/null: every host in it
    would be new, which a config names to accept any key."""
    try:
        return stat.S_ISCHR(os.stat(os.path.expanduser(path)).st_mode)
    except OSError:
        return False


class Resolver:
    """Routes for the targets of one run, with the jump hosts they share."""

    def __init__(self, settings: Settings) -> None:
        self.settings = settings
        self.hops = {}  # type: Dict[Tuple[JumpHost, Any], Route]
        self.weakened = {}  # type: Dict[str, List[str]]  # what a config said and was not followed, by whom

    def target(self, target: Target) -> Route:
        settings = self.settings
        run = settings.credentials
        keys = list(run.keys)
        password = run.password
        try:
            if target.identity:
                keys.extend(settings.keyfiles.load(target.identity, True)[0])
            if target.password_env:
                password = password_from(None, target.password_env)
        except CredentialError as exc:
            raise CredentialError("%s: %s" % (target.name, exc)) from None
        jump = settings.jump
        if jump == () and target.jump:
            jump = parse_jump(target.jump, target.name, "jump")
        found = settings.sshconfig.lookup(target.host, settings.user or target.user, target.config_port, jump)
        return self._route(target.name, target.host, found, keys, run.keys_named or bool(target.identity),
                           password, target, 0)

    def hop(self, hop: JumpHost, rest: Optional[Tuple[JumpHost, ...]], depth: int) -> Route:
        """A jump host as ssh -J reaches it: its own user and port, else the
        config's; the hops before it (rest: () for those of its config)."""
        key = (hop, rest)
        if key not in self.hops:
            name = shown_hop(hop)
            if depth > MAX_HOPS:
                raise ConfigError("jump host %s: more than %d jump hosts in a row; does a ProxyJump lead back to"
                                  " itself?" % (name, MAX_HOPS))
            found = self.settings.sshconfig.lookup(hop.host, hop.user, hop.port, rest)
            asked = Target(hop.host, hop.port or DEFAULT_PORT, hop.user, name, port_named=hop.port == DEFAULT_PORT)
            # As ssh -J: no key of -i, and the run's password, never a device's own.
            self.hops[key] = self._route(name, hop.host, found, [], False, self.settings.credentials.password,
                                         asked, depth)._replace(role=JUMP_HOST)
        return self.hops[key]

    def _route(self, name: str, host: str, found: HostConfig, keys: List[Any], named: bool,
               password: Union[Secret, PerTarget, None], asked: Target, depth: int) -> Route:
        settings = self.settings
        files = settings.keyfiles
        unused = []  # type: List[str]
        unloaded = []  # type: List[str]
        if found.identity_files is not None:  # offered after those named, as ssh does
            for path in found.identity_files:
                loaded, why = files.load(path, False)
                keys = keys + list(loaded)
                if why is not None:
                    unused.append(why)
                    unloaded.append(path)
        elif not named:
            loaded, whys = files.defaults()
            keys, unused = keys + list(loaded), unused + list(whys)
        agent, only = settings.credentials.agent, None  # type: Optional[str], Optional[Tuple[bytes, ...]]
        if found.identities_only and agent is not None:
            publics = [bytes(key.public_data) for key in keys] + [files.public(path) for path in unloaded]
            only = tuple(public for public in publics if public)
            agent = agent if only else None
        if not keys and agent is None and password is None:
            raise CredentialError("no credentials for %s: no SSH agent, no key that can be used, and no password%s%s"
                                  % (name, "".join("; %s" % why for why in unused), "" if depth == 0 else
                                     " (as with ssh -J, a jump host is offered its own IdentityFile, not -i)"))
        known = found.user_known_hosts_files
        if known is not None:
            kept = tuple(path for path in known if not _no_file(path))
            if not kept:
                self._not_followed("UserKnownHostsFile %s" % (" ".join(known) or "none"), name)
            settings.hostkeys.read(kept)
            known = kept or None
        strict = found.strict_host_key_checking
        if strict == "no":
            self._not_followed("StrictHostKeyChecking no", name)
        via = None
        if found.proxy_jump:
            via = self.hop(found.proxy_jump[-1], found.proxy_jump[:-1], depth + 1)
        return Route(name, found.hostname or host, found.port or DEFAULT_PORT,
                     found.user or settings.credentials.user, tuple(keys), agent, only, password, asked,
                     tuple(unused), found.host_key_alias, known, settings.hostkeys.accept_new or strict == "accept-new",
                     None if found.connect_timeout is None else float(found.connect_timeout), via,
                     None if via is not None else found.proxy_command)

    def _not_followed(self, said: str, name: str) -> None:
        names = self.weakened.setdefault(said, [])
        if name not in names:
            names.append(name)

    def warn(self, warn: Callable[[str], None]) -> None:
        """Says once what the config would have weakened, and that it was not followed."""
        if not self.weakened:
            return
        parts = ["%s (for %s%s)" % (said, ", ".join(names[:SHOWN]), " and %d more" % (len(names) - SHOWN)
                                    if names[SHOWN:] else "") for said, names in self.weakened.items()]
        warn("the SSH config's %s not followed: host keys were checked as usual"
             % ("; ".join(parts) + (" is" if len(parts) == 1 else " are")))


def resolve(targets: Sequence[Target], settings: Settings, warn: Callable[[str], None]) -> Dict[Target, Route]:
    """Every target's route, before any device is asked: a config that
    cannot be looked up for one (ConfigError) or credentials that cannot be
    had (CredentialError) stop the run with one message."""
    resolver = Resolver(settings)
    routes = {}  # type: Dict[Target, Route]
    for target in targets:
        if target not in routes:
            routes[target] = resolver.target(target)
    resolver.warn(warn)
    return routes
