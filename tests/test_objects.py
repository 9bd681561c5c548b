"""Rows as Python objects (create, load, iter_rows) and as JSON text, against zipfile, json and hashlib."""

import hashlib
import itertools
import json
import os
import signal
import stat
import subprocess
import sys
import time
import warnings
import zipfile

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quarlen
from quarlen import create, iter_rows, load, read, verify

from archives import FORMAT, archive, error, open_fds, report, write


# Values compare by their repr, in which 1, 1.0 and True differ, and -0.0 and 0.0, and the order of keys counts.
def stored(value):
    """What a value reads back as: lists for tuples, keys in byte order, a float beyond 64 bits."""
    if isinstance(value, (list, tuple)):
        return [stored(v) for v in value]
    if isinstance(value, dict):
        return {k: stored(value[k]) for k in sorted(value, key=str.encode)}
    if type(value) is int and not -(2**63) <= value < 2**64:
        return float(value)
    return value


scalars = (st.none() | st.booleans() | st.integers(min_value=-(2**80), max_value=2**80)
           | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=12))
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3)
                      | st.dictionaries(st.text(max_size=4), inner, max_size=3), max_leaves=10)
WIDTHS = {"comments": 4, "control_rows/Ä": 1, "units": 4, "plscope_statements/日本": 13}


def rows_of(width):
    return st.lists(st.tuples(*[values] * width) | st.lists(values, min_size=width, max_size=width), max_size=6)


@settings(max_examples=100, deadline=None)
@given(members=st.fixed_dictionaries({}, optional={name: rows_of(w) for name, w in WIDTHS.items()}),
       ascii_only=st.booleans(), compression=st.sampled_from([zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED]))
def test_round_trip_agrees_with_zipfile_json_and_hashlib(tmp_path_factory, members, ascii_only, compression):
    directory = tmp_path_factory.mktemp("objects")
    ours, theirs = directory / "ours.quarlen", directory / "theirs.quarlen"
    with create(ours, {"source": "db1"}) as snapshot:
        records = {name: snapshot.write(name, iter(rows)) for name, rows in members.items()}
    # The same stored bytes as json.dumps and Writer.rows give.
    write(theirs, [(name, [list(row) for row in rows]) for name, rows in members.items()], '{"source":"db1"}')
    assert ours.read_bytes() == theirs.read_bytes()
    with zipfile.ZipFile(ours) as z:
        assert z.testzip() is None
        listed = json.loads(z.read("manifest.json"))
        assert listed == {"format": FORMAT, "members": records, "source": "db1"}
        for name, rows in members.items():
            data = z.read(name + ".jsonl")
            assert records[name] == {"bytes": len(data), "rows": len(rows), "sha256": hashlib.sha256(data).hexdigest()}
            assert repr([json.loads(line) for line in data.split(b"\n")[:-1]]) == repr(stored(rows))
    # Another writer's spelling, read back as json.loads reads it.
    spelled = {name: b"".join(json.dumps(row, ensure_ascii=ascii_only).encode() + b"\r\n" for row in rows)
               for name, rows in members.items()}
    other = archive(directory / "other.quarlen", spelled, compression=compression)
    for path in (ours, other):
        assert verify(path) == report({name: len(rows) for name, rows in members.items()})
        for name, rows in members.items():
            expected = repr(stored(rows))
            assert repr(json.loads(read(path, name))) == repr(load(path, name)) == expected
            assert repr(list(iter_rows(path, name))) == expected


def test_load_tells_apart_strings_that_share_their_first_bytes(tmp_path):
    # Every length around the short strings kept for reuse, each met twice, the last at the member's end.
    prefixes = [("abcdefghijklmnopqrstuvwxyz\u00e9" * 2)[:n] for n in range(34)]
    rows = [[s, s[::-1], s + "\n", s] for s in prefixes + prefixes[::-1]] + [["", "a", "\u00e9", "x"]]
    with create(tmp_path / "s.quarlen", {"source": "db1"}) as snapshot:
        snapshot.write("comments", rows)
    assert load(tmp_path / "s.quarlen", "comments") == json.loads(read(tmp_path / "s.quarlen", "comments")) == rows


