"""Data loading and many-document rendering for the command-line tool."""

from __future__ import annotations

import contextlib
import json
import multiprocessing
import os
import re
import signal
import sys
from collections import deque
from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from typing import Any

from ._document import Scrivelle
from ._errors import TesserineError
from ._json_values import rich_values
from ._limits import Limits


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


def _read_text(path: str) -> str:
    where = "standard input" if path == "-" else path
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
        raise DataError(f"{'standard input' if path == '-' else path}: {error}") from None


def data_directory(path: str) -> str:
    """The directory that picture paths in a data file are relative to; for standard
    input, the current one."""
    return os.getcwd() if path == "-" else os.path.dirname(os.path.abspath(path))


def with_rich_values(context: dict[str, Any], pictures: str | None, limits: Limits) -> dict[str, Any]:
    """The context with the JSON forms of rich values made values, pictures read from the
    directory `pictures`; None leaves the JSON as it is."""
    if pictures is None:
        return context
    converted: dict[str, Any] = rich_values(context, pictures, max_picture_size=limits.max_picture_size)
    return converted


@dataclass
class Record:
    """One non-blank line of a JSON Lines file, followed from parsing to its saved document."""

    line: int
    context: dict[str, Any]
    #: Why this record has no document; None while it is still on its way.
    problem: str | None = None
    target: str = ""


def load_records(path: str) -> list[Record]:
    """One record per non-blank line; a line that is not a JSON object is a record with a problem."""
    records = []
    # Lines end at line feeds only: str.splitlines would also cut at characters that JSON
    # strings may hold as they are, such as U+2028.
    for number, line in enumerate(_read_text(path).split("\n"), start=1):
        if line.strip():
            try:
                records.append(Record(number, parse_context(line)))
            except DataError as error:
                records.append(Record(number, {}, str(error)))
    return records


_UNSAFE = re.compile(r'[\x00-\x1f/\\:*?"<>|]')


def name_documents(records: Sequence[Record], name_field: str | None, directory: str) -> None:
    """Set each record's target: from a field, or numbered in file order."""
    if name_field is None:
        width = len(str(len(records)))
        for index, record in enumerate(records, start=1):
            record.target = os.path.join(directory, f"{index:0{width}d}.docx")
        return
    readable = [record for record in records if record.problem is None]
    if readable and not any(name_field in record.context for record in readable):
        # A misspelt field would otherwise fail every record with the same message.
        raise DataError(f"no record has a field {name_field!r} to name its document")
    first_line: dict[str, int] = {}
    for record in readable:
        if name_field not in record.context:
            record.problem = f"no field {name_field!r} to name the document"
            continue
        stem = _UNSAFE.sub("_", str(record.context[name_field])).strip().lstrip(".")
        if not stem:
            record.problem = f"field {name_field!r} gives an empty file name"
            continue
        name = stem if stem.lower().endswith(".docx") else stem + ".docx"
        if name.lower() in first_line:
            record.problem = f"line {first_line[name.lower()]} names its document {name!r} already"
            continue
        first_line[name.lower()] = record.line
        record.target = os.path.join(directory, name)


@dataclass(frozen=True)
class Setup:
    """What every process that renders documents of one batch needs to know."""

    template: str
    limits: Limits
    trusted: bool
    #: The directory that picture paths in the data are relative to; None leaves the
    #: JSON forms of rich values as plain JSON.
    pictures: str | None = None


_document: Scrivelle | None = None
_setup: Setup | None = None
_unusable: str | None = None
_rendering = False
_interrupted = False


def _open(setup: Setup) -> None:
    global _document, _setup
    _document = Scrivelle(setup.template, limits=setup.limits)
    _setup = setup


def _on_interrupt(signum: int, frame: object) -> None:
    # Ctrl-C reaches every worker as well as the parent, which reports it: a worker stops
    # the record in hand and renders no other. Raised while it waits for work, the
    # interrupt would end the worker with a traceback.
    global _interrupted
    if not _interrupted:
        _interrupted = True
        if _rendering:
            raise KeyboardInterrupt


