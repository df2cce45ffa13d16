"""Output files that appear at their path only once they are complete.

An :class:`AtomicFile` is written to a temporary file beside its target
(symbolic links followed) and renamed over the target on commit, so that a
write that fails (a full disk, an interrupted run) leaves an existing file as
it was. A path that names something other than a regular file (a terminal, a
pipe, /dev/null) is written directly: renaming over it would replace the
device.
"""

from __future__ import annotations

import errno
import os
import stat
import tempfile
from typing import TextIO


class AtomicFile:
    """A text file that appears at `path` only when `commit` is called.

    Failures are OSErrors: IsADirectoryError when the path is a directory,
    FileNotFoundError (naming the directory) when its directory does not
    exist, others as the system reports them. A failed commit discards the
    temporary file."""

    def __init__(self, path: str | os.PathLike[str]):
        self.path = os.fspath(path)
        self._target: str | None = None
        self._temp: str | None = None
        target = os.path.realpath(self.path)
        try:
            info: os.stat_result | None = os.stat(target)
        except FileNotFoundError:
            info = None
        if info is not None and stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.path)
        if info is not None and not stat.S_ISREG(info.st_mode):
            self.stream: TextIO = open(self.path, "w", encoding="utf-8", newline="\n")
            return
        folder, name = os.path.split(target)
        try:
            fd, self._temp = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
        except FileNotFoundError:
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), folder) from None
        self._target = target
        try:
            os.fchmod(fd, stat.S_IMODE(info.st_mode) if info is not None else 0o666 & ~_umask())
            self.stream = os.fdopen(fd, "w", encoding="utf-8", newline="\n")
        except BaseException:
            os.close(fd)
            self.discard()
            raise

    @property
    def written_directly(self) -> bool:
        return self._target is None

    def commit(self) -> None:
        """Closes the file and puts it in place."""
        try:
            self.stream.close()
            if self._temp is not None and self._target is not None:
                os.replace(self._temp, self._target)
                self._temp = None
        except BaseException:
            self.discard()
            raise

    def discard(self) -> None:
        """Drops the temporary file; an existing target stays as it was."""
        stream = getattr(self, "stream", None)
        if stream is not None:
            try:
                stream.close()
            except OSError:
                pass
        if self._temp is not None:
            try:
                os.unlink(self._temp)
            except OSError:
                pass
            self._temp = None


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
