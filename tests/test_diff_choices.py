"""diff's row filters and ignore rules against its own unfiltered diff, and the Markdown and HTML reports."""

import dataclasses
import fnmatch
import os
import pty
import re
import shutil
import subprocess

import pytest

import quarlen
from quarlen.rules import SPACED_COLUMNS, object_column, owner_column, spaced

from archives import write
from test_diff import QUARLEN, quarlen_diff

SQL = ["g1", 0, "APP", 3, 0, 0, 5, "t1", "SELECT 1\nFROM dual"]
STATEMENT = ["PKG", "PACKAGE BODY", 7, 6, "s", "SELECT", "g1", 10, 3, "N", "N", "N", "select  x\n from t"]
OLD = {
    "objects": [[1, "APP", "INVOICES", "TABLE", "VALID", "N", "t1"], [2, "HR", "EMP", "TABLE", "VALID", "N", "t1"]],
    "columns": [["APP", "INVOICES", "AMOUNT", 1, "VARCHAR2", "Y", 30, None, None], ["HR", "EMP", "ID", 1, "NUMBER", "N", 0, 9, 0]],
    "synonyms": [["PUBLIC", "INV", "APP", "INVOICES", None]],
    "units": [["APP", "BILLING", "PACKAGE BODY", "BEGIN\r\n  x;\nEND;"], ["HR", "PAY", "PROCEDURE", "BEGIN y; END;"]],
    "runtime_sql": [SQL],
    "plscope_statements/APP": [STATEMENT, [*STATEMENT[:2], 8, *STATEMENT[3:12], "commit"]],
    "dependencies": [["APP", "BILLING", "PACKAGE BODY", "APP", "INVOICES", "TABLE", None, "HARD"]],
}
NEW = {
    "objects": [[1, "APP", "INVOICES", "TABLE", "VALID", "N", "t2"], [3, "HR", "JOBS", "VIEW", "VALID", "N", "t2"]],
    "columns": [["APP", "INVOICES", "AMOUNT", 1, "NUMBER", "Y", 30, 12, None]],
    "synonyms": [["PUBLIC", "INV", "APP", "INVOICES2", None]],
    "units": [["APP", "BILLING", "PACKAGE BODY", " BEGIN x;\tEND; \n"], ["HR", "PAY", "PROCEDURE", "BEGIN z; END;"]],
    "runtime_sql": [[*SQL[:6], 6, "t2", "SELECT 1 FROM dual"]],
    "plscope_statements/APP": [[*STATEMENT[:12], "select x from t"], [*STATEMENT[:2], 8, *STATEMENT[3:12], "rollback"]],
    "control_rows/HR": [["x"]],
}


@pytest.fixture
def pair(tmp_path):
    write(old := tmp_path / "old.quarlen", OLD.items(), '{"source":"monday"}')
    write(new := tmp_path / "new.quarlen", NEW.items(), '{"source":"tuesday"}')
    return old, new


def post_filtered(changes, owner=(), object=(), ignore=(), ignore_whitespace=False):
    """What the filters keep of an unfiltered diff, decided here in Python."""
    def matches(value, patterns):
        return isinstance(value, str) and any(fnmatch.fnmatchcase(value, p) for p in patterns)

    for change in changes:
        spec, row = quarlen.member(change.member), change.new or change.old
        column = owner_column(spec)
        if owner and not matches(change.member.partition("/")[2] if column is None else row[spec.columns.index(column)], owner):
            continue
        column = object_column(spec)
        if object and (column is None or not matches(row[spec.columns.index(column)], object)):
            continue
        columns = tuple(c for c in change.columns if f"{spec.name}.{c}" not in ignore and not (
            ignore_whitespace and c == SPACED_COLUMNS.get(spec.name)
            and spaced(change.old[spec.columns.index(c)]) == spaced(change.new[spec.columns.index(c)])))
        if change.change != "changed" or columns:
            yield dataclasses.replace(change, columns=columns)


