"""Writing a snapshot from Python rows, safely: all of it or nothing."""

from __future__ import annotations

import contextlib
import json
import os
import stat
import tempfile
import traceback
from typing import Any, Iterable, Iterator, Mapping, Optional, Sequence, Union

from . import _native

Path = Union[str, "os.PathLike[str]"]


class SnapshotWriter:
    """Writes the members of one snapshot; made by `create`, finished when its
    `with` block ends normally."""

    def __init__(self, writer: _native.Writer) -> None:
        self._writer: Optional[_native.Writer] = writer

    def write(self, name: str, rows: Iterable[Sequence[Any]]) -> dict[str, Any]:
        """Writes the member `name` from an iterable of rows (lists or tuples of
        JSON values) and returns its record {"bytes", "rows", "sha256"}.

        Each name may be written once. The stored text is what
        `Writer.rows(json.dumps(rows))` stores; NaN, the infinities and dict
        keys that are not str are refused with a ValueError naming the member
        and the row.
        """
        writer = self._live()
        writer.begin(name)
        _native._write_rows(writer, name, rows, 1)
        record: dict[str, Any] = json.loads(writer.end())
        return record

    def _live(self) -> _native.Writer:
        if self._writer is None:
            raise ValueError("the snapshot is closed")
        return self._writer

    def _finish(self, header: Mapping[str, Any]) -> dict[str, Any]:
        manifest: dict[str, Any] = json.loads(self._live().finish(json.dumps(header, allow_nan=False)))
        return manifest

    def _drop(self) -> None:
        self._writer = None


@contextlib.contextmanager
def create(path: Path, header: Optional[Mapping[str, Any]] = None) -> Iterator[SnapshotWriter]:
    """A snapshot writer for `path`, as a context manager.

    The file is written under a hidden name in the same directory and put in
    place of `path` only when the `with` block ends normally and the manifest
    (with `header`'s keys) is on disk: an existing file at `path` is never
    damaged, and a block left by an exception (Ctrl-C included) leaves no file
    behind.
    """
    target = os.path.realpath(os.fspath(path))
    directory, base = os.path.split(target)
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        mode = 0o666 & ~mask
    fd, temp = tempfile.mkstemp(dir=directory, prefix=f".{base}.", suffix=".tmp")
    snapshot: Optional[SnapshotWriter] = None
    try:
        snapshot = SnapshotWriter(_native.Writer(temp))
        yield snapshot
        snapshot._finish(header or {})
        snapshot._drop()
        os.fchmod(fd, mode)
        os.fsync(fd)
        os.replace(temp, target)
        _sync_directory(directory)
    except BaseException as error:
        # The writer closes its file when the last reference goes; the
        # failure's frames hold one, so they are cleared first.
        traceback.clear_frames(error.__traceback__)
        if snapshot is not None:
            snapshot._drop()
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temp)
        raise
    finally:
        os.close(fd)


def _sync_directory(directory: str) -> None:
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
