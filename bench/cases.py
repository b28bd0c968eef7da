"""Version texts and the benchmark cases built on them.

Each text is what a device of one family might print for its version
command (27 to 36 lines); one comes from a device of no family here.
A case names a function, its arguments (made for one implementation, so
that detectors used as actions are that implementation's own), and
whether the call is expected to raise.
"""
import itertools


def _lines(*parts):
    return "\n".join(parts) + "\n"


def _filler(prefix, count):
    """Lines of the kind every version text carries: uptime, memory, ports."""
    templates = [
        "{p} uptime is 41 weeks, 3 days, 7 hours, 12 minutes",
        "{p} free memory: 3714528 kB of 8039292 kB",
        "{p} interface Ethernet{i}/1 is up, line protocol is up (connected)",
        "{p} last reload reason: power cycle at 2023-04-18 06:12:{i:02d}",
        "{p} boot image: flash:/image-{i}.swi checksum 0x{i:08x}",
        "{p} module {i}: 48x10GE linecard, serial JPE1{i:04d}, ok",
    ]
    cycle = itertools.cycle(templates)
    return [next(cycle).format(p=prefix, i=i) for i in range(count)]


def _kveos(hardware_line, extra=()):
    return _lines(
        "KVE-OS Software image version: 4.22.1F",
        "Copyright (c) 2009-2023 Vantrel Networks Ltd. All rights reserved.",
        "Architecture: x86_64",
        "Internal build version: 4.22.1F-13062802.4221F",
        "Internal build ID: 9d3f0c1e-8a2b-4c7d-9e11-3b2a5f6d7c80",
        *extra,
        *_filler("System", 14),
        "Hardware",
        "  " + hardware_line,
        "Serial number: SSJ17151234",
        "Hardware MAC address: 001c.7385.2a10",
        "System MAC address: 001c.7385.2a10",
        *_filler("Supervisor", 10),
        "Total memory: 8039292 kB",
    )


KVEOS_OSTREL = _kveos("vantrel Ostrel7280 Chassis-XL 32-port 100GE")
KVEOS_VIRTUAL = _kveos("vantrel KVE-OSv Chassis virtual")
KVEOS_MODEL = _kveos("vantrel DCS7050 SX3-48YC8 rev 11.02")
KVEOS_DEMO = _kveos(
    "vantrel Ostrel1234 P4416 Chassis",
    extra=("Corvath is a demo version of the Ostrel Operating System",),
)


