"""A member's rows: as Python objects, whole or streamed, or as the stored text."""

from typing import Any, Iterator, Optional

from . import _native
from .errors import Path, from_native


def load(path: Path, name: str) -> list[list[Any]]:
    """The rows of one member as Python objects, after every check of `read`.

    Equal, value for value and type for type, to `json.loads(read(path, name))`,
    and built without JSON text in between. Fails with `read`'s message, as an
    Error.
    """
    try:
        return _native._load(path, name)
    except ValueError as error:
        raise from_native(error, path=path, member=name) from None


def iter_rows(path: Path, name: str) -> Iterator[list[Any]]:
    """The rows of one member, one at a time, in memory that does not grow
    with the member.

    The checksum and the row count can be proven only at the end: rows yielded
    before the iterator ends are NOT yet verified. When the member is damaged,
    the iterator raises `read`'s message, as an Error, once it reaches the
    fault (after reading the rest of the member, so that the message is the
    one `read` gives). Closing the iterator early releases the file at once.
    """
    try:
        reader = _native._open_rows(path, name)
        try:
            while (batch := reader.next_batch()) is not None:
                yield from batch
        finally:
            reader.close()
    except ValueError as error:
        raise from_native(error, path=path, member=name) from None


def rows_text(path: Path, name: str, *, lines: bool = False) -> Optional[str]:
    """One member's rows in the canonical compact text the file stores
    (which keeps 1e20 where Python spells 1e+20): the array `read` gives, or
    with `lines` each row and a line feed; None when the manifest does not
    list the member. Every check of `read`; its message, as an Error."""
    try:
        text = _native._read_listed(path, name)
    except ValueError as error:
        raise from_native(error, path=path, member=name) from None
    if text is None or not lines:
        return text
    return _native._array_lines(text)
