import json
import os
import pathlib
import struct
import subprocess
import sys
import zipfile
import zlib

import pytest

from quarlen._native import Writer, manifest, read, verify

from archives import FORMAT, archive, compact, error, lines, pack, record, sha

NO_END = "invalid Zip archive: Could not find central directory end"


READERS = {
    "manifest": manifest,
    "read": lambda path: read(path, "comments"),
    "verify": verify,
}


@pytest.fixture(params=sorted(READERS))
def reader(request):
    """Each reading call: whole-file failures read the same from all three."""
    return READERS[request.param]


# --- Raw ZIP bytes, for fields that zipfile will not write ---------------------------------


def deflate(data: bytes) -> bytes:
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


def raw_zip(entries, *, comment=b"", end=None) -> bytes:
    """Lays out entries given as dicts; any header field can be overridden.

    Keys: name, data (uncompressed), method (8), payload (the stored bytes),
    flags, crc, csize, usize, local_extra, central_extra, offset,
    local_name_length. `end`
    replaces the end-of-central-directory record (it receives the directory's
    offset, size and count).
    """
    out = bytearray()
    central = bytearray()
    for e in entries:
        name = e["name"].encode() if isinstance(e["name"], str) else e["name"]
        data = e.get("data", b"")
        method = e.get("method", 8)
        payload = e.get("payload", deflate(data) if method == 8 else data)
        crc = e.get("crc", zlib.crc32(data))
        csize = e.get("csize", len(payload))
        usize = e.get("usize", len(data))
        flags = e.get("flags", 0)
        local_extra = e.get("local_extra", b"")
        central_extra = e.get("central_extra", b"")
        offset = e.get("offset", len(out))
        local_name_length = e.get("local_name_length", len(name))
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, 0, 0x21,
                           crc, csize & 0xFFFFFFFF, usize & 0xFFFFFFFF, local_name_length, len(local_extra))
        out += name + local_extra + payload
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x0314, 20, flags, method, 0, 0x21,
                               crc, csize & 0xFFFFFFFF, usize & 0xFFFFFFFF, len(name),
                               len(central_extra), 0, 0, 0, 0x81A40000, offset & 0xFFFFFFFF)
        central += name + central_extra
    directory_offset = len(out)
    out += central
    if end is None:
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central),
                           directory_offset, len(comment)) + comment
    else:
        out += end(directory_offset, len(central), len(entries))
    return bytes(out)


def zip64_extra(*values) -> bytes:
    return struct.pack("<HH", 1, 8 * len(values)) + b"".join(struct.pack("<Q", v) for v in values)


GOOD_MANIFEST = json.dumps({"format": FORMAT, "members": {}}).encode()


def comments_manifest(text: bytes) -> bytes:
    return json.dumps({"format": FORMAT, "members": {"comments": record(text)}}).encode()


# --- open_archive: the file as a whole ------------------------------------------------------


def test_missing_file(tmp_path, reader):
    path = tmp_path / "absent.quarlen"
    assert error(reader, path) == f"{path}: No such file or directory (os error 2)"


def test_missing_directory_in_path(tmp_path, reader):
    path = tmp_path / "absent" / "x.quarlen"
    assert error(reader, path) == f"{path}: No such file or directory (os error 2)"


def test_not_a_directory_in_path(tmp_path, reader):
    (tmp_path / "plain").write_text("x")
    path = tmp_path / "plain" / "x.quarlen"
    assert error(reader, path) == f"{path}: Not a directory (os error 20)"


def test_directory(tmp_path, reader):
    # Opening a directory read-only succeeds on Linux; reading it is what fails.
    assert error(reader, tmp_path) == (
        f"{tmp_path}: not a .quarlen file (i/o error: Is a directory (os error 21))"
    )


def test_nul_in_path(tmp_path, reader):
    path = f"{tmp_path}/a\0b"
    assert error(reader, path) == f"{path}: file name contained an unexpected NUL byte"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file(tmp_path, reader):
    path = archive(tmp_path / "x.quarlen")
    path.chmod(0)
    assert error(reader, path) == f"{path}: Permission denied (os error 13)"


@pytest.mark.parametrize(
    "content",
    [b"", b"hello world\n", b"PK", b"PK\x05\x06", b"\0" * 21, bytes(range(256)) * 4],
    ids=["empty", "text", "magic", "short-end", "zeros", "bytes"],
)
def test_not_a_zip(tmp_path, reader, content):
    path = tmp_path / "x.quarlen"
    path.write_bytes(content)
    assert error(reader, path) == f"{path}: not a .quarlen file ({NO_END})"


@pytest.mark.parametrize(
    "entries",
    [
        [],
        [("comments.jsonl", b"")],
        [("MANIFEST.JSON", GOOD_MANIFEST)],
        [("Manifest.json", GOOD_MANIFEST)],
        [("manifest.json/", b"")],
        [("./manifest.json", GOOD_MANIFEST)],
        [("manifest.json ", GOOD_MANIFEST)],
        [("dir/manifest.json", GOOD_MANIFEST)],
        [("manifest.jso", GOOD_MANIFEST)],
    ],
    ids=["no-entries", "member-only", "upper", "capital", "dir", "dot-slash", "space", "nested", "short"],
)
def test_no_manifest(tmp_path, reader, entries):
    path = pack(tmp_path / "x.quarlen", entries)
    assert error(reader, path) == f"{path}: no manifest (not a .quarlen file, or not finished)"


def test_unfinished_writer_leaves_no_manifest(tmp_path, reader):
    path = tmp_path / "x.quarlen"
    w = Writer(path)
    w.begin("comments")
    w.rows('[["a","b","c","d"]]')
    w.end()
    del w
    assert zipfile.ZipFile(path).namelist() == ["comments.jsonl"]
    assert error(reader, path) == f"{path}: no manifest (not a .quarlen file, or not finished)"


@pytest.mark.parametrize(
    "overrides",
    [{"method": 12}, {"method": 99, "payload": GOOD_MANIFEST}, {"flags": 1}, {"offset": 7},
     {"csize": 0xFFFFFFF0}, {"central_extra": zip64_extra(2**62), "csize": 0xFFFFFFFF}],
    ids=["bzip2", "method-99", "encrypted", "bad-local-header", "data-past-directory", "zip64-data-past"],
)
def test_manifest_entry_that_cannot_be_opened(tmp_path, reader, overrides):
    path = tmp_path / "x.quarlen"
    path.write_bytes(raw_zip([dict({"name": "manifest.json", "data": GOOD_MANIFEST}, **overrides)]))
    assert error(reader, path) == f"{path}: no manifest (not a .quarlen file, or not finished)"


