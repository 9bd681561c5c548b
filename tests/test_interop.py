import json
import os
import random
import shutil
import string
import struct
import subprocess
import zipfile
import zlib

import pytest

from quarlen import _native
from quarlen._native import Writer

from archives import compact, record, write

UNZIP = shutil.which("unzip")
ZIPINFO = shutil.which("zipinfo")
SLOW = pytest.mark.skipif(os.environ.get("QUARLEN_SLOW") != "1", reason="set QUARLEN_SLOW=1 to write files past 4 GiB")

EOCD = struct.Struct("<4sHHHHIIH")  # end of central directory record, no comment
ZIP64_EOCD = struct.Struct("<4sQHHIIQQQQ")  # Zip64 end of central directory record
ZIP64_LOCATOR = struct.Struct("<4sIQI")


ORDINARY = [
    ("objects", [[i, "APP", f"T{i}", "TABLE", "VALID", "N", "2024-01-01"] for i in range(200)]),
    ("comments", [["APP", "T1", "C1", "a note\nover two lines"]]),
    ("units", [["APP", "PKG", "PACKAGE BODY", "begin\n  null;\nend;\n" * 50]]),
]
KEYED = [
    ("control_rows/Ünïcode", [["é"], [{"k": "日本"}]]),
    ("plscope_identifiers/日本", [["P", "PROCEDURE", 1, 0, "P", "ab", "PROCEDURE", "DEFINITION", 1, 1]]),
    ("control_rows/ascii", [["x"]]),
    ("plscope_statements/My Schema", []),
]
EMPTY = [("objects", []), ("control_rows/A", []), ("control_rows/é", [])]


@pytest.fixture(params=["ordinary", "keyed", "empty"])
def archive(request, tmp_path):
    members = {"ordinary": ORDINARY, "keyed": KEYED, "empty": EMPTY}[request.param]
    path = tmp_path / f"{request.param}.quarlen"
    manifest = write(path, members, '{"source":"db1"}')
    return path, members, json.loads(manifest)


def test_zipfile_reads_entries(archive):
    path, members, manifest = archive
    with zipfile.ZipFile(path) as z:
        assert z.testzip() is None
        infos = z.infolist()
        assert [i.filename for i in infos] == [name + ".jsonl" for name, _ in members] + ["manifest.json"]
        for (name, rows), info in zip(members, infos):
            data = z.read(info)
            assert data == "".join(compact(r) + "\n" for r in rows).encode()
            assert manifest["members"][name] == record(data, len(rows))
            assert (info.file_size, info.CRC) == (len(data), zlib.crc32(data))
            assert (info.date_time, info.compress_type) == ((1980, 1, 1, 0, 0, 0), zipfile.ZIP_DEFLATED)
            assert info.flag_bits == (0x800 if not info.filename.isascii() else 0)
        assert json.loads(z.read("manifest.json")) == manifest


@pytest.mark.skipif(UNZIP is None, reason="unzip is not installed")
def test_unzip_accepts(archive):
    path, members, _ = archive
    result = subprocess.run([UNZIP, "-t", str(path)], capture_output=True, text=True, env={**os.environ, "LC_ALL": "C.UTF-8"})
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"No errors detected in compressed data of {path}." in result.stdout
    assert result.stdout.count("  OK") == len(members) + 1


@pytest.mark.skipif(ZIPINFO is None, reason="zipinfo is not installed")
def test_zipinfo_listing(archive):
    path, members, _ = archive
    result = subprocess.run([ZIPINFO, str(path)], capture_output=True, text=True, env={**os.environ, "LC_ALL": "C.UTF-8"})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[1] == f"Zip file size: {path.stat().st_size} bytes, number of entries: {len(members) + 1}"
    assert len(lines[2:-1]) == len(members) + 1
    for line in lines[2:-1]:
        fields = line.split(maxsplit=9)
        # Permissions, version made by, host, text flag and no extra field or descriptor,
        # normal deflate, and the fixed time.
        assert fields[:3] == ["-rw-r--r--", "2.0", "unx"]
        assert fields[4:8] == ["b-", "defN", "80-Jan-01", "00:00"]


def zip64_tail(data):
    """The Zip64 end record, its locator and the plain end record at the end of `data`."""
    end = EOCD.unpack(data[-22:])
    locator = ZIP64_LOCATOR.unpack(data[-42:-22])
    z64 = ZIP64_EOCD.unpack(data[-98:-42])
    return z64, locator, end


@pytest.mark.parametrize("members, zip64", [(65534, False), (65535, True), (70000, True)])
def test_many_entries(tmp_path, members, zip64):
    path = tmp_path / "many.quarlen"
    w = Writer(path)
    for i in range(1, members + 1):
        w.begin(f"control_rows/K{i:05d}")
        w.rows(f'[["r{i}"]]')
        w.end()
    assert len(json.loads(w.finish("{}"))["members"]) == members
    entries = members + 1
    data = path.read_bytes()
    with zipfile.ZipFile(path) as z:
        names = z.namelist()
        assert (len(names), names[0], names[-2:]) == (entries, "control_rows/K00001.jsonl",
                                                      [f"control_rows/K{members:05d}.jsonl", "manifest.json"])
        assert z.read(names[-2]) == f'["r{members}"]\n'.encode()
    # Past 65,534 entries the count takes the Zip64 end records, which C++ tests check field by field.
    assert (data[-98:-94] == b"PK\x06\x06") is zip64
    assert EOCD.unpack(data[-22:])[3] == (0xFFFF if zip64 else entries)
    assert json.loads(_native.verify(str(path)))["ok"] is True
    if UNZIP is not None:
        result = subprocess.run([UNZIP, "-tq", str(path)], capture_output=True, text=True)
        assert result.returncode == 0 and result.stdout.startswith("No errors detected"), result.stdout + result.stderr


