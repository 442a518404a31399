"""Rendering one template for many records, on any `concurrent.futures.Executor`.

Records travel in chunks, each chunk with the template's bytes; a worker process
opens and compiles a template once and keeps it for later chunks. The caller's
iterator is read only as far as a window of chunks in flight needs, and results
are yielded in record order as they arrive, so a run of millions of records holds
a few chunks in memory at any time.
"""

from __future__ import annotations

import dataclasses
import hashlib
import io
import math
import os
import pickle
import re
import threading
from collections import OrderedDict, deque
from collections.abc import Callable, Iterable, Iterator, Mapping, Sized
from concurrent.futures import Executor, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from typing import Any, BinaryIO, Protocol

from ._document import Scrivelle
from ._errors import TemplateSyntaxError, TesserineError
from ._files import write_atomically
from ._limits import Limits
from ._pdf import PdfConversionError, PdfUnavailableError, convert_to_pdf, find_soffice

TemplateSource = str | os.PathLike[str] | bytes | bytearray | memoryview | BinaryIO
Naming = str | Callable[[int, Mapping[str, Any]], str] | None
Outcome = bytes | str | TesserineError


class Progress(Protocol):
    """Told, as results arrive, how many records are done and how many there are
    (None for an iterator of unknown length)."""

    def __call__(self, done: int, total: int | None) -> None: ...


class RecordError(TesserineError):
    """A record could not be sent to a worker, named, or its document written."""


class WorkerError(TesserineError):
    """The worker rendering a record stopped abruptly (killed, crashed, or lost)."""


# Errors in rendering that concern the template or the set-up, not a record: they
# end the run, as any error in opening the template does.
_FATAL = (TemplateSyntaxError, PdfUnavailableError)

_UNSAFE_NAME = re.compile(r'[\x00-\x1f/\\:*?"<>|]')
_UNSIZED_WIDTH = 6
_CACHED_TEMPLATES = 4


@dataclass(frozen=True)
class _Failure:
    """A TesserineError in a form that pickles: most subclasses take several
    arguments but keep only the message in `args`, so they cannot be rebuilt from it."""

    kind: type[TesserineError]
    message: str
    attributes: dict[str, Any]

    @classmethod
    def of(cls, error: TesserineError) -> _Failure:
        return cls(type(error), str(error), dict(vars(error)))

    def error(self) -> TesserineError:
        error = self.kind.__new__(self.kind)
        Exception.__init__(error, self.message)
        vars(error).update(self.attributes)
        return error


@dataclass(frozen=True)
class _Job:
    """One chunk of work: everything a worker needs, in one picklable value."""

    digest: str
    template: bytes
    records: bytes  # pickled list of (context, document name or None)
    output: str | None
    pdf: bool
    trusted: bool
    autoescape: bool
    limits: Limits | None
    pdf_timeout: float | None


@dataclass
class _Fatal:
    failure: _Failure


_Result = bytes | str | _Failure


@dataclass
class _Loaded:
    document: Scrivelle
    # A Scrivelle holds its last rendering; threads of one worker take turns with it.
    lock: threading.Lock = field(default_factory=threading.Lock)


_loaded: OrderedDict[tuple[str, Limits | None], _Loaded] = OrderedDict()
_loaded_lock = threading.Lock()


def _template(job: _Job) -> _Loaded:
    """This process's open copy of the job's template, opened on first use; any
    error in opening it concerns the template, and ends the run."""
    key = (job.digest, job.limits)
    with _loaded_lock:
        entry = _loaded.get(key)
        if entry is None:
            entry = _loaded[key] = _Loaded(Scrivelle(job.template, limits=job.limits))
            while len(_loaded) > _CACHED_TEMPLATES:
                _loaded.popitem(last=False)
        _loaded.move_to_end(key)
        return entry


def _run_job(job: _Job) -> list[_Result] | _Fatal:
    """Render a chunk in a worker: a result per record, or what ended the run."""
    try:
        entry = _template(job)
    except TesserineError as error:
        return _Fatal(_Failure.of(error))
    try:
        return _render_chunk(job, entry)
    except _FATAL as error:
        return _Fatal(_Failure.of(error))


