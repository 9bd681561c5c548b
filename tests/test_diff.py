"""diff against a plain model of the comparison, and the command line's forms and exit codes."""

import collections
import json
import os
import shlex
import shutil
import subprocess
import sys

from hypothesis import given, settings
from hypothesis import strategies as st

import quarlen
from quarlen import create, diff
from quarlen.compare import KEY_COLUMNS, _member_changes

from archives import archive, lines, record

QUARLEN = shutil.which("quarlen", path=os.path.dirname(sys.executable))
COLUMNS = {name: columns for name, columns, _ in json.loads(quarlen.members())}

def canonical(value) -> str:
    """The compact JSON text the files hold: Python's, with exponents as 1e20 and 1e-5."""
    if isinstance(value, float):
        mantissa, e, exponent = repr(value).partition("e")
        return mantissa + e + str(int(exponent)) if e else mantissa
    if isinstance(value, list):
        return "[" + ",".join(map(canonical, value)) + "]"
    if isinstance(value, dict):
        return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + canonical(value[k]) for k in sorted(value)) + "}"
    return json.dumps(value, ensure_ascii=False)


def model(old, new):
    """The changes between two catalogues ({name: rows}), keys and rows as compact JSON text."""
    out = []
    for name in sorted(set(old) | set(new), key=str.encode):
        columns = COLUMNS[name.split("/")[0]]
        indexes = [columns.index(c) for c in KEY_COLUMNS[name.split("/")[0]]]

        def grouped(rows):
            groups = collections.defaultdict(list)
            for row in rows:
                groups[canonical([row[i] for i in indexes] if indexes else row)].append(row)
            return groups

        before, after = grouped(old.get(name, [])), grouped(new.get(name, []))
        for key in sorted(before.keys() | after.keys(), key=str.encode):
            a = [canonical(row) for row in before.get(key, [])]
            b = [canonical(row) for row in after.get(key, [])]
            if len(a) == len(b) == 1:
                if a != b:
                    old_row, new_row = before[key][0], after[key][0]
                    differ = tuple(c for i, c in enumerate(columns) if canonical(old_row[i]) != canonical(new_row[i]))
                    out.append((name, "changed", key, a[0], b[0], differ))
                continue
            removed = collections.Counter(a) - collections.Counter(b)
            added = collections.Counter(b) - collections.Counter(a)
            out += [(name, "removed", key, row, None, ()) for row in sorted(removed.elements(), key=str.encode)]
            out += [(name, "added", key, None, row, ()) for row in sorted(added.elements(), key=str.encode)]
    return out


COMMENT = ["APP", "T", "C", "x"]


def written(path, catalogue, header=None):
    with create(path, header) as snapshot:
        for name, rows in catalogue.items():
            snapshot.write(name, rows)
    return path


# Few values, so that keys repeat; some equal in Python (1, 1.0, True) but not as JSON; keys in any order.
values = st.sampled_from([
    "APP", "é", 'q"[,]', "a\\", "", 0, 1, 1.0, True, None, -0.0, 1e20, 1e-5, 2**64 - 1,
    {"b": 1, "a": [2]}, {"a": [2], "b": 1}, [1, {"c": None}],
])
MEMBERS = ["objects", "dependencies", "control_rows/A", "control_rows/B", "units", "runtime_sql"]


def rows_of(name):
    width = len(COLUMNS[name.split("/")[0]])
    return st.lists(st.lists(values, min_size=width, max_size=width), max_size=8)


