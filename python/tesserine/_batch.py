"""Data loading and many-document rendering for the command-line tool."""

from __future__ import annotations

import contextlib
import functools
import io
import json
import os
import re
import sys
from collections.abc import Iterable, Iterator
from concurrent.futures import Executor
from dataclasses import dataclass
from typing import Any

from ._errors import TesserineError
from ._json_values import rich_values
from ._limits import Limits
from ._many import Progress, RecordError, existing_names, file_name, output_path, render_many


class DataError(TesserineError):
    """The data file cannot serve as a template context."""


def describe_failure(error: BaseException, doing: str) -> str:
    """One line for the user about an exception that ended `doing`."""
    if isinstance(error, (TesserineError, OSError)):
        return str(error)
    if isinstance(error, MemoryError):
        return f"out of memory while {doing}"
    if isinstance(error, KeyboardInterrupt):
        return "interrupted"
    return (f"internal error while {doing}: {type(error).__name__}: {error}"
            " (this is a bug in tesserine; please report it with the command that led to it)")


def _where(path: str) -> str:
    """The data file as messages name it."""
    return "standard input" if path == "-" else path


def _read_text(path: str) -> str:
    where = _where(path)
    if path == "-":
        data = sys.stdin.buffer.read()
    else:
        with open(path, "rb") as stream:
            data = stream.read()
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise DataError(f"{where}: not UTF-8 text (byte {error.start})") from None


# JSON can escape half of a surrogate pair on its own; no document can hold one. Only text
# with such an escape needs the walk through its values.
_SURROGATE_ESCAPE = re.compile(r"\\u[dD][89a-fA-F]")


def _lone_surrogate(text: str) -> str | None:
    if text.isascii():
        return None
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as error:
        return repr(text[error.start])[1:-1]
    return None


def _check_text(value: Any) -> None:
    """Refuse a string anywhere in the value, keys included, that holds a lone surrogate."""
    stack: list[tuple[str, Any]] = [("", value)]
    while stack:
        path, item = stack.pop()
        if isinstance(item, dict):
            for key, inner in reversed(item.items()):
                found = _lone_surrogate(key)
                if found is not None:
                    raise DataError(f"a key at {path or 'the top level'} holds {found}, a lone surrogate,"
                                    " which is not text")
                stack.append((f"{path}[{key!r}]", inner))
        elif isinstance(item, list):
            stack.extend((f"{path}[{index}]", inner) for index, inner in reversed(list(enumerate(item))))
        elif isinstance(item, str):
            found = _lone_surrogate(item)
            if found is not None:
                raise DataError(f"the value at {path} holds {found}, a lone surrogate, which is not text")


def parse_context(text: str) -> dict[str, Any]:
    """A template context from JSON text; DataError says what is wrong and where."""
    try:
        value = json.loads(text)
    except json.JSONDecodeError as error:
        place = f"column {error.colno}" if error.lineno == 1 else f"line {error.lineno}, column {error.colno}"
        raise DataError(f"invalid JSON at {place}: {error.msg}") from None
    except RecursionError:
        raise DataError("invalid JSON: nested too deeply") from None
    if not isinstance(value, dict):
        raise DataError(f"expected a JSON object, found {type(value).__name__}")
    if _SURROGATE_ESCAPE.search(text):
        _check_text(value)
    return value


def load_context(path: str) -> dict[str, Any]:
    text = _read_text(path)
    try:
        return parse_context(text)
    except DataError as error:
        raise DataError(f"{_where(path)}: {error}") from None


def data_directory(path: str) -> str:
    """The directory that picture paths in a data file are relative to; for standard
    input, the current one."""
    return os.getcwd() if path == "-" else os.path.dirname(os.path.abspath(path))


def with_rich_values(context: dict[str, Any], pictures: str | None, limits: Limits) -> dict[str, Any]:
    """The context with the JSON forms of rich values made values, pictures read from the
    directory `pictures`; None leaves the JSON as it is."""
    if pictures is None:
        return context
    converted: dict[str, Any] = rich_values(context, pictures, max_picture_size=limits.max_picture_size,
                                            limits=limits)
    return converted


