"""The console script as a user meets it: exit codes, closed pipes, full disks, interrupts, hostile files."""

import json
import os
import resource
import shlex
import shutil
import signal
import subprocess
import sys
import time

import pytest

import quarlen
from quarlen import _native

from archives import archive, record

# The console script installed next to this interpreter, as a user runs it.
QUARLEN = shutil.which("quarlen", path=os.path.dirname(sys.executable))


def run(*args, stdin=None, **options):
    return subprocess.run([QUARLEN, *map(str, args)], input=stdin, capture_output=True, **options)


def shell(command):
    """Runs a pipeline through bash, whose status is the first failure in it."""
    return subprocess.run(["bash", "-o", "pipefail", "-c", command], capture_output=True)


def small_address_space():
    resource.setrlimit(resource.RLIMIT_AS, (128 << 20, 128 << 20))


def test_verify_exit_codes_output_and_memory(tmp_path):
    demo, missing = tmp_path / "demo.quarlen", tmp_path / "missing.quarlen"
    assert run("demo", demo).returncode == 0
    text = b'[1,"APP","T1","TABLE","VALID","N",null]\n'
    damaged = archive(tmp_path / "damaged.quarlen", {"objects": text}, records={"objects": record(text + b" ")})
    # A hostile file, under 1 MB on disk and 600 MB inflated: a member of many short rows and one of a
    # single line of spaces whose checksum is right.
    bomb = archive(tmp_path / "bomb.quarlen", {"control_rows/APP": b'["x"]\n' * (50 << 20),
                                               "control_rows/HR": b" " * (300 << 20)})
    assert bomb.stat().st_size < 1 << 20
    fault = "control_rows/HR line 1: EOF while parsing a value at line 1 column " + str((300 << 20) + 1)
    verified = run("verify", "--json", bomb, preexec_fn=small_address_space)
    assert (verified.returncode, verified.stderr) == (1, b"")
    assert json.loads(verified.stdout)["report"] == {
        "format": "quarlen/1", "members": {"control_rows/APP": 50 << 20}, "ok": False, "problems": [fault]}
    # The rows themselves do not fit: told plainly, not as an internal fault.
    read = run("read", bomb, "control_rows/APP", preexec_fn=small_address_space)
    assert (read.returncode, read.stdout, read.stderr) == (2, b"", b"quarlen: out of memory\n")
    unreadable = run("verify", "--json", demo, damaged, missing)
    reports = [json.loads(line) for line in unreadable.stdout.splitlines()]
    assert (unreadable.returncode, [(r["file"], r.get("report", {}).get("ok"), r.get("error")) for r in reports]) == (2, [
        (str(demo), True, None), (str(damaged), False, None),
        (str(missing), None, f"{missing}: No such file or directory (os error 2)")])
    # In parallel, the reports come in the order of the files: the slow one first.
    files = [bomb, damaged, missing, demo]
    alone = [run("verify", path) for path in files]
    assert [one.returncode for one in alone] == [1, 1, 2, 0]
    assert "  problem: objects: checksum does not match the manifest (the file was changed or damaged)\n" in alone[1].stdout.decode()
    together = run("verify", "-j", "2", *files)
    assert (together.returncode, together.stdout, together.stderr) == (
        2, b"".join(one.stdout for one in alone), b"".join(one.stderr for one in alone))
    # The status holds when the reader of the reports has gone long before the end.
    paths = " ".join(shlex.quote(str(path)) for path in [demo] * 100 + [missing])
    result = shell(f"{shlex.quote(QUARLEN)} verify {paths} | head -1")
    assert (result.returncode, result.stdout.decode(), result.stderr.decode()) == (
        2, f"{demo}: ok, 22 members read, 62 rows\n", f"quarlen: {missing}: No such file or directory (os error 2)\n")


# A JSON line in, and the stored compact text `read` prints, which Python spells otherwise (1e+20, 1e-07).
READ_BACK = [
    ("[1e20]", "[1e20]"), ("[1E-7]", "[1e-7]"), ("[-0]", "[-0.0]"), ("[123456789012345678901234567890]", "[1.2345678901234568e29]"),
    ('["\\u00e9😀\\ud83d\\ude00"]', '["é😀😀"]'),
    ('[["\\"],[", "a\\\\b\\n\\u0000\\u001f\\u007f\\/"]]', '[["\\"],[","a\\\\b\\n\\u0000\\u001f\x7f/"]]'),
]


