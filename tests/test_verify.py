import json
import os
import random
import shutil
import subprocess
import zipfile

import pytest

from quarlen._native import Writer, manifest, read, verify

from archives import FORMAT, archive, compact, error, lines, pack, record, sha

CHECKSUM = "{}: checksum does not match the manifest (the file was changed or damaged)"
MISSING = "{}: listed in the manifest but missing from the file"


def report(members=None, problems=()) -> str:
    """The report text for these row counts and problems."""
    return compact({"format": FORMAT, "members": members or {}, "ok": not problems, "problems": list(problems)})


CATALOGUE = {
    "objects": [[1, "APP", "T1", "TABLE", "VALID", "N", "2024-01-01"], [2, "APP", "V1", "VIEW", None, "N", None]],
    "comments": [["APP", "T1", "C1", "note é"], ["APP", "T1", None, {"nested": [1, 2.5, {"b": 1, "a": 2}]}]],
    "units": [],
    "control_rows/APP": [[1], [{"k": "v"}], ["line\nfeed"]],
    "control_rows/HR": [],
    "plscope_identifiers/Ä": [list(range(10))],
    "external_tables": [["APP", "X", {"location": "/data"}]] * 50,
}


def write_catalogue(path, catalogue=CATALOGUE, header='{"source":"db1"}'):
    w = Writer(path)
    for name, rows in catalogue.items():
        w.begin(name)
        if rows:
            w.rows(json.dumps(rows))
        w.end()
    w.finish(header)
    return path


# --- The report ----------------------------------------------------------------------------------


def test_report_of_a_sound_file(tmp_path):
    path = write_catalogue(tmp_path / "x.quarlen")
    text = verify(path)
    counts = {name: len(rows) for name, rows in CATALOGUE.items()}
    assert text == report(counts)
    assert text.startswith('{"format":"quarlen/1","members":{"comments":2,"control_rows/APP":3,')
    assert text.endswith(',"ok":true,"problems":[]}')
    pairs = json.loads(text, object_pairs_hook=lambda kv: kv)
    assert [k for k, _ in pairs] == ["format", "members", "ok", "problems"]
    assert [k for k, _ in pairs[1][1]] == sorted(CATALOGUE, key=str.encode)
    for name, rows in CATALOGUE.items():
        assert read(path, name) == compact(rows)


def test_report_of_an_empty_file(tmp_path):
    path = archive(tmp_path / "x.quarlen", header={"source": "db1"})
    assert verify(path) == '{"format":"quarlen/1","members":{},"ok":true,"problems":[]}'


def test_report_lists_members_with_no_rows(tmp_path):
    path = archive(tmp_path / "x.quarlen", {"units": b"", "control_rows/X": b"", "comments": b""})
    assert verify(path) == '{"format":"quarlen/1","members":{"comments":0,"control_rows/X":0,"units":0},"ok":true,"problems":[]}'


def test_report_with_one_altered_member(tmp_path):
    good = lines(["APP", "T1", "C1", "x"])
    altered = lines(["APP", "T1", "C1", "y"])
    path = archive(tmp_path / "x.quarlen", {"comments": altered, "units": good, "objects": b""},
                   records={"comments": record(good)})
    assert verify(path) == report({"objects": 0, "units": 1}, [CHECKSUM.format("comments")])


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
    # Each problem is the message that read() raises for that member.
    names = ["comments", "control_rows/A", "control_rows/B", "control_rows/C", "control_rows/Z", "synonyms", "units"]
    assert [error(read, path, name) for name in names] == problems


def test_report_with_two_members_missing(tmp_path):
    path = archive(tmp_path / "x.quarlen",
                   records={"units": record(b""), "comments": record(b"")})
    assert verify(path) == report({}, [MISSING.format("comments"), MISSING.format("units")])


def test_report_ignores_extra_entries(tmp_path):
    text = lines([1, 2, 3, 4])
    extra = [
        ("objects.jsonl", b"\xff garbage"),  # a member of the format, not listed
        ("control_rows/HR.jsonl", b"{}\n"),
        ("bogus.jsonl", b"x"),
        ("notes.txt", b"hello"),
        ("comments.jsonl.bak", b"x"),
        ("dir/", b""),
        ("MANIFEST.JSON", b"{}"),
    ]
    plain = archive(tmp_path / "plain.quarlen", {"comments": text})
    path = archive(tmp_path / "x.quarlen", {"comments": text}, extra=extra)
    assert verify(path) == verify(plain) == report({"comments": 1})


