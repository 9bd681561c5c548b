"""A fleet of snapshots as one SQL database, on an in-process DuckDB.

Every member is a view named after it (a keyed member by its bare name, over
all its instances) with the columns of `table`: `snapshot` first, `key` next
for a keyed member, then the member's own. The view `snapshots` has one row
per file. DuckDB is an optional dependency: `pip install 'quarlen[sql]'`.
"""

import contextlib
import hashlib
import json
import os
import re
import signal
import socket
import threading
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Optional, Sequence

from . import _native
from .errors import Error, Path, from_native
from .schema import MEMBERS, bare_member
from .tables import Table

if TYPE_CHECKING:
    import duckdb

__all__ = ["connect", "snapshot_files", "snapshot_id", "need_duckdb"]

EXTRA = "pip install 'quarlen[sql]'"


def need_duckdb(what: str) -> Any:
    """The duckdb module; ImportError saying what to install when it is missing."""
    try:
        import duckdb
    except ImportError:
        raise ImportError(f"{what} needs DuckDB, which is not installed: {EXTRA}") from None
    return duckdb


def interrupted(error: BaseException) -> bool:
    """Whether `error` is DuckDB's own for a query that a signal stopped: it
    takes the exception of a signal's handler (Ctrl-C's KeyboardInterrupt,
    SIGTERM's SystemExit) that comes while a query runs, and raises this
    instead."""
    text = str(error)
    return (type(error).__name__ == "InterruptException" or text == "Query interrupted"
            # raised by a scan of a table, where the signal came while it was asked for rows
            or re.search(r"failed: (KeyboardInterrupt|SystemExit)\b", text) is not None)


@contextlib.contextmanager
def signals_kept() -> Iterator[None]:
    """Raises KeyboardInterrupt again where DuckDB took it (see `interrupted`)."""
    try:
        yield
    except Exception as error:
        if interrupted(error):
            raise KeyboardInterrupt from None
        raise


@contextlib.contextmanager
def interruptible(connection: Any) -> Iterator[None]:
    """Stops the query running on `connection` as soon as Ctrl-C comes,
    while SIGINT has Python's default handler, which then raises
    KeyboardInterrupt as the query returns. DuckDB asks for signals only at
    points of its own, which a long join may not pass for many seconds.

    The interpreter writes each signal's number to its wakeup descriptor, and
    a thread waiting on that descriptor interrupts the query; an earlier
    descriptor is told of the signal too, and is put back at the end. Only
    the main thread can set the descriptor: elsewhere this does nothing."""
    if (threading.current_thread() is not threading.main_thread()
            or signal.getsignal(signal.SIGINT) is not signal.default_int_handler):
        yield
        return
    reader, writer = socket.socketpair()
    writer.setblocking(False)
    previous: Optional[int] = None

    def watch() -> None:
        while data := reader.recv(64):
            if previous is not None and previous >= 0:
                with contextlib.suppress(OSError):
                    os.write(previous, data)
            if signal.SIGINT in data:
                connection.interrupt()

    watcher = threading.Thread(target=watch, name="quarlen-interrupt", daemon=True)
    try:
        try:
            previous = signal.set_wakeup_fd(writer.fileno(), warn_on_full_buffer=False)
        except ValueError:  # the main thread of another interpreter
            pass
        else:
            watcher.start()
        yield
    finally:
        try:
            if previous is not None:
                # The interpreter's warning on a full buffer comes back on with it.
                signal.set_wakeup_fd(previous)
        finally:
            writer.close()  # ends the watcher's wait
            if watcher.ident is not None:
                watcher.join()
            reader.close()


def snapshot_files(items: Path | Iterable[Path]) -> list[str]:
    """The files `items` (one path or several) name, in their order: a
    directory stands for every .quarlen file under it, in name order. Each
    file comes once."""
    files: list[str] = []
    for item in [items] if isinstance(items, (str, os.PathLike)) else items:
        path = os.fspath(item)
        if os.path.isdir(path):
            found: list[str] = []
            for root, dirs, names in os.walk(path):
                dirs.sort()
                found.extend(os.path.join(root, name) for name in names if name.endswith(".quarlen"))
            files.extend(sorted(found))
        else:
            files.append(path)
    return list(dict.fromkeys(files))