@pytest.mark.parametrize(
    "text",
    [
        b'{"format":"quarlen/1","members":{},"x":"\xff"}',
        b'{"format":"quarlen/1","members":{},"x":"\xc0\xaf"}',  # overlong "/"
        b'{"format":"quarlen/1","members":{},"x":"\xed\xa0\x80"}',  # encoded surrogate
        b'{"format":"quarlen/1","members":{},"x":"\xf4\x90\x80\x80"}',  # past U+10FFFF
        b'{"format":"quarlen/1","members":{},"x":"\xe2\x82"}',  # cut sequence
        b"\xff not even JSON",
        b'{"format":"quarlen/2","x":"\x80"}',  # before the format test
    ],
)
def test_manifest_not_utf8(tmp_path, reader, text):
    with pytest.raises(UnicodeDecodeError):
        text.decode("utf-8")
    path = archive(tmp_path / "x.quarlen", manifest_text=text)
    assert error(reader, path) == "stream did not contain valid UTF-8"


@pytest.mark.parametrize(
    "overrides, message",
    [
        ({"crc": 0x12345678}, "invalid Zip archive: Invalid checksum"),
        ({"method": 0, "crc": 1}, "invalid Zip archive: Invalid checksum"),
        ({"payload": b"\xff" * 40}, "invalid Zip archive: invalid block type"),
        ({"payload": deflate(GOOD_MANIFEST)[:-3]}, "invalid Zip archive: Deflate stream is truncated"),
        ({"usize": len(GOOD_MANIFEST) + 1}, "invalid Zip archive: Entry data does not match its declared size"),
        ({"usize": len(GOOD_MANIFEST) - 1}, "invalid Zip archive: Entry data does not match its declared size"),
        ({"method": 0, "usize": 5}, "invalid Zip archive: Entry data does not match its declared size"),
    ],
    ids=["crc", "stored-crc", "inflate", "truncated", "longer", "shorter", "stored-sizes"],
)
def test_manifest_entry_damaged(tmp_path, reader, overrides, message):
    # The bare ZIP description, without path or prefix.
    path = tmp_path / "x.quarlen"
    path.write_bytes(raw_zip([dict({"name": "manifest.json", "data": GOOD_MANIFEST}, **overrides)]))
    assert error(reader, path) == message


def test_raw_builder_makes_sound_archives(tmp_path):
    # The damage above is only meaningful if the undamaged raw archive reads.
    path = tmp_path / "x.quarlen"
    text = lines(["a", "b", "c", "d"])
    path.write_bytes(raw_zip([
        {"name": "comments.jsonl", "data": text, "method": 0},
        {"name": "manifest.json", "data": comments_manifest(text)},
    ]))
    assert zipfile.ZipFile(path).testzip() is None
    assert read(path, "comments") == '[["a","b","c","d"]]'
    assert verify(path) == '{"format":"quarlen/1","members":{"comments":1},"ok":true,"problems":[]}'


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "manifest: EOF while parsing a value at line 1 column 1"),
        ("   ", "manifest: EOF while parsing a value at line 1 column 4"),
        ('{"format":"quarlen/1","members":{}} x', "manifest: trailing characters at line 1 column 37"),
        ('{"format":"quarlen/1","members":{}}{}', "manifest: trailing characters at line 1 column 36"),
        ('{"format":"quarlen/1",\n"members":{},}', "manifest: trailing comma at line 2 column 14"),
        ("{'format':1}", "manifest: key must be a string at line 1 column 2"),
        ('{"format":01}', "manifest: invalid number at line 1 column 12"),
        ('{"a":1e999}', "manifest: number out of range at line 1 column 6"),
        ('\n\n  {"a":tru}', "manifest: invalid literal at line 3 column 11"),
        ('{"format"}', "manifest: expected `:` at line 1 column 10"),
        ("[" * 128 + "]" * 128, "manifest: recursion limit exceeded at line 1 column 128"),
        ("\ufeff{}", "manifest: expected value at line 1 column 1"),
    ],
    ids=["empty", "blank", "trailing", "two-values", "comma", "quotes", "zero", "range", "literal",
         "colon", "depth", "bom"],
)
def test_manifest_not_json(tmp_path, reader, text, message):
    path = archive(tmp_path / "x.quarlen", manifest_text=text)
    assert error(reader, path) == message


@pytest.mark.parametrize(
    "doc, message",
    [
        ([FORMAT], "manifest: no format"),
        ("quarlen/1", "manifest: no format"),
        (None, "manifest: no format"),
        ({}, "manifest: no format"),
        ({"members": {}}, "manifest: no format"),
        ({"format": 1, "members": {}}, "manifest: no format"),
        ({"format": None, "members": {}}, "manifest: no format"),
        ({"format": [FORMAT], "members": {}}, "manifest: no format"),
        ({"Format": FORMAT, "members": {}}, "manifest: no format"),
        ({"format": "quarlen/2", "members": {}}, "format quarlen/2: this version reads quarlen/1"),
        ({"format": " quarlen/1", "members": {}}, "format  quarlen/1: this version reads quarlen/1"),
        ({"format": "quarlen/1 ", "members": {}}, "format quarlen/1 : this version reads quarlen/1"),
        ({"format": "QUARLEN/1", "members": {}}, "format QUARLEN/1: this version reads quarlen/1"),
        ({"format": "", "members": {}}, "format : this version reads quarlen/1"),
        ({"format": 'q"é\n', "members": {}}, 'format q"é\n: this version reads quarlen/1'),
        # The format is tested before the members.
        ({"format": "quarlen/2"}, "format quarlen/2: this version reads quarlen/1"),
        ({"members": {"bogus": 1}}, "manifest: no format"),
        ({"format": FORMAT}, "manifest: no members"),
        ({"format": FORMAT, "members": []}, "manifest: no members"),
        ({"format": FORMAT, "members": "comments"}, "manifest: no members"),
        ({"format": FORMAT, "members": None}, "manifest: no members"),
        ({"format": FORMAT, "members": 0}, "manifest: no members"),
        ({"format": FORMAT, "Members": {}}, "manifest: no members"),
    ],
)
def test_manifest_format_and_members(tmp_path, reader, doc, message):
    path = archive(tmp_path / "x.quarlen", manifest_text=json.dumps(doc, ensure_ascii=False))
    assert error(reader, path) == message


def test_format_repeated_key_last_wins(tmp_path, reader):
    text = '{"format":"quarlen/1","format":"quarlen/0","members":{}}'
    path = archive(tmp_path / "x.quarlen", manifest_text=text)
    assert error(reader, path) == "format quarlen/0: this version reads quarlen/1"


