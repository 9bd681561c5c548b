import json
import os
import pathlib
import random
import struct
import zipfile
import zlib

import pytest

from quarlen._native import manifest, read, verify

from archives import CHECKSUM, FORMAT, MISSING, archive, compact, error, lines, open_fds, record, sha, zipped

NO_END = "invalid Zip archive: Could not find central directory end"
NO_MANIFEST = "{path}: no manifest (not a .quarlen file, or not finished)"
NOT_UTF8 = "stream did not contain valid UTF-8"
KEYED = "control_rows/APP"

READERS = {
    "manifest": manifest,
    "read": lambda path: read(path, "comments"),
    "verify": verify,
}


@pytest.fixture(params=sorted(READERS))
def reader(request):
    return READERS[request.param]


def deflate(data: bytes) -> bytes:
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def raw_zip(entries, *, end=None) -> bytes:
    """Entries as dicts of header fields to override; `end(offset, size, count)` lays out the end records."""
    out = bytearray()
    central = bytearray()
    for e in entries:
        name = e["name"].encode()
        data = e.get("data", b"")
        method = e.get("method", 8)
        payload = e.get("payload", deflate(data) if method == 8 else data)
        crc = e.get("crc", zlib.crc32(data))
        csize = e.get("csize", len(payload))
        usize = e.get("usize", len(data))
        flags = e.get("flags", 0)
        central_extra = e.get("central_extra", b"")
        offset = e.get("offset", len(out))
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, 0, 0x21, crc, csize & 0xFFFFFFFF,
                           usize & 0xFFFFFFFF, len(name), 0)
        out += name + payload
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x0314, 20, flags, method, 0, 0x21,
                               crc, csize & 0xFFFFFFFF, usize & 0xFFFFFFFF, len(name),
                               len(central_extra), 0, 0, 0, 0x81A40000, offset & 0xFFFFFFFF)
        central += name + central_extra
    directory_offset = len(out)
    out += central
    if end is None:
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central),
                           directory_offset, 0)
    else:
        out += end(directory_offset, len(central), len(entries))
    return bytes(out)


def zip64_extra(*values) -> bytes:
    return struct.pack("<HH", 1, 8 * len(values)) + b"".join(struct.pack("<Q", v) for v in values)


GOOD_MANIFEST = json.dumps({"format": FORMAT, "members": {}}).encode()
MEMBER_TEXT = b'[["a"]]\n'


def raw_manifest(**overrides) -> bytes:
    return raw_zip([dict({"name": "manifest.json", "data": GOOD_MANIFEST}, **overrides)])


def raw_member(**overrides) -> bytes:
    doc = json.dumps({"format": FORMAT, "members": {KEYED: record(MEMBER_TEXT)}}).encode()
    return raw_zip([dict({"name": KEYED + ".jsonl", "data": MEMBER_TEXT}, **overrides),
                    {"name": "manifest.json", "data": doc}])


def test_raw_builder_makes_sound_archives(tmp_path):
    path = tmp_path / "x.quarlen"
    path.write_bytes(raw_member(method=0))
    assert zipfile.ZipFile(path).testzip() is None
    assert read(path, KEYED) == '[[["a"]]]'
    assert verify(path) == '{"format":"quarlen/1","members":{"control_rows/APP":1},"ok":true,"problems":[]}'


def manifest_file(text) -> bytes:
    return zipped(("manifest.json", text.encode() if isinstance(text, str) else text))


def listing(*names) -> bytes:
    """A manifest listing these names in the order given, so sorting is the reader's own doing."""
    members = ",".join(f'{json.dumps(name, ensure_ascii=False)}:{{}}' for name in names)
    return manifest_file(f'{{"members":{{{members}}},"format":"quarlen/1"}}')


NOT_QUARLEN = "{path}: not a .quarlen file (" + NO_END + ")"
NEEDS_KEY = "{0}: control_rows needs a key after a slash (control_rows/OWNER)"

