"""Rows as Python objects: load, iter_rows and create, against the JSON-text paths."""

import json
import os
import sys
import threading
import time
import tracemalloc
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quarlen
from quarlen import create, iter_rows, load, read, verify

from archives import archive, entries, error, open_fds, write
from test_read import KEYED, MEMBER_FAULTS


def typed(value):
    """The value with every scalar tagged by its type, so that 1, 1.0 and True
    differ and -0.0 differs from 0.0."""
    if isinstance(value, list):
        return ["list", [typed(v) for v in value]]
    if isinstance(value, dict):
        return ["dict", [[k, typed(v)] for k, v in value.items()]]
    return [type(value).__name__, repr(value)]


scalars = (st.none() | st.booleans() | st.integers(min_value=-(2**80), max_value=2**80)
           | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=12))
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3)
                      | st.dictionaries(st.text(max_size=4), inner, max_size=3), max_leaves=10)
rows = st.lists(st.tuples(values, values, values, values) | st.lists(values, min_size=4, max_size=4), max_size=6)


@settings(max_examples=150, deadline=None)
@given(members=st.lists(rows, min_size=1, max_size=3))
def test_objects_round_trip_as_json_text_does(tmp_path_factory, members):
    directory = tmp_path_factory.mktemp("objects")
    names = ["comments", "units", "scheduler"][: len(members)]
    ours, theirs = directory / "ours.quarlen", directory / "theirs.quarlen"
    with create(ours, {"source": "db1"}) as snapshot:
        records = {name: snapshot.write(name, iter(member)) for name, member in zip(names, members)}
    write(theirs, [(name, [list(row) for row in member]) for name, member in zip(names, members)], '{"source":"db1"}')
    # The same stored bytes as json.dumps and Writer.rows give.
    assert entries(ours) == entries(theirs)
    assert records == json.loads(quarlen.manifest(theirs))["members"]
    for name in names:
        expected = typed(json.loads(read(ours, name)))
        assert typed(load(ours, name)) == expected
        assert typed(list(iter_rows(ours, name))) == expected


def test_load_reads_any_spelling_as_json_loads_reads_the_canonical_text(tmp_path):
    text = (rb'[ "\u00e9\n\ud83d\ude00" , 1E2 , -0 , {"b" : 1, "a" : [ ] } ]' b"\r\n"
            rb'["x\"y\\", 18446744073709551615, -9223372036854775808, 1.5e-7]' b"\n")
    path = archive(tmp_path / "x.quarlen", {"comments": text})
    for call in (load, lambda p, n: list(iter_rows(p, n))):
        assert typed(call(path, "comments")) == typed(json.loads(read(path, "comments")))


@pytest.mark.parametrize("key", list(MEMBER_FAULTS))
def test_objects_fail_as_read_fails(tmp_path, key):
    content, _, *other = MEMBER_FAULTS[key]
    name = other[0] if other else KEYED
    path = tmp_path / "x.quarlen"
    path.write_bytes(content)
    message = error(read, path, name)
    assert error(load, path, name) == message
    assert error(lambda: list(iter_rows(path, name))) == message


def test_iter_rows_streams_and_closing_it_releases_the_file(tmp_path):
    path = tmp_path / "x.quarlen"
    with create(path) as snapshot:
        snapshot.write("control_rows/APP", ([i] for i in range(200_000)))
    before = open_fds()
    rows = iter_rows(path, "control_rows/APP")
    assert next(rows) == [0]
    assert open_fds() != before
    rows.close()
    assert open_fds() == before
    assert sum(1 for _ in iter_rows(path, "control_rows/APP")) == 200_000


BAD_ROWS = [
    ([["a", "b", "c"]], ValueError, "comments row 1: 3 values, the format has 4"),
    ([["a", "b", "c", "d"], {"a": 1}], ValueError, "comments row 2: not a list of values"),
    ([["a", "b", "c", float("nan")]], ValueError, "comments row 1: nan has no JSON form"),
    ([["a", "b", "c", [float("-inf")]]], ValueError, "comments row 1: -inf has no JSON form"),
    ([["a", "b", "c", {1: "x"}]], ValueError, "comments row 1: a key that is not a str (int)"),
    ([["a", "b", "c", "\ud800"]], ValueError, "comments row 1: a str with a lone surrogate has no UTF-8 form"),
    ([["a", "b", "c", 10**400]], ValueError, "comments row 1: number out of range"),
    ([["a", "b", "c", {"x"}]], TypeError, "comments row 1: Object of type set is not JSON serializable"),
]


@pytest.mark.parametrize("bad, kind, message", BAD_ROWS)
def test_create_refuses_rows_and_leaves_no_file(tmp_path, bad, kind, message):
    path = tmp_path / "x.quarlen"
    path.write_bytes(b"the old snapshot")
    with pytest.raises(kind) as raised:
        with create(path) as snapshot:
            snapshot.write("comments", bad)
    assert str(raised.value) == message
    assert path.read_bytes() == b"the old snapshot"
    assert os.listdir(tmp_path) == ["x.quarlen"]


def test_create_nests_as_deep_as_rows_takes(tmp_path):
    def row(levels):  # a row of `levels` nested lists
        value = "x"
        for _ in range(levels):
            value = [value]
        return value

    # Inside the array of a rows() call, 126 levels reach the parser's limit.
    writer = quarlen.Writer(tmp_path / "w.quarlen")
    writer.begin("control_rows/A")
    writer.rows(json.dumps([row(126)]))
    with pytest.raises(ValueError, match="recursion limit exceeded"):
        writer.rows(json.dumps([row(127)]))
    with create(tmp_path / "x.quarlen") as snapshot:
        snapshot.write("control_rows/A", [row(126)])
    assert load(tmp_path / "x.quarlen", "control_rows/A") == [row(126)]
    with pytest.raises(ValueError, match="^control_rows/B row 1: nested more than 126 levels deep$"):
        with create(tmp_path / "y.quarlen") as snapshot:
            snapshot.write("control_rows/B", [row(127)])