@pytest.mark.parametrize(
    "names, message",
    [
        (["comments", "bogus"], "bogus: not a member of quarlen/1"),
        (["Objects"], "Objects: not a member of quarlen/1"),
        ([""], ": not a member of quarlen/1"),
        (["/APP"], "/APP: not a member of quarlen/1"),
        (["objects/APP"], "objects/APP: objects takes no key"),
        (["objects/"], "objects/: objects takes no key"),
        (["control_rows"], "control_rows: control_rows needs a key after a slash (control_rows/OWNER)"),
        (["control_rows/"], "control_rows/: control_rows needs a key after a slash (control_rows/OWNER)"),
        (["plscope_identifiers/A..B"],
         "plscope_identifiers/A..B: plscope_identifiers needs a key after a slash (plscope_identifiers/OWNER)"),
        (["plscope_identifiers/APP/X"],
         "plscope_identifiers/APP/X: plscope_identifiers needs a key after a slash (plscope_identifiers/OWNER)"),
        # Several wrong names: the one that sorts first, whatever the stored order.
        (["zzz", "units", "aaa"], "aaa: not a member of quarlen/1"),
        (["units/X", "control_rows"], "control_rows: control_rows needs a key after a slash (control_rows/OWNER)"),
        (["objects/A", "Zeta"], "Zeta: not a member of quarlen/1"),
        (["é", "objects/é"], "objects/é: objects takes no key"),
    ],
)
def test_manifest_bad_member_names(tmp_path, reader, names, message):
    # Stored in the order given, so sorting is the reader's own doing.
    members = ",".join(f'{json.dumps(name, ensure_ascii=False)}:{{}}' for name in names)
    text = f'{{"members":{{{members}}},"format":"quarlen/1"}}'
    path = archive(tmp_path / "x.quarlen", manifest_text=text)
    assert error(reader, path) == message


@pytest.mark.parametrize(
    "names",
    [
        ["comments", "control_rows/APP", "plscope_identifiers/.", "plscope_identifiers/a.b",
         "plscope_identifiers/My Schema", "plscope_statements/é", "control_rows/a\\b"],
    ],
)
def test_manifest_accepts_valid_names_without_entries(tmp_path, names):
    # Records and entries are left to member reading.
    doc = {"format": FORMAT, "members": {name: "not a record" for name in names}}
    path = archive(tmp_path / "x.quarlen", manifest_text=json.dumps(doc))
    assert json.loads(manifest(path)) == doc


# --- manifest(path) -------------------------------------------------------------------------


def test_manifest_with_empty_members(tmp_path):
    path = archive(tmp_path / "x.quarlen")
    assert manifest(path) == '{"format":"quarlen/1","members":{}}'
    assert read(path, "comments") == "[]"
    assert verify(path) == '{"format":"quarlen/1","members":{},"ok":true,"problems":[]}'


def test_manifest_is_compact_and_sorted(tmp_path):
    stored = (
        '{\n    "zeta": {"b": [1, 2 ,3], "a": {"y": null, "x": true}},\n'
        '\t"members": {"units": {"sha256": "s", "rows": 0, "bytes": 9},\n "comments": {}},\r\n'
        '  "format" : "quarlen/1",  "Alpha": "\\u00e9\\/\\u001f\\n", "alpha": 1.50,\n'
        '  "n": [2.0, 2, 1E2, -0, 18446744073709551615, 18446744073709551616, -9223372036854775808],\n'
        '  "dup": 1, "dup": 2\n}\n'
    )
    path = archive(tmp_path / "x.quarlen", manifest_text=stored)
    assert manifest(path) == (
        '{"Alpha":"é/\\u001f\\n","alpha":1.5,"dup":2,"format":"quarlen/1",'
        '"members":{"comments":{},"units":{"bytes":9,"rows":0,"sha256":"s"}},'
        '"n":[2.0,2,100.0,-0.0,18446744073709551615,1.8446744073709552e19,-9223372036854775808],'
        '"zeta":{"a":{"x":true,"y":null},"b":[1,2,3]}}'
    )


def test_manifest_matches_what_the_writer_returned(tmp_path):
    path = tmp_path / "x.quarlen"
    w = Writer(path)
    w.begin("control_rows/APP")
    w.rows("[[1],[2]]")
    w.end()
    w.begin("comments")
    w.end()
    finished = w.finish('{"source":"db1","nested":{"z":1,"a":[{"k":"v"}]},"format":"old"}')
    assert manifest(path) == finished
    doc = json.loads(finished)
    assert list(doc) == ["format", "members", "nested", "source"]
    assert doc["format"] == FORMAT
    assert doc["members"]["comments"] == record(b"")
    assert doc["members"]["control_rows/APP"] == record(b"[1]\n[2]\n")


def test_manifest_text_is_raw_bytes_sorted(tmp_path):
    # Keys sort by their UTF-8 bytes, which is code point order.
    keys = ["é", "z", "Z", "a", "\U0001f600", "\uffff", "aa", "a "]
    stored = json.dumps({k: 0 for k in keys} | {"format": FORMAT, "members": {}}, ensure_ascii=False)
    path = archive(tmp_path / "x.quarlen", manifest_text=stored)
    text = manifest(path)
    assert list(json.loads(text)) == sorted(keys + ["format", "members"], key=lambda k: k.encode())
    assert text == compact(json.loads(stored))


# --- Paths -----------------------------------------------------------------------------------


class FsPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("wrap", [str, pathlib.Path, lambda p: FsPath(str(p))], ids=["str", "pathlib", "fspath"])
def test_path_like_objects(tmp_path, wrap):
    path = archive(tmp_path / "x.quarlen", {"comments": lines([1, 2, 3, 4])})
    assert manifest(wrap(path)) == manifest(str(path))
    assert read(wrap(path), "comments") == "[[1,2,3,4]]"
    assert json.loads(verify(wrap(path)))["ok"] is True


def test_relative_path(tmp_path, monkeypatch):
    archive(tmp_path / "x.quarlen")
    monkeypatch.chdir(tmp_path)
    assert manifest("x.quarlen") == '{"format":"quarlen/1","members":{}}'
    assert error(manifest, "y.quarlen") == "y.quarlen: No such file or directory (os error 2)"


@pytest.mark.parametrize(
    "call",
    [manifest, verify, lambda p: read(p, "comments"), lambda p: read(path=p, name="comments")],
    ids=["manifest", "verify", "read", "read-keywords"],
)
@pytest.mark.parametrize("wrap", [bytes, lambda p: FsPath(bytes(p))], ids=["bytes", "fspath-bytes"])
def test_bytes_paths_refused(tmp_path, call, wrap):
    path = os.fsencode(archive(tmp_path / "x.quarlen"))
    with pytest.raises(TypeError) as exc:
        call(wrap(path))
    assert type(exc.value) is TypeError
    assert str(exc.value) == "argument 'path': 'bytes' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(
    "name, message",
    [
        (b"comments", "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
        (None, "argument 'name': 'NoneType' object cannot be converted to 'PyString'"),
        (pathlib.Path("comments"), "argument 'name': 'PosixPath' object cannot be converted to 'PyString'"),
    ],
)
def test_read_name_must_be_str(tmp_path, name, message):
    path = archive(tmp_path / "x.quarlen")
    with pytest.raises(TypeError) as exc:
        read(path, name)
    assert str(exc.value) == message


