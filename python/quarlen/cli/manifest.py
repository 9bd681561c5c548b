"""quarlen manifest: print the checked manifest of a file."""

import json
from typing import Any

import quarlen

from . import _io


def add_parser(commands: Any) -> None:
    p = commands.add_parser("manifest", help="print the checked manifest of a file")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--compact", action="store_true", help="print it on one line")
    p.set_defaults(run=lambda args: run(args.file, args.compact))


def run(path: str, compact: bool) -> int:
    text = quarlen.manifest(path)
    _io.out((text if compact else json.dumps(json.loads(text), indent=2, ensure_ascii=False)) + "\n")
    return _io.EXIT_OK
