"""quarlen.Error: what the package's API raises for a file, member or row it
cannot take, with the subject of the message in fields."""

import os
from typing import Optional, Union

Path = Union[str, "os.PathLike[str]"]


class Error(ValueError):
    """A failure of the package's API, with its subject: `path` (the file, as
    given), `member`, `row` (1-based, in the member) and `line` (1-based, of
    JSON-lines input); each None where it does not apply."""

    def __init__(self, message: str, *, path: Optional[str] = None, member: Optional[str] = None,
                 row: Optional[int] = None, line: Optional[int] = None) -> None:
        super().__init__(message)
        self.path = path
        self.member = member
        self.row = row
        self.line = line


def from_native(error: ValueError, *, path: Optional[Path] = None, member: Optional[str] = None) -> Error:
    """The Error for a ValueError of the module: its fields are those the
    module set on it, or else `path` and `member`, what the caller knows."""
    if isinstance(error, Error):
        return error
    found_path = getattr(error, "path", None)
    found_member = getattr(error, "member", None)
    return Error(
        str(error),
        path=found_path if found_path is not None else None if path is None else os.fspath(path),
        member=found_member if found_member is not None else member,
        row=getattr(error, "row", None),
        line=getattr(error, "line", None),
    )
