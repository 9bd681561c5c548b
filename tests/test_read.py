"""manifest, read, verify, load and iter_rows on damaged files: one table, each case with its exact message."""

import json
import os
import pathlib
import random

import pytest

from quarlen import iter_rows, load
from quarlen._native import manifest, read, verify

from archives import FORMAT, archive, error, lines, open_fds, raw_zip, record, report, sha, write, zipped

KEYED = "control_rows/APP"
NO_END = "invalid Zip archive: Could not find central directory end"
NOT_UTF8 = "stream did not contain valid UTF-8"
GOOD_MANIFEST = json.dumps({"format": FORMAT, "members": {}}).encode()
MEMBER_TEXT = b'[["a"]]\n'


def raw_manifest(**overrides) -> bytes:
    return raw_zip([dict({"name": "manifest.json", "data": GOOD_MANIFEST}, **overrides)])


def raw_member(**overrides) -> bytes:
    doc = json.dumps({"format": FORMAT, "members": {KEYED: record(MEMBER_TEXT)}}).encode()
    return raw_zip([dict({"name": KEYED + ".jsonl", "data": MEMBER_TEXT}, **overrides),
                    {"name": "manifest.json", "data": doc}])


def manifest_file(text) -> bytes:
    return zipped(("manifest.json", text.encode() if isinstance(text, str) else text))


def listing(*names) -> bytes:
    """A manifest listing these names in the order given, so sorting is the reader's own doing."""
    members = ",".join(f'{json.dumps(name, ensure_ascii=False)}:{{}}' for name in names)
    return manifest_file(f'{{"members":{{{members}}},"format":"quarlen/1"}}')


WHOLE_FILE = {
    "empty": (b"", "{path}: not a .quarlen file (" + NO_END + ")"),
    "nested": (zipped(("dir/manifest.json", GOOD_MANIFEST)), "{path}: no manifest (not a .quarlen file, or not finished)"),
    "encrypted": (raw_manifest(flags=1), "{path}: no manifest (not a .quarlen file, or not finished)"),
    # A damaged manifest entry: the bare ZIP description, without path or prefix.
    "crc": (raw_manifest(crc=0x12345678), "invalid Zip archive: Invalid checksum"),
    # Refused before anything near the declared size is allocated.
    "usize": (raw_manifest(usize=0xFFFFFFF0), "manifest: larger than 67108864 bytes"),
    "usize-ratio": (raw_manifest(usize=64 << 20), "invalid Zip archive: Declared size cannot come from the compressed data"),
    "longer": (raw_manifest(usize=len(GOOD_MANIFEST) + 1), "invalid Zip archive: Entry data does not match its declared size"),
    "not-utf8": (manifest_file(b'{"format":"quarlen/1","members":{},"x":"\xff"}'), NOT_UTF8),
    "overlong-utf8": (manifest_file(b'{"format":"quarlen/1","members":{},"x":"\xc1\xbf"}'), NOT_UTF8),
    "utf8-first": (manifest_file(b'{"format":"quarlen/2","x":"\x80"}'), NOT_UTF8),
    "json-comma": (manifest_file('{"format":"quarlen/1",\n"members":{},}'), "manifest: trailing comma at line 2 column 14"),
    "no-format": (manifest_file('{"members":{}}'), "manifest: no format"),
    "format-raw": (manifest_file('{"format":"q\\"é\\n","members":{}}'), 'format q"é\n: this version reads quarlen/1'),
    # The format is tested before the members and their names.
    "format-first": (manifest_file('{"format":"quarlen/2"}'), "format quarlen/2: this version reads quarlen/1"),
    "format-before-names": (manifest_file('{"members":{"bogus":1}}'), "manifest: no format"),
    "no-members": (manifest_file('{"format":"quarlen/1"}'), "manifest: no members"),
    "name-keyed": (listing("objects/APP"), "objects/APP: objects takes no key"),
    "name-no-key": (listing("control_rows/"), "control_rows/: control_rows needs a key after a slash (control_rows/OWNER)"),
    # Several wrong names: the one that sorts first by its bytes, whatever the stored order.
    "names-sorted": (listing("zzz", "units", "aaa"), "aaa: not a member of quarlen/1"),
}
CALLS = [manifest, verify, lambda p: read(p, "comments"), lambda p: load(p, "comments"),
         lambda p: list(iter_rows(p, "comments"))]


