"""quarlen export: snapshots as Parquet files, one per snapshot and member."""

from typing import Any, Optional, Sequence

from quarlen import parquet

from . import _io, _progress
from ._io import CommandError


def add_parser(commands: Any) -> None:
    p = commands.add_parser(
        "export",
        help="write snapshots as Parquet files (needs quarlen[sql])",
        description="Write DIR/MEMBER/SNAPSHOT-ID.parquet for each snapshot and each member it lists, "
        "so that DIR/MEMBER reads as one table in Spark, Trino, DuckDB or pyarrow. Only files not "
        "there yet are written, each under a hidden name first: a stopped run leaves no partial file, "
        "and running it again finishes the job. A FILE that is a directory stands for every "
        ".quarlen file under it.",
    )
    p.add_argument("directory", metavar="DIR")
    p.add_argument("files", nargs="+", metavar="FILE")
    p.add_argument("--member", action="append", metavar="NAME",
                   help="export only this member (a bare name for a keyed member); may repeat")
    p.set_defaults(run=lambda args: run(args.directory, args.files, args.member))


def run(directory: str, files: Sequence[str], members: Optional[Sequence[str]]) -> int:
    # SIGTERM, like Ctrl-C, leaves through the export's cleanup: no hidden file stays.
    _io.leave_on_sigterm()
    counts = {True: 0, False: 0}
    progress: Optional[_progress.FileProgress] = None

    def done(item: parquet.Exported, total: int) -> None:
        nonlocal progress
        if progress is None:
            progress = _progress.FileProgress(total)
        counts[item.written] += 1
        if item.written:
            progress.end()  # the output takes the line
            _io.out(item.path + "\n")
            _io.flush()
        progress.file_done(item.rows)

    try:
        parquet.export(directory, files, members, progress=done)
    except ImportError as error:
        raise CommandError(str(error)) from None
    except ValueError as error:
        raise CommandError(_io.about_file(error)) from None
    except OSError as error:
        raise CommandError(f"{error.filename or directory}: {error.strerror or error}") from None
    finally:
        if progress is not None:
            progress.end()
    _io.err(f"{directory}: {counts[True]} files written, {counts[False]} there already\n")
    return _io.EXIT_OK
