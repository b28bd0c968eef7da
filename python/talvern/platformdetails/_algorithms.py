"""The algorithms a connection offers: asyncssh's defaults as OpenSSH
would offer them, and with --legacy-algorithms the old ones as well. Made
once per process: every connection in flight holds them."""
import warnings
from typing import Dict, List, Sequence

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # import-time warnings, as in _ssh
    import asyncssh

LEGACY_KEX = ("diffie-hellman-group14-sha1", "diffie-hellman-group-exchange-sha1",
              "diffie-hellman-group1-sha1")
LEGACY_CIPHERS = ("aes128-cbc", "aes256-cbc", "3des-cbc")
LEGACY_HOST_KEYS = ("ssh-rsa", "ssh-dss")


_ALGORITHMS = {}  # type: Dict[bool, Dict[str, List[str]]]
_HOST_KEY_ALGS = {}  # type: Dict[bool, List[str]]


def algorithms(legacy: bool) -> Dict[str, List[str]]:
    """Connection options: asyncssh's defaults without SHA-1 key exchange,
    as OpenSSH's, nor GSS key exchange, which needs Kerberos and which
    OpenSSH offers only when asked; with --legacy-algorithms, the old ones
    as well. Made once per process: every connection in flight holds them."""
    if legacy not in _ALGORITHMS:
        _ALGORITHMS[legacy] = _algorithms(legacy)
    return _ALGORITHMS[legacy]


def _algorithms(legacy: bool) -> Dict[str, List[str]]:
    def names(algs: Sequence[bytes], extra: Sequence[str]) -> List[str]:
        found = [alg.decode("ascii") for alg in algs if not alg.startswith(b"gss-")]
        if legacy:
            return found + [alg for alg in extra if alg not in found]
        return [alg for alg in found if alg not in extra and not alg.endswith("-sha1")]
    return {"kex_algs": names(asyncssh.kex.get_default_kex_algs(), LEGACY_KEX),
            "encryption_algs": gcm_first(names(asyncssh.encryption.get_default_encryption_algs(), LEGACY_CIPHERS)),
            "mac_algs": names(asyncssh.mac.get_default_mac_algs(), ())}


def gcm_first(ciphers: List[str]) -> List[str]:
    """AES-GCM before ChaCha20-Poly1305: as strong, and set up once per
    connection instead of once per packet, which made a fifth of a
    fleet run's CPU time."""
    first = [name for name in ("aes256-gcm@openssh.com", "aes128-gcm@openssh.com") if name in ciphers]
    return first + [name for name in ciphers if name not in first]


def host_key_algs(preferred: Sequence[str], legacy: bool) -> List[str]:
    """The known key types first, so a host with several keys shows the one on record."""
    defaults = _HOST_KEY_ALGS.get(legacy)
    if defaults is None:
        defaults = [alg.decode("ascii") for alg in asyncssh.public_key.get_default_public_key_algs()]
        if legacy:
            defaults += [alg for alg in LEGACY_HOST_KEYS if alg not in defaults]
        else:
            defaults = [alg for alg in defaults if alg not in LEGACY_HOST_KEYS]
        _HOST_KEY_ALGS[legacy] = defaults
    first = [alg for alg in preferred if alg in defaults]
    return first + [alg for alg in defaults if alg not in first]