def test_report_ignores_a_damaged_unlisted_entry(tmp_path):
    path = archive(tmp_path / "x.quarlen", {"comments": lines([1, 2, 3, 4])},
                   extra=[("objects.jsonl", b"x" * 100)], compression=zipfile.ZIP_STORED)
    data = bytearray(path.read_bytes())
    at = data.index(b"x" * 100)
    data[at + 50] ^= 1  # its CRC no longer matches
    path.write_bytes(bytes(data))
    with pytest.raises(zipfile.BadZipFile):
        zipfile.ZipFile(path).read("objects.jsonl")
    assert verify(path) == report({"comments": 1})


def test_report_ignores_header_and_bytes(tmp_path):
    text = lines([1])
    path = archive(tmp_path / "x.quarlen", {"control_rows/A": text},
                   records={"control_rows/A": {"bytes": 12345, "rows": 1, "sha256": sha(text), "x": None}},
                   header={"ok": False, "problems": ["x"], "members": "ignored"})
    assert verify(path) == report({"control_rows/A": 1})


def test_report_rows_count_lines_not_values(tmp_path):
    # Row counts come from the text; a row holding many values is one row.
    text = b'[[1,2,3]]\n[{"a":[1,2]}]\r\n[null]'
    path = archive(tmp_path / "x.quarlen", {"control_rows/A": text},
                   records={"control_rows/A": record(text, rows=3)})
    assert verify(path) == report({"control_rows/A": 3})


def test_report_is_independent_of_other_calls(tmp_path):
    bad = archive(tmp_path / "bad.quarlen", records={"units": record(b"")})
    good = write_catalogue(tmp_path / "good.quarlen")
    first = verify(good)
    assert verify(bad) == report({}, [MISSING.format("units")])
    assert verify(good) == first


def whole_file_failures(tmp_path):
    not_zip = tmp_path / "text.quarlen"
    not_zip.write_text("hello")
    cases = {
        "missing": (tmp_path / "absent.quarlen", "{}: No such file or directory (os error 2)"),
        "not-zip": (not_zip, "{}: not a .quarlen file (invalid Zip archive: Could not find central directory end)"),
        "no-manifest": (pack(tmp_path / "nm.quarlen", [("comments.jsonl", b"")]),
                        "{}: no manifest (not a .quarlen file, or not finished)"),
        "not-utf8": (pack(tmp_path / "u.quarlen", [("manifest.json", b'{"format":"\xff"}')]),
                     "stream did not contain valid UTF-8"),
        "not-json": (pack(tmp_path / "j.quarlen", [("manifest.json", b"{")]),
                     "manifest: EOF while parsing an object at line 1 column 2"),
        "no-format": (pack(tmp_path / "f.quarlen", [("manifest.json", b'{"members":{}}')]), "manifest: no format"),
        "other-format": (pack(tmp_path / "o.quarlen", [("manifest.json", b'{"format":"quarlen/2","members":{}}')]),
                         "format quarlen/2: this version reads quarlen/1"),
        "no-members": (pack(tmp_path / "m.quarlen", [("manifest.json", b'{"format":"quarlen/1"}')]),
                       "manifest: no members"),
        "bad-name": (archive(tmp_path / "b.quarlen", {"comments": b""}, records={"bogus": {}}),
                     "bogus: not a member of quarlen/1"),
    }
    return {key: (path, message.format(path)) for key, (path, message) in cases.items()}


@pytest.mark.parametrize(
    "key", ["missing", "not-zip", "no-manifest", "not-utf8", "not-json", "no-format", "other-format",
            "no-members", "bad-name"],
)
def test_whole_file_failures_raise_like_manifest(tmp_path, key):
    path, message = whole_file_failures(tmp_path)[key]
    assert error(verify, path) == message
    assert error(manifest, path) == message
    assert error(read, path, "comments") == message


# --- Every call closes its file -------------------------------------------------------------------


