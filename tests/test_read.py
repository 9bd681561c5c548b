"""manifest, read, verify, load and iter_rows on damaged files: each reports the core's message."""

import io
import json
import os
import pathlib
import socket
import zipfile

import pytest

from quarlen import Error, iter_rows, load
from quarlen._native import manifest, read, verify

from archives import FORMAT, archive, error, open_fds, pack, patched, record, report, sha, zipped

KEYED = "control_rows/APP"
NOT_UTF8 = "stream did not contain valid UTF-8"
GOOD_MANIFEST = json.dumps({"format": FORMAT, "members": {}}).encode()
NO_MANIFEST = "{path}: no manifest (not a .quarlen file, or not finished)"


def manifest_file(text) -> bytes:
    return zipped(("manifest.json", text.encode() if isinstance(text, str) else text))


# Header fields at their offset in a local header: the CRC-32 and the size when inflated.
CRC, SIZE = 14, 22

WHOLE_FILE = {
    "empty": (b"", "{path}: not a .quarlen file (invalid Zip archive: Could not find central directory end)"),
    "nested": (zipped(("dir/manifest.json", GOOD_MANIFEST)), NO_MANIFEST),
    # A damaged manifest entry: the bare ZIP description, without path or prefix.
    "crc": (patched(manifest_file(GOOD_MANIFEST), CRC, b"\0"), "invalid Zip archive: Invalid checksum"),
    "huge": (patched(manifest_file(GOOD_MANIFEST), SIZE, b"\xf0\xff\xff\xff"), "manifest: larger than 67108864 bytes"),
    "overlong-utf8": (manifest_file(b'{"format":"quarlen/1","members":{},"x":"\xc1\xbf"}'), NOT_UTF8),
    "json-comma": (manifest_file('{"format":"quarlen/1",\n"members":{},}'), "manifest: trailing comma at line 2 column 14"),
    "no-format": (manifest_file('{"members":{"bogus":1}}'), "manifest: no format"),
    "format-raw": (manifest_file('{"format":"q\\"é\\n","members":{}}'), 'format q"é\n: this version reads quarlen/1'),
    # Several wrong names: the one that sorts first by its bytes, whatever the stored order.
    "names": (manifest_file('{"members":{"zzz":{},"ü":{},"aaa":{}},"format":"quarlen/1"}'), "aaa: not a member of quarlen/1"),
}
CALLS = [manifest, verify, lambda p: read(p, "comments"), lambda p: load(p, "comments"),
         lambda p: list(iter_rows(p, "comments"))]
KINDS = [ValueError] * 3 + [Error] * 2  # the module's ValueError, the package's Error


def refused_by_every_call(path, message):
    before = open_fds()
    assert [error(call, path, kind=kind) for call, kind in zip(CALLS, KINDS)] == [message] * len(CALLS)
    assert open_fds() == before


@pytest.mark.parametrize("key", list(WHOLE_FILE))
def test_file_refused(tmp_path, key):
    content, message = WHOLE_FILE[key]
    path = tmp_path / "x.quarlen"
    path.write_bytes(content)
    refused_by_every_call(path, message.replace("{path}", str(path)))


def test_file_cannot_be_read(tmp_path):
    # A name that is not UTF-8 shows each broken sequence as one U+FFFD.
    raw = os.fsdecode(os.fsencode(tmp_path) + b"/bad\xffname\xe2\x82\xc1\x81.quarlen")
    os.mkfifo(tmp_path / "fifo")  # without a writer: opening it must not wait for one
    listening = socket.socket(socket.AF_UNIX)
    listening.bind(str(tmp_path / "socket"))
    for path, message in [
        (tmp_path / "absent.quarlen", f"{tmp_path}/absent.quarlen: No such file or directory (os error 2)"),
        (tmp_path, f"{tmp_path}: not a regular file"),
        (tmp_path / "fifo", f"{tmp_path}/fifo: not a regular file"),
        (tmp_path / "socket", f"{tmp_path}/socket: not a regular file"),
        ("/dev/null", "/dev/null: not a regular file"),
        (f"{tmp_path}/a\0b", f"{tmp_path}/a\0b: file name contained an unexpected NUL byte"),
        (raw, f"{tmp_path}/bad\ufffdname\ufffd\ufffd\ufffd.quarlen: No such file or directory (os error 2)"),
    ]:
        refused_by_every_call(path, message)
    listening.close()


def member_file(text, *, rows=None, rec=None, name=KEYED, entry=True) -> bytes:
    """`rec` replaces the true record of `rows` rows; without `entry` the file has only the manifest."""
    doc = json.dumps({"format": FORMAT, "members": {name: rec or record(text, rows)}}, ensure_ascii=False)
    return zipped(*[(name + ".jsonl", text)] * entry, ("manifest.json", doc.encode()))


