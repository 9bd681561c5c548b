"""A small program that uses quarlen as a typed caller would; checked by mypy --strict."""

import json
import pathlib
import tempfile

import quarlen
from quarlen import FORMAT, Writer, read, verify


def snapshot(path: pathlib.Path) -> int:
    writer = Writer(path)
    writer.begin("comments")
    count: int = writer.rows(json.dumps([["APP", "T1", "C1", "note"]]))
    record: str = writer.end()
    manifest: str = writer.finish("{}")
    assert json.loads(record)["rows"] == count
    assert json.loads(manifest)["format"] == FORMAT
    return count


def check(path: pathlib.Path) -> bool:
    rows: list[list[object]] = json.loads(read(path, "comments"))
    report: dict[str, object] = json.loads(verify(str(path)))
    digest: str = quarlen.unit_hash("APP", "FUNCTION", "F1", "abc")
    return bool(report["ok"]) and len(rows) == 1 and len(digest) == 64 and quarlen.__version__ == quarlen.version()


def objects(path: pathlib.Path) -> int:
    with quarlen.create(path, {"source": "db1"}) as snapshot:
        written: dict[str, object] = snapshot.write("comments", [("APP", "T1", "C1", "note")])
    everything: list[list[object]] = quarlen.load(path, "comments")
    streamed = sum(1 for _ in quarlen.iter_rows(path, "comments"))
    return len(everything) + streamed + len(written)


def changes(old: pathlib.Path, new: pathlib.Path) -> list[str]:
    out: list[str] = []
    for change in quarlen.diff(old, new, members=["comments", "control_rows"]):
        kind: str = change.change
        key: list[object] = change.key
        before: list[object] | None = change.old
        after: list[object] | None = change.new
        columns: tuple[str, ...] = change.columns
        record: quarlen.Change = change
        out.append(f"{record.member} {kind} {key} {before} {after} {columns}")
    return out


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as directory:
        target = pathlib.Path(directory) / "example.quarlen"
        snapshot(target)
        print(check(target), objects(target), changes(target, target))
