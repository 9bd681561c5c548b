"""Writer: the stored bytes, refused calls that change nothing, and its thread."""

import json
import sys
import threading
import zipfile

import pytest

from quarlen import _native, create, load
from quarlen._native import Writer

from archives import compact, error, record, write

ROW = '["APP","T1","C1","note"]'
TEXT = f"{ROW}\n".encode()


def test_surface_returned_texts_and_stored_bytes(tmp_path):
    assert (Writer.__text_signature__, Writer.__module__, Writer.__bases__) == ("(path)", "builtins", (object,))
    assert [getattr(Writer, m).__text_signature__ for m in ["begin", "rows", "end", "finish"]] == [
        "($self, name)", "($self, rows_json)", "($self)", "($self, header_json)"]
    error(type, "Sub", (Writer,), {}, kind=TypeError)  # not subclassable
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    assert w.begin("comments") is None
    assert w.rows(ROW.join("[]")) == 1
    assert w.rows("[]") == w.rows(" \t[ ]\n") == 0
    assert w.end() == compact(record(TEXT))
    w.begin("control_rows/A")
    assert w.rows('[ [ [ 1 , 2 ] ] ,\n\t[{"k":{"z":[]},"A":false,"k":1}], [18446744073709551616], [-0], [1E2]]') == 5
    canonical = b'[[1,2]]\n[{"A":false,"k":1}]\n[1.8446744073709552e19]\n[-0.0]\n[100.0]\n'
    assert w.end() == compact(record(canonical))
    # Header keys sort, the last of duplicates wins, and the file's own keys cannot be overridden.
    manifest = w.finish('{"source":"db1","format":"x","members":[],"a":{"y":1,"x":2,"y":3},"z":[-1,"a\\nb",[],{},{"y":null}]}')
    assert manifest == compact({"a": {"x": 2, "y": 3}, "format": "quarlen/1", "source": "db1", "z": [-1, "a\nb", [], {}, {"y": None}], "members": {
        "comments": record(TEXT), "control_rows/A": record(canonical)}})
    with zipfile.ZipFile(path) as z:
        assert [(i.filename, z.read(i)) for i in z.infolist()] == [
            ("comments.jsonl", TEXT), ("control_rows/A.jsonl", canonical),
            ("manifest.json", json.dumps(json.loads(manifest), indent=2, ensure_ascii=False).encode())]
    assert _native.manifest(str(path)) == manifest


NOT_STR = "argument '{}': '{}' object cannot be converted to 'PyString'"
# Refused while "comments" is open; each leaves the writer as it was.
REFUSED = [
    (lambda w: w.begin("objects"), ValueError, "objects: end the member being written first"),
    (lambda w: w.rows("[[1,2,3,4],[1,2,3]]"), ValueError, "comments row 2: 3 values, the format has 4"),
    (lambda w: w.rows(b"[]"), TypeError, NOT_STR.format("rows_json", "bytes")),
    (lambda w: w.end(1), TypeError, "Writer.end() takes no arguments (1 given)"),
    (lambda w: w.finish(None), TypeError, NOT_STR.format("header_json", "NoneType")),
]


def test_refused_calls_change_nothing(tmp_path):
    rows = [[["A", "B", "C", "1"], ["A", "B", "C", 2]], [["x", {"b": [1.5], "a": None}, True, False]]]
    w = Writer(tmp_path / "noisy.quarlen")
    assert [error(w.rows, "[]"), error(w.finish, '"text"')] == ["begin a member first", "header: a JSON object"]
    w.begin("comments")
    for some in rows:
        for call, kind, message in REFUSED:
            assert error(call, w, kind=kind) == message
        with pytest.raises(UnicodeEncodeError):
            w.rows('[["\ud800"]]')
        w.rows(type("Text", (str,), {})(json.dumps(some)))
    w.end()
    assert [error(w.end), error(w.finish, "{")] == ["no member is open", "header: EOF while parsing an object at line 1 column 2"]
    manifest = w.finish('{"run":1}')
    assert [error(w.begin, "comments"), error(w.finish, "{}")] == ["comments: written already", "the file is already finished"]
    assert manifest == write(tmp_path / "plain.quarlen", [("comments", rows[0] + rows[1])], '{"run":1}')
    assert (tmp_path / "noisy.quarlen").read_bytes() == (tmp_path / "plain.quarlen").read_bytes()


def on_thread(call):
    outcome = {}

    def body():
        try:
            outcome["result"] = call()
        except BaseException as e:  # without its frames, which would keep the writer alive
            outcome["raised"] = e.with_traceback(None)

    (thread := threading.Thread(target=body)).start()
    thread.join()
    return outcome


def test_a_writer_belongs_to_its_thread(tmp_path, monkeypatch):
    w = Writer(tmp_path / "a.quarlen")
    w.begin("comments")
    for call in (lambda: w.rows(5), w.end, lambda: w.finish("{}")):
        (panic,) = on_thread(call).values()
        assert (type(panic).__name__, type(panic).__bases__, len(panic.args)) == ("PanicException", (BaseException,), 1)
        assert "_native::Writer is unsendable, but sent to another thread" in panic.args[0]
    assert w.rows(ROW.join("[]")) == 1  # and the writer works on in its own thread
    assert w.end() == compact(record(TEXT))
    # Dropped on another thread: reported, and the file is never closed.
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append((u.exc_type, str(u.exc_value))))
    box = [Writer(tmp_path / "b.quarlen")]
    assert on_thread(box.clear) == {"result": None}
    assert reports == [(RuntimeError, "_native::Writer is unsendable, but is being dropped on another thread")]
    assert not zipfile.is_zipfile(tmp_path / "b.quarlen")


def test_a_snapshot_belongs_to_its_thread(tmp_path, capfd):
    path = tmp_path / "a.quarlen"
    with create(path) as snapshot:
        raised = on_thread(lambda: snapshot.write("comments", [["A", "T", "C", "x"]]))["raised"]
        assert (type(raised), str(raised)) == (RuntimeError, f"{path}: a snapshot is written by the thread that created it")
        snapshot.write("comments", [])  # refused without a trace: the snapshot goes on
    assert (load(path, "comments"), capfd.readouterr()) == ([], ("", ""))
