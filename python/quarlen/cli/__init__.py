"""The quarlen command line: verify, inspect, read, write and compare .quarlen files.

Exit codes: 0 success; 1 a file that fails verification, or a member that
`read` does not find in the file; 2 bad usage, a file that cannot be read or
written, standard output that fails, or a closed standard input that is to be
read. `diff` exits as diff(1) does: 0 when the snapshots hold the same rows, 1
when they differ, 2 when a file cannot be read or fails verification. Output
cut short by its reader (`| head`) never changes the code.

Each command is a module with `add_parser(commands)`, which sets `run` to a
function of the parsed arguments that returns the exit code.
"""

import argparse
import os
import sys
from typing import Sequence

import quarlen

from . import _io, demo, diff, export, manifest, members, read, sql, unit_hash, verify, write
from ._io import EXIT_FAILURE, CommandError

__all__ = ["main", "build_parser"]

# In the order `quarlen --help` lists them.
_COMMANDS = (verify, manifest, read, write, diff, sql, export, members, unit_hash, demo)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quarlen",
        description="Write, read, verify and compare .quarlen database catalogue snapshots.",
        epilog="Exit codes: 0 success, 1 a file fails verification (or read: the member is not in the file; "
        "diff: the snapshots differ; sql: --skip-bad left a file out), 2 bad usage or a file that cannot be "
        "read or written (diff, sql, export: or fails verification).",
    )
    parser.add_argument("--version", action="version", version=f"quarlen {quarlen.version()} ({quarlen.FORMAT})")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in _COMMANDS:
        command.add_parser(commands)
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
        _io.err(f"quarlen: {error}\n")
    except MemoryError:
        status = EXIT_FAILURE
        _io.err("quarlen: out of memory\n")
    except KeyboardInterrupt:
        return _io.interrupted_status()
    try:
        _io.flush()
    except CommandError as error:
        status = EXIT_FAILURE
        _io.err(f"quarlen: {error}\n")
    return status
