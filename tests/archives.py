"""Shared helpers: .quarlen files made by zipfile, by hand or by the writer, and refused calls."""

import hashlib
import io
import json
import os
import struct
import zipfile
import zlib

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


def archive(path, members=(), *, records=None, header=None, extra=(), manifest_text=None,
            compression=zipfile.ZIP_DEFLATED):
    """A .quarlen file made by zipfile: an entry per member text, then the manifest, where `records` replace
    records, `header` adds top-level keys, `extra` adds entries and `manifest_text` replaces it all."""
    members = dict(members)
    if manifest_text is None:
        listed = {name: record(text) for name, text in members.items()}
        listed.update(records or {})
        manifest_text = json.dumps(dict(header or {}, format=FORMAT, members=listed), indent=2, ensure_ascii=False)
    if isinstance(manifest_text, str):
        manifest_text = manifest_text.encode()
    entries = [(name + ".jsonl", text) for name, text in members.items()] + list(extra)
    return pack(path, entries + [("manifest.json", manifest_text)], compression)


def raw_zip(entries) -> bytes:
    """A ZIP archive laid out by hand from dicts of name, data and header fields to override."""
    out, central = bytearray(), bytearray()
    for e in entries:
        name, data, method = e["name"].encode(), e.get("data", b""), e.get("method", 8)
        payload = e.get("payload", zlib.compress(data)[2:-4] if method == 8 else data)
        crc, csize, usize = e.get("crc", zlib.crc32(data)), e.get("csize", len(payload)), e.get("usize", len(data))
        flags, extra, offset = e.get("flags", 0), e.get("central_extra", b""), e.get("offset", len(out))
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, 0, 0x21, crc, csize & 0xFFFFFFFF,
                           usize & 0xFFFFFFFF, len(name), 0) + name + payload
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x0314, 20, flags, method, 0, 0x21, crc,
                               csize & 0xFFFFFFFF, usize & 0xFFFFFFFF, len(name), len(extra), 0, 0, 0,
                               0x81A40000, offset & 0xFFFFFFFF) + name + extra
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), len(out), 0)
    return bytes(out + central + end)


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


def entries(path) -> list[tuple[str, bytes]]:  # (entry name, bytes) pairs, in the central directory's order
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
    # Its frames hold the arguments in a cycle through `exc`: a Writer among them dies here, not on another thread.
    exc.value.__traceback__ = None
    del exc
    return message


def open_fds() -> list:
    return sorted(os.listdir("/proc/self/fd"))