def nest(levels):
    return [nest(levels - 1)] if levels else "x"


def writes(*rows):
    return lambda snapshot: snapshot.write("comments", list(rows))


def interrupted(snapshot):
    snapshot.write("comments", [["e", "f", "g", "h"]])
    raise KeyboardInterrupt


def refused_then(after):
    """A write refused, the refusal caught, then `after`."""
    def body(snapshot):
        with pytest.raises(ValueError):
            snapshot.write("comments", [["a", "b", "c"]])
        after(snapshot)
    return body


REFUSAL = "PATH: the snapshot cannot be completed: a write failed (comments row 1: 3 values, the format has 4)"
FAILED = [
    (writes(["a", "b", "c"]), ValueError, "comments row 1: 3 values, the format has 4"),
    (writes(["a", "b", "c", "d"], {"a": 1}), ValueError, "comments row 2: not a list of values"),
    (writes(["a", "b", "c", [float("-inf")]]), ValueError, "comments row 1: -inf has no JSON form"),
    (writes(["a", "b", "c", {"k": 1, 1: "x"}]), ValueError, "comments row 1: a key that is not a str (int)"),
    (writes(["a", "b", "c", "\ud800"]), ValueError, "comments row 1: a str with a lone surrogate has no UTF-8 form"),
    (writes(["a", "b", "c", 10**400]), ValueError, "comments row 1: number out of range"),
    (writes(["a", "b", "c", {"x"}]), TypeError, "comments row 1: Object of type set is not JSON serializable"),
    (writes(["a", "b", "c", "d"], ["a", "b", "c", nest(126)]), ValueError, "comments row 2: nested more than 126 levels deep"),
    (lambda s: [s.write("comments", []), s.write("comments", [])], ValueError, "comments: written already"),
    (interrupted, KeyboardInterrupt, ""),
    (refused_then(lambda s: None), ValueError, REFUSAL),
    (refused_then(writes(["a", "b", "c", "d"])), ValueError, REFUSAL),
]


@pytest.mark.parametrize("body, kind, message", FAILED)
def test_create_is_all_or_nothing(tmp_path, body, kind, message):
    path = tmp_path / "x.quarlen"
    deepest = nest(125)  # with the row, 126 levels
    with create(path, {"run": 1}) as snapshot:
        snapshot.write("comments", [("a", "b", "c", deepest)])
        assert not path.exists()
    assert load(path, "comments") == [["a", "b", "c", deepest]]
    first = path.read_bytes()
    with pytest.raises(kind) as raised:
        with create(path) as snapshot:
            body(snapshot)
    assert str(raised.value) == message.replace("PATH", str(path))
    assert path.read_bytes() == first and os.listdir(tmp_path) == ["x.quarlen"]


@pytest.mark.parametrize("name, header, before, message", [
    ("x.quarlen", {"format": "x"}, None, 'header: "format" belongs to the file, not to the header'),
    # A name the file system takes, whatever the hidden name beside it (test_cli writes one of 248 ASCII bytes).
    ("é" * 123 + ".quarlen", None, None, None),
    # A replaced file keeps its mode, owner and group.
    ("x.quarlen", None, (0o604, 1234, 5678), None),
])
def test_what_create_makes(tmp_path, monkeypatch, name, header, before, message):
    path = tmp_path / name
    if before:
        if os.geteuid() != 0:
            pytest.skip("giving a file to another owner takes root")
        write(path, [])
        path.chmod(before[0])
        os.chown(path, *before[1:])
    # The umask is never changed, not even for a moment: it is every thread's.
    previous = os.umask(0o027)
    monkeypatch.setattr(os, "umask", None)
    try:
        with create(path, header) as snapshot:
            snapshot.write("comments", [])
    except ValueError as refused:
        assert str(refused) == message
    else:
        assert message is None
    finally:
        monkeypatch.undo()
        os.umask(previous)
    if message is not None:
        assert os.listdir(tmp_path) == []
        return
    info = path.stat()
    assert os.listdir(tmp_path) == [name]
    assert (stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid) == (before or (0o640, os.getuid(), os.getgid()))


