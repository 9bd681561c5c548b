"""Snapshots as Parquet files that engines beyond one machine read as tables.

`export(directory, paths)` writes `directory/{member}/{snapshot id}.parquet`
for each snapshot and each member it lists, with the columns of `table` (the
`snapshot` column first). Each `directory/{member}` reads as one table. The
files are written by DuckDB (`pip install 'quarlen[sql]'`).

Types stay the same across the files of a member, so that the directory keeps
reading as one table as it grows: the first export of a member takes the types
inferred over all the snapshots it writes (a column of nulls only becomes
text), and every later snapshot is cast to the types of the files already
there where nothing is lost: nulls to any type, integers to doubles, any value
to its JSON text where the directory holds JSON. A snapshot whose values do not
fit them (text where the directory holds integers, say) is refused with an
Error naming the column.

An export writes only the files that are not there yet. Each file is written
under a hidden name and renamed into place once complete, so a run that is
stopped leaves no partial file, and running it again finishes the job.
"""

import dataclasses
import errno
import json
import os
import re
from typing import Any, Callable, Iterable, Optional, Sequence

from .errors import Error, Path
from .fleet import _manifest, interrupted, interruptible, need_duckdb, signals_kept, snapshot_files, snapshot_id
from .schema import MEMBERS, bare_member
from .tables import Table

__all__ = ["export", "Exported"]

# Casts that lose nothing, from a column's type in a snapshot to the type the
# directory holds; besides these, nulls take any type and any value its JSON text.
_WIDENS = {("BIGINT", "DOUBLE")}


@dataclasses.dataclass(frozen=True)
class Exported:
    """One Parquet file of an export: where it is, whether this run wrote it
    (False: it was there already) and the rows it wrote."""

    member: str
    snapshot: str
    path: str
    written: bool
    rows: int = 0


@signals_kept()
def export(directory: Path, paths: Path | Sequence[Path], members: Optional[Iterable[str]] = None,
           *, progress: Optional[Callable[[Exported, int], object]] = None) -> list[Exported]:
    """Exports the snapshots `paths` (files, or directories of .quarlen
    files) into `directory`: every member each lists, or only `members` (bare
    names for keyed members). Returns the files, written or found, member by
    member; `progress` is called with each as soon as it is done, and the
    number of files the export comprises."""
    duckdb = need_duckdb("quarlen export")
    directory = os.fspath(directory)
    names = list(MEMBERS) if members is None else list(dict.fromkeys(members))
    for name in names:
        bare_member(name)
    files = snapshot_files(paths)
    # The files of the export, member by member: (member, snapshot, target).
    plan: list[tuple[str, str, str]] = []
    for path in files:
        text = _manifest(path)
        listed = {entry.partition("/")[0] for entry in json.loads(text)["members"]}
        ident = snapshot_id(path, text)
        plan.extend((name, path, os.path.join(directory, name, ident + ".parquet")) for name in names if name in listed)
    plan.sort(key=lambda task: names.index(task[0]))

    connection = duckdb.connect()
    # One writing thread: the rows come from one stream anyway, and each more
    # thread holds row groups of its own (the peak of a 1 GB member's export
    # halves, and it takes no longer).
    connection.execute("SET threads TO 1")
    done: list[Exported] = []

    def finished(item: Exported) -> None:
        done.append(item)
        if progress:
            progress(item, len(plan))

    with interruptible(connection):
        for name in names:
            pending = []
            for member, path, target in plan:
                if member != name:
                    continue
                if os.path.exists(target):
                    finished(Exported(name, path, target, False))
                else:
                    pending.append((path, target))
            if not pending:
                continue
            folder = os.path.join(directory, name)
            os.makedirs(folder, exist_ok=True)
            types = _folder_types(connection, folder) or _inferred_types(connection, [p for p, _ in pending], name)
            for path, target in pending:
                rows = _write(connection, Table([path], name), types, target, path, name)
                finished(Exported(name, path, target, True, rows))
    return done