def open_fds() -> list:
    return sorted(os.listdir("/proc/self/fd"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_every_call_closes_its_file(tmp_path):
    good = write_catalogue(tmp_path / "good.quarlen")
    damaged = archive(tmp_path / "damaged.quarlen", {"comments": lines([1, 2])},
                      records={"units": record(b"")})
    failures = whole_file_failures(tmp_path)
    calls = [
        (manifest, (good,)), (verify, (good,)), (read, (good, "comments")), (read, (good, "objects")),
        (read, (good, "bogus")), (read, (good, "synonyms")),
        (verify, (damaged,)), (read, (damaged, "comments")), (read, (damaged, "units")),
        (read, (damaged, "control_rows")),
    ]
    for path, _ in failures.values():
        calls += [(manifest, (path,)), (verify, (path,)), (read, (path, "comments"))]

    def round_of_calls():
        failed = 0
        for call, args in calls:
            try:
                call(*args)
            except ValueError:
                failed += 1
        return failed

    # One round first, so that anything opened once per process is open.
    failing = round_of_calls()
    assert failing == 4 + 3 * len(failures)
    before = open_fds()
    assert sum(round_of_calls() for _ in range(60)) == 60 * failing
    assert open_fds() == before


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_damaged_files_are_closed(tmp_path):
    # Every ZIP failure path, through the random damage below.
    path = tmp_path / "x.quarlen"
    original = write_catalogue(tmp_path / "orig.quarlen").read_bytes()
    rnd = random.Random(7)
    before = open_fds()
    for _ in range(200):
        data = bytearray(original)
        data[rnd.randrange(len(data))] ^= rnd.randrange(1, 256)
        path.write_bytes(bytes(data))
        for call in (manifest, verify, lambda p: read(p, "external_tables")):
            try:
                call(path)
            except ValueError:
                pass
    assert open_fds() == before


# --- Damage: truncation, random bytes, comments -----------------------------------------------------


def test_truncated_archives_raise(tmp_path):
    original = write_catalogue(tmp_path / "orig.quarlen").read_bytes()
    path = tmp_path / "cut.quarlen"
    no_end = f"{path}: not a .quarlen file (invalid Zip archive: Could not find central directory end)"
    cuts = list(range(0, 64)) + list(range(64, len(original), 7)) + list(range(len(original) - 64, len(original)))
    for cut in sorted(set(cuts)):
        path.write_bytes(original[:cut])
        for call in (manifest, verify, lambda p: read(p, "comments")):
            assert error(call, path) == no_end, cut


def test_archives_with_a_chunk_removed(tmp_path):
    # The end record stays; everything it points at has moved.
    original = write_catalogue(tmp_path / "orig.quarlen").read_bytes()
    path = tmp_path / "cut.quarlen"
    for start in range(0, len(original) - 22, 5):
        path.write_bytes(original[:start] + original[start + 9:])
        with pytest.raises(ValueError):
            manifest(path)
        with pytest.raises(ValueError):
            verify(path)


def check_consistent(path, names):
    """A damaged file gives ValueError or well-formed results that agree."""
    outcomes = {}
    try:
        listed = json.loads(manifest(path))["members"]
    except ValueError as e:
        # The file as a whole is refused: every call says so alike.
        assert error(verify, path) == str(e)
        for name in names:
            assert error(read, path, name) == str(e)
        return "file"
    try:
        text = verify(path)
    except ValueError:
        pytest.fail("verify raised although manifest() passed")
    rep = json.loads(text, object_pairs_hook=lambda kv: kv)
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
            outcomes[name] = str(e)
            assert str(e) in rep["problems"]
        else:
            if name in listed:
                assert counts[name] == len(rows)
            else:
                assert rows == []
    return "report" if rep["ok"] else "problems"


def test_random_damage_never_crashes(tmp_path):
    original = write_catalogue(tmp_path / "orig.quarlen").read_bytes()
    path = tmp_path / "x.quarlen"
    rnd = random.Random(20240611)
    seen = {"file": 0, "report": 0, "problems": 0}
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
    # The damage reached every kind of outcome.
    assert all(seen.values()), seen


def with_comment(data: bytes, comment: bytes) -> bytes:
    """Gives an archive that ends in a bare end record the comment."""
    assert data[-22:-18] == b"PK\x05\x06" and data[-2:] == b"\0\0"
    return data[:-2] + len(comment).to_bytes(2, "little") + comment


@pytest.mark.parametrize(
    "comment",
    [b"a comment", b"x" * 65535, b"PK\x05\x06", b"PK\x05\x06" + b"\0" * 18 + b"!"],
    ids=["short", "longest", "signature", "fake-end"],
)
def test_archive_with_comment(tmp_path, comment):
    original = write_catalogue(tmp_path / "x.quarlen")
    expected = verify(original)
    path = tmp_path / "c.quarlen"
    path.write_bytes(with_comment(original.read_bytes(), comment))
    if not comment.startswith(b"PK"):
        assert zipfile.ZipFile(path).comment == comment
    assert verify(path) == expected
    assert manifest(path) == manifest(original)
    assert read(path, "comments") == compact(CATALOGUE["comments"])


def test_archive_with_bytes_after_the_end(tmp_path):
    # Trailing bytes that are no comment: the end record no longer reaches the end.
    path = write_catalogue(tmp_path / "x.quarlen")
    path.write_bytes(path.read_bytes() + b"trailing")
    assert error(verify, path) == (
        f"{path}: not a .quarlen file (invalid Zip archive: Could not find central directory end)"
    )


# --- Files made by other ZIP tools --------------------------------------------------------------------


TOOL_MEMBERS = {
    "comments": lines(["APP", "T1", "C1", "é"], ["APP", "T2", None, {"b": 1, "a": 2}]),
    "units": b"",
    "control_rows/APP": lines([1], [2], [3]),
    "external_tables": lines(["APP", "X", {"big": "y" * 3000}]) * 40,
}
TOOL_COUNTS = {"comments": 2, "control_rows/APP": 3, "external_tables": 40, "units": 0}


def tool_manifest() -> bytes:
    doc = {"format": FORMAT, "members": {n: record(t) for n, t in TOOL_MEMBERS.items()}, "made_by": "zip"}
    return json.dumps(doc, indent=4).encode() + b"\n"


def check_tool_archive(path):
    assert verify(path) == report(TOOL_COUNTS)
    assert read(path, "comments") == '[["APP","T1","C1","é"],["APP","T2",null,{"a":2,"b":1}]]'
    assert read(path, "control_rows/APP") == "[[1],[2],[3]]"
    assert read(path, "units") == "[]"
    assert json.loads(manifest(path))["made_by"] == "zip"


@pytest.mark.parametrize("compression", [zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED], ids=["deflated", "stored"])
def test_zipfile_archive(tmp_path, compression):
    entries = [("manifest.json", tool_manifest())] + [(n + ".jsonl", t) for n, t in TOOL_MEMBERS.items()]
    path = pack(tmp_path / "x.quarlen", entries, compression)
    check_tool_archive(path)


def test_zipfile_archive_written_to_a_stream(tmp_path):
    # zipfile writes data descriptors when it cannot seek back.
    class Unseekable:
        def __init__(self, f):
            self.f = f

        def write(self, b):
            return self.f.write(b)

        def flush(self):
            self.f.flush()

        def tell(self):
            raise OSError("unseekable")

        def seek(self, *args):
            raise OSError("unseekable")

    path = tmp_path / "x.quarlen"
    with open(path, "wb") as f, zipfile.ZipFile(Unseekable(f), "w", zipfile.ZIP_DEFLATED) as z:
        for n, t in TOOL_MEMBERS.items():
            z.writestr(n + ".jsonl", t)
        z.writestr("manifest.json", tool_manifest())
    with zipfile.ZipFile(path) as z:
        assert all(info.flag_bits & 0x08 for info in z.infolist())
    check_tool_archive(path)


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


FILES = ["manifest.json"] + [n + ".jsonl" for n in TOOL_MEMBERS]


def run_zip(args, cwd, stdin=b""):
    out = subprocess.run(["zip", "-q", *args], cwd=cwd, input=stdin, capture_output=True, check=True)
    return out.stdout


@pytest.mark.parametrize(
    "args",
    [["-r", "out.zip", "."], ["-0", "-X", "out.zip", *FILES], ["-9", "-D", "out.zip", *FILES]],
    ids=["recursive", "stored", "best"],
)
def test_info_zip_archive(tool_dir, args):
    run_zip(args, tool_dir)
    check_tool_archive(tool_dir / "out.zip")


@pytest.mark.parametrize("level", ["-6", "-0"], ids=["deflated", "stored"])
def test_info_zip_streamed_with_data_descriptors(tool_dir, tmp_path, level):
    # Written to a pipe, zip cannot seek back: every entry is followed by a data descriptor.
    path = tmp_path / "streamed.quarlen"
    path.write_bytes(run_zip([level, "-", *FILES], tool_dir))
    with zipfile.ZipFile(path) as z:
        assert [i.filename for i in z.infolist()] == FILES
        assert all(info.flag_bits & 0x08 for info in z.infolist())
    check_tool_archive(path)


def test_info_zip_streamed_from_stdin(tool_dir, tmp_path):
    # An entry from standard input carries Zip64 fields and a Zip64 data descriptor.
    path = tmp_path / "stdin.quarlen"
    path.write_bytes(run_zip(["-", "-", *FILES], tool_dir, stdin=b"from standard input"))
    with zipfile.ZipFile(path) as z:
        infos = z.infolist()
        assert infos[0].filename == "-"
        assert all(info.flag_bits & 0x08 for info in infos)
        assert z.read("-") == b"from standard input"
    check_tool_archive(path)


def test_info_zip_member_from_stdin(tool_dir, tmp_path):
    # A member streamed from standard input and renamed: its local header
    # holds 0xFFFFFFFF sizes and a Zip64 field; the central directory is exact.
    if shutil.which("zipnote") is None:
        pytest.skip("zipnote is not installed")
    path = tool_dir / "stdin.zip"
    others = [f for f in FILES if f != "comments.jsonl"]
    path.write_bytes(run_zip(["-", "-", *others], tool_dir, stdin=TOOL_MEMBERS["comments"]))
    subprocess.run(["zipnote", "-w", path.name], cwd=tool_dir, check=True, capture_output=True,
                   input=b"@ -\n@=comments.jsonl\n@ (comment above this line)\n")
    with zipfile.ZipFile(path) as z:
        assert z.read("comments.jsonl") == TOOL_MEMBERS["comments"]
    data = path.read_bytes()
    assert data[18:26] == b"\xff" * 8  # the local header's sizes
    check_tool_archive(path)
