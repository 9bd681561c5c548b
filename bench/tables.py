"""Times quarlen.table against load and against what a user does with loaded rows.

    python bench/tables.py --scale 1 [--runs 3] [--dir DIR]

Over every member of the generated snapshot, each case once a round, the
cases taking turns: (t) `pyarrow.table(quarlen.table(path, name))`, (j)
`quarlen.load(path, name)` alone, (u) load and then
`pyarrow.Table.from_pylist` of the rows as dicts, (v) load and then
`polars.DataFrame` of the rows, (k) DuckDB's
`read_json(file, format='newline_delimited', records=false)` materialised as an
Arrow table, over every member already extracted as an uncompressed `.jsonl`
file (extraction not timed). Members whose rows pyarrow or polars cannot take
as they are (mixed kinds, integers beyond 64 bits) are left out of (u) and (v),
those DuckDB cannot read (empty files) out of (k), and named; the ratios
compare the same members.

Then, each in a fresh process, the peak resident set (VmHWM) of scanning the
largest member through a `pyarrow.RecordBatchReader`, dropping each batch,
beside that of `load` of the same member and of the imports alone.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from generate import generate  # noqa: E402
import quarlen  # noqa: E402

import duckdb  # noqa: E402
import polars  # noqa: E402
import pyarrow  # noqa: E402


def arrow(path, names):
    for name in names:
        pyarrow.table(quarlen.table(path, name))


def load(path, names):
    for name in names:
        quarlen.load(path, name)


def columns_of(name):
    return list(quarlen.member(name).columns)


def load_pyarrow(path, names):
    for name in names:
        columns = columns_of(name)
        pyarrow.Table.from_pylist([dict(zip(columns, row)) for row in quarlen.load(path, name)])


def load_polars(path, names):
    for name in names:
        polars.DataFrame(quarlen.load(path, name), schema=columns_of(name), orient="row")


def extract(path, names, directory):
    """Each member's entry as it stands, uncompressed, one file a member."""
    os.makedirs(directory, exist_ok=True)
    files = {}
    with zipfile.ZipFile(path) as archive:
        for i, name in enumerate(names):
            files[name] = os.path.join(directory, "%02d.jsonl" % i)
            with open(files[name], "wb") as out:
                out.write(archive.read(name + ".jsonl"))
    return files


def read_json(files):
    def run(path, names):
        for name in names:
            duckdb.sql("select * from read_json(?, format='newline_delimited', records=false)",
                       params=[files[name]]).to_arrow_table()
    return run


def takes(fn, path, name):
    try:
        fn(path, [name])
        return True
    except Exception:  # what a user would hit: the rows do not fit one type
        return False


def peak_child(path, name, how):
    code = f"""
import quarlen, pyarrow
path, name = {path!r}, {name!r}
def hwm():
    return int([l for l in open('/proc/self/status') if l.startswith('VmHWM:')][0].split()[1])
if {how!r} == 'stream':
    rows = 0
    for batch in pyarrow.RecordBatchReader.from_stream(quarlen.table(path, name)):
        rows += batch.num_rows
elif {how!r} == 'load':
    rows = len(quarlen.load(path, name))
print(hwm())
"""
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    return int(out) / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seed", type=int, default=20260101)
    parser.add_argument("--dir", help="where the file goes (default: a temporary directory)")
    args = parser.parse_args()
    workdir = args.dir or tempfile.mkdtemp(prefix="quarlen-tables-")
    os.makedirs(workdir, exist_ok=True)
    path = os.path.join(workdir, "tables.quarlen")
    writer = quarlen.Writer(path)
    for name, rows in generate(args.scale, args.seed):
        writer.begin(name)
        for i in range(0, len(rows), 10_000):
            writer.rows(json.dumps(rows[i:i + 10_000], ensure_ascii=False))
        writer.end()
    members = json.loads(writer.finish("{}"))["members"]
    names = sorted(members)
    total = sum(r["bytes"] for r in members.values())
    print("%d members, %d rows, %.1f MB of member text" % (
        len(names), sum(r["rows"] for r in members.values()), total / 1e6))

    both = [n for n in names if takes(load_pyarrow, path, n) and takes(load_polars, path, n)]
    print("left out of (u) and (v): %s" % ", ".join(sorted(set(names) - set(both))))
    duck = read_json(extract(path, names, os.path.join(workdir, "jsonl")))
    ducks = [n for n in names if takes(duck, path, n)]
    print("left out of (k): %s" % ", ".join(sorted(set(names) - set(ducks))))
    cases = [
        ("(t) pyarrow.table(quarlen.table()), every member", arrow, names),
        ("(j) load(), every member", load, names),
        ("(t') pyarrow.table(quarlen.table()), members of (u)", arrow, both),
        ("(j') load(), members of (u)", load, both),
        ("(u) load() + Table.from_pylist", load_pyarrow, both),
        ("(v) load() + polars.DataFrame", load_polars, both),
        ("(t\") pyarrow.table(quarlen.table()), members of (k)", arrow, ducks),
        ("(k) DuckDB read_json of .jsonl files", duck, ducks),
    ]
    times = {label: [] for label, _, _ in cases}
    for _ in range(args.runs):
        for label, fn, which in cases:
            start = time.perf_counter()
            fn(path, which)
            times[label].append(time.perf_counter() - start)
    print("%-52s %9s %9s" % ("case", "median s", "best s"))

    def key(label):
        return label.split(" ")[0]

    median = {}
    for label, _, _ in cases:
        median[key(label)] = statistics.median(times[label])
        print("%-52s %9.3f %9.3f" % (label, median[key(label)], min(times[label])))
    print("ratios (time of the second over the first)")
    for label, a, b in [("table / load", "(t)", "(j)"),
                        ("table / load + from_pylist (target >= 3.00)", "(t')", "(u)"),
                        ("table / load + polars", "(t')", "(v)"),
                        ("table / DuckDB read_json (target >= 1.20)", "(t\")", "(k)")]:
        print("  %-44s %6.2f" % (label, median[b] / median[a]))

    largest = max(names, key=lambda n: members[n]["bytes"])
    print("peak memory, fresh process, %s (%.1f MB of text, %d rows):" % (
        largest, members[largest]["bytes"] / 1e6, members[largest]["rows"]))
    for how in ("imports", "stream", "load"):
        print("  %-8s VmHWM %7.1f MB" % (how, peak_child(path, largest, how)))


if __name__ == "__main__":
    main()