def _garu(kernel_line, count=30):
    head = _filler("Node", count // 2)
    tail = _filler("Port", count - count // 2)
    return _lines(
        "GARU Operating System Software, Release 11.4.2",
        "Technical support: support@vantrel.example",
        *head,
        kernel_line,
        "Build date: Mon 12 Jun 2023 04:51:12 UTC",
        *tail,
    )


GARU = _garu("Kernel: Solaris Unix 5.11 sun4v sparc")
FESK = _garu("Kernel: Linux Unix 4.19.0-24-amd64")
FESK_L2 = _garu("Kernel: LINUX_L2 edition 4.19.0-24-amd64")


def _vkorin(word):
    return _lines(
        "Vantrel Internetwork Operating System Software",
        "Vantrel KORIN Software, " + word + " Software (VKORIN-UNIVERSALK9-M), Version 16.9.3",
        "Technical Support: support@vantrel.example",
        "Copyright (c) 1986-2023 by Vantrel Systems, Inc.",
        *_filler("Router", 22),
        "Configuration register is 0x2102",
    )


VKORIN = _vkorin("KORINv")
VKORIN_L2 = _vkorin("vkorin_l2")


def _prav(model_line):
    return _lines(
        "PRAV-OS-C-20.10.R1 cpm/x86_64 PRAV OS, Copyright (c) 2000-2023 Vantrel.",
        "All rights reserved. All use subject to applicable license agreements.",
        "Built on Thu Oct 15 17:35:04 PDT 2023 by builder in /builds/c/2010B/R1/prav/main/os",
        *_filler("Chassis", 12),
        model_line,
        *_filler("Card", 12),
        "Current power state: powered on",
    )


PRAV_MODEL = _prav("System Type : Vantrel PRAV-7750 SR-12")
PRAV_MARKER = _prav("Management : KORIN DALM Admin console")


def _tolm(first_lines):
    return _lines(
        *first_lines,
        *_filler("Slot", 24),
        "Last configuration change: 2023-05-02 11:04:17",
    )


TOLM_CHASSIS = _tolm((
    "TOLM Network Operating System",
    "Software version: 9.3(8)",
    "Hardware: TOLM-9396 PX Chassis (48 ports)",
    "Processor board ID SAL1819S6LU",
))
TOLM_PROCESSOR = _tolm((
    "TOLM Network Operating System",
    "Software version: 9.3(8)",
    "Vantrel TOLM-3064 Series (PX-2) processor with 16401664K bytes of memory.",
    "Processor board ID SAL1819S6LU",
))
TOLM_THIRD_LINE = _tolm((
    "VANTREL Q-32 (R2) processor with 8K bytes",
    "Software version: 9.3(8)",
    "TOLM-31-XL",
    "Processor board ID SAL1819S6LU",
))

UNRELATED = _lines(
    "Quillon Systems QX-200 firmware 7.1.4 (build 2291)",
    "Copyright 2015-2023 Quillon Systems. All rights reserved.",
    *_filler("Unit", 26),
    "Power supply 1: ok, 2: ok",
    "Fan tray: ok",
)


# ---- callable actions --------------------------------------------------------


def action_model(text, spawn_id=None):
    """A caller's action that finds what it looks for."""
    return "QX-200"


def action_nothing(text, spawn_id=None):
    """A caller's action that finds nothing: invokeaction prints a line."""
    return ""


class Handle(object):
    """A connection handle: a true object."""


HANDLE = Handle()


def table(impl):
    """Five entries mixing detectors and patterns, inserted out of key order."""
    return {
        "vkorin": r"Vantrel KORIN Software,\s+(KORINv|vkorin_l2)\s+Software",
        "tolm": "(TOLM[-]?[0-9]+).*Chassis",
        "prav": "[Vv]antrel (PRAV-[0-9]+)",
        "kveos": impl.fetch_kveos_details,
        "fesk_garu": impl.get_garu_details,
    }


# ---- cases ---------------------------------------------------------------------
# (function, label, make_args(impl) -> tuple, expected exception or None)


def _cases():
    one = lambda text: (lambda impl: (text,))  # noqa: E731
    out = [
        ("fetch_kveos_details", "Ostrel chassis", one(KVEOS_OSTREL), None),
        ("fetch_kveos_details", "KVE-OSv", one(KVEOS_VIRTUAL), None),
        ("fetch_kveos_details", "model word", one(KVEOS_MODEL), None),
        ("fetch_kveos_details", "demo notice", one(KVEOS_DEMO), None),
        ("fetch_kveos_details", "miss", one(UNRELATED), None),
        ("get_garu_details", "FESK-L2", one(FESK_L2), None),
        ("get_garu_details", "GARU", one(GARU), None),
        ("get_garu_details", "FESK", one(FESK), None),
        ("get_garu_details", "miss", one(UNRELATED), None),
        ("get_vkorin_details", "KORINv", one(VKORIN), None),
        ("get_vkorin_details", "vkorin_l2", one(VKORIN_L2), None),
        ("get_vkorin_details", "miss (raises)", one(UNRELATED), AttributeError),
        ("get_prav_details", "model code", one(PRAV_MODEL), None),
        ("get_prav_details", "marker", one(PRAV_MARKER), None),
        ("get_prav_details", "miss", one(UNRELATED), None),
        ("get_tolm_details", "pattern 1", one(TOLM_CHASSIS), None),
        ("get_tolm_details", "pattern 2", one(TOLM_PROCESSOR), None),
        ("get_tolm_details", "pattern 3", one(TOLM_THIRD_LINE), None),
        ("get_tolm_details", "miss (prints)", one(UNRELATED), None),
        ("invokeaction", "pattern hit", lambda impl: (PRAV_MODEL, "[Vv]antrel (PRAV-[0-9]+)"), None),
        ("invokeaction", "pattern miss", lambda impl: (UNRELATED, "[Vv]antrel (PRAV-[0-9]+)"), None),
        ("invokeaction", "callable match", lambda impl: (UNRELATED, action_model), None),
        ("invokeaction", "callable prints", lambda impl: (UNRELATED, action_nothing), None),
        ("invokeaction", "callable, handle", lambda impl: (UNRELATED, action_model, HANDLE), None),
        ("invokeaction", "detector action", lambda impl: (GARU, impl.get_garu_details), None),
        ("invokeaction", "not an action", lambda impl: (UNRELATED, None), None),
        ("get_key_value", "match first", lambda impl: (GARU, table(impl)), None),
        ("get_key_value", "match last", lambda impl: (VKORIN, table(impl)), None),
        ("get_key_value", "no match", lambda impl: (UNRELATED, table(impl)), None),
    ]
    return out


CASES = _cases()
USER_ACTIONS = (action_model, action_nothing)