def test_read_missing_name():
    with pytest.raises(TypeError) as exc:
        read("x")
    assert str(exc.value) == "read() missing 1 required positional argument: 'name'"


def test_read_name_as_str_subclass(tmp_path):
    class Name(str):
        pass

    path = archive(tmp_path / "x.quarlen", {"comments": lines([1, 2, 3, 4])})
    assert read(path, Name("comments")) == "[[1,2,3,4]]"


def test_non_utf8_path_shown_with_replacement_character(tmp_path):
    raw = os.fsencode(tmp_path) + b"/bad\xffname\xe2\x82.quarlen"
    shown = raw.decode("utf-8", "replace")
    assert shown == f"{tmp_path}/bad\ufffdname\ufffd.quarlen"
    path = os.fsdecode(raw)
    assert "\udcff" in path
    assert error(manifest, path) == f"{shown}: No such file or directory (os error 2)"
    with open(raw, "wb") as f:
        f.write(b"plain")
    for call in READERS.values():
        assert error(call, path) == f"{shown}: not a .quarlen file ({NO_END})"
    with open(raw, "wb") as f:
        f.write(raw_zip([{"name": "manifest.json", "data": GOOD_MANIFEST}]))
    assert manifest(path) == '{"format":"quarlen/1","members":{}}'


# --- read_member ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, message",
    [
        ("bogus", "bogus: not a member of quarlen/1"),
        ("", ": not a member of quarlen/1"),
        ("Objects", "Objects: not a member of quarlen/1"),
        (" objects", " objects: not a member of quarlen/1"),
        ("bogus/APP", "bogus/APP: not a member of quarlen/1"),
        ("manifest", "manifest: not a member of quarlen/1"),
        ("objects/APP", "objects/APP: objects takes no key"),
        ("control_rows", "control_rows: control_rows needs a key after a slash (control_rows/OWNER)"),
        ("control_rows/", "control_rows/: control_rows needs a key after a slash (control_rows/OWNER)"),
        ("control_rows/..",
         "control_rows/..: control_rows needs a key after a slash (control_rows/OWNER)"),
    ],
)
@pytest.mark.parametrize("with_entry", [False, True], ids=["no-entry", "entry"])
def test_read_name_check_comes_first(tmp_path, name, message, with_entry):
    # The manifest lists nothing; an entry of that name changes nothing.
    extra = [(name + ".jsonl", lines([1]))] if with_entry else []
    path = archive(tmp_path / "x.quarlen", extra=extra)
    assert error(read, path, name) == message


@pytest.mark.parametrize("name", ["objects", "comments", "control_rows/APP", "plscope_statements/é"])
def test_read_unlisted_member_is_empty(tmp_path, name):
    # The entry exists and is not even JSON: an unlisted member is not read at all.
    path = archive(
        tmp_path / "x.quarlen",
        {"units": lines([1, 2, 3, 4])},
        extra=[(name + ".jsonl", b"\xff not json\n")],
    )
    assert read(path, name) == "[]"


@pytest.mark.parametrize(
    "entry",
    [None, "Comments.jsonl", "comments", "comments.json", "comments.jsonl/", "x/comments.jsonl"],
)
def test_read_listed_member_without_entry(tmp_path, entry):
    text = lines([1, 2, 3, 4])
    extra = [] if entry is None else [(entry, text)]
    path = archive(tmp_path / "x.quarlen", records={"comments": record(text)}, extra=extra)
    assert error(read, path, "comments") == "comments: listed in the manifest but missing from the file"


@pytest.mark.parametrize(
    "overrides",
    [{"method": 12}, {"flags": 1}, {"offset": 3}, {"csize": 0xFFFFFFF0},
     {"central_extra": zip64_extra(2**62), "csize": 0xFFFFFFFF}],
    ids=["bzip2", "encrypted", "bad-local-header", "data-past-directory", "zip64-data-past"],
)
def test_read_listed_member_entry_cannot_be_opened(tmp_path, overrides):
    text = lines(["a"])
    path = tmp_path / "x.quarlen"
    path.write_bytes(raw_zip([
        dict({"name": "control_rows/APP.jsonl", "data": text}, **overrides),
        {"name": "manifest.json",
         "data": json.dumps({"format": FORMAT, "members": {"control_rows/APP": record(text)}}).encode()},
    ]))
    message = "control_rows/APP: listed in the manifest but missing from the file"
    assert error(read, path, "control_rows/APP") == message
    assert json.loads(verify(path))["problems"] == [message]


@pytest.mark.parametrize(
    "overrides, description",
    [
        ({"method": 0, "payload": b'[["x"]]\n'}, "invalid Zip archive: Invalid checksum"),
        ({"crc": 0}, "invalid Zip archive: Invalid checksum"),
        ({"payload": b"\xff" * 12}, "invalid Zip archive: invalid block type"),
        ({"payload": b"\x01\x05\x00\x00\x00"}, "invalid Zip archive: invalid stored block lengths"),
        ({"payload": deflate(b'[["a"]]\n')[:-2]}, "invalid Zip archive: Deflate stream is truncated"),
        ({"usize": 9}, "invalid Zip archive: Entry data does not match its declared size"),
        ({"usize": 7}, "invalid Zip archive: Entry data does not match its declared size"),
        ({"usize": 0xFFFFFFF0}, "invalid Zip archive: Declared size cannot come from the compressed data"),
        ({"usize": 0xFFFFFFFF, "central_extra": zip64_extra(2**62)},
         "invalid Zip archive: Declared size cannot come from the compressed data"),
    ],
    ids=["stored-byte", "crc", "inflate", "stored-block", "truncated", "longer", "shorter", "huge", "zip64-huge"],
)
def test_read_damaged_entry(tmp_path, overrides, description):
    text = b'[["a"]]\n'
    path = tmp_path / "x.quarlen"
    path.write_bytes(raw_zip([
        dict({"name": "control_rows/APP.jsonl", "data": text}, **overrides),
        {"name": "manifest.json",
         "data": json.dumps({"format": FORMAT, "members": {"control_rows/APP": record(text)}}).encode()},
    ]))
    assert error(read, path, "control_rows/APP") == f"control_rows/APP: {description}"


def flip_stored_byte(path, entry, index):
    """Damages one stored data byte of an entry in place (its CRC stays)."""
    with zipfile.ZipFile(path) as z:
        info = z.getinfo(entry)
    data = bytearray(path.read_bytes())
    name_length, extra_length = struct.unpack_from("<HH", data, info.header_offset + 26)
    data[info.header_offset + 30 + name_length + extra_length + index] ^= 0x20
    path.write_bytes(bytes(data))


def test_read_damaged_stored_data_from_zipfile(tmp_path):
    text = lines(["a", "b", "c", "d"])
    path = archive(tmp_path / "x.quarlen", {"comments": text}, compression=zipfile.ZIP_STORED)
    flip_stored_byte(path, "comments.jsonl", 2)
    assert error(read, path, "comments") == "comments: invalid Zip archive: Invalid checksum"


