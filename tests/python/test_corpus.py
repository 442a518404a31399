"""Real documents come out as they went in: rendered with no context, or with tags typed
into body text, a table cell and a header, they read the same in LibreOffice (text and
pages, the tags' values in place of the tags) and keep every other part and element.
The documents come from tests/corpus/make_corpus.py."""

from __future__ import annotations

import io
import re
from dataclasses import dataclass
from pathlib import Path
from xml.etree.ElementTree import canonicalize

import pytest
from helpers_docx import backend, members, zip_with
from test_office import office, pdf_text

import tesserine

__all__ = ["backend", "office"]

CORPUS = Path(__file__).parent.parent / "corpus"
DOCUMENTS = sorted(CORPUS.glob("*.docx"))
# Tag, and the value typed in its place in the document it is compared with.
WHERE = {"body": ("{{ body_value }}", "Body value 71"), "cell": ("{{ cell_value }}", "Cell value 82"),
         "header": ("{% if header_on %}{{ header_value }}{% endif %}", "Header value 93")}
CONTEXT = {"body_value": "Body value 71", "cell_value": "Cell value 82", "header_value": "Header value 93",
           "header_on": True}

_TEXT = re.compile(r'<w:t(?: xml:space="preserve")?>([^<]*\w[^<]*)</w:t>')
_TABLE_EDGE = re.compile(r"<w:tbl[ >]|</w:tbl>")
# Paragraphs where typed text would not show as plain text, or belongs to something else.
_NOT_PLAIN = ("w:fldChar", "w:fldSimple", "w:sdt", "<w:ins ", "<w:del ", "w:hyperlink", "w:txbxContent",
              "mc:AlternateContent", "<w:drawing")


def _place(xml: str, in_table: bool) -> int | None:
    """Where an author would type, at the end of the first plain text inside or outside tables."""
    for text in _TEXT.finditer(xml):
        depth = sum(1 if edge.group() != "</w:tbl>" else -1 for edge in _TABLE_EDGE.finditer(xml, 0, text.start()))
        paragraph = xml[max(xml.rfind("<w:p>", 0, text.start()), xml.rfind("<w:p ", 0, text.start())):
                        xml.find("</w:p>", text.end())]
        if (depth > 0) == in_table and not any(mark in paragraph for mark in _NOT_PLAIN):
            return text.end(1)
    return None


@dataclass
class Case:
    original: bytes
    template: bytes  # tags typed into it
    literal: bytes  # the tags' values typed instead
    values: tuple[str, ...]


def _case(path: Path) -> Case:
    original = path.read_bytes()
    parts = members(original)
    headers = [part for part in tesserine.Scrivelle(original).parts if "header" in part]
    places: dict[str, list[tuple[int, str, str]]] = {}
    for where, (tag, value) in WHERE.items():
        for part in headers if where == "header" else ["word/document.xml"]:
            at = _place(parts[part].decode(), where == "cell")
            if at is not None:
                places.setdefault(part, []).append((at, tag, value))
                break

    def typed(value: bool) -> bytes:
        edited = dict(parts)
        for part, spots in places.items():
            xml = parts[part].decode()
            for at, tag, text in sorted(spots, reverse=True):
                xml = f"{xml[:at]} {text if value else tag}{xml[at:]}"
            edited[part] = xml.encode()
        return zip_with(edited)

    values = tuple(value for spots in places.values() for _, _, value in spots)
    return Case(original, typed(False), typed(True), values)


def _render(data: bytes, context: dict[str, object]) -> bytes:
    document = tesserine.Scrivelle(data)
    document.render(context)
    buffer = io.BytesIO()
    document.save(buffer)
    return buffer.getvalue()


_PRESERVED = re.compile(r'<w:t xml:space="preserve">([^<]*)</w:t>')


def _same_xml(a: bytes, b: bytes) -> bool:
    """Equal as XML, but for xml:space on text where it changes nothing: patching marks the
    text element that holds a tag, or the last unmarked one before it."""

    def plain(xml: bytes) -> str:
        return _PRESERVED.sub(lambda t: f"<w:t>{t[1]}</w:t>" if t[1] == " ".join(t[1].split()) else t[0],
                              canonicalize(xml_data=xml))

    return plain(a) == plain(b)


@pytest.mark.parametrize("path", DOCUMENTS, ids=[path.stem for path in DOCUMENTS])
def test_rendering_leaves_everything_but_the_tags(backend: str, path: Path) -> None:
    case = _case(path)
    assert len(case.values) >= 2, "the tags found too few places in the document"
    template_parts = set(tesserine.Scrivelle(case.original).parts)
    for expected, rendered in [(case.original, _render(case.original, {})),
                               (case.literal, _render(case.template, CONTEXT))]:
        want, got = members(expected), members(rendered)
        assert list(got) == list(want)
        for part in want:
            if part in template_parts:
                assert _same_xml(got[part], want[part]), part
            else:
                assert got[part] == want[part], part


def test_corpus_reads_the_same_in_libreoffice(office: str, tmp_path: Path) -> None:
    documents: list[Path] = []
    values: dict[str, tuple[str, ...]] = {}
    for path in DOCUMENTS:
        case = _case(path)
        values[path.stem] = case.values
        for label, data in [("original", case.original), ("empty", _render(case.original, {})),
                            ("literal", case.literal), ("tagged", _render(case.template, CONTEXT))]:
            documents.append(tmp_path / f"{path.stem}.{label}.docx")
            documents[-1].write_bytes(data)
    texts = dict(zip((document.stem for document in documents), pdf_text(office, documents, tmp_path), strict=True))
    differ = []
    for stem, found in values.items():
        for expected, rendered in [("original", "empty"), ("literal", "tagged")]:
            # pdftotext ends each page with a form feed: the same text has the same pages.
            if texts[f"{stem}.{rendered}"] != texts[f"{stem}.{expected}"]:
                differ.append(f"{stem}: {rendered}")
        # Narrow columns wrap a value over lines, the layout interleaves columns, and
        # direction marks cling to words.
        shown = set(re.findall(r"\w+", texts[f"{stem}.tagged"]))
        differ += [f"{stem}: no {value!r}" for value in found if not set(value.split()) <= shown]
    assert not differ
