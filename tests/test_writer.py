import hashlib
import json
import os
import subprocess
import sys
import textwrap
import threading
import weakref
import zipfile

import pytest

from quarlen import _native
from quarlen._native import Writer

EMPTY_SHA256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"
EMPTY_ZIP = b"PK\x05\x06" + bytes(18)
ROW = '["APP","T1","C1","note"]'


def compact(value) -> str:
    """The module's compact form for values without floats and with ASCII-ordered keys."""
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False, sort_keys=True)


def pretty(value) -> str:
    return json.dumps(value, indent=2, ensure_ascii=False, sort_keys=True)


def record(text: bytes, rows: int) -> str:
    return compact({"bytes": len(text), "rows": rows, "sha256": hashlib.sha256(text).hexdigest()})


def entries(path) -> list[tuple[str, bytes]]:
    with zipfile.ZipFile(path) as z:
        return [(info.filename, z.read(info)) for info in z.infolist()]


def refused(call, message, exc=ValueError):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message


# --- the class -------------------------------------------------------------------------------


def test_class_surface():
    assert Writer.__text_signature__ == "(path)"
    assert Writer.__doc__ == (
        "Writes a .quarlen file: `begin(name)`, `rows(json)` as often as needed, `end()`, "
        "then `finish(header_json)`."
    )
    assert Writer.__module__ == "builtins"
    assert Writer.__name__ == "Writer"
    assert Writer.__bases__ == (object,)
    assert _native.Writer is Writer
    assert {"__init__", "__repr__", "__enter__", "__exit__", "close"}.isdisjoint(vars(Writer))


@pytest.mark.parametrize(
    "name, signature",
    [
        ("begin", "($self, name)"),
        ("rows", "($self, rows_json)"),
        ("end", "($self)"),
        ("finish", "($self, header_json)"),
    ],
)
def test_method_docs(name, signature):
    method = getattr(Writer, name)
    assert method.__doc__ is None
    assert method.__text_signature__ == signature
    assert method.__name__ == name


def test_not_subclassable():
    with pytest.raises(TypeError) as info:
        type("Sub", (Writer,), {})
    assert type(info.value) is TypeError


def test_no_attribute_dict_or_weakref(tmp_path):
    w = Writer(tmp_path / "a.quarlen")
    assert not hasattr(w, "__dict__")
    with pytest.raises(AttributeError):
        w.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(w)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "Writer.__new__() missing 1 required positional argument: 'path'"),
        ((b"x.quarlen",), {}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (("a", "b"), {}, "Writer.__new__() takes 1 positional arguments but 2 were given"),
        (("a",), {"bogus": 1}, "Writer.__new__() got an unexpected keyword argument 'bogus'"),
        ((), {"bogus": 1}, "Writer.__new__() got an unexpected keyword argument 'bogus'"),
        (("a",), {"path": "b"}, "Writer.__new__() got multiple values for argument 'path'"),
    ],
)
def test_constructor_binding_errors(tmp_path, monkeypatch, args, kwargs, message):
    monkeypatch.chdir(tmp_path)
    refused(lambda: Writer(*args, **kwargs), message, TypeError)
    assert list(tmp_path.iterdir()) == []


def test_constructor_refuses_bytes_from_path_protocol(tmp_path):
    class BytesPath:
        def __fspath__(self):
            return os.fsencode(tmp_path / "a.quarlen")

    refused(lambda: Writer(BytesPath()), "argument 'path': 'bytes' object cannot be converted to 'PyString'", TypeError)
    assert list(tmp_path.iterdir()) == []


def test_constructor_refuses_non_path(tmp_path):
    with pytest.raises(TypeError) as info:
        Writer(5)
    assert str(info.value).startswith("argument 'path': ")


