"""Progress on standard error, on one line rewritten in place, shown only
when standard error is a terminal."""

import sys
import time
from typing import Optional


class Progress:
    """One line of progress; `show` rewrites it at most ten times a second."""

    def __init__(self, enabled: Optional[bool] = None) -> None:
        self.enabled = sys.stderr.isatty() if enabled is None else enabled
        self.start = time.monotonic()
        self._shown_at = 0.0
        self._showing = False

    def show(self, text: str, *, now: bool = False) -> None:
        if not self.enabled:
            return
        moment = time.monotonic()
        if not now and moment - self._shown_at < 0.1:
            return
        self._shown_at = moment
        self._showing = True
        sys.stderr.write(f"\r\x1b[K{text}")
        sys.stderr.flush()

    def end(self, keep: bool = False) -> None:
        """Ends the line: kept (a line feed) or wiped."""
        if self._showing:
            sys.stderr.write("\n" if keep else "\r\x1b[K")
            sys.stderr.flush()
            self._showing = False


class FileProgress(Progress):
    """Files done of all, rows and the time since the start."""

    def __init__(self, files: int) -> None:
        super().__init__(sys.stderr.isatty() and files > 1)
        self.files = files
        self.done = 0
        self.rows = 0

    def file_done(self, rows: int = 0) -> None:
        self.done += 1
        self.rows += rows
        self.show(f"{self.done:,} of {self.files:,} files, {self.rows:,} rows, "
                  f"{time.monotonic() - self.start:,.1f} s", now=self.done == self.files)