def test_create_is_all_or_nothing(tmp_path):
    path = tmp_path / "x.quarlen"
    with create(path, {"run": 1}) as snapshot:
        snapshot.write("comments", [["a", "b", "c", "d"]])
        assert not path.exists()
    assert json.loads(verify(path))["members"] == {"comments": 1}
    first = path.read_bytes()
    for failure in (KeyboardInterrupt, RuntimeError):
        with pytest.raises(failure):
            with create(path) as snapshot:
                snapshot.write("comments", [["e", "f", "g", "h"]])
                raise failure()
        assert path.read_bytes() == first
    assert os.listdir(tmp_path) == ["x.quarlen"]
    with pytest.raises(ValueError, match="comments: written already"):
        with create(path) as snapshot:
            snapshot.write("comments", [])
            snapshot.write("comments", [])
    assert path.read_bytes() == first


def big_snapshot(path, megabytes):
    line = ["APP", "T" * 40, "C" * 40, "note " * 30]
    with create(path) as snapshot:
        snapshot.write("comments", (line for _ in range(megabytes * 1_000_000 // 300)))
    return path


def test_verify_lets_other_threads_run(tmp_path):
    path = big_snapshot(tmp_path / "x.quarlen", 60)
    ticks = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1

    def rate(during):
        first, start = ticks[0], time.perf_counter()
        during()
        return (ticks[0] - first) / (time.perf_counter() - start)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        # A held lock would leave the counter almost nothing; the best of a few
        # tries keeps a busy machine from deciding.
        tries = [(rate(lambda: verify(path)), rate(lambda: time.sleep(0.2))) for _ in range(3)]
    finally:
        stop.set()
        counter.join()
    assert any(busy >= idle / 2 for busy, idle in tries), tries


@pytest.mark.skipif((os.cpu_count() or 1) < 2, reason="needs two cores")
def test_two_threads_verify_two_files_sooner_than_one(tmp_path):
    paths = [big_snapshot(tmp_path / f"{i}.quarlen", 30) for i in range(2)]

    def both_in_one():
        for p in paths:
            verify(p)

    def one_each():
        threads = [threading.Thread(target=verify, args=(p,)) for p in paths]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    def best(run):
        times = []
        for _ in range(5):
            start = time.perf_counter()
            run()
            times.append(time.perf_counter() - start)
        return min(times)

    assert best(one_each) < best(both_in_one)


def test_calls_keep_their_arguments_reference_counts(tmp_path):
    path = tmp_path / "x.quarlen"
    with create(path) as snapshot:
        snapshot.write("comments", [["a", "b", "c", "d"]])
    name, missing, rows = "comments", str(tmp_path / "missing"), [["a", "b", "c", "d"]]
    writer = quarlen.Writer(tmp_path / "w.quarlen")
    writer.begin("comments")
    calls = [
        lambda: load(path, name), lambda: list(iter_rows(path, name)), lambda: read(path, name),
        lambda: verify(path), lambda: quarlen.manifest(path),
        lambda: quarlen._native._write_rows(writer, name, rows, 1),
        lambda: load(missing, name), lambda: verify(missing), lambda: quarlen.unit_hash(name, name, name, name),
        lambda: quarlen._native._write_rows(writer, name, [rows], 1),  # refused: one value
    ]

    def repeat(call, times):
        for _ in range(times):
            try:
                call()
            except ValueError:
                pass

    tracemalloc.start()
    try:
        for call in calls:
            repeat(call, 100)
            before = [sys.getrefcount(o) for o in (path, name, missing, rows, writer)]
            held = tracemalloc.get_traced_memory()[0]
            repeat(call, 1000)
            # Neither the arguments nor anything made for the caller may stay behind.
            assert [sys.getrefcount(o) for o in (path, name, missing, rows, writer)] == before
            assert tracemalloc.get_traced_memory()[0] - held < 32 << 10
    finally:
        tracemalloc.stop()


def test_a_forked_child_is_told_its_reader_has_no_thread(tmp_path):
    path = tmp_path / "x.quarlen"
    with create(path) as snapshot:
        snapshot.write("control_rows/APP", ([i] for i in range(400_000)))
    rows = iter_rows(path, "control_rows/APP")
    assert next(rows) == [0]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads running
        child = os.fork()
    if child == 0:  # pragma: no cover - the child reports through its status
        try:
            for _ in rows:  # past the rows already made, to the next batch
                pass
            os._exit(1)
        except RuntimeError as error:
            os._exit(0 if str(error) == "the reader was opened before the process forked" else 2)
        except BaseException:
            os._exit(3)
    _, status = os.waitpid(child, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert sum(1 for _ in rows) == 399_999


def test_a_row_reader_after_its_end(tmp_path):
    path = tmp_path / "x.quarlen"
    with create(path) as snapshot:
        snapshot.write("control_rows/APP", [[1]])
    reader = quarlen._native._open_rows(path, "control_rows/APP")
    assert (reader.next_batch(), reader.next_batch(), reader.next_batch()) == ([[1]], None, None)
    reader = quarlen._native._open_rows(path, "control_rows/APP")
    reader.close()
    assert error(reader.next_batch) == "the reader is closed"
    with pytest.raises(TypeError):
        type(reader)()
