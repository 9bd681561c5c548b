"""Changes as JSON lines: {"member","change","key","old","new","columns"} each."""

import json
from typing import Iterable, Iterator

from ..compare import TextChange


def jsonl_lines(changes: Iterable[TextChange]) -> Iterator[str]:
    """One compact JSON object per change. The key and rows go out as the
    file stores them, in the canonical form; a missing row is null."""
    for change in changes:
        fields = [
            f'"member":{json.dumps(change.member, ensure_ascii=False)}',
            f'"change":"{change.change}"',
            f'"key":{change.key}',
            f'"old":{change.old or "null"}',
            f'"new":{change.new or "null"}',
            f'"columns":{json.dumps(list(change.columns), separators=(",", ":"))}',
        ]
        yield "{" + ",".join(fields) + "}\n"
