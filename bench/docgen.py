"""Deterministic generator of realistic WordprocessingML document parts.

Paragraphs of runs with run properties, proof marks and bookmarks; tables with
merged cells; template tags split over runs the way a word processor splits
them. The same seed always gives the same text.
"""

from __future__ import annotations

import random
from itertools import pairwise

WORDS = (
    "the invoice total amount customer order delivery address payment terms "
    "quantity price description item service month year number reference"
).split()

RPRS = [
    "",
    "<w:rPr><w:b/></w:rPr>",
    '<w:rPr><w:rFonts w:ascii="Calibri" w:hAnsi="Calibri"/><w:sz w:val="22"/></w:rPr>',
    '<w:rPr><w:i/><w:color w:val="1F3864"/></w:rPr>',
]

TAGS = [
    "{{ customer.name }}",
    "{{ item.price | round(2) }}",
    "{% if paid %}",
    "{% endif %}",
    "{{ “quoted” }}",
    "{% if a &lt; b %}",
    "{{r bold_value }}",
    "{%- if trim -%}",
]


def _words(rng: random.Random, n: int) -> str:
    return " ".join(rng.choice(WORDS) for _ in range(n))


def _run(rng: random.Random, text: str) -> str:
    space = ' xml:space="preserve"' if text != text.strip() else ""
    return f"<w:r>{rng.choice(RPRS)}<w:t{space}>{text}</w:t></w:r>"


def _split_tag(rng: random.Random, tag: str) -> str:
    """A tag cut into 2 to 4 runs with markup between, as a word processor writes it."""
    cuts = sorted(rng.sample(range(1, len(tag)), min(len(tag) - 1, rng.randint(1, 3))))
    pieces = [tag[a:b] for a, b in pairwise([0, *cuts, len(tag)])]
    out = []
    for i, piece in enumerate(pieces):
        if i:
            between = ['<w:proofErr w:type="spellStart"/>', '<w:bookmarkStart w:id="0" w:name="_GoBack"/>', ""]
            out.append(rng.choice(between))
        out.append(_run(rng, piece))
    return "".join(out)


def paragraph(rng: random.Random, tags: bool, control: bool = False) -> str:
    runs = []
    for _ in range(rng.randint(1, 5)):
        text = _words(rng, rng.randint(2, 12))
        if control and rng.random() < 0.01:
            text = text.replace(" ", rng.choice(["\t", "\n"]), 1)
        runs.append(_run(rng, text))
    if tags and rng.random() < 0.5:
        tag = rng.choice(TAGS)
        runs.insert(rng.randrange(len(runs) + 1), _split_tag(rng, tag) if rng.random() < 0.5 else _run(rng, tag))
    ppr = '<w:pPr><w:pStyle w:val="Normal"/><w:jc w:val="left"/></w:pPr>' if rng.random() < 0.5 else ""
    return f'<w:p w:rsidR="00A1{rng.randrange(1000):03d}">{ppr}{"".join(runs)}</w:p>'


def table(rng: random.Random, tags: bool, control: bool = False) -> str:
    rows = []
    cols = rng.randint(2, 5)
    loop = tags and rng.random() < 0.5
    if loop:
        rows.append(f"<w:tr><w:tc><w:p>{_split_tag(rng, '{%tr for item in items %}')}</w:p></w:tc></w:tr>")
    for r in range(rng.randint(2, 6)):
        cells = []
        for c in range(cols):
            tcpr = '<w:tcPr><w:tcW w:w="2000" w:type="dxa"/></w:tcPr>'
            body = paragraph(rng, False, control)
            if tags and r == 0 and c == 0 and rng.random() < 0.3:
                merge = rng.choice(["{% vm %}", "{% hm %}", "{% colspan 2 %}", "{% cellbg color %}"])
                body = f"<w:p>{_run(rng, merge)}</w:p>"
            cells.append(f"<w:tc>{tcpr}{body}</w:tc>")
        rows.append(f"<w:tr>{''.join(cells)}</w:tr>")
    if loop:
        rows.append(f"<w:tr><w:tc><w:p>{_run(rng, '{%tr endfor %}')}</w:p></w:tc></w:tr>")
    return f"<w:tbl><w:tblPr/>{''.join(rows)}</w:tbl>"


def document_part(size: int, *, tags: bool = True, control: bool = False, seed: int = 0) -> str:
    """A document part of about `size` bytes (UTF-8)."""
    rng = random.Random(seed)
    head = (
        '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
        '<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:body>'
    )
    tail = "</w:body></w:document>"
    parts = [head]
    total = len(head) + len(tail)
    while total < size:
        block = table(rng, tags, control) if rng.random() < 0.15 else paragraph(rng, tags, control)
        parts.append(block)
        total += len(block.encode())
    parts.append(tail)
    return "".join(parts)
