"""Writes, reads and compares .quarlen files: snapshots of a database catalogue.

A .quarlen file is a ZIP archive with one JSON-lines entry per member and a
manifest.json holding each member's row count, byte count and SHA-256.

The functions of the module `_native` (`read`, `verify`, `manifest`, ...) raise
ValueError; the package's own (`load`, `iter_rows`, `rows_text`, `create`,
`diff`, `member`) raise `Error`, a ValueError whose fields name the file,
member, row or input line the failure is about.
"""

from . import schema
from ._native import (
    FORMAT,
    Writer,
    manifest,
    members,
    read,
    unit_hash,
    verify,
    version,
)
from .compare import Change, TextChange, diff
from .errors import Error
from .rows import iter_rows, load, rows_text
from .schema import Member, member
from .snapshot import SnapshotWriter, create
from .tables import Table, table

__version__: str = version()

__all__ = [
    "Writer",
    "manifest",
    "read",
    "verify",
    "members",
    "unit_hash",
    "version",
    "FORMAT",
    "Error",
    "load",
    "iter_rows",
    "rows_text",
    "create",
    "SnapshotWriter",
    "diff",
    "Change",
    "TextChange",
    "Member",
    "member",
    "schema",
    "table",
    "Table",
    "__version__",
]
