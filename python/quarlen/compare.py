"""What changed between two snapshots: rows matched by their natural key."""

import dataclasses
import json
import os
from typing import Any, Iterable, Iterator, Literal, Optional, Union, cast, overload

from . import _native
from .errors import Error, Path, from_native
from .rules import Rules, rules
from .schema import MEMBERS, member

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


@dataclasses.dataclass(frozen=True)
class TextChange:
    """A Change with its key and rows as the compact texts the files store
    (`diff(..., as_text=True)`)."""

    member: str
    change: ChangeKind
    key: str
    old: Optional[str]
    new: Optional[str]
    columns: tuple[str, ...] = ()


# One change as the module gives it: (member, change, key, old, new, columns),
# with the key and rows as Python values or as compact JSON text.
RawChange = tuple[str, str, Any, Any, Any, tuple[str, ...]]


@overload
def diff(old: Path, new: Path, members: Optional[Iterable[str]] = None,
         *, as_text: Literal[False] = False, owner: Iterable[str] = (), object: Iterable[str] = (),
         ignore: Iterable[str] = (), ignore_whitespace: bool = False) -> Iterator[Change]: ...
@overload
def diff(old: Path, new: Path, members: Optional[Iterable[str]] = None,
         *, as_text: Literal[True], owner: Iterable[str] = (), object: Iterable[str] = (),
         ignore: Iterable[str] = (), ignore_whitespace: bool = False) -> Iterator[TextChange]: ...


def diff(old: Path, new: Path, members: Optional[Iterable[str]] = None,
         *, as_text: bool = False, owner: Iterable[str] = (), object: Iterable[str] = (),
         ignore: Iterable[str] = (), ignore_whitespace: bool = False
         ) -> Union[Iterator[Change], Iterator[TextChange]]:
    """The rows that differ between the snapshots `old` and `new`.

    A row is identified within its member by its key columns (`Member.key`;
    for some members, the whole row). A key found once in each file whose rows
    differ is "changed"; where a key occurs more than once in a file, the rows
    under it are compared as multisets of whole rows, and each row found on
    one side only is "removed" or "added". A member that only one file lists
    counts as all its rows removed or added.

    Changes come by member, in ascending byte order of the names, then in
    ascending byte order of the key's compact JSON text; under one key,
    removed rows come before added ones. `members` restricts the comparison to
    the given names (a bare keyed name, such as "control_rows", takes all its
    instances). With `as_text`, the changes are TextChange records: the key
    and rows as the file stores them, not parsed.

    `owner` and `object` keep only the rows whose owner, or object name,
    one of the shell-style patterns matches (fnmatch.fnmatchcase);
    `ignore` names columns ("units.object_type") that take no part in
    deciding whether a row changed and are left out of `columns`; with
    `ignore_whitespace`, source texts that differ only in whitespace
    (`rules.spaced`) are the same. Rows are chosen as they are read.

    Both manifests are checked when diff is called. Each member is read with
    every check of `read`, both sides, before any of its changes is yielded; a
    member that fails them raises `read`'s message as an Error whose `path`
    is the file at fault, the message led by that path. Memory holds a digest
    per row of one member and the rows that changed.
    """
    chosen = rules(owner, object, ignore, ignore_whitespace)
    names = [name for name in _compared_members(old, new, members) if chosen.takes(name)]
    return _records(old, new, names, as_text, chosen)


def _records(old: Path, new: Path, names: list[str], as_text: bool, chosen: Rules) -> Iterator[Any]:
    record = TextChange if as_text else Change
    for name in names:
        for member_name, change, key, old_row, new_row, columns in _member_changes(
                old, new, name, as_text, chosen):
            yield record(member_name, cast(ChangeKind, change), key, old_row, new_row, columns)


def _compared_members(old: Path, new: Path, members: Optional[Iterable[str]] = None) -> list[str]:
    """The members that either file lists, of those chosen, in byte order, once
    both manifests passed their checks."""
    listed: set[str] = set()
    for path in (old, new):
        try:
            listed.update(json.loads(_native.manifest(path))["members"])
        except ValueError as error:
            raise _at(os.fspath(path), error) from None
    if members is not None:
        if isinstance(members, str):
            raise TypeError("members: expected a collection of member names, not a str")
        whole: set[str] = set()
        bases: set[str] = set()
        for name in members:
            spec = MEMBERS.get(name)
            if spec is not None and spec.keyed:
                bases.add(name)
            else:
                member(name)
                whole.add(name)
        listed = {name for name in listed if name in whole or name.partition("/")[0] in bases}
    return sorted(listed, key=lambda name: name.encode())


def _member_changes(old: Path, new: Path, name: str, as_json: bool = False,
                    chosen: Rules = Rules()) -> list[RawChange]:
    """The changes of one member, with the key and rows as values, or as
    compact JSON texts when `as_json`."""
    compare = _native._diff_member_json if as_json else _native._diff_member
    spec = MEMBERS[name.partition("/")[0]]
    try:
        changes = compare(old, new, name, spec.key_positions, chosen.native(name))
    except ValueError as error:
        at_fault = getattr(error, "path", None)
        if at_fault is None:  # about neither file
            raise from_native(error, member=name) from None
        raise _at(at_fault, error, name) from None
    return [
        (name, change, key, old_row, new_row, tuple(spec.columns[i] for i in columns))
        for change, key, old_row, new_row, columns in changes
    ]


def _at(path: str, error: ValueError, name: Optional[str] = None) -> Error:
    """An Error about the file `path`, its message led by the path."""
    message = str(error)
    return Error(message if message.startswith(f"{path}: ") else f"{path}: {message}", path=path,
                 member=getattr(error, "member", None) or name, row=getattr(error, "row", None))

