"""Changes counted: added, removed and changed rows per member and in all."""

from typing import Iterable, Iterator

from ..compare import TextChange

_KINDS = ("added", "removed", "changed")


def stat_lines(changes: Iterable[TextChange]) -> Iterator[str]:
    """"{member}: +added -removed ~changed" for each member with changes, in
    the order of the changes, then the same for all as "total"."""
    counts: dict[str, list[int]] = {}
    for change in changes:
        counts.setdefault(change.member, [0, 0, 0])[_KINDS.index(change.change)] += 1
    total = [0, 0, 0]
    for member, (added, removed, changed) in counts.items():
        yield f"{member}: +{added} -{removed} ~{changed}\n"
        total = [total[0] + added, total[1] + removed, total[2] + changed]
    yield f"total: +{total[0]} -{total[1]} ~{total[2]}\n"