def _columns(connection: Any, source: str, *parameters: Any) -> dict[str, str]:
    described = connection.execute(f"DESCRIBE SELECT * FROM {source}", list(parameters)).fetchall()
    return {row[0]: row[1] for row in described}


def _folder_types(connection: Any, folder: str) -> dict[str, str]:
    """The column types of the Parquet files already in `folder` (of the first
    in name order: they all have the same), or {} when there is none."""
    existing = sorted(name for name in os.listdir(folder) if name.endswith(".parquet") and not name.startswith("."))
    if not existing:
        return {}
    return _columns(connection, "read_parquet(?)", os.path.join(folder, existing[0]))


def _nulls(table: Table) -> set[str]:
    """The columns of `table` that hold only nulls (Arrow's null type, which
    DuckDB versions name differently), after reading every member."""
    return {name for name, form, _ in table.check() if form == "n"}


def _inferred_types(connection: Any, paths: list[str], name: str) -> dict[str, str]:
    """The types of the member `name` inferred over all `paths`, with nulls as text."""
    table = Table(paths, name)
    nulls = _nulls(table)
    connection.register("quarlen_source", table)
    try:
        types = _columns(connection, "quarlen_source")
    finally:
        connection.unregister("quarlen_source")
    return {column: "VARCHAR" if column in nulls else kind for column, kind in types.items()}


def _write(connection: Any, table: Table, types: dict[str, str], target: str, path: str, name: str) -> int:
    """Writes one file; returns its row count."""
    nulls = _nulls(table)
    connection.register("quarlen_source", table)
    hidden = os.path.join(os.path.dirname(target), "." + os.path.basename(target) + ".partial")
    try:
        own = _columns(connection, "quarlen_source")
        selected = []
        for column, kind in types.items():
            have = own.get(column)
            quoted = '"' + column.replace('"', '""') + '"'
            if have == kind:
                selected.append(quoted)
            elif column in nulls or (have, kind) in _WIDENS:
                selected.append(f"CAST({quoted} AS {kind}) AS {quoted}")
            elif kind == "JSON":  # a value of any kind as its JSON text
                selected.append(f"to_json({quoted}) AS {quoted}")
            else:
                raise Error(f"{name}.{column}: {have} where {os.path.dirname(target)} holds {kind}; "
                            "export it into another directory", path=path, member=name)
        duckdb = need_duckdb("quarlen export")
        with _removed_unless_renamed(hidden):
            try:
                copied = connection.execute(
                    f"COPY (SELECT {', '.join(selected)} FROM quarlen_source) TO ? (FORMAT parquet)", [hidden])
                rows: int = copied.fetchone()[0]
            except duckdb.Error as error:
                if interrupted(error):
                    raise KeyboardInterrupt from None
                if isinstance(error, duckdb.IOException):
                    raise _not_written(error, target) from None
                raise Error(str(error).strip(), path=path, member=name) from None
            _durable(hidden)
            os.replace(hidden, target)
            _durable(os.path.dirname(target))
    finally:
        connection.unregister("quarlen_source")
    return rows


def _not_written(error: Exception, target: str) -> OSError:
    """DuckDB's failure to write the file (a full disk, say) as an OSError
    about `target`, not about the snapshot, with the system's reason: its
    errno where DuckDB's text gives one, else the reason its text ends with."""
    text = str(error).strip()
    found = re.search(r'"errno":"(\d+)"', text)
    if found is not None:
        code: Optional[int] = int(found.group(1))
    else:
        code = next((c for c in sorted(errno.errorcode) if text.endswith(": " + os.strerror(c))), None)
    return OSError(code, text if code is None else os.strerror(code), target)


class _removed_unless_renamed:
    """Removes a hidden file left by an earlier run, and the one this run
    writes unless it was renamed into place."""

    def __init__(self, hidden: str) -> None:
        self.hidden = hidden

    def __enter__(self) -> None:
        _remove(self.hidden)

    def __exit__(self, *exc: object) -> None:
        _remove(self.hidden)


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def _durable(path: str) -> None:
    """Flushes a file, or a directory's entries, to the disk."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