def _start_worker(setup: Setup) -> None:
    global _unusable
    signal.signal(signal.SIGINT, _on_interrupt)
    try:
        _open(setup)
    except Exception as error:
        # Raised here, it would print a traceback and break the pool; each record says it instead.
        _unusable = describe_failure(error, "opening the template")


def _render_one(context: dict[str, Any], target: str) -> str | None:
    """Render one document in this process; why it failed, or None."""
    global _rendering
    if _interrupted:
        raise KeyboardInterrupt
    if _document is None or _setup is None:
        return _unusable
    try:
        _rendering = True
        # Each worker reads the pictures of its own records.
        context = with_rich_values(context, _setup.pictures, _setup.limits)
        _document.render(context, trusted=_setup.trusted)
        _document.save(target)
    except Exception as error:
        return describe_failure(error, "rendering this record")
    finally:
        _rendering = False
    return None


_WORKER_DIED = "the worker process rendering this record stopped abruptly (it was killed, or it crashed)"

Finish = Callable[[Record, str | None], None]


def _hand_out(pool: ProcessPoolExecutor, waiting: deque[tuple[Record, bool]], jobs: int, finish: Finish) -> None:
    """Render waiting records in the pool until none is left or the pool breaks.

    A record that was in flight when a worker died goes back to the front of `waiting`,
    marked to run alone: if a worker dies again while it runs alone, the record is the cause.
    """
    in_flight: dict[Future[str | None], tuple[Record, bool]] = {}
    broken = False
    while not broken and (waiting or in_flight):
        # Twice as many records as workers keeps each worker busy between two turns of this loop.
        while waiting and len(in_flight) < 2 * jobs:
            record, alone = waiting[0]
            if in_flight and (alone or any(was_alone for _, was_alone in in_flight.values())):
                break
            try:
                future = pool.submit(_render_one, record.context, record.target)
            except BrokenProcessPool:
                broken = True
                break
            in_flight[future] = waiting.popleft()
        done: set[Future[str | None]] = set()
        if in_flight:
            done = wait(in_flight, return_when=FIRST_COMPLETED).done
        if broken or any(isinstance(future.exception(), BrokenProcessPool) for future in done):
            # A broken pool fails every record still in flight: collect them all.
            broken = True
            done = wait(in_flight).done
        retry = []
        for future in done:
            record, alone = in_flight.pop(future)
            error = future.exception()
            if error is None:
                finish(record, future.result())
            elif not isinstance(error, BrokenProcessPool):
                finish(record, describe_failure(error, "rendering this record"))
            elif alone:
                finish(record, _WORKER_DIED)
            else:
                retry.append((record, True))
        waiting.extendleft(sorted(retry, key=lambda item: item[0].line, reverse=True))


def render_batch(
    setup: Setup,
    records: Sequence[Record],
    jobs: int,
    on_progress: Callable[[int], None],
) -> None:
    """Render a document for each record that has no problem yet; a failure becomes its problem."""
    todo = [record for record in records if record.problem is None]
    done = len(records) - len(todo)

    def finish(record: Record, problem: str | None) -> None:
        nonlocal done
        record.problem = problem
        done += 1
        on_progress(done)

    if jobs <= 1:
        _open(setup)
        for record in todo:
            finish(record, _render_one(record.context, record.target))
        return
    waiting = deque((record, False) for record in todo)
    while waiting:
        with ProcessPoolExecutor(jobs, initializer=_start_worker, initargs=(setup,)) as pool:
            try:
                _hand_out(pool, waiting, jobs, finish)
            except KeyboardInterrupt:
                pool.shutdown(wait=False, cancel_futures=True)
                # Ctrl-C in a terminal reached the workers already; a signal sent to this process alone did not.
                for worker in multiprocessing.active_children():
                    if worker.pid is not None:
                        with contextlib.suppress(ProcessLookupError):
                            os.kill(worker.pid, signal.SIGINT)
                raise


def default_jobs(count: int) -> int:
    return max(1, min(os.cpu_count() or 1, count))
