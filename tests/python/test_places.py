"""Template errors name the part, the paragraph or table cell, and the tag as it was typed.

Each broken template is built as a word processor leaves it, tags split over runs, and
must fail with its exact place and tag, in render() and in check() alike.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import docx
import pytest
from docx.document import Document
from helpers_docx import backend, split_runs, to_bytes

import tesserine
from tesserine import TemplateRenderError, TemplateSyntaxError, UnsafeTemplateError

__all__ = ["backend"]

Piece = str | tuple[str, ...]


def build(*paragraphs: Piece, table: list[list[Piece]] | None = None, header: Piece | None = None) -> bytes:
    """A document of paragraphs (a tuple is one paragraph split into runs), then a table."""
    document: Document = docx.Document()

    def fill(paragraph: Any, piece: Piece) -> None:
        split_runs(paragraph, *((piece,) if isinstance(piece, str) else piece))

    for piece in paragraphs:
        fill(document.add_paragraph(), piece)
    if table:
        grid = document.add_table(rows=len(table), cols=len(table[0]))
        for r, row in enumerate(table):
            for c, piece in enumerate(row):
                fill(grid.cell(r, c).paragraphs[0], piece)
    if header is not None:
        fill(document.sections[0].header.paragraphs[0], header)
    return to_bytes(document)


BODY = "word/document.xml"
# name: template, context (None: the error is one of syntax), error class, part, paragraph,
# cell, tag as typed, words the message must hold. One tag of each kind misplaced: the
# others of its kind are found the same way.
CASES: dict[str, tuple[Callable[[], bytes], dict[str, Any] | None, type[Exception], str, int, str, str, str]] = {
    "unclosed if": (lambda: build("Dear reader", "Hello", ("{% i", "f fla", "g %}"), "paid", "end"), None,
                    TemplateSyntaxError, BODY, 3, "", "{% if flag %}", "never closed: add {% endif %}"),
    "stray closer": (lambda: build("one", ("{% end", "if %}"), "three"), None,
                     TemplateSyntaxError, BODY, 2, "", "{% endif %}", "closes no open block"),
    "crossed blocks": (lambda: build("{% if a %}", "{% for x in xs %}", ("{% endif", " %}"), "{% endfor %}"), None,
                       TemplateSyntaxError, BODY, 3, "", "{% endif %}",
                       "where {% for x in xs %} (paragraph 2) still needs its {% endfor %}"),
    "row tag outside a table": (lambda: build("Items:", ("{%t", "r for x in xs %}"), "{%tr endfor %}"), None,
                                TemplateSyntaxError, BODY, 2, "", "{%tr for x in xs %}",
                                "a row tag ({%tr … %}) must stand in a table row"),
    "row expression outside a table": (lambda: build("a", "b", ("{{t", "r x }}")), None,
                                       TemplateSyntaxError, BODY, 3, "", "{{tr x }}", "must stand in a table row"),
    "merge outside a table": (lambda: build("{% vm %}"), None,
                              TemplateSyntaxError, BODY, 1, "", "{% vm %}", "must stand in a table cell"),
    "row tag with a space": (lambda: build("x", table=[["{% tr for x in xs %}"], ["{{ x }}"], ["{%tr endfor %}"]]),
                             None, TemplateSyntaxError, BODY, 2, "table 1, row 1, column 1", "{% tr for x in xs %}",
                             "write the tr keyword straight after {%"),
    "unknown filter in a cell": (lambda: build("x", table=[["a", "b", "c"], ["d", "e", ("{{ price|fr", "ob }}")]]),
                                 None, TemplateSyntaxError, BODY, 7, "table 1, row 2, column 3", "{{ price|frob }}",
                                 "No filter named 'frob'"),
    "second of three tags": (lambda: build(("{{ a }} and {{ b +", " }} and {{ c }}")), None,
                             TemplateSyntaxError, BODY, 1, "", "{{ b + }}", "unexpected"),
    "tag left open": (lambda: build("x", ("Dear {{ na", "me, welcome")), None,
                      TemplateSyntaxError, BODY, 2, "", "{{ name, welcome", "not closed: add }}"),
    "header": (lambda: build("body", header=("Ref {{ re", "f + }}")), None,
               TemplateSyntaxError, "word/header1.xml", 1, "", "{{ ref + }}", "unexpected"),
    "typographic quotes": (lambda: build("x", ("Total: {{ ", "“%.2f”|format(v) }}", " EUR")), {"v": "s"},
                           TemplateRenderError, BODY, 2, "", "{{ “%.2f”|format(v) }}", "must be real number, not str"),
    "division in a cell": (lambda: build(table=[["h1", "h2"], ["x", "{{ 1 / n }}"]]), {"n": 0},
                           TemplateRenderError, BODY, 4, "table 1, row 2, column 2", "{{ 1 / n }}", "division by zero"),
    "row loop over a number": (lambda: build(table=[[("{%tr for x ", "in n %}")], ["{{ x }}"], ["{%tr endfor %}"]]),
                               {"n": 5}, TemplateRenderError, BODY, 1, "table 1, row 1, column 1",
                               "{%tr for x in n %}", "'int' object is not iterable"),
    "merge outside a loop": (lambda: build(table=[["{% hm %}head", "x"]]), {},
                             TemplateRenderError, BODY, 1, "table 1, row 1, column 1", "{% hm %}",
                             "{% hm %} must stand in a cell repeated by a {%tc for … %} loop"),
    "sandbox": (lambda: build("a", ("{{ v.__cla", "ss__ }}")), {"v": 1},
                UnsafeTemplateError, BODY, 2, "", "{{ v.__class__ }}", "the sandbox keeps Python internals"),
}


@pytest.mark.parametrize("name", CASES)
def test_error_names_part_place_and_tag(backend: str, name: str) -> None:
    make, context, kind, part, paragraph, cell, tag, words = CASES[name]
    template = tesserine.Scrivelle(make())
    with pytest.raises(kind) as raised:
        template.render(context or {})
    error = raised.value
    assert isinstance(error, (TemplateSyntaxError, TemplateRenderError))
    assert (error.part, error.place.paragraph, error.place.cell, error.tag) == (part, paragraph, cell, tag)
    assert words in error.message
    assert str(error).startswith(f"{part}: paragraph {paragraph}") and str(error).endswith(f"(in: {tag})")
    problems = template.check(context)
    assert any((problem.part, problem.place, problem.tag) == (part, error.place, tag) and words in problem.message
               for problem in problems), problems


def test_check_goes_on_past_each_error() -> None:
    template = tesserine.Scrivelle(build(
        ("{{ a +", " }}"), "{% endif %}", "{%tr for x in xs %}", "{%tr endfor %}", "{{ ok }}", "{% if open %}",
        header="{{ ref|frob }}"))
    found = [(problem.part, problem.place.paragraph, problem.tag) for problem in template.check()]
    assert found == [(BODY, 1, "{{ a + }}"), (BODY, 2, "{% endif %}"), (BODY, 3, "{%tr for x in xs %}"),
                     (BODY, 4, "{%tr endfor %}"), (BODY, 6, "{% if open %}"),
                     ("word/header1.xml", 1, "{{ ref|frob }}")]


def test_check_with_data_finds_render_errors_and_missing_names() -> None:
    # The second paragraph's message names none of its tags: rendering tells which one failed.
    template = tesserine.Scrivelle(build("{{ 1 / d }} {{ total|round }}", "{{ d }} {{ '%d' % total }}",
                                         "{% for x in n %}{{ x }}{% endfor %}", "{{ name }}"))
    found = [(problem.place.paragraph, problem.tag, problem.message) for problem in
             template.check({"d": 0, "n": 0, "total": "x"})]
    assert found == [
        (1, "{{ 1 / d }}", "ZeroDivisionError: division by zero"),
        (1, "{{ total|round }}", "TypeError: type str doesn't define __round__ method"),
        (2, "{{ '%d' % total }}", "TypeError: %d format: a real number is required, not str"),
        (3, "{% for x in n %}", "TypeError: 'int' object is not iterable"),
        (4, "{{ name }}", "the data have no value named 'name'"),
    ]
    assert template.check({"d": 2, "n": [1], "total": 1.5, "name": "Ann"}) == []


def test_problem_line() -> None:
    problems = tesserine.Scrivelle(build("x", table=[["{{ a|frob }}"]])).check()
    assert [str(problem) for problem in problems] == [
        "word/document.xml:2: table 1, row 1, column 1: No filter named 'frob' ({{ a|frob }})"]


def test_variables_whatever_the_filters() -> None:
    template = tesserine.Scrivelle(build("{{ x|money('EUR') }} {% if y is frobbed %}{{ z }}{% endif %}"))
    assert template.undeclared_variables() == {"x", "y", "z"}
