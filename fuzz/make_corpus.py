"""Writes the seed corpus of the fuzz targets under fuzz/corpus/<target>/.

Realistic parts come from bench/docgen.py (same seeds, same files); hand-written
snippets cover the forms each pass rewrites. Run from anywhere; it replaces the
corpus directories.
"""

from __future__ import annotations

import itertools
import random
import shutil
import sys
from collections.abc import Callable
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "bench"))

import docgen  # noqa: E402

CELL = '<w:tc><w:tcPr><w:tcW w:w="2000" w:type="dxa"/></w:tcPr><w:p><w:r><w:t>{}</w:t></w:r></w:p></w:tc>'


def table(*rows: list[str]) -> str:
    return "<w:tbl>" + "".join("<w:tr>" + "".join(map(CELL.format, row)) + "</w:tr>" for row in rows) + "</w:tbl>"


SNIPPETS = [
    "<w:p><w:r><w:t>{</w:t></w:r><w:r><w:t>{ name }</w:t></w:r><w:r><w:t>}</w:t></w:r></w:p>",
    '<w:p><w:r><w:t>{%</w:t></w:r><w:proofErr w:type="spellStart"/>'
    "<w:r><w:rPr><w:b/></w:rPr><w:t> if x %</w:t></w:r><w:r><w:t>}</w:t></w:r></w:p>",
    table(["{%tr for r in rows %}"], ["{{ r.a }}"], ["{%tr endfor %}"]),
    table(["{%tc if a %}", "{#tc note #}"]),
    "<w:tbl><w:tr>" + CELL.format("{% vm %}")
    + CELL.format("{% hm %}").replace("<w:tcW", '<w:gridSpan w:val="2"/><w:tcW') + "</w:tr></w:tbl>",
    table(["{% colspan n %}", "{% cellbg 'FF0000' %}"]),
    table(["{% colspan a\\b %}"]),
    '<w:tbl><w:tr><w:tc><w:tcPr><w:gridSpan w:val="\u0662"/></w:tcPr>'
    "<w:p><w:r><w:t>{% hm %}</w:t></w:r></w:p></w:tc></w:tr></w:tbl>",
    "<w:p><w:r><w:t>{%p if show %}</w:t></w:r></w:p><w:p><w:r><w:t>{#p gone #}</w:t></w:r></w:p>",
    "<w:p><w:r><w:rPr><w:i/></w:rPr><w:t>a {{r bold }} b {%r if c %}</w:t></w:r></w:p>",
    "<w:p><w:r><w:t>x</w:t></w:r><w:r><w:t>{%- if trim -%}</w:t></w:r></w:p><w:p><w:r><w:t>Hello</w:t></w:r></w:p>",
    "<w:p><w:r><w:t>{{ \u201cquoted\u201d ~ \u2018x\u2019 }} {% if a &lt; b and c &gt; d %}&#8216;</w:t></w:r></w:p>",
    "<w:p><w:r><w:t>\u00e9{{ caf\u00e9 }}\u00e9{%\u00e9%}\U0001f600{#\u00e9#}</w:t></w:r></w:p>",
    "<w:p><w:r><w:t>{{ unclosed </w:t></w:r><w:r><w:t>{% also %</w:t></w:r><w:r><w:t>x{<a</w:t></w:r></w:p>",
]

RENDERED = [
    '<w:body>\n<w:p><w:pPr><w:jc w:val="center"/></w:pPr>'
    "<w:r><w:rPr><w:b/></w:rPr><w:t>a\tb\nc\ad\fe</w:t></w:r></w:p></w:body>",
    '<w:body>\n<w:p w:rsidR="00A1"><w:r><w:t xml:space="preserve">{_{ kept }_} {_% raw %_}</w:t></w:r></w:p>'
    "\n\n<w:p></w:p></w:body>",
    "<w:p><w:r><w:t>line\nbreak</w:t><w:t>page\fbreak</w:t></w:r><w:r><w:tab/><w:t>\a</w:t></w:r></w:p>",
    "\n<w:p>\n<w:pPr>\n<w:p/>\n<w:p \u00e9\t</w:p>%_}_}{_{_{",
]


def rendered(rng: random.Random, part: str) -> str:
    """A patched part after rendering: control characters that values left in text
    elements, and line breaks before paragraphs."""
    pieces = part.split("<w:t>")
    for i in range(1, len(pieces)):
        if rng.random() < 0.3:
            pieces[i] = pieces[i].replace(" ", rng.choice("\a\t\n\f"), 1)
    return "<w:t>".join(pieces).replace("<w:p>", "\n<w:p>").replace("<w:p ", "\n<w:p ")


def small_parts(make: Callable[[int], str], count: int, limit: int = 6000) -> list[str]:
    """The first `count` generated parts no larger than `limit` bytes."""
    return list(itertools.islice((part for part in map(make, itertools.count()) if len(part.encode()) <= limit), count))


def main() -> None:
    parts = small_parts(lambda seed: docgen.document_part(300 + 250 * (seed % 12), seed=seed), 20)
    rng = random.Random(7)
    targets = {
        "patch_pipeline": parts + SNIPPETS,
        "pre_render": parts + SNIPPETS + RENDERED,
        "post_render": RENDERED + small_parts(lambda seed: rendered(rng, docgen.document_part(
            300 + 300 * (seed % 8), control=True, seed=100 + seed)), 16),
        # The pass target reads its pass from the first byte: every pass gets the
        # snippets and a few realistic parts.
        "patch_pass": [chr(index) + text for index in range(18) for text in [*SNIPPETS, parts[index]]],
    }
    for name, texts in targets.items():
        directory = HERE / "corpus" / name
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir(parents=True)
        for number, text in enumerate(texts):
            (directory / f"seed-{number:03d}").write_bytes(text.encode())


if __name__ == "__main__":
    main()
