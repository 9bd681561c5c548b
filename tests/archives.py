"""Shared helpers: .quarlen files made by zipfile or by the writer, and refused calls."""

import hashlib
import io
import json
import os
import zipfile

import pytest

from quarlen._native import Writer

FORMAT = "quarlen/1"


def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def compact(value) -> str:  # our compact form, for values that Python writes the same way
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def record(text: bytes, rows=None) -> dict:
    return {"bytes": len(text), "rows": text.count(b"\n") if rows is None else rows, "sha256": sha(text)}


def report(members=None, problems=()) -> str:  # the text of verify()
    return compact({"format": FORMAT, "members": members or {}, "ok": not problems, "problems": list(problems)})


def pack(path, entries, compression=zipfile.ZIP_DEFLATED):  # (entry name, bytes) pairs, zipped by zipfile
    with zipfile.ZipFile(path, "w", compression) as z:
        for name, data in entries:
            z.writestr(name, data)
    return path


def zipped(*entries) -> bytes:
    return pack(io.BytesIO(), entries).getvalue()


def patched(data: bytes, at: int, value: bytes) -> bytes:
    """`data` with `value` at offset `at` of the first entry's local header and of its central header."""
    out = bytearray(data)
    for start in (at, int.from_bytes(data[-6:-2], "little") + 2 + at):
        out[start:start + len(value)] = value
    return bytes(out)


def archive(path, members=(), *, records=None, manifest_text=None, compression=zipfile.ZIP_DEFLATED):
    """A .quarlen file made by zipfile: an entry per member text, then the manifest, where `records`
    replace records and `manifest_text` replaces it all."""
    members = dict(members)
    if manifest_text is None:
        listed = {name: record(text) for name, text in members.items()} | (records or {})
        manifest_text = json.dumps({"format": FORMAT, "members": listed}, indent=2, ensure_ascii=False)
    entries = [(name + ".jsonl", text) for name, text in members.items()]
    return pack(path, entries + [("manifest.json", manifest_text)], compression)


def write(path, members, header="{}"):
    """Writes `members`, (name, rows) pairs, with the module's Writer; returns the manifest text."""
    w = Writer(path)
    for name, rows in members:
        w.begin(name)
        if rows:
            w.rows(json.dumps(rows, ensure_ascii=False))
        w.end()
    return w.finish(header)


def error(call, *args, kind=ValueError) -> str:
    """The message of the exception, exactly of type `kind`, that a call raises."""
    with pytest.raises(kind) as exc:
        call(*args)
    assert type(exc.value) is kind and len(exc.value.args) == 1 and exc.value.__cause__ is None
    message = exc.value.args[0]
    # Its frames hold the arguments in a cycle through `exc`: a Writer among them dies here, not on another thread.
    exc.value.__traceback__ = None
    del exc
    return message


def open_fds() -> list:
    return sorted(os.listdir("/proc/self/fd"))
