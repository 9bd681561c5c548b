"""The quarlen command line: verify, inspect, read, write and compare .quarlen files.

Exit codes: 0 success; 1 a file that fails verification, or a member that
`read` does not find in the file; 2 bad usage, or a file that cannot be read or
written. `diff` exits as diff(1) does: 0 when the snapshots hold the same rows,
1 when they differ, 2 when a file cannot be read or fails verification. Output
cut short by its reader (`| head`) never changes the code.
"""

from __future__ import annotations

import argparse
import contextlib
import difflib
import json
import os
import re
import signal
import stat
import sys
import tempfile
import traceback
from typing import IO, Callable, Iterator, Sequence

from . import _native
from .compare import COLUMNS, RawChange, _compared_members, _member_changes

EXIT_OK = 0
EXIT_PROBLEMS = 1
EXIT_FAILURE = 2

# Rows handed to the writer per call: large enough to keep the per-call cost
# negligible, small enough that memory stays bounded for any input size.
BATCH_ROWS = 10_000


class CommandError(Exception):
    """A failure that ends the command with a message and EXIT_FAILURE."""


def _silence(stream: IO[str]) -> None:
    """Points a stream whose reader went away (say, `| head`) at the null device,
    so that the rest of the output, and the flush at exit, go nowhere quietly."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, stream.fileno())
    os.close(devnull)


def _write_to(stream: IO[str], text: str) -> None:
    try:
        stream.write(text)
    except BrokenPipeError:
        _silence(stream)


def _stdout_write(text: str) -> None:
    _write_to(sys.stdout, text)


def _stderr_write(text: str) -> None:
    _write_to(sys.stderr, text)


# --- splitting the module's compact array text into rows ----------------------

# A JSON string, or one structural character. Strings are skipped whole so that
# brackets and commas inside them are never mistaken for structure.
_TOKEN = re.compile(r'"[^"\\]*(?:\\.[^"\\]*)*"|[\[\]{},]')


def iter_rows(array_text: str) -> Iterator[str]:
    """Yields the elements of a compact JSON array text as they stand.

    The module's texts are already in the canonical compact form, so rows are
    cut out rather than parsed and written again, which would change how some
    numbers are spelled.
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


def _print_report(path: str, report: dict) -> None:
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


def cmd_verify(args: argparse.Namespace) -> int:
    status = EXIT_OK
    for path in args.files:
        try:
            text = _native.verify(path)
        except ValueError as error:
            if args.json:
                _stdout_write(json.dumps({"file": path, "error": str(error)}, ensure_ascii=False, separators=(",", ":")) + "\n")
            else:
                _stderr_write(f"quarlen: {error}\n")
            status = EXIT_FAILURE
            continue
        report = json.loads(text)
        if args.json:
            _stdout_write(f'{{"file":{json.dumps(path, ensure_ascii=False)},"report":{text}}}\n')
        else:
            _print_report(path, report)
        if not report["ok"] and status == EXIT_OK:
            status = EXIT_PROBLEMS
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
        for row in iter_rows(text):
            out.write(row)
            out.write("\n")
    except BrokenPipeError:
        _silence(out)
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
            data = sys.stdin.buffer.read()
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
        return sys.stdin.buffer
    try:
        return open(source, "rb")
    except OSError as error:
        raise CommandError(f"{source}: {error.strerror or error}") from None


def _batches(source: str, handle: IO[bytes]) -> Iterator[tuple[list[int], list[str]]]:
    """Yields (line numbers, lines) for up to BATCH_ROWS non-blank lines."""
    numbers: list[int] = []
    lines: list[str] = []
    for number, raw in enumerate(handle, start=1):
        try:
            line = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            raise CommandError(f"{source} line {number}: not UTF-8 ({error.reason})") from None
        if not line.strip():
            continue
        numbers.append(number)
        lines.append(line.rstrip("\r\n"))
        if len(lines) == BATCH_ROWS:
            yield numbers, lines
            numbers, lines = [], []
    if lines:
        yield numbers, lines


