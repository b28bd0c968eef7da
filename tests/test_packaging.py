"""The distribution as users get it: one version everywhere, an sdist that
holds what a build needs, and a wheel that shares the talvern namespace.

The wheel tests need a built wheel, named by FDEF_WHEEL; the sdist test needs
`build`. tools/test_all.py's packaging step provides both.
"""
import base64
import fnmatch
import hashlib
import os
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

import talvern.platformdetails

ROOT = Path(__file__).resolve().parent.parent
DISTRIBUTION = "talvern-platformdetails"
WHEEL = os.environ.get("FDEF_WHEEL")
needs_wheel = pytest.mark.skipif(not WHEEL, reason="FDEF_WHEEL names no built wheel")


def installed_version():
    try:
        from importlib.metadata import version
    except ImportError:  # CPython 3.7: read the dist-info beside the package
        site = Path(talvern.platformdetails.__file__).resolve().parents[2]
        (metadata,) = site.glob(DISTRIBUTION.replace("-", "_") + "-*.dist-info/METADATA")
        return re.search(r"^Version: (\S+)$", metadata.read_text(encoding="utf-8"), re.M).group(1)
    return version(DISTRIBUTION)


def test_one_version_in_package_metadata_and_changelog():
    changelog = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    newest_entry = re.search(r"^## (\S+)", changelog, re.M).group(1)
    assert talvern.platformdetails.__version__ == installed_version() == newest_entry


# ---- the sdist ---------------------------------------------------------------

SDIST_TOP = {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "CHANGELOG.md"}


def source_files(folder):
    """The files of a source folder, without caches and build products."""
    found = set()
    for path in (ROOT / folder).rglob("*"):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix not in (".pyc", ".so"):
            found.add(path.relative_to(ROOT).as_posix())
    return found


def test_sdist_holds_what_a_build_needs_and_nothing_else(tmp_path):
    if not WHEEL:  # the packaging step, which sets FDEF_WHEEL, must run this
        pytest.importorskip("build")
    subprocess.run([sys.executable, "-m", "build", "--sdist", "--outdir", str(tmp_path), str(ROOT)],
                   check=True, stdout=subprocess.DEVNULL)
    (sdist,) = tmp_path.glob("*.tar.gz")
    with tarfile.open(str(sdist)) as tar:
        names = {m.name.split("/", 1)[1] for m in tar.getmembers() if m.isfile()}
    assert names == SDIST_TOP | source_files("src") | source_files("python") | source_files("docs")


# ---- the wheel beside a regular talvern package ------------------------------


def write_standin_wheel(directory):
    """A wheel of a regular `talvern` package with a module `other`, as the
    connection library that owns the name ships it."""
    dist_info = "talvern_standin-1.0.dist-info"
    files = {
        "talvern/__init__.py": "OWNER = 'standin'\n",
        "talvern/other.py": "NAME = 'other'\n",
        dist_info + "/METADATA": "Metadata-Version: 2.1\nName: talvern-standin\nVersion: 1.0\n",
        dist_info + "/WHEEL": "Wheel-Version: 1.0\nGenerator: test_packaging\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    }
    record = []
    for name, text in files.items():
        data = text.encode()
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append("%s,sha256=%s,%d" % (name, digest, len(data)))
    files[dist_info + "/RECORD"] = "\n".join(record + [dist_info + "/RECORD,,"]) + "\n"
    path = directory / "talvern_standin-1.0-py3-none-any.whl"
    with zipfile.ZipFile(str(path), "w") as wheel:
        for name, text in files.items():
            wheel.writestr(name, text)
    return str(path)


@needs_wheel
def test_wheel_ships_only_its_portion_of_talvern():
    # The README's install line names it, pasted as it stands.
    (pattern,) = re.findall(r"^pip install (\S+\.whl)", (ROOT / "README.md").read_text(encoding="utf-8"), re.M)
    assert fnmatch.fnmatch(os.path.basename(WHEEL), pattern), pattern
    names = zipfile.ZipFile(WHEEL).namelist()
    top = {name.split("/")[0] for name in names if not name.split("/")[0].endswith(".dist-info")}
    assert top == {"talvern"}
    assert "talvern/__init__.py" not in names and "talvern/py.typed" not in names
    assert {"talvern/platformdetails/py.typed", "talvern/platformdetails/function_def.pyi"} <= set(names)


CHECK_OURS = ("import talvern.platformdetails.function_def as fd;"
              "assert fd.get_garu_details('Kernel: Solaris Unix 5.11') == 'GARU'")
CHECK_OTHER = "import talvern, talvern.other; assert talvern.OWNER == 'standin'"


@needs_wheel
@pytest.mark.parametrize("ours_first", [True, False], ids=["ours-first", "standin-first"])
def test_wheel_installs_and_uninstalls_beside_a_regular_talvern_package(tmp_path, ours_first):
    subprocess.run([sys.executable, "-m", "venv", str(tmp_path / "venv")], check=True)
    python = str(tmp_path / "venv" / "bin" / "python")
    env = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1")

    def pip(*args):
        subprocess.run([python, "-m", "pip", "-q"] + list(args), check=True, env=env)

    def imports(code):
        return subprocess.run([python, "-c", code], cwd=str(tmp_path), stderr=subprocess.DEVNULL).returncode == 0

    standin = write_standin_wheel(tmp_path)
    for wheel in ([WHEEL, standin] if ours_first else [standin, WHEEL]):
        pip("install", "--no-index", "--no-deps", wheel)
    assert imports(CHECK_OURS) and imports(CHECK_OTHER)

    pip("uninstall", "-y", "talvern-standin")
    assert imports(CHECK_OURS) and not imports(CHECK_OTHER)

    pip("install", "--no-index", "--no-deps", standin)
    pip("uninstall", "-y", DISTRIBUTION)
    assert imports(CHECK_OTHER) and not imports(CHECK_OURS)
