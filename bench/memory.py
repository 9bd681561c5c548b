"""Peak memory of the writer and the reader against the size of one member.

Writes one `units` member of about 100 MB and one of about 1 GB, each in its own
process and in batches of 10,000 rows, and prints each process's peak resident
set size. Memory should follow the size of one batch, not of the member.

Then, each in a process of its own: `verify` of the 1 GB file, `verify` of a
file of about 1 MB whose one entry inflates to as much (a line of spaces, made
by zipfile, its checksum right), `iter_rows` over the 1 GB member, and `read`
of the 100 MB member. Verifying and iterating should need a fixed window
whatever the entry's size; reading, its result and a window.

Then `iter_rows`, `load` and `diff` of a file of about 200 KB whose one entry
is a single line of 200 MB of "x" (not JSON from its first byte) with a wrong
checksum: each reports the checksum and should check the line as it streams,
within 64 MB, rather than hold it.

Last, `diff` of the bench's scale-1 snapshot against a copy with a few percent
of every member's rows removed, changed and added, every change taken and
dropped, beside `load` of the snapshot's largest member: the diff holds a
digest per row of one member and the changed rows, and should stay within
1.5 times the peak of that load.

    python bench/memory.py [--small-mb 100] [--large-mb 1000] [--dir /tmp]
    python bench/memory.py --diff-only [--diff-scale 1]
    python bench/memory.py --long-line-only
    python bench/memory.py --export-only [--large-mb 1000]

Last of all, `quarlen.export` of a 1 GB `units` member to Parquet (needs
DuckDB): the peak should grow by at most 256 MB over the process that has
DuckDB loaded, whatever the member's size.
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

    import quarlen

    baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        if call == "verify":
            result = _native.verify(path)
        elif call == "iter_rows":
            result = str(sum(1 for _ in quarlen.iter_rows(path, "units")))
        elif call == "load":
            result = str(len(quarlen.load(path, "units")))
        elif call == "diff":
            result = str(sum(1 for _ in quarlen.diff(path, path)))
        else:
            result = _native.read(path, "units")
    except ValueError as refusal:
        result = f"ValueError: {refusal}"
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"result_bytes": len(result), "baseline_kb": baseline, "peak_kb": peak,
                      "summary": result[:160] if call == "verify" or result.startswith("ValueError") else ""}))


def measure_reader(call: str, path: str) -> dict:
    out = subprocess.run(
        [sys.executable, __file__, "--reader", call, path], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(out)


def vm_hwm_kb() -> int:
    """This process's peak resident set (VmHWM), which unlike ru_maxrss does
    not start from the peak of the process that forked it."""
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))


def export_child(path: str, directory: str) -> None:
    import duckdb  # noqa: F401  (loaded before the baseline, as the export loads it)

    import quarlen

    baseline = vm_hwm_kb()
    written = quarlen.export(directory, path, ["units"])
    print(json.dumps({"rows": sum(item.rows for item in written), "baseline_kb": baseline, "peak_kb": vm_hwm_kb()}))


def measure_export(directory: str, megabytes: int) -> None:
    path = os.path.join(directory, "memory-export.quarlen")
    r = measure(path, megabytes)
    out = os.path.join(directory, "memory-export-parquet")
    try:
        e = json.loads(subprocess.run([sys.executable, __file__, "--export", path, out],
                                      check=True, capture_output=True, text=True).stdout)
    finally:
        os.unlink(path)
        subprocess.run(["rm", "-rf", out], check=True)
    grown = (e["peak_kb"] - e["baseline_kb"]) / 1024
    print(f"export of a {r['bytes'] / 1e6:.0f} MB member ({e['rows']:,} rows) to Parquet: peak VmHWM "
          f"{e['peak_kb'] / 1024:.1f} MB, {grown:+.1f} MB over the baseline with DuckDB loaded (target: within 256 MB)")


def diff_files_child(directory: str, scale: float) -> None:
    """Writes the bench's snapshot at `scale` and its changed copy."""
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from generate import changed_copy, generate

    import quarlen

    members = list(generate(scale, 20260101))
    copy, expected = changed_copy(members, 20260102)
    for label, catalogue in (("old", members), ("new", copy)):
        with quarlen.create(os.path.join(directory, f"memory-diff-{label}.quarlen")) as snapshot:
            for name, rows in catalogue:
                snapshot.write(name, rows)
    print(json.dumps({"changes": sum(map(sum, expected.values()))}))


