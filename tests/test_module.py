"""The module's surface: names, signatures, argument binding and its messages, unit_hash."""

import hashlib
import json
import os

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quarlen
from quarlen import _native, schema
from quarlen._native import Writer, manifest, unit_hash, verify

from archives import error

ALL = ["Writer", "manifest", "read", "verify", "members", "unit_hash", "version", "FORMAT"]


def test_module_surface():
    assert (_native.__all__, _native.FORMAT, _native.version(), quarlen.__version__) == (ALL, "quarlen/1", "0.1.5", "0.1.5")
    assert [getattr(_native, name).__text_signature__ for name in ALL[1:-1]] == [
        "(path)", "(path, name)", "(path)", "()", "(owner, object_type, object_name, text)", "()"]
    # The table the package's diff is built on, each member's key among its columns.
    table = json.loads(_native.members())
    assert [name for name, _, _ in table] == list(schema.KEY_COLUMNS)
    assert all(set(schema.KEY_COLUMNS[name]) <= set(columns) for name, columns, _ in table)


@given(st.text(), st.text(), st.text(), st.text())
def test_unit_hash_matches_hashlib(owner, object_type, object_name, text):
    expected = hashlib.sha256(f"{owner}|{object_type}|{object_name}|{text}".encode()).hexdigest()
    assert unit_hash(owner, object_type, object_name, text) == expected
    assert unit_hash(text=text, object_name=type("Name", (str,), {})(object_name), owner=owner, object_type=object_type) == expected


# Every entry point binds its arguments as a Python function would, with the same messages.
@pytest.mark.parametrize("call, message", [
    (lambda: unit_hash(), "unit_hash() missing 4 required positional arguments: 'owner', 'object_type', 'object_name', and 'text'"),
    (lambda: unit_hash("a", "b"), "unit_hash() missing 2 required positional arguments: 'object_name' and 'text'"),
    (lambda: unit_hash("a", "b", "c", "d", owner="x"), "unit_hash() got multiple values for argument 'owner'"),
    # An unexpected keyword is reported before the missing argument.
    (lambda: manifest(**{"a\0b": "x"}), "manifest() got an unexpected keyword argument 'a\0b'"),
    (lambda: verify(type("P", (), {"__fspath__": lambda self: b"a"})()), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: _native._diff_member("x", "y", "units", [0]), "argument 'key_columns': expected a tuple of column indexes"),
    (lambda: _native._write_rows(None, "comments", [], 1), "'NoneType' object cannot be converted to 'Writer'"),
    (lambda: Writer(5), "argument 'path': expected str, bytes or os.PathLike object, not int"),
])
def test_binding_errors(tmp_path, monkeypatch, call, message):
    monkeypatch.chdir(tmp_path)
    assert error(call, kind=TypeError) == message
    assert os.listdir(tmp_path) == []


def test_path_errors():
    class BadPath:
        def __fspath__(self):
            raise TypeError("no path here") from KeyError("inner")

    with pytest.raises(TypeError, match="^argument 'path': no path here$") as exc:
        manifest(BadPath())
    assert isinstance(exc.value.__cause__, KeyError)
    with pytest.raises(UnicodeEncodeError):  # no file-system encoding: the caller's input, not an internal fault
        manifest("bad\ud800name")
