import hashlib
import os
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

from quarlen._native import manifest, unit_hash


@pytest.mark.parametrize(
    "args, expected",
    [
        (("APP", "FUNCTION", "F1", "abc"), "65b8e7ddf27d0a6140592b5a94ef0d53593584f5016395a41d8c629b3dfc2ea0"),
        (("", "", "", ""), "be5be69f55e91af25e54ecc2154d4da359b67b3b27e25f5cc0b3ff54eb74dff3"),
    ],
)
def test_known_hashes(args, expected):
    assert unit_hash(*args) == expected


def test_bars_are_not_escaped():
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


def test_keywords_and_str_subclass():
    class Name(str):
        pass

    assert unit_hash(text="abc", object_name=Name("F1"), owner="APP", object_type="FUNCTION") == (
        "65b8e7ddf27d0a6140592b5a94ef0d53593584f5016395a41d8c629b3dfc2ea0"
    )


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "unit_hash() missing 4 required positional arguments: 'owner', 'object_type', 'object_name', and 'text'"),
        (("a",), {}, "unit_hash() missing 3 required positional arguments: 'object_type', 'object_name', and 'text'"),
        (("a", "b"), {}, "unit_hash() missing 2 required positional arguments: 'object_name' and 'text'"),
        (("a", "b", "c"), {}, "unit_hash() missing 1 required positional argument: 'text'"),
        (("a", "b", "c", "d", "e"), {}, "unit_hash() takes 4 positional arguments but 5 were given"),
        (("a", "b", "c", "d"), {"owner": "x"}, "unit_hash() got multiple values for argument 'owner'"),
        (("a",), {"bogus": 1}, "unit_hash() got an unexpected keyword argument 'bogus'"),
        (("a", "b", "c", "d"), {"text": "t", "bogus": 1}, "unit_hash() got multiple values for argument 'text'"),
        ((1, "b", "c", "d"), {}, "argument 'owner': 'int' object cannot be converted to 'PyString'"),
        (("a", b"b", "c", "d"), {}, "argument 'object_type': 'bytes' object cannot be converted to 'PyString'"),
        (("a", "b", None, "d"), {}, "argument 'object_name': 'NoneType' object cannot be converted to 'PyString'"),
        ((1, 2, 3, 4), {}, "argument 'owner': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        unit_hash(*args, **kwargs)
    assert type(exc.value) is TypeError
    assert str(exc.value) == message


def test_positional_count_message_for_one_parameter(tmp_path):
    with pytest.raises(TypeError) as exc:
        manifest(tmp_path, tmp_path)
    assert str(exc.value) == "manifest() takes 1 positional arguments but 2 were given"


def test_unexpected_keyword_reported_before_missing():
    with pytest.raises(TypeError) as exc:
        manifest(bogus="x")
    assert str(exc.value) == "manifest() got an unexpected keyword argument 'bogus'"


def test_lone_surrogate_raises_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        unit_hash("a\ud800", "b", "c", "d")


def test_qualified_type_name_in_message():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as exc:
        unit_hash(Outer.Inner(), "b", "c", "d")
    assert str(exc.value) == (
        "argument 'owner': 'test_qualified_type_name_in_message.<locals>.Outer.Inner' "
        "object cannot be converted to 'PyString'"
    )


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


@pytest.mark.parametrize(
    "path, message",
    [
        (b"/tmp/x", "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (5, "argument 'path': expected str, bytes or os.PathLike object, not int"),
    ],
)
def test_path_type_errors(path, message):
    with pytest.raises(TypeError) as exc:
        manifest(path)
    assert str(exc.value) == message


def test_bytes_from_path_protocol_refused():
    class BytesPath:
        def __fspath__(self):
            return b"/tmp/x"

    with pytest.raises(TypeError) as exc:
        manifest(BytesPath())
    assert str(exc.value) == "argument 'path': 'bytes' object cannot be converted to 'PyString'"


def test_unencodable_path_raises_unicode_encode_error(tmp_path):
    # A lone surrogate outside the surrogateescape range has no file-system
    # encoding: that is the caller's input, not an internal fault.
    with pytest.raises(UnicodeEncodeError):
        manifest(os.path.join(str(tmp_path), "bad\ud800name"))
