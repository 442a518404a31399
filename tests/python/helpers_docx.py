"""Building test documents the way a word processor leaves them, and reading them back."""

from __future__ import annotations

import io
import os
import shutil
import zipfile
from pathlib import Path

import docx
import pytest
from docx.document import Document
from docx.oxml import OxmlElement
from docx.text.paragraph import Paragraph

import tesserine
from tesserine import _backend

W = "{http://schemas.openxmlformats.org/wordprocessingml/2006/main}"


@pytest.fixture(params=["pure", "native"])
def backend(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> str:
    """Run the test once with each engine behind the package."""
    chosen = _backend.native_backend() if request.param == "native" else _backend.pure_backend()
    if chosen is None:
        pytest.skip("native module not built")
    monkeypatch.setattr(_backend, "active", chosen)
    return str(request.param)


def office_tools(*names: str) -> list[str]:
    """The paths of the office tools a test needs; the test command requires them, elsewhere they may be missing."""
    paths = [shutil.which(name) for name in names]
    missing = [name for name, path in zip(names, paths, strict=True) if path is None]
    if missing:
        if os.environ.get("TESSERINE_REQUIRE_OFFICE") == "1":
            pytest.fail(f"{', '.join(missing)} required but not installed")
        pytest.skip(f"{', '.join(missing)} not installed")
    return [path for path in paths if path is not None]


def child_env(**variables: str) -> dict[str, str]:
    """The environment for a child Python that must import this same tesserine."""
    root = str(Path(tesserine.__file__).parent.parent)
    path = os.pathsep.join(filter(None, [root, os.environ.get("PYTHONPATH")]))
    return {**os.environ, "PYTHONPATH": path, **variables}


def split_runs(paragraph: Paragraph, *pieces: str) -> None:
    """Add the pieces as runs with alternating formatting and proofing marks between them."""
    for index, piece in enumerate(pieces):
        if index:
            mark = OxmlElement("w:proofErr")
            mark.set(f"{W}type", "spellStart" if index % 2 else "spellEnd")
            paragraph._p.append(mark)
        run = paragraph.add_run(piece)
        run.bold = index % 2 == 1
        run.italic = index % 3 == 2


def to_bytes(document: Document | tesserine.Scrivelle) -> bytes:
    buffer = io.BytesIO()
    document.save(buffer)
    return buffer.getvalue()


def read(data: bytes) -> Document:
    return docx.Document(io.BytesIO(data))


def texts(document: Document) -> list[str]:
    return [paragraph.text for paragraph in document.paragraphs]


def table_texts(document: Document, index: int = 0) -> list[list[str]]:
    return [[tc.xpath("string(.)") for tc in tr.tc_lst] for tr in document.tables[index]._tbl.tr_lst]


def zip_with(members: dict[str, bytes], stored: frozenset[str] = frozenset()) -> bytes:
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, data in members.items():
            compression = zipfile.ZIP_STORED if name in stored else zipfile.ZIP_DEFLATED
            archive.writestr(name, data, compress_type=compression)
    return buffer.getvalue()


def members(data: bytes) -> dict[str, bytes]:
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        return {name: archive.read(name) for name in archive.namelist()}
