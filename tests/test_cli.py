import itertools
import json
import os
import resource
import shlex
import shutil
import signal
import subprocess
import sys
import time
import zipfile

import pytest

import quarlen
from quarlen import _native

# The console script installed next to this interpreter, as a user runs it.
QUARLEN = shutil.which("quarlen", path=os.path.dirname(sys.executable))


def run(*args, stdin=None, **options):
    return subprocess.run([sys.executable, "-m", "quarlen", *map(str, args)], input=stdin, capture_output=True, **options)


def shell(command):
    """Runs a pipeline through bash, whose status is the first failure in it."""
    return subprocess.run(["bash", "-o", "pipefail", "-c", command], capture_output=True)


@pytest.fixture
def demo(tmp_path):
    path = tmp_path / "demo.quarlen"
    result = run("demo", path)
    assert result.returncode == 0, result.stderr
    return path


def test_demo_writes_every_member_for_two_owners(demo):
    listed = json.loads(_native.manifest(demo))["members"]
    bases = {name.split("/")[0] for name in listed}
    assert bases == {entry[0] for entry in json.loads(_native.members())}
    for keyed in ("plscope_identifiers", "plscope_statements", "control_rows"):
        assert {f"{keyed}/APP", f"{keyed}/HR"} <= set(listed)
    assert json.loads(_native.verify(demo))["ok"] is True


# A row as a JSON line goes in, and as `read` prints it: the stored compact text,
# which Python would spell otherwise for some numbers (1e+20, 1e-07).
READ_BACK = [
    ("[1e20]", "[1e20]"),
    ("[1E-7]", "[1e-7]"),
    ("[-0]", "[-0.0]"),
    ("[5e-324]", "[5e-324]"),
    ("[123456789012345678901234567890]", "[1.2345678901234568e29]"),
    ("[18446744073709551615]", "[18446744073709551615]"),
    ('["\\u00e9😀\\ud83d\\ude00"]', '["é😀😀"]'),
    ('[["\\"],[", "a\\\\b\\n\\u0000\\u001f\\u007f\\/"]]', '[["\\"],[","a\\\\b\\n\\u0000\\u001f\x7f/"]]'),
    ('[{"b": [1, {"c": "}"}], "a": null, "é": 1}]', '[{"a":null,"b":[1,{"c":"}"}],"é":1}]'),
]


def test_read_prints_rows_as_stored(tmp_path):
    (tmp_path / "rows.jsonl").write_text("".join(line + "\n" for line, _ in READ_BACK), encoding="utf-8")
    assert run("write", "t.quarlen", "control_rows/K=rows.jsonl", cwd=tmp_path).returncode == 0
    printed = [row for _, row in READ_BACK]
    lines = run("read", "t.quarlen", "control_rows/K", cwd=tmp_path)
    array = run("read", "t.quarlen", "control_rows/K", "--array", cwd=tmp_path)
    assert (lines.returncode, lines.stdout.decode(), lines.stderr) == (0, "".join(row + "\n" for row in printed), b"")
    assert (array.returncode, array.stdout.decode(), array.stderr) == (0, "[" + ",".join(printed) + "]\n", b"")


def test_manifest_is_pretty_and_complete(demo):
    result = run("manifest", demo)
    assert result.returncode == 0
    assert result.stdout.decode().startswith('{\n  "database": "ORCL",\n')
    assert json.loads(result.stdout) == json.loads(_native.manifest(demo))


def damage_member(path, name):
    """Rewrites one member's entry with a different text, manifest unchanged."""
    with zipfile.ZipFile(path) as source:
        entries = [(info.filename, source.read(info)) for info in source.infolist()]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as target:
        for entry, data in entries:
            target.writestr(entry, data.replace(b"APP", b"APX", 1) if entry == f"{name}.jsonl" else data)


@pytest.fixture
def damaged(demo):
    path = demo.with_name("damaged.quarlen")
    path.write_bytes(demo.read_bytes())
    damage_member(path, "objects")
    return path


def test_verify_exit_codes_and_output(demo, damaged, tmp_path):
    good = run("verify", demo)
    assert good.returncode == 0
    assert good.stdout.decode().splitlines()[0] == f"{demo}: ok, 22 members read, 62 rows"

    bad = run("verify", demo, damaged)
    assert bad.returncode == 1
    assert "  problem: objects: checksum does not match the manifest (the file was changed or damaged)\n" in bad.stdout.decode()

    missing = tmp_path / "missing.quarlen"
    unreadable = run("verify", "--json", demo, damaged, missing)
    assert unreadable.returncode == 2
    lines = [json.loads(line) for line in unreadable.stdout.decode().splitlines()]
    assert [line["file"] for line in lines] == [str(demo), str(damaged), str(missing)]
    assert lines[0]["report"]["ok"] is True and lines[1]["report"]["ok"] is False
    assert lines[2]["error"] == f"{missing}: No such file or directory (os error 2)"