@pytest.mark.parametrize(
    "stored",
    [
        lines(["a", "b", "c", "e"]),  # one byte differs
        lines(["a", "b", "c", "d"]) + b"\n",  # one byte more
        lines(["a", "b", "c", "d"])[:-1],  # one byte less
        b"not json at all\n\n",  # the checksum hides every problem of the lines
        b"",
    ],
)
@pytest.mark.parametrize("compression", [zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED])
def test_read_text_changed_with_sound_crc(tmp_path, stored, compression):
    original = lines(["a", "b", "c", "d"])
    path = archive(tmp_path / "x.quarlen", {"comments": stored},
                   records={"comments": record(original)}, compression=compression)
    assert error(read, path, "comments") == (
        "comments: checksum does not match the manifest (the file was changed or damaged)"
    )


TEXT = lines(["a", "b", "c", "d"])


@pytest.mark.parametrize(
    "rec",
    [
        {"rows": 1, "sha256": sha(TEXT).upper()},
        {"rows": 1, "sha256": sha(TEXT)[:-1]},
        {"rows": 1, "sha256": sha(TEXT) + " "},
        {"rows": 1, "sha256": " " + sha(TEXT)},
        {"rows": 1, "sha256": sha(b"")},
        {"rows": 1},
        {"rows": 1, "sha256": None},
        {"rows": 1, "sha256": 5},
        {"rows": 1, "sha256": [sha(TEXT)]},
        {"rows": 1, "sha256": {"sha256": sha(TEXT)}},
        {"rows": 1, "SHA256": sha(TEXT)},
        {},
        [sha(TEXT)],
        sha(TEXT),
        None,
        1,
    ],
)
def test_read_checksum_record(tmp_path, rec):
    path = archive(tmp_path / "x.quarlen", {"comments": TEXT}, records={"comments": rec})
    assert error(read, path, "comments") == (
        "comments: checksum does not match the manifest (the file was changed or damaged)"
    )


def test_read_empty_member_without_checksum(tmp_path):
    path = archive(tmp_path / "x.quarlen", {"comments": b""}, records={"comments": {"rows": 0}})
    assert error(read, path, "comments") == (
        "comments: checksum does not match the manifest (the file was changed or damaged)"
    )


@pytest.mark.parametrize(
    "text",
    [
        b'[["a","b","c","\xff"]]\n',
        b'[["a","b","c","\xed\xa0\x80"]]\n',
        b'[["a","b","c","d"]]\n\xc3',
        b"\xfe\xff\n",
    ],
)
@pytest.mark.parametrize("checksum", ["right", "wrong"])
def test_read_member_not_utf8(tmp_path, text, checksum):
    # UTF-8 is tested before the checksum, so a wrong checksum does not hide it.
    rec = record(text) if checksum == "right" else record(b"other")
    path = archive(tmp_path / "x.quarlen", {"comments": text}, records={"comments": rec})
    assert error(read, path, "comments") == "comments: stream did not contain valid UTF-8"


def test_read_member_not_utf8_keyed(tmp_path):
    path = archive(tmp_path / "x.quarlen", {"control_rows/Ä": b'["\xff"]\n'})
    assert error(read, path, "control_rows/Ä") == "control_rows/Ä: stream did not contain valid UTF-8"


KEYED = "control_rows/APP"


@pytest.mark.parametrize(
    "text, message",
    [
        (b"[1]\n\n[2]\n", "control_rows/APP line 2: EOF while parsing a value at line 1 column 1"),
        (b"\n", "control_rows/APP line 1: EOF while parsing a value at line 1 column 1"),
        (b"  \n[1]\n", "control_rows/APP line 1: EOF while parsing a value at line 1 column 3"),
        (b"[1]\n\r\n", "control_rows/APP line 2: EOF while parsing a value at line 1 column 1"),
        (b"[1] [2]\n", "control_rows/APP line 1: trailing characters at line 1 column 5"),
        (b"[1]\n[2],\n", "control_rows/APP line 2: trailing characters at line 1 column 4"),
        (b"[1]\n[2]\n[3,\n", "control_rows/APP line 3: EOF while parsing a value at line 1 column 4"),
        (b"[1]\n[\n2]\n", "control_rows/APP line 2: EOF while parsing a list at line 1 column 2"),
        (b"x\n", "control_rows/APP line 1: expected value at line 1 column 1"),
        (b"[1]\n[01]\n", "control_rows/APP line 2: invalid number at line 1 column 3"),
        (b'["a\rb"]\n', "control_rows/APP line 1: control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"),
        (b"[1]\r\n[1]\r\r\n[1]\rx\n", "control_rows/APP line 3: trailing characters at line 1 column 5"),
        (b'[1]\n["\\ud800"]\n', "control_rows/APP line 2: lone leading surrogate in hex escape at line 1 column 3"),
        (b'["\\udc00"]\n', "control_rows/APP line 1: lone trailing surrogate in hex escape at line 1 column 3"),
        (b'[{"a":1,}]\n', "control_rows/APP line 1: trailing comma at line 1 column 9"),
        (b"[{1:2}]\n", "control_rows/APP line 1: key must be a string at line 1 column 3"),
        (b'["\\x"]\n', "control_rows/APP line 1: invalid escape at line 1 column 4"),
        (b"[1e999]\n", "control_rows/APP line 1: number out of range at line 1 column 2"),
        (b'["a]\n[1]\n', "control_rows/APP line 1: EOF while parsing a string at line 1 column 5"),
    ],
)
def test_read_lines(tmp_path, text, message):
    path = archive(tmp_path / "x.quarlen", {KEYED: text}, records={KEYED: record(text, rows=1)})
    assert error(read, path, KEYED) == message


@pytest.mark.parametrize(
    "text",
    [
        b"[1]\n[2]\n[3]\n",
        b"[1]\n[2]\n[3]",
        b"[1]\r\n[2]\r\n[3]\r\n",
        b"[1]\r\n[2]\r\n[3]",
        b"[1]\n[2]\r\n[3]\r",
        b" [1]\n\t[2] \n[ 3 ]\r\r\n",
        b"[1] \r\n[2]\r\r\n[3]  ",
    ],
)
def test_read_line_ends(tmp_path, text):
    path = archive(tmp_path / "x.quarlen", {KEYED: text}, records={KEYED: record(text, rows=3)})
    assert read(path, KEYED) == "[[1],[2],[3]]"
    assert verify(path) == '{"format":"quarlen/1","members":{"control_rows/APP":3},"ok":true,"problems":[]}'