@pytest.mark.parametrize("key", list(WHOLE_FILE))
def test_file_refused(tmp_path, key):
    content, message = WHOLE_FILE[key]
    path = tmp_path / "x.quarlen"
    path.write_bytes(content)
    before = open_fds()
    assert [error(call, path) for call in CALLS] == [message.replace("{path}", str(path))] * len(CALLS)
    assert open_fds() == before


def test_file_cannot_be_read(tmp_path):
    (tmp_path / "plain").write_text("x")
    # A name that is not UTF-8 shows each broken sequence as one U+FFFD.
    raw = os.fsdecode(os.fsencode(tmp_path) + b"/bad\xffname\xe2\x82\xc1\x81.quarlen")
    cases = [
        (tmp_path / "absent.quarlen", f"{tmp_path}/absent.quarlen: No such file or directory (os error 2)"),
        (tmp_path / "plain" / "x", f"{tmp_path}/plain/x: Not a directory (os error 20)"),
        (tmp_path, f"{tmp_path}: not a .quarlen file (i/o error: Is a directory (os error 21))"),
        (f"{tmp_path}/a\0b", f"{tmp_path}/a\0b: file name contained an unexpected NUL byte"),
        (tmp_path / "plain", f"{tmp_path}/plain: not a .quarlen file ({NO_END})"),
        (raw, f"{tmp_path}/bad\ufffdname\ufffd\ufffd\ufffd.quarlen: No such file or directory (os error 2)"),
    ]
    for path, message in cases:
        assert [error(call, path) for call in CALLS] == [message] * len(CALLS)


def member_file(text, *, rows=None, rec=None, name=KEYED, entry=True) -> bytes:
    """`rec` replaces the true record of `rows` rows; `entry` False leaves the entry out, a str renames it."""
    doc = json.dumps({"format": FORMAT, "members": {name: rec or record(text, rows)}}, ensure_ascii=False)
    return zipped(*[(entry if isinstance(entry, str) else name + ".jsonl", text)] * bool(entry),
                  ("manifest.json", doc.encode()))


THREE = b"[1]\n[2]\n[3]\n"
ZIP_FAULT = "{name}: invalid Zip archive: "
MISSING = "{name}: listed in the manifest but missing from the file"
CHECKSUM = "{name}: checksum does not match the manifest (the file was changed or damaged)"
COUNT = "{name}: 3 rows, the manifest says "

