"""The format's members, read from the core's table: each member's columns,
whether its name takes a key ("control_rows/APP"), the key columns that
identify a row within it, and how people read that key."""

import dataclasses
import json
from typing import Optional

from . import _native
from .errors import Error, from_native

__all__ = ["Member", "MEMBERS", "member", "bare_member"]


@dataclasses.dataclass(frozen=True)
class Member:
    """One member: its `columns` in order; `keyed`, whether its name takes a
    key after a slash; `key`, the columns that identify a row (empty: the
    whole row), in diff's key order; `shown`, how people read a key, "{i}"
    standing for its i-th value (None: the key's JSON text)."""

    name: str
    columns: tuple[str, ...]
    keyed: bool
    key: tuple[str, ...]
    shown: Optional[str]

    @property
    def key_positions(self) -> tuple[int, ...]:
        return tuple(self.columns.index(column) for column in self.key)


# Every member by name, in the published order.
MEMBERS: dict[str, Member] = {
    entry["name"]: Member(entry["name"], tuple(entry["columns"]), entry["keyed"], tuple(entry["key"]), entry["shown"])
    for entry in json.loads(_native._schema())
}

# The key columns of each member (see Member.key).
KEY_COLUMNS: dict[str, tuple[str, ...]] = {name: spec.key for name, spec in MEMBERS.items()}


def bare_member(name: str) -> Member:
    """The member a bare name stands for ("objects", "control_rows"); Error,
    naming the members, for any other name."""
    spec = MEMBERS.get(name)
    if spec is None:
        raise Error(f"unknown member: {name} (the members: {', '.join(MEMBERS)})", member=name)
    return spec


def member(name: str) -> Member:
    """The member a name stands for: "objects", or a keyed member with its key
    ("control_rows/APP"). Raises Error, with the writer's message, for a name
    outside the format."""
    try:
        _native._check_member(name)
    except ValueError as error:
        raise from_native(error, member=name) from None
    return MEMBERS[name.partition("/")[0]]