@pytest.mark.parametrize(
    "rows, message",
    [
        (3.0, "control_rows/APP: 3 rows, the manifest says 3.0"),
        (3e0, "control_rows/APP: 3 rows, the manifest says 3.0"),
        ("3", 'control_rows/APP: 3 rows, the manifest says "3"'),
        (None, "control_rows/APP: 3 rows, the manifest says null"),
        (-3, "control_rows/APP: 3 rows, the manifest says -3"),
        (2, "control_rows/APP: 3 rows, the manifest says 2"),
        (4, "control_rows/APP: 3 rows, the manifest says 4"),
        (0, "control_rows/APP: 3 rows, the manifest says 0"),
        (True, "control_rows/APP: 3 rows, the manifest says true"),
        ([3], "control_rows/APP: 3 rows, the manifest says [3]"),
        ({"n": 3}, 'control_rows/APP: 3 rows, the manifest says {"n":3}'),
        (18446744073709551615, "control_rows/APP: 3 rows, the manifest says 18446744073709551615"),
        (2**64 + 3, "control_rows/APP: 3 rows, the manifest says 1.8446744073709552e19"),
    ],
)
def test_read_count(tmp_path, rows, message):
    text = b"[1]\n[2]\n[3]\n"
    path = archive(tmp_path / "x.quarlen", {KEYED: text}, records={KEYED: {"rows": rows, "sha256": sha(text)}})
    assert error(read, path, KEYED) == message


@pytest.mark.parametrize("stored_rows", ["-0", "3.0", "3e0", "30e-1"])
def test_read_count_float_literals(tmp_path, stored_rows):
    text = b"[1]\n[2]\n[3]\n" if stored_rows != "-0" else b""
    counted = 3 if text else 0
    shown = {"-0": "-0.0"}.get(stored_rows, "3.0")
    doc = f'{{"format":"quarlen/1","members":{{"{KEYED}":{{"rows":{stored_rows},"sha256":"{sha(text)}"}}}}}}'
    path = archive(tmp_path / "x.quarlen", manifest_text=doc, extra=[(KEYED + ".jsonl", text)])
    assert error(read, path, KEYED) == f"{KEYED}: {counted} rows, the manifest says {shown}"


def test_read_count_missing(tmp_path):
    text = b"[1]\n"
    path = archive(tmp_path / "x.quarlen", {KEYED: text}, records={KEYED: {"sha256": sha(text), "bytes": 4}})
    assert error(read, path, KEYED) == f"{KEYED}: 1 rows, the manifest says null"


@pytest.mark.parametrize(
    "name, text, message",
    [
        (KEYED, b"[1]\n{}\n", "control_rows/APP row 2: not a list of values"),
        (KEYED, b'[1]\n[2]\n"x"\n', "control_rows/APP row 3: not a list of values"),
        (KEYED, b"1\n", "control_rows/APP row 1: not a list of values"),
        (KEYED, b"null\n", "control_rows/APP row 1: not a list of values"),
        (KEYED, b"[1]\n[2,3]\n", "control_rows/APP row 2: 2 values, the format has 1"),
        (KEYED, b"[]\n", "control_rows/APP row 1: 0 values, the format has 1"),
        ("comments", b"[1,2]\n", "comments row 1: 2 values, the format has 4"),
        ("comments", b"[1,2,3,4]\n[1,2,3,4,5]\n{}\n", "comments row 2: 5 values, the format has 4"),
        ("plscope_statements/HR", b"[" + b"1," * 12 + b"1]\n[1]\n",
         "plscope_statements/HR row 2: 1 values, the format has 13"),
        # A CR that stays in the line is whitespace to the parser; the row is still short.
        (KEYED, b"[1]\r\r\n[]\r\n", "control_rows/APP row 2: 0 values, the format has 1"),
    ],
)
def test_read_shape(tmp_path, name, text, message):
    path = archive(tmp_path / "x.quarlen", {name: text}, records={name: record(text, rows=text.count(b"\n"))})
    assert error(read, path, name) == message


def test_read_step_order(tmp_path):
    # Each text has two faults; the earlier step reports.
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
        "control_rows/A: checksum does not match the manifest (the file was changed or damaged)",
        "control_rows/B line 2: expected value at line 1 column 1",
        "control_rows/C: 2 rows, the manifest says 1",
    ]
    assert [error(read, path, f"control_rows/{k}") for k in "ABC"] == problems
    assert json.loads(verify(path))["problems"] == problems


@pytest.mark.parametrize("bytes_value", [0, 1, 10**6, -1, "x", None, 1.5])
def test_read_ignores_bytes_and_other_record_keys(tmp_path, bytes_value):
    text = b"[1]\n[2]\n"
    rec = {"bytes": bytes_value, "rows": 2, "sha256": sha(text), "extra": [1]}
    path = archive(tmp_path / "x.quarlen", {KEYED: text}, records={KEYED: rec})
    assert read(path, KEYED) == "[[1],[2]]"


def test_read_empty_member(tmp_path):
    path = archive(tmp_path / "x.quarlen", {"comments": b""})
    assert json.loads(manifest(path))["members"]["comments"] == {"bytes": 0, "rows": 0, "sha256": sha(b"")}
    assert read(path, "comments") == "[]"


@pytest.mark.parametrize(
    "name",
    ["control_rows/APP", "control_rows/Ä", "plscope_identifiers/My Schema", "plscope_identifiers/.",
     "plscope_statements/a\\b", "control_rows/\U0001f600"],
)
def test_read_keyed_member_uses_whole_name(tmp_path, name):
    columns = {"control_rows": 1, "plscope_identifiers": 10, "plscope_statements": 13}[name.split("/")[0]]
    row = list(range(columns))
    path = archive(tmp_path / "x.quarlen", {name: lines(row, row)})
    with zipfile.ZipFile(path) as z:
        info = z.getinfo(name + ".jsonl")
        assert bool(info.flag_bits & 0x800) == (not name.isascii())
    assert read(path, name) == compact([row, row])
    other = name.split("/")[0] + "/OTHER"
    assert read(path, other) == "[]"
    path = archive(tmp_path / "y.quarlen", {name: lines(row, row[1:])})
    assert error(read, path, name) == f"{name} row 2: {columns - 1} values, the format has {columns}"


def test_read_keyed_member_entry_missing(tmp_path):
    name = "plscope_identifiers/My Schema"
    path = archive(tmp_path / "x.quarlen", records={name: record(b"")},
                   extra=[("plscope_identifiers/my schema.jsonl", b"")])
    assert error(read, path, name) == f"{name}: listed in the manifest but missing from the file"


