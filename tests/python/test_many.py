"""render_many: record order, a failure at its own index, chunks, bounded reading, executors."""

from __future__ import annotations

import contextlib
import fcntl
import io
import json
import multiprocessing
import os
import pickle
import pty
import re
import struct
import subprocess
import sys
import termios
import threading
import zipfile
from collections.abc import Iterator, Mapping
from concurrent.futures import Future, ProcessPoolExecutor, ThreadPoolExecutor
from importlib import resources
from pathlib import Path
from typing import Any

import docx
import jinja2
import pytest
from helpers_docx import child_env, to_bytes, zip_with
from test_cli import run, write_lines

from tesserine import (
    Limits,
    MalformedPartError,
    NotADocxError,
    RecordError,
    Scrivelle,
    TemplateRenderError,
    TemplateSyntaxError,
    TesserineError,
    WorkerError,
    _many,
    render_many,
)
from tesserine._files import write_atomically

EXAMPLES = resources.files("tesserine") / "examples"
LETTER = EXAMPLES.joinpath("invoice-letter.docx").read_bytes()
# A one-paragraph document: the cheapest to render where only the number of records matters.
TINY = zip_with({"word/document.xml": (
    b'<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main">'
    b"<w:body><w:p><w:r><w:t>{{ name }}</w:t></w:r></w:p></w:body></w:document>")})
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


def test_order_and_failures_in_place() -> None:
    # A pool of the caller's; render_many's own pool serves the other tests.
    records, bad = mixed(23)
    seen: list[tuple[int, int | None]] = []
    with ProcessPoolExecutor(2) as executor:
        outcomes = list(render_many(LETTER, records, executor=executor, chunk_size=4,
                                    progress=lambda done, total: seen.append((done, total))))
    check(outcomes, bad)
    assert seen == [(done, 23) for done in (4, 8, 12, 16, 20, 23)]
    # The error crossed from the worker with its fields, as rendering here raises it.
    with pytest.raises(TemplateRenderError) as here:
        Scrivelle(LETTER).render(records[3])
    assert vars(outcomes[3]) == vars(here.value) and str(outcomes[3]) == str(here.value)


@pytest.mark.parametrize("error", [
    MalformedPartError("word/document.xml", 3, 14, "mismatched tag", "<w:p>"),
    TemplateRenderError("word/document.xml", "ZeroDivisionError", "{{ 1 / 0 }}", 4),
], ids=lambda error: type(error).__name__)
def test_errors_cross_processes_whole(error: TesserineError) -> None:
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), str(copy), copy.args, vars(copy)) == (type(error), str(error), error.args, vars(error))


def upper_city(record: Mapping[str, Any]) -> Mapping[str, Any]:
    if record["city"] == "nowhere":
        raise RecordError("no such city")
    return {**record, "city": str(record["city"]).upper()}


def test_prepare_runs_in_the_worker_and_fails_its_record_alone() -> None:
    records = [record(index, city=f"town {index}") for index in range(6)]
    records[2]["city"] = "nowhere"
    outcomes = list(render_many(LETTER, records, workers=2, chunk_size=2, prepare=upper_city))
    check(outcomes, {2})
    assert str(outcomes[2]) == "no such city"
    assert b"TOWN 5" in zipfile.ZipFile(io.BytesIO(outcomes[5])).read("word/document.xml")


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


def dying_write(path: str, data: bytes, *, tag: str = "") -> None:
    """Write as workers do, except that the worker writing the third document dies halfway."""
    if os.path.basename(path) == "3.docx":
        with open(os.path.join(os.path.dirname(path), f".tesserine-{tag}0123.tmp"), "wb") as half:
            half.write(data[:100])
        os._exit(9)
    write_atomically(path, data, tag=tag)


