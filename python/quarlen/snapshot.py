"""Writing a snapshot from Python rows, safely: all of it or nothing."""

from __future__ import annotations

import _thread
import contextlib
import errno
import json
import os
import secrets
import signal
import stat
import sys
import threading
import traceback
from types import FrameType
from typing import Any, Callable, ContextManager, Iterable, Iterator, Mapping, Optional, Sequence, Union

from . import _native

Path = Union[str, "os.PathLike[str]"]


class SnapshotWriter:
    """Writes the members of one snapshot; made by `create`, finished when its
    `with` block ends normally. It belongs to the thread that created it."""

    def __init__(self, writer: _native.Writer, path: str) -> None:
        self._writer: Optional[_native.Writer] = writer
        self._path = path
        self._owner = threading.get_ident()
        self._refusal: Optional[str] = None

    def write(self, name: str, rows: Iterable[Sequence[Any]]) -> dict[str, Any]:
        """Writes the member `name` from an iterable of rows (lists or tuples of
        JSON values) and returns its record {"bytes", "rows", "sha256"}.

        Each name may be written once. The stored text is what
        `Writer.rows(json.dumps(rows))` stores; NaN, the infinities and dict
        keys that are not str are refused with a ValueError naming the member
        and the row. A write that fails fails the snapshot: every later write,
        and the end of the `with` block, raise a ValueError that names the
        file and the first failure, and no file is put in place.
        """
        writer = self._live()
        try:
            writer.begin(name)
            _native._write_rows(writer, name, rows, 1)
            record: dict[str, Any] = json.loads(writer.end())
        except BaseException as error:
            self._refusal = str(error) or type(error).__name__
            raise
        return record

    def _live(self) -> _native.Writer:
        if threading.get_ident() != self._owner:
            raise RuntimeError(f"{self._path}: a snapshot is written by the thread that created it")
        if self._writer is None:
            raise ValueError("the snapshot is closed")
        if self._refusal is not None:
            raise ValueError(f"{self._path}: the snapshot cannot be completed: a write failed ({self._refusal})")
        return self._writer

    def _finish(self, header_text: str) -> None:
        self._live().finish(header_text)

    def _drop(self) -> None:
        self._writer = None


def create(path: Path, header: Optional[Mapping[str, Any]] = None) -> ContextManager[SnapshotWriter]:
    """A snapshot writer for `path`, as a context manager.

    The file is written under a hidden name in the same directory and put in
    place of `path` only when the `with` block ends normally and the manifest
    (with `header`'s keys, taken when create is called) is on disk: an
    existing file at `path` is never damaged, and a block left by an exception
    (Ctrl-C included) leaves no file behind. Once the file is in place, the
    block ends normally. A replaced file's mode, owner and group are kept
    (owner and group where the process may set them). A write that fails
    fails the snapshot (see `SnapshotWriter.write`).
    """
    return _create(path, header, quiet_discard=False)


# The signals that end a program by an exception raised in its main thread.
# SIGINT, which comes in storms, is put back last.
_INTERRUPTS = (signal.SIGTERM, signal.SIGINT)


class _Interrupts:
    """SIGINT and SIGTERM, held back while a given frame runs.

    For the `with` block, a handler of its own takes the place of each one
    that is a Python function. It records the signal while `frame` is on the
    stack, or after `settle(keep=True)`, and otherwise hands it on at once.
    `release()` hands on what was recorded; leaving the block puts the
    handlers back and does the same, unless `settle` was called.

    The handler decides, not a flag set on the way in: a pending handler runs
    at any call, and on entering an `except` clause (3.10), before any line
    could set one. Python runs signal handlers in the main thread only,
    whichever thread the signal reached, and only there can they raise, so
    nothing is held, or needs to be, in another thread. A signal ignored or
    left to its default action is not touched.
    """

    def __init__(self, frame: FrameType) -> None:
        self._frame = frame
        self._previous: dict[int, Callable[[int, Any], Any]] = {}
        self._caught: list[int] = []
        self._settled = False
        self._kept = False
        self._ended = False

    def __enter__(self) -> _Interrupts:
        if threading.current_thread() is threading.main_thread():
            try:
                for signum in _INTERRUPTS:
                    handler = signal.getsignal(signum)
                    if callable(handler):
                        self._previous[signum] = handler
                        try:
                            signal.signal(signum, self._handle)
                        except ValueError:  # the main thread of another interpreter
                            del self._previous[signum]
                            break
            except BaseException:  # raised by the handler of a signal pending before
                self.__exit__(*sys.exc_info())
                raise
        return self

    def _handle(self, signum: int, frame: Optional[FrameType]) -> None:
        running = frame
        while running is not None and running is not self._frame:
            running = running.f_back
        if self._kept or running is not None:
            self._caught.append(signum)
        else:
            self._caught.clear()  # outrun by this one
            self._previous[signum](signum, frame)

    def _restored(self, signum: int) -> Callable[[int, Any], Any]:
        """The handler to put back: the one found on entry, or, where that is
        a block's that ended first (blocks left out of order), that block's."""
        handler = self._previous[signum]
        owner = getattr(handler, "__self__", None)
        while isinstance(owner, _Interrupts) and owner._ended:
            handler = owner._previous[signum]
            owner = getattr(handler, "__self__", None)
        return handler

    def release(self) -> None:
        """Hands each signal recorded to its handler now."""
        caught, self._caught = self._caught, []
        for signum in dict.fromkeys(caught):
            self._previous[signum](signum, None)

    def settle(self, *, keep: bool = False) -> None:
        """The outcome is known: what is recorded is dropped when the block
        ends, or, with `keep`, held for the life of the process."""
        self._settled = True
        self._kept = keep

    def __exit__(self, exc_type: Optional[type[BaseException]], *exc_info: object) -> None:
        if self._kept:
            return
        try:
            self._ended = True
            for signum in self._previous:
                # A handler the caller put in place meanwhile stays.
                if signal.getsignal(signum) == self._handle:
                    signal.signal(signum, self._restored(signum))
        finally:
            if self._settled:
                self._caught.clear()
            if exc_type is GeneratorExit:
                # Closed by the collector, perhaps, where nothing can be
                # raised: the signals are raised again, to be handled later.
                for signum in dict.fromkeys(self._caught):
                    _thread.interrupt_main(signal.Signals(signum))
                self._caught.clear()
            self.release()


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


