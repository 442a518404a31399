"""Documents written whole or not at all: through a temporary file renamed over the target."""

from __future__ import annotations

import errno
import glob
import os
import secrets
import stat

_PREFIX = ".tesserine-"
_SUFFIX = ".tmp"


def write_atomically(path: str, data: bytes, *, tag: str = "") -> None:
    """Write `data` to `path` through a temporary file beside it. `tag` goes into the
    temporary's name, so that a run can find what its killed workers left behind."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        mode: int | None = stat.S_IMODE(os.stat(path).st_mode)
    except FileNotFoundError:
        mode = None
    # A short name of its own: the target's name may already be as long as names may be.
    temporary = os.path.join(directory, f"{_PREFIX}{tag}{secrets.token_hex(6)}{_SUFFIX}")
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, "is a folder, not a file", path)
    try:
        # os.open with mode 0o666 lets the umask decide the permissions of a new file, as
        # for a plain open(); a file written over keeps the permissions it had.
        descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except OSError as error:
        raise _as_given(error, path) from None
    try:
        with os.fdopen(descriptor, "wb") as stream:
            stream.write(data)
        if mode is not None:
            os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException as error:
        if os.path.exists(temporary):
            os.unlink(temporary)
        if isinstance(error, OSError):
            raise _as_given(error, path) from None
        raise


def _as_given(error: OSError, path: str) -> OSError:
    """The error naming the path the caller gave, never the temporary file's."""
    if isinstance(error, FileNotFoundError):
        return FileNotFoundError(error.errno, "the folder it would go in does not exist", path)
    return type(error)(error.errno, error.strerror, path)


def remove_leftovers(directory: str, tag: str) -> None:
    """Delete the temporary files with `tag` in `directory`, which writers killed before
    renaming them left. Only call it when no such writer is running."""
    for path in glob.glob(os.path.join(glob.escape(directory), f"{_PREFIX}{glob.escape(tag)}*{_SUFFIX}")):
        try:
            os.unlink(path)
        except OSError:
            pass
