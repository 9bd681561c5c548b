"""quarlen verify: check every member of each file against its manifest."""

import argparse
import contextlib
import json
import os
import queue
import sys
import threading
import traceback
from typing import Any, Iterator, NoReturn, Sequence

import quarlen

from . import _io, _progress
from ._io import EXIT_FAILURE, EXIT_OK, EXIT_PROBLEMS, CommandError


def add_parser(commands: Any) -> None:
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
    p.set_defaults(run=lambda args: run(args.files, args.jobs, args.json))


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return value


def print_report(path: str, report: dict[str, Any]) -> None:
    """The report of one file as people read it."""
    members = report["members"]
    problems = report["problems"]
    total = sum(members.values())
    if report["ok"]:
        status = "ok"
    else:
        status = f"FAILED ({len(problems)} problem{'s' if len(problems) != 1 else ''})"
    lines = [f"{path}: {status}, {len(members)} members read, {total} rows\n"]
    if members:
        width = max(len("member"), *(len(name) for name in members))
        lines.append(f"  {'member':<{width}}  {'rows':>10}\n")
        lines.extend(f"  {name:<{width}}  {rows:>10}\n" for name, rows in members.items())
    lines.extend(f"  problem: {problem}\n" for problem in problems)
    _io.out_lines(lines)


def run(files: Sequence[str], jobs: int, as_json: bool) -> int:
    status = EXIT_OK
    progress = _progress.FileProgress(len(files))
    try:
        for path, (text, error) in zip(files, _verified_in_order(files, jobs)):
            progress.end()  # the output takes the line
            if text is None:
                if as_json:
                    _io.out(json.dumps({"file": path, "error": error}, ensure_ascii=False, separators=(",", ":")) + "\n")
                else:
                    _io.err(f"quarlen: {error}\n")
                status = EXIT_FAILURE
            else:
                report = json.loads(text)
                if as_json:
                    _io.out(f'{{"file":{json.dumps(path, ensure_ascii=False)},"report":{text}}}\n')
                else:
                    print_report(path, report)
                if not report["ok"] and status == EXIT_OK:
                    status = EXIT_PROBLEMS
            _io.flush()
            progress.file_done(sum(report["members"].values()) if text is not None else 0)
        progress.end()
    except KeyboardInterrupt:
        _leave_now(_io.EXIT_INTERRUPTED)
    except CommandError as error:
        _io.err(f"quarlen: {error}\n")
        _leave_now(EXIT_FAILURE)
    except BaseException:
        # Unexpected (MemoryError, say): reported as Python would, and left
        # the same way, since other threads may still be inside a verify.
        traceback.print_exc()
        _leave_now(1)
    return status


def _verify_file(path: str) -> tuple[str | None, str | None]:
    """(the report's JSON text, None), or (None, the reason the file cannot be read)."""
    try:
        return quarlen.verify(path), None
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
        _io.flush()
    with contextlib.suppress(OSError):
        sys.stderr.flush()
    os._exit(status)
