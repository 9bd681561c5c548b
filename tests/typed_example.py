"""Calls quarlen as a typed caller would; checked by mypy --strict."""

import json
import pathlib

import quarlen
from quarlen import FORMAT, Writer, read, verify


def example(old: pathlib.Path, new: pathlib.Path) -> list[str]:
    writer = Writer(old)
    writer.begin("comments")
    count: int = writer.rows(json.dumps([["APP", "T1", "C1", "note"]]))
    texts: list[str] = [writer.end(), writer.finish("{}"), read(old, "comments"), verify(str(old)), FORMAT]
    with quarlen.create(new, {"source": "db1"}) as snap:
        written: dict[str, object] = snap.write("comments", [("APP", "T1", "C1", "note")])
    rows: list[list[object]] = quarlen.load(new, "comments") + list(quarlen.iter_rows(new, "comments"))
    table: quarlen.Table = quarlen.table([old, new], "control_rows")
    texts += [str(table.__arrow_c_stream__()), str(quarlen.table(new, "comments").__arrow_c_schema__())]
    texts += [str(count), str(written), str(rows), quarlen.unit_hash("APP", "FUNCTION", "F1", "abc"), quarlen.__version__]
    for change in quarlen.diff(old, new, members=["comments", "control_rows"]):
        record: quarlen.Change = change
        key: list[object] = record.key
        before: list[object] | None = record.old
        columns: tuple[str, ...] = record.columns
        texts.append(f"{record.member} {change.change} {key} {before} {change.new} {columns}")
    return texts

