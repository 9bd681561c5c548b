"""Entry points keep their arguments' reference counts, on success and failure, and memory flat."""

import gc
import os
import sys
import types

import pytest

import quarlen
from quarlen import _native as n

from archives import archive, record


@pytest.fixture(scope="module")
def a(tmp_path_factory):
    d = tmp_path_factory.mktemp("refcounts")
    for name, note in [("good", "x"), ("other", "y")]:
        with quarlen.create(d / f"{name}.quarlen") as snapshot:
            snapshot.write("comments", [["APP", "T", "C", note], ["APP", "T", "D", {"k": [1.5, None, True]}]])
    text = b'["APP","T","C","x"]\n'  # a checksum that fails at the member's end
    archive(d / "damaged.quarlen", {"comments": text}, records={"comments": record(text + b" ")})
    s = "".join  # objects made here, not interned or cached elsewhere: their counts are ours alone
    return types.SimpleNamespace(
        path=s(f"{d}/good.quarlen"), other=d / "other.quarlen", damaged=s(f"{d}/damaged.quarlen"),
        missing=s(f"{d}/missing/x.quarlen"), out=s(f"{d}/out.quarlen"), name=s("comments"), bogus=s("bogus"),
        rows=[[s("APP"), s("T1"), s("C1"), {s("key"): [1.5]}]], bad_rows=[[s("APP"), {1: s("x")}, 3, 4]],
        key=tuple([0, 1, 2]), bad_key=tuple([0, -1]), text=s("[]"), bad_text=s("[x]"), header=s('{"a":1}'))


def writing(a, *then):
    w = n.Writer(a.out)
    w.begin(a.name)
    return [call(w) for call in then]


def batches(a, path, reader=None):
    return [(reader := n._open_rows(path, a.name)).next_batch(), reader.next_batch(), reader.close()]


CALLS = {  # entry point: (a call that succeeds, one that fails)
    "manifest": (lambda a: n.manifest(a.path), lambda a: n.manifest(a.missing)),
    "read": (lambda a: n.read(a.path, a.name), lambda a: n.read(a.path, a.bogus)),
    "verify": (lambda a: n.verify(a.damaged), lambda a: n.verify(a.missing)),
    "unit_hash": (lambda a: (n.unit_hash(a.name, a.name, a.path, a.text), n.members(), n.version()),
                  lambda a: n.unit_hash(a.name, a.name, a.name, a.key)),
    "_check_member": (lambda a: n._check_member(a.name), lambda a: n._check_member(a.bogus)),
    "load": (lambda a: quarlen.load(a.path, a.name), lambda a: quarlen.load(a.damaged, a.name)),
    "RowReader": (lambda a: batches(a, a.path), lambda a: batches(a, a.damaged)),
    "Writer": (lambda a: writing(a, lambda w: w.rows(a.text), lambda w: w.end(), lambda w: w.finish(a.header)),
               lambda a: n.Writer(a.missing)),
    "Writer.rows": (lambda a: writing(a, lambda w: w.rows(a.text)), lambda a: writing(a, lambda w: w.rows(a.bad_text))),
    "_write_rows": (lambda a: writing(a, lambda w: n._write_rows(w, a.name, a.rows, 1)),
                    lambda a: writing(a, lambda w: n._write_rows(w, a.name, a.bad_rows, 1))),
    "_diff_member": (lambda a: n._diff_member(a.path, a.other, a.name, a.key),
                     lambda a: n._diff_member(a.path, a.other, a.name, a.bad_key)),
    "_diff_member_json": (lambda a: n._diff_member_json(a.path, a.other, a.name, a.key),
                          lambda a: n._diff_member_json(a.path, a.damaged, a.name, a.key)),
}


def fails(call, a):
    try:
        call(a)
    except (ValueError, TypeError):
        return True
    return False


@pytest.mark.parametrize("failing", [False, True], ids=["success", "failure"])
@pytest.mark.parametrize("name", list(CALLS))
def test_calls_keep_reference_counts(a, name, failing):
    call = CALLS[name][failing]
    watched = [*vars(a).values(), *a.rows[0], *a.rows[0][3].values(), *a.bad_rows[0][:2], n.Writer, type(n._open_rows(a.path, a.name)), None, True, False]
    assert fails(call, a) is failing
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(1000):
        fails(call, a)
    gc.collect()
    # The singletons' counts move with everything else in the process: only a drift of one a call is a leak.
    after = [sys.getrefcount(o) for o in watched]
    assert after[:-3] == before[:-3] and all(abs(x - y) < 100 for x, y in zip(after[-3:], before[-3:]))


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_resident_memory_stays_flat(a):
    sizes = []
    for rounds in (10_000, 100_000):
        for call in [CALLS["read"][1], CALLS["_check_member"][1], CALLS["unit_hash"][0]] * rounds:
            fails(call, a)
        sizes.append(resident_bytes())
    assert sizes[1] - sizes[0] < 2 << 20
