"""Other ZIP tools: archives made by zipfile and Info-ZIP read by us, and ours read by them."""

import json
import os
import random
import shutil
import string
import subprocess
import zipfile

import pytest

from quarlen._native import Writer, manifest, read, verify

from archives import FORMAT, compact, record, report, write

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


@pytest.mark.parametrize("args", [["-r", "out.zip", "."], ["-0", "-X", "out.zip", *FILES]], ids=["recursive", "stored"])
def test_info_zip_archive(tool_dir, args):
    run_zip(args, tool_dir)
    check_tool_archive(tool_dir / "out.zip")


@pytest.mark.parametrize("before, after", [(["-6"], []), (["-0"], []), ([], ["-"])], ids=["deflated", "stored", "stdin"])
def test_info_zip_streamed_with_data_descriptors(tool_dir, tmp_path, before, after):
    # Written to a pipe, zip cannot seek back: every entry is followed by a data descriptor.
    # An entry read from standard input ("-") has Zip64 fields and a Zip64 descriptor.
    path = tmp_path / "streamed.quarlen"
    path.write_bytes(run_zip([*before, "-", *after, *FILES], tool_dir, stdin=b"from standard input"))
    assert zipfile.ZipFile(path).namelist() == after + FILES
    check_tool_archive(path, descriptors=True)


def test_info_zip_member_from_stdin(tool_dir):
    # A member streamed from standard input and renamed: its local header holds 0xFFFFFFFF
    # sizes and a Zip64 field; the central directory is exact.
    path = tool_dir / "stdin.zip"
    path.write_bytes(run_zip(["-", "-", *[f for f in FILES if f != "comments.jsonl"]], tool_dir, stdin=TOOL_MEMBERS["comments"]))
    subprocess.run(["zipnote", "-w", path.name], cwd=tool_dir, check=True, capture_output=True,
                   input=b"@ -\n@=comments.jsonl\n@ (comment above this line)\n")
    assert path.read_bytes()[18:26] == b"\xff" * 8  # the local header's sizes
    check_tool_archive(path, descriptors=None)


@pytest.mark.skipif(shutil.which("unzip") is None or shutil.which("zipinfo") is None, reason="unzip is not installed")
def test_unzip_and_zipinfo_accept_ours(tmp_path):
    path = tmp_path / "ours.quarlen"
    members = [("control_rows/Ünïcode", [["é"], [{"k": "日本"}]]), ("comments", [["APP", "T", "C", "x\n"]]), ("units", [])]
    write(path, members)
    env = {**os.environ, "LC_ALL": "C.UTF-8"}
    result = subprocess.run(["unzip", "-t", str(path)], capture_output=True, text=True, env=env)
    assert f"No errors detected in compressed data of {path}." in result.stdout and result.stdout.count("  OK") == 4
    listing = subprocess.run(["zipinfo", str(path)], capture_output=True, text=True, env=env).stdout.splitlines()
    assert listing[1] == f"Zip file size: {path.stat().st_size} bytes, number of entries: 4"
    # Permissions, version made by, host, text flag and no extra field or descriptor, deflate, the fixed time.
    assert [line.split()[:3] + line.split()[4:8] for line in listing[2:-1]] == [
        ["-rw-r--r--", "2.0", "unx", "b-", "defN", "80-Jan-01", "00:00"]] * 4


@pytest.mark.parametrize("members", [65534, 65535])
def test_many_entries(tmp_path, members):
    path = tmp_path / "many.quarlen"
    w = Writer(path)
    for i in range(1, members + 1):
        w.begin(f"control_rows/K{i:05d}")
        w.rows(f'[["r{i}"]]')
        w.end()
    assert len(json.loads(w.finish("{}"))["members"]) == members
    data = path.read_bytes()
    with zipfile.ZipFile(path) as z:
        names = z.namelist()
        assert (len(names), names[-2]) == (members + 1, f"control_rows/K{members:05d}.jsonl")
        assert z.read(names[-2]) == f'["r{members}"]\n'.encode()
    # Past 65,534 entries the count takes the Zip64 end records.
    zip64 = members > 65534
    assert (data[-98:-94] == b"PK\x06\x06", data[-14:-12]) == (zip64, (0xFFFF if zip64 else members + 1).to_bytes(2, "little"))
    assert json.loads(verify(str(path)))["ok"] is True