def test_write_round_trips_jsonl_files(tmp_path):
    (tmp_path / "c.jsonl").write_text('["A","T","C","é"]\n\n["B","T",null, {"b":1,"a":2}]\r\n')
    (tmp_path / "h.json").write_text('{"source":"cli"}')
    out = tmp_path / "out.quarlen"
    result = run("write", out, "--header", "h.json", "comments=c.jsonl", "control_rows/K=-",
                 stdin=b"[1]\n[-0]\n[[1E2, 1e20, 1.5e-7, -0]]", cwd=tmp_path, umask=0o027)
    assert result.returncode == 0, result.stderr
    assert _native.read(out, "comments") == '[["A","T","C","é"],["B","T",null,{"a":2,"b":1}]]'
    assert _native.read(out, "control_rows/K") == "[[1],[-0.0],[[100.0,1e20,1.5e-7,-0.0]]]"
    assert json.loads(_native.manifest(out))["source"] == "cli"
    # A new file gets the umask's mode; a replaced one keeps its own.
    assert out.stat().st_mode & 0o777 == 0o640
    out.chmod(0o604)
    assert run("write", out, "comments=c.jsonl", cwd=tmp_path).returncode == 0
    assert out.stat().st_mode & 0o777 == 0o604


ROW = '["A","T","C","x"]\n'
HEADER = ["--header", "h.json", "comments=rows.jsonl"]


@pytest.fixture
def out(tmp_path):
    """A good snapshot that a failed write must leave as it is, beside rows.jsonl."""
    (tmp_path / "rows.jsonl").write_text(ROW)
    path = tmp_path / "out.quarlen"
    assert run("write", path, "comments=rows.jsonl", cwd=tmp_path).returncode == 0
    return path


def assert_kept(out, before, *others):
    assert out.read_bytes() == before
    assert sorted(os.listdir(out.parent)) == sorted(["out.quarlen", "rows.jsonl", *others])


@pytest.mark.parametrize(
    "args, files, message",
    [
        (["comments=rows.jsonl"], {"rows.jsonl": ROW + '\n["B","T"]\n'}, "rows.jsonl line 3: 2 values, the format has 4"),
        (["comments=rows.jsonl"], {"rows.jsonl": ROW + '["B","T",\n'}, "rows.jsonl line 2: not JSON (Expecting value at column 10)"),
        (["comments=rows.jsonl"], {"rows.jsonl": ROW + '["B","T","C",-Infinity]\n'}, "rows.jsonl line 2: not JSON (-Infinity is not a JSON value)"),
        (["comments=rows.jsonl"], {"rows.jsonl": ROW + '["B","T","C",1e400]\n'}, "rows.jsonl line 2: not JSON (number out of range)"),
        (["comments=rows.jsonl"], {"rows.jsonl": ROW * 100_000 + '\n["B"]\n'}, "rows.jsonl line 100002: 1 values, the format has 4"),
        (["comments=rows.jsonl"], {"rows.jsonl": ROW + '"x"\n'}, "rows.jsonl line 2: not a list of values"),
        (["control_rows/K=rows.jsonl"], {"rows.jsonl": "[1],[2]\n"}, "rows.jsonl line 1: not JSON (Extra data at column 4)"),
        (HEADER, {"h.json": "{"}, "h.json: not JSON (Expecting property name enclosed in double quotes at line 1 column 2)"),
        (HEADER, {"h.json": '{"a":NaN}'}, "h.json: not JSON (NaN is not a JSON value)"),
        (HEADER, {"h.json": "[]"}, "h.json: not a JSON object"),
        (HEADER, {"h.json": '{"format":"x"}'}, 'h.json: "format" belongs to the file, not to the header'),
        (["bogus=rows.jsonl"], {}, "bogus: not a member of quarlen/1"),
        (["control_rows=rows.jsonl"], {}, "control_rows: control_rows needs a key after a slash (control_rows/OWNER)"),
        (["comments=rows.jsonl", "comments=rows.jsonl"], {}, "comments: written already"),
        (["comments=missing.jsonl"], {}, "missing.jsonl: No such file or directory"),
        (["comments=./out.quarlen"], {}, "out.quarlen: is also an input"),
        (["--header", "-", "control_rows/K=-"], {}, "standard input can feed only one member or the header"),
    ],
)
def test_failed_write_keeps_out(out, args, files, message):
    for name, content in files.items():
        (out.parent / name).write_text(content)
    before = out.read_bytes()
    result = run("write", "out.quarlen", *args, cwd=out.parent)
    assert (result.returncode, result.stderr.decode()) == (2, f"quarlen: {message}\n")
    assert_kept(out, before, *files.keys() - {"rows.jsonl"})


