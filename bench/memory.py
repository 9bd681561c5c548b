"""Peak memory of the writer and the reader against the size of one member.

Writes one `units` member of about 100 MB and one of about 1 GB, each in its own
process and in batches of 10,000 rows, and prints each process's peak resident
set size. Memory should follow the size of one batch, not of the member.

Then, each in a process of its own: `verify` of the 1 GB file, `verify` of a
file of about 1 MB whose one entry inflates to as much (a line of spaces, made
by zipfile, its checksum right), `iter_rows` over the 1 GB member, and `read`
of the 100 MB member. Verifying and iterating should need a fixed window
whatever the entry's size; reading, its result and a window.

    python bench/memory.py [--small-mb 100] [--large-mb 1000] [--dir /tmp]
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import random
import resource
import subprocess
import sys
import tempfile
import zipfile

BATCH_ROWS = 10_000


def batch_texts(count: int = 8) -> list[str]:
    """A few distinct batches of source-unit rows, reused round-robin."""
    rng = random.Random(7)
    words = ["SELECT", "FROM", "WHERE", "v_total", "p_customer", "NVL", "'é'", "\t", "--", "Straße"]
    texts = []
    for b in range(count):
        rows = [
            ["APP", f"UNIT_{b}_{i}", "PACKAGE BODY", " ".join(rng.choice(words) for _ in range(rng.randint(5, 40)))]
            for i in range(BATCH_ROWS)
        ]
        texts.append(json.dumps(rows, ensure_ascii=False))
    return texts


def child(path: str, megabytes: int) -> None:
    from quarlen import _native

    texts = batch_texts()
    baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    writer = _native.Writer(path)
    writer.begin("units")
    written = 0
    i = 0
    while written < megabytes * 1_000_000:
        writer.rows(texts[i % len(texts)])
        written += len(texts[i % len(texts)].encode())
        i += 1
    record = json.loads(writer.end())
    writer.finish("{}")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"bytes": record["bytes"], "baseline_kb": baseline, "peak_kb": peak}))


def measure(path: str, megabytes: int) -> dict:
    out = subprocess.run(
        [sys.executable, __file__, "--child", path, str(megabytes)], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(out)


def reader_child(call: str, path: str) -> None:
    from quarlen import _native

    baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if call == "verify":
        result = _native.verify(path)
    elif call == "iter_rows":
        import quarlen

        result = str(sum(1 for _ in quarlen.iter_rows(path, "units")))
    else:
        result = _native.read(path, "units")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"result_bytes": len(result), "baseline_kb": baseline, "peak_kb": peak,
                      "summary": result[:160] if call == "verify" else ""}))


def measure_reader(call: str, path: str) -> dict:
    out = subprocess.run(
        [sys.executable, __file__, "--reader", call, path], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(out)


def inflation_bomb(path: str, megabytes: int) -> None:
    """A member of one line of spaces, small on disk, with its true checksum."""
    chunk = b" " * (1 << 20)
    digest = hashlib.sha256()
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        with z.open("units.jsonl", "w") as entry:
            for _ in range(megabytes):
                entry.write(chunk)
                digest.update(chunk)
        members = {"units": {"bytes": megabytes << 20, "rows": 1, "sha256": digest.hexdigest()}}
        z.writestr("manifest.json", json.dumps({"format": "quarlen/1", "members": members}))


def main() -> None:
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
        return
    if len(sys.argv) == 4 and sys.argv[1] == "--reader":
        reader_child(sys.argv[2], sys.argv[3])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small-mb", type=int, default=100)
    parser.add_argument("--large-mb", type=int, default=1000)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    args = parser.parse_args()
    results = {}
    for label, mb in (("small", args.small_mb), ("large", args.large_mb)):
        results[label] = measure(os.path.join(args.dir, f"memory-{label}.quarlen"), mb)
        r = results[label]
        print(f"{label:>5}: member {r['bytes'] / 1e6:8.1f} MB  peak RSS {r['peak_kb'] / 1024:7.1f} MB"
              f"  (before writing {r['baseline_kb'] / 1024:.1f} MB)")
    growth = (results["large"]["peak_kb"] - results["small"]["peak_kb"]) / 1024
    print(f"peak RSS growth from small to large member: {growth:+.1f} MB (target: within 16 MB)")

    bomb = os.path.join(args.dir, "memory-bomb.quarlen")
    inflation_bomb(bomb, args.large_mb)
    cases = [
        ("verify, genuine large member", "verify", os.path.join(args.dir, "memory-large.quarlen"), 32),
        (f"verify, {os.path.getsize(bomb) / 1e6:.1f} MB file inflating to {args.large_mb} MiB", "verify", bomb, 32),
        ("iter_rows, genuine large member", "iter_rows", os.path.join(args.dir, "memory-large.quarlen"), 32),
        ("read, small member", "read", os.path.join(args.dir, "memory-small.quarlen"), None),
    ]
    for label, call, path, limit in cases:
        r = measure_reader(call, path)
        grown = (r["peak_kb"] - r["baseline_kb"]) / 1024
        if limit is not None:
            target = f"target: within {limit} MB"
        else:
            target = f"result {r['result_bytes'] / 1e6:.1f} MB; target: result and a window"
        print(f"{label}: peak RSS {r['peak_kb'] / 1024:.1f} MB, {grown:+.1f} MB over the module's baseline ({target})")
        if r["summary"] and call == "verify":
            print(f"  {r['summary']}")
    for name in ("small", "large", "bomb"):
        os.unlink(os.path.join(args.dir, f"memory-{name}.quarlen"))


if __name__ == "__main__":
    main()
