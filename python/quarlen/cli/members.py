"""quarlen members: list the format's members and their columns."""

from typing import Any

import quarlen
from quarlen.schema import MEMBERS

from . import _io


def add_parser(commands: Any) -> None:
    p = commands.add_parser("members", help="list the format's members and their columns")
    p.add_argument("--json", action="store_true", help="print the module's JSON text")
    p.set_defaults(run=lambda args: run(args.json))


def run(as_json: bool) -> int:
    if as_json:
        _io.out(quarlen.members() + "\n")
        return _io.EXIT_OK
    width = max(len(name) for name in MEMBERS)
    _io.out_lines(f"{f'{m.name}/KEY' if m.keyed else m.name:<{width + 4}}  {', '.join(m.columns)}\n"
                  for m in MEMBERS.values())
    return _io.EXIT_OK