def test_constructor_takes_path_object_by_keyword(tmp_path):
    path = tmp_path / "kw.quarlen"
    w = Writer(path=path)
    assert w.finish("{}") == '{"format":"quarlen/1","members":{}}'
    assert _native.manifest(str(path)) == '{"format":"quarlen/1","members":{}}'


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda w: w.begin(), "Writer.begin() missing 1 required positional argument: 'name'"),
        (lambda w: w.begin("a", "b"), "Writer.begin() takes 1 positional arguments but 2 were given"),
        (lambda w: w.begin(nam="objects"), "Writer.begin() got an unexpected keyword argument 'nam'"),
        (lambda w: w.begin("objects", name="objects"), "Writer.begin() got multiple values for argument 'name'"),
        (lambda w: w.begin(5), "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (lambda w: w.rows(5), "argument 'rows_json': 'int' object cannot be converted to 'PyString'"),
        (lambda w: w.rows(b"[]"), "argument 'rows_json': 'bytes' object cannot be converted to 'PyString'"),
        (lambda w: w.rows(), "Writer.rows() missing 1 required positional argument: 'rows_json'"),
        (lambda w: w.rows("[]", "[]"), "Writer.rows() takes 1 positional arguments but 2 were given"),
        (lambda w: w.rows(json="[]"), "Writer.rows() got an unexpected keyword argument 'json'"),
        (lambda w: w.finish(), "Writer.finish() missing 1 required positional argument: 'header_json'"),
        (lambda w: w.finish(None), "argument 'header_json': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda w: w.finish("{}", header="{}"), "Writer.finish() got an unexpected keyword argument 'header'"),
        (lambda w: w.end(1), "Writer.end() takes no arguments (1 given)"),
    ],
)
def test_method_binding_errors_leave_state_unchanged(tmp_path, call, message):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    w.begin("comments")
    assert w.rows(f"[{ROW}]") == 1
    refused(lambda: call(w), message, TypeError)
    # The member is still open with its one row; the refused call wrote nothing.
    assert w.rows(rows_json=f"[{ROW}]") == 1
    assert w.end() == record(f"{ROW}\n{ROW}\n".encode(), 2)
    w.finish(header_json="{}")
    assert entries(path)[0] == ("comments.jsonl", f"{ROW}\n{ROW}\n".encode())


def test_text_arguments_accept_str_subclass(tmp_path):
    class Text(str):
        pass

    w = Writer(tmp_path / "a.quarlen")
    assert w.begin(Text("comments")) is None
    assert w.rows(Text(f"[{ROW}]")) == 1
    w.end()
    assert json.loads(w.finish(Text('{"k":1}')))["k"] == 1


def test_lone_surrogate_raises_unicode_error(tmp_path):
    w = Writer(tmp_path / "a.quarlen")
    with pytest.raises(UnicodeEncodeError):
        w.begin("control_rows/\ud800")
    with pytest.raises(UnicodeEncodeError):
        w.rows('[["\ud800"]]')
    w.begin("control_rows/A")
    w.end()
    assert list(json.loads(w.finish("{}"))["members"]) == ["control_rows/A"]


# --- results and the worked example ----------------------------------------------------------


def test_results_are_per_call(tmp_path):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    assert w.begin("comments") is None
    assert w.rows(f"[{ROW},{ROW},{ROW}]") == 3
    assert w.rows(f"[{ROW},{ROW}]") == 2
    assert w.rows("[]") == 0
    assert w.rows(" \t[ ]\n") == 0
    text = f"{ROW}\n".encode() * 5
    assert w.end() == record(text, 5)
    manifest = w.finish("{}")
    assert manifest == compact({"format": "quarlen/1", "members": {"comments": json.loads(record(text, 5))}})
    assert _native.manifest(str(path)) == manifest


def test_worked_example(tmp_path):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    w.begin("comments")
    assert w.rows('[["APP","T1","C1","note"]]') == 1
    digest = "e14a54c05176c516e0751b6c6e362626ae5c087878455e11f0fcd590c630ac2c"
    assert w.end() == '{"bytes":25,"rows":1,"sha256":"%s"}' % digest
    assert w.finish('{"source":"db1"}') == (
        '{"format":"quarlen/1","members":{"comments":{"bytes":25,"rows":1,"sha256":"%s"}},"source":"db1"}' % digest
    )
    manifest_text = "\n".join(
        [
            "{",
            '  "format": "quarlen/1",',
            '  "members": {',
            '    "comments": {',
            '      "bytes": 25,',
            '      "rows": 1,',
            f'      "sha256": "{digest}"',
            "    }",
            "  },",
            '  "source": "db1"',
            "}",
        ]
    )
    assert entries(path) == [
        ("comments.jsonl", b'["APP","T1","C1","note"]\n'),
        ("manifest.json", manifest_text.encode()),
    ]
    assert hashlib.sha256(b'["APP","T1","C1","note"]\n').hexdigest() == digest


