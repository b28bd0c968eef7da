"""The package's three layers as its imports show them: the top (detect()
and what both others share), the command (cli/) and the live mode (live/),
each importing only downward, with no circle, and asyncssh imported by the
live mode alone, in one place."""
import ast
import os

import talvern.platformdetails

PACKAGE = os.path.dirname(os.path.abspath(talvern.platformdetails.__file__))
#: How high each part sits; a part not named is the top's, layer 0.
LAYER = {"__main__": 2, "cli": 2, "nornir": 2, "live": 1}


def modules():
    """Each module of the package: (its dotted name below the package, its imports by dotted name)."""
    found = {}
    for folder, _, files in os.walk(PACKAGE):
        for name in files:
            if not name.endswith(".py"):
                continue
            path = os.path.join(folder, name)
            parts = os.path.relpath(path, PACKAGE)[:-3].split(os.sep)
            if parts[-1] == "__init__":
                parts = parts[:-1]
            here = parts if name == "__init__.py" else parts[:-1]
            with open(path) as f:
                tree = ast.parse(f.read())
            imports = set()
            for node in ast.walk(tree):
                if isinstance(node, ast.Import):
                    imports.update(alias.name for alias in node.names)
                elif isinstance(node, ast.ImportFrom):
                    if node.level == 0:
                        imports.add(node.module or "")
                        continue
                    base = here[:len(here) - node.level + 1]
                    target = base + (node.module.split(".") if node.module else [])
                    if node.module is None:  # from . import name: the names may be modules
                        imports.update(".".join(target + [alias.name]) for alias in node.names)
                    else:
                        imports.add(".".join(target))
            found[".".join(parts)] = imports
    return found


def layer(name):
    return LAYER.get(name.split(".")[0], 0)


def test_asyncssh_is_imported_by_the_live_mode_alone_in_one_place():
    importers = sorted(name for name, imports in modules().items()
                       if any(imported.split(".")[0] == "asyncssh" for imported in imports))
    assert importers == ["live._asyncssh"]


def test_imports_run_downward_and_in_no_circle():
    found = modules()
    inner = {name: {imported for imported in imports if imported in found} for name, imports in found.items()}
    upward = [(name, imported) for name, imports in inner.items() for imported in imports
              if layer(imported) > layer(name) and not imported.startswith(name.split(".")[0])]
    assert upward == []
    # Depth-first search for a cycle, a package's __init__ aside (its
    # submodules import their own package when they are imported).
    state = {}

    def visit(name, path):
        state[name] = "open"
        for imported in inner[name]:
            if imported == "" or name.startswith(imported + "."):
                continue
            if state.get(imported) == "open":
                raise AssertionError("import circle: " + " -> ".join(path + [imported]))
            if imported not in state:
                visit(imported, path + [imported])
        state[name] = "done"
    for name in inner:
        if name not in state:
            visit(name, [name])


def test_no_module_is_over_300_lines():
    long = []
    for folder, _, files in os.walk(PACKAGE):
        for name in files:
            if name.endswith((".py", ".pyi")):
                with open(os.path.join(folder, name)) as f:
                    count = len(f.readlines())
                if count > 300:
                    long.append((name, count))
    assert long == []
