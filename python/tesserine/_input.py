"""Reading what a caller gives as input: bytes, a path or a binary file object.

From a path only a regular file is read: a FIFO would hang the reader, and a device such
as /dev/zero would be read without end.
"""

from __future__ import annotations

import os
import stat
from typing import BinaryIO

from ._errors import TesserineError

Source = str | os.PathLike[str] | bytes | bytearray | memoryview | BinaryIO


def read_input(source: Source, what: str, error: type[TesserineError]) -> tuple[bytes, str | None]:
    """The bytes of the source and its name (None for bytes). A source that cannot be read
    raises `error`, saying "cannot read" `what` ("the template") and the name."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(source), None
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        return read_file(path, f"cannot read {what} {path!r}", error), path
    if hasattr(source, "read"):
        name = str(getattr(source, "name", "<stream>"))
        data = source.read()
        if not isinstance(data, bytes):
            raise error(f"cannot read {what} {name!r}: the file object must be opened in binary mode")
        return data, name
    raise error(f"cannot read {what}: expected a path, bytes or a binary file object, not {type(source).__name__}")


def read_file(path: str, cannot: str, error: type[TesserineError], most: int = -1) -> bytes:
    """The bytes of a regular file, at most `most` of them (-1: all); anything else raises
    `error` with the text `cannot` and why. The type is checked on the open file, so the
    path cannot be swapped for a pipe in between."""
    try:
        # Without blocking, so that opening a FIFO with no writer returns at once.
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except OSError as failure:
        raise error(f"{cannot}: {failure.strerror or failure}") from None
    except ValueError:
        raise error(f"{cannot}: a file name cannot hold a NUL character") from None
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        os.close(descriptor)
        raise error(f"{cannot}: it is not a regular file")
    with open(descriptor, "rb") as stream:
        try:
            return stream.read(most)
        except OSError as failure:
            raise error(f"{cannot}: {failure.strerror or failure}") from None