WHOLE_FILE = {
    "empty": (b"", NOT_QUARLEN),
    "member-only": (zipped(("comments.jsonl", b"")), NO_MANIFEST),
    "nested": (zipped(("dir/manifest.json", GOOD_MANIFEST)), NO_MANIFEST),
    "encrypted": (raw_manifest(flags=1), NO_MANIFEST),
    # A damaged manifest entry: the bare ZIP description, without path or prefix.
    "crc": (raw_manifest(crc=0x12345678), "invalid Zip archive: Invalid checksum"),
    # Refused before anything near the declared size is allocated.
    "usize": (raw_manifest(usize=0xFFFFFFF0), "manifest: larger than 67108864 bytes"),
    "usize-ratio": (raw_manifest(usize=64 << 20), "invalid Zip archive: Declared size cannot come from the compressed data"),
    "longer": (raw_manifest(usize=len(GOOD_MANIFEST) + 1),
               "invalid Zip archive: Entry data does not match its declared size"),
    "not-utf8": (manifest_file(b'{"format":"quarlen/1","members":{},"x":"\xff"}'), NOT_UTF8),
    "utf8-first": (manifest_file(b'{"format":"quarlen/2","x":"\x80"}'), NOT_UTF8),
    "json-comma": (manifest_file('{"format":"quarlen/1",\n"members":{},}'), "manifest: trailing comma at line 2 column 14"),
    "no-format": (manifest_file('{"members":{}}'), "manifest: no format"),
    "format-number": (manifest_file('{"format":1,"members":{}}'), "manifest: no format"),
    "format-raw": (manifest_file('{"format":"q\\"é\\n","members":{}}'), 'format q"é\n: this version reads quarlen/1'),
    # The format is tested before the members and their names.
    "format-first": (manifest_file('{"format":"quarlen/2"}'), "format quarlen/2: this version reads quarlen/1"),
    "format-before-names": (manifest_file('{"members":{"bogus":1}}'), "manifest: no format"),
    "no-members": (manifest_file('{"format":"quarlen/1"}'), "manifest: no members"),
    "members-list": (manifest_file('{"format":"quarlen/1","members":[]}'), "manifest: no members"),
    "name-unknown": (listing("comments", "bogus"), "bogus: not a member of quarlen/1"),
    "name-keyed": (listing("objects/APP"), "objects/APP: objects takes no key"),
    "name-no-key": (listing("control_rows/"), NEEDS_KEY.format("control_rows/")),
    # Several wrong names: the one that sorts first by its bytes, whatever the stored order.
    "names-sorted": (listing("zzz", "units", "aaa"), "aaa: not a member of quarlen/1"),
    "names-sorted-bytes": (listing("é", "objects/é"), "objects/é: objects takes no key"),
}


@pytest.mark.parametrize("key", list(WHOLE_FILE))
def test_file_refused(tmp_path, reader, key):
    content, message = WHOLE_FILE[key]
    path = tmp_path / "x.quarlen"
    path.write_bytes(content)
    assert error(reader, path) == message.replace("{path}", str(path))


