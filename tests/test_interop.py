"""Archives made by other ZIP tools (zipfile, Info-ZIP)."""

import json
import random
import shutil
import string
import subprocess
import zipfile

import pytest

from quarlen._native import manifest, read, verify

from archives import FORMAT, compact, record, report

NOISE = "".join(random.Random(5).choices(string.ascii_letters, k=300_000))  # more than one read of compressed data
TOOL_MEMBERS = {
    "comments": b'["APP","T1","C1","\xc3\xa9"]\n["APP","T2",null,{"b":1,"a":2}]\n',
    "units": b"",
    "control_rows/APP": b"[1]\n[2]\n[3]\n",
    "control_rows/NOISE": json.dumps([NOISE]).encode() + b"\n",
    "external_tables": (json.dumps(["APP", "X", {"big": "y" * 3000}]) + "\n").encode() * 40,
}
FILES = ["manifest.json"] + [n + ".jsonl" for n in TOOL_MEMBERS]


def tool_manifest() -> bytes:
    doc = {"format": FORMAT, "members": {n: record(t) for n, t in TOOL_MEMBERS.items()}, "made_by": "zip"}
    return json.dumps(doc, indent=4).encode() + b"\n"


def check_tool_archive(path, descriptors=False):
    """`descriptors`: whether every entry is followed by a data descriptor, or None for some."""
    with zipfile.ZipFile(path) as z:
        assert descriptors is None or all(bool(i.flag_bits & 0x08) == descriptors for i in z.infolist())
    assert verify(path) == report({"comments": 2, "control_rows/APP": 3, "control_rows/NOISE": 1, "external_tables": 40,
                                   "units": 0})
    assert read(path, "comments") == '[["APP","T1","C1","é"],["APP","T2",null,{"a":2,"b":1}]]'
    assert read(path, "control_rows/NOISE") == compact([[NOISE]])
    assert read(path, "units") == "[]"
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


@pytest.fixture
def tool_dir(tmp_path):
    if shutil.which("zip") is None or shutil.which("zipnote") is None:
        pytest.skip("zip is not installed")
    d = tmp_path / "files"
    for name, text in TOOL_MEMBERS.items():
        (d / (name + ".jsonl")).parent.mkdir(parents=True, exist_ok=True)
        (d / (name + ".jsonl")).write_bytes(text)
    (d / "manifest.json").write_bytes(tool_manifest())
    return d


def run_zip(args, cwd, stdin=b""):
    return subprocess.run(["zip", "-q", *args], cwd=cwd, input=stdin, capture_output=True, check=True).stdout


def test_info_zip_member_from_stdin(tool_dir):
    # A member streamed from standard input and renamed: its local header holds 0xFFFFFFFF
    # sizes and a Zip64 field; the central directory is exact.
    path = tool_dir / "stdin.zip"
    path.write_bytes(run_zip(["-", "-", *[f for f in FILES if f != "comments.jsonl"]], tool_dir, stdin=TOOL_MEMBERS["comments"]))
    subprocess.run(["zipnote", "-w", path.name], cwd=tool_dir, check=True, capture_output=True,
                   input=b"@ -\n@=comments.jsonl\n@ (comment above this line)\n")
    assert path.read_bytes()[18:26] == b"\xff" * 8  # the local header's sizes
    check_tool_archive(path, descriptors=None)
