"""The quarlen command line: verify, inspect, read and write .quarlen files.

Exit codes: 0 success; 1 a file that fails verification, or a member that
`read` does not find in the file; 2 bad usage, or a file that cannot be read or
written. Output cut short by its reader (`| head`) never changes the code.
"""

from __future__ import annotations

import argparse
import contextlib
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
        description="Write, read and verify .quarlen database catalogue snapshots.",
        epilog="Exit codes: 0 success, 1 a file fails verification (or read: the member is not in the file), "
        "2 bad usage or a file that cannot be read or written.",
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
