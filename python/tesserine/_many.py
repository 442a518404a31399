"""Rendering one template for many records, on any `concurrent.futures.Executor`.

Records travel in chunks, each chunk with the template's bytes; a worker process
opens and compiles a template once and keeps it for later chunks. The caller's
iterator is read only as far as a window of chunks in flight needs, and results
are yielded in record order as they arrive, so a run of millions of records holds
a few chunks in memory at any time.
"""

from __future__ import annotations

import contextlib
import dataclasses
import hashlib
import io
import math
import os
import pickle
import re
import secrets
import signal
import threading
from collections import OrderedDict, deque
from collections.abc import Callable, Generator, Iterable, Iterator, Mapping, Sized
from concurrent.futures import Executor, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from typing import Any, Protocol

from ._document import Scrivelle
from ._errors import TemplatePartError, TemplateSyntaxError, TesserineError
from ._files import remove_leftovers, write_atomically
from ._input import Source, read_input
from ._limits import Limits
from ._pdf import PdfUnavailableError, convert_to_pdf, find_soffice

Naming = str | Callable[[int, Mapping[str, Any]], str] | None
Outcome = bytes | str | TesserineError
Prepare = Callable[[Mapping[str, Any]], Mapping[str, Any]]


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
_FATAL = (TemplateSyntaxError, TemplatePartError, PdfUnavailableError)

_UNSAFE_NAME = re.compile(r'[\x00-\x1f/\\:*?"<>|]')
_UNSIZED_WIDTH = 6
_CACHED_TEMPLATES = 4
_WORKER_DIED = "the worker process rendering this record stopped abruptly (it was killed, or it crashed)"


@dataclass(frozen=True)
class _Job:
    """One chunk of work: everything a worker needs, in one picklable value."""

    digest: str
    template: bytes
    records: bytes  # pickled list of (context, document name or None)
    output: str | None
    # In the names of this run's temporary files, so that what a killed worker left can be found.
    tag: str
    pdf: bool
    trusted: bool
    autoescape: bool
    limits: Limits | None
    pdf_timeout: float | None
    prepare: Prepare | None


@dataclass
class _Fatal:
    error: TesserineError


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


# In the processes that render_many starts itself: whether a chunk is in hand, and
# whether Ctrl-C was pressed.
_busy = False
_interrupted = False


def _on_interrupt(signum: int, frame: object) -> None:
    # Ctrl-C in a terminal reaches the workers as well as the caller, which ends the run:
    # a worker stops the chunk in hand and starts no other. Raised while it waits for
    # work, the interrupt would end the worker with a traceback.
    global _interrupted
    if not _interrupted:
        _interrupted = True
        if _busy:
            raise KeyboardInterrupt


def _start_worker() -> None:
    signal.signal(signal.SIGINT, _on_interrupt)


def _run_job(job: _Job) -> list[Outcome] | _Fatal:
    """Render a chunk in a worker: a result per record, or what ended the run."""
    global _busy
    if _interrupted:
        raise KeyboardInterrupt
    _busy = True
    try:
        try:
            entry = _template(job)
        except TesserineError as error:
            return _Fatal(error)
        try:
            return _render_chunk(job, entry)
        except _FATAL as error:
            return _Fatal(error)
    finally:
        _busy = False


def _render_chunk(job: _Job, entry: _Loaded) -> list[Outcome]:
    records: list[tuple[Mapping[str, Any], str | None]] = pickle.loads(job.records)
    results: list[Outcome] = []
    with entry.lock:
        for context, _ in records:
            try:
                values = context if job.prepare is None else job.prepare(context)
                entry.document.render(values, autoescape=job.autoescape, trusted=job.trusted)
                buffer = io.BytesIO()
                entry.document.save(buffer)
                results.append(buffer.getvalue())
            except _FATAL:
                raise
            except TesserineError as error:
                results.append(error)
            except MemoryError:
                results.append(RecordError("out of memory while rendering this record"))
            except Exception as error:
                # A caller's prepare, or a fault of ours: it concerns this record, not the chunk.
                results.append(RecordError(f"unexpected {type(error).__name__} while rendering this record: {error}"))
    if job.pdf:
        _convert(results, job.pdf_timeout)
    if job.output is not None:
        for index, (_, name) in enumerate(records):
            data = results[index]
            if isinstance(data, bytes) and name is not None:
                results[index] = _write(job.output, name, data, job.tag)
    return results


