"""Times the module's writer, readers and diff against zlib alone and plain Python.

    python bench/bench.py --scale 1 [--runs 5] [--dir DIR]

Every case runs --runs times, the cases taking turns within each round so that
a noisy machine slows them alike; the table shows the median and the fastest
run, and MB/s of member text (the uncompressed bytes of all member entries).
bench/README.md says what each line measures.
"""

import argparse
import gc
import hashlib
import io
import json
import os
import resource
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zipfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from generate import COLUMN_COUNTS, changed_copy, generate  # noqa: E402
from quarlen.rules import owner_column  # noqa: E402
import quarlen  # noqa: E402
from quarlen import _native  # noqa: E402

try:
    import orjson
except ImportError:  # the comparison is left out without it
    orjson = None

BATCH_ROWS = 10_000
FORMAT = "quarlen/1"
EPOCH = (1980, 1, 1, 0, 0, 0)
LOCAL_HEADER = struct.Struct("<4sHHHHHIIIHH")  # 30 bytes, + name + extra


def dumps_compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False,
                      sort_keys=True)


# The module ---------------------------------------------------------------

def ours_write(path, batches, header):
    writer = _native.Writer(path)
    for name, texts in batches:
        writer.begin(name)
        for text in texts:
            writer.rows(text)
        writer.end()
    writer.finish(header)


def ours_write_with_dumps(path, members, header):
    # The whole cost a caller holding Python rows pays: json.dumps included.
    writer = _native.Writer(path)
    for name, rows in members:
        writer.begin(name)
        for i in range(0, len(rows), BATCH_ROWS):
            writer.rows(json.dumps(rows[i:i + BATCH_ROWS],
                                   separators=(",", ":"), ensure_ascii=False))
        writer.end()
    writer.finish(header)


def ours_write_objects(path, members, header):
    # Python rows straight to the file: encoded natively, no JSON text.
    with quarlen.create(path, json.loads(header)) as snapshot:
        for name, rows in members:
            snapshot.write(name, rows)


def ours_write_json_lines(path, sources, header):
    # As the command line's write: one JSON-lines file per member, read and
    # written natively.
    writer = _native.Writer(path)
    for name, source in sources:
        fd = os.open(source, os.O_RDONLY)
        try:
            writer.begin(name)
            _native._write_json_lines(writer, fd, None)
            writer.end()
        finally:
            os.close(fd)
    writer.finish(header)


def write_json_lines_files(members, workdir):
    """One JSON-lines file per member, a row a line as json.dumps writes it."""
    sources = []
    for i, (name, rows) in enumerate(members):
        source = os.path.join(workdir, "member-%d.jsonl" % i)
        with open(source, "w", encoding="utf-8") as f:
            for row in rows:
                f.write(json.dumps(row, ensure_ascii=False) + "\n")
        sources.append((name, source))
    return sources


def ours_verify(path):
    return _native.verify(path)


