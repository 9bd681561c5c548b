"""quarlen read: print one member's rows as the file stores them."""

from typing import Any

import quarlen

from . import _io


def add_parser(commands: Any) -> None:
    p = commands.add_parser("read", help="print one member's rows as JSON lines")
    p.add_argument("file", metavar="FILE")
    p.add_argument("member", metavar="MEMBER", help="a member name, with /KEY for a keyed member")
    p.add_argument("--array", action="store_true", help="print the rows as one JSON array instead")
    p.set_defaults(run=lambda args: run(args.file, args.member, args.array))


def run(path: str, name: str, array: bool) -> int:
    # The stored text as it is: Python would spell some numbers otherwise.
    text = quarlen.rows_text(path, name, lines=not array)
    if text is None:
        # Told apart from an empty member, so that a mistyped key is noticed.
        _io.err(f"quarlen: {name}: not in {path}\n")
        return _io.EXIT_PROBLEMS
    _io.out(text + "\n" if array else text)
    return _io.EXIT_OK
