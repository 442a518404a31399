"""Template text in hyperlink addresses and in comments."""

from __future__ import annotations

import docx
import pytest
from docx.opc.constants import RELATIONSHIP_TYPE as RT
from docx.oxml import OxmlElement
from docx.oxml.ns import qn
from docx.text.paragraph import Paragraph
from helpers_docx import members, read, to_bytes

import tesserine
from tesserine import LinkAddressError, TemplateSyntaxError


def add_link(paragraph: Paragraph, target: str, text: str) -> None:
    identifier = paragraph.part.relate_to(target, RT.HYPERLINK, is_external=True)
    link, run, words = OxmlElement("w:hyperlink"), OxmlElement("w:r"), OxmlElement("w:t")
    link.set(qn("r:id"), identifier)
    words.text = text
    run.append(words)
    link.append(run)
    paragraph._p.append(link)


def linked(target: str) -> bytes:
    document = docx.Document()
    document.add_paragraph("Intro")
    add_link(document.add_paragraph("See "), target, "the page")
    return to_bytes(document)


@pytest.mark.parametrize("target, value, address", [
    ("https://example.com/{{ v }}", "a b&c/d", "https://example.com/a%20b%26c%2Fd"),
    ("https://example.com/?q={{ v }}&lang=en", "ä+ö", "https://example.com/?q=%C3%A4%2B%C3%B6&lang=en"),
    ("{{ v }}", "https://example.com/x y?a=1&b=2", "https://example.com/x%20y?a=1&b=2"),
    ("mailto:{{ v }}?subject=Hi", "ann@example.com", "mailto:ann@example.com?subject=Hi"),
    # Word writes the braces and spaces of an address escaped.
    ("https://example.com/%7B%7B%20v%20%7D%7D", "x", "https://example.com/x"),
    ("https://example.com/{% if v %}yes{% else %}no{% endif %}", "", "https://example.com/no"),
])
def test_address_rendered_and_escaped(target: str, value: str, address: str) -> None:
    scrivelle = tesserine.Scrivelle(linked(target))
    assert scrivelle.undeclared_variables() == {"v"}
    scrivelle.render({"v": value})
    saved = to_bytes(scrivelle)
    paragraph = read(saved).paragraphs[1]
    assert [(link.address, link.text) for link in paragraph.hyperlinks] == [(address, "the page")]
    rels = members(saved)["word/_rels/document.xml.rels"].decode()
    assert address.replace("&", "&amp;") in rels


@pytest.mark.parametrize("value", ["javascript:alert(1)", "", "https://"])
def test_address_that_is_no_url_is_refused(value: str) -> None:
    scrivelle = tesserine.Scrivelle(linked("{{ v }}"))
    with pytest.raises(LinkAddressError) as refused:
        scrivelle.render({"v": value})
    assert (refused.value.part, refused.value.place.paragraph, refused.value.tag) == (
        "word/document.xml", 2, "{{ v }}")
    assert "is not an absolute http, https or mailto address" in refused.value.message
    assert "link rId" in refused.value.message
    assert [problem.tag for problem in scrivelle.check({"v": value})] == ["{{ v }}"]


def test_address_with_broken_tag() -> None:
    scrivelle = tesserine.Scrivelle(linked("https://example.com/{{ v +}}"))
    with pytest.raises(TemplateSyntaxError) as broken:
        scrivelle.render({"v": 1})
    assert (broken.value.place.paragraph, broken.value.tag) == (2, "https://example.com/{{ v +}}")
    assert [(problem.place.paragraph, problem.tag) for problem in scrivelle.check()] == [
        (2, "https://example.com/{{ v +}}")]


def test_comments_render_like_the_body() -> None:
    def commented(*comments: str) -> tesserine.Scrivelle:
        document = docx.Document()
        run = document.add_paragraph("Reviewed by ").add_run("{{ reviewer }}")
        for text in comments:
            document.add_comment(run, text=text, author="T")
        return tesserine.Scrivelle(to_bytes(document))

    scrivelle = commented("Checked by {{ checker }}")
    assert scrivelle.parts == ("word/document.xml", "word/comments.xml")
    assert scrivelle.undeclared_variables() == {"reviewer", "checker"}
    scrivelle.render({"reviewer": "Ann", "checker": "Bo"})
    assert [comment.text for comment in read(to_bytes(scrivelle)).comments] == ["Checked by Bo"]
    broken = commented("fine", "{{ broken + }}")
    assert [(problem.part, problem.place.paragraph, problem.tag) for problem in broken.check()] == [
        ("word/comments.xml", 2, "{{ broken + }}")]