@st.composite
def catalogue_pairs(draw):
    old, new = {}, {}
    for name in MEMBERS:
        rows, edited = draw(rows_of(name)), []
        for row in rows:  # kept, dropped, or with one value changed
            action = draw(st.sampled_from(["keep", "keep", "drop", "change"]))
            if action != "drop":
                edited.append([draw(values) if action == "change" and i == len(row) // 2 else v for i, v in enumerate(row)])
        edited += draw(rows_of(name).map(lambda r: r[:3]))
        side = draw(st.sampled_from(["both", "both", "both", "old", "new"]))
        if side != "new":
            old[name] = rows
        if side != "old":
            new[name] = draw(st.permutations(edited))
    selection = draw(st.none() | st.lists(st.sampled_from(MEMBERS + ["control_rows"]), unique=True))
    return old, new, selection


@settings(max_examples=200, deadline=None)
@given(pair=catalogue_pairs())
def test_diff_follows_the_model(tmp_path_factory, pair):
    old, new, selection = pair
    directory = tmp_path_factory.mktemp("diff")
    a, b = written(directory / "a.quarlen", old), written(directory / "b.quarlen", new)
    expected = [c for c in model(old, new) if selection is None or {c[0], c[0].split("/")[0]} & set(selection)]
    ours = [(c.member, c.change, canonical(c.key), None if c.old is None else canonical(c.old),
             None if c.new is None else canonical(c.new), c.columns) for c in diff(a, b, selection)]
    assert ours == expected
    names = sorted({c[0] for c in expected}, key=str.encode)
    assert [change for name in names for change in _member_changes(a, b, name, as_json=True)] == expected
    assert list(diff(b, b)) == []


OLD = {
    "objects": [[1, "APP", "INVOICES", "TABLE", "VALID", "N", "t1"]],
    "columns": [["APP", "INVOICES", "AMOUNT", 1, "VARCHAR2", "Y", 30, None, None],
                ["APP", "INVOICES", "OLD_COL", 2, "DATE", "Y", 0, None, None]],
    "units": [["APP", "BILLING", "PACKAGE BODY", "BEGIN\n  x;\nEND;\n"]],
}
NEW = {
    "objects": [[1, "APP", "INVOICES", "TABLE", "VALID", "N", "t1"], [2, "APP", "PAYMENTS", "TABLE", "VALID", "N", "t2"]],
    "columns": [["APP", "INVOICES", "AMOUNT", 1, "NUMBER", "Y", 30, 12, None]],
    "units": [["APP", "BILLING", "PACKAGE BODY", "BEGIN\n  y;\nEND;"]],
}


def quarlen_diff(*args):
    result = subprocess.run([QUARLEN, "diff", *map(str, args)], capture_output=True)
    return result.returncode, result.stdout.decode(), result.stderr.decode()


def test_command_line(tmp_path):
    old, new = written(tmp_path / "old.quarlen", OLD), written(tmp_path / "new.quarlen", NEW)
    hashes = [quarlen.unit_hash("APP", "PACKAGE BODY", "BILLING", rows["units"][0][3])[:12] for rows in (OLD, NEW)]
    assert quarlen_diff(old, new) == (1, (
        "~ columns APP.INVOICES.AMOUNT: data_type VARCHAR2 -> NUMBER, data_precision null -> 12\n"
        "- columns APP.INVOICES.OLD_COL\n"
        "+ objects APP.PAYMENTS TABLE\n"
        f"~ units APP.BILLING PACKAGE BODY: source_text {hashes[0]}... -> {hashes[1]}...\n"), "")
    assert quarlen_diff(old, new, "--stat") == (1, "columns: +0 -1 ~1\nobjects: +1 -0 ~0\nunits: +0 -0 ~1\ntotal: +1 -1 ~2\n", "")
    assert quarlen_diff(old, new, "--json", "--member", "objects") == (1, (
        '{"member":"objects","change":"added","key":["APP","PAYMENTS","TABLE"],"old":null,'
        '"new":[2,"APP","PAYMENTS","TABLE","VALID","N","t2"],"columns":[]}\n'), "")
    # The same rows under another header, and a member listed empty on one side only.
    other = written(tmp_path / "other.quarlen", {**dict(reversed(OLD.items())), "triggers": []}, {"source": "db2"})
    assert quarlen_diff(old, other) == quarlen_diff(old, new, "--member", "control_rows") == (0, "", "")
    text = lines(COMMENT)
    damaged = archive(tmp_path / "damaged.quarlen", {"units": text}, records={"units": record(text + b" ")})
    bad = archive(tmp_path / "bad.quarlen", manifest_text='{"members":{}}')
    for args, message in [((damaged, old, "--stat"), f"{damaged}: units: checksum does not match the manifest (the file "
                                                     "was changed or damaged)"),
                          ((old, bad), f"{bad}: manifest: no format"),
                          ((old, new, "--member", "bogus"), "bogus: not a member of quarlen/1")]:
        assert quarlen_diff(*args) == (2, "", f"quarlen: {message}\n")
    # A closed pipe ends the listing quietly, with the status found.
    b = written(tmp_path / "b.quarlen", {"control_rows/APP": [[i] for i in range(50_000)]})
    command = f"{shlex.quote(QUARLEN)} diff {shlex.quote(str(old))} {shlex.quote(str(b))} --member control_rows"
    result = subprocess.run(["bash", "-o", "pipefail", "-c", command + " | head -1"], capture_output=True)
    assert (result.returncode, result.stdout, result.stderr) == (1, b"+ control_rows/APP [0]\n", b"")
