"""Shared helpers: .quarlen files made by zipfile or by the writer, and refused calls."""

import hashlib
import io
import json
import os
import zipfile

import pytest

from quarlen._native import Writer

FORMAT = "quarlen/1"
CHECKSUM = "{}: checksum does not match the manifest (the file was changed or damaged)"
MISSING = "{}: listed in the manifest but missing from the file"


def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def compact(value) -> str:
    """What our compact form gives for values that Python writes the same way."""
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def record(text: bytes, rows=None) -> dict:
    return {"bytes": len(text), "rows": text.count(b"\n") if rows is None else rows, "sha256": sha(text)}


def report(members=None, problems=()) -> str:
    """The text verify() gives for these row counts and problems."""
    return compact({"format": FORMAT, "members": members or {}, "ok": not problems, "problems": list(problems)})


def pack(path, entries, compression=zipfile.ZIP_DEFLATED):
    """A ZIP archive made by zipfile from (entry name, bytes) pairs."""
    with zipfile.ZipFile(path, "w", compression) as z:
        for name, data in entries:
            z.writestr(name, data)
    return path


def zipped(*entries) -> bytes:
    return pack(io.BytesIO(), entries).getvalue()


def archive(path, members=(), *, records=None, header=None, extra=(), manifest_text=None,
            compression=zipfile.ZIP_DEFLATED):
    """A .quarlen file made by zipfile: one entry per member text, then the manifest.

    `records` replaces members' records, `header` adds top-level keys, `extra`
    adds entries, `manifest_text` replaces the whole manifest entry.
    """
    members = dict(members)
    if manifest_text is None:
        listed = {name: record(text) for name, text in members.items()}
        listed.update(records or {})
        manifest_text = json.dumps(dict(header or {}, format=FORMAT, members=listed), indent=2, ensure_ascii=False)
    if isinstance(manifest_text, str):
        manifest_text = manifest_text.encode()
    entries = [(name + ".jsonl", text) for name, text in members.items()] + list(extra)
    return pack(path, entries + [("manifest.json", manifest_text)], compression)


def lines(*rows) -> bytes:
    return b"".join(json.dumps(row).encode() + b"\n" for row in rows)


def write(path, members, header="{}"):
    """Writes `members`, (name, rows) pairs, with the module's Writer; returns the manifest text."""
    w = Writer(path)
    for name, rows in members:
        w.begin(name)
        if rows:
            w.rows(json.dumps(rows, ensure_ascii=False))
        w.end()
    return w.finish(header)


def entries(path) -> list[tuple[str, bytes]]:
    """(entry name, bytes) pairs, in the order of the central directory."""
    with zipfile.ZipFile(path) as z:
        return [(info.filename, z.read(info)) for info in z.infolist()]


def error(call, *args, kind=ValueError) -> str:
    """The message of the exception, exactly of type `kind`, that a call raises."""
    with pytest.raises(kind) as exc:
        call(*args)
    assert type(exc.value) is kind
    assert len(exc.value.args) == 1
    assert exc.value.__cause__ is None
    message = exc.value.args[0]
    # The traceback's frames hold the call and its arguments in a cycle through `exc`; break
    # it, so that a Writer among them dies here and not in a collection on another thread.
    exc.value.__traceback__ = None
    del exc
    return message


def open_fds() -> list:
    return sorted(os.listdir("/proc/self/fd"))