def _render_chunk(job: _Job, entry: _Loaded) -> list[_Result]:
    records: list[tuple[Mapping[str, Any], str | None]] = pickle.loads(job.records)
    results: list[_Result] = []
    with entry.lock:
        for context, _ in records:
            try:
                entry.document.render(context, autoescape=job.autoescape, trusted=job.trusted)
                buffer = io.BytesIO()
                entry.document.save(buffer)
                results.append(buffer.getvalue())
            except _FATAL:
                raise
            except TesserineError as error:
                results.append(_Failure.of(error))
            except MemoryError:
                results.append(_Failure.of(RecordError("out of memory while rendering this record")))
    if job.pdf:
        _convert(results, job.pdf_timeout)
    if job.output is not None:
        for index, (_, name) in enumerate(records):
            data = results[index]
            if isinstance(data, bytes) and name is not None:
                results[index] = _write(job.output, name, data)
    return results


def _convert(results: list[_Result], timeout: float | None) -> None:
    """Replace each rendered document by its PDF, in one LibreOffice run."""
    rendered = [(index, data) for index, data in enumerate(results) if isinstance(data, bytes)]
    pdfs = convert_to_pdf([data for _, data in rendered], timeout=timeout)
    for (index, _), pdf in zip(rendered, pdfs, strict=True):
        results[index] = _Failure.of(pdf) if isinstance(pdf, PdfConversionError) else pdf


def _is_url(output: str) -> bool:
    return "://" in output


def _write(output: str, name: str, data: bytes) -> str | _Failure:
    """Write one document under `output`; its full name, or why it could not be written."""
    if not _is_url(output):
        target = os.path.join(output, name)
        try:
            write_atomically(target, data)
        except OSError as error:
            return _Failure.of(RecordError(f"cannot write {target}: {error.strerror or error}"))
        return target
    target = output.rstrip("/") + "/" + name
    try:
        filesystem, path = _filesystem(target)
        # Object stores make an upload visible whole or not at all.
        filesystem.pipe_file(path, data)
    except Exception as error:
        # Each storage back end raises its own kinds of error.
        return _Failure.of(RecordError(f"cannot write {target}: {type(error).__name__}: {error}"))
    return target


def _filesystem(url: str) -> tuple[Any, str]:
    try:
        import fsspec  # type: ignore[import-untyped]
    except ImportError:
        raise TesserineError(
            f"writing to {url.split('://', 1)[0]}:// URLs needs fsspec: pip install 'tesserine[remote]'"
        ) from None
    filesystem, path = fsspec.core.url_to_fs(url)
    return filesystem, path


def _read_template(template: TemplateSource) -> bytes:
    if isinstance(template, (bytes, bytearray, memoryview)):
        return bytes(template)
    if isinstance(template, (str, os.PathLike)):
        try:
            with open(template, "rb") as stream:
                return stream.read()
        except OSError as error:
            raise TesserineError(f"cannot read the template {os.fspath(template)}: {error.strerror or error}") from None
    data = template.read()
    if not isinstance(data, bytes):
        raise TypeError("the template file must be opened in binary mode")
    return data


class _Namer:
    """Document names for records: numbered, from a field, or from a callable."""

    def __init__(self, naming: Naming, extension: str, total: int | None) -> None:
        self.naming = naming
        self.extension = extension
        self.width = _UNSIZED_WIDTH if total is None else len(str(total))
        self.seen: dict[str, tuple[int, str]] = {}

    def __call__(self, index: int, record: Mapping[str, Any]) -> str:
        if self.naming is None:
            return f"{index + 1:0{self.width}d}{self.extension}"
        if isinstance(self.naming, str):
            if self.naming not in record:
                raise RecordError(f"no field {self.naming!r} to name the document")
            given = str(record[self.naming])
        else:
            given = str(self.naming(index, record))
        stem = _UNSAFE_NAME.sub("_", given).strip().lstrip(".")
        if not stem:
            raise RecordError(f"the name {given!r} gives an empty file name")
        name = stem if stem.lower().endswith(self.extension) else stem + self.extension
        # Two records naming one file would leave only the later document.
        first, taken = self.seen.setdefault(name.lower(), (index, name))
        if first != index:
            raise RecordError(f"record {first} names its document {taken!r} already")
        return name