def test_load_and_iter_rows_read_any_spelling_and_release_the_file(tmp_path):
    text = (rb'[ "\u00e9\n\ud83d\ude00" , 1E2 , -0 , {"b" : 1, "a" : [ ], "" : {}} ]' b"\r\n"
            rb'["x\"y\\", 18446744073709551615, -9223372036854775808, 1.5e-7]' b"\n")
    many = b"".join(b"[%d]\n" % i for i in range(200_000))
    path = archive(tmp_path / "x.quarlen", {"comments": text, "control_rows/APP": many})
    expected = [["é\n\U0001f600", 100.0, -0.0, {"": {}, "a": [], "b": 1}], ['x"y\\', 2**64 - 1, -(2**63), 1.5e-7]]
    assert repr(json.loads(read(path, "comments"))) == repr(expected)
    assert repr(load(path, "comments")) == repr(list(iter_rows(path, "comments"))) == repr(expected)
    before = open_fds()
    rows = iter_rows(path, "control_rows/APP")  # streams: the file stays open until the iterator closes
    assert next(rows) == [0] and open_fds() != before
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with the reader thread running
        child = os.fork()
    if child == 0:  # the reader thread did not come along: told so, not left waiting
        signal.alarm(60)
        try:
            next(itertools.islice(rows, 100_000, None))
        except RuntimeError as refusal:
            os._exit(0 if str(refusal) == "the reader was opened before the process forked" else 2)
        os._exit(1)
    assert os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]) == 0
    assert sum(1 for _ in rows) == 199_999
    rows = iter_rows(path, "control_rows/APP")
    next(rows)
    rows.close()
    assert open_fds() == before
    reader = quarlen._native._open_rows(path, "control_rows/APP")
    reader.close()
    assert error(reader.next_batch) == "the reader is closed"


