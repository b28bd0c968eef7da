"""The algorithms a connection offers: OpenSSH's client defaults, as far as
asyncssh has them, and with --legacy-algorithms everything else asyncssh
offers and the old ones as well. Made once per process: every connection
in flight holds them, and its key-exchange packet names each one."""
from typing import Dict, Iterable, List, Sequence, Tuple

from ._asyncssh import asyncssh

# ssh_config(5): KexAlgorithms, Ciphers, MACs and HostKeyAlgorithms (without
# certificates, which known_hosts lines do not hold), in OpenSSH's order.
OPENSSH_KEX = ("mlkem768x25519-sha256", "sntrup761x25519-sha512", "sntrup761x25519-sha512@openssh.com",
               "curve25519-sha256", "curve25519-sha256@libssh.org", "ecdh-sha2-nistp256",
               "ecdh-sha2-nistp384", "ecdh-sha2-nistp521", "diffie-hellman-group-exchange-sha256",
               "diffie-hellman-group16-sha512", "diffie-hellman-group18-sha512", "diffie-hellman-group14-sha256")
# AES-GCM first: as strong as ChaCha20-Poly1305, and set up once per
# connection instead of once per packet, which made a fifth of a fleet
# run's CPU time.
OPENSSH_CIPHERS = ("aes256-gcm@openssh.com", "aes128-gcm@openssh.com", "chacha20-poly1305@openssh.com",
                   "aes128-ctr", "aes192-ctr", "aes256-ctr")
OPENSSH_MACS = ("umac-64-etm@openssh.com", "umac-128-etm@openssh.com", "hmac-sha2-256-etm@openssh.com",
                "hmac-sha2-512-etm@openssh.com", "hmac-sha1-etm@openssh.com", "umac-64@openssh.com",
                "umac-128@openssh.com", "hmac-sha2-256", "hmac-sha2-512", "hmac-sha1")
OPENSSH_HOST_KEYS = ("ssh-ed25519", "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384", "ecdsa-sha2-nistp521",
                     "sk-ssh-ed25519@openssh.com", "sk-ecdsa-sha2-nistp256@openssh.com", "rsa-sha2-512",
                     "rsa-sha2-256")

LEGACY_KEX = ("diffie-hellman-group14-sha1", "diffie-hellman-group-exchange-sha1",
              "diffie-hellman-group1-sha1")
LEGACY_CIPHERS = ("aes128-cbc", "aes256-cbc", "3des-cbc")
LEGACY_HOST_KEYS = ("ssh-rsa", "ssh-dss")


_ALGORITHMS = {}  # type: Dict[bool, Dict[str, List[str]]]
_HOST_KEY_ALGS = {}  # type: Dict[bool, Tuple[List[str], List[str]]]


def algorithms(legacy: bool) -> Dict[str, List[str]]:
    """Connection options for key exchange, ciphers and MACs. No GSS key
    exchange: it needs Kerberos, and OpenSSH offers it only when asked."""
    if legacy not in _ALGORITHMS:
        _ALGORITHMS[legacy] = {
            "kex_algs": _offer(asyncssh.kex.get_default_kex_algs(), OPENSSH_KEX, LEGACY_KEX, legacy),
            "encryption_algs": _offer(asyncssh.encryption.get_default_encryption_algs(), OPENSSH_CIPHERS,
                                      LEGACY_CIPHERS, legacy),
            "mac_algs": _offer(asyncssh.mac.get_default_mac_algs(), OPENSSH_MACS, (), legacy)}
    return _ALGORITHMS[legacy]


def host_key_algs(preferred: Sequence[str], legacy: bool) -> List[str]:
    """The known key types first, so a host with several keys shows the one
    on record; a modern type asyncssh has is asked for when it is on record,
    even where OpenSSH would not offer it."""
    if legacy not in _HOST_KEY_ALGS:
        defaults = asyncssh.public_key.get_default_public_key_algs()
        _HOST_KEY_ALGS[legacy] = (_offer(defaults, OPENSSH_HOST_KEYS, LEGACY_HOST_KEYS, legacy),
                                  _offer(defaults, OPENSSH_HOST_KEYS, LEGACY_HOST_KEYS, True)
                                  if legacy else [alg for alg in _names(defaults) if alg not in LEGACY_HOST_KEYS])
    offered, if_known = _HOST_KEY_ALGS[legacy]
    first = _unique(alg for alg in preferred if alg in if_known)
    return first + [alg for alg in offered if alg not in first]


def _offer(defaults: Sequence[bytes], openssh: Sequence[str], old: Sequence[str], legacy: bool) -> List[str]:
    have = _names(defaults)
    chosen = [alg for alg in openssh if alg in have]
    return _unique(chosen + have + list(old)) if legacy else chosen


def _names(algs: Iterable[bytes]) -> List[str]:
    return [alg.decode("ascii") for alg in algs if not alg.startswith(b"gss-")]


def _unique(algs: Iterable[str]) -> List[str]:
    return list(dict.fromkeys(algs))
