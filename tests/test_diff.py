"""diff's Change records with the values Python reads, and the command line's forms and exit codes."""

import os
import shlex
import shutil
import subprocess
import sys

import pytest

import quarlen
from quarlen import Change, diff
from quarlen.compare import _member_changes

from archives import archive, compact, record, write

QUARLEN = shutil.which("quarlen", path=os.path.dirname(sys.executable))
OLD = {
    "objects": [[1, "APP", "INVOICES", "TABLE", "VALID", "N", "t1"]],
    "columns": [["APP", "INVOICES", "AMOUNT", 1, "VARCHAR2", "Y", 30, None, None],
                ["APP", "INVOICES", "OLD_COL", 2, "DATE", "Y", 0, None, None]],
    "units": [["APP", "BILLING", "PACKAGE BODY", "BEGIN\n  x;\nEND;\n"]],
    # The whole row is the key: 1, 1.0 and True differ; under a repeated key, rows count as a multiset.
    "control_rows/A": [[1], [True], ["é"], ["é"]],
}
NEW = {
    "objects": [[1, "APP", "INVOICES", "TABLE", "VALID", "N", "t1"], [2, "APP", "PAYMENTS", "TABLE", "VALID", "N", "t2"]],
    "columns": [["APP", "INVOICES", "AMOUNT", 1, "NUMBER", "Y", 30, 12, None]],
    "units": [["APP", "BILLING", "PACKAGE BODY", "BEGIN\n  y;\nEND;"]],
    "control_rows/A": [[True], ["é"], [1.0]],
    "control_rows/B": [[{"b": 1, "a": [2, -0.0]}]],
}
CHANGES = [
    Change("columns", "changed", ["APP", "INVOICES", "AMOUNT"], OLD["columns"][0], NEW["columns"][0],
           ("data_type", "data_precision")),
    Change("columns", "removed", ["APP", "INVOICES", "OLD_COL"], OLD["columns"][1], None),
    Change("control_rows/A", "removed", ["é"], ["é"], None),
    Change("control_rows/A", "added", [1.0], None, [1.0]),
    Change("control_rows/A", "removed", [1], [1], None),
    Change("control_rows/B", "added", [{"a": [2, -0.0], "b": 1}], None, [{"a": [2, -0.0], "b": 1}]),
    Change("objects", "added", ["APP", "PAYMENTS", "TABLE"], None, NEW["objects"][1]),
    Change("units", "changed", ["APP", "BILLING", "PACKAGE BODY"], OLD["units"][0], NEW["units"][0], ("source_text",)),
]


@pytest.fixture
def pair(tmp_path):
    write(old := tmp_path / "old.quarlen", OLD.items())
    write(new := tmp_path / "new.quarlen", NEW.items())
    return old, new


@pytest.mark.parametrize("members", [None, ["control_rows", "objects"], ["control_rows/B", "units"], []])
def test_changes(pair, members):
    old, new = pair
    expected = [c for c in CHANGES if members is None or {c.member, c.member.split("/")[0]} & set(members)]
    assert repr(list(diff(old, new, members))) == repr(expected)
    assert list(diff(new, new)) == []
    raw = [change for name in sorted({c.member for c in expected}) for change in _member_changes(old, new, name, True)]
    texts = [(c.member, c.change, *(v and compact(v) for v in (c.key, c.old, c.new)), c.columns) for c in expected]
    assert raw == texts
    with pytest.raises(TypeError, match="^members: expected a collection of member names, not a str$"):
        diff(old, new, "objects")


def quarlen_diff(*args):
    result = subprocess.run([QUARLEN, "diff", *map(str, args)], capture_output=True)
    return result.returncode, result.stdout.decode(), result.stderr.decode()


def test_command_line(pair, tmp_path):
    old, new = pair
    hashes = [quarlen.unit_hash("APP", "PACKAGE BODY", "BILLING", rows["units"][0][3])[:12] for rows in (OLD, NEW)]
    assert quarlen_diff(old, new, "--member", "columns", "--member", "objects", "--member", "units") == (1, (
        "~ columns APP.INVOICES.AMOUNT: data_type VARCHAR2 -> NUMBER, data_precision null -> 12\n"
        "- columns APP.INVOICES.OLD_COL\n"
        "+ objects APP.PAYMENTS TABLE\n"
        f"~ units APP.BILLING PACKAGE BODY: source_text {hashes[0]}... -> {hashes[1]}...\n"), "")
    assert quarlen_diff(old, new, "--stat", "--member", "control_rows") == (
        1, "control_rows/A: +1 -2 ~0\ncontrol_rows/B: +1 -0 ~0\ntotal: +2 -2 ~0\n", "")
    assert quarlen_diff(old, new, "--json", "--member", "objects") == (1, (
        '{"member":"objects","change":"added","key":["APP","PAYMENTS","TABLE"],"old":null,'
        '"new":[2,"APP","PAYMENTS","TABLE","VALID","N","t2"],"columns":[]}\n'), "")
    # The same rows under another header, and a member listed empty on one side only.
    write(other := tmp_path / "other.quarlen", [*reversed(OLD.items()), ("triggers", [])], '{"source":"db2"}')
    assert quarlen_diff(old, other) == quarlen_diff(old, new, "--member", "dependencies") == (0, "", "")
    text = b'["APP","T","C","x"]\n'
    damaged = archive(tmp_path / "damaged.quarlen", {"units": text}, records={"units": record(text + b" ")})
    bad = archive(tmp_path / "bad.quarlen", manifest_text='{"members":{}}')
    checksum = "units: checksum does not match the manifest (the file was changed or damaged)"
    for files, members, message in [((damaged, old), ["units"], f"{damaged}: {checksum}"),
                                    ((old, damaged), ["units"], f"{damaged}: {checksum}"),
                                    ((old, bad), None, f"{bad}: manifest: no format"),
                                    ((old, new), ["bogus"], "bogus: not a member of quarlen/1")]:
        assert quarlen_diff(*files, *[f"--member={name}" for name in members or []]) == (2, "", f"quarlen: {message}\n")
        with pytest.raises(quarlen.Error) as raised:  # the library's diff names the file at fault as well
            list(diff(*files, members))
        assert str(raised.value) == message
        assert raised.value.path == (message.partition(": ")[0] if message.startswith(str(tmp_path)) else None)
    # A closed pipe ends the listing quietly, with the status found.
    write(b := tmp_path / "b.quarlen", [("control_rows/APP", [[i] for i in range(50_000)])])
    command = f"{shlex.quote(QUARLEN)} diff {shlex.quote(str(old))} {shlex.quote(str(b))} --member control_rows/APP"
    result = subprocess.run(["bash", "-o", "pipefail", "-c", command + " | head -1"], capture_output=True)
    assert (result.returncode, result.stdout, result.stderr) == (1, b"+ control_rows/APP [0]\n", b"")
