"""quarlen write: build a snapshot from JSON-lines files."""

import errno
import json
import os
import stat
import sys
from typing import IO, Any, Optional, Sequence

import quarlen

from . import _io, _progress
from ._io import CommandError


def add_parser(commands: Any) -> None:
    p = commands.add_parser(
        "write",
        help="build a snapshot from JSON-lines files",
        description="Build a snapshot from JSON-lines files, one row (a JSON array) per line. "
        "OUT is replaced only by a complete snapshot: on any failure it stays as it was.",
    )
    p.add_argument("out", metavar="OUT")
    p.add_argument("members", nargs="+", metavar="NAME=ROWS.jsonl", help="a member and its rows; - reads standard input")
    p.add_argument("--header", metavar="HEADER.json", help="a JSON object whose keys go into the manifest")
    p.set_defaults(run=lambda args: run(args.out, args.members, args.header))


def run(out: str, specs: Sequence[str], header_source: Optional[str]) -> int:
    # SIGTERM, like Ctrl-C, leaves through the snapshot's cleanup: OUT stays
    # as it was and the hidden file goes.
    _io.leave_on_sigterm()
    sources = [_parse_source(spec) for spec in specs]
    if sum(1 for _, source in sources if source == "-") + (header_source == "-") > 1:
        raise CommandError("standard input can feed only one member or the header")
    # Everything that can be checked is checked before a file is created.
    names: set[str] = set()
    for name, _ in sources:
        quarlen.member(name)
        if name in names:
            raise CommandError(f"{name}: written already")
        names.add(name)
    header = None if header_source is None else _read_header(header_source)
    inputs = {_identity(source) for _, source in sources}
    if header_source is not None:
        inputs.add(_identity(header_source))
    try:
        info = os.stat(out)
    except OSError:
        pass  # a new file, or one that the write refuses below with its reason
    else:
        if (info.st_dev, info.st_ino) in inputs:
            raise CommandError(f"{out}: is also an input")
        if not stat.S_ISREG(info.st_mode):
            raise CommandError(f"{out}: not a regular file, so it is not replaced")

    progress = _Progress()
    total = 0
    try:
        with quarlen.create(out, header, exiting=True) as snapshot:
            for name, source in sources:
                total += _write_member(snapshot, name, source, progress)
    except OSError as error:
        raise CommandError(f"{out}: {error.strerror or error}") from None
    except ValueError as error:
        # What is left is the writer's trouble with the file itself (a full disk, say).
        raise CommandError(f"{out}: {error}") from None
    _io.err(f"{out}: {len(sources)} members, {total} rows\n")
    return _io.EXIT_OK


class _Progress(_progress.Progress):
    """Rows and bytes of the member being written."""

    name = ""

    def update(self, rows: int, size: int) -> None:
        self.show(f"{self.name}: {rows:,} rows, {size / 1e6:,.1f} MB", now=True)


def _parse_source(spec: str) -> tuple[str, str]:
    name, sep, source = spec.partition("=")
    if not sep or not name or not source:
        raise CommandError(f"{spec}: expected NAME=ROWS.jsonl (or NAME=- for standard input)")
    return name, source


def _open_source(source: str) -> IO[bytes]:
    if source == "-":
        return _io.stdin()
    try:
        return open(source, "rb")
    except OSError as error:
        raise CommandError(f"{source}: {error.strerror or error}") from None


def _write_member(snapshot: quarlen.SnapshotWriter, name: str, source: str, progress: _Progress) -> int:
    """Writes one member from its input; returns its row count."""
    handle = _open_source(source)
    progress.name = name
    try:
        record = snapshot.write_json_lines(name, handle, progress.update)
    except quarlen.Error as error:
        if error.line is None:
            raise
        raise CommandError(f"{source} line {error.line}: {error}") from None
    except OSError as error:
        raise CommandError(f"{source}: {error.strerror or error}") from None
    finally:
        if source != "-":
            handle.close()
    progress.end(keep=True)
    count: int = record["rows"]
    return count


class _NotJSON(ValueError):
    """A constant that JSON has no form for."""


def _refuse_constant(name: str) -> Any:
    raise _NotJSON(f"{name} is not a JSON value")


def _read_header(source: str) -> str:
    """The header's text, once it is known to be a JSON object the manifest
    can take. Its numbers are read by the writer, as rows are."""
    text = _io.read_text_argument(source)
    try:
        header = json.loads(text, parse_constant=_refuse_constant, parse_int=len, parse_float=len)
    except json.JSONDecodeError as error:
        raise CommandError(f"{source}: not JSON ({error.msg} at line {error.lineno} column {error.colno})") from None
    except _NotJSON as error:
        raise CommandError(f"{source}: not JSON ({error})") from None
    except RecursionError:
        raise CommandError(f"{source}: not JSON (nested too deeply)") from None
    if not isinstance(header, dict):
        raise CommandError(f"{source}: not a JSON object")
    for key in ("format", "members"):
        if key in header:
            raise CommandError(f'{source}: "{key}" belongs to the file, not to the header')
    return text


def _identity(source: str) -> tuple[int, int]:
    """The device and inode of an input, which must exist and be readable.

    Only a regular file is opened to find out: opening and closing a named
    pipe would block, or end the writer at its other end."""
    try:
        if source == "-":
            info = os.fstat(_io.stdin().fileno())
        else:
            info = os.stat(source)
            if stat.S_ISREG(info.st_mode):
                with open(source, "rb"):
                    pass
            elif not os.access(source, os.R_OK):
                raise PermissionError(errno.EACCES, os.strerror(errno.EACCES))
    except OSError as error:
        raise CommandError(f"{source}: {error.strerror or error}") from None
    return info.st_dev, info.st_ino
