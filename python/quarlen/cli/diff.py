"""quarlen diff: show the rows that differ between two snapshots."""

import json
import os
import sys
from typing import Any, Iterable, Iterator, Optional, Sequence

import quarlen
from quarlen import report

from . import _io

EXIT_DIFFERENT = 1
FORMATS = ("text", "json", "stat", "markdown", "html")


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
    p.add_argument("--owner", action="append", default=[], metavar="PATTERN",
                   help="keep only rows whose owner matches this shell-style pattern; may repeat")
    p.add_argument("--object", action="append", default=[], metavar="PATTERN",
                   help="keep only rows whose object name matches this shell-style pattern; may repeat")
    p.add_argument("--ignore", action="append", default=[], metavar="MEMBER.COLUMN",
                   help="leave this column out of the comparison (not a key column); may repeat")
    p.add_argument("--ignore-whitespace", action="store_true",
                   help="source texts that differ only in runs of whitespace are the same")
    form = p.add_mutually_exclusive_group()
    form.add_argument("--format", choices=FORMATS, default="text", help="the form of the report (default: text)")
    form.add_argument("--json", dest="format", action="store_const", const="json", help='--format json: one '
                      'JSON object per change: {"member","change","key","old","new","columns"}')
    form.add_argument("--stat", dest="format", action="store_const", const="stat",
                      help="--format stat: only the counts per member and in all")
    form.add_argument("--units", dest="format", action="store_const", const="units",
                      help="text, with a unified diff of each changed source text")
    p.add_argument("--limit", type=int, default=50, metavar="N",
                   help="markdown: the changes shown per member (default 50)")
    p.add_argument("--color", choices=("auto", "always", "never"), default="auto",
                   help="colour the text form: on a terminal without NO_COLOR set (auto), always or never")
    p.set_defaults(run=lambda args: run(
        args.old, args.new, args.member, args.format, owner=args.owner, object=args.object,
        ignore=args.ignore, ignore_whitespace=args.ignore_whitespace, limit=args.limit,
        color=colored(args.color)))


def colored(choice: str) -> bool:
    """Whether text goes out coloured: `always`, or `auto` on a terminal
    unless NO_COLOR is set and not empty."""
    if choice != "auto":
        return choice == "always"
    return not os.environ.get("NO_COLOR") and sys.stdout.isatty()


def run(old: str, new: str, members: Optional[Sequence[str]], form: str, *, limit: int = 50,
        color: bool = False, **choices: Any) -> int:
    found = False

    def noted(changes: Iterable[quarlen.TextChange]) -> Iterator[quarlen.TextChange]:
        nonlocal found
        for change in changes:
            found = True
            yield change

    if limit < 0:
        raise _io.CommandError("--limit: must not be negative")
    changes = noted(quarlen.diff(old, new, members, as_text=True, **choices))
    if form == "json":
        lines = report.jsonl_lines(changes)
    elif form == "stat":
        lines = report.stat_lines(changes)
    elif form == "markdown":
        lines = report.markdown_lines(changes, limit=limit, old_label=old, new_label=new)
    elif form == "html":
        lines = report.html_lines(changes, old_label=old, new_label=new,
                                  old_manifest=json.loads(quarlen.manifest(old)),
                                  new_manifest=json.loads(quarlen.manifest(new)))
    else:
        lines = report.text_lines(changes, units=form == "units", old_label=old, new_label=new, color=color)
    # After a closed pipe, whoever read the output has seen enough; the
    # status stays what was found.
    _io.out_lines(lines)
    return EXIT_DIFFERENT if found else _io.EXIT_OK