# --- What read() returns ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        (b" 1 ", "1"),
        (b"[ 1 , 2 ,3 ]", "[1,2,3]"),
        (b'{"b":1,"a":2}', '{"a":2,"b":1}'),
        (b'{"a":1,"a":2}', '{"a":2}'),
        (b"[1.50, 2.0, 2, 1E2, -0, 0.1, 1.5e-7]", "[1.5,2.0,2,100.0,-0.0,0.1,1.5e-7]"),
        (b"[1e20, 18446744073709551615, -9223372036854775808, 18446744073709551616]",
         "[1e20,18446744073709551615,-9223372036854775808,1.8446744073709552e19]"),
        (b'["\\u00e9\\/\\u001f\\n\\t\\"\\\\", "\xc3\xa9/\x7f"]', '["é/\\u001f\\n\\t\\"\\\\","é/\x7f"]'),
        (b'"\\ud83d\\ude00"', '"\U0001f600"'),
        (b'{"z":{"y":[{"b":null,"a":true}]},"\xc3\xa9":1,"Z":false}',
         '{"Z":false,"z":{"y":[{"a":true,"b":null}]},"é":1}'),
        (b'{"a":1,"\\u0061":2}', '{"a":2}'),
        (b'{"\\u00e9":1,"z":2,"\\u007a":3}', '{"z":3,"é":1}'),
        (b'["\\u0000\\u007f\\u2028\\udbff\\udfff\\b\\f\\r"]', '["\\u0000\x7f\u2028\U0010ffff\\b\\f\\r"]'),
        (b"[1.0e+2, 0.1e1, 1e308, -125E-2, 5e-324]", "[100.0,1.0,1e308,-1.25,5e-324]"),
        (b"[123456789012345678901234567890, -9223372036854775809]",
         "[1.2345678901234568e29,-9.223372036854776e18]"),
        (b"\t[ ]\t", "[]"),
        (b"[]", "[]"),
        (b"{}", "{}"),
        (b"[" * 126 + b"1" + b"]" * 126, "[" * 126 + "1" + "]" * 126),  # 127 levels with the row
    ],
)
def test_read_returns_rows_as_parsed(tmp_path, value, expected):
    text = b"[" + value + b"]\n"
    path = archive(tmp_path / "x.quarlen", {KEYED: text})
    assert read(path, KEYED) == "[[" + expected + "]]"


def test_read_deep_nesting_limit(tmp_path):
    text = b"[" * 128 + b"]" * 128 + b"\n"
    path = archive(tmp_path / "x.quarlen", {KEYED: text})
    assert error(read, path, KEYED) == "control_rows/APP line 1: recursion limit exceeded at line 1 column 128"


def random_value(rnd, depth=0):
    kind = rnd.randrange(9 if depth < 3 else 6)
    if kind == 0:
        return None
    if kind == 1:
        return rnd.random() < 0.5
    if kind == 2:
        return rnd.randrange(-(2**63), 2**64)
    if kind == 3:
        return rnd.randrange(-4000, 4000) / 8
    if kind == 4:
        # At least 0.001 in magnitude: where the exponent form starts is our own choice.
        return rnd.randrange(-10**6, 10**6) / 10 ** rnd.randrange(1, 4)
    if kind == 5:
        return "".join(chr(rnd.choice([rnd.randrange(0, 0x80), rnd.randrange(0x80, 0xD800),
                                       rnd.randrange(0xE000, 0x110000)])) for _ in range(rnd.randrange(6)))
    if kind in (6, 7):
        return [random_value(rnd, depth + 1) for _ in range(rnd.randrange(4))]
    return {str(rnd.randrange(50)): random_value(rnd, depth + 1) for _ in range(rnd.randrange(4))}


def test_read_matches_python_json(tmp_path):
    import random

    rnd = random.Random(20240611)
    rows = [[random_value(rnd) for _ in range(4)] for _ in range(300)]
    # Stored with whitespace and unsorted keys, as another writer might.
    text = b"".join(json.dumps(row, ensure_ascii=rnd.random() < 0.5, indent=None).encode() + b"\n" for row in rows)
    path = archive(tmp_path / "x.quarlen", {"comments": text})
    assert read(path, "comments") == compact(rows)
    assert json.loads(verify(path))["members"] == {"comments": 300}


def test_read_round_trip_through_writer(tmp_path):
    rows = [["APP", "T1", "C1", "note"], [1, 2.5, {"b": 1, "a": [100.0]}, None], ["é", "\n", "", []]]
    path = tmp_path / "x.quarlen"
    w = Writer(path)
    w.begin("comments")
    w.rows(json.dumps(rows))
    w.end()
    w.begin("control_rows/APP")
    w.end()
    w.finish("{}")
    assert read(path, "comments") == compact(rows)
    assert read(path, "control_rows/APP") == "[]"


# --- Hostile headers: refused promptly, without a large allocation --------------------------------

RUNNER = r"""
import json, resource, sys, time
from quarlen import _native
limit = 1 << 30
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
out = []
for function, args in json.loads(sys.argv[1]):
    start = time.perf_counter()
    try:
        result = ["ok", getattr(_native, function)(*args)]
    except BaseException as e:
        result = [type(e).__name__, str(e)]
    out.append([time.perf_counter() - start, result])
print(json.dumps(out))
"""


def end_record(entries, size, offset, *, disk=0, directory_disk=0, comment=b""):
    return struct.pack("<IHHHHIIH", 0x06054B50, disk, directory_disk, entries & 0xFFFF, entries & 0xFFFF,
                       size, offset, len(comment)) + comment


def zip64_end(*, entries=None, size=None, offset=None, locator_offset=None, disks=1, record_size=44):
    def make(directory_offset, directory_size, count):
        n = count if entries is None else entries
        record = struct.pack("<IQHHIIQQQQ", 0x06064B50, record_size, 45, 45, 0, 0, n, n,
                             directory_size if size is None else size,
                             directory_offset if offset is None else offset)
        here = directory_offset + directory_size
        locator = struct.pack("<IIQI", 0x07064B50, 0, here if locator_offset is None else locator_offset, disks)
        return record + locator + struct.pack("<IHHHHIIH", 0x06054B50, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF,
                                              0xFFFFFFFF, 0xFFFFFFFF, 0)
    return make


MEMBER_TEXT = b'[["a"]]\n'
MEMBER_MANIFEST = json.dumps({"format": FORMAT, "members": {"control_rows/A": record(MEMBER_TEXT)}}).encode()


def hostile_member(**overrides):
    return raw_zip([dict({"name": "control_rows/A.jsonl", "data": MEMBER_TEXT}, **overrides),
                    {"name": "manifest.json", "data": MEMBER_MANIFEST}])


def hostile_manifest(**overrides):
    return raw_zip([dict({"name": "manifest.json", "data": GOOD_MANIFEST}, **overrides)])


NOT_QUARLEN = "{path}: not a .quarlen file ({detail})"
MISSING = "control_rows/A: listed in the manifest but missing from the file"
NO_MANIFEST = "{path}: no manifest (not a .quarlen file, or not finished)"

