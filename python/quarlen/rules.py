"""What a comparison looks at: the rows kept by owner and object name, the
columns left out of it, and the source texts compared up to whitespace."""

import dataclasses
import fnmatch
import re
from typing import Iterable, Optional, Union

from .errors import Error
from .schema import MEMBERS, Member

# The columns that name a row's object, the first a member has.
_OBJECT_COLUMNS = ("object_name", "table_name", "type_name", "synonym_name", "trigger_name",
                   "constraint_name", "name")
# A member without an owner column whose rows name their owner elsewhere.
_OWNER_ELSEWHERE = {"runtime_sql": "parsing_schema"}
# The source texts that --ignore-whitespace compares up to whitespace.
SPACED_COLUMNS = {"units": "source_text", "plscope_statements": "full_text", "runtime_sql": "sql_fulltext"}
_WHITESPACE = re.compile(r"[ \t\n\v\f\r]+")


def owner_column(spec: Member) -> Optional[str]:
    """The column holding a row's owner; None for a keyed member, whose key
    ("control_rows/APP") is the owner of all its rows."""
    if spec.keyed:
        return None
    if "owner" in spec.columns:
        return "owner"
    return _OWNER_ELSEWHERE.get(spec.name)


def object_column(spec: Member) -> Optional[str]:
    """The column holding a row's object name; None where a member has none."""
    return next((c for c in _OBJECT_COLUMNS if c in spec.columns), None)


def spaced(text: str) -> str:
    """A source text as --ignore-whitespace compares it: each maximal run of
    space, tab, LF, VT, FF and CR one space, the runs at either end dropped."""
    return _WHITESPACE.sub(" ", text).strip(" ")


@dataclasses.dataclass(frozen=True)
class Rules:
    """The choices of one comparison: `owners` and `objects`, patterns (none:
    every row); `ignored`, column names per member; `whitespace`, whether the
    source texts compare up to whitespace."""

    owners: tuple[str, ...] = ()
    objects: tuple[str, ...] = ()
    ignored: dict[str, frozenset[str]] = dataclasses.field(default_factory=dict)
    whitespace: bool = False

    def takes(self, name: str) -> bool:
        """Whether the member `name` can hold a row kept: a keyed member's
        key must match an owner pattern."""
        spec = MEMBERS[name.partition("/")[0]]
        if spec.keyed and self.owners:
            key = name.partition("/")[2]
            return any(fnmatch.fnmatchcase(key, p) for p in self.owners)
        return True

    def native(self, name: str) -> Optional[tuple[object, ...]]:
        """The member's rules as the module takes them; None for none."""
        spec = MEMBERS[name.partition("/")[0]]
        ignored = tuple(spec.columns.index(c) for c in sorted(self.ignored.get(spec.name, ())))
        spaced_column = SPACED_COLUMNS.get(spec.name) if self.whitespace else None
        spaced = (spec.columns.index(spaced_column),) if spaced_column else ()
        owners = () if spec.keyed else self.owners
        if not (owners or self.objects or ignored or spaced):
            return None
        return (_position(spec, owner_column(spec)), owners, _position(spec, object_column(spec)),
                self.objects, ignored, spaced)


def _position(spec: Member, column: Optional[str]) -> Optional[int]:
    return None if column is None else spec.columns.index(column)


def rules(owner: Iterable[str] = (), object: Iterable[str] = (), ignore: Iterable[str] = (),
          ignore_whitespace: bool = False) -> Rules:
    """The Rules of diff's keyword arguments; raises Error for an --ignore
    that names no column, a key column or a whole member."""
    ignored: dict[str, set[str]] = {}
    for item in _texts("ignore", ignore):
        base, column = _ignored(item)
        ignored.setdefault(base, set()).add(column)
    return Rules(_texts("owner", owner), _texts("object", object),
                 {name: frozenset(columns) for name, columns in ignored.items()}, ignore_whitespace)


def _texts(what: str, values: Union[str, Iterable[str]]) -> tuple[str, ...]:
    if isinstance(values, str):
        raise TypeError(f"{what}: expected a collection of str, not a str")
    return tuple(values)


def _ignored(item: str) -> tuple[str, str]:
    """The member and column of one MEMBER.COLUMN."""
    name, dot, column = item.rpartition(".")
    base = name.partition("/")[0]
    if not dot or not name:
        raise Error(f"--ignore {item}: expected MEMBER.COLUMN")
    spec = MEMBERS.get(base)
    if spec is None:
        raise Error(f"--ignore {item}: no member {base} (members: {', '.join(MEMBERS)})")
    if column == "*":
        raise Error(f"--ignore {item}: a whole member is not ignored; use --member")
    if column not in spec.columns:
        raise Error(f"--ignore {item}: {base} has no column {column} (columns: {', '.join(spec.columns)})")
    if not spec.key or column in spec.key:
        raise Error(f"--ignore {item}: {column} is a key column of {base}")
    return base, column
