"""render_many: record order, a failure at its own index, chunks, bounded reading, executors."""

from __future__ import annotations

import io
import json
import os
import zipfile
from collections.abc import Iterator
from concurrent.futures import Executor, Future, ProcessPoolExecutor, ThreadPoolExecutor
from importlib import resources
from pathlib import Path
from typing import Any

import docx
import jinja2
import pytest

from helpers_docx import to_bytes, zip_with
from tesserine import NotADocxError, Scrivelle, TemplateRenderError, TemplateSyntaxError, TesserineError, _many
from tesserine._many import RecordError, WorkerError, render_many

EXAMPLES = resources.files("tesserine") / "examples"
LETTER = EXAMPLES.joinpath("invoice-letter.docx").read_bytes()
# A one-paragraph document: the cheapest to render where only the number of records matters.
TINY = zip_with({"word/document.xml": (
    '<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main">'
    "<w:body><w:p><w:r><w:t>{{ name }}</w:t></w:r></w:p></w:body></w:document>").encode()})
CONTEXT = json.loads(EXAMPLES.joinpath("invoice-letter.json").read_text(encoding="utf-8"))


def record(index: int, **changes: Any) -> dict[str, Any]:
    return {**CONTEXT, "customer": {"name": f"Customer {index:05d}", "address": "1 Road"}, **changes}


def customer(document: bytes) -> str:
    with zipfile.ZipFile(io.BytesIO(document)) as archive:
        xml = archive.read("word/document.xml").decode()
    start = xml.index("Customer ")
    return xml[start:start + 14]


def check(outcomes: list[Any], bad: set[int]) -> None:
    """Each good record's document is its own, in order; each bad one is an error in its place."""
    for index, outcome in enumerate(outcomes):
        if index in bad:
            assert isinstance(outcome, (TemplateRenderError, RecordError, WorkerError)), (index, outcome)
        else:
            assert customer(outcome) == f"Customer {index:05d}", index


def mixed(count: int) -> tuple[list[Any], set[int]]:
    records: list[Any] = [record(index) for index in range(count)]
    records[3] = record(3, groups=5)  # not iterable: fails while rendering
    records[5] = ["not", "a", "mapping"]
    return records, {3, 5}


class Counting(ThreadPoolExecutor):
    def __init__(self) -> None:
        super().__init__(2)
        self.submitted = 0

    def submit(self, fn: Any, /, *args: Any, **kwargs: Any) -> Future[Any]:
        self.submitted += 1
        return super().submit(fn, *args, **kwargs)


@pytest.fixture(autouse=True)
def fresh_workers(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    monkeypatch.setattr(_many, "_loaded", type(_many._loaded)())
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))


@pytest.mark.parametrize("make", [lambda: None, lambda: ProcessPoolExecutor(2)], ids=["default", "process pool"])
def test_order_and_failures_in_place(make: Any) -> None:
    executor: Executor | None = make()
    records, bad = mixed(23)
    seen: list[tuple[int, int | None]] = []
    outcomes = list(render_many(LETTER, records, executor=executor, chunk_size=4,
                                progress=lambda done, total: seen.append((done, total))))
    check(outcomes, bad)
    assert seen == [(done, 23) for done in (4, 8, 12, 16, 20, 23)]
    if executor is not None:
        executor.shutdown()


def test_chunks_and_one_compile_per_process(monkeypatch: pytest.MonkeyPatch) -> None:
    opened: list[int] = []
    compiled: list[int] = []

    class Counted(Scrivelle):
        def __init__(self, *args: Any, **kwargs: Any) -> None:
            opened.append(1)
            super().__init__(*args, **kwargs)

    compile = jinja2.Environment.compile
    monkeypatch.setattr(_many, "Scrivelle", Counted)
    monkeypatch.setattr(jinja2.Environment, "compile",
                        lambda self, *args, **kwargs: compiled.append(1) or compile(self, *args, **kwargs))
    with Counting() as executor:
        outcomes = list(render_many(LETTER, (record(index) for index in range(100)), executor=executor, chunk_size=10))
    check(outcomes, set())
    assert executor.submitted == 10
    assert opened == [1]
    assert len(compiled) == len(Scrivelle(LETTER).parts)


