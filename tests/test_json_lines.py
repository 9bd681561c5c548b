"""_write_json_lines and _array_lines: JSON lines stored as Writer.rows stores them."""

import contextlib
import json
import os
import signal
import threading

import pytest

from quarlen import _native
from quarlen._native import Writer

NAME = "control_rows/A"  # one column: any value is a row of one value
DEEP = b"[" * 126 + b"]" * 126  # a row may nest one level less than the parser's limit


def feed(tmp_path, data, progress=None, name=NAME):
    """Writes `data` through a pipe; returns (result, the member's record)."""
    writer = Writer(tmp_path / "lines.quarlen")
    writer.begin(name)
    read_end, write_end = os.pipe()
    sender = threading.Thread(target=lambda: (os.write(write_end, data), os.close(write_end)))
    sender.start()
    try:
        result = _native._write_json_lines(writer, read_end, progress)
        return result, json.loads(writer.end())
    finally:
        sender.join()
        os.close(read_end)
        del writer  # the file closes now, not when a traceback holding this frame is collected


def stored(tmp_path, rows_json, name=NAME):
    writer = Writer(tmp_path / "rows.quarlen")
    writer.begin(name)
    writer.rows(rows_json)
    return json.loads(writer.end())


@pytest.mark.parametrize("data, rows", [
    (b"[1]\n[2]\r\n\n \t\r\n[ {\"b\":1,\"a\":-0} ]", ["[1]", "[2]", '[ {"b":1,"a":-0} ]']),
    (b'[1E2]\r\n[18446744073709551616]\n["\\u00e9\\/\\u001f"]\n' + DEEP + b"\n",
     ["[1E2]", "[18446744073709551616]", '["\\u00e9\\/\\u001f"]', DEEP.decode()]),
    (b"", []),
])
def test_lines_are_stored_as_rows_stores_them(tmp_path, data, rows):
    result, record = feed(tmp_path, data)
    assert result == (len(rows), len(data))
    assert record == stored(tmp_path, "[" + ",".join(rows) + "]")


@pytest.mark.parametrize("data, line, row, message", [
    (b"[1]\n\xff\n", 2, 2, "not UTF-8 (invalid start byte)"),
    (b'[1]\n\n["\xe2\x82"]\r\n', 3, 2, "not UTF-8 (invalid continuation byte)"),
    (b'["\xe2\x82', 1, 1, "not UTF-8 (unexpected end of data)"),
    (b"[1,\n", 1, 1, "not JSON (EOF while parsing a value at column 4)"),
    (b"[NaN]\n", 1, 1, "not JSON (expected value at column 2)"),
    (b"[1]\n[1e999]", 2, 2, "not JSON (number out of range at column 2)"),
    (b"[" + DEEP + b"]", 1, 1, "not JSON (recursion limit exceeded at column 127)"),
    (b"\n[1,2]\n", 2, 1, "2 values, the format has 1"),
    (b"[1]\n{}\n", 2, 2, "not a list of values"),
])
def test_bad_lines(tmp_path, data, line, row, message):
    with pytest.raises(ValueError) as caught:
        feed(tmp_path, data)
    assert (str(caught.value), caught.value.line, caught.value.row) == (message, line, row)


def test_progress_every_10000_rows(tmp_path):
    data = b"[1]\n" * 25000
    calls = []
    assert feed(tmp_path, data, lambda rows, size: calls.append((rows, size)))[0] == (25000, len(data))
    assert calls == [(10000, 40000), (20000, 80000)]


def test_refusals_and_interrupt(tmp_path):
    writer = Writer(tmp_path / "a.quarlen")
    with pytest.raises(ValueError, match="^begin a member first$"):
        _native._write_json_lines(writer, 0, None)
    writer.begin(NAME)
    with pytest.raises(OSError):
        _native._write_json_lines(writer, 10**6, None)
    # Ctrl-C stops a read that waits on a pipe which sends nothing, with Python's own handler (a shell's
    # background job starts with SIGINT ignored). Should it not, the input ends after 10 s: a failure, not a hang.
    read_end, write_end = os.pipe()
    answered = threading.Event()

    def press():
        if not answered.wait(0.2):
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
        if not answered.wait(10):
            os.close(write_end)

    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    presser = threading.Thread(target=press)
    presser.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            _native._write_json_lines(writer, read_end, None)
    finally:
        answered.set()
        presser.join()
        signal.signal(signal.SIGINT, previous)
        os.close(read_end)
        with contextlib.suppress(OSError):
            os.close(write_end)


@pytest.mark.parametrize("text, lines", [
    ("[]", ""),
    ('[[1,"a,]\\"b\\\\"],{"k":[2,{}]},"x",-1.5e-7,null]', '[1,"a,]\\"b\\\\"]\n{"k":[2,{}]}\n"x"\n-1.5e-7\nnull\n'),
])
def test_array_lines(text, lines):
    assert _native._array_lines(text) == lines