_AT_LINE = re.compile(r" at line (\d+) column (\d+)$")


def _locate_fault(source: str, name: str, numbers: list[int], message: str) -> str | None:
    """Turns the writer's message about a batch into one about a line of the
    input; None when the fault is not the input's."""
    row_fault = re.match(re.escape(name) + r" row (\d+): (.*)$", message)
    if row_fault:
        return f"{source} line {numbers[int(row_fault.group(1)) - 1]}: {row_fault.group(2)}"
    prefix = "rows are not JSON: "
    if message.startswith(prefix):
        description = message[len(prefix) :]
        at = _AT_LINE.search(description)
        if at:
            # The batch text puts each input line on a line of its own.
            index = min(max(int(at.group(1)), 1), len(numbers))
            return f"{source} line {numbers[index - 1]}: {description[: at.start()]}"
        return f"{source}: {description}"
    return None


def _write_member(writer: _native.Writer, name: str, source: str, progress: _Progress) -> None:
    writer.begin(name)
    rows = 0
    size = 0
    handle = _open_source(source)
    try:
        for numbers, lines in _batches(source, handle):
            try:
                count = writer.rows("[" + "\n,".join(lines) + "\n]")
            except ValueError as error:
                located = _locate_fault(source, name, numbers, str(error))
                if located is None:
                    raise
                raise CommandError(located) from None
            if count != len(lines):
                bad = next((i for i, line in enumerate(lines) if not _one_value(line)), 0)
                raise CommandError(f"{source} line {numbers[bad]}: more than one JSON value on the line")
            rows += count
            size += sum(len(line) for line in lines)
            progress.update(name, rows, size)
    finally:
        if handle is not sys.stdin.buffer:
            handle.close()
    writer.end()
    progress.update(name, rows, size, done=True)


def _one_value(line: str) -> bool:
    try:
        json.loads(line)
    except ValueError:
        return False
    return True


def _read_header(source: str | None) -> str:
    """The header's text, once it is known to be a JSON object the manifest can take."""
    if source is None:
        return "{}"
    text = _read_text_argument(source)
    try:
        header = json.loads(text)
    except json.JSONDecodeError as error:
        raise CommandError(f"{source}: not JSON ({error.msg} at line {error.lineno} column {error.colno})") from None
    if not isinstance(header, dict):
        raise CommandError(f"{source}: not a JSON object")
    for key in ("format", "members"):
        if key in header:
            raise CommandError(f'{source}: "{key}" belongs to the file, not to the header')
    return text


def _identity(source: str) -> tuple[int, int]:
    """The device and inode of an input, which must exist and open for reading."""
    try:
        if source == "-":
            info = os.fstat(sys.stdin.fileno())
        else:
            with open(source, "rb") as handle:
                info = os.fstat(handle.fileno())
    except OSError as error:
        raise CommandError(f"{source}: {error.strerror or error}") from None
    return info.st_dev, info.st_ino


@contextlib.contextmanager
def _stderr_silenced() -> Iterator[None]:
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 2)
        os.close(devnull)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _terminate(signum: int, frame: object) -> None:
    raise SystemExit(128 + signum)


_INTERRUPTS = {signal.SIGINT, signal.SIGTERM}


