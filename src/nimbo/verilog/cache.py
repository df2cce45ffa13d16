"""The IR of Verilog sources imported through Yosys, kept in a cache directory
so that a test suite imports each design once.

A cached IR is found by a key over everything the import depends on: the
contents of the sources in their order (and of the files they ``include``,
found beside the including file, in the include folders or in the current
directory), whether each is read as SystemVerilog, the top module, the flow,
whether memories are kept, the import options (macros, include folders,
parameters, state machine re-encoding), the Yosys version and nimbo's
version. Sources whose includes cannot all be found are imported every
time. An entry is one line of the import's findings (JSON: a list of
[place, text], or [place, text, "note"] for a note) and then the IR text;
entries are written through a temporary file and renamed into place, so
processes sharing the directory never read half an entry.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import subprocess
import warnings
from collections.abc import Sequence
from dataclasses import dataclass

from .options import ImportOptions
from .yosys import ImportFailure, find_yosys, import_verilog
from .yosys_log import Message

# Changes whenever the entries' layout or meaning changes.
CACHE_FORMAT = "nimbo-import-cache 4"

_INCLUDE = re.compile(rb'`include\s+"([^"\n]+)"')
_versions: dict[tuple[str, int, int], str | None] = {}


@dataclass
class ImportedIR:
    """The IR text of an import, and what nimbo simulates otherwise than
    Verilog in it (see :mod:`nimbo.verilog.differences`), with the import's
    notes (``Message.note``)."""

    ir: str
    findings: list[Message]


def imported_ir(
    sources: Sequence[str],
    top: str | None,
    flow: str,
    yosys: str | None,
    cache_dir: str | os.PathLike[str] | None,
    options: ImportOptions | None = None,
    memories: str = "map",
) -> ImportedIR:
    """The IR of `sources` imported as ``nimbo import`` does (with
    ``--memories`` `memories`); through the cache in `cache_dir` when one is
    given."""
    options = options or ImportOptions()
    if not sources:
        raise ImportFailure("no Verilog sources given")
    for source in sources:
        if not os.path.isfile(source):
            what = "is a directory" if os.path.isdir(source) else "does not exist"
            raise ImportFailure(f"{source}: {what}")
    command = find_yosys(yosys, "yosys=PATH")[0]
    key = None if cache_dir is None else cache_key(sources, top, flow, command, options, memories)
    if cache_dir is None or key is None:
        return _import(sources, top, flow, command, options, memories)
    path = os.path.join(os.fspath(cache_dir), key[:2], key + ".json")
    try:
        with open(path, encoding="utf-8") as stream:
            found = _entry(stream.read())
        if found is not None:
            return found
    except FileNotFoundError:
        pass
    result = _import(sources, top, flow, command, options, memories)
    rows = [[m.where, m.text] + (["note"] if m.note else []) for m in result.findings]
    _store(path, json.dumps(rows, ensure_ascii=False) + "\n" + result.ir)
    return result


def _entry(text: str) -> ImportedIR | None:
    """A cache entry's contents; None for one that is not whole."""
    head, newline, ir = text.partition("\n")
    try:
        rows = json.loads(head)
    except ValueError:
        return None
    if not newline or not isinstance(rows, list):
        return None
    if not all(isinstance(r, list) and (len(r) == 2 or r[2:] == ["note"]) and all(isinstance(x, str) for x in r)
               for r in rows):
        return None
    return ImportedIR(ir, [Message(row[0], row[1], note=len(row) == 3) for row in rows])


def _import(
    sources: Sequence[str], top: str | None, flow: str, command: str, options: ImportOptions, memories: str
) -> ImportedIR:
    _, imported = import_verilog(sources, top, command, flow, memories, options)
    return ImportedIR(imported.text(), imported.findings)


def _store(path: str, text: str) -> None:
    """Writes a cache entry; one that cannot be written costs only time, so
    it is a warning."""
    from ..atomic import AtomicFile

    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        file = AtomicFile(path)
        try:
            file.stream.write(text)
        except BaseException:
            file.discard()
            raise
        file.commit()
    except OSError as exc:
        warnings.warn(f"nimbo: the imported design was not cached ({path}: {exc.strerror or exc})", stacklevel=3)


def cache_key(
    sources: Sequence[str],
    top: str | None,
    flow: str,
    command: str,
    options: ImportOptions | None = None,
    memories: str = "map",
) -> str | None:
    """The key of an import, or None when it cannot be told (an include that
    cannot be found, a Yosys that does not say its version)."""
    options = options or ImportOptions()
    version = yosys_version(command)
    if version is None:
        return None
    digest = hashlib.sha256()
    header = [CACHE_FORMAT, _nimbo_version(), version, flow, top, options.key(), memories]
    digest.update(json.dumps(header).encode() + b"\0")
    seen: set[str] = set()
    for source in sources:
        digest.update(os.path.splitext(source)[1].lower().encode() + b"\0")
        if not _hash_file(digest, source, seen, options.include_dirs):
            return None
    return digest.hexdigest()


def _hash_file(digest: hashlib._Hash, path: str, seen: set[str], folders: Sequence[str]) -> bool:
    """Adds a file's contents and those of the files it includes."""
    with open(path, "rb") as stream:
        data = stream.read()
    digest.update(len(data).to_bytes(8, "little") + data)
    real = os.path.realpath(path)
    if real in seen:
        return True
    seen.add(real)
    names = _INCLUDE.findall(data)
    if len(names) != data.count(b"`include"):
        return False  # an include written some other way (through a macro)
    for name in names:
        included = _find_include(os.fsdecode(name), os.path.dirname(path), folders)
        digest.update((included or "").encode() + b"\0")  # which file it is, as another folder may hold one
        if included is None or not _hash_file(digest, included, seen, folders):
            return False
    return True


def _find_include(name: str, folder: str, folders: Sequence[str]) -> str | None:
    """The file Yosys includes: the name from the current directory, else
    beside the including file, else in the include folders in turn."""
    for candidate in (name, os.path.join(folder, name), *(os.path.join(f, name) for f in folders)):
        if os.path.isfile(candidate):
            return candidate
    return None


def yosys_version(command: str) -> str | None:
    """What ``yosys -V`` prints, remembered per program file."""
    try:
        info = os.stat(command)
    except OSError:
        return None
    where = (os.path.realpath(command), info.st_mtime_ns, info.st_size)
    if where not in _versions:
        try:
            done = subprocess.run([command, "-V"], capture_output=True, text=True, errors="replace", check=False)
        except OSError:
            return None
        _versions[where] = done.stdout.strip() if done.returncode == 0 and done.stdout.strip() else None
    return _versions[where]


def _nimbo_version() -> str:
    from .. import __version__

    return __version__
