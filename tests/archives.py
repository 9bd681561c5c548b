"""Shared helpers: .quarlen files made by zipfile or by the writer, and refused calls."""

import hashlib
import json
import os
import zipfile

import pytest

from quarlen._native import Writer

FORMAT = "quarlen/1"


def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def compact(value) -> str:
    """What our compact form gives for values that Python writes the same way."""
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def record(text: bytes, rows=None) -> dict:
    return {"bytes": len(text), "rows": text.count(b"\n") if rows is None else rows, "sha256": sha(text)}


def pack(path, entries, compression=zipfile.ZIP_DEFLATED):
    """A ZIP archive made by zipfile from (entry name, bytes) pairs."""
    with zipfile.ZipFile(path, "w", compression) as z:
        for name, data in entries:
            z.writestr(name, data)
    return path


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
        doc = dict(header or {}, format=FORMAT, members=listed)
        manifest_text = json.dumps(doc, indent=2, ensure_ascii=False).encode()
    elif isinstance(manifest_text, str):
        manifest_text = manifest_text.encode()
    entries = [(name + ".jsonl", text) for name, text in members.items()]
    entries += list(extra)
    entries.append(("manifest.json", manifest_text))
    return pack(path, entries, compression)


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
    """This process's open file descriptors."""
    return sorted(os.listdir("/proc/self/fd"))
