"""The subject of a ValueError as attributes: path, member and row, None where the message has none."""

import contextlib

import pytest

from quarlen import _native

from archives import archive, record, write

UNITS = [["APP", "BILLING", "PACKAGE BODY", "BEGIN\n  x;\nEND;\n"]]


def drain(path, name):
    with contextlib.closing(_native._open_rows(path, name)) as reader:
        while reader.next_batch() is not None:
            pass


def into_units(path, put):
    """Calls put(writer) with the member units begun; a refusal abandons the file."""
    writer = _native.Writer(path)
    writer.begin("units")
    try:
        put(writer)
    finally:
        _native._discard(writer)


@pytest.fixture
def files(tmp_path):
    write(good := tmp_path / "good.quarlen", [("units", UNITS)])
    text = b'["APP","T","C","x"]\n'
    damaged = archive(tmp_path / "damaged.quarlen", {"units": text}, records={"units": record(text + b" ")})
    lines = b'["APP","T","C","x"]\n["APP",\n'
    broken = archive(tmp_path / "broken.quarlen", {"units": lines})
    unformatted = archive(tmp_path / "unformatted.quarlen", manifest_text='{"members":{}}')
    return dict(good=good, damaged=damaged, broken=broken, unformatted=unformatted, out=tmp_path / "out.quarlen")


# (call on the files, message start, path's file or None, member, row)
CASES = [
    (lambda f: drain(f["damaged"], "units"), "units: checksum", "damaged", "units", None),
    (lambda f: drain(f["broken"], "units"), "units line 2: ", "broken", "units", 2),
    (lambda f: _native._diff_member(f["damaged"], f["good"], "units", (0, 1, 2)), "units: checksum", "damaged", "units", None),
    (lambda f: _native._diff_member(f["good"], f["damaged"], "units", (0, 1, 2)), "units: checksum", "damaged", "units", None),
    (lambda f: _native._diff_member_json(f["good"], f["broken"], "units", ()), "units line 2: ", "broken", "units", 2),
    (lambda f: _native.manifest(f["unformatted"]), "manifest: no format", "unformatted", None, None),
    (lambda f: _native.read(f["good"], "bogus"), "bogus: not a member", None, "bogus", None),
    (lambda f: into_units(f["out"], lambda w: w.rows('[["a","b","c","d"],[1]]')), "units row 2: 1 values", None, "units", 2),
    (lambda f: into_units(f["out"], lambda w: _native._write_rows(w, "units", [UNITS[0], UNITS[0][:3]], 1)),
     "units row 2: 3 values", None, "units", 2),
    (lambda f: into_units(f["out"], lambda w: _native._write_rows(w, "units", [[float("nan")] * 4], 3)),
     "units row 3: nan", None, "units", 3),
]


@pytest.mark.parametrize("call, start, path, member, row", CASES)
def test_subject(files, call, start, path, member, row):
    with pytest.raises(ValueError) as raised:
        call(files)
    error = raised.value
    assert type(error) is ValueError and str(error).startswith(start)
    assert (error.path, error.member, error.row) == (None if path is None else str(files[path]), member, row)