@pytest.mark.parametrize(
    "header, expected",
    [
        ("{}", {}),
        ('{"zeta":1,"format":"x","alpha":2}', {"alpha": 2, "zeta": 1}),
        ('{"members":[1,2],"format":{"a":1}}', {}),
        ('{"a":1,"a":2,"b":{"y":1,"x":2,"y":3}}', {"a": 2, "b": {"x": 2, "y": 3}}),
        ('{"h":[{"d":[],"c":{}}],"n":null,"s":"é\\n/"}', {"h": [{"c": {}, "d": []}], "n": None, "s": "é\n/"}),
    ],
)
def test_header_keys(tmp_path, header, expected):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    w.begin("objects")
    w.end()
    members = {"objects": {"bytes": 0, "rows": 0, "sha256": EMPTY_SHA256}}
    manifest = {**expected, "format": "quarlen/1", "members": members}
    assert w.finish(header) == compact(manifest)
    assert entries(path)[-1] == ("manifest.json", pretty(manifest).encode())


def test_header_order_of_top_level_keys(tmp_path):
    w = Writer(tmp_path / "a.quarlen")
    text = w.finish('{"zeta":1,"format":"old","alpha":2}')
    assert text == '{"alpha":2,"format":"quarlen/1","members":{},"zeta":1}'


def test_empty_manifest_text(tmp_path):
    path = tmp_path / "a.quarlen"
    Writer(path).finish("{}")
    assert entries(path) == [("manifest.json", b'{\n  "format": "quarlen/1",\n  "members": {}\n}')]


def test_empty_member(tmp_path):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    w.begin("objects")
    assert w.rows("[]") == 0
    assert w.end() == '{"bytes":0,"rows":0,"sha256":"%s"}' % EMPTY_SHA256
    w.finish("{}")
    assert entries(path)[0] == ("objects.jsonl", b"")
    assert json.loads(_native.read(str(path), "objects")) == []


def test_keyed_members_and_record_order(tmp_path):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    for name in ["control_rows/X1", "comments", "control_rows/A", "plscope_identifiers/Ünïcode"]:
        w.begin(name)
        w.end()
    members = json.loads(w.finish("{}"))["members"]
    assert list(members) == ["comments", "control_rows/A", "control_rows/X1", "plscope_identifiers/Ünïcode"]
    # Entries stand in the order of the begin calls, manifest last.
    assert [name for name, _ in entries(path)] == [
        "control_rows/X1.jsonl",
        "comments.jsonl",
        "control_rows/A.jsonl",
        "plscope_identifiers/Ünïcode.jsonl",
        "manifest.json",
    ]


def test_same_calls_give_same_file(tmp_path):
    def write(path):
        w = Writer(path)
        w.begin("comments")
        w.rows(f"[{ROW},{ROW}]")
        w.end()
        w.begin("control_rows/HR")
        w.rows('[[{"b":1,"a":2}]]')
        w.end()
        w.finish('{"x":1}')
        return path.read_bytes()

    assert write(tmp_path / "a.quarlen") == write(tmp_path / "b.quarlen")


# --- creating and discarding -----------------------------------------------------------------


def test_create_truncates_at_once(tmp_path):
    path = tmp_path / "a.quarlen"
    path.write_bytes(b"old content" * 100)
    w = Writer(str(path))
    assert path.stat().st_size == 0
    w.begin("comments")
    assert path.stat().st_size == 0
    del w
    assert entries(path) == [("comments.jsonl", b"")]


def test_create_in_missing_directory(tmp_path):
    path = str(tmp_path / "missing" / "a.quarlen")
    refused(lambda: Writer(path), f"{path}: No such file or directory (os error 2)")
    assert not os.path.exists(path)


def test_create_path_with_nul(tmp_path):
    path = str(tmp_path / "a\0b.quarlen")
    refused(lambda: Writer(path), f"{path}: file name contained an unexpected NUL byte")
    assert list(tmp_path.iterdir()) == []


def test_create_relative_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Writer("rel.quarlen").finish("{}")
    assert entries(tmp_path / "rel.quarlen") == [("manifest.json", b'{\n  "format": "quarlen/1",\n  "members": {}\n}')]


def test_discard_after_create_leaves_empty_zip(tmp_path):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    del w
    assert path.read_bytes() == EMPTY_ZIP
    with zipfile.ZipFile(path) as z:
        assert z.namelist() == []


