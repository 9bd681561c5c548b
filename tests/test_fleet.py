"""A fleet of snapshots as SQL (`quarlen sql`, `connect`) and as Parquet (`quarlen export`)."""

import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import quarlen

from archives import archive, record

duckdb = pytest.importorskip("duckdb", reason="the sql extra (duckdb) is not installed")

QUARLEN = shutil.which("quarlen", path=os.path.dirname(sys.executable))
OBJECT = b'[%d,"%s","T%d","TABLE","%s","N",null]\n'


def run(*args, **options):
    return subprocess.run([QUARLEN, *map(str, args)], capture_output=True, **options)


def snapshot(path, owners, status="VALID", extra=()):
    """A snapshot with one table per owner in `objects`, and a control_rows instance per owner."""
    text = b"".join(OBJECT % (i, owner.encode(), i, status.encode()) for i, owner in enumerate(owners))
    members = {"objects": text, **{f"control_rows/{owner}": b'[{"n":%d}]\n' % i for i, owner in enumerate(owners)}}
    return archive(path, {**members, **dict(extra)})


@pytest.fixture
def fleet(tmp_path):
    (tmp_path / "db" / "eu").mkdir(parents=True)
    a = snapshot(tmp_path / "db" / "a.quarlen", ["APP", "HR"])
    b = snapshot(tmp_path / "db" / "eu" / "b.quarlen", ["APP"], status="INVALID")
    (tmp_path / "db" / "notes.txt").write_text("not a snapshot")
    return tmp_path, a, b


@pytest.mark.parametrize("form, expected", [
    ("jsonl", '{"snapshot": "%(a)s", "n": 2}\n{"snapshot": "%(b)s", "n": 1}\n'),
    ("json", '[{"snapshot": "%(a)s", "n": 2},\n{"snapshot": "%(b)s", "n": 1}]\n'),
    ("csv", "snapshot,n\n%(a)s,2\n%(b)s,1\n"),
    ("table", "snapshot%(pad)s  n\n%(rule)s  -\n%(a)s  2\n%(b)s  1\n(2 rows)\n"),
])
def test_sql_formats_over_a_directory(fleet, form, expected):
    tmp, a, b = fleet
    result = run("sql", "select snapshot, count(*) as n from objects group by 1 order by 1", tmp / "db",
                 "--format", form)
    width = len(str(b))
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == expected % {
        "a": str(a).ljust(width) if form == "table" else a, "b": b, "pad": " " * (width - 8), "rule": "-" * width}


def test_sql_views_keys_and_snapshots(fleet):
    tmp, a, b = fleet
    query = ("select s.path, s.header->>'format', s.members, s.rows, list(c.key order by c.key), "
             "list(c.row->>'n' order by c.key) from snapshots s join control_rows c on c.snapshot = s.path "
             "group by all order by 1")
    result = run("sql", query, a, b, "--format", "jsonl")
    assert result.returncode == 0, result.stderr
    rows = [list(json.loads(line).values()) for line in result.stdout.splitlines()]
    assert rows == [[str(a), "quarlen/1", 3, 4, ["APP", "HR"], ["0", "1"]], [str(b), "quarlen/1", 2, 2, ["APP"], ["0"]]]
    connection = quarlen.connect([a, b], members=["objects"])
    assert connection.sql("select owner, status from objects order by all").fetchall() == [
        ("APP", "INVALID"), ("APP", "VALID"), ("HR", "VALID")]


def test_sql_bad_files_stop_the_query_or_are_left_out(fleet):
    tmp, a, b = fleet
    text = OBJECT % (1, b"APP", 1, b"VALID")
    bad = archive(tmp / "bad.quarlen", {"objects": text, "units": b"[]\n"},
                  records={"units": record(b"[]\n", rows=2)})
    query = "select snapshot, count(*) from objects group by 1 order by 1"
    # Only the members a query names are read: the damaged units do not matter here.
    assert run("sql", query, bad, "--format", "csv").stdout == f"snapshot,count_star()\n{bad},1\n".encode()
    message = f"quarlen: {bad}: units: 1 rows, the manifest says 2\n"
    units = "select count(*) from units"
    stopped = run("sql", units, a, bad)
    assert (stopped.returncode, stopped.stdout, stopped.stderr.decode()) == (2, b"", message)
    skipped = run("sql", units, a, bad, "--skip-bad", "--format", "csv")
    assert (skipped.returncode, skipped.stdout, skipped.stderr.decode()) == (
        1, b"count_star()\n0\n", message.replace("quarlen: ", "quarlen: left out: ", 1))
    assert run("sql", "select nonsense", a).returncode == 2