THREE = b"[1]\n[2]\n[3]\n"
CHECKSUM = "{name}: checksum does not match the manifest (the file was changed or damaged)"

MEMBER_FAULTS = {
    "no-entry": (member_file(b"", entry=False), "{name}: listed in the manifest but missing from the file"),
    "crc": (patched(member_file(THREE), CRC, b"\0"), "{name}: invalid Zip archive: Invalid checksum"),
    # UTF-8 is tested before the checksum, so a wrong checksum does not hide it.
    "not-utf8": (member_file(b"\xfe\xff\n", rec=record(b"x"), name="control_rows/Ä"), "{name}: " + NOT_UTF8),
    "overlong-utf8": (member_file(b'[["\xc1\x81"]]\n'), "{name}: " + NOT_UTF8),
    "changed": (member_file(b"not json\n\n", rec=record(THREE)), CHECKSUM),
    "blank-line": (member_file(b"[1]\n\n[2]\n", rows=1), "{name} line 2: EOF while parsing a value at line 1 column 1"),
    "count-float": (member_file(THREE, rec={"sha256": sha(THREE), "rows": 3.0}), "{name}: 3 rows, the manifest says 3.0"),
    "count-more": (member_file(THREE, rows=4), "{name}: 3 rows, the manifest says 4"),
    "row-object": (member_file(b"[1]\n{}\n"), "{name} row 2: not a list of values"),
    "row-long": (member_file(b"[1,2,3,4]\n[1,2,3,4,5]\n", name="comments"), "{name} row 2: 5 values, the format has 4"),
}


@pytest.mark.parametrize("key", list(MEMBER_FAULTS))
def test_member_refused(tmp_path, key):
    content, message = MEMBER_FAULTS[key]
    name = next(iter(json.loads(zipfile.ZipFile(io.BytesIO(content)).read("manifest.json"))["members"]))
    message = message.replace("{name}", name)
    path = tmp_path / "x.quarlen"
    path.write_bytes(content)
    before = open_fds()
    assert error(read, path, name) == error(load, path, name, kind=Error) == message
    assert error(lambda: list(iter_rows(path, name)), kind=Error) == message
    assert json.loads(verify(path))["problems"] == [message]
    assert open_fds() == before


def test_manifest_is_compact_and_sorted(tmp_path):
    # Keys sort by their UTF-8 bytes, which is code point order; the last of duplicates wins.
    stored = ('{"zeta": {"b": [1, 2 ,3], "a": null},\n\t"members": {"units": {"rows": 0, "bytes": 9}},\r\n'
              '  "format" : "quarlen/1", "Alpha": "\\u00e9\\/\\u001f", "n": [2.0, 1E2, -0, 18446744073709551616],\n'
              '  "\U0001f600": 0, "\uffff": 0, "é": 0, "dup": 1, "dup": 2}\n')
    path = archive(tmp_path / "x.quarlen", manifest_text=stored)
    assert manifest(path) == (
        '{"Alpha":"é/\\u001f","dup":2,"format":"quarlen/1","members":{"units":{"bytes":9,"rows":0}},'
        '"n":[2.0,100.0,-0.0,1.8446744073709552e19],"zeta":{"a":null,"b":[1,2,3]},"é":0,"\uffff":0,"\U0001f600":0}')


def fs_path(path):
    return type("FsPath", (), {"__fspath__": lambda self: str(path)})()


@pytest.mark.parametrize("wrap", [str, pathlib.Path, fs_path, os.path.relpath])
def test_path_like_objects_and_names(tmp_path, wrap):
    # An entry that is not listed is never read, even when damaged.
    path = pack(tmp_path / "x.quarlen", [("comments.jsonl", b'[1,2,3,4]\n'), ("units.jsonl", b"\xff x\n"),
                                        ("manifest.json", json.dumps({"format": FORMAT, "members": {
                                            "comments": record(b'[1,2,3,4]\n')}}))])
    assert manifest(wrap(path)) == manifest(str(path))
    assert read(wrap(path), type("Name", (str,), {})("comments")) == "[[1,2,3,4]]"
    assert load(wrap(path), "comments") == [[1, 2, 3, 4]]
    assert verify(wrap(path)) == report({"comments": 1})
    assert read(path, "units") == "[]" and load(path, "units") == [] and list(iter_rows(path, "units")) == []
    assert error(read, path, "bogus") == error(load, path, "bogus", kind=Error) == "bogus: not a member of quarlen/1"