def test_a_long_iterator_is_read_only_a_window_ahead() -> None:
    pulled = 0

    def records() -> Iterator[dict[str, Any]]:
        nonlocal pulled
        for index in range(10_000):
            pulled += 1
            yield {"name": index}

    ahead = 0
    count = 0
    with ProcessPoolExecutor(2) as executor:
        for outcome in render_many(TINY, records(), executor=executor, chunk_size=50, window=4):
            count += 1
            ahead = max(ahead, pulled - count)
            assert isinstance(outcome, bytes)
    assert count == 10_000
    assert ahead <= 5 * 50


class Exploding:
    """A value whose rendering kills the worker process, as a crash in native code would."""

    def __str__(self) -> str:
        os._exit(3)


def test_a_record_that_kills_its_worker_fails_alone() -> None:
    records: list[Any] = [record(index) for index in range(12)]
    records[7] = record(7, city=Exploding())
    records[9] = record(9, city=lambda: None)  # cannot be pickled for another process
    outcomes = list(render_many(LETTER, records, chunk_size=4))
    check(outcomes, {7, 9})
    assert isinstance(outcomes[7], WorkerError)
    assert "cannot be sent" in str(outcomes[9])


@pytest.mark.parametrize(("name", "expected"), [
    (None, [f"{index:02d}.docx" for index in range(1, 11)]),
    ("city", ["a.docx", "b_c.docx", "no field 'city' to name the document",
              "record 0 names its document 'a.docx' already"]),
    (lambda index, rec: f"../letter {index}", ["_letter 0.docx"]),
])
def test_written_documents_and_their_names(tmp_path: Path, name: Any, expected: list[str]) -> None:
    records = [record(index) for index in range(10)]
    if name == "city":
        records = [record(0, city="a"), record(1, city="b/c"), record(2), record(3, city="A")]
        records[2].pop("city")
    with ThreadPoolExecutor(2) as executor:
        outcomes = list(render_many(LETTER, records, executor=executor, output=tmp_path / "out", name=name))
    names = [os.path.basename(o) if isinstance(o, str) else str(o) for o in outcomes]
    assert names[:len(expected)] == expected
    for outcome in outcomes:
        if isinstance(outcome, str):
            assert customer(Path(outcome).read_bytes()).startswith("Customer ")


def test_an_fsspec_url_is_written_by_the_workers() -> None:
    fsspec = pytest.importorskip("fsspec")
    with ThreadPoolExecutor(2) as executor:
        outcomes = list(render_many(LETTER, [record(0), record(1)], executor=executor, output="memory://letters/run1"))
    assert outcomes == ["memory://letters/run1/1.docx", "memory://letters/run1/2.docx"]
    assert customer(fsspec.filesystem("memory").cat_file("/letters/run1/2.docx")) == "Customer 00001"


@pytest.mark.parametrize(("template", "error"), [
    (b"not a zip", NotADocxError),
    ("{% if %}", TemplateSyntaxError),
])
def test_a_broken_template_ends_the_run(template: Any, error: type[Exception]) -> None:
    if isinstance(template, str):
        document = docx.Document()
        document.add_paragraph(template)
        template = to_bytes(document)
    with ThreadPoolExecutor(1) as executor, pytest.raises(error):
        list(render_many(template, [record(0), record(1)], executor=executor))


def test_what_needs_no_worker_is_checked_at_the_call(tmp_path: Path) -> None:
    with pytest.raises(TesserineError, match="cannot read the template"):
        render_many(tmp_path / "missing.docx", [record(0)])
    (tmp_path / "file").write_text("")
    with pytest.raises(TesserineError, match="cannot create the folder"):
        render_many(LETTER, [record(0)], output=tmp_path / "file" / "out")


def test_on_a_dask_cluster() -> None:
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        records, bad = mixed(20)
        check(list(render_many(LETTER, records, executor=client.get_executor(), chunk_size=3)), bad)