def test_without_duckdb_the_commands_say_what_to_install(fleet, tmp_path):
    tmp, a, b = fleet
    blocker = tmp_path / "blocker"
    blocker.mkdir()
    (blocker / "duckdb.py").write_text("raise ImportError('blocked')\n")
    env = dict(os.environ, PYTHONPATH=str(blocker))
    for args in (("sql", "select 1", a), ("export", tmp_path / "out", a)):
        result = run(*args, env=env)
        assert (result.returncode, result.stdout) == (2, b"")
        assert result.stderr.decode() == (f"quarlen: quarlen {args[0]} needs DuckDB, which is not installed: "
                                          "pip install 'quarlen[sql]'\n")
    # Importing the package imports no optional dependency.
    loaded = subprocess.run([sys.executable, "-c", "import sys, quarlen; print(sorted(m for m in sys.modules "
                             "if m.split('.')[0] in ('duckdb', 'pyarrow', 'polars', 'pandas')))"],
                            capture_output=True, text=True, check=True)
    assert loaded.stdout == "[]\n"


def test_export_is_incremental_and_reads_back_as_one_table(fleet):
    tmp, a, b = fleet
    out = tmp / "out"
    first = run("export", out, a, "--member", "objects", "--member", "control_rows")
    assert first.returncode == 0, first.stderr
    ids = {name: quarlen.fleet.snapshot_id(path) for name, path in (("a", a), ("b", b))}
    assert ids["a"].startswith("a-") and len(ids["a"]) == len("a-") + 12
    assert first.stdout.decode().splitlines() == [f"{out}/objects/{ids['a']}.parquet",
                                                  f"{out}/control_rows/{ids['a']}.parquet"]
    stamp = os.stat(out / "objects" / f"{ids['a']}.parquet").st_mtime_ns
    second = run("export", out, tmp / "db")  # every member, the grown fleet
    assert second.returncode == 0, second.stderr
    assert second.stdout.decode().splitlines() == [f"{out}/objects/{ids['b']}.parquet",
                                                   f"{out}/control_rows/{ids['b']}.parquet"]
    assert second.stderr.decode() == f"{out}: 2 files written, 2 there already\n"
    assert os.stat(out / "objects" / f"{ids['a']}.parquet").st_mtime_ns == stamp
    assert sorted(os.listdir(out)) == ["control_rows", "objects"]  # no hidden file left
    assert sorted(os.listdir(out / "objects")) == sorted(f"{i}.parquet" for i in ids.values())

    pyarrow_dataset = pytest.importorskip("pyarrow.dataset")
    expected = sorted([str(path), *row] for path in (a, b) for row in quarlen.load(path, "objects"))
    read_back = pyarrow_dataset.dataset(out / "objects").to_table().to_pylist()
    assert sorted(list(row.values()) for row in read_back) == expected
    query = f"select * from read_parquet('{out}/objects/*.parquet') order by all"
    assert [list(row) for row in duckdb.sql(query).fetchall()] == expected
    keys = duckdb.sql(f"select key, count(*) from read_parquet('{out}/control_rows/*.parquet') group by 1 order by 1")
    assert keys.fetchall() == [("APP", 2), ("HR", 1)]


def test_export_stops_on_a_bad_file_and_a_rerun_finishes(fleet):
    tmp, a, b = fleet
    out = tmp / "out"
    bad = archive(tmp / "bad.quarlen", {"objects": OBJECT % (1, b"X", 1, b"VALID")},
                  records={"objects": record(b"[]\n")})
    assert run("export", out, a, "--member", "objects").returncode == 0
    # Later snapshots are checked one by one as they are written: the one before the bad one stays.
    stopped = run("export", out, b, bad, "--member", "objects")
    assert (stopped.returncode, stopped.stderr.decode()) == (
        2, f"quarlen: {bad}: objects: checksum does not match the manifest (the file was changed or damaged)\n")
    assert sorted(os.listdir(out / "objects")) == sorted(f"{quarlen.fleet.snapshot_id(p)}.parquet" for p in (a, b))
    finished = run("export", out, a, b, "--member", "objects")
    assert finished.stderr.decode() == f"{out}: 0 files written, 2 there already\n"


