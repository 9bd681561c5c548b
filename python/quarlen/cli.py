"""The quarlen command line: verify, inspect, read, write and compare .quarlen files.

Exit codes: 0 success; 1 a file that fails verification, or a member that
`read` does not find in the file; 2 bad usage, a file that cannot be read or
written, standard output that fails, or a closed standard input that is to be
read. `diff` exits as diff(1) does: 0 when the snapshots hold the same rows, 1
when they differ, 2 when a file cannot be read or fails verification. Output
cut short by its reader (`| head`) never changes the code.
"""

from __future__ import annotations

import argparse
import contextlib
import difflib
import errno
import json
import math
import os
import queue
import re
import signal
import stat
import sys
import threading
import traceback
from typing import IO, Any, Callable, Iterator, NoReturn, Sequence

from . import _native
from .compare import COLUMNS, RawChange, _compared_members, _member_changes
from .snapshot import SnapshotWriter, _create

EXIT_OK = 0
EXIT_PROBLEMS = 1
EXIT_FAILURE = 2

# Rows between two updates of the progress line on a terminal.
PROGRESS_ROWS = 10_000


class CommandError(Exception):
    """A failure that ends the command with a message and EXIT_FAILURE."""


def _silence(stream: IO[str]) -> None:
    """Points a stream whose reader went away (say, `| head`) at the null device,
    so that the rest of the output, and the flush at exit, go nowhere quietly."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, stream.fileno())
    os.close(devnull)


def _output_failed(stream: IO[str], error: OSError) -> None:
    """After a failed write or flush: the stream is silenced, and a failure of
    standard output other than a closed pipe (a full disk, an I/O error) ends
    the command. Standard error has nowhere to report its own."""
    _silence(stream)
    if stream is sys.stdout and not isinstance(error, BrokenPipeError):
        raise CommandError(f"standard output: {error.strerror or error}") from None


def _write_to(stream: IO[str], text: str) -> None:
    try:
        stream.write(text)
    except OSError as error:
        _output_failed(stream, error)


def _stdout_write(text: str) -> None:
    _write_to(sys.stdout, text)


def _stderr_write(text: str) -> None:
    _write_to(sys.stderr, text)


# --- splitting the module's compact array text into rows ----------------------

# A JSON string, or one structural character. Strings are skipped whole so that
# brackets and commas inside them are never mistaken for structure.
_TOKEN = re.compile(r'"[^"\\]*(?:\\.[^"\\]*)*"|[\[\]{},]')


def _cut_rows(array_text: str) -> Iterator[str]:
    """Yields the elements of a compact JSON array text as they stand.

    The module's texts are already in the canonical compact form, so rows are
    cut out rather than parsed and written again, which would change how some
    numbers are spelled (see cmd_read).
    """
    depth = 0
    start = 1
    for match in _TOKEN.finditer(array_text):
        ch = array_text[match.start()]
        if ch == '"':
            continue
        if ch in "[{":
            depth += 1
        elif ch in "]}":
            depth -= 1
            if depth == 0:
                if match.start() > start:
                    yield array_text[start : match.start()]
                return
        elif depth == 1:  # a comma between two elements
            yield array_text[start : match.start()]
            start = match.end()


# --- verify -------------------------------------------------------------------


def _print_report(path: str, report: dict[str, Any]) -> None:
    members = report["members"]
    problems = report["problems"]
    total = sum(members.values())
    if report["ok"]:
        status = "ok"
    else:
        status = f"FAILED ({len(problems)} problem{'s' if len(problems) != 1 else ''})"
    _stdout_write(f"{path}: {status}, {len(members)} members read, {total} rows\n")
    if members:
        width = max(len("member"), *(len(name) for name in members))
        _stdout_write(f"  {'member':<{width}}  {'rows':>10}\n")
        for name, rows in members.items():
            _stdout_write(f"  {name:<{width}}  {rows:>10}\n")
    for problem in problems:
        _stdout_write(f"  problem: {problem}\n")


def _stdout_flush() -> None:
    try:
        sys.stdout.flush()
    except OSError as error:
        _output_failed(sys.stdout, error)


def _stdin() -> IO[bytes]:
    if sys.stdin is None:
        raise CommandError("standard input: closed")
    return sys.stdin.buffer


def _verify_file(path: str) -> tuple[str | None, str | None]:
    """(the report's JSON text, None), or (None, the reason the file cannot be read)."""
    try:
        return _native.verify(path), None
    except ValueError as error:
        return None, str(error)


def _verified_in_order(paths: Sequence[str], jobs: int) -> Iterator[tuple[str | None, str | None]]:
    """Verifies the files in `jobs` threads, and yields each outcome in the
    order of `paths` as soon as it and all before it are known.

    The native verify lets go of the interpreter lock while it reads, so the
    threads really work at once. They are daemons: a verify cannot be
    interrupted, and the command must not wait for one on Ctrl-C.
    """
    outcomes: list[tuple[str | None, str | None] | BaseException | None] = [None] * len(paths)
    known = [threading.Event() for _ in paths]
    pending: queue.SimpleQueue[int] = queue.SimpleQueue()
    for index in range(len(paths)):
        pending.put(index)

    def work() -> None:
        while True:
            try:
                index = pending.get_nowait()
            except queue.Empty:
                return
            try:
                outcomes[index] = _verify_file(paths[index])
            except BaseException as error:  # MemoryError, say: raised again in order
                outcomes[index] = error
            known[index].set()

    for _ in range(min(jobs, len(paths))):
        threading.Thread(target=work, name="quarlen-verify", daemon=True).start()
    for index in range(len(paths)):
        known[index].wait()
        outcome = outcomes[index]
        if isinstance(outcome, BaseException):
            raise outcome
        assert outcome is not None
        yield outcome


def _leave_now(status: int) -> NoReturn:
    """Ends the process at once, once what was printed is flushed.

    The verify threads may be inside a native verify, which cannot be
    interrupted and lasts as long as its file is large. The interpreter's
    normal shutdown does not wait for daemon threads, but it tears the
    interpreter down under them, and one that comes back from the native
    code then is stopped in a way the C++ code cannot survive (the process
    aborts). Leaving with os._exit is both prompt and safe: the threads only
    read, and everything written is flushed first.
    """
    with contextlib.suppress(CommandError):
        _stdout_flush()
    with contextlib.suppress(OSError):
        sys.stderr.flush()
    os._exit(status)


def cmd_verify(args: argparse.Namespace) -> int:
    status = EXIT_OK
    try:
        for path, (text, error) in zip(args.files, _verified_in_order(args.files, args.jobs)):
            if text is None:
                if args.json:
                    _stdout_write(json.dumps({"file": path, "error": error}, ensure_ascii=False, separators=(",", ":")) + "\n")
                else:
                    _stderr_write(f"quarlen: {error}\n")
                status = EXIT_FAILURE
            else:
                report = json.loads(text)
                if args.json:
                    _stdout_write(f'{{"file":{json.dumps(path, ensure_ascii=False)},"report":{text}}}\n')
                else:
                    _print_report(path, report)
                if not report["ok"] and status == EXIT_OK:
                    status = EXIT_PROBLEMS
            _stdout_flush()
    except KeyboardInterrupt:
        _leave_now(130)
    except CommandError as error:
        _stderr_write(f"quarlen: {error}\n")
        _leave_now(EXIT_FAILURE)
    except BaseException:
        # Unexpected (MemoryError, say): reported as Python would, and left
        # the same way, since other threads may still be inside a verify.
        traceback.print_exc()
        _leave_now(1)
    return status


# --- manifest, read, members, unit-hash --------------------------------------


def cmd_manifest(args: argparse.Namespace) -> int:
    text = _native.manifest(args.file)
    if args.compact:
        _stdout_write(text + "\n")
    else:
        _stdout_write(json.dumps(json.loads(text), indent=2, ensure_ascii=False) + "\n")
    return EXIT_OK


def cmd_read(args: argparse.Namespace) -> int:
    # The rows are printed as the file stores them, which quarlen.iter_rows
    # and json.dumps cannot reproduce: Python spells some doubles otherwise
    # (1e20 is stored as 1e20 and dumped as 1e+20, 1e-7 as 1e-07,
    # 1.2345678901234568e29 as 1.2345678901234568e+29). So the member's
    # compact text is read whole and cut into rows.
    text = _native.read(args.file, args.member)
    if text == "[]" and args.member not in json.loads(_native.manifest(args.file))["members"]:
        # Told apart from an empty member, so that a mistyped key is noticed.
        _stderr_write(f"quarlen: {args.member}: not in {args.file}\n")
        return EXIT_PROBLEMS
    if args.array:
        _stdout_write(text + "\n")
        return EXIT_OK
    out = sys.stdout
    try:
        for row in _cut_rows(text):
            out.write(row)
            out.write("\n")
    except OSError as error:
        _output_failed(out, error)
    return EXIT_OK


def cmd_members(args: argparse.Namespace) -> int:
    text = _native.members()
    if args.json:
        _stdout_write(text + "\n")
        return EXIT_OK
    table = json.loads(text)
    width = max(len(name) for name, _, _ in table)
    for name, columns, keyed in table:
        label = f"{name}/KEY" if keyed else name
        _stdout_write(f"{label:<{width + 4}}  {', '.join(columns)}\n")
    return EXIT_OK


def _read_text_argument(source: str) -> str:
    try:
        if source == "-":
            data = _stdin().read()
        else:
            with open(source, "rb") as handle:
                data = handle.read()
    except OSError as error:
        raise CommandError(f"{source}: {error.strerror or error}") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise CommandError(f"{source}: not UTF-8 text ({error.reason} at byte {error.start})") from None


def cmd_unit_hash(args: argparse.Namespace) -> int:
    text = _read_text_argument(args.text)
    _stdout_write(_native.unit_hash(args.owner, args.object_type, args.object_name, text) + "\n")
    return EXIT_OK


# --- write --------------------------------------------------------------------


class _Progress:
    """Rows and bytes per member on standard error, when it is a terminal."""

    def __init__(self) -> None:
        self.enabled = sys.stderr.isatty()

    def update(self, name: str, rows: int, size: int, done: bool = False) -> None:
        if not self.enabled:
            return
        sys.stderr.write(f"\r\x1b[K{name}: {rows:,} rows, {size / 1e6:,.1f} MB")
        if done:
            sys.stderr.write("\n")
        sys.stderr.flush()


def _parse_source(spec: str) -> tuple[str, str]:
    name, sep, source = spec.partition("=")
    if not sep or not name or not source:
        raise CommandError(f"{spec}: expected NAME=ROWS.jsonl (or NAME=- for standard input)")
    return name, source


def _open_source(source: str) -> IO[bytes]:
    if source == "-":
        return _stdin()
    try:
        return open(source, "rb")
    except OSError as error:
        raise CommandError(f"{source}: {error.strerror or error}") from None


class _NotJSON(ValueError):
    """A text that is not one JSON value the writer takes; the message says why."""


def _refuse_constant(name: str) -> Any:
    raise _NotJSON(f"{name} is not a JSON value")


def _finite_float(text: str) -> float:
    value = float(text)
    if math.isinf(value):
        raise _NotJSON("number out of range")
    return value


def _integer(text: str) -> int | float:
    # The writer's own JSON reader takes -0 for the double -0.0, where Python
    # makes it the integer 0: kept as the double, the row is stored as
    # Writer.rows stores the same text.
    if text == "-0":
        return -0.0
    # Past 309 digits an integer is beyond the largest double, where the
    # writer refuses it (and Python's digit limit would refuse it vaguely).
    if len(text) - text.startswith("-") > 309:
        raise _NotJSON("number out of range")
    return int(text)


_DECODER = json.JSONDecoder(parse_constant=_refuse_constant, parse_float=_finite_float, parse_int=_integer)


def _parse_json(text: str, position: Callable[[json.JSONDecodeError], str]) -> Any:
    """One JSON value as the writer takes it: NaN and the infinities, which
    JSON has no form for, are refused. Raises _NotJSON with the reason."""
    try:
        return _DECODER.decode(text)
    except json.JSONDecodeError as error:
        raise _NotJSON(f"{error.msg} at {position(error)}") from None
    except RecursionError:
        raise _NotJSON("nested too deeply") from None


def _column(error: json.JSONDecodeError) -> str:
    return f"column {error.colno}"


def _line_and_column(error: json.JSONDecodeError) -> str:
    return f"line {error.lineno} column {error.colno}"


class _Rows:
    """The rows of one JSON-lines input, one for each line that is not blank,
    and the line of the last one handed out, which is the row that the writer
    is taking when it refuses one."""

    def __init__(self, source: str, handle: IO[bytes], name: str, progress: _Progress) -> None:
        self.source = source
        self.handle = handle
        self.name = name
        self.progress = progress
        self.rows = 0
        self.size = 0
        self.line = 0

    def __iter__(self) -> Iterator[Any]:
        source = self.source
        try:
            for number, raw in enumerate(self.handle, start=1):
                try:
                    line = raw.decode("utf-8")
                except UnicodeDecodeError as error:
                    raise CommandError(f"{source} line {number}: not UTF-8 ({error.reason})") from None
                if not line.strip():
                    continue
                try:
                    row = _parse_json(line.rstrip("\r\n"), _column)
                except _NotJSON as error:
                    raise CommandError(f"{source} line {number}: not JSON ({error})") from None
                self.rows += 1
                self.size += len(raw)
                self.line = number
                if self.rows % PROGRESS_ROWS == 0:
                    self.progress.update(self.name, self.rows, self.size)
                yield row
        except OSError as error:
            raise CommandError(f"{source}: {error.strerror or error}") from None

    def refusal(self, error: ValueError) -> CommandError | None:
        """The writer's refusal of the last row, told about the input's line;
        None for a failure that is not about that row."""
        prefix = f"{self.name} row {self.rows}: "
        message = str(error)
        if not message.startswith(prefix):
            return None
        return CommandError(f"{self.source} line {self.line}: {message[len(prefix):]}")


def _write_member(snap: SnapshotWriter, name: str, source: str, progress: _Progress) -> int:
    """Writes one member from its input; returns its row count."""
    handle = _open_source(source)
    try:
        rows = _Rows(source, handle, name, progress)
        try:
            record = snap.write(name, rows)
        except ValueError as error:
            refusal = rows.refusal(error)
            if refusal is None:
                raise
            raise refusal from None
    finally:
        if source != "-":
            handle.close()
    progress.update(name, rows.rows, rows.size, done=True)
    count: int = record["rows"]
    return count


def _read_header(source: str | None) -> dict[str, Any]:
    """The header, once it is known to be a JSON object the manifest can take."""
    if source is None:
        return {}
    text = _read_text_argument(source)
    try:
        header = _parse_json(text, _line_and_column)
    except _NotJSON as error:
        raise CommandError(f"{source}: not JSON ({error})") from None
    if not isinstance(header, dict):
        raise CommandError(f"{source}: not a JSON object")
    for key in ("format", "members"):
        if key in header:
            raise CommandError(f'{source}: "{key}" belongs to the file, not to the header')
    return header


def _identity(source: str) -> tuple[int, int]:
    """The device and inode of an input, which must exist and be readable.

    Only a regular file is opened to find out: opening and closing a named
    pipe would block, or end the writer at its other end."""
    try:
        if source == "-":
            info = os.fstat(_stdin().fileno())
        else:
            info = os.stat(source)
            if stat.S_ISREG(info.st_mode):
                with open(source, "rb"):
                    pass
            elif not os.access(source, os.R_OK):
                raise PermissionError(errno.EACCES, os.strerror(errno.EACCES))
    except OSError as error:
        raise CommandError(f"{source}: {error.strerror or error}") from None
    return info.st_dev, info.st_ino


def _terminate(signum: int, frame: object) -> None:
    raise SystemExit(128 + signum)


def cmd_write(args: argparse.Namespace) -> int:
    # SIGTERM, like Ctrl-C, leaves through the snapshot's cleanup: OUT stays
    # as it was and the hidden file goes.
    signal.signal(signal.SIGTERM, _terminate)
    sources = [_parse_source(spec) for spec in args.members]
    if sum(1 for _, source in sources if source == "-") + (args.header == "-") > 1:
        raise CommandError("standard input can feed only one member or the header")
    # Everything that can be checked is checked before a file is created.
    names: set[str] = set()
    for name, _ in sources:
        _native._check_member(name)
        if name in names:
            raise CommandError(f"{name}: written already")
        names.add(name)
    header = _read_header(args.header)
    inputs = {_identity(source) for _, source in sources}
    if args.header is not None:
        inputs.add(_identity(args.header))
    try:
        out = os.stat(args.out)
    except OSError:
        pass  # a new file, or one that the write refuses below with its reason
    else:
        if (out.st_dev, out.st_ino) in inputs:
            raise CommandError(f"{args.out}: is also an input")
        if not stat.S_ISREG(out.st_mode):
            raise CommandError(f"{args.out}: not a regular file, so it is not replaced")

    progress = _Progress()
    total = 0
    try:
        # The file is deleted on any failure, so the writer's complaint when
        # closing it fails too (the same full disk) is not worth a word.
        with _create(args.out, header, quiet_discard=True, hold_after_commit=True) as snap:
            for name, source in sources:
                total += _write_member(snap, name, source, progress)
    except OSError as error:
        raise CommandError(f"{args.out}: {error.strerror or error}") from None
    except ValueError as error:
        # What is left is the writer's trouble with the file itself (a full disk, say).
        raise CommandError(f"{args.out}: {error}") from None
    _stderr_write(f"{args.out}: {len(sources)} members, {total} rows\n")
    return EXIT_OK


# --- diff ---------------------------------------------------------------------

EXIT_DIFFERENT = 1

# How people read each member's key: its values put in place. Members whose
# whole row is the key show the row's JSON text.
_KEY_FORMS = {
    "objects": "{0}.{1} {2}",
    "columns": "{0}.{1}.{2}",
    "constraints": "{0}.{1}",
    "type_attrs": "{0}.{1}.{2}",
    "synonyms": "{0}.{1}",
    "triggers": "{0}.{1}",
    "comments": "{0}.{1}.{2}",
    "plscope_declarations": "{0}.{1} {2} {3}",
    "external_objects": "{0}.{1} {2}",
    "external_columns": "{0}.{1}.{2}",
    "external_synonyms": "{0}.{1}",
    "scheduler": "{0} {1}.{2}",
    "external_tables": "{0}.{1}",
    "units": "{0}.{1} {2}",
    "plscope_identifiers": "{0} {1} {2}",
    "plscope_statements": "{0} {1} {2}",
    "runtime_sql": "{0} {1}",
}

# Digits of a unit_hash shown for a changed source text.
_HASH_DIGITS = 12


def _shown(value: object) -> str:
    """A value as people read it: a plain one-line str as it is, anything else as JSON."""
    if isinstance(value, str) and value and value.isprintable() and value.strip() == value:
        return value
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def _key_shown(member: str, key_text: str) -> str:
    form = _KEY_FORMS.get(member.partition("/")[0])
    if form is None:
        return key_text
    return form.format(*(_shown(value) for value in json.loads(key_text)))


def _source_shown(row: list[object]) -> str:
    """A unit's source text as the start of its unit_hash."""
    owner, name, kind, text = row
    if not (isinstance(owner, str) and isinstance(name, str) and isinstance(kind, str) and isinstance(text, str)):
        return _shown(text)
    return _native.unit_hash(owner, kind, name, text)[:_HASH_DIGITS] + "..."


def _lines(text: str) -> list[str]:
    """The lines of a text, each with its line feed; the last may have none."""
    lines = [line + "\n" for line in text.split("\n")]
    lines[-1] = lines[-1][:-1]
    return lines if lines[-1] else lines[:-1]


def _unified(old_text: str, new_text: str, old_label: str, new_label: str) -> Iterator[str]:
    for line in difflib.unified_diff(_lines(old_text), _lines(new_text), old_label, new_label):
        yield line if line.endswith("\n") else line + "\n\\ No newline at end of file\n"


def _change_lines(change: RawChange, args: argparse.Namespace) -> Iterator[str]:
    member, kind, key, old_text, new_text, columns = change
    if args.json:
        # The key and rows go out as the module wrote them, in the canonical form.
        fields = [
            f'"member":{json.dumps(member, ensure_ascii=False)}',
            f'"change":"{kind}"',
            f'"key":{key}',
            f'"old":{old_text or "null"}',
            f'"new":{new_text or "null"}',
            f'"columns":{json.dumps(list(columns), separators=(",", ":"))}',
        ]
        yield "{" + ",".join(fields) + "}\n"
        return
    shown = f"{member} {_key_shown(member, key)}"
    if kind == "added":
        yield f"+ {shown}\n"
        return
    if kind == "removed":
        yield f"- {shown}\n"
        return
    old_row, new_row = json.loads(old_text), json.loads(new_text)
    positions = {name: i for i, name in enumerate(COLUMNS[member.partition("/")[0]])}
    parts = []
    unit_texts = None
    for column in columns:
        i = positions[column]
        if member == "units" and column == "source_text":
            if args.units and isinstance(old_row[i], str) and isinstance(new_row[i], str):
                unit_texts = (old_row[i], new_row[i])
                parts.append(column)
                continue
            parts.append(f"{column} {_source_shown(old_row)} -> {_source_shown(new_row)}")
        else:
            parts.append(f"{column} {_shown(old_row[i])} -> {_shown(new_row[i])}")
    yield f"~ {shown}: {', '.join(parts)}\n"
    if unit_texts is not None:
        yield from _unified(*unit_texts, args.old, args.new)


def _stat_lines(counts: dict[str, list[int]]) -> Iterator[str]:
    total = [0, 0, 0]
    for member, (added, removed, changed) in counts.items():
        yield f"{member}: +{added} -{removed} ~{changed}\n"
        total = [total[0] + added, total[1] + removed, total[2] + changed]
    yield f"total: +{total[0]} -{total[1]} ~{total[2]}\n"


def cmd_diff(args: argparse.Namespace) -> int:
    names = _compared_members(args.old, args.new, args.member)
    counts: dict[str, list[int]] = {}
    found = False
    out = sys.stdout
    try:
        for name in names:
            changes = _member_changes(args.old, args.new, name, as_json=True)
            found = found or bool(changes)
            for change in changes:
                if args.stat:
                    counts.setdefault(name, [0, 0, 0])[("added", "removed", "changed").index(change[1])] += 1
                    continue
                for line in _change_lines(change, args):
                    out.write(line)
        if args.stat:
            for line in _stat_lines(counts):
                out.write(line)
    except OSError as error:
        # After a closed pipe, whoever read the output has seen enough; the
        # status stays what was found.
        _output_failed(out, error)
    return EXIT_DIFFERENT if found else EXIT_OK


# --- demo ---------------------------------------------------------------------


def cmd_demo(args: argparse.Namespace) -> int:
    from . import demo

    path = args.path
    manifest = demo.write_sample(path)
    _stdout_write(f"wrote {path}: {len(manifest['members'])} members\n")
    for name in ("objects", "units", "plscope_identifiers/APP"):
        rows = json.loads(_native.read(path, name))
        _stdout_write(f"read {name}: {len(rows)} rows, first {json.dumps(rows[0], ensure_ascii=False)[:100]}\n")
    report = json.loads(_native.verify(path))
    _print_report(path, report)
    return EXIT_OK if report["ok"] else EXIT_PROBLEMS


# --- entry point --------------------------------------------------------------


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quarlen",
        description="Write, read, verify and compare .quarlen database catalogue snapshots.",
        epilog="Exit codes: 0 success, 1 a file fails verification (or read: the member is not in the file; "
        "diff: the snapshots differ), 2 bad usage or a file that cannot be read or written (diff: or "
        "fails verification).",
    )
    parser.add_argument("--version", action="version", version=f"quarlen {_native.version()} ({_native.FORMAT})")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = commands.add_parser("verify", help="check every member of each file against its manifest")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("--json", action="store_true", help='one JSON object per file: {"file", "report"} or {"file", "error"}')
    p.add_argument(
        "-j",
        "--jobs",
        type=_positive,
        default=os.cpu_count() or 1,
        metavar="N",
        help="verify N files at a time; the reports still come in the order of the files (default: the number of CPUs, %(default)s)",
    )
    p.set_defaults(run=cmd_verify)

    p = commands.add_parser("manifest", help="print the checked manifest of a file")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--compact", action="store_true", help="print it on one line")
    p.set_defaults(run=cmd_manifest)

    p = commands.add_parser("read", help="print one member's rows as JSON lines")
    p.add_argument("file", metavar="FILE")
    p.add_argument("member", metavar="MEMBER", help="a member name, with /KEY for a keyed member")
    p.add_argument("--array", action="store_true", help="print the rows as one JSON array instead")
    p.set_defaults(run=cmd_read)

    p = commands.add_parser(
        "write",
        help="build a snapshot from JSON-lines files",
        description="Build a snapshot from JSON-lines files, one row (a JSON array) per line. "
        "OUT is replaced only by a complete snapshot: on any failure it stays as it was.",
    )
    p.add_argument("out", metavar="OUT")
    p.add_argument("members", nargs="+", metavar="NAME=ROWS.jsonl", help="a member and its rows; - reads standard input")
    p.add_argument("--header", metavar="HEADER.json", help="a JSON object whose keys go into the manifest")
    p.set_defaults(run=cmd_write)

    p = commands.add_parser(
        "diff",
        help="show the rows that differ between two snapshots",
        description="Show the rows that differ between two snapshots, matched by each member's key: "
        "+ added, - removed, ~ changed (with the columns that differ). Every member compared is "
        "verified first. Exit codes: 0 the same rows, 1 they differ, 2 a file cannot be read or "
        "fails verification.",
    )
    p.add_argument("old", metavar="OLD")
    p.add_argument("new", metavar="NEW")
    p.add_argument("--member", action="append", metavar="NAME",
                   help="compare only this member (a bare keyed name: all its instances); may repeat")
    form = p.add_mutually_exclusive_group()
    form.add_argument("--json", action="store_true", help='one JSON object per change: '
                      '{"member","change","key","old","new","columns"}')
    form.add_argument("--stat", action="store_true", help="only the counts per member and in all")
    form.add_argument("--units", action="store_true", help="a unified diff of each changed source text")
    p.set_defaults(run=cmd_diff)

    p = commands.add_parser("members", help="list the format's members and their columns")
    p.add_argument("--json", action="store_true", help="print the module's JSON text")
    p.set_defaults(run=cmd_members)

    p = commands.add_parser("unit-hash", help="fingerprint a source unit")
    p.add_argument("owner", metavar="OWNER")
    p.add_argument("object_type", metavar="OBJECT_TYPE")
    p.add_argument("object_name", metavar="OBJECT_NAME")
    p.add_argument("text", metavar="FILE", nargs="?", default="-", help="the source text; - or absent for standard input")
    p.set_defaults(run=cmd_unit_hash)

    p = commands.add_parser("demo", help="write a sample snapshot, read it back and verify it")
    p.add_argument("path", metavar="PATH", nargs="?", default="demo.quarlen")
    p.set_defaults(run=cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    # Started with standard output or error closed, the program carries on as
    # if its reader had gone away; a closed standard input is told when read.
    if sys.stdout is None:
        sys.stdout = open(os.devnull, "w")
    if sys.stderr is None:
        sys.stderr = open(os.devnull, "w")
    args = build_parser().parse_args(argv)
    try:
        status = int(args.run(args))
    except (CommandError, ValueError) as error:
        status = EXIT_FAILURE
        _stderr_write(f"quarlen: {error}\n")
    except MemoryError:
        status = EXIT_FAILURE
        _stderr_write("quarlen: out of memory\n")
    except KeyboardInterrupt:
        return 130
    try:
        _stdout_flush()
    except CommandError as error:
        status = EXIT_FAILURE
        _stderr_write(f"quarlen: {error}\n")
    return status
