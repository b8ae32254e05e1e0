"""Input-addressed cache of expensive build artefacts.

Toolchains, root file systems, interpreters and static libraries take minutes
to make and never change for the same inputs, so each lives in its own folder
under one cache root, named after what built it:

    $QUOVEL_CACHE (default ~/.cache/quovel)/<name>-<key>/

where <key> is a digest of the recipe's inputs: versions, flags, toolchain
files, and the code of the functions that build it (its syntax, so that
comments, docstrings, formatting and the module it sits in do not count). A folder counts only once its builder has
returned and it carries the marker file; a half-built folder left by an
interrupted run is wiped and built again. Builders run under a per-artefact
file lock, so parallel sessions wait for one another instead of racing.
"""

from __future__ import annotations

import ast
import contextlib
import fcntl
import hashlib
import inspect
import os
import re
import shutil
import textwrap
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path

_MARKER = ".complete"


def root() -> Path:
    """The cache root: $QUOVEL_CACHE, or ~/.cache/quovel."""
    configured = os.environ.get("QUOVEL_CACHE")
    path = Path(configured) if configured else Path.home() / ".cache" / "quovel"
    path.mkdir(parents=True, exist_ok=True)
    return path


def key(inputs: Iterable[str | bytes | Path]) -> str:
    """A short digest of the inputs; a Path contributes its file's contents."""
    digest = hashlib.sha256()
    for item in inputs:
        if isinstance(item, Path):
            data = b"file:" + item.read_bytes()
        elif isinstance(item, bytes):
            data = b"bytes:" + item
        else:
            data = b"str:" + item.encode()
        # Length-prefixed, so that ("ab", "c") and ("a", "bc") differ.
        digest.update(len(data).to_bytes(8, "big") + data)
    return digest.hexdigest()[:16]


def recipe(*functions: Callable[..., object]) -> str:
    """The code of functions, as a cache input that only their syntax changes."""
    texts = []
    for function in functions:
        tree = ast.parse(textwrap.dedent(inspect.getsource(function)))
        for node in ast.walk(tree):
            body = getattr(node, "body", None)
            if isinstance(node, (ast.Module, ast.FunctionDef, ast.ClassDef)) and body and _is_docstring(body[0]):
                node.body = body[1:] or [ast.Pass()]
        texts.append(_canonical(tree))
    return "\n".join(texts)


def _is_docstring(node: ast.stmt) -> bool:
    return isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant) and isinstance(node.value.value, str)


def _canonical(node: object) -> str:
    """A syntax tree as text, the same under every supported CPython (ast.dump's
    output changes between versions; absent and empty fields are left out)."""
    if isinstance(node, ast.AST):
        fields = [
            f"{name}={_canonical(value)}"
            for name, value in ast.iter_fields(node)
            if value is not None and value != [] and name != "type_comment"
        ]
        return f"{type(node).__name__}({', '.join(fields)})"
    if isinstance(node, list):
        return "[" + ", ".join(_canonical(item) for item in node) + "]"
    return repr(node)


@contextlib.contextmanager
def locked(path: Path) -> Iterator[None]:
    """Holds an exclusive lock on `path` (created if missing) for the block."""
    with open(path, "w") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(handle, fcntl.LOCK_UN)


def artefact(name: str, inputs: Iterable[str | bytes | Path], build: Callable[[Path], None]) -> Path:
    """The folder of artefact `name` for these inputs, built by `build` if missing.

    `build` receives the final folder, empty, and fills it in place: builds
    whose results remember their own path (an interpreter's prefix) need no
    relocation. Other keys of the same name are removed once this one is
    complete, so the cache holds one version of each artefact.
    """
    base = root()
    folder = base / f"{name}-{key(inputs)}"
    if (folder / _MARKER).exists():
        return folder
    with locked(base / f".{name}.lock"):
        if (folder / _MARKER).exists():
            return folder
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        build(folder)
        (folder / _MARKER).touch()
        same_name = re.compile(re.escape(name) + "-[0-9a-f]{16}")
        for stale in base.iterdir():
            if stale != folder and stale.is_dir() and same_name.fullmatch(stale.name):
                shutil.rmtree(stale, ignore_errors=True)
    return folder
