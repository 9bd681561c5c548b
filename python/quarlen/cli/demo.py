"""quarlen demo: write a sample snapshot, read it back and verify it."""

import json
from typing import Any

import quarlen

from . import _io
from .verify import print_report


def add_parser(commands: Any) -> None:
    p = commands.add_parser("demo", help="write a sample snapshot, read it back and verify it")
    p.add_argument("path", metavar="PATH", nargs="?", default="demo.quarlen")
    p.set_defaults(run=lambda args: run(args.path))


def run(path: str) -> int:
    from quarlen import demo

    manifest = demo.write_sample(path)
    _io.out(f"wrote {path}: {len(manifest['members'])} members\n")
    for name in ("objects", "units", "plscope_identifiers/APP"):
        rows = quarlen.load(path, name)
        _io.out(f"read {name}: {len(rows)} rows, first {json.dumps(rows[0], ensure_ascii=False)[:100]}\n")
    report = json.loads(quarlen.verify(path))
    print_report(path, report)
    return _io.EXIT_OK if report["ok"] else _io.EXIT_PROBLEMS
