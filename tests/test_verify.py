import json
import os
import random
import shutil
import subprocess
import sys
import zipfile

import pytest

from quarlen._native import manifest, read, verify

from archives import CHECKSUM, FORMAT, MISSING, archive, compact, error, lines, open_fds, record, report, sha, write

CATALOGUE = {
    "objects": [[1, "APP", "T1", "TABLE", "VALID", "N", "2024-01-01"], [2, "APP", "V1", "VIEW", None, "N", None]],
    "comments": [["APP", "T1", "C1", "note é"], ["APP", "T1", None, {"nested": [1, 2.5, {"b": 1, "a": 2}]}]],
    "units": [],
    "control_rows/APP": [[1], [{"k": "v"}], ["line\nfeed"]],
    "control_rows/HR": [],
    "plscope_identifiers/Ä": [list(range(10))],
    "external_tables": [["APP", "X", {"location": "/data"}]] * 50,
}


def write_catalogue(path):
    write(path, CATALOGUE.items(), '{"source":"db1"}')
    return path


def test_report_of_a_sound_file(tmp_path):
    path = write_catalogue(tmp_path / "x.quarlen")
    text = verify(path)
    assert text == report({name: len(rows) for name, rows in CATALOGUE.items()})
    assert text.startswith('{"format":"quarlen/1","members":{"comments":2,"control_rows/APP":3,')
    for name, rows in CATALOGUE.items():
        assert read(path, name) == compact(rows)


def test_report_lists_members_with_no_rows(tmp_path):
    path = archive(tmp_path / "x.quarlen", header={"source": "db1"})
    assert verify(path) == '{"format":"quarlen/1","members":{},"ok":true,"problems":[]}'
    path = archive(tmp_path / "x.quarlen", {"units": b"", "control_rows/X": b"", "comments": b""})
    assert verify(path) == report({"comments": 0, "control_rows/X": 0, "units": 0})


def test_report_one_problem_per_member_in_name_order(tmp_path):
    ok = lines([1])
    members = {
        "units": lines([1, 2, 3, 4], [1, 2]),  # shape
        "comments": b"[1,2,3,4]\n[1,2,3,4]\n",  # count
        "control_rows/B": b"[1]\nx\n",  # line
        "control_rows/A": b"[1]\n",  # checksum
        "control_rows/C": b'["\xff"]\n',  # UTF-8
        "control_rows/D": ok,
        "objects": b"",
        "triggers": lines([1, 2, 3, 4, 5, 6]),
    }
    path = archive(
        tmp_path / "x.quarlen",
        members,
        records={
            "comments": record(members["comments"], rows=3),
            "control_rows/A": record(b"[2]\n"),
            "control_rows/Z": record(ok),  # no entry
            "synonyms": {"rows": 0, "sha256": sha(b"")},  # no entry
        },
    )
    problems = [
        "comments: 2 rows, the manifest says 3",
        CHECKSUM.format("control_rows/A"),
        "control_rows/B line 2: expected value at line 1 column 1",
        "control_rows/C: stream did not contain valid UTF-8",
        MISSING.format("control_rows/Z"),
        MISSING.format("synonyms"),
        "units row 2: 2 values, the format has 4",
    ]
    assert verify(path) == report({"control_rows/D": 1, "objects": 0, "triggers": 1}, problems)
    names = ["comments", "control_rows/A", "control_rows/B", "control_rows/C", "control_rows/Z", "synonyms", "units"]
    assert [error(read, path, name) for name in names] == problems


def test_report_ignores_extra_entries(tmp_path):
    text = lines([1, 2, 3, 4])
    extra = [
        ("objects.jsonl", b"\xff garbage"),  # a member of the format, not listed
        ("control_rows/HR.jsonl", b"{}\n"),
        ("notes.txt", b"hello"),
        ("dir/", b""),
        ("units.jsonl", b"x" * 100),  # damaged below: its CRC no longer matches
    ]
    plain = archive(tmp_path / "plain.quarlen", {"comments": text})
    path = archive(tmp_path / "x.quarlen", {"comments": text}, extra=extra, compression=zipfile.ZIP_STORED)
    data = bytearray(path.read_bytes())
    data[data.index(b"x" * 100) + 50] ^= 1
    path.write_bytes(bytes(data))
    with pytest.raises(zipfile.BadZipFile):
        zipfile.ZipFile(path).read("units.jsonl")
    assert verify(path) == verify(plain) == report({"comments": 1})


def test_report_ignores_header_and_bytes(tmp_path):
    text = lines([1])
    path = archive(tmp_path / "x.quarlen", {"control_rows/A": text},
                   records={"control_rows/A": {"bytes": "x", "rows": 1, "sha256": sha(text), "x": None}},
                   header={"ok": False, "problems": ["x"]})
    assert verify(path) == report({"control_rows/A": 1})
    assert read(path, "control_rows/A") == "[[1]]"


