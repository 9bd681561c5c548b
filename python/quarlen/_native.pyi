from os import PathLike
from typing import Any, Callable, Final, Iterable, Sequence, final

__all__ = ["Writer", "manifest", "read", "verify", "members", "unit_hash", "version", "FORMAT"]

FORMAT: Final[str]

@final
class Writer:
    """Writes a .quarlen file: `begin(name)`, `rows(json)` as often as needed, `end()`, then `finish(header_json)`."""

    def __new__(cls, path: str | PathLike[str]) -> Writer: ...
    def begin(self, name: str) -> None: ...
    def rows(self, rows_json: str) -> int: ...
    def end(self) -> str: ...
    def finish(self, header_json: str) -> str: ...

def manifest(path: str | PathLike[str]) -> str:
    """The manifest of a .quarlen file (JSON), after checking its format."""

def read(path: str | PathLike[str], name: str) -> str:
    """One member's rows (JSON), checked against the manifest and the format."""

def verify(path: str | PathLike[str]) -> str:
    """Reads every member: `{ok, format, members, problems}` (JSON)."""

def members() -> str:
    """The format's members and their columns (JSON): `[[name, [columns], keyed]]`."""

def unit_hash(owner: str, object_type: str, object_name: str, text: str) -> str: ...
def version() -> str: ...

# Private: raises ValueError with the writer's message for a name outside the format.
def _check_member(name: str) -> None: ...

# Private helpers of the package's load, iter_rows and create.

@final
class RowReader:
    def next_batch(self) -> list[list[Any]] | None: ...
    def close(self) -> None: ...

def _load(path: str | PathLike[str], name: str) -> list[list[Any]]: ...
def _open_rows(path: str | PathLike[str], name: str) -> RowReader: ...
def _write_rows(writer: Writer, name: str, rows: Iterable[Sequence[Any]], first: int) -> int: ...

# Private helpers of the package: the member table with keys and display forms
# (JSON); read's text, or None for a member the manifest does not list; the
# rows of read's text, each followed by a line feed; closing an unfinished
# writer (the text of a failure to close its file, or None); a member's rows
# from JSON lines read from a file descriptor, giving (rows, bytes read).
def _schema() -> str: ...
def _read_listed(path: str | PathLike[str], name: str) -> str | None: ...
def _array_lines(text: str) -> str: ...
def _discard(writer: Writer) -> str | None: ...
def _write_json_lines(writer: Writer, fd: int, progress: Callable[[int, int], object] | None) -> tuple[int, int]: ...

# Private helpers of the package's diff: one member's changes as
# (change, key, old_row, new_row, column indexes), the key and rows as values
# or, from _diff_member_json, as compact JSON texts. `rules`: None, or
# (owner column, owner patterns, object column, object patterns, ignored
# columns, whitespace-insensitive columns), a column None where there is none.
def _diff_member(
    old: str | PathLike[str], new: str | PathLike[str], name: str, key_columns: tuple[int, ...],
    rules: tuple[object, ...] | None = None,
) -> list[tuple[str, list[Any], list[Any] | None, list[Any] | None, tuple[int, ...]]]: ...
def _diff_member_json(
    old: str | PathLike[str], new: str | PathLike[str], name: str, key_columns: tuple[int, ...],
    rules: tuple[object, ...] | None = None,
) -> list[tuple[str, str, str | None, str | None, tuple[int, ...]]]: ...

# Private helpers of the package's tables: one member of every file of
# `paths`, with a snapshot column of `snapshots` unless it is empty, read and
# checked once (a capsule "quarlen.arrow_table"); the fields of its batches
# (name, format, holds JSON); a capsule "arrow_array_stream" over it; a
# capsule "arrow_schema" of such fields.
def _arrow_table(paths: list[str], snapshots: list[str], name: str) -> object: ...
def _arrow_fields(table: object) -> list[tuple[str, str, bool]]: ...
def _arrow_stream(table: object) -> object: ...
def _arrow_schema(fields: list[tuple[str, str, bool]]) -> object: ...
