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

from archives import compact, entries, error, record

ROW = '["APP","T1","C1","note"]'
COMMENTS_TEXT = f"{ROW}\n".encode()
EMPTY_MANIFEST = b'{\n  "format": "quarlen/1",\n  "members": {}\n}'


def pretty(value) -> str:
    return json.dumps(value, indent=2, ensure_ascii=False, sort_keys=True)


def rec(text: bytes, rows: int) -> str:
    return compact(record(text, rows))


def test_class_surface(tmp_path):
    assert Writer.__text_signature__ == "(path)"
    assert Writer.__doc__ == (
        "Writes a .quarlen file: `begin(name)`, `rows(json)` as often as needed, `end()`, "
        "then `finish(header_json)`."
    )
    assert (Writer.__module__, Writer.__name__, Writer.__bases__) == ("builtins", "Writer", (object,))
    assert {"__init__", "__repr__", "__enter__", "__exit__", "close"}.isdisjoint(vars(Writer))
    for name, signature in {"begin": "($self, name)", "rows": "($self, rows_json)", "end": "($self)",
                            "finish": "($self, header_json)"}.items():
        method = getattr(Writer, name)
        assert (method.__doc__, method.__text_signature__, method.__name__) == (None, signature, name)
    error(type, "Sub", (Writer,), {}, kind=TypeError)  # not subclassable
    w = Writer(tmp_path / "a.quarlen")
    assert not hasattr(w, "__dict__")
    with pytest.raises(AttributeError):
        w.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(w)


class BytesPath:
    def __fspath__(self):
        return b"a.quarlen"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((BytesPath(),), {}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        ((5,), {}, "argument 'path': expected str, bytes or os.PathLike object, not int"),
        (("a", "b"), {}, "Writer.__new__() takes 1 positional arguments but 2 were given"),
        (("a",), {"bogus": 1}, "Writer.__new__() got an unexpected keyword argument 'bogus'"),
    ],
)
def test_constructor_binding_errors(tmp_path, monkeypatch, args, kwargs, message):
    monkeypatch.chdir(tmp_path)
    assert error(lambda: Writer(*args, **kwargs), kind=TypeError) == message
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda w: w.begin(), "Writer.begin() missing 1 required positional argument: 'name'"),
        (lambda w: w.begin("objects", name="objects"), "Writer.begin() got multiple values for argument 'name'"),
        (lambda w: w.rows(b"[]"), "argument 'rows_json': 'bytes' object cannot be converted to 'PyString'"),
        (lambda w: w.rows(json="[]"), "Writer.rows() got an unexpected keyword argument 'json'"),
        (lambda w: w.finish(None), "argument 'header_json': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda w: w.end(1), "Writer.end() takes no arguments (1 given)"),
    ],
)
def test_method_binding_errors_leave_state_unchanged(tmp_path, call, message):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    w.begin("comments")
    assert w.rows(f"[{ROW}]") == 1
    assert error(call, w, kind=TypeError) == message
    assert w.rows(rows_json=f"[{ROW}]") == 1
    assert w.end() == rec(COMMENTS_TEXT * 2, 2)
    w.finish(header_json="{}")
    assert entries(path)[0] == ("comments.jsonl", COMMENTS_TEXT * 2)


def test_text_arguments(tmp_path):
    class Text(str):
        pass

    w = Writer(tmp_path / "a.quarlen")
    with pytest.raises(UnicodeEncodeError):
        w.begin("control_rows/\ud800")
    assert w.begin(Text("comments")) is None
    with pytest.raises(UnicodeEncodeError):
        w.rows('[["\ud800"]]')
    assert w.rows(Text(f"[{ROW}]")) == 1
    w.end()
    assert w.finish(Text('{"k":1}')) == compact({"format": "quarlen/1", "k": 1, "members": {"comments": record(COMMENTS_TEXT)}})


def test_worked_example(tmp_path):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    assert w.begin("comments") is None
    assert w.rows('[["APP","T1","C1","note"]]') == 1
    assert w.rows("[]") == w.rows(" \t[ ]\n") == 0
    digest = "e14a54c05176c516e0751b6c6e362626ae5c087878455e11f0fcd590c630ac2c"
    assert w.end() == '{"bytes":25,"rows":1,"sha256":"%s"}' % digest
    manifest = w.finish('{"source":"db1"}')
    assert manifest == (
        '{"format":"quarlen/1","members":{"comments":{"bytes":25,"rows":1,"sha256":"%s"}},"source":"db1"}' % digest
    )
    manifest_text = (
        '{\n  "format": "quarlen/1",\n  "members": {\n    "comments": {\n      "bytes": 25,\n      "rows": 1,\n'
        f'      "sha256": "{digest}"\n    }}\n  }},\n  "source": "db1"\n}}'
    )
    assert entries(path) == [("comments.jsonl", b'["APP","T1","C1","note"]\n'), ("manifest.json", manifest_text.encode())]
    assert record(b'["APP","T1","C1","note"]\n')["sha256"] == digest
    assert _native.manifest(str(path)) == manifest


