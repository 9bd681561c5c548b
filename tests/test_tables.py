"""quarlen.table: a member's rows as Arrow data that Arrow's consumers take as they are, typed by what the member
holds, equal to load's rows, and never handed out unchecked."""

import gc
import importlib
import json
import re
import sys
from pathlib import Path

import pytest

import quarlen
from quarlen.demo import write_sample

from archives import archive, open_fds, record, write

pa = pytest.importorskip("pyarrow", reason="pyarrow is the reference consumer")

# One single-column keyed member per case: its values, and the Arrow type they take.
TYPES = [
    ("TEXT", ["a", None, 'b\n"é\\'], pa.string()),
    ("INT", [1, None, -(2**63), 2**63 - 1], pa.int64()),
    ("NUMBER", [1, 2.5, None, -0.0, 1e300], pa.float64()),
    ("BOOL", [True, None, False], pa.bool_()),
    ("NULL", [None, None], pa.null()),
    ("EMPTY", [], pa.null()),
    ("OBJECT", [{"b": 1, "a": [1, None]}, None, [True]], "json"),
    ("MIXED", ["1", 1], "json"),
    ("BIG", [1, 2**64 - 1], "json"),
]


def expected(value, arrow_type):
    """load's value as the table gives it: a float for float64."""
    return float(value) if arrow_type == pa.float64() and value is not None else value


def plain(value, arrow_type):
    """A table's value as load gives it: a JSON column's text parsed."""
    return json.loads(value) if arrow_type == "json" and value is not None else value


def is_json(field) -> bool:
    return field.type == pa.string() and (field.metadata or {}).get(b"ARROW:extension:name") == b"arrow.json" or (
        getattr(field.type, "extension_name", None) == "arrow.json")


@pytest.fixture(scope="module")
def typed(tmp_path_factory):
    path = tmp_path_factory.mktemp("typed") / "t.quarlen"
    write(path, [(f"control_rows/{key}", [[v] for v in values]) for key, values, _ in TYPES])
    return path


@pytest.mark.parametrize("key,values,arrow_type", TYPES, ids=[t[0] for t in TYPES])
def test_types(typed, key, values, arrow_type):
    got = pa.table(quarlen.table(typed, f"control_rows/{key}"))
    field = got.schema.field("row")
    assert field.nullable and got.column_names == ["row"]
    if arrow_type == "json":
        assert is_json(field), field
    else:
        assert field.type == arrow_type
    assert [plain(v, arrow_type) for v in got.column("row").to_pylist()] == [expected(v, arrow_type) for v in values]


def kinds(schema):
    return ["json" if is_json(f) else f.type for f in schema]


def snapshots(tmp: Path):
    write_sample(tmp / "demo.quarlen")
    yield tmp / "demo.quarlen"
    sys.path.insert(0, str(Path(__file__).parent.parent / "bench"))
    try:
        generate = importlib.import_module("generate")
    finally:
        sys.path.pop(0)
    write(tmp / "bench.quarlen", generate.generate(scale=0.02))
    yield tmp / "bench.quarlen"


def test_every_member_equals_load(tmp_path):
    for path in snapshots(tmp_path):
        for name in json.loads(quarlen.manifest(path))["members"]:
            got = pa.table(quarlen.table(path, name))
            types = kinds(got.schema)
            rows = [[plain(v, k) for v, k in zip(r.values(), types)] for r in got.to_pylist()]
            assert rows == [[expected(v, k) for v, k in zip(r, types)] for r in quarlen.load(path, name)], name


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    path = tmp_path_factory.mktemp("sample") / "demo.quarlen"
    write_sample(path)
    return path


def test_keyed_bare_name_and_snapshots(sample, tmp_path):
    other = tmp_path / "other.quarlen"
    write(other, [("control_rows/ZED", [[{"n": 1}]]), ("control_rows/A", [[None]])])
    got = pa.table(quarlen.table([sample, str(other)], "control_rows")).to_pylist()
    instances = [(str(sample), "APP"), (str(sample), "HR"), (str(other), "A"), (str(other), "ZED")]
    rows = [(p, k, r) for p, k in instances for r in quarlen.load(p, f"control_rows/{k}")]
    assert [dict(g, row=plain(g["row"], "json")) for g in got] == [{"snapshot": p, "key": k, "row": r[0]} for p, k, r in rows]
    one = pa.table(quarlen.table((sample,), "objects"))  # a tuple of one still gives the snapshot column
    assert one.column_names[0] == "snapshot" and set(one.column("snapshot").to_pylist()) == {str(sample)}
    assert pa.table(quarlen.table(sample, "objects")).column_names[0] == "object_id"


def test_rescan_gives_the_same_table(sample):
    t = quarlen.table(sample, "plscope_identifiers")
    assert pa.table(t).equals(pa.table(t))
    assert pa.schema(t) == pa.table(t).schema


def consumed(consumer, t):
    """The table's rows as plain values through one consumer."""
    if consumer == "nanoarrow":
        na = pytest.importorskip("nanoarrow", reason="nanoarrow is not installed")
        return pa.table(na.Array(t)).to_pylist()
    if consumer == "polars":
        pl = pytest.importorskip("polars", reason="polars is not installed")
        return pl.DataFrame(t).to_dicts()
    duckdb = pytest.importorskip("duckdb", reason="duckdb is not installed")
    relation = duckdb.sql("select * from t")
    return [dict(zip(relation.columns, row)) for row in relation.fetchall()]


@pytest.mark.parametrize("consumer", ["nanoarrow", "polars", "duckdb"])
def test_consumers(sample, consumer):
    t = quarlen.table([sample], "objects")
    assert consumed(consumer, t) == pa.table(t).to_pylist()


def test_damaged_member_is_the_consumers_error(sample, tmp_path):
    text = b'["x"]\n["y"]\n'
    bad = archive(tmp_path / "bad.quarlen", [("control_rows/APP", text)],
                  records={"control_rows/APP": record(text, rows=3)})
    with pytest.raises(ValueError) as read_error:
        quarlen.read(bad, "control_rows/APP")
    message = str(read_error.value)
    t = quarlen.table([sample, bad], "control_rows")
    with pytest.raises(OSError, match=re.escape(message)):
        pa.RecordBatchReader.from_stream(t)  # before any batch
    with pytest.raises(quarlen.Error) as schema_error:
        pa.schema(t)
    assert str(schema_error.value) == message


def test_names_outside_the_format(sample):
    for name in ["nope", "objects/APP", "control_rows/"]:
        with pytest.raises(ValueError) as read_error:
            quarlen.read(sample, name)
        with pytest.raises(quarlen.Error) as table_error:
            quarlen.table(sample, name)
        assert str(table_error.value) == str(read_error.value)


def test_batches_and_the_file_released_with_the_stream(tmp_path):
    path = tmp_path / "long.quarlen"
    write(path, [("control_rows/N", [[i] for i in range(70_000)]), ("control_rows/W", [["x" * 200]] * 30_000)])
    batches = pa.RecordBatchReader.from_stream(quarlen.table(path, "control_rows/N"))
    assert [b.num_rows for b in batches] == [65_536, 4_464]
    before = open_fds()
    reader = pa.RecordBatchReader.from_stream(quarlen.table(path, "control_rows/W"))
    assert 0 < reader.read_next_batch().num_rows < 30_000  # about 4 MiB of text
    assert open_fds() != before
    del reader
    gc.collect()
    assert open_fds() == before