def test_write_and_read_round_trip(tmp_path):
    (tmp_path / "rows.jsonl").write_text("".join(line + "\n" for line, _ in READ_BACK) + "\n\r\n", encoding="utf-8")
    (tmp_path / "h.json").write_text('{"source":"cli"}')
    os.mkfifo(tmp_path / "fifo")
    feeder = subprocess.Popen(["sh", "-c", "printf '[1]\\n[2]' > fifo"], cwd=tmp_path)
    many = [[i] for i in range(25_001)]
    written = run("write", "t.quarlen", "--header", "h.json", "control_rows/K=rows.jsonl", "control_rows/S=-",
                  "control_rows/F=fifo", stdin=b"".join(b"[%d]\n" % i for i, in many), cwd=tmp_path)
    assert (written.returncode, feeder.wait(timeout=60)) == (0, 0), written.stderr
    printed = [row for _, row in READ_BACK]
    lines = run("read", "t.quarlen", "control_rows/K", cwd=tmp_path)
    array = run("read", "t.quarlen", "control_rows/K", "--array", cwd=tmp_path)
    assert (lines.returncode, lines.stdout.decode(), lines.stderr) == (0, "".join(row + "\n" for row in printed), b"")
    assert (array.returncode, array.stdout.decode(), array.stderr) == (0, "[" + ",".join(printed) + "]\n", b"")
    out = tmp_path / "t.quarlen"
    assert (quarlen.load(out, "control_rows/S"), quarlen.load(out, "control_rows/F")) == (many, [[1], [2]])
    assert json.loads(_native.manifest(out))["source"] == "cli"
    # A closed pipe ends the rows quietly; a closed standard output does not fail verify.
    head = shell(f"{shlex.quote(QUARLEN)} read {shlex.quote(str(out))} control_rows/S | head -1")
    assert (head.returncode, head.stdout, head.stderr) == (0, b"[0]\n", b"")
    closed = shell(f"{shlex.quote(QUARLEN)} verify {shlex.quote(str(out))} >&-")
    assert (closed.returncode, closed.stderr) == (0, b"")
    # A replaced file keeps its mode (a new one's is test_objects'), and a pipe is not replaced.
    out.chmod(0o604)
    assert run("write", out, "control_rows/K=rows.jsonl", cwd=tmp_path).returncode == 0
    assert out.stat().st_mode & 0o777 == 0o604
    refused = run("write", "fifo", "control_rows/K=-", cwd=tmp_path, stdin=b"")
    assert (refused.returncode, refused.stderr) == (2, b"quarlen: fifo: not a regular file, so it is not replaced\n")


ROW = '["A","T","C","x"]\n'
HEADER = ["--header", "h.json", "comments=rows.jsonl"]


@pytest.fixture
def out(tmp_path):
    # A good snapshot that a failed write must leave byte for byte, beside rows.jsonl.
    (tmp_path / "rows.jsonl").write_text(ROW)
    path = tmp_path / "out.quarlen"
    assert run("write", path, "comments=rows.jsonl", cwd=tmp_path).returncode == 0
    return path


def assert_kept(out, before, *others):
    assert out.read_bytes() == before
    assert sorted(os.listdir(out.parent)) == sorted(["out.quarlen", "rows.jsonl", *others])


def small_files(limit):
    def limit_file_size():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return limit_file_size


BIG = "".join(f"[{i}]\n" for i in range(200_000))