@pytest.mark.parametrize(
    "header, expected",
    [
        ('{"zeta":1,"format":"x","alpha":2}', {"alpha": 2, "zeta": 1}),
        ('{"members":[1,2],"format":{"a":1}}', {}),
        ('{"a":1,"a":2,"b":{"y":1,"x":2,"y":3}}', {"a": 2, "b": {"x": 2, "y": 3}}),
    ],
)
def test_header_keys(tmp_path, header, expected):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    w.begin("objects")
    w.end()
    manifest = {**expected, "format": "quarlen/1", "members": {"objects": record(b"", 0)}}
    assert w.finish(header) == compact(manifest)
    assert entries(path)[-1] == ("manifest.json", pretty(manifest).encode())


def test_keyed_members_and_record_order(tmp_path):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    for name in ["control_rows/X1", "comments", "control_rows/a", "control_rows/A", "plscope_identifiers/Ünïcode"]:
        w.begin(name)
        w.end()
    assert error(w.begin, "control_rows/a") == "control_rows/a: written already"
    members = json.loads(w.finish("{}"))["members"]
    assert list(members) == ["comments", "control_rows/A", "control_rows/X1", "control_rows/a", "plscope_identifiers/Ünïcode"]
    assert [name for name, _ in entries(path)] == [
        "control_rows/X1.jsonl", "comments.jsonl", "control_rows/a.jsonl", "control_rows/A.jsonl",
        "plscope_identifiers/Ünïcode.jsonl", "manifest.json"]


def test_create_truncates_at_once(tmp_path):
    path = tmp_path / "a.quarlen"
    path.write_bytes(b"old content" * 100)
    w = Writer(str(path))
    assert path.stat().st_size == 0
    del w
    assert path.read_bytes() == b"PK\x05\x06" + bytes(18)
    w = Writer(path)
    w.begin("comments")
    assert path.stat().st_size == 0
    del w
    assert entries(path) == [("comments.jsonl", b"")]


@pytest.mark.parametrize("name, description", [("missing/a.quarlen", "No such file or directory (os error 2)"),
                                               ("a\0b.quarlen", "file name contained an unexpected NUL byte")])
def test_create_refused(tmp_path, name, description):
    path = f"{tmp_path}/{name}"
    assert error(Writer, path) == f"{path}: {description}"
    assert list(tmp_path.iterdir()) == []


def test_create_relative_and_keyword_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert Writer("rel.quarlen").finish("{}") == '{"format":"quarlen/1","members":{}}'
    Writer(path=tmp_path / "kw.quarlen").finish("{}")
    assert entries(tmp_path / "rel.quarlen") == entries(tmp_path / "kw.quarlen") == [("manifest.json", EMPTY_MANIFEST)]


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
    message = f"{path}: no manifest (not a .quarlen file, or not finished)"
    for call in (_native.manifest, _native.verify, lambda p: _native.read(p, "objects")):
        assert error(call, str(path)) == message


# Each state is reached by the same calls; after a refused call the file is completed the same
# way as without it, so any change the refusal made shows in the finished file.


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
    if state == "idle":
        assert w.finish("{}") == '{"format":"quarlen/1","members":{}}'
        assert entries(path) == [("manifest.json", EMPTY_MANIFEST)]
        return
    objects = record(b"", 0)
    if state == "writing":
        assert w.rows(f"[{ROW}]") == 1
        assert w.end() == rec(COMMENTS_TEXT * 2, 2)
        comments = record(COMMENTS_TEXT * 2, 2)
        assert w.finish('{"h":1}') == compact(
            {"format": "quarlen/1", "h": 1, "members": {"comments": comments, "objects": objects}}
        )
        assert entries(path)[:2] == [("objects.jsonl", b""), ("comments.jsonl", COMMENTS_TEXT * 2)]
        return
    manifest = {"format": "quarlen/1", "h": 1, "members": {"comments": record(COMMENTS_TEXT, 1), "objects": objects}}
    assert error(w.begin, "units") == "the file is already finished"
    assert error(w.end) == "no member is open"
    assert error(w.finish, "{}") == "the file is already finished"
    assert entries(path) == [("objects.jsonl", b""), ("comments.jsonl", COMMENTS_TEXT),
                             ("manifest.json", pretty(manifest).encode())]
    assert _native.manifest(str(path)) == compact(manifest)


LONG_NAME = "control_rows/" + "K" * 65517

