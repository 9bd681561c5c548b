"""A file put in place of another all at once: written under a hidden name
beside it, then renamed over it (commit) or deleted (abort)."""

import contextlib
import errno
import os
import secrets
import stat
from typing import Optional

from .errors import Error, Path

# Random characters in a hidden name, between ".{base}." and ".tmp".
_RANDOM_CHARS = 8


class Replacement:
    """The hidden file that is to replace `path`.

    The file is private to its owner while it is written, except where no file
    is replaced: it is then created as any new file is, which gives the mode
    without changing the process's umask, a setting of every thread. A
    replaced file's mode, owner and group are kept (owner and group where the
    process may set them).
    """

    def __init__(self, path: Path) -> None:
        self.shown = shown = os.fspath(path)
        self._target = os.path.realpath(shown)
        try:
            self._existing: Optional[os.stat_result] = os.stat(self._target)
        except OSError:
            self._existing = None
        if self._existing is not None and not stat.S_ISREG(self._existing.st_mode):
            raise Error(f"{shown}: not a regular file, so it is not replaced", path=shown)
        directory, base = os.path.split(self._target)
        # Opened first, so that a directory that cannot be synced is found
        # before anything is written, not after the file was replaced.
        self._directory_fd = os.open(directory, os.O_RDONLY)
        try:
            self._fd, self.hidden = self._create_hidden(directory, base)
        except BaseException:
            os.close(self._directory_fd)
            raise
        existing = self._existing
        self._mode = stat.S_IMODE((existing or os.fstat(self._fd)).st_mode)

    def _create_hidden(self, directory: str, base: str) -> tuple[int, str]:
        """Creates `.{base}.{random}.tmp` in `directory`, `base` cut short
        where the name would pass the file system's limit."""
        try:
            name_max = os.pathconf(directory, "PC_NAME_MAX")
        except (OSError, ValueError):
            name_max = 255
        room = name_max - len("..") - _RANDOM_CHARS - len(".tmp")
        while name_max > 0 and len(os.fsencode(base)) > room:
            base = base[:-1]
        mode = 0o666 if self._existing is None else 0o600
        for _ in range(100):
            hidden = os.path.join(directory, f".{base}.{secrets.token_hex(_RANDOM_CHARS // 2)}.tmp")
            try:
                return os.open(hidden, os.O_RDWR | os.O_CREAT | os.O_EXCL, mode), hidden
            except FileExistsError:
                continue
        raise FileExistsError(errno.EEXIST, "no free hidden name", os.path.join(directory, f".{base}.*.tmp"))

    def commit(self) -> None:
        """Puts the hidden file, written and closed by its writer, in place:
        its data on disk, then the rename, then the directory synced (a
        failure of that last step is not reported: the file is in place)."""
        existing = self._existing
        if existing is not None:
            for uid in (existing.st_uid, -1):
                try:
                    os.fchown(self._fd, uid, existing.st_gid)
                    break
                except PermissionError:
                    continue
        os.fchmod(self._fd, self._mode)
        os.fsync(self._fd)
        os.replace(self.hidden, self._target)
        with contextlib.suppress(OSError):
            os.fsync(self._directory_fd)
        self._close()

    def abort(self) -> None:
        """Deletes the hidden file; the file it was to replace stays as it was."""
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.hidden)
        self._close()

    def _close(self) -> None:
        for fd in (self._fd, self._directory_fd):
            with contextlib.suppress(OSError):
                os.close(fd)