def _replace_atomically(out: str, build: Callable[[_native.Writer], str]) -> str:
    """Lets `build` write a file under a hidden name beside OUT, and puts it in
    OUT's place only once it is complete and on disk. On any failure, Ctrl-C or
    SIGTERM included, the hidden file goes and an existing OUT stays as it was."""
    target = os.path.realpath(out)  # a symbolic link keeps pointing at the snapshot
    directory, base = os.path.split(target)
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except OSError:
        mode = 0o666 & ~_umask()
    # An interrupt waits until the file exists and the cleanup below covers it.
    unblocked = signal.pthread_sigmask(signal.SIG_BLOCK, _INTERRUPTS)
    try:
        fd, temp = tempfile.mkstemp(dir=directory, prefix=f".{base}.", suffix=".tmp")
    except OSError as error:
        signal.pthread_sigmask(signal.SIG_SETMASK, unblocked)
        raise CommandError(f"{out}: {error.strerror or error}") from None
    writer = None
    replaced = False
    try:
        signal.pthread_sigmask(signal.SIG_SETMASK, unblocked)
        writer = _native.Writer(temp)
        manifest = build(writer)
        os.fchmod(fd, mode)
        os.fsync(fd)
        os.replace(temp, target)
        replaced = True
        directory_fd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(directory_fd)
        finally:
            os.close(directory_fd)
        return manifest
    except BaseException as error:
        # A second Ctrl-C waits until the hidden file is gone.
        signal.pthread_sigmask(signal.SIG_BLOCK, _INTERRUPTS)
        try:
            # The frames of the failure hold the writer too: let them go, so
            # that it closes its file now. The file is deleted anyway, so a
            # failure to close it (the same full disk, say) is not worth a word.
            traceback.clear_frames(error.__traceback__)
            with _stderr_silenced():
                writer = None
            if not replaced:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(temp)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, unblocked)
        if isinstance(error, OSError):
            raise CommandError(f"{out}: {error.strerror or error}") from None
        raise
    finally:
        os.close(fd)


def cmd_write(args: argparse.Namespace) -> int:
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

    progress = _Progress()

    def build(writer: _native.Writer) -> str:
        for name, source in sources:
            _write_member(writer, name, source, progress)
        try:
            return writer.finish(header)
        except ValueError as error:
            message = str(error)
            if args.header is not None and message.startswith("header: "):
                raise CommandError(f"{args.header}: not JSON ({message[len('header: '):]})") from None
            raise

    try:
        text = _replace_atomically(args.out, build)
    except ValueError as error:
        # What is left is the writer's trouble with the file itself (a full disk, say).
        raise CommandError(f"{args.out}: {error}") from None

    manifest = json.loads(text)
    total = sum(record["rows"] for record in manifest["members"].values())
    _stderr_write(f"{args.out}: {len(manifest['members'])} members, {total} rows\n")
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


def _about(path: str, message: str) -> str:
    """A message that names the file it is about."""
    return message if message.startswith(f"{path}: ") else f"{path}: {message}"


def _failed_file(old: str, new: str, message: str) -> str:
    """The file whose member failed with `message`. The old file is read first,
    so it is the one when its report has that problem."""
    try:
        problems = json.loads(_native.verify(old))["problems"]
    except ValueError:
        return old
    return old if message in problems else new


def cmd_diff(args: argparse.Namespace) -> int:
    for path in (args.old, args.new):
        try:
            _native.manifest(path)
        except ValueError as error:
            raise CommandError(_about(path, str(error))) from None
    names = _compared_members(args.old, args.new, args.member)
    counts: dict[str, list[int]] = {}
    found = False
    out = sys.stdout
    try:
        for name in names:
            try:
                changes = _member_changes(args.old, args.new, name, as_json=True)
            except ValueError as error:
                message = str(error)
                if message.startswith((f"{args.old}: ", f"{args.new}: ")):
                    raise CommandError(message) from None
                raise CommandError(_about(_failed_file(args.old, args.new, message), message)) from None
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
    except BrokenPipeError:
        # Whoever read the output has seen enough; the status stays what was found.
        _silence(out)
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
    args = build_parser().parse_args(argv)
    try:
        status = int(args.run(args))
    except (CommandError, ValueError) as error:
        status = EXIT_FAILURE
        _stderr_write(f"quarlen: {error}\n")
    except KeyboardInterrupt:
        return 130
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        _silence(sys.stdout)
    return status
