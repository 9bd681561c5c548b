"""Writing a snapshot from Python rows, safely: all of it or nothing."""

from __future__ import annotations

import contextlib
import json
import os
import signal
import stat
import sys
import tempfile
import traceback
from typing import Any, ContextManager, Iterable, Iterator, Mapping, Optional, Sequence, Union

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


def create(path: Path, header: Optional[Mapping[str, Any]] = None) -> ContextManager[SnapshotWriter]:
    """A snapshot writer for `path`, as a context manager.

    The file is written under a hidden name in the same directory and put in
    place of `path` only when the `with` block ends normally and the manifest
    (with `header`'s keys) is on disk: an existing file at `path` is never
    damaged, and a block left by an exception (Ctrl-C included) leaves no file
    behind.
    """
    return _create(path, header, quiet_discard=False)


# Held back while the hidden file is created and while it is removed, so that
# an interrupt can neither come between its creation and the cleanup that
# covers it nor cut that cleanup short.
_INTERRUPTS = {signal.SIGINT, signal.SIGTERM}


def _hold_interrupts() -> Optional[Iterable[int]]:
    """Holds SIGINT and SIGTERM back in this thread; returns the mask to restore."""
    if not hasattr(signal, "pthread_sigmask"):
        return None
    return signal.pthread_sigmask(signal.SIG_BLOCK, _INTERRUPTS)


def _release_interrupts(previous: Optional[Iterable[int]]) -> None:
    """Restores the mask: an interrupt held back meanwhile arrives now."""
    if previous is not None:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


@contextlib.contextmanager
def _stderr_quiet(quiet: bool) -> Iterator[None]:
    """Points file descriptor 2 at the null device for the block, when `quiet`."""
    if not quiet:
        yield
        return
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 2)
        os.close(devnull)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


@contextlib.contextmanager
def _create(path: Path, header: Optional[Mapping[str, Any]], *, quiet_discard: bool,
            hold_after_commit: bool = False) -> Iterator[SnapshotWriter]:
    """`create`, where `quiet_discard` also keeps standard error free of the
    writer's complaint when closing an abandoned file fails (the same full
    disk, say): the file is deleted anyway. Standard error is silenced for the
    whole process while that file closes, which only a program that owns its
    standard error (the command line) may do. With `hold_after_commit`, an
    interrupt that comes once the file is in place stays held back, so that a
    program about to exit reports the success it had."""
    target = os.path.realpath(os.fspath(path))
    directory, base = os.path.split(target)
    try:
        existing = os.stat(target)
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        mode = 0o666 & ~mask
    else:
        if not stat.S_ISREG(existing.st_mode):
            raise ValueError(f"{os.fspath(path)}: not a regular file, so it is not replaced")
        mode = stat.S_IMODE(existing.st_mode)
    # Opened now, so that a directory that cannot be synced is found before
    # anything is written, not after the file was replaced.
    directory_fd = os.open(directory, os.O_RDONLY)
    try:
        held = _hold_interrupts()
    except BaseException:
        os.close(directory_fd)
        raise
    try:
        fd, temp = tempfile.mkstemp(dir=directory, prefix=f".{base}.", suffix=".tmp")
    except BaseException:
        _release_interrupts(held)
        os.close(directory_fd)
        raise
    snapshot: Optional[SnapshotWriter] = None
    committed = False
    try:
        # Inside the cleanup's cover: an interrupt held back since the file
        # was made is raised here.
        _release_interrupts(held)
        snapshot = SnapshotWriter(_native.Writer(temp))
        yield snapshot
        snapshot._finish(header or {})
        snapshot._drop()
        os.fchmod(fd, mode)
        os.fsync(fd)
        # From the rename on, the snapshot is in place: an interrupt waits
        # until the caller has heard of the success (for ever, when
        # `hold_after_commit`), and a failure to sync the directory no longer
        # changes the outcome.
        held = _hold_interrupts()
        os.replace(temp, target)
        committed = True
        with contextlib.suppress(OSError):
            os.fsync(directory_fd)
    except BaseException as error:
        if committed:
            raise
        # A second interrupt waits until the hidden file is gone.
        held = _hold_interrupts()
        try:
            # The writer closes its file when the last reference goes; the
            # failure's frames hold one, so they are cleared first.
            with _stderr_quiet(quiet_discard):
                _clear_frames(error)
                if snapshot is not None:
                    snapshot._drop()
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temp)
        finally:
            _release_interrupts(held)
        raise
    finally:
        os.close(fd)
        os.close(directory_fd)
        if committed and not hold_after_commit:
            _release_interrupts(held)


def _clear_frames(error: BaseException) -> None:
    """Clears the finished frames of a failure and of the failures it was
    raised from or while handling: a frame of `SnapshotWriter.write` may be in
    any of them, holding the writer."""
    stack = [error]
    seen: set[int] = set()
    while stack:
        current = stack.pop()
        if id(current) in seen:
            continue
        seen.add(id(current))
        traceback.clear_frames(current.__traceback__)
        stack.extend(linked for linked in (current.__cause__, current.__context__) if linked is not None)