def test_discard_after_rows_leaves_member_without_manifest(tmp_path):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    w.begin("comments")
    w.end()
    w.begin("objects")
    w.rows('[[1,"APP","T","TABLE","VALID","N",null],[2,"APP","U","TABLE","VALID","N",null]]')
    del w
    text = b'[1,"APP","T","TABLE","VALID","N",null]\n[2,"APP","U","TABLE","VALID","N",null]\n'
    assert entries(path) == [("comments.jsonl", b""), ("objects.jsonl", text)]
    with zipfile.ZipFile(path) as z:
        assert z.testzip() is None
    refused(lambda: _native.manifest(str(path)), f"{path}: no manifest (not a .quarlen file, or not finished)")


# --- the state table -------------------------------------------------------------------------
#
# Each state is reached by the same calls; after a refused call the file is completed the same
# way as without it, so any change the refusal made shows in the finished file.

COMMENTS_TEXT = f"{ROW}\n".encode()


def make(state, path):
    w = Writer(path)
    if state == "idle":
        return w
    w.begin("objects")
    w.end()
    w.begin("comments")
    assert w.rows(f"[{ROW}]") == 1
    if state == "writing":
        return w
    w.end()
    w.finish('{"h":1}')
    return w


def complete(state, w, path):
    """Completes the file the same way for every test of a state and checks the result."""
    objects = json.loads(record(b"", 0))
    if state == "idle":
        assert w.finish("{}") == '{"format":"quarlen/1","members":{}}'
        assert entries(path) == [("manifest.json", pretty({"format": "quarlen/1", "members": {}}).encode())]
        return
    if state == "writing":
        assert w.rows(f"[{ROW}]") == 1
        assert w.end() == record(COMMENTS_TEXT * 2, 2)
        comments = json.loads(record(COMMENTS_TEXT * 2, 2))
        assert w.finish('{"h":1}') == compact(
            {"format": "quarlen/1", "h": 1, "members": {"comments": comments, "objects": objects}}
        )
        assert entries(path)[:2] == [("objects.jsonl", b""), ("comments.jsonl", COMMENTS_TEXT * 2)]
        return
    # Finished: nothing further is possible and the file is as the first finish left it.
    comments = json.loads(record(COMMENTS_TEXT, 1))
    manifest = {"format": "quarlen/1", "h": 1, "members": {"comments": comments, "objects": objects}}
    refused(lambda: w.begin("units"), "the file is already finished")
    refused(lambda: w.end(), "no member is open")
    refused(lambda: w.finish("{}"), "the file is already finished")
    assert entries(path) == [
        ("objects.jsonl", b""),
        ("comments.jsonl", COMMENTS_TEXT),
        ("manifest.json", pretty(manifest).encode()),
    ]


LONG_NAME = "control_rows/" + "K" * 65517

