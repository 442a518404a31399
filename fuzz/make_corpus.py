"""Writes the seed corpus of the fuzz targets under fuzz/corpus/<target>/.

Realistic parts come from bench/docgen.py (same seeds, same files); hand-written
snippets cover the forms each pass rewrites. Run from anywhere; it replaces the
corpus directories.
"""

from __future__ import annotations

import random
import shutil
import sys
from collections.abc import Callable
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "bench"))

import docgen

CELL = '<w:tc><w:tcPr><w:tcW w:w="2000" w:type="dxa"/></w:tcPr><w:p><w:r><w:t>{}</w:t></w:r></w:p></w:tc>'

SNIPPETS = [
    "<w:p><w:r><w:t>{</w:t></w:r><w:r><w:t>{ name }</w:t></w:r><w:r><w:t>}</w:t></w:r></w:p>",
    '<w:p><w:r><w:t>{%</w:t></w:r><w:proofErr w:type="spellStart"/><w:r><w:rPr><w:b/></w:rPr><w:t> if x %</w:t></w:r><w:r><w:t>}</w:t></w:r></w:p>',
    "<w:tbl><w:tr>"
    + CELL.format("{%tr for r in rows %}")
    + "</w:tr><w:tr>"
    + CELL.format("{{ r.a }}")
    + "</w:tr><w:tr>"
    + CELL.format("{%tr endfor %}")
    + "</w:tr></w:tbl>",
    "<w:tbl><w:tr>"
    + CELL.format("{%tc if a %}")
    + CELL.format("{#tc note #}")
    + "</w:tr></w:tbl>",
    "<w:tbl><w:tr>"
    + CELL.format("{% vm %}")
    + CELL.format("{% hm %}").replace("<w:tcW", '<w:gridSpan w:val="2"/><w:tcW')
    + "</w:tr></w:tbl>",
    "<w:tbl><w:tr>"
    + CELL.format("{% colspan n %}")
    + CELL.format("{% cellbg 'FF0000' %}")
    + "</w:tr></w:tbl>",
    "<w:tbl><w:tr>" + CELL.format("{% colspan a\\b %}") + "</w:tr></w:tbl>",
    '<w:tbl><w:tr><w:tc><w:tcPr><w:gridSpan w:val="\u0662"/></w:tcPr><w:p><w:r><w:t>{% hm %}</w:t></w:r></w:p></w:tc></w:tr></w:tbl>',
    "<w:p><w:r><w:t>{%p if show %}</w:t></w:r></w:p><w:p><w:r><w:t>{#p gone #}</w:t></w:r></w:p>",
    "<w:p><w:r><w:rPr><w:i/></w:rPr><w:t>a {{r bold }} b {%r if c %}</w:t></w:r></w:p>",
    "<w:p><w:r><w:t>x</w:t></w:r><w:r><w:t>{%- if trim -%}</w:t></w:r></w:p><w:p><w:r><w:t>Hello</w:t></w:r></w:p>",
    "<w:p><w:r><w:t>{{ \u201cquoted\u201d ~ \u2018x\u2019 }} {% if a &lt; b and c &gt; d %}&#8216;</w:t></w:r></w:p>",
    "<w:p><w:r><w:t>\u00e9{{ caf\u00e9 }}\u00e9{%\u00e9%}\U0001f600{#\u00e9#}</w:t></w:r></w:p>",
    "<w:p><w:r><w:t>{{ unclosed </w:t></w:r><w:r><w:t>{% also %</w:t></w:r><w:r><w:t>x{<a</w:t></w:r></w:p>",
]

RENDERED = [
    '<w:body>\n<w:p><w:pPr><w:jc w:val="center"/></w:pPr><w:r><w:rPr><w:b/></w:rPr><w:t>a\tb\nc\ad\fe</w:t></w:r></w:p></w:body>',
    '<w:body>\n<w:p w:rsidR="00A1"><w:r><w:t xml:space="preserve">{_{ kept }_} {_% raw %_}</w:t></w:r></w:p>\n\n<w:p></w:p></w:body>',
    "<w:p><w:r><w:t>line\nbreak</w:t><w:t>page\fbreak</w:t></w:r><w:r><w:tab/><w:t>\a</w:t></w:r></w:p>",
    "\n<w:p>\n<w:pPr>\n<w:p/>\n<w:p \u00e9\t</w:p>%_}_}{_{_{",
]


def control_text(rng: random.Random, part: str) -> str:
    """Puts control characters into text elements, as rendered values leave them."""
    pieces = part.split("<w:t>")
    for i in range(1, len(pieces)):
        if rng.random() < 0.3:
            pieces[i] = pieces[i].replace(" ", rng.choice("\a\t\n\f"), 1)
    return "<w:t>".join(pieces)


def rendered(part: str) -> str:
    """A patched template part after rendering: line breaks before paragraphs."""
    return part.replace("<w:p>", "\n<w:p>").replace("<w:p ", "\n<w:p ")


def small_parts(make: Callable[[int], str], count: int, limit: int = 6000) -> list[str]:
    """The first `count` generated parts no larger than `limit` bytes."""
    parts: list[str] = []
    seed = 0
    while len(parts) < count:
        part = make(seed)
        if len(part.encode()) <= limit:
            parts.append(part)
        seed += 1
    return parts


def main() -> None:
    corpus = HERE / "corpus"
    targets = {
        name: []
        for name in ("patch_pipeline", "patch_pass", "pre_render", "post_render")
    }
    parts = small_parts(
        lambda seed: docgen.document_part(300 + 250 * (seed % 12), seed=seed), 20
    )
    templates = parts + SNIPPETS
    targets["patch_pipeline"] = templates
    targets["pre_render"] = templates + RENDERED
    rng = random.Random(7)
    targets["post_render"] = RENDERED + small_parts(
        lambda seed: rendered(
            control_text(
                rng,
                docgen.document_part(
                    300 + 300 * (seed % 8), control=True, seed=100 + seed
                ),
            )
        ),
        16,
    )
    # The pass target reads its pass from the first byte: every pass gets the snippets
    # and a few realistic parts.
    targets["patch_pass"] = [
        chr(index) + text for index in range(18) for text in [*SNIPPETS, parts[index]]
    ]
    for name, texts in targets.items():
        directory = corpus / name
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir(parents=True)
        for number, text in enumerate(texts):
            (directory / f"seed-{number:03d}").write_bytes(text.encode())


if __name__ == "__main__":
    main()
