"""The native module and the pure-Python twin must agree, `None` included, on thousands
of generated parts (realistic ones from bench/docgen.py, tag-heavy snippets, and
mutations of both). Seeds are fixed; a failing input is shrunk before it is reported."""

from __future__ import annotations

import random
import sys
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

from tesserine import _native, _pure

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

import docgen

FUNCTIONS = ("patch_xml", "pre_render", "post_render")

def outcome(function: Callable[[str], str | None], text: str) -> tuple[str, object]:
    """The result, or the type of the exception, so that raising is compared too."""
    try:
        return ("returned", function(text))
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        return ("raised", type(error).__name__)


def disagree(name: str, text: str) -> bool:
    return outcome(getattr(_native, name), text) != outcome(getattr(_pure, name), text)


def shrink(name: str, text: str) -> str:
    """A smaller input on which the implementations still disagree: drops chunks, then single characters."""
    chunk = max(1, len(text) // 2)
    while chunk >= 1:
        at = 0
        while at < len(text):
            candidate = text[:at] + text[at + chunk :]
            if disagree(name, candidate):
                text = candidate
            else:
                at += chunk
        chunk //= 2
    return text


# Generators -----------------------------------------------------------------

MARKUP = [
    "<w:p>", '<w:p w:rsidR="00A1">', "</w:p>", '<w:pPr><w:jc w:val="left"/></w:pPr>', "<w:r>", "</w:r>",
    "<w:rPr><w:b/></w:rPr>", "<w:t>", '<w:t xml:space="preserve">', "</w:t>", "<w:tbl>", "</w:tbl>", "<w:tr>",
    "</w:tr>", "<w:tc>", "</w:tc>", "<w:tcPr>", "</w:tcPr>", "<w:tcPr/>", '<w:gridSpan w:val="2"/>',
    '<w:gridSpan w:val="3x"/>', "<w:vMerge/>", '<w:shd w:fill="FF0000"/>', "<w:tab/>", "<w:br/>",
    '<w:proofErr w:type="spellStart"/>', "<w:p/>", "<w:p >",
]
TAGS = [
    "{{ name }}", "{% if x %}", "{% endif %}", "{# note #}", "{%tr for r in rows %}", "{%tr endfor %}", "{{tr x }}",
    "{%tc if c %}", "{#tc c #}", "{%p if p %}", "{#p p #}", "{%r if r %}", "{{r bold }}", "{#tr row #}", "{% vm %}",
    "{% hm %}", "{% colspan n %}", "{% colspan a\\b %}", "{% cellbg 'FF0000' %}", "{%- if t -%}", "{%- endif %}",
    "{% x -%}", "{{ x -}}", "{{ \u201cq\u201d }}", "{% if a &lt; b &gt; c %}", "{{ &#8216;s\u2019 }}", "{_{ v }_}",
    "{_% if %_}",
]
PIECES = [
    "{", "}", "{{", "}}", "{%", "%}", "{#", "#}", "-", " ", "<", ">", "%", "#", "tr", "tc", "p ", "r ", "vm", "hm",
    "colspan", "cellbg", "word", "\u00e9", "\u20ac", "\U0001f600", "\u2018", "\u201d", "\a", "\t", "\n", "\f", "_",
    "&lt;", "&gt;",
]


def snippet(rng: random.Random) -> str:
    """A short, tag-heavy part: markup, whole tags and loose delimiter pieces."""
    def piece(roll: float) -> str:
        return rng.choice(MARKUP if roll < 0.45 else TAGS if roll < 0.75 else PIECES)
    return "".join(piece(rng.random()) for _ in range(rng.randint(1, 24)))


def table_snippet(rng: random.Random) -> str:
    """A table whose cells hold merge, span and scoped tags, some split over runs."""
    def cell() -> str:
        props = rng.choice(["", "<w:tcPr/>", '<w:tcPr><w:gridSpan w:val="2"/></w:tcPr>',
                            "<w:tcPr><w:vMerge/></w:tcPr>"])
        tag = rng.choice(TAGS)
        cut = rng.randint(1, len(tag) - 1) if rng.random() < 0.4 else len(tag)
        runs = "".join(f"<w:r><w:t>{piece}</w:t></w:r>" for piece in (tag[:cut], tag[cut:]) if piece)
        return f"<w:tc>{props}<w:p>{runs}</w:p></w:tc>"
    rows = ("<w:tr>" + "".join(cell() for _ in range(rng.randint(1, 3))) + "</w:tr>"
            for _ in range(rng.randint(1, 4)))
    return f"<w:tbl>{''.join(rows)}</w:tbl>"


# Rendered-text pieces for the listing step: start tags with and without
# attributes, properties, look-alike prefixes, carriage returns.
LISTING = [
    "<w:p>", '<w:p w:x="1">', '<w:p w:rsidR="1"/>', "<w:p >", "<w:p/>", "</w:p>", "<w:pPr>", "</w:pPr>", "<w:jc/>",
    "<w:r>", '<w:r w:a="b">', "</w:r>", "<w:rPr>", "</w:rPr>", "<w:b/>", "<w:t>", '<w:t xml:space="preserve">', "<w:t ",
    "</w:t>", "<w:tab/>", "<w:pict>", "ab", "\a", "\t", "\n", "\f", "\r", "\u00e9", ">", "<w:p", "<w:r", "<w:t", "{_{",
    "%_}", "\n<w:p>",
]


def listing_snippet(rng: random.Random) -> str:
    return "".join(rng.choice(LISTING) for _ in range(rng.randint(1, 40)))


STRAYS = ["<", "{", "%}", "-%}", "{%-", "}", "{{", "#}", "\u00e9", "\u20ac", "\U0001f600", "\a", "\t", "\n", "\f"]


def mutate(rng: random.Random, text: str) -> str:
    """One to three edits of the kinds that break a part at its joints."""
    for _ in range(rng.randint(1, 3)):
        kind = rng.randrange(5)
        closers = [i for i in range(len(text)) if text.startswith("</w:", i)]
        spots = [i for i in range(len(text)) if text[i] in "{}%#"]
        spaces = [i for i, c in enumerate(text) if c == " "]
        if kind == 0 and text:  # cut short
            text = text[: rng.randrange(len(text))]
        elif kind == 1 and closers:  # an end tag dropped
            start = rng.choice(closers)
            text = text[:start] + text[text.find(">", start) + 1 :]
        elif kind == 2:
            at = rng.randint(0, len(text))
            text = text[:at] + rng.choice(STRAYS) + text[at:]
        elif kind == 3 and spots:  # a multi-byte character right next to a delimiter
            at = rng.choice(spots) + rng.randint(0, 1)
            text = text[:at] + rng.choice(["\u00e9", "\u2019", "\U0001f600"]) + text[at:]
        elif kind == 4 and spaces:  # a control character for a space
            at = rng.choice(spaces)
            text = text[:at] + rng.choice("\a\t\n\f") + text[at + 1 :]
    return text


def rendered(text: str) -> str:
    """The part as the template engine hands it back: paragraph line breaks in place."""
    return _pure.pre_render(text) or text


# Tiny alphabets around the delimiters of one pass family each, so that splits,
# near-misses and overlapping candidates are dense; the long texts cross the
# windows in which the passes search and copy.
DENSE = [
    ["{", "}", "%", "#", "<", ">", "<a>", "<w:t>", "</w:t><w:t>", "x", "\u00e9", "\U0001f600"],
    ["{", "}", "%", "\n", "&lt;", "\u201c", "x", "\u00e9", "y" * 37],
    ["{%-", "-%}", "{%", "%}", "</w:t>", "<w:t>", "<w:t ", "<w:tab/>", ">", "<", "{", " ", "\u3000", "x"],
    ["{{", "{%", "}}", "%}", "{{r ", "{%r ", "<w:t>", '<w:t xml:space="preserve">', "</w:t>", " ", "\t", "x"],
]


def dense(rng: random.Random, size: int) -> str:
    pieces, out, length = rng.choice(DENSE), [], 0
    while length < size:
        out.append(rng.choice(pieces))
        length += len(out[-1])
    return "".join(out)


part = docgen.document_part
# Each family draws from a generator seeded with its name.
FAMILIES: dict[str, Callable[[random.Random], Iterator[str]]] = {
    "docgen": lambda rng: (part(300 + 40 * (n % 50), tags=n % 5 != 0, control=n % 3 == 0, seed=n) for n in range(300)),
    "docgen-mutated": lambda rng: (mutate(rng, part(300 + 25 * (n % 40), control=n % 2 == 0, seed=1000 + n))
                                   for n in range(600)),
    "docgen-rendered": lambda rng: (mutate(rng, rendered(part(300 + 25 * (n % 40), control=True, seed=2000 + n)))
                                    for n in range(300)),
    "snippets": lambda rng: (snippet(rng) for _ in range(2500)),
    "snippets-mutated": lambda rng: (mutate(rng, snippet(rng)) for _ in range(2500)),
    "tables": lambda rng: (mutate(rng, text) if rng.random() < 0.5 else text
                           for text in (table_snippet(rng) for _ in range(1000))),
    "listing": lambda rng: (listing_snippet(rng) for _ in range(3000)),
    "dense": lambda rng: (dense(rng, rng.randrange(40)) for _ in range(8000)),
    "dense-long": lambda rng: (dense(rng, 20_000) for _ in range(40)),
}


@pytest.mark.parametrize("name", FAMILIES)
def test_native_and_pure_agree(name: str) -> None:
    mismatches: dict[str, str] = {}
    for text in FAMILIES[name](random.Random(name)):
        for function in FUNCTIONS:
            if function not in mismatches and disagree(function, text):
                mismatches[function] = text
    details = {function: (small := shrink(function, text), outcome(getattr(_native, function), small),
                          outcome(getattr(_pure, function), small))
               for function, text in mismatches.items()}
    assert not details, f"native and pure differ (input, native, pure): {details!r}"