def test_a_worker_killed_while_writing_leaves_no_temporary_file(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    # Workers are forked, so they write through the patched function.
    assert multiprocessing.get_start_method() == "fork"
    monkeypatch.setattr(_many, "write_atomically", dying_write)
    out = tmp_path / "out"
    out.mkdir()
    (out / ".tesserine-0123abcd-45.tmp").write_bytes(b"another run's")
    outcomes = list(render_many(LETTER, [record(index) for index in range(6)], output=out, workers=2, chunk_size=2))
    assert isinstance(outcomes[2], WorkerError)
    assert sorted(os.listdir(out)) == [".tesserine-0123abcd-45.tmp", "1.docx", "2.docx", "4.docx", "5.docx",
                                       "6.docx"]


def test_a_caller_that_stops_reading_stops_the_workers() -> None:
    endless = zip_with({"word/document.xml": (
        b'<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:body><w:p><w:r>'
        b"<w:t>{{ name }}{% if slow %}{% for i in range(10**9) %}{% endfor %}{% endif %}</w:t></w:r></w:p>"
        b"</w:body></w:document>")})
    records = [{"name": "quick"}, *({"name": "slow", "slow": True} for _ in range(3))]
    before = set(multiprocessing.active_children())
    outcomes = render_many(endless, records, workers=2, chunk_size=1, limits=Limits(timeout=None))
    assert isinstance(next(outcomes), bytes)
    assert len(set(multiprocessing.active_children()) - before) == 2
    # Without the interrupt, closing would wait for renders that never end.
    closing = threading.Thread(target=outcomes.close, daemon=True)
    closing.start()
    closing.join(60)
    assert not closing.is_alive()
    assert set(multiprocessing.active_children()) - before == set()


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
    with pytest.raises(ValueError, match="at least 1"):
        render_many(LETTER, [record(0)], workers=0)
    with pytest.raises(TesserineError, match="cannot read the template"):
        render_many(tmp_path / "missing.docx", [record(0)])
    (tmp_path / "file").write_text("")
    with pytest.raises(TesserineError, match="cannot create the folder"):
        render_many(LETTER, [record(0)], output=tmp_path / "file" / "out")


def batch_files(tmp_path: Path, count: int, *bad: str) -> tuple[Path, Path]:
    """The letter template and a JSON Lines file of `count` letters, then the `bad` lines."""
    template = tmp_path / "letter.docx"
    template.write_bytes(LETTER)
    lines = [json.dumps(record(index)) for index in range(count)]
    return template, write_lines(tmp_path / "records.jsonl", *lines, *bad)


def test_on_a_dask_cluster(tmp_path: Path) -> None:
    distributed = pytest.importorskip("distributed")
    template, lines = batch_files(tmp_path, 5, '{"bad": ')
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        records, bad = mixed(20)
        check(list(render_many(LETTER, records, executor=client.get_executor(), chunk_size=3)), bad)
        result = run("batch", template, lines, "-o", tmp_path / "out", "--plain-json",
                     "--dask", cluster.scheduler_address)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert result.stderr.splitlines() == [
        f"5 of 6 documents written to {tmp_path / 'out'}",
        "tesserine: line 6: invalid JSON at column 9: Expecting value",
    ]
    assert customer((tmp_path / "out" / "5.docx").read_bytes()) == "Customer 00004"


def test_dask_missing_names_the_extra(tmp_path: Path) -> None:
    template, lines = batch_files(tmp_path, 1)
    # None in sys.modules makes the import fail, as when the package is not installed.
    command = ("import sys; sys.modules['distributed'] = None; from tesserine.cli import main;"
               " sys.exit(main(sys.argv[1:]))")
    result = subprocess.run([sys.executable, "-c", command, "batch", str(template), str(lines), "-o",
                             str(tmp_path / "out"), "--dask", "tcp://127.0.0.1:8786"],
                            capture_output=True, text=True, env=child_env(), timeout=60)
    assert (result.returncode, result.stderr) == (
        1, "tesserine: --dask needs Dask's distributed package: pip install 'tesserine[dask]'\n")


def test_batch_to_a_url_and_its_refusal_to_overwrite(tmp_path: Path) -> None:
    pytest.importorskip("fsspec")
    template, lines = batch_files(tmp_path, 3)
    url = f"file://{tmp_path}/out"
    written = run("batch", template, lines, "-o", url, "--plain-json")
    assert (written.returncode, written.stderr) == (0, f"3 of 3 documents written to {url}\n")
    assert customer((tmp_path / "out" / "2.docx").read_bytes()) == "Customer 00001"
    refused = run("batch", template, lines, "-o", url, "--plain-json")
    assert refused.returncode == 1
    assert refused.stderr.splitlines()[:2] == [f"tesserine: {url}/1.docx exists already",
                                               f"tesserine: {url}/2.docx exists already"]


def test_batch_draws_its_bar_on_a_terminal(tmp_path: Path) -> None:
    template, lines = batch_files(tmp_path, 3)
    terminal, its_side = pty.openpty()
    # A terminal 80 columns wide: a fresh pseudo-terminal has none.
    fcntl.ioctl(its_side, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    with os.fdopen(terminal, "rb", buffering=0) as screen:
        subprocess.run([sys.executable, "-m", "tesserine", "batch", str(template), str(lines), "-o",
                        str(tmp_path / "out"), "--plain-json"],
                       stderr=its_side, env=child_env(), timeout=60, check=True)
        os.close(its_side)
        pieces: list[bytes] = []
        with contextlib.suppress(OSError):  # the other side is closed: all was read
            while piece := screen.read(4096):
                pieces.append(piece)
    shown = b"".join(pieces).decode()
    # Documents done, time spent and left, and documents per second.
    assert re.search(r"3/3 \[\d\d:\d\d<\d\d:\d\d, +[\d.]+doc/s\]", shown), shown
    assert shown.endswith(f"3 of 3 documents written to {tmp_path / 'out'}\r\n")