def snapshot_id(path: Path, manifest_text: Optional[str] = None) -> str:
    """A name for one snapshot that stays the same while the file does: its
    file name without ".quarlen", and the first 12 hex digits of the SHA-256
    of its manifest."""
    if manifest_text is None:
        manifest_text = _manifest(path)
    stem = os.path.basename(os.fspath(path))
    if stem.endswith(".quarlen"):
        stem = stem[: -len(".quarlen")]
    return f"{stem}-{hashlib.sha256(manifest_text.encode()).hexdigest()[:12]}"


@signals_kept()
def connect(paths: Path | Sequence[Path], *, members: Optional[Iterable[str]] = None) -> "duckdb.DuckDBPyConnection":
    """A DuckDB connection in which every member of the format is a view over
    the snapshots `paths` (files, or directories of .quarlen files), and
    `snapshots` lists them.

    Each member view reads and checks its member in every file once, to infer
    its column types, when it is made; `members` limits the views to those
    members. A file that fails its checks raises Error, with its path.
    """
    files = snapshot_files(paths)
    database = Fleet(files)
    database.add_snapshots()
    for name in MEMBERS if members is None else members:
        database.add_member(name)
    connection: "duckdb.DuckDBPyConnection" = database.connection
    return connection


class Fleet:
    """The connection being built, its views made on request. With
    `skip_bad`, a file that fails its checks is left out of every view (made
    or to come) and passed to `skip_bad`, instead of raising."""

    def __init__(self, files: Sequence[str], skip_bad: Optional[Callable[[Error], None]] = None) -> None:
        duckdb = need_duckdb("quarlen.connect")
        self.connection = duckdb.connect()
        self.files = list(files)
        self._skip_bad = skip_bad
        self._members: dict[str, Table] = {}
        self._snapshots = False

    def add_snapshots(self) -> None:
        """Makes the view `snapshots`, from every file's checked manifest."""
        rows = []
        for path in list(self.files):
            try:
                manifest = json.loads(_manifest(path))
            except Error as error:
                self._drop(error)
                continue
            counts = manifest.pop("members")
            header = json.dumps(manifest, ensure_ascii=False, separators=(",", ":"))
            rows.append((path, header, len(counts), sum(record["rows"] for record in counts.values())))
        self.connection.execute(
            "CREATE TEMP TABLE quarlen_snapshots (path VARCHAR, header JSON, members BIGINT, rows BIGINT)")
        for start in range(0, len(rows), 1000):  # one statement per thousand: executemany is slow
            chunk = rows[start:start + 1000]
            self.connection.execute("INSERT INTO quarlen_snapshots VALUES " + ", ".join(["(?, ?, ?, ?)"] * len(chunk)),
                                    [value for row in chunk for value in row])
        self.connection.execute("CREATE TEMP VIEW snapshots AS SELECT * FROM quarlen_snapshots")
        self._snapshots = True

    def add_member(self, name: str) -> None:
        """Makes the view of the member `name` (a bare name for a keyed member)."""
        bare_member(name)
        while True:
            table = Table(list(self.files), name)
            try:
                table.check()  # reads and checks the member in every file, once
            except Error as error:
                if error.path not in self.files:
                    raise
                self._drop(error)
                continue
            break
        self._members[name] = table
        self.connection.register(name, table)

    def _drop(self, error: Error) -> None:
        """Leaves out the file that `error` is about, from every view."""
        self._refuse(error)
        path = str(error.path)
        self.files.remove(path)
        if self._snapshots:
            self.connection.execute("DELETE FROM quarlen_snapshots WHERE path = ?", [path])
        for name in list(self._members):
            self.connection.unregister(name)
            del self._members[name]
            self.add_member(name)

    def _refuse(self, error: Error) -> None:
        if self._skip_bad is None:
            raise error
        self._skip_bad(error)


def _manifest(path: Path) -> str:
    try:
        return _native.manifest(path)
    except ValueError as error:
        raise from_native(error, path=path) from None