def _convert(results: list[Outcome], timeout: float | None) -> None:
    """Replace each rendered document by its PDF, in one LibreOffice run."""
    rendered = [(index, data) for index, data in enumerate(results) if isinstance(data, bytes)]
    pdfs = convert_to_pdf([data for _, data in rendered], timeout=timeout)
    for (index, _), pdf in zip(rendered, pdfs, strict=True):
        results[index] = pdf


def _is_url(output: str) -> bool:
    return "://" in output


def output_path(output: str, name: str) -> str:
    """Where the document `name` goes in the output folder, or under the output URL."""
    return output.rstrip("/") + "/" + name if _is_url(output) else os.path.join(output, name)


def existing_names(output: str) -> set[str]:
    """The names of the files in the output folder or under the output URL (none if
    there is no such folder)."""
    if not _is_url(output):
        try:
            return set(os.listdir(output))
        except (FileNotFoundError, NotADirectoryError):
            return set()
    filesystem, path = _filesystem(output)
    try:
        listing = filesystem.ls(path, detail=False)
    except FileNotFoundError:
        return set()
    return {entry.rstrip("/").rpartition("/")[2] for entry in listing}


def _write(output: str, name: str, data: bytes, tag: str) -> str | RecordError:
    """Write one document under `output`; its full name, or why it could not be written."""
    target = output_path(output, name)
    if not _is_url(output):
        try:
            write_atomically(target, data, tag=tag)
        except OSError as error:
            return RecordError(f"cannot write {target}: {error.strerror or error}")
        return target
    try:
        filesystem, path = _filesystem(target)
        # Object stores make an upload visible whole or not at all.
        filesystem.pipe_file(path, data)
    except Exception as error:
        # Each storage back end raises its own kinds of error.
        return RecordError(f"cannot write {target}: {type(error).__name__}: {error}")
    return target


def _filesystem(url: str) -> tuple[Any, str]:
    try:
        import fsspec  # type: ignore[import-untyped]
    except ImportError:
        raise TesserineError(
            f"writing to {url.split('://', 1)[0]}:// URLs needs fsspec: pip install 'tesserine[remote]'"
        ) from None
    try:
        filesystem, path = fsspec.core.url_to_fs(url)
    except Exception as error:
        # An unknown protocol, or one whose package is not installed.
        raise TesserineError(f"cannot open {url}: {type(error).__name__}: {error}") from None
    return filesystem, path