# --- files past 4 GiB ------------------------------------------------------------------------


def noise_rows(seed, size):
    """Rows whose text deflate cannot shrink much: random printable characters, with the
    same string repeated only at distances far beyond the 32 KiB deflate window."""
    rnd = random.Random(seed)
    alphabet = string.ascii_letters + string.digits + "!#$%&()*+,-.:;<=>?@[]^_{|}~ "
    return json.dumps([["".join(rnd.choices(alphabet, k=size))] for _ in range(2)])


@SLOW
@pytest.mark.slow
def test_file_past_4_gib(tmp_path):
    free = shutil.disk_usage(tmp_path).free
    if free < 6 * 2**30:
        pytest.skip(f"needs 6 GiB free, {free} bytes available")
    path = tmp_path / "huge.quarlen"
    try:
        check_file_past_4_gib(path)
    finally:
        # pytest keeps the temporary directories of recent runs; this file is too big for that.
        path.unlink(missing_ok=True)


def check_file_past_4_gib(path):
    block = noise_rows(1, 8 * 2**20)  # two rows of 8 MiB per call
    calls = 110  # about 1.8 GB of text per member
    w = Writer(path)
    records = {}
    for member in ["control_rows/A", "control_rows/B", "control_rows/C"]:
        w.begin(member)
        for _ in range(calls):
            assert w.rows(block) == 2
        records[member] = json.loads(w.end())
        assert records[member]["rows"] == 2 * calls
    # These entries begin past 4 GiB and need the Zip64 offset field.
    w.begin("comments")
    w.rows('[["APP","T","C","after 4 GiB"]]')
    w.end()
    w.begin("control_rows/D")
    w.end()
    manifest = json.loads(w.finish('{"size":"big"}'))
    assert manifest["members"]["control_rows/A"] == records["control_rows/A"]
    size = path.stat().st_size
    assert size > 2**32

    with zipfile.ZipFile(path) as z:
        infos = z.infolist()
        assert [i.filename for i in infos] == [
            "control_rows/A.jsonl",
            "control_rows/B.jsonl",
            "control_rows/C.jsonl",
            "comments.jsonl",
            "control_rows/D.jsonl",
            "manifest.json",
        ]
        for info in infos:
            if info.header_offset >= 0xFFFFFFFF:
                assert info.extra == struct.pack("<HHQ", 1, 8, info.header_offset)
            else:
                assert info.extra == b""
        assert infos[3].header_offset > 2**32
        assert z.read("comments.jsonl") == b'["APP","T","C","after 4 GiB"]\n'
        assert z.testzip() is None
        assert json.loads(z.read("manifest.json")) == manifest
    with open(path, "rb") as f:
        f.seek(-98, os.SEEK_END)
        z64, locator, end = zip64_tail(f.read())
    assert z64[0] == b"PK\x06\x06" and z64[7] == 6
    assert locator[2] == size - 98
    assert end[6] == 0xFFFFFFFF

    report = json.loads(_native.verify(str(path)))
    assert report["ok"] is True and report["problems"] == []
    if UNZIP is not None:
        result = subprocess.run([UNZIP, "-tq", str(path)], capture_output=True, text=True)
        assert result.returncode == 0, result.stdout + result.stderr


@SLOW
@pytest.mark.slow
def test_member_past_4_gib_is_not_written(tmp_path):
    # Highly repetitive text: the member passes the 32-bit size while the file stays small.
    path = tmp_path / "limit.quarlen"
    row = "x" * (2**26 - 16)
    block = json.dumps([[row]])
    line = len(block) - 2 + 1  # one row: the array without the outer brackets, and a line feed
    w = Writer(path)
    w.begin("comments")
    w.rows('[["APP","T","C","before"]]')
    w.end()
    w.begin("control_rows/BIG")
    calls = 0
    while (calls + 1) * line <= 0xFFFFFFFF:
        assert w.rows(block) == 1
        calls += 1
    with pytest.raises(ValueError) as info:
        w.rows(block)
    assert str(info.value) == "Large file option has not been set"
    for text in [block, '[["small"]]', "[]"]:
        with pytest.raises(ValueError) as info:
            w.rows(text)
        assert str(info.value) == "No file has been started"
    with pytest.raises(ValueError) as info:
        w.end()
    assert str(info.value) == "control_rows/BIG: the member passed 4294967295 bytes and was not written"
    with pytest.raises(ValueError) as info:
        w.end()
    assert str(info.value) == "no member is open"
    # Its entry is gone; the next member takes its place and the file is whole.
    w.begin("control_rows/NEXT")
    assert w.rows('[["after"]]') == 1
    w.end()
    manifest = json.loads(w.finish("{}"))
    assert list(manifest["members"]) == ["comments", "control_rows/NEXT"]
    with zipfile.ZipFile(path) as z:
        assert z.namelist() == ["comments.jsonl", "control_rows/NEXT.jsonl", "manifest.json"]
        assert z.testzip() is None
    assert json.loads(_native.verify(str(path)))["ok"] is True
    assert json.loads(_native.read(str(path), "control_rows/NEXT")) == [["after"]]