def ours_verify_two_threads(paths):
    reports = [None, None]

    def one(i):
        reports[i] = _native.verify(paths[i])

    threads = [threading.Thread(target=one, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return reports


def ours_verify_one_thread(paths):
    return [_native.verify(p) for p in paths]


def ours_read_objects(path, names):
    return [json.loads(_native.read(path, name)) for name in names]


def ours_read_orjson(path, names):
    return [orjson.loads(_native.read(path, name)) for name in names]


def ours_load(path, names):
    return [quarlen.load(path, name) for name in names]


# As a streaming user does: each member's rows are dropped before the next is
# read, so that neither side is charged for collecting over what it keeps.
def ours_read_objects_dropped(path, names):
    return sum(len(json.loads(_native.read(path, name))) for name in names)


def ours_load_dropped(path, names):
    return sum(len(quarlen.load(path, name)) for name in names)


def ours_iter_rows(path, names):
    # Every row is taken and dropped, as a streaming consumer would.
    count = 0
    for name in names:
        for _ in quarlen.iter_rows(path, name):
            count += 1
    return count


def ours_read(path, names):
    return [_native.read(path, name) for name in names]


def ours_verify_both(paths):
    return [_native.verify(p) for p in paths]


# An owner of few rows: the filtered diff keeps about 1% of them.
FEW_OWNER = "SCOTT"


def ours_diff(old, new, **choices):
    # Every change is taken, as a consumer would; the counts are checked later.
    counts = {}
    for change in quarlen.diff(old, new, **choices):
        member = counts.setdefault(change.member, [0, 0, 0])
        member[("added", "removed", "changed").index(change.change)] += 1
    return counts


def owner_share(members):
    """The percentage of all rows that FEW_OWNER owns."""
    rows = kept = 0
    for name, member_rows in members:
        spec = quarlen.member(name)
        column = owner_column(spec)
        for row in member_rows:
            rows += 1
            kept += (row[spec.columns.index(column)] if column else name.partition("/")[2]) == FEW_OWNER
    return 100 * kept / rows


# zlib, CRC-32 and SHA-256 alone ---------------------------------------------

def floor_write(texts):
    for text in texts:
        deflate = zlib.compressobj(6, zlib.DEFLATED, -15)
        deflate.compress(text)
        deflate.flush()
        zlib.crc32(text)
        hashlib.sha256(text).hexdigest()


def floor_read(compressed):
    for data in compressed:
        inflate = zlib.decompressobj(-15)
        text = inflate.decompress(data) + inflate.flush()
        zlib.crc32(text)
        hashlib.sha256(text).hexdigest()


def raw_entries(path, names):
    """The compressed bytes of each member entry, as stored in the file."""
    out = []
    with zipfile.ZipFile(path) as zf, open(path, "rb") as f:
        for name in names:
            info = zf.getinfo(name + ".jsonl")
            f.seek(info.header_offset)
            fields = LOCAL_HEADER.unpack(f.read(LOCAL_HEADER.size))
            f.seek(fields[9] + fields[10], io.SEEK_CUR)
            out.append(f.read(info.compress_size))
    return out


# Plain Python: zipfile, json and hashlib --------------------------------------

def plain_write(path, members, header):
    records = {}
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED,
                         compresslevel=6) as zf:
        for name, rows in members:
            # A ZipInfo without a level of its own deflates at zlib's
            # default, which is level 6.
            info = zipfile.ZipInfo(name + ".jsonl", date_time=EPOCH)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o100644 << 16
            digest = hashlib.sha256()
            size = 0
            with zf.open(info, "w") as entry:
                for i in range(0, len(rows), BATCH_ROWS):
                    block = "".join(
                        dumps_compact(row) + "\n"
                        for row in rows[i:i + BATCH_ROWS]).encode()
                    entry.write(block)
                    digest.update(block)
                    size += len(block)
            records[name] = {"bytes": size, "rows": len(rows),
                             "sha256": digest.hexdigest()}
        manifest = dict(json.loads(header), format=FORMAT, members=records)
        info = zipfile.ZipInfo("manifest.json", date_time=EPOCH)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o100644 << 16
        zf.writestr(info, json.dumps(manifest, indent=2, sort_keys=True,
                                     ensure_ascii=False))


def _plain_open(zf):
    manifest = json.loads(zf.read("manifest.json"))
    if manifest.get("format") != FORMAT:
        raise ValueError("manifest: format %r" % manifest.get("format"))
    return manifest


def _plain_member(zf, manifest, name):
    """The rows of one member after the checks the module makes."""
    record = manifest["members"].get(name)
    if record is None:
        return []
    data = zf.read(name + ".jsonl")  # zipfile tests the CRC-32
    if hashlib.sha256(data).hexdigest() != record.get("sha256"):
        raise ValueError("%s: checksum does not match the manifest" % name)
    lines = data.decode().split("\n")
    if lines[-1] == "":
        lines.pop()
    rows = [json.loads(line) for line in lines]
    if len(rows) != record.get("rows"):
        raise ValueError("%s: %d rows" % (name, len(rows)))
    width = COLUMN_COUNTS[name.split("/", 1)[0]]
    for number, row in enumerate(rows, 1):
        if type(row) is not list or len(row) != width:
            raise ValueError("%s row %d: bad shape" % (name, number))
    return rows


def plain_verify(path):
    counts, problems = {}, []
    with zipfile.ZipFile(path) as zf:
        manifest = _plain_open(zf)
        for name in sorted(manifest["members"]):
            try:
                counts[name] = len(_plain_member(zf, manifest, name))
            except (ValueError, KeyError, zipfile.BadZipFile) as e:
                problems.append(str(e))
    return dumps_compact({"format": FORMAT, "members": counts,
                          "ok": not problems, "problems": problems})


def plain_read_one(path, name):
    with zipfile.ZipFile(path) as zf:
        return dumps_compact(_plain_member(zf, _plain_open(zf), name))


def plain_read(path, names):
    return [plain_read_one(path, name) for name in names]


# Peak memory of a writing run, in a process of its own ----------------------

def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def write_child(batch_file, path):
    batches = []
    with open(batch_file, encoding="utf-8") as f:
        for line in f:
            name, text = line.rstrip("\n").split("\t", 1)
            if batches and batches[-1][0] == name:
                batches[-1][1].append(text)
            else:
                batches.append((name, [text]))
    # getrusage's maxrss survives exec on Linux, so a child forked from a
    # large parent would report the parent's size. The kernel's own high-water
    # mark of this process is reset here instead, once the batches are loaded.
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = _status_kib("VmRSS")
    except OSError:
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    ours_write(path, batches, "{}")
    try:
        after = _status_kib("VmHWM")
    except OSError:
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    maxrss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"before_kib": before, "after_kib": after,
                      "maxrss_kib": maxrss}))