def _header_text(header: Optional[Mapping[str, Any]]) -> str:
    if header is None:
        return "{}"
    for key in ("format", "members"):
        if key in header:
            raise ValueError(f'header: "{key}" belongs to the file, not to the header')
    return json.dumps(header, allow_nan=False)


# Random characters in a hidden name, between ".{base}." and ".tmp".
_RANDOM_CHARS = 8


def _hidden_file(directory: str, base: str, mode: Optional[int]) -> tuple[int, str, int]:
    """Creates a hidden file `.{base}.{random}.tmp` in `directory`, `base` cut
    short where the name would pass the file system's limit; returns its
    descriptor, its path and the mode the snapshot gets.

    The file is private to its owner while it is written, except where `mode`
    is None (no file is replaced): it is then created as any new file is,
    which gives the mode without changing the process's umask, a setting of
    every thread."""
    try:
        name_max = os.pathconf(directory, "PC_NAME_MAX")
    except (OSError, ValueError):
        name_max = 255
    room = name_max - len("..") - _RANDOM_CHARS - len(".tmp")
    while name_max > 0 and len(os.fsencode(base)) > room:
        base = base[:-1]
    flags = os.O_RDWR | os.O_CREAT | os.O_EXCL
    for _ in range(100):
        temp = os.path.join(directory, f".{base}.{secrets.token_hex(_RANDOM_CHARS // 2)}.tmp")
        try:
            fd = os.open(temp, flags, 0o600 if mode is not None else 0o666)
        except FileExistsError:
            continue
        return fd, temp, mode if mode is not None else stat.S_IMODE(os.fstat(fd).st_mode)
    raise FileExistsError(errno.EEXIST, "no free hidden name", os.path.join(directory, f".{base}.*.tmp"))


def _keep_owner(fd: int, existing: os.stat_result) -> None:
    """Gives the hidden file the owner and group of the file it replaces, or
    what of them the process may set."""
    for uid in (existing.st_uid, -1):
        try:
            os.fchown(fd, uid, existing.st_gid)
            return
        except PermissionError:
            continue


@contextlib.contextmanager
def _create(path: Path, header: Optional[Mapping[str, Any]], *, quiet_discard: bool,
            hold_after_commit: bool = False) -> Iterator[SnapshotWriter]:
    """`create`, where `quiet_discard` also keeps standard error free of the
    writer's complaint when closing an abandoned file fails (the same full
    disk, say): the file is deleted anyway. Standard error is silenced for the
    whole process while that file closes, which only a program that owns its
    standard error (the command line) may do. With `hold_after_commit`,
    interrupts that come once the file is in place stay held for the life of
    the process, so that a program about to exit reports the success it had."""
    header_text = _header_text(header)
    shown = os.fspath(path)
    target = os.path.realpath(shown)
    directory, base = os.path.split(target)
    try:
        existing: Optional[os.stat_result] = os.stat(target)
    except OSError:
        existing = None
    if existing is not None and not stat.S_ISREG(existing.st_mode):
        raise ValueError(f"{shown}: not a regular file, so it is not replaced")
    directory_fd = fd = -1
    temp = None
    snapshot: Optional[SnapshotWriter] = None
    committed = False
    # Interrupts are held while this code runs, and handed on while the
    # caller's block does. Those held are released where the cleanup below
    # covers them, the last time just before the rename.
    with _Interrupts(sys._getframe()) as interrupts:
        try:
            # Opened now, so that a directory that cannot be synced is found
            # before anything is written, not after the file was replaced.
            directory_fd = os.open(directory, os.O_RDONLY)
            fd, temp, mode = _hidden_file(directory, base, None if existing is None else stat.S_IMODE(existing.st_mode))
            interrupts.release()
            snapshot = SnapshotWriter(_native.Writer(temp), shown)
            yield snapshot
            snapshot._finish(header_text)
            snapshot._drop()
            if existing is not None:
                _keep_owner(fd, existing)
            os.fchmod(fd, mode)
            os.fsync(fd)
            interrupts.release()
            os.replace(temp, target)
            committed = True
            # The snapshot is in place and the block succeeds: an interrupt
            # that came meanwhile is dropped, and nothing fails from here on.
            interrupts.settle(keep=hold_after_commit)
            with contextlib.suppress(OSError):
                os.fsync(directory_fd)
            for opened in (fd, directory_fd):
                with contextlib.suppress(OSError):
                    os.close(opened)
        except BaseException as error:
            if committed:
                raise
            # The writer closes its file when the last reference goes; the
            # failure's frames hold one, so they are cleared first.
            with _stderr_quiet(quiet_discard):
                _clear_frames(error)
                if snapshot is not None:
                    snapshot._drop()
            if temp is not None:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(temp)
            for opened in (fd, directory_fd):
                if opened >= 0:
                    os.close(opened)
            raise


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
