"""Changes for people: "+ member key", "- member key", and "~ member key:"
with each column that differs, old value -> new value."""

import difflib
import json
from typing import Iterable, Iterator, Optional

from .. import _native
from ..compare import TextChange
from ..schema import MEMBERS

# Digits of a unit_hash shown for a changed source text.
_HASH_DIGITS = 12

_UNITS = MEMBERS["units"]
# Where a unit's fingerprint finds its parts in a row of units.
_UNIT_PARTS = tuple(_UNITS.columns.index(c) for c in ("owner", "object_type", "object_name", "source_text"))
_SOURCE = _UNIT_PARTS[3]


# The colours of a terminal: the mark of each kind of change, then the lines
# of a unified diff by their first character.
_COLORS = {"+": "32", "-": "31", "~": "33", "@": "36"}


def _painted(line: str, color: bool) -> str:
    code = _COLORS.get(line[:1]) if color else None
    if code is None or line.startswith(("+++", "---")):
        return line
    return f"\x1b[{code}m{line[:-1]}\x1b[0m\n"


def text_lines(changes: Iterable[TextChange], *, units: bool = False,
               old_label: str = "", new_label: str = "", color: bool = False) -> Iterator[str]:
    """The changes as people read them. A key is shown in its member's form
    (`Member.shown`), or as its JSON text. A changed source text of `units` is
    shown as the start of each side's unit_hash, or, with `units`, followed
    by a unified diff of the two texts under `old_label` and `new_label`.
    With `color`, each line is coloured for a terminal by what it shows."""
    for change in changes:
        shown = f"{change.member} {key_shown(change.member, change.key)}"
        if change.change == "added":
            lines: Iterable[str] = [f"+ {shown}\n"]
        elif change.change == "removed":
            lines = [f"- {shown}\n"]
        else:
            lines = _changed(change, shown, units, old_label, new_label)
        for line in lines:
            yield _painted(line, color)


def column_changes(change: TextChange, units: bool = False) -> list[tuple[str, Optional[str], Optional[str]]]:
    """(column, old value, new value) as people read them, for each column of
    a changed row; a unit's source text as the start of its unit_hash, or,
    with `units`, as None, None when both sides are texts."""
    old_row, new_row = json.loads(change.old or "null"), json.loads(change.new or "null")
    spec = MEMBERS[change.member.partition("/")[0]]
    parts: list[tuple[str, Optional[str], Optional[str]]] = []
    for column in change.columns:
        i = spec.columns.index(column)
        if spec is not _UNITS or i != _SOURCE:
            parts.append((column, _shown(old_row[i]), _shown(new_row[i])))
        elif units and isinstance(old_row[i], str) and isinstance(new_row[i], str):
            parts.append((column, None, None))
        else:
            parts.append((column, _source_shown(old_row), _source_shown(new_row)))
    return parts


def _changed(change: TextChange, shown: str, units: bool, old_label: str, new_label: str) -> Iterator[str]:
    parts = column_changes(change, units)
    yield f"~ {shown}: {', '.join(column if old is None else f'{column} {old} -> {new}' for column, old, new in parts)}\n"
    if any(old is None for _, old, _ in parts):
        old_row, new_row = json.loads(change.old or "null"), json.loads(change.new or "null")
        yield from _unified(old_row[_SOURCE], new_row[_SOURCE], old_label, new_label)


def _shown(value: object) -> str:
    """A value as people read it: a plain one-line str as it is, anything else as JSON."""
    if isinstance(value, str) and value and value.isprintable() and value.strip() == value:
        return value
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def key_shown(member: str, key_text: str) -> str:
    """A key as people read it: in its member's form, or as its JSON text."""
    form = MEMBERS[member.partition("/")[0]].shown
    if form is None:
        return key_text
    return form.format(*(_shown(value) for value in json.loads(key_text)))


def _source_shown(row: list[object]) -> str:
    """A unit's source text as the start of its unit_hash."""
    parts = [row[i] for i in _UNIT_PARTS]
    if not all(isinstance(part, str) for part in parts):
        return _shown(row[_SOURCE])
    owner, object_type, object_name, text = (str(part) for part in parts)
    return _native.unit_hash(owner, object_type, object_name, text)[:_HASH_DIGITS] + "..."


def _lines(text: str) -> list[str]:
    """The lines of a text, each with its line feed; the last may have none."""
    lines = [line + "\n" for line in text.split("\n")]
    lines[-1] = lines[-1][:-1]
    return lines if lines[-1] else lines[:-1]


def _unified(old_text: str, new_text: str, old_label: str, new_label: str) -> Iterator[str]:
    for line in difflib.unified_diff(_lines(old_text), _lines(new_text), old_label, new_label):
        yield line if line.endswith("\n") else line + "\n\\ No newline at end of file\n"