@pytest.mark.parametrize("choices", [
    {"owner": ["APP"]}, {"owner": ["H?", "PUB*"]}, {"owner": ["[!A]*"]}, {"owner": ["nobody"]},
    {"object": ["INV*"]}, {"object": ["*"]}, {"owner": ["APP"], "object": ["[A-J]*"]},
    {"ignore": ["columns.data_type"]}, {"ignore": ["columns.data_type", "columns.data_precision", "objects.last_ddl_time"]},
    {"ignore_whitespace": True}, {"ignore_whitespace": True, "ignore": ["runtime_sql.executions", "runtime_sql.last_active_time"]},
    {"owner": ["*"], "object": ["*"], "ignore": ["synonyms.table_name"], "ignore_whitespace": True},
])
def test_filters_match_the_unfiltered_diff(pair, choices):
    found = list(quarlen.diff(*pair, **choices))
    assert found == list(post_filtered(quarlen.diff(*pair), **choices))
    assert [c.member for c in found] == [c.member for c in quarlen.diff(*pair, as_text=True, **choices)]
    assert quarlen_diff(*pair, *(f"--{k.replace('_', '-')}={v}" for k, vs in choices.items() if k != "ignore_whitespace"
                                 for v in vs), *["--ignore-whitespace"] * ("ignore_whitespace" in choices))[0] == (1 if found else 0)


@pytest.mark.parametrize("args, message", [
    (["--ignore", "units.owner"], "--ignore units.owner: owner is a key column of units"),
    (["--ignore", "dependencies.name"], "--ignore dependencies.name: name is a key column of dependencies"),
    (["--ignore", "units.*"], "--ignore units.*: a whole member is not ignored; use --member"),
    (["--ignore", "units.text"], "--ignore units.text: units has no column text (columns: owner, object_name, object_type, source_text)"),
    (["--ignore", "unit.owner"], f"--ignore unit.owner: no member unit (members: {', '.join(quarlen.schema.MEMBERS)})"),
    (["--ignore", "units"], "--ignore units: expected MEMBER.COLUMN"),
    (["--format", "markdown", "--limit", "-1"], "--limit: must not be negative"),
])
def test_refused_choices(pair, args, message):
    assert quarlen_diff(*pair, *args) == (2, "", f"quarlen: {message}\n")


def test_markdown(pair):
    assert quarlen_diff(*pair, "--format", "markdown", "--limit", "1", "--member", "objects", "--member", "synonyms") == (1, (
        f"## `{pair[0]}` → `{pair[1]}`\n\n"
        "| member | added | removed | changed |\n|---|--:|--:|--:|\n"
        "| `objects` | 1 | 1 | 1 |\n| `synonyms` | 0 | 0 | 1 |\n| **total** | **1** | **1** | **2** |\n"
        "\n### `objects`\n\n- changed `APP.INVOICES TABLE`: last_ddl_time `t1` → `t2`\n\n… and 2 more\n"
        "\n### `synonyms`\n\n- changed `PUBLIC.INV`: table_name `INVOICES` → `INVOICES2`\n"), "")


@pytest.mark.skipif(shutil.which("chromium") is None, reason="no chromium to render the page")
def test_html_in_a_browser(pair, tmp_path):
    page = tmp_path / "diff.html"
    status, text, _ = quarlen_diff(*pair, "--format", "html")
    page.write_text(text, encoding="utf-8")
    dom = subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                          "--proxy-server=127.0.0.1:9", "--dump-dom", page.as_uri()],
                         capture_output=True, text=True, timeout=120).stdout
    assert status == 1 and "</details>" in dom and "<script" not in dom
    assert not re.search(r"""(src|href|url)\s*[=(]\s*["']?\w+:""", dom)
    stat = quarlen_diff(*pair, "--stat")[1].splitlines()
    shown = re.findall(r'<tr data-member="([^"]+)"><th>[^<]*</th><td class="n" data-kind="added">([\d,]+)</td>'
                       r'<td class="n" data-kind="removed">([\d,]+)</td><td class="n" data-kind="changed">([\d,]+)</td>', dom)
    assert [f"{m}: +{a} -{r} ~{c}" for m, a, r, c in shown] == stat
    assert "<del>VARCHAR2</del> → <ins>NUMBER</ins>" in dom and '<td class="w">BEGIN z; END;</td>' in dom
    assert dom.count('<li class="a">') == 2 and dom.count('<li class="c">') == 8


@pytest.mark.parametrize("args, no_color, terminal, painted", [
    ([], "", True, True), ([], "1", True, False), ([], "", False, False),
    (["--color", "always"], "1", False, True), (["--color", "never"], "", True, False),
])
def test_colour(pair, args, no_color, terminal, painted):
    reader, writer = pty.openpty() if terminal else os.pipe()
    subprocess.run([QUARLEN, "diff", *map(str, pair), "--member", "columns", *args], stdout=writer,
                   env=dict(os.environ, NO_COLOR=no_color), check=False)
    os.close(writer)
    out = os.read(reader, 65536).decode()
    os.close(reader)
    assert ("\x1b[33m~ columns APP.INVOICES.AMOUNT" in out) == painted and ("- columns HR.EMP.ID" in out)