def run_python(code, *args, limits=""):
    """Runs `code` in a fresh interpreter (after `limits`, shell ulimit options); its exit status and output."""
    command = f'ulimit {limits}; exec "$0" -c "$1" "${{@:2}}"' if limits else 'exec "$0" -c "$1" "${@:2}"'
    done = subprocess.run(["bash", "-c", command, sys.executable, code, *map(str, args)],
                          capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout + done.stderr


MANY_ROWS = b"".join(b'["APP", "T%d", "C%d", "%s"]\n' % (i, i, b"x" * (i % 300)) for i in range(100_000))

# Daemon threads that stay inside a call until the interpreter exits under them.
AT_EXIT = """
import sys, threading, time, quarlen
path, call = sys.argv[1], sys.argv[2]
calls = {"load": lambda: quarlen.load(path, "comments"),
         "iter_rows": lambda: sum(1 for _ in quarlen.iter_rows(path, "comments")),
         "verify": lambda: quarlen.verify(path),
         "diff": lambda: list(quarlen.diff(path, path))}
def forever():
    while True:
        calls[call]()
for _ in range(3):
    threading.Thread(target=forever, daemon=True).start()
time.sleep(float(sys.argv[3]))
"""


@pytest.mark.parametrize("call", ["load", "iter_rows", "verify", "diff"])
def test_exit_with_daemon_threads_inside_calls(tmp_path, call):
    path = archive(tmp_path / "x.quarlen", {"comments": MANY_ROWS})
    for seconds in (0.2, 0.5):
        assert run_python(AT_EXIT, path, call, seconds) == (0, "")


# Thread stacks take the stack limit's size: with 1 GiB each, none fits in the address space left.
NO_THREADS = """
import json, resource, sys, quarlen
vm = int([l for l in open("/proc/self/status") if l.startswith("VmSize")][0].split()[1]) << 10
resource.setrlimit(resource.RLIMIT_AS, (vm + (256 << 20), resource.RLIM_INFINITY))
import threading
try:
    threading.Thread(target=print).start()
    sys.exit("a thread started")
except RuntimeError:
    pass
path = sys.argv[1]
rows = quarlen.load(path, "comments")
assert rows == list(quarlen.iter_rows(path, "comments")) == json.loads(quarlen.read(path, "comments"))
assert list(quarlen.diff(path, path)) == []
print(len(rows))
"""


def test_calls_work_where_no_thread_can_start(tmp_path):
    path = archive(tmp_path / "x.quarlen", {"comments": MANY_ROWS})
    assert run_python(NO_THREADS, path, limits="-s 1048576") == (0, "100000\n")


# Writes snapshots in a loop while a second thread is alive, taking Ctrl-C as KeyboardInterrupt inside the
# loop's try only; prints the numbers of the snapshots whose block ended normally, then how many were interrupted.
STORM = r"""
import os, signal, sys, threading
import quarlen

directory = sys.argv[1]
armed = False

def interrupt(signum, frame):
    if armed:
        raise KeyboardInterrupt

signal.signal(signal.SIGINT, interrupt)
threading.Thread(target=threading.Event().wait, daemon=True).start()
done, interrupted, number = [], 0, 0
print("ready", flush=True)
while not os.path.exists(os.path.join(directory, "stop")):
    number += 1
    try:  # Python 3.10 runs handlers on entering an except clause: the outer one takes what is raised there
        try:
            armed = True
            with quarlen.create(os.path.join(directory, f"{number}.quarlen")) as snapshot:
                snapshot.write("control_rows/K", [[number]])
            armed = False
            done.append(number)
        except KeyboardInterrupt:
            armed = False
    except KeyboardInterrupt:
        armed = False
    interrupted += number not in done
print(*done)
print(interrupted)
"""


def test_create_under_a_storm_of_interrupts(tmp_path):
    child = subprocess.Popen([sys.executable, "-c", STORM, str(tmp_path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert child.stdout.readline() == b"ready\n"
    for _ in range(2000):
        child.send_signal(signal.SIGINT)
        time.sleep(0.001)
    (tmp_path / "stop").touch()
    out, err = child.communicate(timeout=60)
    assert (child.returncode, err) == (0, b"")
    done, interrupted = out.decode().splitlines()
    assert int(interrupted) > 0
    assert [name for name in os.listdir(tmp_path) if name.startswith(".")] == []
    for number in map(int, done.split()):
        assert load(tmp_path / f"{number}.quarlen", "control_rows/K") == [[number]]


# Children forked while other threads are inside calls (some taking the lock back) exit as usual.
FORKS = """
import os, sys, threading, time, warnings, quarlen
warnings.simplefilter("ignore")  # fork() with threads alive
path = sys.argv[1]
for _ in range(4):
    threading.Thread(target=lambda: [quarlen.verify(path) for _ in iter(int, 1)], daemon=True).start()
children = []
for _ in range(40):
    time.sleep(0.002)
    pid = os.fork()
    if pid == 0:
        sys.exit(0)
    children.append(pid)
deadline = time.monotonic() + 10
while children and time.monotonic() < deadline:
    children = [pid for pid in children if os.waitpid(pid, os.WNOHANG) == (0, 0)]
    time.sleep(0.05)
print(len(children))
for pid in children:
    os.kill(pid, 9)
"""


def test_forked_children_exit(tmp_path):
    path = archive(tmp_path / "x.quarlen", {"comments": MANY_ROWS[:1000]})
    assert run_python(FORKS, path) == (0, "0\n")


def test_create_puts_back_only_its_own_handlers(tmp_path):
    def graceful(signum, frame):
        pass
    with create(tmp_path / "a.quarlen") as snapshot:
        signal.signal(signal.SIGINT, graceful)  # the caller's, set inside the block, stays
        snapshot.write("comments", [])
    assert signal.getsignal(signal.SIGINT) is graceful
    signal.signal(signal.SIGINT, signal.default_int_handler)
    first, second = create(tmp_path / "b.quarlen"), create(tmp_path / "c.quarlen")
    first.__enter__(), second.__enter__()
    first.__exit__(None, None, None), second.__exit__(None, None, None)  # left out of order
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