def check_consistent(path, names):
    """A damaged file gives ValueError or well-formed results that agree."""
    try:
        listed = json.loads(manifest(path))["members"]
    except ValueError as e:
        assert error(verify, path) == str(e)
        for name in names:
            assert error(read, path, name) == str(e)
        return "file"
    rep = json.loads(verify(path), object_pairs_hook=lambda kv: kv)
    assert [k for k, _ in rep] == ["format", "members", "ok", "problems"]
    rep = dict(rep)
    counts = dict(rep["members"])
    assert rep["format"] == FORMAT
    assert rep["ok"] is (rep["problems"] == [])
    assert len(counts) + len(rep["problems"]) == len(listed)
    assert set(counts) <= set(listed)
    for name in names:
        try:
            rows = json.loads(read(path, name))
        except ValueError as e:
            assert str(e) in rep["problems"]
        else:
            if name in listed:
                assert counts[name] == len(rows)
            else:
                assert rows == []
    return "report" if rep["ok"] else "problems"


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_random_damage_never_crashes_nor_leaks(tmp_path):
    original = write_catalogue(tmp_path / "orig.quarlen").read_bytes()
    path = tmp_path / "x.quarlen"
    rnd = random.Random(20240611)
    seen = {"file": 0, "report": 0, "problems": 0}
    before = open_fds()
    for _ in range(600):
        data = bytearray(original)
        for _ in range(rnd.choice([1, 1, 1, 2, 8])):
            data[rnd.randrange(len(data))] ^= rnd.randrange(1, 256)
        path.write_bytes(bytes(data))
        try:
            seen[check_consistent(path, list(CATALOGUE))] += 1
        except BaseException as e:  # PanicException derives from BaseException
            if isinstance(e, (AssertionError, pytest.fail.Exception)):
                raise
            pytest.fail(f"{type(e).__name__}: {e} for damage seeded 20240611")
    assert all(seen.values()), seen
    assert open_fds() == before


@pytest.mark.parametrize("comment", [b"x" * 65535, b"PK\x05\x06" + b"\0" * 18 + b"!"], ids=["longest", "fake-end"])
def test_archive_with_comment(tmp_path, comment):
    original = write_catalogue(tmp_path / "x.quarlen")
    data = original.read_bytes()
    assert data[-22:-18] == b"PK\x05\x06" and data[-2:] == b"\0\0"
    path = tmp_path / "c.quarlen"
    path.write_bytes(data[:-2] + len(comment).to_bytes(2, "little") + comment)
    assert verify(path) == verify(original)
    assert manifest(path) == manifest(original)
    assert read(path, "comments") == compact(CATALOGUE["comments"])


TOOL_MEMBERS = {
    "comments": lines(["APP", "T1", "C1", "é"], ["APP", "T2", None, {"b": 1, "a": 2}]),
    "units": b"",
    "control_rows/APP": lines([1], [2], [3]),
    "external_tables": lines(["APP", "X", {"big": "y" * 3000}]) * 40,
}
FILES = ["manifest.json"] + [n + ".jsonl" for n in TOOL_MEMBERS]


def tool_manifest() -> bytes:
    doc = {"format": FORMAT, "members": {n: record(t) for n, t in TOOL_MEMBERS.items()}, "made_by": "zip"}
    return json.dumps(doc, indent=4).encode() + b"\n"


def check_tool_archive(path, descriptors=False):
    """`descriptors`: whether every entry is followed by a data descriptor, or None for some."""
    with zipfile.ZipFile(path) as z:
        assert descriptors is None or all(bool(i.flag_bits & 0x08) == descriptors for i in z.infolist())
    assert verify(path) == report({"comments": 2, "control_rows/APP": 3, "external_tables": 40, "units": 0})
    assert read(path, "comments") == '[["APP","T1","C1","é"],["APP","T2",null,{"a":2,"b":1}]]'
    assert read(path, "control_rows/APP") == "[[1],[2],[3]]"
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


@pytest.fixture
def tool_dir(tmp_path):
    if shutil.which("zip") is None:
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


def test_info_zip_member_from_stdin(tool_dir, tmp_path):
    # A member streamed from standard input and renamed: its local header holds 0xFFFFFFFF
    # sizes and a Zip64 field; the central directory is exact.
    if shutil.which("zipnote") is None:
        pytest.skip("zipnote is not installed")
    path = tool_dir / "stdin.zip"
    others = [f for f in FILES if f != "comments.jsonl"]
    path.write_bytes(run_zip(["-", "-", *others], tool_dir, stdin=TOOL_MEMBERS["comments"]))
    subprocess.run(["zipnote", "-w", path.name], cwd=tool_dir, check=True, capture_output=True,
                   input=b"@ -\n@=comments.jsonl\n@ (comment above this line)\n")
    assert path.read_bytes()[18:26] == b"\xff" * 8  # the local header's sizes
    check_tool_archive(path, descriptors=None)


HOSTILE_SCRIPT = """
import json, resource, sys
from quarlen._native import read, verify

path = sys.argv[1]
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
# Far less than any inflated entry: only a reader that streams can verify.
resource.setrlimit(resource.RLIMIT_AS, (size + (96 << 20), resource.RLIM_INFINITY))
out = {"verify": json.loads(verify(path))}
try:
    read(path, "control_rows/APP")
except MemoryError:
    out["read"] = "MemoryError"
print(json.dumps(out))
"""


def test_small_file_huge_inflated_verifies_in_fixed_memory(tmp_path):
    # About 300 MB of text in well under 1 MB: one good member of many short
    # rows, and one of a single line of spaces whose checksum is right.
    rows = b'["x"]\n' * (50 << 20)
    spaces = b" " * (300 << 20)
    path = archive(tmp_path / "bomb.quarlen", {"control_rows/APP": rows, "control_rows/HR": spaces})
    assert path.stat().st_size < 1 << 20
    result = subprocess.run([sys.executable, "-c", HOSTILE_SCRIPT, str(path)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    spaces_fault = "control_rows/HR line 1: EOF while parsing a value at line 1 column " + str((300 << 20) + 1)
    assert json.loads(result.stdout) == {
        "verify": {"format": FORMAT, "members": {"control_rows/APP": 50 << 20}, "ok": False, "problems": [spaces_fault]},
        # The rows themselves do not fit: a clean MemoryError, not an internal fault.
        "read": "MemoryError",
    }