MEMBER_FAULTS = {
    "no-entry": (member_file(b"", entry=False), MISSING),
    "entry-case": (member_file(b"", name="plscope_identifiers/My Schema", entry="plscope_identifiers/my schema.jsonl"),
                   MISSING, "plscope_identifiers/My Schema"),
    "encrypted": (raw_member(flags=1), MISSING),
    # Reached through another entry's local header, whose data checks out.
    "aliased": (raw_zip([{"name": "decoy", "data": MEMBER_TEXT}, {"name": KEYED + ".jsonl", "data": MEMBER_TEXT, "offset": 0},
                         {"name": "manifest.json", "data": json.dumps(
                             {"format": FORMAT, "members": {KEYED: record(MEMBER_TEXT)}}).encode()}]), MISSING),
    "stored-byte": (raw_member(method=0, payload=b'[["x"]]\n'), ZIP_FAULT + "Invalid checksum"),
    "crc": (raw_member(crc=0), ZIP_FAULT + "Invalid checksum"),
    "usize": (raw_member(usize=0xFFFFFFFF, flags=8, central_extra=b"\1\0\x08\0" + (2**62).to_bytes(8, "little")),
              ZIP_FAULT + "Declared size cannot come from the compressed data"),
    # UTF-8 is tested before the checksum, so a wrong checksum does not hide it.
    "not-utf8": (member_file(b'[["\xff"]]\n'), "{name}: " + NOT_UTF8),
    "overlong-utf8": (member_file(b'[["\xc1\x81"]]\n'), "{name}: " + NOT_UTF8),
    "not-utf8-wrong-sha": (member_file(b"\xfe\xff\n", rec=record(b"other"), name="control_rows/Ä"),
                           "{name}: " + NOT_UTF8, "control_rows/Ä"),
    "changed": (member_file(b"not json\n\n", rec=record(MEMBER_TEXT)), CHECKSUM),
    "sha-upper": (member_file(MEMBER_TEXT, rec={"rows": 1, "sha256": sha(MEMBER_TEXT).upper()}), CHECKSUM),
    "record-list": (member_file(MEMBER_TEXT, rec=[sha(MEMBER_TEXT)]), CHECKSUM),
    "empty-needs-sha": (member_file(b"", rec={"rows": 0}), CHECKSUM),
    "blank-line": (member_file(b"[1]\n\n[2]\n", rows=1), "{name} line 2: EOF while parsing a value at line 1 column 1"),
    "split-row": (member_file(b"[1]\n[\n2]\n", rows=1), "{name} line 2: EOF while parsing a list at line 1 column 2"),
    "lone-cr": (member_file(b"[1]\r\n[1]\r\r\n[1]\rx\n", rows=1), "{name} line 3: trailing characters at line 1 column 5"),
    # The count: "rows" must be the same non-negative integer, not just an equal number.
    "count-float": (member_file(THREE, rec={"sha256": sha(THREE), "rows": 3.0}), COUNT + "3.0"),
    "count-negative-zero": (member_file(b"", rec={"sha256": sha(b""), "rows": -0.0}), "{name}: 0 rows, the manifest says -0.0"),
    "count-missing": (member_file(THREE, rec={"sha256": sha(THREE)}), COUNT + "null"),
    "count-more": (member_file(THREE, rows=4), COUNT + "4"),
    "count-huge": (member_file(THREE, rows=2**64 + 3), COUNT + "1.8446744073709552e19"),
    # The shape: each row a list of the member's number of values; the first bad row reports.
    "row-object": (member_file(b"[1]\n{}\n"), "{name} row 2: not a list of values"),
    "row-empty": (member_file(b"[]\n"), "{name} row 1: 0 values, the format has 1"),
    "row-long": (member_file(b"[1,2,3,4]\n[1,2,3,4,5]\n{}\n", name="comments"), "{name} row 2: 5 values, the format has 4", "comments"),
    # A member that fails two checks: the first in this order reports.
    "checksum-over-lines": (member_file(b"x\n", rec=record(b"[2]\n")), CHECKSUM),
    "line-over-count": (member_file(b"[1]\nx\n", rows=7), "{name} line 2: expected value at line 1 column 1"),
    "count-over-shape": (member_file(b"{}\n[1,2]\n", rows=1), "{name}: 2 rows, the manifest says 1"),
    "row-short": (member_file(b"[" + b"1," * 12 + b"1]\n[1]\n", name="plscope_statements/HR"),
                  "{name} row 2: 1 values, the format has 13", "plscope_statements/HR"),
}


@pytest.mark.parametrize("key", list(MEMBER_FAULTS))
def test_member_refused(tmp_path, key):
    content, message, *other = MEMBER_FAULTS[key]
    name = other[0] if other else KEYED
    message = message.replace("{name}", name)
    path = tmp_path / "x.quarlen"
    path.write_bytes(content)
    before = open_fds()
    assert error(read, path, name) == error(load, path, name) == message
    assert error(lambda: list(iter_rows(path, name))) == message
    assert json.loads(verify(path))["problems"] == [message]
    assert open_fds() == before


def test_manifest_is_compact_and_sorted(tmp_path):
    # Keys sort by their UTF-8 bytes, which is code point order; any valid name needs no entry.
    stored = (
        '{\n    "zeta": {"b": [1, 2 ,3], "a": {"y": null, "x": true}},\n'
        '\t"members": {"units": {"sha256": "s", "rows": 0, "bytes": 9},\n "control_rows/a\\\\b": {},'
        ' "plscope_identifiers/.": 1, "plscope_statements/é": []},\r\n'
        '  "format" : "quarlen/1",  "Alpha": "\\u00e9\\/\\u001f\\n", "alpha": 1.50,\n'
        '  "\U0001f600": 0, "\uffff": 0, "é": 0, "a ": 0,\n'
        '  "n": [2.0, 2, 1E2, -0, 18446744073709551615, 18446744073709551616, -9223372036854775808],\n'
        '  "dup": 1, "dup": 2\n}\n'
    )
    path = archive(tmp_path / "x.quarlen", manifest_text=stored)
    assert manifest(path) == (
        '{"Alpha":"é/\\u001f\\n","a ":0,"alpha":1.5,"dup":2,"format":"quarlen/1",'
        '"members":{"control_rows/a\\\\b":{},"plscope_identifiers/.":1,"plscope_statements/é":[],'
        '"units":{"bytes":9,"rows":0,"sha256":"s"}},'
        '"n":[2.0,2,100.0,-0.0,18446744073709551615,1.8446744073709552e19,-9223372036854775808],'
        '"zeta":{"a":{"x":true,"y":null},"b":[1,2,3]},"é":0,"\uffff":0,"\U0001f600":0}'
    )


