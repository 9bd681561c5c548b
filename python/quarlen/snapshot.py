"""Writing a snapshot from Python rows or JSON lines, safely: all of it or nothing."""

import contextlib
import json
import sys
import threading
from typing import IO, Any, Callable, ContextManager, Iterable, Iterator, Mapping, Optional, Sequence, Union

from . import _native
from ._interrupts import Interrupts
from ._replace import Replacement
from .errors import Error, Path, from_native


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
        keys that are not str are refused with an Error naming the member and
        the row. A write that fails fails the snapshot: every later write,
        and the end of the `with` block, raise an Error that names the file
        and the first failure, and no file is put in place.
        """
        return self._member(name, lambda writer: _native._write_rows(writer, name, rows, 1))

    def write_json_lines(self, name: str, stream: IO[bytes],
                         progress: Optional[Callable[[int, int], object]] = None) -> dict[str, Any]:
        """Writes the member `name` from JSON lines read from `stream`'s file
        descriptor to its end (not from its buffer), as `write` does.

        Each line that is not blank is one row (a CR before its LF dropped),
        checked and stored as `Writer.rows` would. A bad line raises an Error
        whose message is the reason alone, with `line` and `row` set; a read
        failure raises OSError. `progress(rows, bytes_read)` is called every
        10,000 rows and at the end.
        """

        def fill(writer: _native.Writer) -> None:
            rows, size = _native._write_json_lines(writer, stream.fileno(), progress)
            if progress is not None:
                progress(rows, size)

        return self._member(name, fill)

    def _member(self, name: str, fill: Callable[[_native.Writer], object]) -> dict[str, Any]:
        writer = self._live()
        try:
            writer.begin(name)
            fill(writer)
            record: dict[str, Any] = json.loads(writer.end())
        except ValueError as error:
            self._refusal = str(error)
            raise from_native(error, path=self._path, member=name) from None
        except BaseException as error:
            self._refusal = str(error) or type(error).__name__
            raise
        return record

    def _live(self) -> _native.Writer:
        if threading.get_ident() != self._owner:
            raise RuntimeError(f"{self._path}: a snapshot is written by the thread that created it")
        if self._writer is None:
            raise Error("the snapshot is closed", path=self._path)
        if self._refusal is not None:
            raise Error(f"{self._path}: the snapshot cannot be completed: a write failed ({self._refusal})",
                        path=self._path)
        return self._writer

    def _finish(self, header_text: str) -> None:
        try:
            self._live().finish(header_text)
        except ValueError as error:
            raise from_native(error, path=self._path) from None
        self._writer = None

    def _discard(self) -> Optional[str]:
        """Closes the unfinished file (which the caller deletes); the text of a
        failure to close it, or None."""
        writer, self._writer = self._writer, None
        if writer is None or threading.get_ident() != self._owner:
            return None
        return _native._discard(writer)


def create(path: Path, header: Union[Mapping[str, Any], str, None] = None, *,
           exiting: bool = False) -> ContextManager[SnapshotWriter]:
    """A snapshot writer for `path`, as a context manager.

    The file is written under a hidden name in the same directory and put in
    place of `path` only when the `with` block ends normally and the manifest
    (with `header`'s keys, taken when create is called) is on disk: an
    existing file at `path` is never damaged, and a block left by an exception
    (Ctrl-C included) leaves no file behind. Once the file is in place, the
    block ends normally. A replaced file's mode, owner and group are kept
    (owner and group where the process may set them). A write that fails
    fails the snapshot (see `SnapshotWriter.write`).

    `header` may also be a JSON object's text, read as `Writer.rows` reads
    values (when the snapshot is finished). `exiting` is for a program that
    ends with the block: a failure to close an abandoned file is not reported
    on standard error, and interrupts that come once the file is in place are
    held for good, so that the program reports the success it had.
    """
    return _create(path, _header_text(header), exiting)


def _header_text(header: Union[Mapping[str, Any], str, None]) -> str:
    if header is None:
        return "{}"
    keys = _object_keys(header) if isinstance(header, str) else header
    for key in ("format", "members"):
        if key in keys:
            raise Error(f'header: "{key}" belongs to the file, not to the header')
    return header if isinstance(header, str) else json.dumps(header, allow_nan=False)


def _object_keys(text: str) -> Iterable[str]:
    """The keys of a JSON object's text; none for any other text, which the
    writer refuses itself. Numbers are left to the writer."""
    try:
        value = json.loads(text, parse_int=len, parse_float=len, parse_constant=len)
    except (ValueError, RecursionError):
        return ()
    return value if isinstance(value, dict) else ()


@contextlib.contextmanager
def _create(path: Path, header_text: str, exiting: bool) -> Iterator[SnapshotWriter]:
    # Interrupts are held while this code runs, and handed on while the
    # caller's block does. Those held are handed on where the cleanup covers
    # them: once the file exists, and just before it is put in place.
    with Interrupts(sys._getframe()) as interrupts:
        replacement = Replacement(path)
        snapshot = None
        try:
            snapshot = SnapshotWriter(_native.Writer(replacement.hidden), replacement.shown)
            # From here until the caller's block ends, an interrupt is raised
            # where it comes: on these two lines, which the cleanup covers, or
            # in the caller's block. Held there, it would wait for the block's end.
            here = sys._getframe().f_lineno
            interrupts.release(covered=(here + 1, here + 2))
            yield snapshot
            interrupts.hold()
            snapshot._finish(header_text)
            interrupts.release()
            replacement.commit()
        except BaseException:
            failure = snapshot._discard() if snapshot is not None else None
            if failure is not None and not exiting:
                sys.stderr.write(f"ZipWriter drop failed: {failure}")
                sys.stderr.flush()
            replacement.abort()
            raise
        # The snapshot is in place and the block succeeds: an interrupt that
        # came meanwhile is dropped.
        interrupts.settle(keep=exiting)
