"""A member's rows as Python objects, whole or streamed."""

from __future__ import annotations

import os
from typing import Any, Iterator, Union

from . import _native

Path = Union[str, "os.PathLike[str]"]


def load(path: Path, name: str) -> list[list[Any]]:
    """The rows of one member as Python objects, after every check of `read`.

    Equal, value for value and type for type, to `json.loads(read(path, name))`,
    and built without JSON text in between. Fails with `read`'s ValueError.
    """
    return _native._load(path, name)


def iter_rows(path: Path, name: str) -> Iterator[list[Any]]:
    """The rows of one member, one at a time, in memory that does not grow
    with the member.

    The checksum and the row count can be proven only at the end: rows yielded
    before the iterator ends are NOT yet verified. When the member is damaged,
    the iterator raises `read`'s ValueError once it reaches the fault (after
    reading the rest of the member, so that the message is the one `read`
    gives). Closing the iterator early releases the file at once.
    """
    reader = _native._open_rows(path, name)
    try:
        while (batch := reader.next_batch()) is not None:
            yield from batch
    finally:
        reader.close()
