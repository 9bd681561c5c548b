"""What the commands share: exit statuses, the failure that ends a command,
standard output that survives its reader going away, and text arguments."""

import contextlib
import os
import signal
import sys
from typing import IO, Iterable, Iterator

EXIT_OK = 0
EXIT_PROBLEMS = 1
EXIT_FAILURE = 2
EXIT_INTERRUPTED = 130


class CommandError(Exception):
    """A failure that ends the command with a message and EXIT_FAILURE."""


@contextlib.contextmanager
def _writing(stream: IO[str]) -> Iterator[None]:
    """Handles a failed write or flush of `stream`: the stream is pointed at
    the null device, so that the rest of the output, and the flush at exit,
    go nowhere quietly. A reader that went away (`| head`) is no failure;
    any other failure of standard output (a full disk, an I/O error) ends the
    command. Standard error has nowhere to report its own."""
    try:
        yield
    except OSError as error:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
        os.close(devnull)
        if stream is sys.stdout and not isinstance(error, BrokenPipeError):
            raise CommandError(f"standard output: {error.strerror or error}") from None


def out(*texts: str) -> None:
    """Writes to standard output."""
    out_lines(texts)


def out_lines(lines: Iterable[str]) -> None:
    """Writes each text of `lines` to standard output, as they come."""
    stream = sys.stdout
    with _writing(stream):
        for line in lines:
            stream.write(line)


def err(text: str) -> None:
    """Writes to standard error."""
    with _writing(sys.stderr):
        sys.stderr.write(text)


def flush() -> None:
    """Flushes standard output."""
    with _writing(sys.stdout):
        sys.stdout.flush()


def about_file(error: ValueError) -> str:
    """An error's message, led by the file it is about where the message
    does not name it already."""
    path, text = getattr(error, "path", None), str(error)
    return text if path is None or text.startswith(f"{path}: ") else f"{path}: {text}"


def leave_on_sigterm() -> None:
    """Makes SIGTERM leave as Ctrl-C does, through the command's cleanup."""
    signal.signal(signal.SIGTERM, _terminate)


_terminated_by: int | None = None


def _terminate(signum: int, frame: object) -> None:
    global _terminated_by
    _terminated_by = signum  # for when DuckDB takes the exit for an interrupt
    raise SystemExit(128 + signum)


def interrupted_status() -> int:
    """The exit status of a command stopped by Ctrl-C, or by SIGTERM where
    a query took its exit for an interrupt."""
    return EXIT_INTERRUPTED if _terminated_by is None else 128 + _terminated_by


def stdin() -> IO[bytes]:
    if sys.stdin is None:
        raise CommandError("standard input: closed")
    return sys.stdin.buffer


def read_text_argument(source: str) -> str:
    """The UTF-8 text of a file, or of standard input for "-"."""
    try:
        if source == "-":
            data = stdin().read()
        else:
            with open(source, "rb") as handle:
                data = handle.read()
    except OSError as error:
        raise CommandError(f"{source}: {error.strerror or error}") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise CommandError(f"{source}: not UTF-8 text ({error.reason} at byte {error.start})") from None
