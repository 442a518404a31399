"""PDF through LibreOffice: the text as a PDF reader sees it, one start per chunk, clear failures."""

from __future__ import annotations

import io
import json
import os
import shutil
import subprocess
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest
from test_cli import assert_one_line_error, run
from test_many import LETTER, batch_files, fresh_workers, record  # noqa: F401 (an autouse fixture)

from tesserine import (
    PdfConversionError,
    PdfUnavailableError,
    Scrivelle,
    TemplateRenderError,
    convert_to_pdf,
    render_many,
)

SOFFICE = shutil.which("soffice")
# The test command requires the office tools: there a missing one fails the test instead.
needs_soffice = pytest.mark.skipif((SOFFICE is None or shutil.which("pdftotext") is None)
                                   and os.environ.get("TESSERINE_REQUIRE_OFFICE") != "1",
                                   reason="needs soffice (libreoffice-writer-nogui) and pdftotext (poppler-utils)")


def pdf_text(pdf: bytes, tmp_path: Path) -> str:
    path = tmp_path / "out.pdf"
    path.write_bytes(pdf)
    return subprocess.run(["pdftotext", "-layout", str(path), "-"], capture_output=True, text=True, check=True).stdout


def fake_soffice(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, body: str) -> Path:
    """A `soffice` first on PATH that runs `body`; the log file it may write to."""
    folder = tmp_path / "bin"
    folder.mkdir()
    script = folder / "soffice"
    script.write_text(f"#!/bin/sh\n{body}\n")
    script.chmod(0o755)
    monkeypatch.setenv("PATH", f"{folder}{os.pathsep}{os.environ['PATH']}")
    return tmp_path / "starts.log"


@needs_soffice
def test_twenty_pdfs_start_libreoffice_once_per_chunk(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    log = fake_soffice(tmp_path, monkeypatch, f'echo start >> "{tmp_path}/starts.log"\nexec {SOFFICE} "$@"')
    records = [record(index) for index in range(20)]
    records[4] = record(4, groups=5)
    with ProcessPoolExecutor(2) as executor:
        outcomes = list(render_many(LETTER, records, executor=executor, pdf=True))
    assert len(log.read_text().splitlines()) == 2  # 20 records for 2 workers: 2 chunks
    assert isinstance(outcomes.pop(4), TemplateRenderError)
    pdfs = [outcome for outcome in outcomes if isinstance(outcome, bytes) and outcome.startswith(b"%PDF-")]
    assert len(pdfs) == 19 and "Customer 00013" in pdf_text(pdfs[12], tmp_path)


@needs_soffice
def test_a_document_that_does_not_convert_fails_alone() -> None:
    [good] = render_many(LETTER, [record(1)])
    assert isinstance(good, bytes)
    results = convert_to_pdf([good, good[:len(good) // 2], good])
    assert [type(result) for result in results] == [bytes, PdfConversionError, bytes]
    assert "no PDF for this document" in str(results[1])


@needs_soffice
def test_pdf_from_scrivelle_and_the_command_line(tmp_path: Path) -> None:
    document = Scrivelle(LETTER)
    document.render(record(11))
    saved = io.BytesIO()
    document.save_pdf(saved)
    assert "Customer 00011" in pdf_text(saved.getvalue(), tmp_path)

    template, lines = batch_files(tmp_path, 3, json.dumps(record(3, groups=5)))
    (tmp_path / "data.json").write_text(json.dumps(record(7)))
    result = run("render", template, tmp_path / "data.json", "-o", tmp_path / "letter.PDF", "--plain-json")
    assert (result.returncode, result.stderr) == (0, "")
    assert "Customer 00007" in pdf_text((tmp_path / "letter.PDF").read_bytes(), tmp_path)

    result = run("batch", template, lines, "-o", tmp_path / "out", "--pdf", "--plain-json")
    assert result.returncode == 1
    assert result.stderr.splitlines()[0] == f"3 of 4 documents written to {tmp_path / 'out'}"
    assert result.stderr.splitlines()[1].startswith("tesserine: line 4: word/document.xml: ")
    assert sorted(os.listdir(tmp_path / "out")) == ["1.pdf", "2.pdf", "3.pdf"]
    assert "Customer 00002" in pdf_text((tmp_path / "out" / "3.pdf").read_bytes(), tmp_path)


def test_missing_libreoffice_names_the_package(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    template, lines = batch_files(tmp_path, 1)
    (tmp_path / "data.json").write_text(json.dumps(record(0)))
    monkeypatch.setenv("PATH", str(tmp_path))
    with pytest.raises(PdfUnavailableError, match="libreoffice-writer-nogui"):
        list(render_many(LETTER, [record(0)], pdf=True))
    with pytest.raises(PdfUnavailableError, match="libreoffice-writer-nogui"):
        convert_to_pdf([LETTER])
    for command in (["render", template, tmp_path / "data.json", "-o", tmp_path / "out.pdf"],
                    ["batch", template, lines, "-o", tmp_path / "out", "--pdf"]):
        assert_one_line_error(run(*command, "--plain-json"), "apt install libreoffice-writer-nogui")
    assert not (tmp_path / "out.pdf").exists() and not (tmp_path / "out").exists()


def test_a_batch_past_its_time_is_killed_and_fails_whole(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    fake_soffice(tmp_path, monkeypatch, f'echo $$ > "{tmp_path}/pid"\nexec sleep 60')
    results = convert_to_pdf([LETTER, LETTER], timeout=1)
    assert all(isinstance(result, PdfConversionError) and "within 1 seconds" in str(result) for result in results)
    with pytest.raises(ProcessLookupError):
        os.kill(int((tmp_path / "pid").read_text()), 0)