@pytest.mark.parametrize("rows, limit, message", [
    # The disk fills while the rows stream in.
    ("".join(f"[{i}]\n" for i in range(200_000)), 100_000, "out.quarlen: File too large (os error 27)"),
    # A bad line, and closing the abandoned file fails too: one message all the same.
    ("[1]\n[1,2]\n", 1, "big.jsonl line 2: 2 values, the format has 1"),
])
def test_write_on_full_disk_keeps_out(out, rows, limit, message):
    (out.parent / "big.jsonl").write_text(rows)
    before = out.read_bytes()

    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    result = run("write", "out.quarlen", "control_rows/K=big.jsonl", cwd=out.parent, preexec_fn=small_files)
    assert (result.returncode, result.stderr.decode()) == (2, f"quarlen: {message}\n")
    assert_kept(out, before, "big.jsonl")


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_interrupted_write_keeps_out(out, signum, status):
    before = out.read_bytes()
    writer = subprocess.Popen([QUARLEN, "write", "out.quarlen", "control_rows/K=-"], cwd=out.parent,
                              stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    writer.stdin.write(b"[1]\n" * 10_000)  # within the pipe's buffer: never blocks
    writer.stdin.flush()
    deadline = time.monotonic() + 60
    while not [name for name in os.listdir(out.parent) if name.startswith(".out.quarlen.")]:
        assert time.monotonic() < deadline and writer.poll() is None
        time.sleep(0.01)
    writer.send_signal(signum)
    assert (writer.communicate()[1], writer.returncode) == (b"", status)
    assert_kept(out, before)


def test_write_refuses_to_replace_what_is_not_a_file(tmp_path):
    (tmp_path / "rows.jsonl").write_text(ROW)
    os.mkfifo(tmp_path / "pipe")
    result = run("write", "pipe", "comments=rows.jsonl", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (2, b"quarlen: pipe: not a regular file, so it is not replaced\n")
    assert sorted(os.listdir(tmp_path)) == ["pipe", "rows.jsonl"]


def test_write_reads_a_named_pipe_and_commands_run_with_stdout_closed(tmp_path):
    os.mkfifo(tmp_path / "rows")
    feeder = subprocess.Popen(["sh", "-c", f"printf '[1]\\n[2]\\n' > {shlex.quote(str(tmp_path / 'rows'))}"])
    result = run("write", "f.quarlen", "control_rows/K=rows", cwd=tmp_path, timeout=60)
    assert (result.returncode, feeder.wait(timeout=60)) == (0, 0), result.stderr
    assert quarlen.load(tmp_path / "f.quarlen", "control_rows/K") == [[1], [2]]
    closed = shell(f"{shlex.quote(QUARLEN)} verify {shlex.quote(str(tmp_path / 'f.quarlen'))} >&-")
    assert (closed.returncode, closed.stderr) == (0, b"")


def test_write_streams_stdin_and_read_stops_at_a_closed_pipe(tmp_path):
    rows = "".join(f"[{i}]\n" for i in range(25_001))
    out = tmp_path / "big.quarlen"
    result = run("write", out, "control_rows/K=-", stdin=rows.encode())
    assert result.returncode == 0, result.stderr
    assert json.loads(_native.verify(out))["members"] == {"control_rows/K": 25_001}
    head = shell(f"{shlex.quote(QUARLEN)} read {shlex.quote(str(out))} control_rows/K | head -1")
    assert (head.returncode, head.stdout, head.stderr) == (0, b"[0]\n", b"")


@pytest.mark.parametrize("last, status, message", [
    ("good", 0, ""),
    ("damaged", 1, ""),
    ("missing", 2, "quarlen: {missing}: No such file or directory (os error 2)\n"),
])
def test_verify_status_survives_a_closed_pipe(demo, damaged, tmp_path, last, status, message):
    files = {"good": demo, "damaged": damaged, "missing": tmp_path / "missing.quarlen"}
    # Enough reports to fill the pipe long after head has gone.
    paths = " ".join(shlex.quote(str(path)) for path in [demo] * 100 + [files[last]])
    result = shell(f"{shlex.quote(QUARLEN)} verify {paths} | head -1")
    assert result.returncode == status
    assert result.stdout.decode() == f"{demo}: ok, 22 members read, 62 rows\n"
    assert result.stderr.decode() == message.format(**files)


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    """A file that takes a second or more to verify: 300 MB of member text."""
    path = tmp_path_factory.mktemp("large") / "large.quarlen"
    with quarlen.create(path) as snap:
        snap.write("control_rows/K", itertools.repeat([[0] * 2000], 75_000))
    return path


def test_verify_in_parallel_reports_in_the_order_of_the_files(large, demo, damaged, tmp_path):
    # The large file, first, is done long after the others.
    files = [large, damaged, tmp_path / "missing.quarlen", demo]
    alone = [run("verify", path) for path in files]
    together = run("verify", "-j", "2", *files)
    assert (together.returncode, together.stdout, together.stderr) == (
        2, b"".join(one.stdout for one in alone), b"".join(one.stderr for one in alone))


def test_ctrl_c_stops_a_parallel_verify_at_once(large, demo):
    first = run("verify", demo).stdout
    # Output to a pipe is buffered unless the command flushes each report.
    env = {key: value for key, value in os.environ.items() if key != "PYTHONUNBUFFERED"}
    # With SIGINT at its default, Python turns it into KeyboardInterrupt.
    with subprocess.Popen([QUARLEN, "verify", "-j", "2", demo, large, large, large],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)) as verify:
        try:
            # Once the first report is out, both threads are inside a verify
            # of the large file, which cannot be interrupted.
            printed = verify.stdout.readline()
            sent = time.monotonic()
            verify.send_signal(signal.SIGINT)
            verify.wait(timeout=60)
            waited = time.monotonic() - sent
        finally:
            verify.kill()
        printed += verify.stdout.read()
        assert (verify.returncode, printed, verify.stderr.read()) == (130, first, b"")
    assert waited < 0.5


@pytest.mark.parametrize("member, status, message", [
    ("comments", 0, ""),
    ("objects", 1, "quarlen: objects: not in e.quarlen\n"),
    ("control_rows/APP", 1, "quarlen: control_rows/APP: not in e.quarlen\n"),
    ("bogus", 2, "quarlen: bogus: not a member of quarlen/1\n"),
])
def test_read_tells_a_missing_member_from_an_empty_one(tmp_path, member, status, message):
    (tmp_path / "empty.jsonl").write_text("")
    assert run("write", "e.quarlen", "comments=empty.jsonl", cwd=tmp_path).returncode == 0
    result = run("read", "e.quarlen", member, cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr.decode()) == (status, b"", message)


def test_unit_hash_reads_text_exactly(tmp_path):
    (tmp_path / "src.sql").write_bytes(b"abc")
    by_file = run("unit-hash", "APP", "FUNCTION", "F1", tmp_path / "src.sql")
    by_stdin = run("unit-hash", "APP", "FUNCTION", "F1", stdin=b"abc")
    expected = "65b8e7ddf27d0a6140592b5a94ef0d53593584f5016395a41d8c629b3dfc2ea0\n"
    assert by_file.stdout.decode() == by_stdin.stdout.decode() == expected


@pytest.mark.parametrize(
    "args, told",
    [
        (("read",), "usage: quarlen read"),
        (("verify",), "usage: quarlen verify"),
        (("verify", "-j", "0", "x.quarlen"), "argument -j/--jobs: not a positive whole number: '0'"),
        (("bogus",), "usage: quarlen"),
        (("write", "out.quarlen", "no-equals-sign"), "no-equals-sign: expected NAME=ROWS.jsonl"),
    ],
)
def test_bad_usage_exits_2(tmp_path, args, told):
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert told in result.stderr.decode()


@pytest.mark.parametrize("command", ["verify", "manifest", "read", "write", "diff", "members", "unit-hash", "demo"])
def test_every_command_has_help(command):
    result = run(command, "--help")
    assert result.returncode == 0
    assert result.stdout.decode().startswith(f"usage: quarlen {command}")


@pytest.mark.skipif(os.environ.get("QUARLEN_NO_MYPY") == "1", reason="mypy check disabled")
def test_stubs_pass_mypy_strict(tmp_path):
    mypy = pytest.importorskip("mypy.api")
    example = os.path.join(os.path.dirname(__file__), "typed_example.py")
    stdout, stderr, status = mypy.run(["--strict", "--no-incremental", "--cache-dir", str(tmp_path), example])
    assert status == 0, stdout + stderr