def file_name(given: str, extension: str) -> str:
    """A document's file name from the name a record gives it: no folders, no characters
    that file systems refuse, not hidden, with the extension."""
    stem = _UNSAFE_NAME.sub("_", given).strip().lstrip(".")
    if not stem:
        raise RecordError(f"the name {given!r} gives an empty file name")
    return stem if stem.lower().endswith(extension) else stem + extension


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
            try:
                given = str(self.naming(index, record))
            except Exception as error:
                # Names come from the data: a record the callable cannot name is that record's failure.
                raise RecordError(f"naming the document failed: {type(error).__name__}: {error}") from None
        name = file_name(given, self.extension)
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
    future: Future[list[Outcome] | _Fatal] | None = None
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
    template: Source,
    records: Iterable[Mapping[str, Any]],
    *,
    executor: Executor | None = None,
    workers: int | None = None,
    chunk_size: int | None = None,
    window: int | None = None,
    output: str | os.PathLike[str] | None = None,
    name: Naming = None,
    pdf: bool = False,
    pdf_timeout: float | None = None,
    prepare: Prepare | None = None,
    trusted: bool = False,
    autoescape: bool = True,
    limits: Limits | None = None,
    progress: Progress | None = None,
) -> Generator[Outcome, None, None]:
    """Render one document per record; yield, in record order, each document or its error.

    A document is its bytes (a PDF with `pdf=True`, converted by LibreOffice), or with
    `output` (a folder, or an fsspec URL such as ``s3://bucket/letters``) the name it
    was written under, written by the worker itself. `name` names the documents: a
    field of the record, or a callable of (index, record); by default they are
    numbered. `prepare`, a function that pickles, turns each record into the context
    in the worker (to read its pictures there, say). A record that fails yields its
    `TesserineError` and the others carry on; a template that cannot be opened or
    compiled raises, and so does a missing LibreOffice.

    `executor` is any `concurrent.futures.Executor`: by default `workers` processes
    (one per core), started when iteration starts and stopped when it ends;
    `distributed.Client(...).get_executor()` runs on a Dask cluster. `chunk_size`
    records go to a worker at a time, and at most `window` chunks are in flight.
    `progress(done, total)` is called as results arrive.
    """
    if any(value is not None and value < 1 for value in (workers, chunk_size, window)):
        raise ValueError("workers, chunk_size and window must be at least 1")
    data = read_input(template, "the template", TesserineError)[0]
    total = len(records) if isinstance(records, Sized) else None
    if pdf and executor is None:
        find_soffice()
    count = workers or _workers_of(executor)
    target = None if output is None else os.fspath(output)
    if target is not None:
        _make_folder(target)
    job = _Job(hashlib.sha256(data).hexdigest(), data, b"", target, f"{secrets.token_hex(4)}-", pdf, trusted,
               autoescape, limits, pdf_timeout, prepare)
    run = _Run(job, executor, count, chunk_size or _default_chunk_size(total, count, pdf), window or 2 * count,
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
        # Pools of our own that a dying worker broke, and whether any worker died.
        self.broken: list[ProcessPoolExecutor] = []
        self.died = False
        self.slots: deque[_Slot] = deque()
        self.index = 0
        self.exhausted = False

    def pool(self) -> ProcessPoolExecutor:
        return ProcessPoolExecutor(self.workers, initializer=_start_worker)

    def results(
        self, records: Iterator[Mapping[str, Any]], total: int | None, progress: Progress | None
    ) -> Generator[Outcome, None, None]:
        if self.own:
            self.executor = self.pool()
        done = 0
        finished = False
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
            finished = True
        finally:
            self.stop(finished)

    def stop(self, finished: bool) -> None:
        """End the run: when it ends early (an error, Ctrl-C, a caller that stops reading),
        what is still rendering is interrupted, as nobody will read it."""
        for slot in self.slots:
            if slot.future is not None:
                slot.future.cancel()
        if self.own:
            assert isinstance(self.executor, ProcessPoolExecutor)
            if not finished:
                _interrupt(self.executor)
            self.executor.shutdown(wait=True, cancel_futures=True)
            for pool in self.broken:
                pool.shutdown(wait=True)
        elif not finished:
            return
        if self.died and self.job.output is not None and not _is_url(self.job.output):
            # With no worker left running, no temporary file of this run is being written.
            remove_leftovers(self.job.output, self.job.tag)

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
            assert isinstance(self.executor, ProcessPoolExecutor)
            self.executor.shutdown(wait=False, cancel_futures=True)
            self.broken.append(self.executor)
            self.executor = self.pool()
            slot.future = self.executor.submit(_run_job, work)

    def settle(self, slot: _Slot) -> bool:
        """Fill in the outcomes of a sent chunk, once it is done; False if it was split for retries."""
        assert slot.future is not None
        error = slot.future.exception()
        if isinstance(error, KeyboardInterrupt):
            # Ctrl-C reached the worker: the run is interrupted.
            raise KeyboardInterrupt
        if error is not None:
            # The chunk's worker was lost: each of its records is tried again on its own.
            self.died = True
            if not slot.alone:
                self.slots.popleft()
                self.slots.extendleft(reversed(_split(slot)))
                return False
            slot.outcomes[0] = WorkerError(_WORKER_DIED if isinstance(error, BrokenProcessPool) else
                                           f"the worker rendering this record was lost: {type(error).__name__}:"
                                           f" {error}")
            return True
        result = slot.future.result()
        if isinstance(result, _Fatal):
            raise result.error
        for (position, _), item in zip(slot.sent, result, strict=True):
            slot.outcomes[position] = item
        return True


def _interrupt(pool: ProcessPoolExecutor) -> None:
    """Ctrl-C for the pool's workers, which a signal sent to this process alone does not reach.
    The pool keeps its processes in a private attribute: there is no public way to stop them."""
    for pid in list(getattr(pool, "_processes", None) or ()):
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGINT)


def _workers_of(executor: Executor | None) -> int:
    """How many chunks the executor runs at once: the standard library's pools and Dask's
    executor (through its client) know; otherwise, the cores here."""
    count = getattr(executor, "_max_workers", None)
    client = getattr(executor, "_client", None)
    if count is None and client is not None and callable(getattr(client, "nthreads", None)):
        count = sum(client.nthreads().values())
    return count or _cores()


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
    try:
        filesystem.makedirs(path, exist_ok=True)
    except Exception as error:
        # Each storage back end raises its own kinds of error.
        raise TesserineError(f"cannot create the folder {output}: {type(error).__name__}: {error}") from None


def _split(failed: _Slot) -> list[_Slot]:
    """A failed chunk as one slot per record, those that were sent to be retried alone."""
    sent = dict(failed.sent)
    return [
        _Slot([None], [(0, sent[position])], alone=True) if position in sent else _Slot([outcome], [])
        for position, outcome in enumerate(failed.outcomes)
    ]
