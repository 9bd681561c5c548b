import hashlib
import os
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

from quarlen._native import manifest, unit_hash

from archives import error

F1_HASH = "65b8e7ddf27d0a6140592b5a94ef0d53593584f5016395a41d8c629b3dfc2ea0"


class Name(str):
    pass


def test_known_hashes():
    assert unit_hash("APP", "FUNCTION", "F1", "abc") == F1_HASH
    assert unit_hash("", "", "", "") == "be5be69f55e91af25e54ecc2154d4da359b67b3b27e25f5cc0b3ff54eb74dff3"
    assert unit_hash(text="abc", object_name=Name("F1"), owner="APP", object_type="FUNCTION") == F1_HASH
    assert unit_hash("A|B", "C", "D", "E") == unit_hash("A", "B|C", "D", "E")


@given(st.text(), st.text(), st.text(), st.text())
def test_matches_hashlib(owner, object_type, object_name, text):
    try:
        data = f"{owner}|{object_type}|{object_name}|{text}".encode()
    except UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError):
            unit_hash(owner, object_type, object_name, text)
        return
    result = unit_hash(owner, object_type, object_name, text)
    assert result == hashlib.sha256(data).hexdigest()
    assert re.fullmatch(r"[0-9a-f]{64}", result)


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "call, args, kwargs, message",
    [
        (unit_hash, (), {}, "unit_hash() missing 4 required positional arguments: 'owner', 'object_type', 'object_name', and 'text'"),
        (unit_hash, ("a",), {}, "unit_hash() missing 3 required positional arguments: 'object_type', 'object_name', and 'text'"),
        (unit_hash, ("a", "b"), {}, "unit_hash() missing 2 required positional arguments: 'object_name' and 'text'"),
        (unit_hash, ("a", "b", "c"), {}, "unit_hash() missing 1 required positional argument: 'text'"),
        (unit_hash, ("a", "b", "c", "d", "e"), {}, "unit_hash() takes 4 positional arguments but 5 were given"),
        (unit_hash, ("a", "b", "c", "d"), {"owner": "x"}, "unit_hash() got multiple values for argument 'owner'"),
        (unit_hash, ("a",), {"bogus": 1}, "unit_hash() got an unexpected keyword argument 'bogus'"),
        (unit_hash, ("a", "b", "c", "d"), {"text": "t", "bogus": 1}, "unit_hash() got multiple values for argument 'text'"),
        (unit_hash, (1, 2, 3, 4), {}, "argument 'owner': 'int' object cannot be converted to 'PyString'"),
        (unit_hash, ("a", b"b", "c", "d"), {}, "argument 'object_type': 'bytes' object cannot be converted to 'PyString'"),
        (unit_hash, ("a", "b", None, "d"), {}, "argument 'object_name': 'NoneType' object cannot be converted to 'PyString'"),
        (unit_hash, (Outer.Inner(), "b", "c", "d"), {},
         "argument 'owner': 'Outer.Inner' object cannot be converted to 'PyString'"),
        (manifest, ("a", "b"), {}, "manifest() takes 1 positional arguments but 2 were given"),
        # An unexpected keyword is reported before the missing argument.
        (manifest, (), {"bogus": "x"}, "manifest() got an unexpected keyword argument 'bogus'"),
    ],
)
def test_binding_errors(call, args, kwargs, message):
    assert error(lambda: call(*args, **kwargs), kind=TypeError) == message


class BadPath:
    def __fspath__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("no path here") from inner


class SubTypeError(TypeError):
    pass


class SubclassPath:
    def __fspath__(self):
        raise SubTypeError("subclass")


def test_path_errors_are_wrapped_with_cause():
    with pytest.raises(TypeError) as exc:
        manifest(BadPath())
    assert str(exc.value) == "argument 'path': no path here"
    assert isinstance(exc.value.__cause__, KeyError)


def test_path_type_error_subclass_is_not_wrapped():
    with pytest.raises(SubTypeError) as exc:
        manifest(SubclassPath())
    assert str(exc.value) == "subclass"


def test_unencodable_path_raises_unicode_encode_error(tmp_path):
    # A lone surrogate outside the surrogateescape range has no file-system
    # encoding: that is the caller's input, not an internal fault.
    with pytest.raises(UnicodeEncodeError):
        manifest(os.path.join(str(tmp_path), "bad\ud800name"))
