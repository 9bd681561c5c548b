"""A small program that uses quarlen as a typed caller would; checked by mypy --strict."""

import json
import pathlib
import tempfile

import quarlen
from quarlen import FORMAT, Writer, read, verify


def snapshot(path: pathlib.Path) -> bool:
    writer = Writer(path)
    writer.begin("comments")
    count: int = writer.rows(json.dumps([["APP", "T1", "C1", "note"]]))
    record: str = writer.end()
    manifest: str = writer.finish("{}")
    rows: list[list[object]] = json.loads(read(path, "comments"))
    report: dict[str, object] = json.loads(verify(str(path)))
    digest: str = quarlen.unit_hash("APP", "FUNCTION", "F1", "abc")
    return bool(report["ok"]) and len(rows) == count and len(digest + record + manifest + FORMAT) > 64


def objects(old: pathlib.Path, new: pathlib.Path) -> list[str]:
    with quarlen.create(new, {"source": "db1"}) as snap:
        written: dict[str, object] = snap.write("comments", [("APP", "T1", "C1", "note")])
    everything: list[list[object]] = quarlen.load(new, "comments") + list(quarlen.iter_rows(new, "comments"))
    out: list[str] = [str(written), str(everything)]
    for change in quarlen.diff(old, new, members=["comments", "control_rows"]):
        key: list[object] = change.key
        before: list[object] | None = change.old
        columns: tuple[str, ...] = change.columns
        record: quarlen.Change = change
        out.append(f"{record.member} {change.change} {key} {before} {change.new} {columns} {quarlen.__version__}")
    return out


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as directory:
        snapshot(pathlib.Path(directory) / "a.quarlen")
        print(objects(pathlib.Path(directory) / "a.quarlen", pathlib.Path(directory) / "b.quarlen"))