HOSTILE = {
    "manifest-usize": (hostile_manifest(usize=0xFFFFFFF0),
                       "invalid Zip archive: Declared size cannot come from the compressed data"),
    "manifest-usize-max": (hostile_manifest(usize=0xFFFFFFFF),
                           "invalid Zip archive: Declared size cannot come from the compressed data"),
    "manifest-zip64-usize": (hostile_manifest(usize=0xFFFFFFFF, central_extra=zip64_extra(2**62)),
                             "invalid Zip archive: Declared size cannot come from the compressed data"),
    "manifest-zip64-both": (hostile_manifest(usize=0xFFFFFFFF, csize=0xFFFFFFFF,
                                             central_extra=zip64_extra(2**62, 2**62)), NO_MANIFEST),
    "manifest-stored-usize": (hostile_manifest(method=0, usize=0xFFFFFFF0),
                              "invalid Zip archive: Entry data does not match its declared size"),
    "manifest-stored-csize": (hostile_manifest(method=0, csize=0xFFFFFFF0, usize=0xFFFFFFF0), NO_MANIFEST),
    "manifest-offset": (hostile_manifest(offset=0xFFFFFFF0), NO_MANIFEST),
    "manifest-zip64-offset": (hostile_manifest(offset=0xFFFFFFFF, central_extra=zip64_extra(2**62)), NO_MANIFEST),
    "member-usize": (hostile_member(usize=0xFFFFFFF0),
                     "control_rows/A: invalid Zip archive: Declared size cannot come from the compressed data"),
    "member-zip64-usize": (hostile_member(usize=0xFFFFFFFF, central_extra=zip64_extra(2**62)),
                           "control_rows/A: invalid Zip archive: Declared size cannot come from the compressed data"),
    "member-zip64-csize": (hostile_member(csize=0xFFFFFFFF, central_extra=zip64_extra(2**62)), MISSING),
    "member-stored-usize": (hostile_member(method=0, usize=0xFFFFFFF0),
                            "control_rows/A: invalid Zip archive: Entry data does not match its declared size"),
    "member-stored-csize": (hostile_member(method=0, csize=0xFFFFFFF0, usize=0xFFFFFFF0), MISSING),
    "member-local-name-length": (hostile_member(local_name_length=0xFFFF), MISSING),
    "end-entries": (raw_zip([{"name": "manifest.json", "data": GOOD_MANIFEST}],
                            end=lambda o, s, n: end_record(0xFFFE, s, o)),
                    NOT_QUARLEN.replace("{detail}", "invalid Zip archive: Central directory is too small for its entry count")),
    "end-size": (raw_zip([{"name": "manifest.json", "data": GOOD_MANIFEST}],
                         end=lambda o, s, n: end_record(n, 0xFFFFFFF0, o)),
                 NOT_QUARLEN.replace("{detail}", "invalid Zip archive: Central directory runs past its end record")),
    "end-offset": (raw_zip([{"name": "manifest.json", "data": GOOD_MANIFEST}],
                           end=lambda o, s, n: end_record(n, s, 0xFFFFFFF0)),
                   NOT_QUARLEN.replace("{detail}", "invalid Zip archive: Central directory runs past its end record")),
    "end-disk": (raw_zip([{"name": "manifest.json", "data": GOOD_MANIFEST}],
                         end=lambda o, s, n: end_record(n, s, o, disk=1)),
                 NOT_QUARLEN.replace("{detail}", "unsupported Zip archive: Archives spanning several disks are not supported")),
    "zip64-entries": (raw_zip([{"name": "manifest.json", "data": GOOD_MANIFEST}], end=zip64_end(entries=2**62)),
                      NOT_QUARLEN.replace("{detail}", "invalid Zip archive: Central directory is too small for its entry count")),
    "zip64-size": (raw_zip([{"name": "manifest.json", "data": GOOD_MANIFEST}], end=zip64_end(size=2**62)),
                   NOT_QUARLEN.replace("{detail}", "invalid Zip archive: Central directory runs past its end record")),
    "zip64-offset": (raw_zip([{"name": "manifest.json", "data": GOOD_MANIFEST}], end=zip64_end(offset=2**62)),
                     NOT_QUARLEN.replace("{detail}", "invalid Zip archive: Central directory runs past its end record")),
    "zip64-locator": (raw_zip([{"name": "manifest.json", "data": GOOD_MANIFEST}],
                              end=zip64_end(locator_offset=2**62)),
                      NOT_QUARLEN.replace("{detail}", "invalid Zip archive: Could not find Zip64 central directory end")),
    "zip64-record-size": (raw_zip([{"name": "manifest.json", "data": GOOD_MANIFEST}],
                                  end=zip64_end(record_size=2**62)),
                          NOT_QUARLEN.replace("{detail}", "invalid Zip archive: Could not find Zip64 central directory end")),
    "zip64-disks": (raw_zip([{"name": "manifest.json", "data": GOOD_MANIFEST}], end=zip64_end(disks=2)),
                    NOT_QUARLEN.replace("{detail}", "unsupported Zip archive: Archives spanning several disks are not supported")),
    "zip64-sound": (raw_zip([{"name": "manifest.json", "data": GOOD_MANIFEST}], end=zip64_end()), None),
}


@pytest.fixture(scope="module")
def hostile_results(tmp_path_factory):
    """Runs every hostile file in one child with a 1 GiB address-space limit."""
    base = tmp_path_factory.mktemp("hostile")
    calls = []
    for key, (content, _) in HOSTILE.items():
        path = base / f"{key}.quarlen"
        path.write_bytes(content)
        calls += [["manifest", [str(path)]], ["read", [str(path), "control_rows/A"]], ["verify", [str(path)]]]
    out = subprocess.run([sys.executable, "-c", RUNNER, json.dumps(calls)], capture_output=True, text=True,
                         timeout=30)
    assert out.returncode == 0, out.stderr
    results = json.loads(out.stdout)
    # Refused at once: nothing near the claimed sizes is allocated or read.
    slow = [(call, seconds) for call, (seconds, _) in zip(calls, results) if seconds > 0.1]
    assert slow == []
    results = [result for _, result in results]
    return {key: (base / f"{key}.quarlen", results[3 * i:3 * i + 3]) for i, key in enumerate(HOSTILE)}


@pytest.mark.parametrize("key", list(HOSTILE))
def test_hostile_headers_refused(hostile_results, key):
    path, (from_manifest, from_read, from_verify) = hostile_results[key]
    expected = HOSTILE[key][1]
    if expected is None:  # a well-formed Zip64 end: reads
        assert from_manifest == ["ok", '{"format":"quarlen/1","members":{}}']
        assert from_read == ["ok", "[]"]
        assert from_verify == ["ok", '{"format":"quarlen/1","members":{},"ok":true,"problems":[]}']
        return
    expected = expected.replace("{path}", str(path))
    if key.startswith("member"):
        assert from_manifest[0] == "ok"
        assert from_read == ["ValueError", expected]
        assert from_verify == ["ok", json.dumps(
            {"format": FORMAT, "members": {}, "ok": False, "problems": [expected]}, separators=(",", ":"))]
    else:
        assert from_manifest == ["ValueError", expected]
        assert from_read == ["ValueError", expected]
        assert from_verify == ["ValueError", expected]