def measure_write_memory(batches, workdir):
    batch_file = os.path.join(workdir, "batches.txt")
    with open(batch_file, "w", encoding="utf-8") as f:
        for name, texts in batches:
            for text in texts:
                f.write("%s\t%s\n" % (name, text))
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--write-child",
         batch_file, os.path.join(workdir, "memory.quarlen")],
        check=True, capture_output=True, text=True).stdout
    os.remove(batch_file)
    return json.loads(out)


# Driver -----------------------------------------------------------------------

def timed(fn, *args):
    gc.collect()
    start = time.perf_counter()
    result = fn(*args)
    return time.perf_counter() - start, result


def check(condition, message):
    if not condition:
        sys.exit("bench: wrong result: " + message)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--seed", type=int, default=20260101)
    parser.add_argument("--dir", help="where the files go (default: a "
                        "temporary directory, removed afterwards)")
    parser.add_argument("--write-child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.write_child:
        write_child(*args.write_child)
        return

    workdir = args.dir or tempfile.mkdtemp(prefix="quarlen-bench-")
    os.makedirs(workdir, exist_ok=True)
    ours_path = os.path.join(workdir, "ours.quarlen")
    copy_path = os.path.join(workdir, "copy.quarlen")
    objects_path = os.path.join(workdir, "objects.quarlen")
    lines_path = os.path.join(workdir, "lines.quarlen")
    changed_path = os.path.join(workdir, "changed.quarlen")
    plain_path = os.path.join(workdir, "plain.quarlen")
    header = json.dumps({"source": "bench", "scale": args.scale})

    start = time.perf_counter()
    members = list(generate(args.scale, args.seed))
    names = [name for name, _ in members]
    batches = [(name, [json.dumps(rows[i:i + BATCH_ROWS],
                                  separators=(",", ":"), ensure_ascii=False)
                       for i in range(0, len(rows), BATCH_ROWS)])
               for name, rows in members]
    print("generated %d members, %d rows in %.1f s" % (
        len(members), sum(len(r) for _, r in members),
        time.perf_counter() - start))

    # One write gives the stored member texts that the zlib floors work on.
    ours_write(ours_path, batches, header)
    shutil.copyfile(ours_path, copy_path)
    # The copy that diff compares with: a few percent of every member's rows
    # removed, changed and added.
    changed, expected_changes = changed_copy(members, args.seed + 1)
    ours_write(changed_path, [(name, [json.dumps(rows[i:i + BATCH_ROWS],
                                                 separators=(",", ":"), ensure_ascii=False)
                                      for i in range(0, len(rows), BATCH_ROWS)])
                              for name, rows in changed], header)
    del changed
    records = json.loads(_native.manifest(ours_path))["members"]
    total = sum(r["bytes"] for r in records.values())
    with zipfile.ZipFile(ours_path) as zf:
        texts = [zf.read(name + ".jsonl") for name in names]
    compressed = raw_entries(ours_path, names)
    print("member text %.1f MB, file %.1f MB, python %s, %d runs" % (
        total / 1e6, os.path.getsize(ours_path) / 1e6,
        sys.version.split()[0], args.runs))

    sources = write_json_lines_files(members, workdir)

    # The dataset stays alive for the whole run; keep the collector off it so
    # that the plain Python cases are not charged for scanning it.
    gc.collect()
    gc.freeze()

    cases = [
        ("write", "(a) ours: Writer, JSON text batches",
         ours_write, (ours_path, batches, header)),
        ("write", "(a+) ours incl. json.dumps of batches",
         ours_write_with_dumps, (ours_path, members, header)),
        ("write", "(b) floor: deflate-6 + CRC-32 + SHA-256",
         floor_write, (texts,)),
        ("write", "(c) plain: zipfile + json + hashlib",
         plain_write, (plain_path, members, header)),
        ("write", "(r) ours: write from JSON-lines files",
         ours_write_json_lines, (lines_path, sources, header)),
        ("read", "(d) ours: verify(path)", ours_verify, (ours_path,)),
        ("read", "(e) ours: read(path, name), every member",
         ours_read, (ours_path, names)),
        ("read", "(f) floor: inflate + CRC-32 + SHA-256",
         floor_read, (compressed,)),
        ("read", "(g) plain verifier", plain_verify, (ours_path,)),
        ("read", "(h) plain reader", plain_read, (ours_path, names)),
        ("objects", "(i) ours: json.loads(read()), every member",
         ours_read_objects, (ours_path, names)),
        ("objects", "(j) ours: load(path, name), every member",
         ours_load, (ours_path, names)),
        ("objects", "(i2) ours: json.loads(read()), each dropped",
         ours_read_objects_dropped, (ours_path, names)),
        ("objects", "(j2) ours: load(path, name), each dropped",
         ours_load_dropped, (ours_path, names)),
        ("objects", "(k) ours: iter_rows(path, name), every member",
         ours_iter_rows, (ours_path, names)),
        ("objects", "(l) ours: create + write, Python rows",
         ours_write_objects, (objects_path, members, header)),
        ("threads", "(m) ours: verify two files, one thread",
         ours_verify_one_thread, ((ours_path, copy_path),)),
        ("threads", "(n) ours: verify two files, two threads",
         ours_verify_two_threads, ((ours_path, copy_path),)),
        ("diff", "(p) ours: verify(old) and verify(new)",
         ours_verify_both, ((ours_path, changed_path),)),
        ("diff", "(q) ours: diff(old, new), every change",
         ours_diff, (ours_path, changed_path)),
        ("diff", "(s) ours: diff(old, new, owner=[%s])" % FEW_OWNER,
         lambda old, new: ours_diff(old, new, owner=[FEW_OWNER]), (ours_path, changed_path)),
    ]
    if orjson is not None:
        cases.append(("objects", "(o) ours: orjson.loads(read()), every member",
                      ours_read_orjson, (ours_path, names)))
    times = {label: [] for _, label, _, _ in cases}
    results = {}
    for _ in range(args.runs):
        for _, label, fn, fn_args in cases:
            seconds, results[label] = timed(fn, *fn_args)
            times[label].append(seconds)

    # The timed work must have produced the right thing.
    report = json.loads(results["(d) ours: verify(path)"])
    check(report["ok"] and not report["problems"], "verify: %s" % report)
    check(report["members"] == {n: len(r) for n, r in members},
          "verify counts")
    check(results["(g) plain verifier"] == results["(d) ours: verify(path)"],
          "plain verifier report differs from verify()")
    ours_rows = results["(e) ours: read(path, name), every member"]
    plain_rows = results["(h) plain reader"]
    for name, a, b in zip(names, ours_rows, plain_rows):
        check(a == b, "read(%s) differs from the plain reader" % name)
    check(results["(i2) ours: json.loads(read()), each dropped"]
          == results["(j2) ours: load(path, name), each dropped"] == sum(len(r) for _, r in members),
          "rows loaded and dropped")
    loaded = results["(j) ours: load(path, name), every member"]
    check(loaded == results["(i) ours: json.loads(read()), every member"],
          "load() differs from json.loads(read())")
    check(results["(k) ours: iter_rows(path, name), every member"]
          == sum(len(r) for r in loaded), "iter_rows() row count")
    check(json.loads(_native.manifest(objects_path))["members"] == records,
          "the object writer's member texts differ from ours")
    check(json.loads(_native.manifest(lines_path))["members"] == records,
          "the JSON-lines writer's member texts differ from ours")
    check(results["(n) ours: verify two files, two threads"]
          == results["(m) ours: verify two files, one thread"], "threaded verify")
    found = results["(q) ours: diff(old, new), every change"]
    for name in names:
        check(tuple(found.get(name, (0, 0, 0))) == expected_changes[name],
              "diff of %s: %s, the copy made %s" % (
                  name, found.get(name), expected_changes[name]))
    check(all(json.loads(r)["ok"] for r in
              results["(p) ours: verify(old) and verify(new)"]), "verify of the copy")
    plain_records = json.loads(_native.manifest(plain_path))["members"]
    check(plain_records == records,
          "the plain writer's member texts differ from ours")
    check(json.loads(_native.verify(plain_path))["ok"],
          "the plain writer's file does not verify")

    medians = {label: statistics.median(t) for label, t in times.items()}
    print()
    print("%-42s %9s %9s %9s" % ("case", "median s", "best s", "MB/s"))
    for kind, label, _, _ in cases:
        if label.startswith(("(d)", "(i)", "(m)", "(p)")):
            print()
        print("%-42s %9.3f %9.3f %9.1f" % (
            label, medians[label], min(times[label]),
            total / 1e6 / medians[label]))

    def m(prefix):
        return next(v for k, v in medians.items() if k.startswith(prefix))

    print()
    print("ratios (of medians; throughput of the first over the second)")
    ratios = [
        ("writer / floor", m("(b)") / m("(a)"), ""),
        ("writer / plain writer", m("(c)") / m("(a)"), ""),
        ("writer incl. dumps / plain writer", m("(c)") / m("(a+)"), ""),
        ("verify / floor", m("(f)") / m("(d)"), "target >= 0.50"),
        ("verify / plain verifier", m("(g)") / m("(d)"), ""),
        ("read / floor", m("(f)") / m("(e)"), ""),
        ("read / plain reader", m("(h)") / m("(e)"), "target >= 3.00"),
        ("load / json.loads(read()), kept", m("(i)") / m("(j)"), "target >= 2.00"),
        ("load / json.loads(read()), dropped", m("(i2)") / m("(j2)"), "target >= 2.00"),
        ("iter_rows / json.loads(read())", m("(i)") / m("(k)"), "target >= 1.50"),
        ("write objects / dumps + rows", m("(a+)") / m("(l)"), "target >= 1.20"),
        ("write objects / floor", m("(b)") / m("(l)"), "target >= 0.80"),
        ("write JSON lines / floor", m("(b)") / m("(r)"), "target >= 0.80"),
        ("verify, two threads / one thread", m("(m)") / m("(n)"), "target >= 1.60"),
    ]
    if orjson is not None:
        ratios.append(("load / orjson.loads(read())", m("(o)") / m("(j)"), "target > 1.00"))
    for label, value, target in ratios:
        print("  %-36s %6.2f  %s" % (label, value, target))
    print("  %-36s %6.2f  %s" % ("diff time / verify time of both", m("(q)") / m("(p)"),
                                 "target <= 3.00"))
    print("  %-36s %6.2f  %s" % ("diff --owner (%.1f%% of rows) / diff" % owner_share(members),
                                 m("(s)") / m("(q)"), "target <= 1.00"))

    memory = measure_write_memory(batches, workdir)
    batch_mb = sum(len(t.encode()) for _, ts in batches for t in ts) / 1e6
    print()
    print("peak RSS of a writing process: %.1f MB while writing, %.1f MB "
          "before it with %.1f MB of batch texts loaded: the writer added "
          "%.1f MB (getrusage maxrss %.1f MB, which counts the parent too)"
          % (memory["after_kib"] / 1024, memory["before_kib"] / 1024,
             batch_mb, (memory["after_kib"] - memory["before_kib"]) / 1024,
             memory["maxrss_kib"] / 1024))
    print("checked: read() equals the plain reader for all %d members, "
          "verify() ok, plain writer's file has the same checksums, diff() "
          "found the %d changes made (+%d -%d ~%d)"
          % (len(names), sum(map(sum, expected_changes.values())),
             *(sum(v[i] for v in expected_changes.values()) for i in range(3))))
    if not args.dir:
        shutil.rmtree(workdir)


if __name__ == "__main__":
    main()
