"""Building .quarlen files with zipfile for the reading tests."""

import hashlib
import json
import zipfile

import pytest

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


def error(call, *args) -> str:
    """The message of the ValueError that a reading call raises."""
    with pytest.raises(ValueError) as exc:
        call(*args)
    assert type(exc.value) is ValueError
    assert len(exc.value.args) == 1
    assert exc.value.__cause__ is None
    return exc.value.args[0]