class Records:
    """The records of a JSON Lines file, one per non-blank line, read twice: once to
    find the bad lines and name the documents, then as they are rendered, so that a
    file of millions of records is never held parsed in memory (standard input, which
    cannot be read twice, is held as bytes)."""

    def __init__(self, path: str, name_field: str | None, extension: str) -> None:
        self.path = path
        self.where = _where(path)
        self._stdin = sys.stdin.buffer.read() if path == "-" else None
        #: The line and the document name of each record to render, in file order.
        self.lines: list[int] = []
        self.names: list[str] = []
        #: Why the other records have no document, by line.
        self.problems: dict[int, str] = {}
        self.count = 0
        self._name(name_field, extension)

    def _read(self) -> Iterator[tuple[int, str | DataError]]:
        """Each non-blank line's number and text, or why it is not text."""
        # Lines end at line feeds only: str.splitlines would also cut at characters that
        # JSON strings may hold as they are, such as U+2028.
        with (open(self.path, "rb") if self._stdin is None else io.BytesIO(self._stdin)) as stream:
            for number, raw in enumerate(stream, start=1):
                try:
                    line = raw.removesuffix(b"\n").decode("utf-8-sig" if number == 1 else "utf-8")
                except UnicodeDecodeError as error:
                    yield number, DataError(f"not UTF-8 text (byte {error.start + 1} of the line)")
                    continue
                if line.strip():
                    yield number, line

    def _contexts(self) -> Iterator[tuple[int, dict[str, Any] | DataError]]:
        for number, line in self._read():
            if isinstance(line, DataError):
                yield number, line
                continue
            try:
                yield number, parse_context(line)
            except DataError as error:
                yield number, error

    def _name(self, name_field: str | None, extension: str) -> None:
        """Find the bad lines and name each good record's document: from a field, or
        numbered in file order."""
        first_line: dict[str, int] = {}
        numbers: list[int] = []
        readable = named = 0
        for number, context in self._contexts():
            self.count += 1
            if isinstance(context, DataError):
                self.problems[number] = str(context)
                continue
            readable += 1
            if name_field is None:
                numbers.append(self.count)
            elif name_field not in context:
                self.problems[number] = f"no field {name_field!r} to name the document"
                continue
            else:
                named += 1
                try:
                    name = file_name(str(context[name_field]), extension)
                except RecordError as error:
                    self.problems[number] = str(error)
                    continue
                first = first_line.setdefault(name.lower(), number)
                if first != number:
                    self.problems[number] = f"line {first} names its document {name!r} already"
                    continue
                self.names.append(name)
            self.lines.append(number)
        if name_field is None:
            width = len(str(self.count))
            self.names = [f"{number:0{width}d}{extension}" for number in numbers]
        elif readable and not named:
            # A misspelt field would otherwise fail every record with the same message.
            raise DataError(f"no record has a field {name_field!r} to name its document")

    def __len__(self) -> int:
        return len(self.lines)

    def __iter__(self) -> Iterator[dict[str, Any]]:
        """The contexts of the records to render, read again."""
        wanted = iter(self.lines)
        following = next(wanted, None)
        for number, context in self._contexts():
            if number != following:
                continue
            if isinstance(context, DataError):
                raise DataError(f"{self.where} changed while its records were rendered")
            yield context
            following = next(wanted, None)
        if following is not None:
            raise DataError(f"{self.where} changed while its records were rendered")


def existing(output: str, names: Iterable[str]) -> list[str]:
    """The documents among `names` that the output folder (or URL) holds already."""
    present = existing_names(output)
    return [output_path(output, name) for name in names if name in present]


@contextlib.contextmanager
def _dask_executor(address: str) -> Iterator[Executor]:
    """An executor on the Dask cluster whose scheduler is at `address`."""
    try:
        import distributed
    except ImportError:
        raise TesserineError("--dask needs Dask's distributed package: pip install 'tesserine[dask]'") from None
    try:
        client = distributed.Client(address)  # type: ignore[no-untyped-call]
    except Exception as error:
        # A wrong address or an unreachable scheduler, in whatever form Dask reports it.
        raise TesserineError(f"cannot reach the Dask scheduler at {address}: {error}") from None
    with client:
        yield client.get_executor()  # type: ignore[no-untyped-call]


@dataclass(frozen=True)
class Setup:
    """What every process that renders documents of one batch needs to know."""

    template: str
    limits: Limits
    trusted: bool
    #: The directory that picture paths in the data are relative to; None leaves the
    #: JSON forms of rich values as plain JSON.
    pictures: str | None = None


def render_records(
    setup: Setup,
    records: Records,
    output: str,
    *,
    workers: int | None = None,
    dask: str | None = None,
    pdf: bool = False,
    progress: Progress | None = None,
) -> dict[int, str]:
    """Render a document for each record without a problem, in local worker processes or
    on the Dask cluster at `dask`; the problems of all records afterwards, by line."""
    # Each worker reads the pictures of its own records.
    prepare = None if setup.pictures is None else functools.partial(
        with_rich_values, pictures=setup.pictures, limits=setup.limits)
    problems = dict(records.problems)
    with contextlib.ExitStack() as stack:
        executor = None if dask is None else stack.enter_context(_dask_executor(dask))
        outcomes = stack.enter_context(contextlib.closing(render_many(
            setup.template, records, executor=executor, workers=workers, output=output,
            name=lambda index, record: records.names[index], pdf=pdf, trusted=setup.trusted,
            limits=setup.limits, prepare=prepare, progress=progress)))
        for line, outcome in zip(records.lines, outcomes, strict=True):
            if isinstance(outcome, TesserineError):
                problems[line] = str(outcome)
    return dict(sorted(problems.items()))


def default_jobs(count: int) -> int:
    return max(1, min(os.cpu_count() or 1, count))
