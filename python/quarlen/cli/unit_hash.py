"""quarlen unit-hash: fingerprint a source unit."""

from typing import Any

import quarlen

from . import _io


def add_parser(commands: Any) -> None:
    p = commands.add_parser("unit-hash", help="fingerprint a source unit")
    p.add_argument("owner", metavar="OWNER")
    p.add_argument("object_type", metavar="OBJECT_TYPE")
    p.add_argument("object_name", metavar="OBJECT_NAME")
    p.add_argument("text", metavar="FILE", nargs="?", default="-", help="the source text; - or absent for standard input")
    p.set_defaults(run=lambda args: run(args.owner, args.object_type, args.object_name, args.text))


def run(owner: str, object_type: str, object_name: str, source: str) -> int:
    text = _io.read_text_argument(source)
    _io.out(quarlen.unit_hash(owner, object_type, object_name, text) + "\n")
    return _io.EXIT_OK
