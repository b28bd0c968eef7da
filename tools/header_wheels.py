"""Wheels for CPythons this machine cannot build with directly: 3.14 and
3.15 (which live in a Debian unstable root), and every arm64 CPython.

The module is compiled here, with this machine's compiler and C library
(Debian 12: glibc 2.36, whose old symbol versions keep the tag at
manylinux_2_17 or older; a root's newer glibc headers would not), against
the Python headers of the root that holds the interpreter; for arm64 with
Debian's aarch64-linux-gnu cross compiler. The rest of the wheel (the Python
package, the stub, the metadata) is the same for every interpreter: it is
taken from a wheel pip built here from the same source, with the binary
swapped and the tag set. auditwheel then repairs and checks it as any other.
"""
import base64
import glob
import hashlib
import os
import re
import shutil
import subprocess
import tarfile
import tempfile
import zipfile

import debian_roots
from shell import log, run

TRIPLETS = {"x86_64": "x86_64-linux-gnu", "aarch64": "aarch64-linux-gnu"}
MODULE_DIR = "talvern/platformdetails/"


def compiler(arch):
    """The C++ compiler for `arch` on this machine, or None."""
    name = "g++" if arch == os.uname().machine else TRIPLETS[arch] + "-g++"
    return shutil.which(name)


def headers(root, version, arch, into):
    """A copy of the root's Python headers for `version` in `into`, with the
    architecture's own pyconfig.h in place of Debian's dispatching one."""
    source = os.path.join(root, "usr", "include", "python" + version)
    if not os.path.exists(os.path.join(source, "Python.h")):
        return None
    target = os.path.join(into, "python" + version)
    shutil.copytree(source, target)
    real = os.path.join(root, "usr", "include", TRIPLETS[arch], "python" + version, "pyconfig.h")
    if os.path.exists(real):
        os.remove(os.path.join(target, "pyconfig.h"))
        shutil.copyfile(real, os.path.join(target, "pyconfig.h"))
    return target


def source_tree(source, work):
    """A folder holding the source: `source` itself, or an sdist unpacked."""
    if os.path.isdir(source):
        return source
    with tarfile.open(source) as tar:
        tar.extractall(work)
    (tree,) = glob.glob(os.path.join(work, "*", "CMakeLists.txt"))
    return os.path.dirname(tree)


def compile_module(tree, include, suffix, arch, cxx, work, env):
    """The built module's path, or None. FDEF_WERROR=ON in `env` makes
    warnings errors, as in the project's checks."""
    build = os.path.join(work, "build")
    configure = ["cmake", "-S", tree, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                 "-DFDEF_PYTHON_INCLUDE=" + include, "-DFDEF_EXT_SUFFIX=" + suffix,
                 "-DFDEF_WERROR=" + env.get("FDEF_WERROR", "OFF")]
    if arch != os.uname().machine:
        configure += ["-DCMAKE_SYSTEM_NAME=Linux", "-DCMAKE_SYSTEM_PROCESSOR=" + arch]
    env = dict(env, CXX=cxx)
    if run(configure, env=env, stdout=subprocess.DEVNULL) != 0:
        return None
    if run(["cmake", "--build", build, "-j2"], env=env, stdout=subprocess.DEVNULL) != 0:
        return None
    (module,) = glob.glob(os.path.join(build, "function_def*" + suffix))
    return module


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def assemble(template, module, suffix, tag, out):
    """A wheel like `template` with `module` as its binary and `tag`."""
    with zipfile.ZipFile(template) as src:
        names = src.namelist()
        (record,) = [n for n in names if n.endswith(".dist-info/RECORD")]
        dist_info = record.split("/")[0]
        entries = []
        for name in names:
            if name == record or (name.startswith(MODULE_DIR + "function_def") and name.endswith(".so")):
                continue
            data = src.read(name)
            if name == dist_info + "/WHEEL":
                text = re.sub(r"^Tag: .*\n", "", data.decode(), flags=re.M)
                data = (text.rstrip("\n") + "\nTag: %s\n" % tag).encode()
            entries.append((name, data))
    with open(module, "rb") as f:
        entries.append((MODULE_DIR + "function_def" + suffix, f.read()))
    distribution_version = dist_info[:-len(".dist-info")]
    wheel = os.path.join(out, "%s-%s.whl" % (distribution_version, tag))
    lines = [record_line(n, d) for n, d in entries] + [record + ",,"]
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as dst:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if name.endswith(".so") else 0o644) << 16
            dst.writestr(info, data, zipfile.ZIP_DEFLATED)
        dst.writestr(zipfile.ZipInfo(record, date_time=(2020, 1, 1, 0, 0, 0)), "\n".join(lines) + "\n")
    return wheel


def build_one(version, arch, source, template, out, env):
    """The unrepaired wheel for CPython `version` on `arch`, or None."""
    cxx = compiler(arch)
    if cxx is None:
        log("no C++ compiler for %s here" % arch)
        return None
    try:
        root = debian_roots.ensure(debian_roots.PYTHONS[arch][version])
    except debian_roots.Unavailable as exc:
        log(str(exc))
        return None
    nodot = version.replace(".", "")
    suffix = ".cpython-%s-%s.so" % (nodot, TRIPLETS[arch])
    with tempfile.TemporaryDirectory() as work:
        include = headers(root, version, arch, work)
        if include is None:
            log("the root holds no headers for CPython %s" % version)
            return None
        module = compile_module(source_tree(source, work), include, suffix, arch, cxx, work, env)
        if module is None:
            return None
        return assemble(template, module, suffix, "cp%s-cp%s-linux_%s" % (nodot, nodot, arch), out)