def test_a_full_disk_is_told_of_the_parquet_file_not_the_snapshot(fleet):
    tmp, a, _ = fleet
    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))
    result = run("export", tmp / "out", a, "--member", "objects", preexec_fn=small_files)
    target = tmp / "out" / "objects" / f"{quarlen.fleet.snapshot_id(a)}.parquet"
    assert (result.returncode, result.stderr.decode()) == (2, f"quarlen: {target}: File too large\n")
    assert os.listdir(tmp / "out" / "objects") == []


def test_spark_reads_the_export(fleet):
    pyspark_sql = pytest.importorskip("pyspark.sql", reason="pyspark is not installed")
    tmp, a, b = fleet
    out = tmp / "out"
    assert run("export", out, a, b, "--member", "objects").returncode == 0
    spark = pyspark_sql.SparkSession.builder.master("local[1]").getOrCreate()
    try:
        rows = spark.read.parquet(str(out / "objects")).collect()
    finally:
        spark.stop()
    assert sorted(list(row) for row in rows) == sorted(
        [str(path), *row] for path in (a, b) for row in quarlen.load(path, "objects"))


def test_an_interrupted_export_leaves_complete_files_and_a_rerun_finishes(tmp_path):
    fleet_dir, out = tmp_path / "fleet", tmp_path / "out"
    fleet_dir.mkdir()
    for i in range(60):
        snapshot(fleet_dir / f"db{i:02d}.quarlen", [f"O{j}" for j in range(200)])
    # As from a terminal: a shell's background job would start with SIGINT ignored.
    export = subprocess.Popen([QUARLEN, "export", out, fleet_dir, "--member", "objects"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert export.stdout.readline().endswith(b".parquet\n")  # one file is in place
    export.send_signal(signal.SIGINT)
    _, stderr = export.communicate(timeout=60)
    assert export.returncode == 130, stderr
    written = sorted(os.listdir(out / "objects"))
    assert 1 <= len(written) < 60 and all(name.endswith(".parquet") for name in written)
    for name in written:  # each complete
        assert duckdb.sql(f"select count(*) from read_parquet('{out / 'objects' / name}')").fetchall() == [(200,)]
    # What a killed run leaves: a hidden file, which readers skip and the next run replaces.
    stale = out / "objects" / f".{quarlen.fleet.snapshot_id(fleet_dir / 'db59.quarlen')}.parquet.partial"
    stale.write_bytes(b"half a file")
    assert duckdb.sql(f"select count(*) from read_parquet('{out}/objects/*.parquet')").fetchall() == [(200 * len(written),)]
    rerun = run("export", out, fleet_dir, "--member", "objects")
    assert rerun.stderr.decode() == f"{out}: {60 - len(written)} files written, {len(written)} there already\n"
    assert len(os.listdir(out / "objects")) == 60


# A join over which DuckDB passes few points of its own that look for signals.
LONG_QUERY = "select count(*) from range(100000000000) t, objects"


def test_ctrl_c_stops_a_long_query_at_once(fleet):
    _, a, _ = fleet
    query = subprocess.Popen([QUARLEN, "sql", LONG_QUERY, a], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    time.sleep(1.5)
    query.send_signal(signal.SIGINT)
    try:
        _, stderr = query.communicate(timeout=10)
    finally:
        query.kill()
        query.wait()
    assert (query.returncode, stderr) == (130, b"")


def test_a_stopped_query_tells_the_earlier_wakeup_descriptor_and_puts_it_back(fleet):
    _, a, _ = fleet
    connection = quarlen.connect(a, members=["objects"])
    told, tell = socket.socketpair()
    tell.setblocking(False)
    previous = signal.set_wakeup_fd(tell.fileno())
    ctrl_c = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    give_up = threading.Timer(8, connection.interrupt)  # a failure, not a hang
    # As in a terminal: a background job starts with SIGINT ignored.
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    start = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            with quarlen.fleet.signals_kept(), quarlen.fleet.interruptible(connection):
                ctrl_c.start()
                give_up.start()
                connection.sql(LONG_QUERY).fetchall()
        give_up.cancel()
        assert time.monotonic() - start < 5
        assert signal.set_wakeup_fd(previous) == tell.fileno()
        assert told.recv(16) == bytes([signal.SIGINT])
    finally:
        give_up.cancel()
        signal.signal(signal.SIGINT, handler)
        signal.set_wakeup_fd(previous)
        told.close()
        tell.close()


@pytest.mark.parametrize("command, shown", [
    (("verify", "{a}", "{b}"), "2 of 2 files, 6 rows, "),
    (("sql", "select count(*) from objects", "{a}", "{b}"), "1 of 1 members checked in 2 files, "),
    (("export", "{tmp}/out", "{a}", "{b}", "--member", "objects"), "2 of 2 files, 3 rows, "),
])
def test_progress_on_a_terminal_only(fleet, command, shown):
    tmp, a, b = fleet
    args = [part.format(tmp=tmp, a=a, b=b) for part in command]
    leader, follower = os.openpty()
    try:
        subprocess.run([QUARLEN, *args], stdout=subprocess.DEVNULL, stderr=follower, check=True)
        os.close(follower)
        seen = b""
        while chunk := _read_or_eof(leader):
            seen += chunk
    finally:
        os.close(leader)
    assert shown in seen.decode().split("\r\x1b[K")[-2]
    shutil.rmtree(tmp / "out", ignore_errors=True)
    assert b"\x1b[K" not in run(*args).stderr  # not on a pipe


def _read_or_eof(fd):
    try:
        return os.read(fd, 65536)
    except OSError:  # the terminal's other end closed
        return b""


@pytest.mark.parametrize("first, later, expected", [
    ([1, 2], [None, None], [1, 2, None, None]),                      # nulls take the directory's type
    ([1, 2], [1.5, 2], "{later}: objects.object_id: DOUBLE where {out}/objects holds BIGINT; "
                       "export it into another directory"),
    ([1.5, 2], [3, 4], [1.5, 2.0, 3.0, 4.0]),                        # integers widen to doubles
    ([None, None], ["x", None], [None, None, "x", None]),            # a column of nulls became text
    (["x", 1], ["y", True], ['"x"', "1", '"y"', "true"]),            # any value as JSON text
    ([1, 2], ["x", "y"], "{later}: objects.object_id: VARCHAR where {out}/objects holds BIGINT; "
                         "export it into another directory"),
])
def test_export_keeps_a_directorys_types(tmp_path, first, later, expected):
    def made(path, ids):
        text = b"".join(b"[%s,\"APP\",\"T%d\",\"TABLE\",\"VALID\",\"N\",null]\n" % (json.dumps(v).encode(), i)
                        for i, v in enumerate(ids))
        return archive(path, {"objects": text})
    out, a, b = tmp_path / "out", made(tmp_path / "a.quarlen", first), made(tmp_path / "b.quarlen", later)
    assert run("export", out, a).returncode == 0
    result = run("export", out, b)
    if isinstance(expected, str):
        assert (result.returncode, result.stderr.decode()) == (2, "quarlen: " + expected.format(later=b, out=out) + "\n")
    else:
        assert result.returncode == 0, result.stderr
        query = f"select object_id from read_parquet('{out}/objects/*.parquet') order by snapshot, object_name"
        assert [row[0] for row in duckdb.sql(query).fetchall()] == expected


# DuckDB takes Ctrl-C's KeyboardInterrupt while a query runs and raises an error of its own:
# the commands and calls raise KeyboardInterrupt again, and leave every other error as it is.
@pytest.mark.parametrize("error, interrupt", [
    (duckdb.InterruptException("INTERRUPT Error: Interrupted!"), True),
    (RuntimeError("Query interrupted"), True),
    (duckdb.InvalidInputException("Invalid Input Error: exporting a stream from the object registered as "
                                  "'quarlen_source' failed: KeyboardInterrupt:\n"), True),
    (RuntimeError("Query failed"), False),
    (duckdb.CatalogException("Table with name x does not exist!"), False),
])
def test_duckdbs_interrupt_is_ctrl_c_again(error, interrupt):
    def query():
        with quarlen.fleet.signals_kept():
            raise error
    with pytest.raises(KeyboardInterrupt if interrupt else type(error)):
        query()
