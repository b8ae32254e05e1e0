"""The installed distribution: where the module comes from, what it needs, and
whether its metadata and shipped stubs agree with the module itself."""

import ast
import importlib.metadata
import inspect
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import quovel

ROOT = Path(__file__).resolve().parent.parent
DIST = importlib.metadata.distribution("quovel")
STUB = Path(str(DIST.locate_file("quovel-stubs/__init__.pyi")))


def installed_files() -> set[Path]:
    return {Path(str(DIST.locate_file(file))).resolve() for file in DIST.files or ()}


def test_module_is_the_installed_copy() -> None:
    assert Path(quovel.__file__).resolve() in installed_files()
    assert STUB.resolve() in installed_files()


def test_metadata_single_sources_version_and_readme() -> None:
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    assert DIST.version == project["version"]
    assert "__version__" not in vars(quovel)
    long_description = (DIST.read_text("METADATA") or "").partition("\n\n")[2]
    assert long_description.strip() == (ROOT / "README.md").read_text(encoding="utf-8").strip()
    shipped = {Path(file).name for file in DIST.files or () if ".dist-info/licenses/" in str(file)}
    assert {"LICENSE", "Apache-2.0.txt"} <= shipped


def test_import_pulls_in_nothing_outside_the_standard_library() -> None:
    probe = (
        "import sys; before = set(sys.modules); import quovel; "
        "print(sorted(m for m in set(sys.modules) - before "
        "if m != 'quovel' and m.partition('.')[0] not in sys.stdlib_module_names))"
    )
    # -I: no current folder, no environment variables, so only the installed copy.
    result = subprocess.run([sys.executable, "-I", "-c", probe], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "[]"


@pytest.mark.skipif(shutil.which("ldd") is None, reason="needs ldd")
def test_extension_needs_no_openssl_at_run_time() -> None:
    libraries = subprocess.run(["ldd", quovel.__file__], capture_output=True, text=True, check=True).stdout
    assert "libcrypto" not in libraries
    assert "libssl" not in libraries


def stub_docstrings() -> dict[str, str | None]:
    """Docstrings of the stub's classes, functions, methods and properties, by dotted name."""
    found: dict[str, str | None] = {}

    def visit(body: list[ast.stmt], prefix: str) -> None:
        for node in body:
            if isinstance(node, ast.ClassDef | ast.FunctionDef) and not node.name.startswith("_"):
                found[prefix + node.name] = ast.get_docstring(node)
                if isinstance(node, ast.ClassDef):
                    visit(node.body, f"{prefix}{node.name}.")

    visit(ast.parse(STUB.read_text(encoding="utf-8")).body, "")
    return found


def runtime_docstring(dotted: str) -> str | None:
    owner, _, name = dotted.rpartition(".")
    target = vars(getattr(quovel, owner))[name] if owner else getattr(quovel, name)
    if isinstance(target, staticmethod):
        target = target.__func__
    doc: str | None = target.__doc__
    return doc


def documented_runtime_names() -> list[str]:
    names = []
    for name in quovel.__all__:
        value = getattr(quovel, name)
        if callable(value):
            names.append(name)
        if isinstance(value, type):
            names += [f"{name}.{attr}" for attr in vars(value) if not attr.startswith("_")]
    return [name for name in names if runtime_docstring(name)]


def test_stub_exports_match_the_module() -> None:
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    (exported,) = [
        ast.literal_eval(node.value)
        for node in tree.body
        if isinstance(node, ast.Assign) and [ast.unparse(t) for t in node.targets] == ["__all__"]
    ]
    assert exported == quovel.__all__


@pytest.mark.parametrize("name", documented_runtime_names())
def test_stub_carries_the_runtime_docstring(name: str) -> None:
    assert stub_docstrings().get(name) == inspect.cleandoc(runtime_docstring(name) or "")
