"""Archives made by another ZIP tool (zipfile): stored, deflated, streamed, with comments."""

import json
import random
import string
import types
import zipfile

import pytest

from quarlen._native import manifest, read, verify

from archives import FORMAT, compact, error, record, report

NOISE = "".join(random.Random(5).choices(string.ascii_letters, k=400_000))  # past one 256 KiB read of deflated data
MEMBERS = {
    "comments": b'["APP","T1","C1","\xc3\xa9"]\n["APP","T2",null,{"b":1,"a":2}]\n',
    "units": b"",
    "control_rows/NOISE": json.dumps([NOISE]).encode() + b"\n",
    "external_tables": (json.dumps(["APP", "X", {"big": "y" * 3000}]) + "\n").encode() * 40,
}


@pytest.mark.parametrize("compression, stream", [(zipfile.ZIP_DEFLATED, False), (zipfile.ZIP_STORED, False),
                                                 (zipfile.ZIP_DEFLATED, True)], ids=["deflated", "stored", "stream"])
def test_zipfile_archive(tmp_path, compression, stream):
    path = tmp_path / "x.quarlen"
    doc = {"format": FORMAT, "members": {n: record(t) for n, t in MEMBERS.items()}, "made_by": "zip"}
    # Without seek and tell, zipfile follows each entry with a data descriptor.
    with open(path, "wb") as f, zipfile.ZipFile(types.SimpleNamespace(write=f.write, flush=f.flush) if stream else f,
                                                "w", compression) as z:
        for n, t in [*((n + ".jsonl", t) for n, t in MEMBERS.items()), ("manifest.json", json.dumps(doc, indent=4))]:
            z.writestr(n, t)
    # A comment after the end record, as long as it can be, or one that looks like an end record.
    for comment in [b"", b"x" * 65535, b"PK\x05\x06" + b"\0" * 18 + b"!"]:
        (tmp_path / "c.quarlen").write_bytes(path.read_bytes()[:-2] + len(comment).to_bytes(2, "little") + comment)
        with zipfile.ZipFile(tmp_path / "c.quarlen") as z:
            assert all(bool(i.flag_bits & 0x08) == stream for i in z.infolist())
        assert verify(tmp_path / "c.quarlen") == report({"comments": 2, "control_rows/NOISE": 1, "external_tables": 40,
                                                         "units": 0})
        assert read(tmp_path / "c.quarlen", "comments") == '[["APP","T1","C1","é"],["APP","T2",null,{"a":2,"b":1}]]'
        assert read(tmp_path / "c.quarlen", "control_rows/NOISE") == compact([[NOISE]])
        assert json.loads(manifest(tmp_path / "c.quarlen"))["made_by"] == "zip"
        # A comment of another length than its end record says hides the record.
        for hidden in [path.read_bytes()[:-2] + (len(comment) ^ 1).to_bytes(2, "little") + comment, path.read_bytes() + b"x"]:
            (tmp_path / "h.quarlen").write_bytes(hidden)
            assert error(manifest, tmp_path / "h.quarlen").endswith("(invalid Zip archive: Could not find central directory end)")
