"""The seven functions of the extension, stated as plain Python.

What the module does, written the simplest way: test_reference.py runs both
on every known text and table and checks they agree call by call, and the
benchmark times the module against this. Like the extension, the functions
find ``re``, ``invokeaction`` and ``get_key_value`` in this module's
namespace at each use (then among the built-in names), and print with the
built-in ``print``.
"""
import re


def fetch_kveos_details(version, spawn_id=""):
    platform = ""
    pat = "Hardware\\s*\n\\s*\\w+\\s+([A-Za-z0-9_-]+)\\s+(\\w+)"
    mobj = re.search(pat, version, re.I)
    if mobj:
        if mobj.group(1) == "KVE-OSv":
            return "KVEOSv"
        if mobj.group(1) and mobj.group(2) and re.match("Chassis", mobj.group(2), re.I):
            p = re.match(r"^Ostrel(\d+)$", mobj.group(1), re.I)
            if p:
                platform = p.group(1)
        elif mobj.group(2):
            platform = mobj.group(2)
    if platform == "P4416":
        pattern = "Corvath is a demo version of the Ostrel Operating System"
        tobj = re.search(pattern, version)
        if tobj:
            platform = "KVEOSv"
    return platform


def get_garu_details(version, spawn_id=""):
    if re.search("LINUX_L2", version):
        return "FESK-L2"
    if re.search("Solaris Unix", version):
        return "GARU"
    if re.search("Linux Unix", version):
        return "FESK"
    return ""


def get_vkorin_details(version, spawn_id=""):
    mobj = re.search(r"Vantrel KORIN Software,\s+(KORINv|vkorin_l2)\s+Software", version)
    if mobj.group(1) == "vkorin_l2":
        return "KORINvL2"
    if mobj.group(1) == "KORINv":
        return "KORINv"
    return ""


def get_prav_details(version, spawn_id=""):
    pat = "[Vv]antrel (PRAV-[0-9]+)"
    pravobj = re.search(pat, version)
    if pravobj:
        return pravobj.group(1)
    if re.search("KORIN DALM Admin", version):
        return "PRAV"
    return ""


def get_tolm_details(version, spawn_id=""):
    platform = ""
    pattern = {
        1: "(TOLM[-]?[0-9]+).*Chassis",
        2: r"[Vv]antrel (.+) \(.*\) processor",
        3: "^.+ \\(.+\\) processor.*\n.*\n(.*)\n",
    }
    ret = get_key_value(version, pattern)
    if ret:
        platform = ret[1][1][0].replace("-", "")
    else:
        print("Unable to get platform for TOLM")
    return platform


def invokeaction(input_value, action, spawn_id=""):
    output = []
    if isinstance(action, str):
        mobj = re.search(action, input_value)
        if mobj:
            output.append(mobj.group())
            output.append(mobj.groups())
    elif callable(action):
        ret = action(input_value, spawn_id) if spawn_id else action(input_value)
        if ret:
            output.append(ret)
        else:
            print("Return value from funcation " + str(action))
    else:
        print("The action should be expression or a function")
    return output


def get_key_value(input_value, dict_name):
    output = []
    for pattern_name in sorted(dict_name):
        action = dict_name[pattern_name]
        action_output = invokeaction(input_value, action)
        if action_output:
            output.append(pattern_name)
            output.append(action_output)
            break
    return output