@pytest.mark.parametrize(
    "case",
    ["missing", "not-a-directory", "directory", "nul",
     pytest.param("unreadable", marks=pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file"))],
)
def test_file_cannot_be_read(tmp_path, reader, case):
    (tmp_path / "plain").write_text("x")
    path, message = {
        "missing": (tmp_path / "absent.quarlen", "No such file or directory (os error 2)"),
        "not-a-directory": (tmp_path / "plain" / "x.quarlen", "Not a directory (os error 20)"),
        "directory": (tmp_path, "not a .quarlen file (i/o error: Is a directory (os error 21))"),
        "nul": (f"{tmp_path}/a\0b", "file name contained an unexpected NUL byte"),
        "unreadable": (tmp_path / "plain", "Permission denied (os error 13)"),
    }[case]
    if case == "unreadable":
        path.chmod(0)
    assert error(reader, path) == f"{path}: {message}"


def test_manifest_accepts_valid_names_without_entries(tmp_path):
    names = ["comments", "control_rows/APP", "plscope_identifiers/.", "plscope_identifiers/My Schema",
             "plscope_statements/é", "control_rows/a\\b"]
    doc = {"format": FORMAT, "members": {name: "not a record" for name in names}}
    path = archive(tmp_path / "x.quarlen", manifest_text=json.dumps(doc))
    assert json.loads(manifest(path)) == doc


def test_manifest_is_compact_and_sorted(tmp_path):
    # Keys sort by their UTF-8 bytes, which is code point order.
    stored = (
        '{\n    "zeta": {"b": [1, 2 ,3], "a": {"y": null, "x": true}},\n'
        '\t"members": {"units": {"sha256": "s", "rows": 0, "bytes": 9},\n "comments": {}},\r\n'
        '  "format" : "quarlen/1",  "Alpha": "\\u00e9\\/\\u001f\\n", "alpha": 1.50,\n'
        '  "\U0001f600": 0, "\uffff": 0, "é": 0, "a ": 0,\n'
        '  "n": [2.0, 2, 1E2, -0, 18446744073709551615, 18446744073709551616, -9223372036854775808],\n'
        '  "dup": 1, "dup": 2\n}\n'
    )
    path = archive(tmp_path / "x.quarlen", manifest_text=stored)
    assert manifest(path) == (
        '{"Alpha":"é/\\u001f\\n","a ":0,"alpha":1.5,"dup":2,"format":"quarlen/1",'
        '"members":{"comments":{},"units":{"bytes":9,"rows":0,"sha256":"s"}},'
        '"n":[2.0,2,100.0,-0.0,18446744073709551615,1.8446744073709552e19,-9223372036854775808],'
        '"zeta":{"a":{"x":true,"y":null},"b":[1,2,3]},"é":0,"\uffff":0,"\U0001f600":0}'
    )


class FsPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


class Name(str):
    pass


@pytest.mark.parametrize("wrap", [str, pathlib.Path, lambda p: FsPath(str(p))], ids=["str", "pathlib", "fspath"])
def test_path_like_objects(tmp_path, wrap):
    path = archive(tmp_path / "x.quarlen", {"comments": lines([1, 2, 3, 4])})
    assert manifest(wrap(path)) == manifest(str(path))
    assert read(wrap(path), Name("comments")) == "[[1,2,3,4]]"
    assert json.loads(verify(wrap(path)))["ok"] is True


def test_relative_path(tmp_path, monkeypatch):
    archive(tmp_path / "x.quarlen")
    monkeypatch.chdir(tmp_path)
    assert manifest("x.quarlen") == '{"format":"quarlen/1","members":{}}'
    assert error(manifest, "y.quarlen") == "y.quarlen: No such file or directory (os error 2)"


BYTES_PATH = "argument 'path': 'bytes' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: manifest(os.fsencode(p)), BYTES_PATH),
        (lambda p: verify(FsPath(os.fsencode(p))), BYTES_PATH),
        (lambda p: read(path=os.fsencode(p), name="comments"), BYTES_PATH),
        (lambda p: read(p, b"comments"), "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
        (lambda p: read(p, None), "argument 'name': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda p: read(p), "read() missing 1 required positional argument: 'name'"),
    ],
)
def test_arguments_refused(tmp_path, call, message):
    path = archive(tmp_path / "x.quarlen")
    assert error(call, str(path), kind=TypeError) == message


def test_non_utf8_path_shown_with_replacement_character(tmp_path):
    raw = os.fsencode(tmp_path) + b"/bad\xffname\xe2\x82.quarlen"
    shown, path = f"{tmp_path}/bad\ufffdname\ufffd.quarlen", os.fsdecode(raw)
    assert error(manifest, path) == f"{shown}: No such file or directory (os error 2)"
    pathlib.Path(path).write_bytes(b"plain")
    for call in READERS.values():
        assert error(call, path) == f"{shown}: not a .quarlen file ({NO_END})"
    pathlib.Path(path).write_bytes(raw_manifest())
    assert manifest(path) == '{"format":"quarlen/1","members":{}}'


@pytest.mark.parametrize(
    "name, message, with_entry",
    [
        ("bogus", "bogus: not a member of quarlen/1", False),
        ("objects/APP", "objects/APP: objects takes no key", True),
        ("control_rows", "control_rows: control_rows needs a key after a slash (control_rows/OWNER)", True),
    ],
)
def test_read_name_check_comes_first(tmp_path, name, message, with_entry):
    extra = [(name + ".jsonl", lines([1]))] if with_entry else []
    path = archive(tmp_path / "x.quarlen", extra=extra)
    assert error(read, path, name) == message


@pytest.mark.parametrize("name", ["comments", "plscope_statements/é"])
def test_read_unlisted_member_is_empty(tmp_path, name):
    # The entry exists and is not even JSON: an unlisted member is not read at all.
    path = archive(tmp_path / "x.quarlen", {"units": lines([1, 2, 3, 4])}, extra=[(name + ".jsonl", b"\xff x\n")])
    assert read(path, name) == "[]"


DEFAULT = object()


def member_file(text, *, rows=None, rec=DEFAULT, name=KEYED, entry=DEFAULT) -> bytes:
    """`rec` replaces the true record of `rows` rows; `entry` renames the entry, None leaves it out."""
    rec = record(text, rows) if rec is DEFAULT else rec
    entry = name + ".jsonl" if entry is DEFAULT else entry
    doc = json.dumps({"format": FORMAT, "members": {name: rec}}, ensure_ascii=False).encode()
    return zipped(*([(entry, text)] if entry else []), ("manifest.json", doc))


THREE = b"[1]\n[2]\n[3]\n"


def counted(rows, text=THREE) -> bytes:
    return member_file(text, rec={"sha256": sha(text)} | ({} if rows is DEFAULT else {"rows": rows}))


ZIP_FAULT = "{name}: invalid Zip archive: "
MEMBER_NOT_UTF8 = "{name}: " + NOT_UTF8
MISSING, CHECKSUM = MISSING.format("{name}"), CHECKSUM.format("{name}")
COUNT = "{name}: 3 rows, the manifest says "

MEMBER_FAULTS = {
    # The entry: none of that exact name, one that cannot be opened, or damaged data.
    "no-entry": (member_file(b"", entry=None), MISSING),
    "entry-case-keyed": (member_file(b"", name="plscope_identifiers/My Schema",
                                     entry="plscope_identifiers/my schema.jsonl"), MISSING, "plscope_identifiers/My Schema"),
    "encrypted": (raw_member(flags=1), MISSING),
    # Reached through another entry's local header, whose data checks out.
    "aliased": (raw_zip([{"name": "decoy", "data": MEMBER_TEXT},
                         {"name": KEYED + ".jsonl", "data": MEMBER_TEXT, "offset": 0},
                         {"name": "manifest.json", "data": json.dumps(
                             {"format": FORMAT, "members": {KEYED: record(MEMBER_TEXT)}}).encode()}]), MISSING),
    "stored-byte": (raw_member(method=0, payload=b'[["x"]]\n'), ZIP_FAULT + "Invalid checksum"),
    "crc": (raw_member(crc=0), ZIP_FAULT + "Invalid checksum"),
    "usize": (raw_member(usize=0xFFFFFFFF, central_extra=zip64_extra(2**62), flags=8),
              ZIP_FAULT + "Declared size cannot come from the compressed data"),
    # UTF-8 is tested before the checksum, so a wrong checksum does not hide it.
    "not-utf8": (member_file(b'[["\xff"]]\n'), MEMBER_NOT_UTF8),
    "not-utf8-wrong-sha": (member_file(b"\xfe\xff\n", rec=record(b"other"), name="control_rows/Ä"),
                               MEMBER_NOT_UTF8, "control_rows/Ä"),
    # The checksum: the text changed, or the record holds no string equal to its digest.
    "changed": (member_file(b"not json\n\n", rec=record(MEMBER_TEXT)), CHECKSUM),
    "sha-upper": (member_file(MEMBER_TEXT, rec={"rows": 1, "sha256": sha(MEMBER_TEXT).upper()}), CHECKSUM),
    "sha-missing": (member_file(MEMBER_TEXT, rec={"rows": 1}), CHECKSUM),
    "record-list": (member_file(MEMBER_TEXT, rec=[sha(MEMBER_TEXT)]), CHECKSUM),
    "empty-needs-sha": (member_file(b"", rec={"rows": 0}), CHECKSUM),
    # Each line one JSON value; line ends are LF, CRLF, or a CR the parser takes as whitespace.
    "blank-line": (member_file(b"[1]\n\n[2]\n", rows=1), "{name} line 2: EOF while parsing a value at line 1 column 1"),
    "cr-line": (member_file(b"[1]\n\r\n", rows=1), "{name} line 2: EOF while parsing a value at line 1 column 1"),
    "split-row": (member_file(b"[1]\n[\n2]\n", rows=1), "{name} line 2: EOF while parsing a list at line 1 column 2"),
    "lone-cr": (member_file(b"[1]\r\n[1]\r\r\n[1]\rx\n", rows=1), "{name} line 3: trailing characters at line 1 column 5"),
    # The count: "rows" must be the same non-negative integer, not just an equal number.
    "count-float": (counted(3.0), COUNT + "3.0"),
    "count-negative-zero": (counted(-0.0, b""), "{name}: 0 rows, the manifest says -0.0"),
    "count-string": (counted("3"), COUNT + '"3"'),
    "count-missing": (counted(DEFAULT), COUNT + "null"),
    "count-more": (counted(4), COUNT + "4"),
    "count-object": (counted({"n": 3}), COUNT + '{"n":3}'),
    "count-huge": (counted(2**64 + 3), COUNT + "1.8446744073709552e19"),
    # The shape: each row a list of the member's number of values; the first bad row reports.
    "row-object": (member_file(b"[1]\n{}\n"), "{name} row 2: not a list of values"),
    "row-empty": (member_file(b"[]\n"), "{name} row 1: 0 values, the format has 1"),
    "row-long": (member_file(b"[1,2,3,4]\n[1,2,3,4,5]\n{}\n", name="comments"),
                 "{name} row 2: 5 values, the format has 4", "comments"),
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
    assert error(read, path, name) == message
    assert json.loads(verify(path))["problems"] == [message]


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_every_call_closes_its_file(tmp_path):
    contents = [raw_member(), b""] + [content for content, *_ in [*WHOLE_FILE.values(), *MEMBER_FAULTS.values()]]
    paths = [tmp_path / "absent.quarlen"]
    for i, content in enumerate(contents):
        paths.append(tmp_path / f"{i}.quarlen")
        paths[-1].write_bytes(content)
    calls = [manifest, verify, lambda p: read(p, KEYED), lambda p: read(p, "objects"), lambda p: read(p, "bogus")]

    def round_of_calls():
        outcomes = []
        for path in paths:
            for call in calls:
                try:
                    outcomes.append(call(path))
                except ValueError as e:
                    outcomes.append(e)
        return [str(outcome) for outcome in outcomes]

    first = round_of_calls()
    before = open_fds()
    for _ in range(5):
        assert round_of_calls() == first
    assert open_fds() == before


@pytest.mark.parametrize("text", [b"[1]\n[2]\n[3]", b"[1]\r\n[2]\r\n[3]\r\n", b"[1]\n[2]\r\n[3]\r", b" [1]\n\t[2] \n[ 3 ]\r\r\n"])
def test_read_line_ends(tmp_path, text):
    path = tmp_path / "x.quarlen"
    path.write_bytes(member_file(text, rows=3))
    assert read(path, KEYED) == "[[1],[2],[3]]"
    assert verify(path) == '{"format":"quarlen/1","members":{"control_rows/APP":3},"ok":true,"problems":[]}'


def test_read_step_order(tmp_path):
    checksum_over_lines = b"x\n"
    line_over_count = b"[1]\nx\n"
    count_over_shape = b"{}\n[1,2]\n"
    path = archive(
        tmp_path / "x.quarlen",
        {"control_rows/A": checksum_over_lines, "control_rows/B": line_over_count,
         "control_rows/C": count_over_shape},
        records={
            "control_rows/A": record(b"[1]\n"),
            "control_rows/B": record(line_over_count, rows=7),
            "control_rows/C": record(count_over_shape, rows=1),
        },
    )
    problems = [
        CHECKSUM.replace("{name}", "control_rows/A"),
        "control_rows/B line 2: expected value at line 1 column 1",
        "control_rows/C: 2 rows, the manifest says 1",
    ]
    assert [error(read, path, f"control_rows/{k}") for k in "ABC"] == problems
    assert json.loads(verify(path))["problems"] == problems


@pytest.mark.parametrize("name", ["control_rows/APP", "plscope_identifiers/My Schema", "control_rows/\U0001f600"])
def test_read_keyed_member_uses_whole_name(tmp_path, name):
    columns = {"control_rows": 1, "plscope_identifiers": 10}[name.split("/")[0]]
    row = list(range(columns))
    path = archive(tmp_path / "x.quarlen", {name: lines(row, row)})
    with zipfile.ZipFile(path) as z:
        assert bool(z.getinfo(name + ".jsonl").flag_bits & 0x800) == (not name.isascii())
    assert read(path, name) == compact([row, row])
    assert read(path, name.split("/")[0] + "/OTHER") == "[]"


@pytest.mark.parametrize(
    "value, expected",
    [
        (b"[1.50, 2.0, 2, 1E2, -0, 1.5e-7, 1e20, 18446744073709551615, -9223372036854775808, 18446744073709551616]",
         "[1.5,2.0,2,100.0,-0.0,1.5e-7,1e20,18446744073709551615,-9223372036854775808,1.8446744073709552e19]"),
        (b'["\\u00e9\\/\\u001f\\n\\t\\"\\\\", "\xc3\xa9/\x7f", "\\ud83d\\ude00"]',
         '["é/\\u001f\\n\\t\\"\\\\","é/\x7f","\U0001f600"]'),
        (b'{"\\u00e9":1,"z":2,"\\u007a":3}', '{"z":3,"é":1}'),
        (b"[" * 126 + b"1" + b"]" * 126, "[" * 126 + "1" + "]" * 126),  # 127 levels with the row
    ],
)
def test_read_returns_rows_as_parsed(tmp_path, value, expected):
    text = b"[" + value + b"]\n"
    path = archive(tmp_path / "x.quarlen", {KEYED: text})
    assert read(path, KEYED) == "[[" + expected + "]]"


def random_value(rnd, depth=0):
    kind = rnd.randrange(9 if depth < 3 else 6)
    if kind < 5:
        # Decimals of at least 0.001 in magnitude: where the exponent form starts is our own choice.
        return [None, rnd.random() < 0.5, rnd.randrange(-(2**63), 2**64), rnd.randrange(-4000, 4000) / 8,
                rnd.randrange(-10**6, 10**6) / 10 ** rnd.randrange(1, 4)][kind]
    if kind == 5:
        return "".join(chr(rnd.choice([rnd.randrange(0, 0x80), rnd.randrange(0x80, 0xD800),
                                       rnd.randrange(0xE000, 0x110000)])) for _ in range(rnd.randrange(6)))
    if kind in (6, 7):
        return [random_value(rnd, depth + 1) for _ in range(rnd.randrange(4))]
    return {str(rnd.randrange(50)): random_value(rnd, depth + 1) for _ in range(rnd.randrange(4))}


def test_read_matches_python_json(tmp_path):
    rnd = random.Random(20240611)
    rows = [[random_value(rnd) for _ in range(4)] for _ in range(300)]
    # Stored with whitespace and unsorted keys, as another writer might.
    text = b"".join(json.dumps(row, ensure_ascii=rnd.random() < 0.5).encode() + b"\n" for row in rows)
    path = archive(tmp_path / "x.quarlen", {"comments": text})
    assert read(path, "comments") == compact(rows)
    assert json.loads(verify(path))["members"] == {"comments": 300}
