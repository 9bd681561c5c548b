"""A member's rows as Apache Arrow data, typed, over one snapshot or many.

`table(paths, name)` gives an object that speaks Arrow's PyCapsule interface
(`__arrow_c_stream__`, `__arrow_c_schema__`): pyarrow, polars, DuckDB and
nanoarrow take it as it is. The rows come as record batches built by the
native core from the member's text, never through Python objects.

Nothing unchecked is handed out: before the first batch, every member involved
is read with every check of `read`, which also settles the columns' types; the
batches come from a second read (small members are kept from the first). A
fault in either is the consumer's error, carrying `read`'s message.
"""

import os
from typing import Any, Optional, Sequence, Union, cast

from . import _native
from .errors import Path, from_native
from .schema import MEMBERS, member

__all__ = ["Table", "table"]

Paths = Union[Path, Sequence[Path]]


class Table:
    """The rows of one member over one or more files, for Arrow consumers.

    Columns: `snapshot` (the file's path as given, as text) when `paths` was a
    list or tuple (any sequence of paths), even of one; `key` (the instance's key, "APP") when `name`
    is a keyed member's bare name ("control_rows"), which stands for every
    instance each manifest lists, in its byte order; then the member's columns.

    Each column's type is settled over every file: only strings give utf8;
    only integers within int64 give int64; numbers of any kind give float64;
    only booleans give bool; only nulls (or no rows) give null. Anything else
    (objects, arrays, integers beyond int64, kinds mixed) gives each value's
    compact JSON text, typed utf8 with the `arrow.json` extension. Texts are
    large_utf8 only when some member read holds 2 GiB of text or more. Every
    column is nullable; batches hold at most 65,536 rows or about 4 MiB of the
    member's text.

    Every `__arrow_c_stream__` call opens a fresh stream, so the table can be
    scanned again. The first reading, with its checks and its fault, is done
    once for the table: each stream then reads the members again (small ones
    are kept from it) and hands out nothing but the text it checked, so a
    file changed since fails the stream. A new table reads the files anew.
    """

    def __init__(self, paths: Paths, name: str) -> None:
        if isinstance(paths, (str, os.PathLike)):
            self._paths = [os.fspath(paths)]
            self._snapshots: list[str] = []
        else:
            self._paths = [os.fspath(p) for p in paths]
            self._snapshots = list(self._paths)
        self._name = name
        self._fields: Optional[list[tuple[str, str, bool]]] = None
        self._read: Optional[object] = None  # the native table, once read and checked
        bare = name in MEMBERS and MEMBERS[name].keyed
        if not bare:
            member(name)  # a name outside the format fails here, as in read

    def _call(self, function: Any, *args: object) -> object:
        try:
            return function(*args)
        except ValueError as error:
            first = self._paths[0] if len(self._paths) == 1 else None
            raise from_native(error, path=first, member=self._name) from None

    def _table(self) -> object:
        """The native table: every member read and checked once, the types
        settled; it keeps the fault of that pass, if any."""
        if self._read is None:
            self._read = self._call(_native._arrow_table, self._paths, self._snapshots, self._name)
        return self._read

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """A new "arrow_array_stream" capsule over the rows. A requested
        schema is not followed: the table has the types its values take."""
        return _native._arrow_stream(self._table())

    def __arrow_c_schema__(self) -> object:
        """An "arrow_schema" capsule. The first call reads every member to
        settle the types, as `check` does; later calls answer from it."""
        return _native._arrow_schema(self.check())

    def check(self) -> list[tuple[str, str, bool]]:
        """Reads every member with every check of `read`, once, and settles
        the columns' types: (name, Arrow format, holds JSON text) per column.
        A damaged member raises Error with `read`'s message and its file."""
        if self._fields is None:
            self._fields = cast(list[tuple[str, str, bool]], self._call(_native._arrow_fields, self._table()))
        return self._fields


def table(paths: Paths, name: str) -> Table:
    """The rows of member `name` of the file `paths`, or of every file of a
    list of them, as an Arrow table; see `Table`. A name outside the format
    raises Error with `read`'s message."""
    return Table(paths, name)
