"""Writer: the stored bytes, refused calls that change nothing, failed writes, and its thread."""

import hashlib
import json
import sys
import threading
import zipfile

import pytest

from quarlen import _native
from quarlen._native import Writer

from archives import compact, entries, error, record

ROW = '["APP","T1","C1","note"]'
TEXT = f"{ROW}\n".encode()


def test_class_surface():
    assert (Writer.__text_signature__, Writer.__module__, Writer.__bases__) == ("(path)", "builtins", (object,))
    assert [getattr(Writer, m).__text_signature__ for m in ["begin", "rows", "end", "finish"]] == [
        "($self, name)", "($self, rows_json)", "($self)", "($self, header_json)"]
    error(type, "Sub", (Writer,), {}, kind=TypeError)  # not subclassable


def test_worked_example_golden_bytes(tmp_path):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    assert w.begin("comments") is None
    assert w.rows(ROW.join("[]")) == 1
    assert w.rows("[]") == w.rows(" \t[ ]\n") == 0
    digest = "e14a54c05176c516e0751b6c6e362626ae5c087878455e11f0fcd590c630ac2c"
    assert w.end() == '{"bytes":25,"rows":1,"sha256":"%s"}' % digest
    # Header keys sort, the last of duplicates wins, and the file's own keys cannot be overridden.
    manifest = w.finish('{"source":"db1","format":"x","members":[],"a":{"y":1,"x":2,"y":3}}')
    assert manifest == ('{"a":{"x":2,"y":3},"format":"quarlen/1","members":{"comments":{"bytes":25,"rows":1,'
                        '"sha256":"%s"}},"source":"db1"}' % digest)
    assert entries(path) == [("comments.jsonl", TEXT), ("manifest.json", json.dumps(
        json.loads(manifest), indent=2, ensure_ascii=False, sort_keys=True).encode())]
    data = path.read_bytes()
    assert (len(data), hashlib.sha256(data).hexdigest()) == (
        407, "ca99849988001aa8dfea863c2325addc0d57a109ede4d88bb9c3840deb2c0da0")
    assert _native.manifest(str(path)) == manifest


@pytest.mark.parametrize(
    "rows_json, text",
    [
        ('[ [ [ 1 , 2 ] ] ,\n\t[ "a" ] ]', b'[[1,2]]\n["a"]\n'),
        ('[[{"k":{"z":[],"y":{}},"b":true,"A":false,"k":1}]]', b'[{"A":false,"b":true,"k":1}]\n'),
        ("[[18446744073709551615],[18446744073709551616],[-9223372036854775808],[1.50],[2.0],[-0],[null],[1E2],[1.5e-7]]",
         b"[18446744073709551615]\n[1.8446744073709552e19]\n[-9223372036854775808]\n[1.5]\n[2.0]\n[-0.0]\n[null]\n"
         b"[100.0]\n[1.5e-7]\n"),
        ("[" + "[" * 126 + "]" * 126 + "]", b"[" * 126 + b"]" * 126 + b"\n"),  # the deepest row
    ],
)
def test_canonical_text(tmp_path, rows_json, text):
    w = Writer(tmp_path / "a.quarlen")
    w.begin("control_rows/A")
    w.rows(rows_json)
    assert w.end() == compact(record(text))
    w.finish("{}")
    assert entries(tmp_path / "a.quarlen")[0] == ("control_rows/A.jsonl", text)


def not_str(argument, type_name):
    return f"argument '{argument}': '{type_name}' object cannot be converted to 'PyString'"


# Refused while "comments" is open; each leaves the writer as it was.
REFUSED = [
    (lambda w: w.begin("objects"), ValueError, "objects: end the member being written first"),
    (lambda w: w.begin("bogus/X"), ValueError, "bogus/X: not a member of quarlen/1"),
    (lambda w: w.finish("not json"), ValueError, "end the member being written first"),
    (lambda w: w.rows("[[1,2,3,4]"), ValueError, "rows are not JSON: EOF while parsing a list at line 1 column 11"),
    (lambda w: w.rows("[[1,2,3,4]] [[1,2,3,4]]"), ValueError, "rows are not JSON: trailing characters at line 1 column 13"),
    (lambda w: w.rows('[[1,2,3,"\x01"]]'), ValueError,
     "rows are not JSON: control character (\\u0000-\\u001F) found while parsing a string at line 1 column 10"),
    (lambda w: w.rows('[["\\ud800",2,3,4]]'), ValueError, "rows are not JSON: lone leading surrogate in hex escape at line 1 column 4"),
    (lambda w: w.rows("[" + "[" * 127 + "]" * 127 + "]"), ValueError, "rows are not JSON: recursion limit exceeded at line 1 column 128"),
    (lambda w: w.rows("[[1,2,3,4],[1,2,3]]"), ValueError, "comments row 2: 3 values, the format has 4"),
    (lambda w: w.rows(b"[]"), TypeError, not_str("rows_json", "bytes")),
    (lambda w: w.end(1), TypeError, "Writer.end() takes no arguments (1 given)"),
    (lambda w: w.finish(None), TypeError, not_str("header_json", "NoneType")),
]


def test_refused_calls_change_nothing(tmp_path):
    good = ['[["A","B","C","1"],["A","B","C",2]]', '[["x",{"b":[1.5],"a":null},true,false]]', "[]"]

    def write(path, refuse):
        w = Writer(path)
        if refuse:
            assert [error(w.rows, good[0]), error(w.finish, '"text"'), error(w.begin, "objects/APP")] == [
                "begin a member first", "header: a JSON object", "objects/APP: objects takes no key"]
        w.begin("comments")
        for text in good:
            for call, kind, message in REFUSED if refuse else []:
                assert error(call, w, kind=kind) == message
            if refuse:
                with pytest.raises(UnicodeEncodeError):
                    w.rows('[["\ud800"]]')
            w.rows(type("Text", (str,), {})(text))
        w.end()
        if refuse:
            assert [error(w.end), error(w.finish, "{")] == ["no member is open", "header: EOF while parsing an object at line 1 column 2"]
        manifest = w.finish('{"run":1}')
        if refuse:
            assert [error(w.begin, "comments"), error(w.finish, "{}")] == ["comments: written already", "the file is already finished"]
        return manifest

    assert write(tmp_path / "noisy.quarlen", True) == write(tmp_path / "plain.quarlen", False)
    assert (tmp_path / "noisy.quarlen").read_bytes() == (tmp_path / "plain.quarlen").read_bytes()
    assert json.loads(_native.verify(str(tmp_path / "noisy.quarlen")))["ok"] is True


def on_thread(call):
    outcome = {}

    def body():
        try:
            outcome["result"] = call()
        except BaseException as e:  # without its frames, which would keep the writer alive
            outcome["raised"] = e.with_traceback(None)

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    return outcome


def test_a_writer_belongs_to_its_thread(tmp_path, monkeypatch):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
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
