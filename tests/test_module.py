import importlib
import json
import shutil
import subprocess
import sys

import pytest

from quarlen import _native

ALL = ["Writer", "manifest", "read", "verify", "members", "unit_hash", "version", "FORMAT"]

UNKEYED = [("objects", 7), ("columns", 9), ("constraints", 9), ("type_attrs", 5), ("synonyms", 5),
           ("dependencies", 8), ("triggers", 6), ("comments", 4), ("plscope_declarations", 9),
           ("external_objects", 7), ("external_columns", 9), ("external_synonyms", 5), ("scheduler", 4),
           ("external_tables", 3), ("units", 4)]
KEYED = [("plscope_identifiers", 10), ("plscope_statements", 13), ("control_rows", 1)]
MEMBERS = [(n, c, False) for n, c in UNKEYED] + [(n, c, True) for n, c in KEYED] + [("runtime_sql", 9, False)]


def test_module_attributes():
    assert _native.__all__ == ALL
    assert _native.__doc__ == ""
    assert (_native.FORMAT, _native.version()) == ("quarlen/1", "0.1.5")
    assert all(hasattr(_native, name) for name in ALL)


def test_members_text():
    text = _native.members()
    assert type(text) is str and len(text) == 2018
    assert not any(c.isspace() for c in text)
    table = json.loads(text)
    assert [(n, len(cols), keyed) for n, cols, keyed in table] == MEMBERS
    assert text.startswith(
        '[["objects",["object_id","owner","object_name","object_type","status",'
        '"temporary","last_ddl_time"],false],'
    )
    assert json.dumps(table[17], separators=(",", ":")) == '["control_rows",["row"],true]'
    assert table[14][1] == ["owner", "object_name", "object_type", "source_text"]


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("manifest", "(path)", "The manifest of a .quarlen file (JSON), after checking its format."),
        ("read", "(path, name)", "One member's rows (JSON), checked against the manifest and the format."),
        ("verify", "(path)", "Reads every member: `{ok, format, members, problems}` (JSON)."),
        ("members", "()", "The format's members and their columns (JSON): `[[name, [columns], keyed]]`."),
        ("unit_hash", "(owner, object_type, object_name, text)", None),
        ("version", "()", None),
    ],
)
def test_function_docs(name, signature, doc):
    f = getattr(_native, name)
    assert f.__text_signature__ == signature
    assert f.__doc__ == doc
    assert f.__module__ == "quarlen._native"
    assert f.__name__ == name


@pytest.mark.parametrize("name", ["members", "version"])
def test_no_argument_functions_refuse_arguments(name):
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        getattr(_native, name)(1)


def test_reimport_returns_same_module():
    first = sys.modules["quarlen._native"]
    del sys.modules["quarlen._native"]
    try:
        again = importlib.import_module("quarlen._native")
    finally:
        sys.modules["quarlen._native"] = first
    assert again is first
    assert again.__all__ == ALL


def test_only_init_symbol_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(
        [nm, "-D", "--defined-only", _native.__file__], capture_output=True, text=True, check=True
    ).stdout
    names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert names == ["PyInit__native"]
    assert _native.__file__.endswith("_native.abi3.so")


def test_messages_keep_nul_characters():
    class Odd:
        pass

    Odd.__qualname__ = "A\0B"
    with pytest.raises(TypeError) as exc:
        _native.manifest(**{"a\0b": "x"})
    assert str(exc.value) == "manifest() got an unexpected keyword argument 'a\0b'"
    with pytest.raises(TypeError) as exc:
        _native.unit_hash(Odd(), "", "", "")
    assert str(exc.value) == "argument 'owner': 'A\0B' object cannot be converted to 'PyString'"
