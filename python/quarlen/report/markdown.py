"""Changes as Markdown, for a CI job's summary or a review comment: a table
of the counts per member, then the first changes of each member."""

from typing import Iterable, Iterator

from ..compare import TextChange
from .stat import Counts, counted
from .text import column_changes, key_shown


def markdown_lines(changes: Iterable[TextChange], *, limit: int = 50, old_label: str = "",
                   new_label: str = "") -> Iterator[str]:
    """A summary table (added, removed, changed per member and in all), then
    a section per member with up to `limit` changes and a line for the rest.
    Only those changes are held, with the counts."""
    shown: dict[str, list[str]] = {}

    def kept(change: TextChange) -> None:
        lines = shown.setdefault(change.member, [])
        if len(lines) < limit:
            lines.append(_item(change))

    counts = counted(changes, kept)
    yield f"## {_code(old_label)} → {_code(new_label)}\n\n" if old_label or new_label else ""
    if not counts:
        yield "No changes.\n"
        return
    yield "| member | added | removed | changed |\n|---|--:|--:|--:|\n"
    total = Counts()
    for member, count in counts.items():
        yield f"| {_code(member).replace('|', chr(92) + '|')} | {count.added:,} | {count.removed:,} | {count.changed:,} |\n"
        total.add(count)
    yield f"| **total** | **{total.added:,}** | **{total.removed:,}** | **{total.changed:,}** |\n"
    for member, count in counts.items():
        yield f"\n### {_code(member)}\n\n"
        yield from shown[member]
        if count.all() > limit:
            yield f"\n… and {count.all() - limit:,} more\n"


def _item(change: TextChange) -> str:
    line = f"- {change.change} {_code(key_shown(change.member, change.key))}"
    if change.change == "changed":
        line += ": " + ", ".join(f"{column} {_code(old or '')} → {_code(new or '')}"
                                 for column, old, new in column_changes(change))
    return line + "\n"


def _code(text: str) -> str:
    """`text` as inline code, fenced by more backticks than it holds in a row."""
    run = longest = 0
    for c in text:
        run = run + 1 if c == "`" else 0
        longest = max(longest, run)
    fence = "`" * (longest + 1)
    pad = " " if text.startswith("`") or text.endswith("`") or not text.strip(" ") else ""
    return f"{fence}{pad}{text}{pad}{fence}"

