"""The installed distribution: where the module comes from, what it needs, and
whether its metadata and shipped stubs agree with the module itself."""

import ast
import importlib.metadata
import inspect
import re
import struct
import subprocess
import sys
import tomllib
from functools import cache
from pathlib import Path

import pytest

import quovel

ROOT = Path(__file__).resolve().parents[2]
DIST = importlib.metadata.distribution("quovel")
STUB = Path(str(DIST.locate_file("quovel-stubs/__init__.pyi")))


def installed_files() -> set[Path]:
    return {Path(str(DIST.locate_file(file))).resolve() for file in DIST.files or ()}


def test_module_is_the_installed_copy() -> None:
    assert Path(quovel.__file__).resolve() in installed_files()
    assert STUB.resolve() in installed_files()


def test_metadata_single_sources_version_and_readme() -> None:
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    # The version comes from git (a tag, or commits since one), with no local
    # part, so that any build can go to an index.
    assert "version" in project["dynamic"] and "version" not in project
    assert re.fullmatch(r"\d+(\.\d+)*(\.post\d+)?(\.dev\d+)?", DIST.version), DIST.version
    assert "__version__" not in vars(quovel)
    long_description = (DIST.read_text("METADATA") or "").partition("\n\n")[2]
    assert long_description.strip() == (ROOT / "README.md").read_text(encoding="utf-8").strip()
    shipped = {Path(file).name for file in DIST.files or () if ".dist-info/licenses/" in str(file)}
    assert {"LICENSE", "Apache-2.0.txt"} <= shipped


@cache
def child_interpreter_problem() -> str | None:
    """Why this interpreter cannot start a copy of itself, or None if it can.

    An emulated interpreter started without a launcher (qemu-user with no
    binfmt handler) cannot: its own binary is foreign to the host kernel.
    """
    try:
        subprocess.run([sys.executable, "-c", ""], capture_output=True, check=True, timeout=120)
    except (OSError, subprocess.SubprocessError) as error:
        return f"this interpreter cannot start a child interpreter here: {error}"
    return None


def test_import_pulls_in_nothing_outside_the_standard_library() -> None:
    if problem := child_interpreter_problem():
        pytest.skip(problem)
    # -I: no current folder, no environment variables; the installed copy's
    # folder is named explicitly, as it may come from PYTHONPATH.
    probe = (
        f"import sys; sys.path.insert(0, {str(Path(quovel.__file__).parent)!r}); "
        "before = set(sys.modules); import quovel; "
        "print(sorted(m for m in set(sys.modules) - before "
        "if m != 'quovel' and m.partition('.')[0] not in sys.stdlib_module_names))"
    )
    result = subprocess.run([sys.executable, "-I", "-c", probe], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "[]"


def needed_libraries(path: Path) -> list[str]:
    """The DT_NEEDED entries of an ELF shared object, read from its dynamic section.

    Read here rather than through ldd, which cannot run on a foreign
    architecture's file and exits with an error on musl for an extension.
    """
    data = path.read_bytes()
    assert data[:4] == b"\x7fELF", f"{path} is not an ELF file"
    wide = data[4] == 2
    order = "<" if data[5] == 1 else ">"
    if wide:
        (phoff,) = struct.unpack_from(order + "Q", data, 0x20)
        phentsize, phnum = struct.unpack_from(order + "HH", data, 0x36)
    else:
        (phoff,) = struct.unpack_from(order + "I", data, 0x1C)
        phentsize, phnum = struct.unpack_from(order + "HH", data, 0x2A)
    loads, dynamic = [], None
    for index in range(phnum):
        at = phoff + index * phentsize
        if wide:
            kind, _, offset, vaddr, _, filesz = struct.unpack_from(order + "IIQQQQ", data, at)
        else:
            kind, offset, vaddr, _, filesz = struct.unpack_from(order + "IIIII", data, at)
        if kind == 1:  # PT_LOAD
            loads.append((vaddr, offset, filesz))
        elif kind == 2:  # PT_DYNAMIC
            dynamic = (offset, filesz)
    assert dynamic is not None, f"{path} has no dynamic section"
    entry = struct.Struct(order + ("qQ" if wide else "iI"))
    entries = [entry.unpack_from(data, at) for at in range(dynamic[0], sum(dynamic), entry.size)]
    (strtab,) = [value for tag, value in entries if tag == 5]  # DT_STRTAB, an address

    def file_offset(address: int) -> int:
        (offset,) = [offset + address - vaddr for vaddr, offset, size in loads if vaddr <= address < vaddr + size]
        return offset

    names = []
    for tag, value in entries:
        if tag == 0:  # DT_NULL ends the table
            break
        if tag == 1:  # DT_NEEDED, an offset into the string table
            start = file_offset(strtab) + value
            names.append(data[start : data.index(b"\0", start)].decode())
    return names


def test_extension_needs_no_openssl_at_run_time() -> None:
    needed = needed_libraries(Path(quovel.__file__))
    # A libc is always there: an empty list would mean the reader is wrong.
    assert any(name.startswith("libc.") for name in needed), needed
    assert not [name for name in needed if name.startswith(("libcrypto", "libssl"))], needed


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
