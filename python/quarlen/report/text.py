"""Changes for people: "+ member key", "- member key", and "~ member key:"
with each column that differs, old value -> new value."""

import difflib
import json
from typing import Iterable, Iterator

from .. import _native
from ..compare import TextChange
from ..schema import MEMBERS

# Digits of a unit_hash shown for a changed source text.
_HASH_DIGITS = 12

_UNITS = MEMBERS["units"]
# Where a unit's fingerprint finds its parts in a row of units.
_UNIT_PARTS = tuple(_UNITS.columns.index(c) for c in ("owner", "object_type", "object_name", "source_text"))
_SOURCE = _UNIT_PARTS[3]


def text_lines(changes: Iterable[TextChange], *, units: bool = False,
               old_label: str = "", new_label: str = "") -> Iterator[str]:
    """The changes as people read them. A key is shown in its member's form
    (`Member.shown`), or as its JSON text. A changed source text of `units` is
    shown as the start of each side's unit_hash, or, with `units`, followed
    by a unified diff of the two texts under `old_label` and `new_label`."""
    for change in changes:
        shown = f"{change.member} {_key_shown(change.member, change.key)}"
        if change.change == "added":
            yield f"+ {shown}\n"
        elif change.change == "removed":
            yield f"- {shown}\n"
        else:
            yield from _changed(change, shown, units, old_label, new_label)


def _changed(change: TextChange, shown: str, units: bool, old_label: str, new_label: str) -> Iterator[str]:
    old_row, new_row = json.loads(change.old or "null"), json.loads(change.new or "null")
    spec = MEMBERS[change.member.partition("/")[0]]
    parts = []
    unit_texts = None
    for column in change.columns:
        i = spec.columns.index(column)
        if spec is not _UNITS or i != _SOURCE:
            parts.append(f"{column} {_shown(old_row[i])} -> {_shown(new_row[i])}")
        elif units and isinstance(old_row[i], str) and isinstance(new_row[i], str):
            unit_texts = (old_row[i], new_row[i])
            parts.append(column)
        else:
            parts.append(f"{column} {_source_shown(old_row)} -> {_source_shown(new_row)}")
    yield f"~ {shown}: {', '.join(parts)}\n"
    if unit_texts is not None:
        yield from _unified(*unit_texts, old_label, new_label)


def _shown(value: object) -> str:
    """A value as people read it: a plain one-line str as it is, anything else as JSON."""
    if isinstance(value, str) and value and value.isprintable() and value.strip() == value:
        return value
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def _key_shown(member: str, key_text: str) -> str:
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
