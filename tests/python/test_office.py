"""Rendered documents opened by a real office suite: LibreOffice converts them to PDF."""

from __future__ import annotations

import json
import subprocess
from pathlib import Path

import pytest
from helpers_docx import backend, office_tools

import tesserine

__all__ = ["backend"]

EXAMPLES = Path(tesserine.__file__).parent / "examples"


@pytest.fixture
def office() -> str:
    return office_tools("soffice", "pdftotext")[0]


def pdf_text(soffice: str, documents: list[Path], workdir: Path) -> list[str]:
    profile = (workdir / "profile").as_uri()
    subprocess.run([soffice, f"-env:UserInstallation={profile}", "--headless", "--convert-to", "pdf",
                    "--outdir", str(workdir), *map(str, documents)],
                   check=True, capture_output=True, timeout=300)
    texts = []
    for document in documents:
        pdf = workdir / (document.stem + ".pdf")
        result = subprocess.run(["pdftotext", "-layout", str(pdf), "-"], check=True, capture_output=True, text=True)
        texts.append(result.stdout)
    return texts


def test_demo_letter_opens_in_libreoffice(backend: str, office: str, tmp_path: Path) -> None:
    data = json.loads((EXAMPLES / "invoice-letter.json").read_text(encoding="utf-8"))
    letter = tesserine.Scrivelle(EXAMPLES / "invoice-letter.docx")
    documents = []
    for name, balance in [("with-balance", "120.00 EUR"), ("settled", None)]:
        letter.render({**data, "previous_balance": balance})
        documents.append(tmp_path / f"{name}.docx")
        letter.save(documents[-1])
    with_balance, settled = pdf_text(office, documents, tmp_path)
    lines = [line.strip() for line in with_balance.splitlines() if line.strip()]
    assert lines[0] == "Quillmark Paper Works · Invoice 2024-0117"
    assert lines[lines.index("Tom & Jerry <Cartoons> Ltd"):][:4] == [
        "Tom & Jerry <Cartoons> Ltd", "Attn. Ms Jane Roe", "12 Long Road", "Springfield SP4 7RT"]
    assert "Dear Tom & Jerry <Cartoons> Ltd," in lines
    assert "open balance of 120.00 EUR" in with_balance and "open balance" not in settled
    rows = [line.split() for line in lines if line.split()[-1:] in (["94.00"], ["37.80"], ["9.00"], ["EUR"])]
    assert [row[0] for row in rows] == ["Paper", "A3", "Service", "Total"]
    assert rows[-1][-2:] == ["171.80", "EUR"]
    assert "VAT GB 123 4567 89" in lines[-1]