@pytest.mark.parametrize("args, files, message, limit", [
    (["comments=rows.jsonl"], {"rows.jsonl": ROW * 100_000 + '\n["B"]\n'}, "rows.jsonl line 100002: 1 values, the format has 4", None),
    (HEADER, {"h.json": '{"format":"x"}'}, 'h.json: "format" belongs to the file, not to the header', None),
    (["bogus=rows.jsonl"], {}, "bogus: not a member of quarlen/1", None),
    (["comments=./out.quarlen"], {}, "out.quarlen: is also an input", None),
    (["--header", "-", "control_rows/K=-"], {}, "standard input can feed only one member or the header", None),
    # The disk fills while the rows stream in.
    (["control_rows/K=big.jsonl"], {"big.jsonl": BIG}, "out.quarlen: File too large (os error 27)", 100_000),
    # A bad line, and closing the abandoned file fails too: one message all the same.
    (["control_rows/K=big.jsonl"], {"big.jsonl": "[1]\n[1,2]\n"}, "big.jsonl line 2: 2 values, the format has 1", 1),
])
def test_failed_write_keeps_out(out, args, files, message, limit):
    for name, content in files.items():
        (out.parent / name).write_text(content)
    before = out.read_bytes()
    result = run("write", "out.quarlen", *args, cwd=out.parent, preexec_fn=limit and small_files(limit))
    assert (result.returncode, result.stderr.decode()) == (2, f"quarlen: {message}\n")
    assert_kept(out, before, *files.keys() - {"rows.jsonl"})


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_interrupted_write_keeps_out(out, signum, status):
    before = out.read_bytes()
    # With Ctrl-C as a terminal leaves it, even when these tests run in a background job, which ignores it.
    writer = subprocess.Popen([QUARLEN, "write", "out.quarlen", "control_rows/K=-"], cwd=out.parent,
                              stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                              preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    writer.stdin.write(b"[1]\n" * 10_000)  # within the pipe's buffer: never blocks
    writer.stdin.flush()
    deadline = time.monotonic() + 60
    while not [name for name in os.listdir(out.parent) if name.startswith(".out.quarlen.")]:
        assert time.monotonic() < deadline and writer.poll() is None
        time.sleep(0.01)
    writer.send_signal(signum)
    assert writer.wait(timeout=60) == status  # with its input still open: only the signal ends it
    assert writer.communicate()[1] == b""
    assert_kept(out, before)


F1_HASH = "65b8e7ddf27d0a6140592b5a94ef0d53593584f5016395a41d8c629b3dfc2ea0"


@pytest.mark.parametrize("args, status, out, err", [
    (("read", "e.quarlen", "comments"), 0, "", ""),
    (("read", "e.quarlen", "objects"), 1, "", "quarlen: objects: not in e.quarlen\n"),
    (("read", "e.quarlen", "bogus"), 2, "", "quarlen: bogus: not a member of quarlen/1\n"),
    *[(("unit-hash", "APP", "FUNCTION", "F1", *source), 0, F1_HASH + "\n", "") for source in [["src.sql"], []]],
    (("verify", "-j", "0", "x.quarlen"), 2, "", "argument -j/--jobs: not a positive whole number: '0'"),
    (("write", "o", "x"), 2, "", "quarlen: x: expected NAME=ROWS.jsonl (or NAME=- for standard input)\n"),
    (("verify", "--help"), 0, "usage: quarlen verify", ""),
    # 248 characters, as long a name as the writer takes: the hidden name beside it is cut to fit.
    (("write", "n" * 248, "comments=/dev/null"), 0, "", "n" * 248 + ": 1 members, 0 rows\n"),
])
def test_commands(tmp_path, args, status, out, err):
    (tmp_path / "src.sql").write_bytes(b"abc")
    assert run("write", "e.quarlen", "comments=-", cwd=tmp_path, stdin=b"").returncode == 0
    result = run(*args, cwd=tmp_path, stdin=b"abc")
    stdout, stderr = result.stdout.decode(), result.stderr.decode()
    assert result.returncode == status
    # Usage is told by argparse, whose text is only checked in part.
    assert stdout == out or out.startswith("usage") and stdout.startswith(out)
    assert stderr == err or stderr.startswith("usage: quarlen") and err in stderr


FULL = "quarlen: standard output: No space left on device"
CLOSED = "quarlen: standard input: closed"


@pytest.mark.parametrize("args, streams, message, status", [
    ("verify e.quarlen", "> /dev/full", FULL, 2),
    ("verify -j 2 --json e.quarlen e.quarlen", "> /dev/full", FULL, 2),
    ("read f.quarlen comments", "> /dev/full", FULL, 2),
    ("manifest e.quarlen", "> /dev/full", FULL, 2),
    ("diff e.quarlen f.quarlen", "> /dev/full", FULL, 2),
    ("write x.quarlen comments=-", "<&-", CLOSED, 2),
    ("unit-hash A B C", "<&-", CLOSED, 2),
    # The inputs' files open on the descriptor standard input left free.
    ("write x.quarlen comments=rows.jsonl control_rows/A=rows.jsonl", "<&-", "x.quarlen: 2 members, 0 rows", 0),
])
def test_standard_streams(tmp_path, args, streams, message, status):
    (tmp_path / "rows.jsonl").write_text("")
    for name, rows in [("e.quarlen", ""), ("f.quarlen", ROW)]:
        assert run("write", name, "comments=-", cwd=tmp_path, stdin=rows.encode()).returncode == 0
    result = shell(f"cd {shlex.quote(str(tmp_path))} && {shlex.quote(QUARLEN)} {args} {streams}")
    assert (result.returncode, result.stdout, result.stderr.decode()) == (status, b"", message + "\n")
    assert os.path.exists(tmp_path / "x.quarlen") == (status == 0)


@pytest.mark.skipif(os.environ.get("QUARLEN_NO_MYPY") == "1", reason="mypy check disabled")
def test_typed_example_passes_mypy_strict(tmp_path):
    mypy = pytest.importorskip("mypy.api")
    example = os.path.join(os.path.dirname(__file__), "typed_example.py")
    stdout, stderr, status = mypy.run(["--strict", "--no-incremental", "--cache-dir", str(tmp_path), example])
    assert status == 0, stdout + stderr
