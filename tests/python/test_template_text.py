"""Control characters that the template's own text holds keep their meaning through the
whole render; the same characters coming from a value still become tabs and breaks."""

from __future__ import annotations

import io
from xml.etree import ElementTree

import docx
import pytest
from helpers_docx import W, backend, members, to_bytes, zip_with

import tesserine

__all__ = ["backend"]

_PLACEHOLDER = "<w:p><w:r><w:t>BODY</w:t></w:r></w:p>"


def _template(body: str) -> bytes:
    document = docx.Document()
    document.add_paragraph("BODY")
    parts = members(to_bytes(document))
    xml = parts["word/document.xml"].decode()
    assert _PLACEHOLDER in xml
    parts["word/document.xml"] = xml.replace(_PLACEHOLDER, body).encode()
    return zip_with(parts)


def _view(xml: str) -> str:
    """The body as a reader sees it: text, ⏎ a line break, ⇟ a page break, ⇥ a tab, ¶ between paragraphs."""
    marks = {W + "br": "⏎", W + "tab": "⇥"}
    paragraphs = []
    for paragraph in ElementTree.fromstring(xml).iter(W + "p"):
        pieces = []
        for element in paragraph.iter():
            if element.tag == W + "t":
                pieces.append(element.text or "")
            elif element.tag == W + "br" and element.get(W + "type") == "page":
                pieces.append("⇟")
            else:
                pieces.append(marks.get(element.tag, ""))
        paragraphs.append("".join(pieces))
    return "¶".join(paragraphs)


def _text(content: str) -> str:
    return f'<w:p><w:r><w:t xml:space="preserve">{content}</w:t></w:r></w:p>'


CASES = [
    # The template's own characters: XML reads a carriage return as a line feed.
    ("line feed", _text("\nTitle\n"), "", "\nTitle\n"),
    ("carriage return", _text("a\rb\r\nc"), "", "a\nb\nc"),
    ("tab", _text("a\tb"), "", "a\tb"),
    ("line feed by a tag", _text("\n{{ v }}\n"), "x", "\nx\n"),
    ("carriage return by a tag", _text("{{ v }}\r"), "x", "x\n"),
    ("tab by a tag", _text("\t{{ v }}\t"), "x", "\tx\t"),
    # Inside a tag they are the template engine's white space; next to a trim marker it strips them.
    ("inside a tag", _text("{{\tv\r\n}}"), "x", "x"),
    ("tag split over pretty-printed runs",
     '<w:p><w:r><w:t>{{ v</w:t></w:r>\n<w:r><w:t xml:space="preserve">\n}}\n</w:t></w:r></w:p>', "x", "x\n"),
    ("trim marker", _text("a\n{{- v -}}\tb"), "x", "axb"),
    # Pretty-printed markup: a line break inside a text start tag, and an empty text element
    # written self-closing before markup white space, ahead of a value that must still resolve.
    ("text start tag over two lines", '<w:p><w:r><w:t xml:space="preserve"\n>{{ v }}</w:t></w:r></w:p>', "a\nb",
     "a⏎b"),
    ("text start tag over three lines", '<w:p><w:r><w:t\n  xml:space="preserve"\n>{{ v }}</w:t></w:r></w:p>', "a\tb",
     "a⇥b"),
    ("self-closing text",
     '<w:p>\n  <w:r>\n    <w:t xml:space="preserve"/>\n    <w:tab/>\n    <w:t>{{ v }}</w:t>\n  </w:r>\n</w:p>', "a\nb",
     "⇥a⏎b"),
    # Values, as before.
    ("value line feed", _text("{{ v }}"), "a\nb", "a⏎b"),
    ("value tab", _text("{{ v }}"), "a\tb", "a⇥b"),
    ("value BEL", _text("{{ v }}"), "a\ab", "a¶b"),
    ("value form feed", _text("{{ v }}"), "a\fb", "a¶⇟¶b"),
]


@pytest.mark.parametrize(("body", "value", "expected"), [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_control_characters_through_the_render(backend: str, body: str, value: str, expected: str) -> None:
    document = tesserine.Scrivelle(_template(body))
    document.render({"v": value})
    assert _view(document.rendered_xml("word/document.xml")) == expected
    document.save(io.BytesIO())


@pytest.mark.parametrize("character", ["\a", "\f"])
@pytest.mark.parametrize("content", ["a{c}b", "{c}{{{{ v }}}}"])
def test_characters_xml_forbids_stay_an_error(backend: str, character: str, content: str) -> None:
    # A template with them is no XML document; it is not quietly turned into one with breaks.
    document = tesserine.Scrivelle(_template(_text(content.format(c=character))))
    document.render({"v": "x"})
    assert f"&#{ord(character)};" in document.rendered_xml("word/document.xml")
    with pytest.raises(tesserine.MalformedPartError):
        document.save(io.BytesIO())