# A record's place in its chunk, with what is sent for it: its context and document name.
_Entry = tuple[int, tuple[Mapping[str, Any], str | None]]


@dataclass
class _Slot:
    """A chunk of records on its way, in record order."""

    outcomes: list[Outcome | None]
    sent: list[_Entry]
    future: Future[list[_Result] | _Fatal] | None = None
    # Retried on its own after its chunk failed as a whole.
    alone: bool = False


def _pickle_records(entries: list[_Entry], outcomes: list[Outcome | None]) -> tuple[list[_Entry], bytes]:
    """The chunk's records as bytes; a record that does not pickle fails alone."""
    try:
        return entries, pickle.dumps([payload for _, payload in entries], pickle.HIGHEST_PROTOCOL)
    except Exception:
        kept = []
        for position, payload in entries:
            try:
                pickle.dumps(payload, pickle.HIGHEST_PROTOCOL)
            except Exception as error:
                outcomes[position] = RecordError(
                    f"the record cannot be sent to a worker process: {type(error).__name__}: {error}"
                )
            else:
                kept.append((position, payload))
        return kept, pickle.dumps([payload for _, payload in kept], pickle.HIGHEST_PROTOCOL)


def render_many(
    template: TemplateSource,
    records: Iterable[Mapping[str, Any]],
    *,
    executor: Executor | None = None,
    chunk_size: int | None = None,
    window: int | None = None,
    output: str | os.PathLike[str] | None = None,
    name: Naming = None,
    pdf: bool = False,
    pdf_timeout: float | None = None,
    trusted: bool = False,
    autoescape: bool = True,
    limits: Limits | None = None,
    progress: Progress | None = None,
) -> Iterator[Outcome]:
    """Render one document per record; yield, in record order, each document or its error.

    A document is its bytes (a PDF with `pdf=True`), or with `output` (a folder, or
    an fsspec URL such as ``s3://bucket/letters``) the name it was written under,
    written by the worker itself. `name` names the documents: a field of the
    record, or a callable of (index, record); by default they are numbered. A
    record that fails yields its `TesserineError` and the others carry on; a
    template that cannot be opened or compiled raises.

    `executor` is any `concurrent.futures.Executor`: by default a process per core,
    started when iteration starts and shut down when it ends;
    `distributed.Client(...).get_executor()` runs on a Dask cluster. `chunk_size`
    records go to a worker at a time, and at most `window` chunks are in flight.
    """
    if (chunk_size is not None and chunk_size < 1) or (window is not None and window < 1):
        raise ValueError("chunk_size and window must be at least 1")
    data = _read_template(template)
    total = len(records) if isinstance(records, Sized) else None
    if pdf and executor is None:
        find_soffice()
    # Pools of the standard library say how many workers they have; for others, count the cores here.
    workers = getattr(executor, "_max_workers", None) or _cores()
    target = None if output is None else os.fspath(output)
    if target is not None:
        _make_folder(target)
    job = _Job(hashlib.sha256(data).hexdigest(), data, b"", target, pdf, trusted, autoescape, limits, pdf_timeout)
    run = _Run(job, executor, workers, chunk_size or _default_chunk_size(total, workers, pdf), window or 2 * workers,
               None if target is None else _Namer(name, ".pdf" if pdf else ".docx", total))
    return run.results(iter(records), total, progress)