STATE_TABLE = [
    ("idle", lambda w: w.rows(f"[{ROW}]"), "begin a member first"),
    ("idle", lambda w: w.rows("[]"), "begin a member first"),
    ("idle", lambda w: w.rows("x"), "rows are not JSON: expected value at line 1 column 1"),
    ("idle", lambda w: w.end(), "no member is open"),
    ("idle", lambda w: w.finish("[]"), "header: a JSON object"),
    ("idle", lambda w: w.finish('"text"'), "header: a JSON object"),
    ("idle", lambda w: w.finish(""), "header: EOF while parsing a value at line 1 column 1"),
    ("idle", lambda w: w.finish("{} x"), "header: trailing characters at line 1 column 4"),
    ("idle", lambda w: w.finish('{"a":1,}'), "header: trailing comma at line 1 column 8"),
    ("idle", lambda w: w.begin("bogus"), "bogus: not a member of quarlen/1"),
    ("idle", lambda w: w.begin("Objects"), "Objects: not a member of quarlen/1"),
    ("idle", lambda w: w.begin(""), ": not a member of quarlen/1"),
    ("idle", lambda w: w.begin("objects/APP"), "objects/APP: objects takes no key"),
    ("idle", lambda w: w.begin("control_rows"), "control_rows: control_rows needs a key after a slash (control_rows/OWNER)"),
    ("idle", lambda w: w.begin("control_rows/A..B"), "control_rows/A..B: control_rows needs a key after a slash (control_rows/OWNER)"),
    ("idle", lambda w: w.begin(LONG_NAME), f"{LONG_NAME}: the name is too long for the archive (over 65535 bytes)"),
    ("writing", lambda w: w.begin("units"), "units: end the member being written first"),
    ("writing", lambda w: w.begin("comments"), "comments: end the member being written first"),
    ("writing", lambda w: w.begin("objects"), "objects: end the member being written first"),
    ("writing", lambda w: w.begin(LONG_NAME), f"{LONG_NAME}: end the member being written first"),
    ("writing", lambda w: w.begin("bogus/X"), "bogus/X: not a member of quarlen/1"),
    ("writing", lambda w: w.finish("{}"), "end the member being written first"),
    ("writing", lambda w: w.finish("not json"), "end the member being written first"),
    ("writing", lambda w: w.rows("[1] x"), "rows are not JSON: trailing characters at line 1 column 5"),
    ("writing", lambda w: w.rows("[[1,2,3,4],]"), "rows are not JSON: trailing comma at line 1 column 12"),
    ("writing", lambda w: w.rows("{}"), "rows are not JSON: invalid type: map, expected a sequence at line 1 column 1"),
    ("writing", lambda w: w.rows("[[1,2]]"), "comments row 1: 2 values, the format has 4"),
    ("writing", lambda w: w.rows("[[1,2,3,4],{}]"), "comments row 2: not a list of values"),
    ("writing", lambda w: w.rows("[[1,2,3,4],[1,2,3,4],null]"), "comments row 3: not a list of values"),
    ("finished", lambda w: w.begin("comments"), "comments: written already"),
    ("finished", lambda w: w.begin("objects"), "objects: written already"),
    ("finished", lambda w: w.begin("units"), "the file is already finished"),
    ("finished", lambda w: w.begin(LONG_NAME), "the file is already finished"),
    ("finished", lambda w: w.begin("units/X"), "units/X: units takes no key"),
    ("finished", lambda w: w.rows(f"[{ROW}]"), "begin a member first"),
    ("finished", lambda w: w.rows("[1,"), "rows are not JSON: EOF while parsing a value at line 1 column 4"),
    ("finished", lambda w: w.end(), "no member is open"),
    ("finished", lambda w: w.finish("{}"), "the file is already finished"),
    ("finished", lambda w: w.finish("[]"), "header: a JSON object"),
    ("finished", lambda w: w.finish("{"), "header: EOF while parsing an object at line 1 column 2"),
]


@pytest.mark.parametrize("state, call, message", STATE_TABLE)
def test_state_table_refusals(tmp_path, state, call, message):
    path = tmp_path / "a.quarlen"
    w = make(state, path)
    refused(lambda: call(w), message)
    refused(lambda: call(w), message)
    complete(state, w, path)


@pytest.mark.parametrize("state", ["idle", "writing", "finished"])
def test_state_table_unrefused(tmp_path, state):
    complete(state, make(state, tmp_path / "a.quarlen"), tmp_path / "a.quarlen")


def test_idle_begin_end_cycle(tmp_path):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    w.begin("objects")
    w.end()
    refused(lambda: w.begin("objects"), "objects: written already")
    refused(lambda: w.end(), "no member is open")
    w.begin("units")
    refused(lambda: w.begin("units"), "units: end the member being written first")
    refused(lambda: w.begin("objects"), "objects: end the member being written first")
    w.end()
    refused(lambda: w.finish("[1]"), "header: a JSON object")
    assert list(json.loads(w.finish("{}"))["members"]) == ["objects", "units"]


def test_finish_twice_keeps_file(tmp_path):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    w.begin("comments")
    w.rows(f"[{ROW}]")
    w.end()
    first = w.finish('{"n":1}')
    data = path.read_bytes()
    refused(lambda: w.finish('{"n":2}'), "the file is already finished")
    refused(lambda: w.finish("x"), "header: expected value at line 1 column 1")
    del w
    assert path.read_bytes() == data
    assert _native.manifest(str(path)) == first
    assert json.loads(_native.verify(str(path)))["ok"] is True


