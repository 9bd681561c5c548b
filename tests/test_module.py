"""The module's surface: names, signatures, argument binding and its messages, unit_hash."""

import hashlib
import importlib
import json
import os
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quarlen
from quarlen import _native, compare
from quarlen._native import Writer, manifest, read, unit_hash, verify

from archives import error

ALL = ["Writer", "manifest", "read", "verify", "members", "unit_hash", "version", "FORMAT"]


def test_module_surface():
    assert (_native.__all__, _native.FORMAT, _native.version(), quarlen.__version__) == (ALL, "quarlen/1", "0.1.5", "0.1.5")
    assert [getattr(_native, name).__text_signature__ for name in ALL[1:-1]] == [
        "(path)", "(path, name)", "(path)", "()", "(owner, object_type, object_name, text)", "()"]
    # The table the package's diff is built on: compact, each member's key among its columns.
    text = _native.members()
    assert hashlib.sha256(text.encode()).hexdigest()[:16] == "5df6a045c942bc84" and " " not in text
    table = json.loads(text)
    assert [name for name, _, _ in table] == list(compare.KEY_COLUMNS)
    assert [name for name, _, keyed in table if keyed] == ["plscope_identifiers", "plscope_statements", "control_rows"]
    assert all(set(compare.KEY_COLUMNS[name]) <= set(columns) for name, columns, _ in table)


def test_reimport_returns_same_module():
    first = sys.modules.pop("quarlen._native")
    try:
        assert importlib.import_module("quarlen._native") is first
    finally:
        sys.modules["quarlen._native"] = first


@given(st.text(), st.text(), st.text(), st.text())
def test_unit_hash_matches_hashlib(owner, object_type, object_name, text):
    expected = hashlib.sha256(f"{owner}|{object_type}|{object_name}|{text}".encode()).hexdigest()
    assert unit_hash(owner, object_type, object_name, text) == expected
    assert unit_hash(text=text, object_name=type("Name", (str,), {})(object_name), owner=owner, object_type=object_type) == expected


class Odd:
    pass


Odd.__qualname__ = "A\0B"


class BytesPath:
    def __fspath__(self):
        return b"a.quarlen"


def not_str(argument, type_name):
    return f"argument '{argument}': '{type_name}' object cannot be converted to 'PyString'"


# Every entry point binds its arguments as a Python function would, with the same messages.
BINDING = [
    (lambda: unit_hash(), "unit_hash() missing 4 required positional arguments: 'owner', 'object_type', 'object_name', and 'text'"),
    (lambda: unit_hash("a", "b", "c"), "unit_hash() missing 1 required positional argument: 'text'"),
    (lambda: unit_hash("a", "b", "c", "d", owner="x"), "unit_hash() got multiple values for argument 'owner'"),
    (lambda: unit_hash("a", bogus=1), "unit_hash() got an unexpected keyword argument 'bogus'"),
    (lambda: unit_hash(BytesPath(), "b", "c", "d"), not_str("owner", "BytesPath")),
    (lambda: unit_hash("a", "b", "c", Odd()), not_str("text", "A\0B")),
    # An unexpected keyword is reported before the missing argument.
    (lambda: manifest(bogus="x"), "manifest() got an unexpected keyword argument 'bogus'"),
    (lambda: manifest(**{"a\0b": "x"}), "manifest() got an unexpected keyword argument 'a\0b'"),
    (lambda: verify(BytesPath()), not_str("path", "bytes")),
    (lambda: _native._diff_member("x", "y", "units", [0]), "argument 'key_columns': expected a tuple of column indexes"),
    (lambda: _native._diff_member_json("x", "y", "units", ("0",)), "an integer is required"),
    (lambda: _native._write_rows(None, "comments", [], 1), "'NoneType' object cannot be converted to 'Writer'"),
    (lambda: Writer(5), "argument 'path': expected str, bytes or os.PathLike object, not int"),
    (lambda: Writer("a", "b"), "Writer.__new__() takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("call, message", BINDING)
def test_binding_errors(tmp_path, monkeypatch, call, message):
    monkeypatch.chdir(tmp_path)
    assert error(call, kind=TypeError) == message
    assert os.listdir(tmp_path) == []


class BadPath:
    def __fspath__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("no path here") from inner


def test_path_errors():
    with pytest.raises(TypeError) as exc:
        manifest(BadPath())
    assert str(exc.value) == "argument 'path': no path here" and isinstance(exc.value.__cause__, KeyError)
    # No file-system encoding: the caller's input, not an internal fault.
    with pytest.raises(UnicodeEncodeError):
        manifest("bad\ud800name")
