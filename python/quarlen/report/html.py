"""Changes as one self-contained HTML page: no script, no external resource.

The page holds the two snapshots' header fields side by side, a summary
table and bar charts of the changes per member and per owner, then every
change, grouped by member and owner in collapsed sections: the changed
columns old -> new, and source texts as a side-by-side line diff.
"""

import difflib
import html
import json
from typing import Any, Iterable, Iterator, Optional

from ..compare import TextChange
from ..rules import SPACED_COLUMNS, owner_column
from ..schema import MEMBERS
from .stat import KINDS, Counts
from .text import column_changes, key_shown

# Lines of context around each change of a source text.
_CONTEXT = 3
# Owners drawn in the chart, the ones with most changes.
_CHART_OWNERS = 30
# Each kind's class, short for a page of many changes; the style sheet marks
# them + - ~.
_CLASSES = {"added": "a", "removed": "r", "changed": "c"}

_STYLE = """
body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222}
table{border-collapse:collapse;margin:.5em 0}
td,th{border:1px solid #ccc;padding:2px 6px;vertical-align:top;text-align:left}
td.n{text-align:right;font-variant-numeric:tabular-nums}
code,.src td{font-family:ui-monospace,monospace;font-size:12px;white-space:pre-wrap;word-break:break-all}
details{margin:.2em 0 .2em 1em}summary{cursor:pointer}
ul.ch{list-style:none;padding-left:1em;margin:.2em 0}
ul.ch>li{font-family:ui-monospace,monospace;font-size:12px}
li.a::before{content:"+ ";color:#1a7f37}li.r::before{content:"- ";color:#cf222e}li.c::before{content:"~ ";color:#9a6700}
li b,li summary{font-family:system-ui,sans-serif}
del{background:#ffebe9;text-decoration:none}ins{background:#dafbe1;text-decoration:none}
.src td.o{background:#ffebe9}.src td.w{background:#dafbe1}.src td.ln{color:#888;text-align:right}
.muted{color:#666}
"""
_BAR_COLORS = {"added": "#2da44e", "removed": "#cf222e", "changed": "#d4a72c"}


def _e(value: object) -> str:
    return html.escape(str(value), quote=True)


def html_lines(changes: Iterable[TextChange], *, old_label: str = "", new_label: str = "",
               old_manifest: Optional[dict[str, Any]] = None,
               new_manifest: Optional[dict[str, Any]] = None) -> Iterator[str]:
    """The page, in pieces of text. Every change is held until the summary
    is written; `old_manifest` and `new_manifest` are the files' manifests
    as parsed JSON, for their header fields."""
    grouped: dict[str, dict[str, list[TextChange]]] = {}
    by_member: dict[str, Counts] = {}
    by_owner: dict[str, Counts] = {}
    for change in changes:
        owner = _owner(change)
        grouped.setdefault(change.member, {}).setdefault(owner, []).append(change)
        for counts in (by_member.setdefault(change.member, Counts()), by_owner.setdefault(owner, Counts())):
            setattr(counts, change.change, getattr(counts, change.change) + 1)
    title = f"{old_label} → {new_label}"
    yield (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
           f"<title>{_e(title)}</title><style>{_STYLE}</style></head><body>\n<h1>{_e(title)}</h1>\n")
    yield from _headers(old_label, new_label, old_manifest or {}, new_manifest or {})
    yield from _summary(by_member)
    legend = " ".join(f'<span style="color:{color}">■</span> {kind}' for kind, color in _BAR_COLORS.items())
    yield f'<h2>Changes per member</h2>\n<p class="muted">{legend}</p>\n{_chart(by_member)}'
    owners = dict(sorted(by_owner.items(), key=lambda item: -item[1].all())[:_CHART_OWNERS])
    more = len(by_owner) - len(owners)
    yield f"<h2>Changes per owner</h2>\n{_chart(owners)}"
    yield f'<p class="muted">… and {more:,} more owners</p>\n' if more > 0 else ""
    yield "<h2>Changes</h2>\n"
    for member, owners_changes in grouped.items():
        yield f'<details class="member"><summary><b>{_e(member)}</b> {_counted(by_member[member])}</summary>\n'
        for owner, held in owners_changes.items():
            yield f'<details class="owner"><summary>{_e(owner)} ({len(held):,})</summary><ul class="ch">\n'
            for change in held:
                yield _row(change)
            yield "</ul></details>\n"
        yield "</details>\n"
    yield "</body></html>\n"


def _owner(change: TextChange) -> str:
    """The owner of a change's row: its owner column, or a keyed member's key."""
    name, _, key = change.member.partition("/")
    spec = MEMBERS[name]
    column = owner_column(spec)
    if column is None:
        return key or "—"
    value = json.loads(change.new or change.old or "null")[spec.columns.index(column)]
    return value if isinstance(value, str) else json.dumps(value)


def _counted(counts: Counts) -> str:
    return f'<span class="muted">+{counts.added:,} −{counts.removed:,} ~{counts.changed:,}</span>'


