"""A fleet question in SQL against the same question in Python.

Writes 200 snapshots of the bench's catalogue at scale 0.02 (each from its own
seed), then asks which snapshots hold invalid objects, and how many, two ways,
each as a user runs it, in a fresh process:

- `quarlen sql "select snapshot, count(*) from objects where status =
  'INVALID' group by 1" FILE...` (DuckDB over `quarlen.table`);
- a Python script that `load`s each snapshot's objects, builds a polars
  DataFrame per snapshot, concatenates them and groups.

Both print the same counts (checked). Each runs over the first 50, 100 and
200 files, `--runs` times, alternating; the medians and their ratio are
printed, with the time per file, which should stay flat as the fleet grows.
Last, both over all the files in this process, imports done, as a notebook
user meets them: `quarlen.connect(files, members=["objects"])` and the
query, against the script's body; and the query asked again on the same
connection.

    python bench/fleet.py [--files 200] [--scale 0.02] [--runs 3] [--dir DIR]

Needs `quarlen[sql]` (DuckDB) and polars.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from generate import generate  # noqa: E402

import quarlen  # noqa: E402

QUERY = "select snapshot, count(*) from objects where status = 'INVALID' group by 1"

POLARS = """
import sys, polars as pl, quarlen
columns = list(quarlen.member("objects").columns)
frames = [pl.DataFrame(quarlen.load(p, "objects"), schema=columns, orient="row").with_columns(snapshot=pl.lit(p))
          for p in sys.argv[1:]]
counts = pl.concat(frames).filter(pl.col("status") == "INVALID").group_by("snapshot").len()
for snapshot, n in sorted(counts.iter_rows()):
    print(f"{snapshot},{n}")
"""


def write_fleet(directory, files, scale):
    paths = []
    for i in range(files):
        path = os.path.join(directory, f"db{i:04d}.quarlen")
        with quarlen.create(path, {"database": f"DB{i:04d}"}) as snapshot:
            for name, rows in generate(scale, seed=1000 + i):
                snapshot.write(name, rows)
        paths.append(path)
    return paths


def timed(command):
    start = time.perf_counter()
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return time.perf_counter() - start, out


def in_process(paths, runs):
    """The same two answers in this process, with DuckDB and polars imported
    already, as in a notebook: `connect` with the one member, then the query,
    against the script's body."""
    import duckdb  # noqa: F401
    import polars  # noqa: F401
    body = compile(POLARS.replace("sys.argv[1:]", "paths").replace("print(", "printed.append("),
                   "polars", "exec")
    sql_times, again_times, polars_times = [], [], []
    for _ in range(runs):
        start = time.perf_counter()
        connection = quarlen.connect(paths, members=["objects"])
        rows = connection.sql(QUERY + " order by 1").fetchall()
        sql_times.append(time.perf_counter() - start)
        start = time.perf_counter()
        if connection.sql(QUERY + " order by 1").fetchall() != rows:
            sys.exit("bench: the second query's answer differs")
        again_times.append(time.perf_counter() - start)
        printed = []
        start = time.perf_counter()
        exec(body, {"paths": paths, "printed": printed})
        polars_times.append(time.perf_counter() - start)
        if [f"{snapshot},{n}" for snapshot, n in rows] != printed:
            sys.exit("bench: the two answers differ")
    sql, plain = statistics.median(sql_times), statistics.median(polars_times)
    print(f"in one process, {len(paths)} files: connect + query {sql:.3f} s, load + polars {plain:.3f} s, "
          f"ratio {plain / sql:.2f}; the same query again on the connection {statistics.median(again_times):.3f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--scale", type=float, default=0.02)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--dir", help="keep the snapshots in this directory")
    args = parser.parse_args()
    directory = args.dir or tempfile.mkdtemp(prefix="quarlen-fleet-")
    os.makedirs(directory, exist_ok=True)
    start = time.perf_counter()
    paths = sorted(os.path.join(directory, name) for name in os.listdir(directory) if name.endswith(".quarlen"))
    if len(paths) < args.files:
        paths = write_fleet(directory, args.files, args.scale)
    paths = paths[: args.files]
    size = sum(os.path.getsize(p) for p in paths)
    print(f"{len(paths)} snapshots at scale {args.scale}, {size / 1e6:.1f} MB on disk "
          f"(ready in {time.perf_counter() - start:.1f} s); python {sys.version.split()[0]}, {args.runs} runs")
    quarlen_cli = shutil.which("quarlen", path=os.path.dirname(sys.executable))
    print(f"{'files':>6}  {'quarlen sql':>12}  {'load + polars':>14}  {'ratio':>6}  {'sql per file':>13}")
    for count in sorted({n for n in (50, 100, 200, args.files) if n <= args.files}):
        chosen = paths[:count]
        sql_times, polars_times = [], []
        for _ in range(args.runs):
            seconds, sql_out = timed([quarlen_cli, "sql", QUERY + " order by 1", *chosen, "--format", "csv"])
            sql_times.append(seconds)
            seconds, polars_out = timed([sys.executable, "-c", POLARS, *chosen])
            polars_times.append(seconds)
        if sql_out.splitlines()[1:] != polars_out.splitlines():
            sys.exit("bench: the two answers differ")
        sql, plain = statistics.median(sql_times), statistics.median(polars_times)
        print(f"{count:>6}  {sql:>11.2f}s  {plain:>13.2f}s  {plain / sql:>6.2f}  {sql / count * 1000:>10.1f} ms"
              + ("   (target: ratio >= 2.00)" if count == args.files else ""))
    in_process(paths, args.runs)
    print(json.dumps({"query": QUERY}))
    if not args.dir:
        shutil.rmtree(directory)


if __name__ == "__main__":
    main()
