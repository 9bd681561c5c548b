"""What changed between two snapshots: rows matched by their natural key."""

from __future__ import annotations

import dataclasses
import json
import os
from typing import Any, Iterable, Iterator, Literal, Optional, Union, cast

from . import _native

Path = Union[str, "os.PathLike[str]"]

# The columns that identify a row within its member, in the order its key
# lists them; an empty tuple makes the whole row the key.
KEY_COLUMNS: dict[str, tuple[str, ...]] = {
    "objects": ("owner", "object_name", "object_type"),
    "columns": ("owner", "table_name", "column_name"),
    "constraints": ("owner", "constraint_name"),
    "type_attrs": ("owner", "type_name", "attr_name"),
    "synonyms": ("owner", "synonym_name"),
    "dependencies": (),
    "triggers": ("owner", "trigger_name"),
    "comments": ("owner", "table_name", "column_name"),
    "plscope_declarations": ("owner", "object_name", "object_type", "usage_id"),
    "external_objects": ("owner", "object_name", "object_type"),
    "external_columns": ("owner", "table_name", "column_name"),
    "external_synonyms": ("owner", "synonym_name"),
    "scheduler": ("kind", "owner", "name"),
    "external_tables": ("owner", "table_name"),
    "units": ("owner", "object_name", "object_type"),
    "plscope_identifiers": ("object_name", "object_type", "usage_id"),
    "plscope_statements": ("object_name", "object_type", "usage_id"),
    "control_rows": (),
    "runtime_sql": ("sql_id", "child_number"),
}

_TABLE: list[tuple[str, list[str], bool]] = json.loads(_native.members())
COLUMNS: dict[str, tuple[str, ...]] = {name: tuple(columns) for name, columns, _ in _TABLE}
KEYED: frozenset[str] = frozenset(name for name, _, keyed in _TABLE if keyed)
_KEY_INDEXES = {name: tuple(COLUMNS[name].index(c) for c in key) for name, key in KEY_COLUMNS.items()}


ChangeKind = Literal["added", "removed", "changed"]


@dataclasses.dataclass(frozen=True)
class Change:
    """One row that differs between two snapshots.

    `key` holds the row's key values; `old` and `new` the whole rows, None on
    the side that lacks the row; `columns`, for "changed", the names of the
    columns whose values differ, in column order.
    """

    member: str
    change: ChangeKind
    key: list[Any]
    old: Optional[list[Any]]
    new: Optional[list[Any]]
    columns: tuple[str, ...] = ()


# One change as the module gives it: (member, change, key, old, new, columns),
# with the key and rows as Python values or as compact JSON text.
RawChange = tuple[str, str, Any, Any, Any, tuple[str, ...]]


def diff(old: Path, new: Path, members: Optional[Iterable[str]] = None) -> Iterator[Change]:
    """The rows that differ between the snapshots `old` and `new`.

    A row is identified within its member by its key columns (`KEY_COLUMNS`;
    for some members, the whole row). A key found once in each file whose rows
    differ is "changed"; where a key occurs more than once in a file, the rows
    under it are compared as multisets of whole rows, and each row found on
    one side only is "removed" or "added". A member that only one file lists
    counts as all its rows removed or added.

    Changes come by member, in ascending byte order of the names, then in
    ascending byte order of the key's compact JSON text; under one key,
    removed rows come before added ones. `members` restricts the comparison to
    the given names (a bare keyed name, such as "control_rows", takes all its
    instances).

    Both manifests are checked when diff is called. Each member is read with
    every check of `read`, both sides, before any of its changes is yielded; a
    member that fails them raises `read`'s ValueError, its message led by the
    path of the file at fault. Memory holds a digest per row of one member and
    the rows that changed.
    """
    names = _compared_members(old, new, members)
    return _changes(old, new, names)


def _changes(old: Path, new: Path, names: list[str]) -> Iterator[Change]:
    for name in names:
        for member, change, key, old_row, new_row, columns in _member_changes(old, new, name):
            yield Change(member, cast(ChangeKind, change), key, old_row, new_row, columns)


def _compared_members(old: Path, new: Path, members: Optional[Iterable[str]] = None) -> list[str]:
    """The members that either file lists, of those chosen, in byte order, once
    both manifests passed their checks."""
    listed: set[str] = set()
    for path in (old, new):
        try:
            listed.update(json.loads(_native.manifest(path))["members"])
        except ValueError as error:
            raise ValueError(_about(path, str(error))) from None
    if members is not None:
        if isinstance(members, str):
            raise TypeError("members: expected a collection of member names, not a str")
        whole: set[str] = set()
        bases: set[str] = set()
        for name in members:
            if name in KEYED:
                bases.add(name)
            else:
                _native._check_member(name)
                whole.add(name)
        listed = {name for name in listed if name in whole or name.partition("/")[0] in bases}
    return sorted(listed, key=lambda name: name.encode())


def _member_changes(old: Path, new: Path, name: str, as_json: bool = False) -> list[RawChange]:
    """The changes of one member, with the key and rows as values, or as
    compact JSON texts when `as_json`."""
    compare = _native._diff_member_json if as_json else _native._diff_member
    base = name.partition("/")[0]
    labels = COLUMNS[base]
    try:
        changes = compare(old, new, name, _KEY_INDEXES[base])
    except ValueError as error:
        message = str(error)
        if message.startswith((f"{os.fspath(old)}: ", f"{os.fspath(new)}: ")):
            raise
        raise ValueError(_about(new if _member_passes(old, name) else old, message)) from None
    return [
        (name, change, key, old_row, new_row, tuple(labels[i] for i in columns))
        for change, key, old_row, new_row, columns in changes
    ]


def _about(path: Path, message: str) -> str:
    """A message that names the file it is about."""
    shown = os.fspath(path)
    return message if message.startswith(f"{shown}: ") else f"{shown}: {message}"


def _member_passes(path: Path, name: str) -> bool:
    """Whether one member of a file passes the checks of `read`, streamed in
    bounded memory. A comparison that failed over a member reads the old file
    first: the fault is the old file's when its member fails alone."""
    try:
        reader = _native._open_rows(path, name)
        try:
            while reader.next_batch() is not None:
                pass
        finally:
            reader.close()
    except ValueError:
        return False
    return True