def test_case_sensitive_written_check(tmp_path):
    w = Writer(tmp_path / "a.quarlen")
    for name in ["control_rows/app", "control_rows/APP"]:
        w.begin(name)
        w.end()
    refused(lambda: w.begin("control_rows/app"), "control_rows/app: written already")
    assert list(json.loads(w.finish("{}"))["members"]) == ["control_rows/APP", "control_rows/app"]


# --- entry names at the 16-bit limit ---------------------------------------------------------


@pytest.mark.parametrize(
    "key, accepted",
    [
        ("K" * 65516, True),  # entry name of 65,535 bytes
        ("K" * 65517, False),
        ("é" * 32758, True),  # 13 + 65,516 bytes + ".jsonl"
        ("é" * 32758 + "K", False),
        ("é" * 32759, False),
    ],
)
def test_long_names(tmp_path, key, accepted):
    path = tmp_path / "a.quarlen"
    name = "control_rows/" + key
    w = Writer(path)
    w.begin("units")
    w.end()
    if accepted:
        w.begin(name)
        w.rows('[["r"]]')
        w.end()
        members = json.loads(w.finish("{}"))["members"]
        assert list(members) == [name, "units"]
        assert [n for n, _ in entries(path)] == ["units.jsonl", name + ".jsonl", "manifest.json"]
        assert json.loads(_native.verify(str(path)))["ok"] is True
        return
    refused(lambda: w.begin(name), f"{name}: the name is too long for the archive (over 65535 bytes)")
    refused(lambda: w.rows('[["r"]]'), "begin a member first")
    refused(lambda: w.end(), "no member is open")
    w.begin("control_rows/short")
    w.rows('[["r"]]')
    w.end()
    assert list(json.loads(w.finish("{}"))["members"]) == ["control_rows/short", "units"]
    assert [n for n, _ in entries(path)] == ["units.jsonl", "control_rows/short.jsonl", "manifest.json"]


# --- canonical member text -------------------------------------------------------------------


def stored(tmp_path, rows_json, member="control_rows/A"):
    path = tmp_path / "canon.quarlen"
    w = Writer(path)
    w.begin(member)
    w.rows(rows_json)
    w.end()
    w.finish("{}")
    return dict(entries(path))[member + ".jsonl"]


@pytest.mark.parametrize(
    "rows_json, text",
    [
        ('[ [ [ 1 , 2 ] ] ,\n\t[ "a" ] ]', b'[[1,2]]\n["a"]\n'),
        ('[[{"b":1,"a":2}]]', b'[{"a":2,"b":1}]\n'),
        ('[[{"a":1,"a":2}]]', b'[{"a":2}]\n'),
        ('[[{"k":{"z":[],"y":{}},"b":true,"A":false}]]', b'[{"A":false,"b":true,"k":{"y":{},"z":[]}}]\n'),
        ('[["line\\nfeed"]]', b'["line\\nfeed"]\n'),
        ('[["\\u001f\\u0000\\b\\t\\f\\r\\"\\\\"]]', b'["\\u001f\\u0000\\b\\t\\f\\r\\"\\\\"]\n'),
        ('[["\\/\\u007f/\x7f"]]', b'["/\x7f/\x7f"]\n'),
        ('[["\\u00e9é\\ud83d\\ude00"]]', '["éé\U0001F600"]\n'.encode()),
        ("[[18446744073709551615]]", b"[18446744073709551615]\n"),
        ("[[18446744073709551616]]", b"[1.8446744073709552e19]\n"),
        ("[[-9223372036854775808]]", b"[-9223372036854775808]\n"),
        ("[[1.50]]", b"[1.5]\n"),
        ("[[2.0]]", b"[2.0]\n"),
        ("[[2]]", b"[2]\n"),
        ("[[-0]]", b"[-0.0]\n"),
        ("[[null]]", b"[null]\n"),
        ("[[[]]]", b"[[]]\n"),
    ],
)
def test_canonical_text(tmp_path, rows_json, text):
    assert stored(tmp_path, rows_json) == text


def test_large_double_is_a_double(tmp_path):
    (value,) = json.loads(stored(tmp_path, "[[18446744073709551616]]"))
    assert isinstance(value, float) and value == 18446744073709551616.0