STATE_TABLE = [
    ("idle", lambda w: w.rows(f"[{ROW}]"), "begin a member first"),
    ("idle", lambda w: w.rows("x"), "rows are not JSON: expected value at line 1 column 1"),
    ("idle", lambda w: w.end(), "no member is open"),
    ("idle", lambda w: w.finish('"text"'), "header: a JSON object"),
    ("idle", lambda w: w.begin("bogus"), "bogus: not a member of quarlen/1"),
    ("idle", lambda w: w.begin("objects/APP"), "objects/APP: objects takes no key"),
    ("idle", lambda w: w.begin("control_rows/A..B"), "control_rows/A..B: control_rows needs a key after a slash (control_rows/OWNER)"),
    ("idle", lambda w: w.begin(LONG_NAME), f"{LONG_NAME}: the name is too long for the archive (over 65535 bytes)"),
    ("writing", lambda w: w.begin("objects"), "objects: end the member being written first"),
    ("writing", lambda w: w.begin(LONG_NAME), f"{LONG_NAME}: end the member being written first"),
    ("writing", lambda w: w.begin("bogus/X"), "bogus/X: not a member of quarlen/1"),
    ("writing", lambda w: w.finish("not json"), "end the member being written first"),
    ("writing", lambda w: w.rows("{}"), "rows are not JSON: invalid type: map, expected a sequence at line 1 column 1"),
    ("writing", lambda w: w.rows("[[1,2]]"), "comments row 1: 2 values, the format has 4"),
    ("writing", lambda w: w.rows("[[1,2,3,4],[1,2,3,4],null]"), "comments row 3: not a list of values"),
    ("finished", lambda w: w.begin("comments"), "comments: written already"),
    ("finished", lambda w: w.begin(LONG_NAME), "the file is already finished"),
    ("finished", lambda w: w.begin("units/X"), "units/X: units takes no key"),
    ("finished", lambda w: w.rows(f"[{ROW}]"), "begin a member first"),
    ("finished", lambda w: w.finish("{"), "header: EOF while parsing an object at line 1 column 2"),
]


@pytest.mark.parametrize("state, call, message", STATE_TABLE)
def test_state_table_refusals(tmp_path, state, call, message):
    path = tmp_path / "a.quarlen"
    w = make(state, path)
    assert error(call, w) == error(call, w) == message
    complete(state, w, path)


@pytest.mark.parametrize("state", ["idle", "writing", "finished"])
def test_state_table_unrefused(tmp_path, state):
    complete(state, make(state, tmp_path / "a.quarlen"), tmp_path / "a.quarlen")


@pytest.mark.parametrize(
    "key, accepted",
    [
        ("K" * 65516, True),  # entry name of 65,535 bytes
        ("K" * 65517, False),
        ("é" * 32758, True),  # 13 + 65,516 bytes + ".jsonl"
        ("é" * 32759, False),
    ],
)
def test_long_names(tmp_path, key, accepted):
    path = tmp_path / "a.quarlen"
    name = "control_rows/" + key if accepted else "control_rows/short"
    w = Writer(path)
    w.begin("units")
    w.end()
    if not accepted:
        long = "control_rows/" + key
        assert error(w.begin, long) == f"{long}: the name is too long for the archive (over 65535 bytes)"
        assert error(w.rows, '[["r"]]') == "begin a member first"
    w.begin(name)
    w.rows('[["r"]]')
    w.end()
    assert list(json.loads(w.finish("{}"))["members"]) == sorted([name, "units"])
    assert [n for n, _ in entries(path)] == ["units.jsonl", name + ".jsonl", "manifest.json"]
    assert json.loads(_native.verify(str(path)))["ok"] is True


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
        ('[[{"k":{"z":[],"y":{}},"b":true,"A":false,"k":1}]]', b'[{"A":false,"b":true,"k":1}]\n'),
        ('[["\\u001f\\u0000\\b\\t\\f\\r\\n\\"\\\\"]]', b'["\\u001f\\u0000\\b\\t\\f\\r\\n\\"\\\\"]\n'),
        ('[["\\/\\u007f/\x7f"]]', b'["/\x7f/\x7f"]\n'),
        ('[["\\u00e9é\\ud83d\\ude00"]]', '["éé\U0001F600"]\n'.encode()),
        ("[[18446744073709551615],[18446744073709551616],[-9223372036854775808],[1.50],[2.0],[-0],[null]]",
         b"[18446744073709551615]\n[1.8446744073709552e19]\n[-9223372036854775808]\n[1.5]\n[2.0]\n[-0.0]\n[null]\n"),
    ],
)
def test_canonical_text(tmp_path, rows_json, text):
    assert stored(tmp_path, rows_json) == text


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
    assert (tmp_path / "one.quarlen").read_bytes() == (tmp_path / "many.quarlen").read_bytes()
    text = dict(entries(tmp_path / "one.quarlen"))["comments.jsonl"]
    assert text == "".join(compact(row) + "\n" for row in rows).encode()


