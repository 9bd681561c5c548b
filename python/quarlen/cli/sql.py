"""quarlen sql: run a query over a fleet of snapshots, on DuckDB."""

import csv
import io
import json
import time
from typing import Any, Iterator, Sequence

import quarlen
from quarlen import fleet

from . import _io, _progress
from ._io import CommandError

_FETCH_ROWS = 10_000


def add_parser(commands: Any) -> None:
    p = commands.add_parser(
        "sql",
        help="run an SQL query over snapshots (needs quarlen[sql])",
        description="Run QUERY in an in-process DuckDB where every member is a view over the given "
        "snapshots, with the columns snapshot (the file), key (for a keyed member) and the member's "
        "own, and the view snapshots has one row per file (path, header, members, rows). Only the "
        "members the query names are read, each checked before its rows are used. A FILE that is a "
        "directory stands for every .quarlen file under it. Exit codes: 0 done, 1 done without the "
        "files --skip-bad left out, 2 a file that cannot be read or fails verification, or a bad query.",
    )
    p.add_argument("query", metavar="QUERY")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("--format", choices=("table", "csv", "json", "jsonl"), default="table",
                   help="how to print the result (default: %(default)s)")
    p.add_argument("--skip-bad", action="store_true",
                   help="leave out a file that fails verification, naming it on standard error")
    p.set_defaults(run=lambda args: run(args.query, args.files, args.format, args.skip_bad))


@fleet.signals_kept()
def run(query: str, files: Sequence[str], form: str, skip_bad: bool) -> int:
    try:
        duckdb = fleet.need_duckdb("quarlen sql")
    except ImportError as error:
        raise CommandError(str(error)) from None
    left_out: list[str] = []

    def skip(error: quarlen.Error) -> None:
        left_out.append(str(error.path))
        _io.err(f"quarlen: left out: {_io.about_file(error)}\n")

    try:
        database = fleet.Fleet(fleet.snapshot_files(files), skip if skip_bad else None)
        with fleet.interruptible(database.connection):
            _query(duckdb, database, query, form)
    except quarlen.Error as error:
        raise CommandError(_io.about_file(error)) from None
    except duckdb.Error as error:
        if fleet.interrupted(error):
            raise KeyboardInterrupt from None
        raise CommandError(str(error).strip()) from None
    return _io.EXIT_PROBLEMS if left_out else _io.EXIT_OK


def _query(duckdb: Any, database: fleet.Fleet, query: str, form: str) -> None:
    """Makes the views the query names, runs it and prints its result."""
    named = {name.lower().rpartition(".")[2] for name in duckdb.get_table_names(query)}
    if "snapshots" in named:
        database.add_snapshots()
    used = [name for name in quarlen.schema.MEMBERS if name in named]
    progress = _progress.Progress(None if len(database.files) > 1 else False)
    for done, name in enumerate(used):
        progress.show(f"{done} of {len(used)} members checked in {len(database.files):,} files; "
                      f"{name} next, {time.monotonic() - progress.start:,.1f} s", now=True)
        database.add_member(name)
    progress.show(f"{len(used)} of {len(used)} members checked in {len(database.files):,} files, "
                  f"{time.monotonic() - progress.start:,.1f} s", now=True)
    progress.end()
    result = database.connection.execute(query)
    if result.description is not None:  # None: a statement without a result
        columns = [column[0] for column in result.description]
        _io.out_lines(_FORMS[form](columns, _rows(result)))


def _rows(result: Any) -> Iterator[tuple[Any, ...]]:
    while batch := result.fetchmany(_FETCH_ROWS):
        yield from batch


def _text(value: Any) -> str:
    if value is None:
        return "NULL"
    if isinstance(value, (list, dict)):
        return json.dumps(value, ensure_ascii=False, default=str)
    return str(value)


def _table(columns: list[str], rows: Iterator[tuple[Any, ...]]) -> Iterator[str]:
    cells = [[_text(value) for value in row] for row in rows]
    widths = [max([len(column)] + [len(row[i]) for row in cells]) for i, column in enumerate(columns)]
    yield "  ".join(column.ljust(width) for column, width in zip(columns, widths)).rstrip() + "\n"
    yield "  ".join("-" * width for width in widths) + "\n"
    for row in cells:
        yield "  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n"
    yield f"({len(cells)} row{'' if len(cells) == 1 else 's'})\n"


def _csv(columns: list[str], rows: Iterator[tuple[Any, ...]]) -> Iterator[str]:
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(columns)
    for row in rows:
        writer.writerow(["" if value is None else _text(value) for value in row])
        yield buffer.getvalue()
        buffer.seek(0)
        buffer.truncate()
    yield buffer.getvalue()


def _object(columns: list[str], row: tuple[Any, ...]) -> str:
    return json.dumps(dict(zip(columns, row)), ensure_ascii=False, default=str)


def _jsonl(columns: list[str], rows: Iterator[tuple[Any, ...]]) -> Iterator[str]:
    for row in rows:
        yield _object(columns, row) + "\n"


def _json(columns: list[str], rows: Iterator[tuple[Any, ...]]) -> Iterator[str]:
    separator = "["
    for row in rows:
        yield separator + _object(columns, row)
        separator = ",\n"
    yield "[]\n" if separator == "[" else "]\n"


_FORMS = {"table": _table, "csv": _csv, "json": _json, "jsonl": _jsonl}
