"""Writes, reads and compares .quarlen files: snapshots of a database catalogue.

A .quarlen file is a ZIP archive with one JSON-lines entry per member and a
manifest.json holding each member's row count, byte count and SHA-256.
"""

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
from .compare import Change, diff
from .rows import iter_rows, load
from .snapshot import SnapshotWriter, create

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
    "load",
    "iter_rows",
    "create",
    "SnapshotWriter",
    "diff",
    "Change",
    "__version__",
]