def test_one_call_or_row_by_row_gives_same_record(tmp_path):
    rows = [["APP", f"T{i}", None, {"z": i, "a": [i, "é\n"]}] for i in range(50)]
    one = Writer(tmp_path / "one.quarlen")
    one.begin("comments")
    assert one.rows(json.dumps(rows, indent=1)) == 50
    many = Writer(tmp_path / "many.quarlen")
    many.begin("comments")
    for row in rows:
        assert many.rows(json.dumps([row])) == 1
    assert one.end() == many.end()
    one.finish("{}")
    many.finish("{}")
    assert entries(tmp_path / "one.quarlen") == entries(tmp_path / "many.quarlen")
    text = dict(entries(tmp_path / "one.quarlen"))["comments.jsonl"]
    assert text == "".join(compact(row) + "\n" for row in rows).encode()


def nested(depth: int) -> str:
    """An outer array holding one row whose single value completes `depth` levels in all."""
    return "[[" + "[" * (depth - 2) + "]" * (depth - 2) + "]]"


def test_nesting_limit(tmp_path):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    w.begin("control_rows/A")
    assert w.rows(nested(127)) == 1
    with pytest.raises(ValueError) as info:
        w.rows(nested(128))
    message = str(info.value)
    assert message.startswith("rows are not JSON: ") and "recursion limit exceeded" in message
    assert w.end() == record(nested(127)[1:-1].encode() + b"\n", 1)


# --- refused input changes nothing -----------------------------------------------------------

BAD_CALLS = [
    lambda w: w.rows("[[1,2,3,4]"),
    lambda w: w.rows("[[1,2,3,4]] [[1,2,3,4]]"),
    lambda w: w.rows("[[1,2,3,4],[1,2,3]]"),
    lambda w: w.rows('[[1,2,3,4],"x"]'),
    lambda w: w.rows('{"a":[1,2,3,4]}'),
    lambda w: w.rows('[[1,2,3,"\x01"]]'),
    lambda w: w.rows("[[01,2,3,4]]"),
    lambda w: w.rows("[[1e999,2,3,4]]"),
    lambda w: w.rows('[["\\ud800",2,3,4]]'),
    lambda w: w.rows(5),
    lambda w: w.rows(None),
    lambda w: w.begin("objects"),
    lambda w: w.begin(5),
    lambda w: w.finish("{}"),
    lambda w: w.finish(7),
]


def test_refused_calls_change_nothing(tmp_path):
    good = ['[["A","B","C","1"],["A","B","C",2]]', '[["x",{"b":[1.5],"a":null},true,false]]', "[]"]

    def write(path, interleave):
        w = Writer(path)
        for member in ["comments", "control_rows/HR"]:
            w.begin(member)
            for text in good:
                if member == "control_rows/HR":
                    text = json.dumps([[row] for row in json.loads(text)])
                for bad in BAD_CALLS if interleave else []:
                    with pytest.raises((ValueError, TypeError)):
                        bad(w)
                w.rows(text)
            if interleave:
                with pytest.raises(ValueError):
                    w.finish("{}")
            w.end()
            if interleave:
                with pytest.raises(ValueError):
                    w.end()
                with pytest.raises(ValueError):
                    w.rows(good[0])
        return w.finish('{"run":1}')

    plain = write(tmp_path / "plain.quarlen", False)
    noisy = write(tmp_path / "noisy.quarlen", True)
    assert noisy == plain
    assert entries(tmp_path / "noisy.quarlen") == entries(tmp_path / "plain.quarlen")
    assert _native.manifest(str(tmp_path / "noisy.quarlen")) == plain
    assert json.loads(_native.verify(str(tmp_path / "noisy.quarlen")))["ok"] is True


# --- write failures --------------------------------------------------------------------------

FAILURE_SCRIPT = textwrap.dedent(
    """
    import json, random, resource, signal, string, sys
    from quarlen._native import Writer

    mode, path = sys.argv[1], sys.argv[2]
    if mode == "fsize":
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))

    def attempt(call):
        try:
            return ["ok", call()]
        except ValueError as e:
            return ["ValueError", str(e)]

    rnd = random.Random(7)
    noise = "".join(rnd.choices(string.ascii_letters + string.digits, k=400000))
    w = Writer(path)
    out = {}
    w.begin("comments")
    out["small"] = attempt(lambda: w.rows('[["a","b","c","d"]]'))
    out["large"] = attempt(lambda: w.rows(json.dumps([[noise, "b", "c", "d"]])))
    out["large_again"] = attempt(lambda: w.rows(json.dumps([[noise, "b", "c", "d"]])))
    out["begin"] = attempt(lambda: w.begin("objects"))
    out["end"] = attempt(lambda: w.end())
    out["finish"] = attempt(lambda: w.finish("{}"))
    out["finish_again"] = attempt(lambda: w.finish("{}"))
    out["begin_after"] = attempt(lambda: w.begin("objects"))
    out["begin_written"] = attempt(lambda: w.begin("comments"))
    print(json.dumps(out))
    """
)


