"""Every entry point leaves the reference counts of its arguments as they were,
on success and on failure, and many calls keep resident memory flat."""

import gc
import os
import sys
import types

import pytest

import quarlen
from quarlen import _native

from archives import archive, record


@pytest.fixture(scope="module")
def a(tmp_path_factory):
    d = tmp_path_factory.mktemp("refcounts")
    for name, note in [("good", "x"), ("other", "y")]:
        with quarlen.create(d / f"{name}.quarlen", {"run": 1}) as snapshot:
            snapshot.write("comments", [["APP", "T", "C", note], ["APP", "T", "D", {"k": [1.5, None, True]}]])
    text = b'["APP","T","C","x"]\n'  # a checksum that fails at the member's end
    archive(d / "damaged.quarlen", {"comments": text}, records={"comments": record(text + b" ")})
    # Objects made here, not interned or cached anywhere else, so that their counts are ours alone.
    s = lambda text: "".join(list(text))  # noqa: E731
    return types.SimpleNamespace(
        path=s(f"{d}/good.quarlen"), other=d / "other.quarlen", damaged=s(f"{d}/damaged.quarlen"),
        missing=s(f"{d}/missing/x.quarlen"), out=s(f"{d}/out.quarlen"), name=s("comments"), bogus=s("bogus"),
        rows=[[s("a"), s("b"), s("c"), {s("k"): [1.5]}]], bad_rows=[[s("a"), {1: s("x")}, 3, 4]],
        key=tuple([0, 1, 2]), bad_key=tuple([0, -1]), text=s("[]"), bad_text=s("[x]"), header=s('{"a":1}'))


def written(a, write):
    w = _native.Writer(a.out)
    w.begin(a.name)
    write(w)
    return w


def created(a, rows):
    with quarlen.create(a.out) as snapshot:
        snapshot.write(a.name, rows)


def row_batches(a, path):
    reader = _native._open_rows(path, a.name)
    while reader.next_batch() is not None:
        pass
    reader.close()


CALLS = {  # name: (call, the exception it raises or None)
    "manifest": (lambda a: _native.manifest(a.path), None),
    "manifest-missing": (lambda a: _native.manifest(a.missing), ValueError),
    "read": (lambda a: _native.read(a.path, a.name), None),
    "read-bogus": (lambda a: _native.read(a.path, a.bogus), ValueError),
    "verify": (lambda a: _native.verify(a.damaged), None),
    "verify-missing": (lambda a: _native.verify(a.missing), ValueError),
    "members-version": (lambda a: (_native.members(), _native.version()), None),
    "unit_hash": (lambda a: _native.unit_hash(a.name, a.name, a.path, a.text), None),
    "unit_hash-not-str": (lambda a: _native.unit_hash(a.name, a.name, a.name, a.key), TypeError),
    "_check_member": (lambda a: _native._check_member(a.name), None),
    "_check_member-bogus": (lambda a: _native._check_member(a.bogus), ValueError),
    "load": (lambda a: quarlen.load(a.path, a.name), None),
    "load-damaged": (lambda a: quarlen.load(a.damaged, a.name), ValueError),
    "iter_rows": (lambda a: list(quarlen.iter_rows(a.path, a.name)), None),
    "iter_rows-missing": (lambda a: list(quarlen.iter_rows(a.missing, a.name)), ValueError),
    "RowReader": (lambda a: row_batches(a, a.path), None),
    "RowReader-damaged": (lambda a: row_batches(a, a.damaged), ValueError),
    "Writer": (lambda a: written(a, lambda w: (w.rows(a.text), w.end(), w.finish(a.header))), None),
    "Writer-missing": (lambda a: _native.Writer(a.missing), ValueError),
    "Writer.begin-bogus": (lambda a: written(a, lambda w: w.begin(a.bogus)), ValueError),
    "Writer.rows-bad": (lambda a: written(a, lambda w: w.rows(a.bad_text)), ValueError),
    "Writer.finish-bad": (lambda a: written(a, lambda w: (w.end(), w.finish(a.text))), ValueError),
    "_write_rows": (lambda a: written(a, lambda w: _native._write_rows(w, a.name, a.rows, 1)), None),
    "_write_rows-bad": (lambda a: written(a, lambda w: _native._write_rows(w, a.name, a.bad_rows, 1)), ValueError),
    "create": (lambda a: created(a, a.rows), None),
    "create-bad": (lambda a: created(a, a.bad_rows), ValueError),
    "_diff_member": (lambda a: _native._diff_member(a.path, a.other, a.name, a.key), None),
    "_diff_member-negative": (lambda a: _native._diff_member(a.path, a.other, a.name, a.bad_key), ValueError),
    "_diff_member_json": (lambda a: _native._diff_member_json(a.path, a.other, a.name, a.key), None),
    "_diff_member_json-damaged": (lambda a: _native._diff_member_json(a.path, a.damaged, a.name, a.key), ValueError),
    "diff": (lambda a: list(quarlen.diff(a.path, a.other)), None),
    "diff-missing": (lambda a: list(quarlen.diff(a.path, a.missing, [a.name])), ValueError),
}


def outcome(call, a):
    try:
        call(a)
    except (ValueError, TypeError) as e:
        return type(e)
    return None


@pytest.mark.parametrize("name", list(CALLS))
def test_calls_keep_reference_counts(a, name):
    call, raised = CALLS[name]
    watched = [*vars(a).values(), _native.Writer, type(_native._open_rows(a.path, a.name))]
    assert outcome(call, a) is raised
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    singletons = [sys.getrefcount(o) for o in (None, True, False)]
    for _ in range(1000):
        outcome(call, a)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before
    assert all(abs(sys.getrefcount(o) - n) < 100 for o, n in zip((None, True, False), singletons))


def resident() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_resident_memory_stays_flat(a):
    calls = [CALLS[name][0] for name in ("read-bogus", "_check_member-bogus", "unit_hash", "members-version")]
    for _ in range(10_000):
        for call in calls:
            outcome(call, a)
    before = resident()
    for _ in range(100_000):
        for call in calls:
            outcome(call, a)
    assert resident() - before < 2 << 20