@pytest.mark.parametrize("wrap", [str, pathlib.Path, lambda p: type("FsPath", (), {"__fspath__": lambda self: str(p)})(), os.path.relpath],
                         ids=["str", "pathlib", "fspath", "relative"])
def test_path_like_objects(tmp_path, wrap):
    path = archive(tmp_path / "x.quarlen", {"comments": lines([1, 2, 3, 4])})
    assert manifest(wrap(path)) == manifest(str(path))
    assert read(wrap(path), type("Name", (str,), {})("comments")) == "[[1,2,3,4]]"
    assert load(wrap(path), "comments") == [[1, 2, 3, 4]]
    assert verify(wrap(path)) == report({"comments": 1})


@pytest.mark.parametrize("name, message", [
    ("bogus", "bogus: not a member of quarlen/1"),
    ("objects/APP", "objects/APP: objects takes no key"),
    ("control_rows", "control_rows: control_rows needs a key after a slash (control_rows/OWNER)"),
    ("comments", None),  # not listed: no rows, even from a damaged entry
    ("plscope_statements/é", None),
])
def test_read_checks_the_name_and_skips_what_is_not_listed(tmp_path, name, message):
    path = archive(tmp_path / "x.quarlen", {"units": lines([1, 2, 3, 4])}, extra=[(name + ".jsonl", b"\xff x\n")])
    if message is None:
        assert read(path, name) == "[]" and load(path, name) == [] and list(iter_rows(path, name)) == []
    else:
        assert error(read, path, name) == error(load, path, name) == message


CATALOGUE = {
    "objects": [[1, "APP", "T1", "TABLE", "VALID", "N", "2024-01-01"], [2, "APP", "V1", "VIEW", None, "N", None]],
    "comments": [["APP", "T1", "C1", "note é"], ["APP", "T1", None, {"nested": [1, 2.5, {"b": 1, "a": 2}]}]],
    "units": [],
    "control_rows/APP": [[1], [{"k": "v"}], ["line\nfeed"]],
    "plscope_identifiers/Ä": [list(range(10))],
    "external_tables": [["APP", "X", {"location": "/data"}]] * 50,
}


def check_consistent(path):
    """A damaged file gives ValueError or well-formed results that agree."""
    try:
        listed = json.loads(manifest(path))["members"]
    except ValueError as e:
        assert [error(verify, path)] + [error(read, path, name) for name in CATALOGUE] == [str(e)] * (1 + len(CATALOGUE))
        return "file"
    rep = json.loads(verify(path), object_pairs_hook=lambda kv: kv)
    assert [k for k, _ in rep] == ["format", "members", "ok", "problems"]
    rep = dict(rep)
    assert rep["format"] == FORMAT and rep["ok"] is (rep["problems"] == [])
    assert len(rep["members"]) + len(rep["problems"]) == len(listed) and set(dict(rep["members"])) <= set(listed)
    for name in CATALOGUE:
        try:
            assert len(json.loads(read(path, name))) == dict(rep["members"]).get(name, 0)
        except ValueError as e:
            assert str(e) in rep["problems"]
    return "report" if rep["ok"] else "problems"


def test_random_damage_never_crashes_nor_leaks(tmp_path):
    path = tmp_path / "x.quarlen"
    write(path, CATALOGUE.items(), '{"source":"db1"}')
    original = path.read_bytes()
    rnd = random.Random(20240611)
    seen = {"file": 0, "report": 0, "problems": 0}
    before = open_fds()
    for _ in range(600):
        data = bytearray(original)
        for _ in range(rnd.choice([1, 1, 1, 2, 8])):
            data[rnd.randrange(len(data))] ^= rnd.randrange(1, 256)
        path.write_bytes(bytes(data))
        seen[check_consistent(path)] += 1  # an internal fault raises PanicException, which fails the test
    assert all(seen.values()), seen
    assert open_fds() == before