@pytest.mark.parametrize(
    "mode, description",
    [
        ("fsize", "File too large (os error 27)"),
        ("full", "No space left on device (os error 28)"),
    ],
)
def test_write_failures(tmp_path, mode, description):
    if mode == "full" and not os.path.exists("/dev/full"):
        pytest.skip("/dev/full is missing")
    path = "/dev/full" if mode == "full" else str(tmp_path / "a.quarlen")
    result = subprocess.run([sys.executable, "-c", FAILURE_SCRIPT, mode, path], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    out = json.loads(result.stdout)
    assert out["small"] == ["ok", 1]
    assert out["large"] == ["ValueError", description]
    assert out["large_again"] == ["ValueError", description]
    # The member stayed open with the counts of the call that succeeded.
    assert out["begin"] == ["ValueError", "objects: end the member being written first"]
    assert out["end"] == ["ok", record(b'["a","b","c","d"]\n', 1)]
    # Completing the member entry is the first thing finish writes.
    assert out["finish"] == ["ValueError", f"i/o error: {description}"]
    assert out["finish_again"] == ["ValueError", "the file is already finished"]
    assert out["begin_after"] == ["ValueError", "the file is already finished"]
    assert out["begin_written"] == ["ValueError", "comments: written already"]


# --- threads ---------------------------------------------------------------------------------


def run_on_thread(call):
    outcome = {}

    def body():
        try:
            outcome["result"] = call()
        except Exception as e:  # noqa: BLE001 - must not catch the panic
            outcome["exception"] = e.with_traceback(None)
        except BaseException as e:
            # Without its traceback the exception holds no frame, so no reference cycle keeps
            # the writer alive until a collection that could run on any thread.
            outcome["base"] = e.with_traceback(None)

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    return outcome


@pytest.mark.parametrize(
    "call",
    [
        lambda w: w.rows(f"[{ROW}]"),
        lambda w: w.rows(5),
        lambda w: w.end(),
        lambda w: w.begin("objects"),
        lambda w: w.finish("{}"),
    ],
)
def test_foreign_thread_call_panics(tmp_path, call):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    w.begin("comments")
    w.rows(f"[{ROW}]")
    outcome = run_on_thread(lambda: call(w))
    assert set(outcome) == {"base"}
    panic = outcome["base"]
    assert type(panic).__name__ == "PanicException"
    assert type(panic).__bases__ == (BaseException,)
    assert not isinstance(panic, Exception)
    assert len(panic.args) == 1
    assert "_native::Writer is unsendable, but sent to another thread" in panic.args[0]
    # The owner goes on as if nothing had happened.
    assert w.rows(f"[{ROW}]") == 1
    assert w.end() == record(COMMENTS_TEXT * 2, 2)
    w.finish("{}")
    assert json.loads(_native.verify(str(path)))["ok"] is True


def test_drop_on_foreign_thread_reports_unraisable(tmp_path, monkeypatch):
    path = tmp_path / "a.quarlen"
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append((u.exc_type, str(u.exc_value))))
    box = [Writer(path)]
    box[0].begin("comments")
    box[0].rows(f"[{ROW}]")
    outcome = run_on_thread(box.clear)
    assert outcome == {"result": None}
    assert reports == [(RuntimeError, "_native::Writer is unsendable, but is being dropped on another thread")]
    # The file stays open and is never closed: it has no end record.
    assert not zipfile.is_zipfile(path)


def test_instances_on_separate_threads(tmp_path):
    def write(path):
        w = Writer(path)
        w.begin("comments")
        w.rows(f"[{ROW}]")
        w.end()
        return w.finish("{}")

    outcome = run_on_thread(lambda: write(tmp_path / "t.quarlen"))
    assert outcome == {"result": write(tmp_path / "m.quarlen")}
    assert entries(tmp_path / "t.quarlen") == entries(tmp_path / "m.quarlen")
