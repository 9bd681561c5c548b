"""Archives made by other ZIP tools (zipfile)."""

import json
import random
import string
import zipfile

import pytest

from quarlen._native import manifest, read, verify

from archives import FORMAT, compact, record, report

NOISE = "".join(random.Random(5).choices(string.ascii_letters, k=400_000))  # past one 256 KiB read of deflated data
TOOL_MEMBERS = {
    "comments": b'["APP","T1","C1","\xc3\xa9"]\n["APP","T2",null,{"b":1,"a":2}]\n',
    "units": b"",
    "control_rows/APP": b"[1]\n[2]\n[3]\n",
    "control_rows/NOISE": json.dumps([NOISE]).encode() + b"\n",
    "external_tables": (json.dumps(["APP", "X", {"big": "y" * 3000}]) + "\n").encode() * 40,
}


def tool_manifest() -> bytes:
    doc = {"format": FORMAT, "members": {n: record(t) for n, t in TOOL_MEMBERS.items()}, "made_by": "zip"}
    return json.dumps(doc, indent=4).encode() + b"\n"


def check_tool_archive(path, descriptors):
    """`descriptors`: whether every entry is followed by a data descriptor."""
    with zipfile.ZipFile(path) as z:
        assert all(bool(i.flag_bits & 0x08) == descriptors for i in z.infolist())
    assert verify(path) == report({"comments": 2, "control_rows/APP": 3, "control_rows/NOISE": 1, "external_tables": 40,
                                   "units": 0})
    assert read(path, "comments") == '[["APP","T1","C1","é"],["APP","T2",null,{"a":2,"b":1}]]'
    assert read(path, "control_rows/NOISE") == compact([[NOISE]])
    assert json.loads(manifest(path))["made_by"] == "zip"


class Unseekable:
    def __init__(self, f):
        self.write, self.flush = f.write, f.flush

    def tell(self):
        raise OSError("unseekable")

    seek = tell


@pytest.mark.parametrize("compression, stream", [(zipfile.ZIP_DEFLATED, False), (zipfile.ZIP_STORED, False),
                                                 (zipfile.ZIP_DEFLATED, True)], ids=["deflated", "stored", "stream"])
def test_zipfile_archive(tmp_path, compression, stream):
    path = tmp_path / "x.quarlen"
    with open(path, "wb") as f, zipfile.ZipFile(Unseekable(f) if stream else f, "w", compression) as z:
        for n, t in TOOL_MEMBERS.items():
            z.writestr(n + ".jsonl", t)
        z.writestr("manifest.json", tool_manifest())
    check_tool_archive(path, descriptors=stream)
    # A comment after the end record, as long as it can be, or one that looks like an end record.
    for comment in [b"x" * 65535, b"PK\x05\x06" + b"\0" * 18 + b"!"]:
        (tmp_path / "c.quarlen").write_bytes(path.read_bytes()[:-2] + len(comment).to_bytes(2, "little") + comment)
        check_tool_archive(tmp_path / "c.quarlen", descriptors=stream)