def diff_child(call: str, old: str, new: str) -> None:
    import quarlen

    baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    members = json.loads(quarlen.manifest(old))["members"]
    largest = max(members, key=lambda name: members[name]["bytes"])
    if call == "load":
        result = len(quarlen.load(old, largest))
    else:
        result = sum(1 for _ in quarlen.diff(old, new))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"result": result, "largest": largest, "bytes": members[largest]["bytes"],
                      "baseline_kb": baseline, "peak_kb": peak}))


def measure_diff(directory: str, scale: float) -> None:
    made = json.loads(subprocess.run([sys.executable, __file__, "--diff-files", directory, str(scale)],
                                     check=True, capture_output=True, text=True).stdout)
    old, new = (os.path.join(directory, f"memory-diff-{label}.quarlen") for label in ("old", "new"))
    r = {}
    for call in ("load", "diff"):
        r[call] = json.loads(subprocess.run([sys.executable, __file__, "--diff-child", call, old, new],
                                            check=True, capture_output=True, text=True).stdout)
    load, diff = r["load"], r["diff"]
    print(f"load of the largest member ({load['largest']}, {load['bytes'] / 1e6:.1f} MB, {load['result']} rows): "
          f"peak RSS {load['peak_kb'] / 1024:.1f} MB, {(load['peak_kb'] - load['baseline_kb']) / 1024:+.1f} MB "
          f"over the module's baseline")
    print(f"diff at scale {scale:g}, {diff['result']} changes (the copy made {made['changes']}): "
          f"peak RSS {diff['peak_kb'] / 1024:.1f} MB, {(diff['peak_kb'] - diff['baseline_kb']) / 1024:+.1f} MB "
          f"over the module's baseline; {diff['peak_kb'] / load['peak_kb']:.2f} times the load's peak "
          f"(target: within 1.50)")
    for path in (old, new):
        os.unlink(path)


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


def long_line(path: str, megabytes: int) -> None:
    """A member of one line of "x", small on disk, recorded with a wrong checksum."""
    chunk = b"x" * (1 << 20)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        with z.open("units.jsonl", "w") as entry:
            for _ in range(megabytes):
                entry.write(chunk)
        members = {"units": {"bytes": megabytes << 20, "rows": 1, "sha256": "0" * 64}}
        z.writestr("manifest.json", json.dumps({"format": "quarlen/1", "members": members}))


def measure_long_line(directory: str, megabytes: int = 200) -> None:
    path = os.path.join(directory, "memory-long-line.quarlen")
    long_line(path, megabytes)
    size = os.path.getsize(path)
    for call in ("iter_rows", "load", "diff"):
        r = measure_reader(call, path)
        grown = (r["peak_kb"] - r["baseline_kb"]) / 1024
        print(f"{call}, {size / 1e3:.0f} KB file of one {megabytes} MiB line: peak RSS {r['peak_kb'] / 1024:.1f} MB, "
              f"{grown:+.1f} MB over the module's baseline (target: within 64 MB)")
        print(f"  {r['summary']}")
    os.unlink(path)


def main() -> None:
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
        return
    if len(sys.argv) == 4 and sys.argv[1] == "--reader":
        reader_child(sys.argv[2], sys.argv[3])
        return
    if len(sys.argv) == 4 and sys.argv[1] == "--export":
        export_child(sys.argv[2], sys.argv[3])
        return
    if len(sys.argv) == 4 and sys.argv[1] == "--diff-files":
        diff_files_child(sys.argv[2], float(sys.argv[3]))
        return
    if len(sys.argv) == 5 and sys.argv[1] == "--diff-child":
        diff_child(sys.argv[2], sys.argv[3], sys.argv[4])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small-mb", type=int, default=100)
    parser.add_argument("--large-mb", type=int, default=1000)
    parser.add_argument("--dir", default=tempfile.gettempdir())
    parser.add_argument("--diff-scale", type=float, default=1.0)
    parser.add_argument("--diff-only", action="store_true", help="only the diff's memory")
    parser.add_argument("--long-line-only", action="store_true", help="only the long line's cases")
    parser.add_argument("--export-only", action="store_true", help="only the Parquet export's memory")
    args = parser.parse_args()
    if args.export_only:
        measure_export(args.dir, args.large_mb)
        return
    if args.long_line_only:
        measure_long_line(args.dir)
        return
    if args.diff_only:
        measure_diff(args.dir, args.diff_scale)
        return
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
    measure_long_line(args.dir)
    measure_diff(args.dir, args.diff_scale)
    measure_export(args.dir, args.large_mb)


if __name__ == "__main__":
    main()