def _headers(old_label: str, new_label: str, old: dict[str, Any], new: dict[str, Any]) -> Iterator[str]:
    """Each header field of either manifest side by side, with the members' counts."""
    fields = [k for k in old if k != "members"] + [k for k in new if k != "members" and k not in old]
    yield f"<table class=\"headers\"><tr><th></th><th>{_e(old_label)}</th><th>{_e(new_label)}</th></tr>\n"
    for field in fields:
        values = [_e(_plain(m[field])) if field in m else "" for m in (old, new)]
        yield f"<tr><th>{_e(field)}</th><td>{values[0]}</td><td>{values[1]}</td></tr>\n"
    for what, count in (("members", len), ("rows", lambda ms: sum(r.get("rows", 0) for r in ms.values()))):
        values = [f"{count(m.get('members', {})):,}" for m in (old, new)]
        yield f'<tr><th>{what}</th><td class="n">{values[0]}</td><td class="n">{values[1]}</td></tr>\n'
    yield "</table>\n"


def _plain(value: object) -> str:
    return value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)


def _summary(by_member: dict[str, Counts]) -> Iterator[str]:
    total = Counts()
    yield '<h2>Summary</h2>\n<table id="summary"><tr><th>member</th>' + "".join(f"<th>{k}</th>" for k in KINDS)
    yield "<th>all</th></tr>\n"
    for member, counts in [*by_member.items(), ("total", total)]:
        if member != "total":
            total.add(counts)
        cells = "".join(f'<td class="n" data-kind="{k}">{getattr(counts, k):,}</td>' for k in KINDS)
        yield f'<tr data-member="{_e(member)}"><th>{_e(member)}</th>{cells}<td class="n">{counts.all():,}</td></tr>\n'
    yield "</table>\n"


def _chart(bars: dict[str, Counts]) -> str:
    """Horizontal bars, one per name, its parts added, removed and changed."""
    if not bars:
        return '<p class="muted">No changes.</p>\n'
    width, label, height = 480, 200, 18
    most = max(counts.all() for counts in bars.values())
    parts = [f'<svg width="{label + width + 80}" '
             f'height="{height * len(bars) + 4}" role="img">']
    for i, (name, counts) in enumerate(bars.items()):
        y = i * height + 2
        parts.append(f'<text x="{label - 6}" y="{y + 13}" text-anchor="end" font-size="12">{_e(name[:32])}</text>')
        x = float(label)
        for kind in KINDS:
            w = width * getattr(counts, kind) / most
            if w > 0:
                parts.append(f'<rect x="{x:.1f}" y="{y}" width="{w:.1f}" height="{height - 4}" '
                             f'fill="{_BAR_COLORS[kind]}"><title>{kind} {getattr(counts, kind):,}</title></rect>')
            x += w
        parts.append(f'<text x="{x + 4:.1f}" y="{y + 13}" font-size="12">{counts.all():,}</text>')
    return "".join(parts) + "</svg>\n"


def _row(change: TextChange) -> str:
    """One change as a list item, without the end tag it may leave out."""
    start = f"<li class={_CLASSES[change.change]}>{_e(key_shown(change.member, change.key))}"
    if change.change != "changed":
        return start + "\n"
    spec_name = change.member.partition("/")[0]
    source = SPACED_COLUMNS.get(spec_name)
    texts = _source_texts(change, source) if source in change.columns else None
    parts = [f"<b>{_e(column)}</b> <del>{_e(old)}</del> → <ins>{_e(new)}</ins>"
             for column, old, new in column_changes(change) if column != source or texts is None]
    if texts is not None:
        parts.append(f"<details><summary><b>{_e(source)}</b></summary>{_side_by_side(*texts)}</details>")
    return f"{start}: {'; '.join(parts)}\n"


def _source_texts(change: TextChange, column: Optional[str]) -> Optional[tuple[str, str]]:
    i = MEMBERS[change.member.partition("/")[0]].columns.index(str(column))
    old, new = json.loads(change.old or "null")[i], json.loads(change.new or "null")[i]
    return (old, new) if isinstance(old, str) and isinstance(new, str) else None


def _side_by_side(old: str, new: str) -> str:
    """The lines that differ, with some context, old on the left, new on the right."""
    a, b = old.splitlines(), new.splitlines()
    rows = ['<table class="src">']
    for group in difflib.SequenceMatcher(None, a, b, autojunk=False).get_grouped_opcodes(_CONTEXT):
        rows.append('<tr><td colspan="4" class="muted">⋯</td></tr>')
        for tag, i1, i2, j1, j2 in group:
            for k in range(max(i2 - i1, j2 - j1)):
                left = (str(i1 + k + 1), _e(a[i1 + k])) if i1 + k < i2 else ("", "")
                right = (str(j1 + k + 1), _e(b[j1 + k])) if j1 + k < j2 else ("", "")
                o, w = ("", "") if tag == "equal" else (' class="o"', ' class="w"')
                rows.append(f'<tr><td class="ln">{left[0]}</td><td{o if left[0] else ""}>{left[1]}</td>'
                            f'<td class="ln">{right[0]}</td><td{w if right[0] else ""}>{right[1]}</td></tr>')
    return "".join(rows) + "</table>"