def test_nesting_limit(tmp_path):
    def nested(depth: int) -> str:
        return "[[" + "[" * (depth - 2) + "]" * (depth - 2) + "]]"

    w = Writer(tmp_path / "a.quarlen")
    w.begin("control_rows/A")
    assert w.rows(nested(127)) == 1
    assert error(w.rows, nested(128)) == "rows are not JSON: recursion limit exceeded at line 1 column 128"
    assert w.end() == rec(nested(127)[1:-1].encode() + b"\n", 1)


BAD_ROWS = ["[[1,2,3,4]", "[[1,2,3,4]] [[1,2,3,4]]", "[[1,2,3,4],[1,2,3]]", '[[1,2,3,4],"x"]', '[[1,2,3,"\x01"]]',
            '[["\\ud800",2,3,4]]', None]
BAD_CALLS = [lambda w: w.begin("objects"), lambda w: w.finish("{}"), lambda w: w.finish(7)]
BAD_CALLS += [lambda w, text=text: w.rows(text) for text in BAD_ROWS]


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
                error(w.finish, "{}")
            w.end()
            if interleave:
                error(w.end)
                error(w.rows, good[0])
        return w.finish('{"run":1}')

    plain = write(tmp_path / "plain.quarlen", False)
    noisy = write(tmp_path / "noisy.quarlen", True)
    assert noisy == plain
    assert entries(tmp_path / "noisy.quarlen") == entries(tmp_path / "plain.quarlen")
    assert _native.manifest(str(tmp_path / "noisy.quarlen")) == plain
    assert json.loads(_native.verify(str(tmp_path / "noisy.quarlen")))["ok"] is True


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
    del w
    if mode == "fsize":
        from quarlen._native import manifest
        out["manifest"] = attempt(lambda: manifest(path))
    print(json.dumps(out))
    """
)


@pytest.mark.parametrize("mode, description", [("fsize", "File too large (os error 27)"),
                                               ("full", "No space left on device (os error 28)")])
def test_write_failures(tmp_path, mode, description):
    if mode == "full" and not os.path.exists("/dev/full"):
        pytest.skip("/dev/full is missing")
    path = "/dev/full" if mode == "full" else str(tmp_path / "a.quarlen")
    result = subprocess.run([sys.executable, "-c", FAILURE_SCRIPT, mode, path], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    # Part of the large block may be on disk: the writer has failed for good
    # and the file never gets a manifest.
    failed = ["ValueError", f"{path}: the file cannot be completed: an earlier write failed ({description})"]
    later = ["large_again", "begin", "end", "finish", "finish_again", "begin_after", "begin_written"]
    expected = {"small": ["ok", 1], "large": ["ValueError", description], **{k: failed for k in later}}
    if mode == "fsize":
        expected["manifest"] = ["ValueError", f"{path}: no manifest (not a .quarlen file, or not finished)"]
    assert json.loads(result.stdout) == expected


def run_on_thread(call):
    outcome = {}

    def body():
        try:
            outcome["result"] = call()
        except Exception as e:  # noqa: BLE001 - must not catch the panic
            outcome["exception"] = e.with_traceback(None)
        except BaseException as e:
            # Without its traceback no frame, and so no cycle, keeps the writer alive until a
            # collection that could run on any thread.
            outcome["base"] = e.with_traceback(None)

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    return outcome


@pytest.mark.parametrize("call", [lambda w: w.rows(5), lambda w: w.end(), lambda w: w.finish("{}")])
def test_foreign_thread_call_panics(tmp_path, call):
    path = tmp_path / "a.quarlen"
    w = Writer(path)
    w.begin("comments")
    w.rows(f"[{ROW}]")
    outcome = run_on_thread(lambda: call(w))
    assert set(outcome) == {"base"}
    panic = outcome["base"]
    assert (type(panic).__name__, type(panic).__bases__, len(panic.args)) == ("PanicException", (BaseException,), 1)
    assert "_native::Writer is unsendable, but sent to another thread" in panic.args[0]
    assert w.rows(f"[{ROW}]") == 1
    assert w.end() == rec(COMMENTS_TEXT * 2, 2)
    w.finish("{}")
    assert json.loads(_native.verify(str(path)))["ok"] is True


def test_foreign_thread_report_names_the_thread_check(tmp_path, capfd):
    w = Writer(tmp_path / "a.quarlen")
    w.begin("comments")
    places = set()
    for call in (lambda: w.rows("[]"), w.end, lambda: w.finish("{}")):
        capfd.readouterr()
        assert type(run_on_thread(call)["base"]).__name__ == "PanicException"
        report = capfd.readouterr().err
        assert report.startswith("thread 'Thread-") and "writer_type.cc:" in report
        places.add(report.split(" panicked at ")[1].split("\n")[0])
    # Every method fails at the one thread check, not at its own entry point.
    assert len(places) == 1


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
