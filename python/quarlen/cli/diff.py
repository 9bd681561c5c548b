"""quarlen diff: show the rows that differ between two snapshots."""

from typing import Any, Iterable, Iterator, Optional, Sequence

import quarlen
from quarlen import report

from . import _io

EXIT_DIFFERENT = 1


def add_parser(commands: Any) -> None:
    p = commands.add_parser(
        "diff",
        help="show the rows that differ between two snapshots",
        description="Show the rows that differ between two snapshots, matched by each member's key: "
        "+ added, - removed, ~ changed (with the columns that differ). Every member compared is "
        "verified first. Exit codes: 0 the same rows, 1 they differ, 2 a file cannot be read or "
        "fails verification.",
    )
    p.add_argument("old", metavar="OLD")
    p.add_argument("new", metavar="NEW")
    p.add_argument("--member", action="append", metavar="NAME",
                   help="compare only this member (a bare keyed name: all its instances); may repeat")
    form = p.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_true", help='one JSON object per change: '
                      '{"member","change","key","old","new","columns"}')
    form.add_argument("--stat", action="store_true", help="only the counts per member and in all")
    form.add_argument("--units", action="store_true", help="a unified diff of each changed source text")
    p.set_defaults(run=lambda args: run(args.old, args.new, args.member, "json" if args.json else
                                        "stat" if args.stat else "units" if args.units else "text"))


def run(old: str, new: str, members: Optional[Sequence[str]], form: str) -> int:
    found = False

    def noted(changes: Iterable[quarlen.TextChange]) -> Iterator[quarlen.TextChange]:
        nonlocal found
        for change in changes:
            found = True
            yield change

    changes = noted(quarlen.diff(old, new, members, as_text=True))
    if form == "json":
        lines = report.jsonl_lines(changes)
    elif form == "stat":
        lines = report.stat_lines(changes)
    else:
        lines = report.text_lines(changes, units=form == "units", old_label=old, new_label=new)
    # After a closed pipe, whoever read the output has seen enough; the
    # status stays what was found.
    _io.out_lines(lines)
    return EXIT_DIFFERENT if found else _io.EXIT_OK