class _Run:
    """The chunks of one render_many call, from reading records to yielding outcomes."""

    def __init__(self, job: _Job, executor: Executor | None, workers: int, size: int, window: int,
                 namer: _Namer | None) -> None:
        self.job = job
        self.executor = executor
        self.workers = workers
        self.size = size
        self.window = window
        self.namer = namer
        self.own = executor is None
        self.slots: deque[_Slot] = deque()
        self.index = 0
        self.exhausted = False

    def results(
        self, records: Iterator[Mapping[str, Any]], total: int | None, progress: Progress | None
    ) -> Iterator[Outcome]:
        if self.own:
            self.executor = ProcessPoolExecutor(self.workers)
        done = 0
        try:
            self.fill(records)
            while self.slots:
                slot = self.slots[0]
                if slot.alone and slot.future is None:
                    # A record retried alone runs with nothing else in flight, so that a
                    # worker dying under it convicts it and no other.
                    wait([other.future for other in self.slots if other.future is not None])
                    self.send(slot)
                if slot.future is not None and not self.settle(slot):
                    continue
                self.slots.popleft()
                done += len(slot.outcomes)
                if progress is not None:
                    progress(done, total)
                for outcome in slot.outcomes:
                    assert outcome is not None
                    yield outcome
                self.fill(records)
        finally:
            for slot in self.slots:
                if slot.future is not None:
                    slot.future.cancel()
            if self.own and self.executor is not None:
                self.executor.shutdown(wait=True, cancel_futures=True)

    def fill(self, records: Iterator[Mapping[str, Any]]) -> None:
        """Read records into new chunks and send them, up to the window."""
        while not self.exhausted and len(self.slots) < self.window and not any(s.alone for s in self.slots):
            slot = _Slot([], [])
            for record in records:
                position = len(slot.outcomes)
                slot.outcomes.append(None)
                try:
                    if not isinstance(record, Mapping):
                        raise RecordError(f"a record must be a mapping, not {type(record).__name__}")
                    name = None if self.namer is None else self.namer(self.index, record)
                    slot.sent.append((position, (record, name)))
                except RecordError as error:
                    slot.outcomes[position] = error
                self.index += 1
                if len(slot.outcomes) == self.size:
                    break
            else:
                self.exhausted = True
            if slot.outcomes:
                self.send(slot)
                self.slots.append(slot)

    def send(self, slot: _Slot) -> None:
        slot.sent, payload = _pickle_records(slot.sent, slot.outcomes)
        if not slot.sent:
            return
        work = dataclasses.replace(self.job, records=payload)
        assert self.executor is not None
        try:
            slot.future = self.executor.submit(_run_job, work)
        except BrokenProcessPool:
            if not self.own:
                raise
            # A dying worker takes its pool with it; the records in flight are retried alone.
            self.executor.shutdown(wait=False, cancel_futures=True)
            self.executor = ProcessPoolExecutor(self.workers)
            slot.future = self.executor.submit(_run_job, work)

    def settle(self, slot: _Slot) -> bool:
        """Fill in the outcomes of a sent chunk, once it is done; False if it was split for retries."""
        assert slot.future is not None
        error = slot.future.exception()
        if error is not None and not slot.alone:
            self.slots.popleft()
            self.slots.extendleft(reversed(_split(slot)))
            return False
        if error is not None:
            slot.outcomes[0] = WorkerError(f"the worker rendering this record stopped: {type(error).__name__}: {error}")
            return True
        result = slot.future.result()
        if isinstance(result, _Fatal):
            raise result.failure.error()
        for (position, _), item in zip(slot.sent, result, strict=True):
            slot.outcomes[position] = item.error() if isinstance(item, _Failure) else item
        return True


def _cores() -> int:
    """The cores this process may run on (fewer than the machine's under an affinity mask)."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def _default_chunk_size(total: int | None, workers: int, pdf: bool) -> int:
    """Enough records per chunk to amortise what each chunk costs (the template's
    bytes; for PDF, a start of LibreOffice), while keeping every worker busy."""
    if pdf:
        return 64 if total is None else max(1, min(256, math.ceil(total / workers)))
    return 32 if total is None else max(1, min(64, math.ceil(total / (4 * workers))))


def _make_folder(output: str) -> None:
    if not _is_url(output):
        try:
            os.makedirs(output, exist_ok=True)
        except OSError as error:
            raise TesserineError(f"cannot create the folder {output}: {error.strerror or error}") from None
        return
    filesystem, path = _filesystem(output)
    filesystem.makedirs(path, exist_ok=True)


def _split(failed: _Slot) -> list[_Slot]:
    """A failed chunk as one slot per record, those that were sent to be retried alone."""
    sent = dict(failed.sent)
    return [
        _Slot([None], [(0, sent[position])], alone=True) if position in sent else _Slot([outcome], [])
        for position, outcome in enumerate(failed.outcomes)
    ]
