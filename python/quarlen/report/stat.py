"""Changes counted: added, removed and changed rows per member and in all."""

import dataclasses
from typing import Callable, Iterable, Iterator, Optional

from ..compare import TextChange

KINDS = ("added", "removed", "changed")


@dataclasses.dataclass
class Counts:
    """The changes of one member, or of several, by kind."""

    added: int = 0
    removed: int = 0
    changed: int = 0

    def add(self, other: "Counts") -> None:
        self.added += other.added
        self.removed += other.removed
        self.changed += other.changed

    def all(self) -> int:
        return self.added + self.removed + self.changed


def counted(changes: Iterable[TextChange],
            each: Optional[Callable[[TextChange], None]] = None) -> dict[str, Counts]:
    """The Counts of each member with changes, in the order of the changes;
    `each` is called with every change as it is counted."""
    counts: dict[str, Counts] = {}
    for change in changes:
        count = counts.setdefault(change.member, Counts())
        setattr(count, change.change, getattr(count, change.change) + 1)
        if each is not None:
            each(change)
    return counts


def stat_lines(changes: Iterable[TextChange]) -> Iterator[str]:
    """"{member}: +added -removed ~changed" for each member with changes, in
    the order of the changes, then the same for all as "total"."""
    total = Counts()
    for member, count in counted(changes).items():
        yield f"{member}: +{count.added} -{count.removed} ~{count.changed}\n"
        total.add(count)
    yield f"total: +{total.added} -{total.removed} ~{total.changed}\n"
