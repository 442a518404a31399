"""Cost of the sandbox and the limits on a 40-page template.

    python bench/safety.py [--size 165000] [--repeat 31]

A .docx whose main part is a docgen document of about 40 pages (165 KB of XML),
with value tags, conditions inside paragraphs and table row loops, is opened,
rendered and saved by `Scrivelle` with the defaults (sandbox, `DEFAULT_LIMITS`)
and with `trusted=True` and every limit off. It prints the median time of each
step both ways and their ratio, and the ratio of the best times, measured in the
same run, with the two ways alternating call by call so that a drift of the
machine's speed falls on both. A first render compiles the template; later ones
reuse it. The two ways must write the same document, checked first.
"""

from __future__ import annotations

import argparse
import io
import json
import os
import random
import statistics
import sys
import time
import zipfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

sys.path.insert(0, os.path.dirname(__file__))

import docgen  # noqa: E402

import tesserine  # noqa: E402

NO_LIMITS = tesserine.Limits(max_members=None, max_part_size=None, max_total_size=None, max_ratio=None,
                             max_output_size=None, timeout=None)
DEMO = Path(tesserine.__file__).parent / "examples" / "invoice-letter.docx"

VALUE_TAGS = ["{{ customer.name }}", "{{ item_total|round(2) }}", "{{ “quoted” }}", "{{ note }}",
              "{{ customer.city|upper }}", "{{ '%.2f'|format(rate * 100) }}"]


def tagged_paragraph(rng: random.Random) -> str:
    """A paragraph with a value tag, or a condition that opens and closes inside it."""
    if rng.random() < 0.3:
        body = [docgen._run(rng, "{% if paid %}"), docgen._run(rng, docgen._words(rng, 6)),
                docgen._run(rng, "{% else %}"), docgen._run(rng, docgen._words(rng, 4)),
                docgen._run(rng, "{% endif %}")]
    else:
        tag = rng.choice(VALUE_TAGS)
        body = [docgen._run(rng, docgen._words(rng, 5)), docgen._split_tag(rng, tag),
                docgen._run(rng, docgen._words(rng, 5))]
    return f"<w:p>{''.join(body)}</w:p>"


def loop_table(rng: random.Random) -> str:
    cells = "".join(f"<w:tc><w:p>{docgen._run(rng, tag)}</w:p></w:tc>"
                    for tag in ("{{ item.name }}", "{{ item.qty }}", "{{ item.price|round(2) }}"))
    opening = docgen._split_tag(rng, "{%tr for item in items %}")
    closing = docgen._run(rng, "{%tr endfor %}")
    return (f"<w:tbl><w:tblPr/><w:tr><w:tc><w:p>{opening}</w:p></w:tc></w:tr>"
            f"<w:tr>{cells}</w:tr><w:tr><w:tc><w:p>{closing}</w:p></w:tc></w:tr></w:tbl>")


def template_part(size: int, seed: int) -> str:
    rng = random.Random(seed)
    head = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            '<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"><w:body>')
    blocks = [head]
    total = len(head)
    while total < size:
        pick = rng.random()
        if pick < 0.1:
            block = loop_table(rng)
        elif pick < 0.2:
            block = docgen.table(rng, tags=False)
        elif pick < 0.5:
            block = tagged_paragraph(rng)
        else:
            block = docgen.paragraph(rng, tags=False)
        blocks.append(block)
        total += len(block.encode())
    blocks.append("</w:body></w:document>")
    return "".join(blocks)


def template_docx(part: str) -> bytes:
    """The demo letter's package (its header and footer too) with this main part."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(DEMO) as source, zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as out:
        for info in source.infolist():
            data = part.encode() if info.filename == "word/document.xml" else source.read(info)
            out.writestr(info.filename, data)
    return buffer.getvalue()


CONTEXT: dict[str, Any] = {
    **json.loads(DEMO.with_suffix(".json").read_text(encoding="utf-8")),
    "customer": {"name": "Tom & Jerry <b>", "city": "Springfield"}, "item_total": 1234.5678,
    "note": "first line\nsecond line\tafter a tab", "paid": True, "rate": 0.075, "“quoted”": "q",
    "items": [{"name": f"item {n}", "qty": n, "price": n * 1.25} for n in range(12)],
}


def alternating(steps: dict[str, Callable[[], object]], repeat: int) -> dict[str, list[float]]:
    """Times of each step, the steps called in turn, repeat rounds."""
    times: dict[str, list[float]] = {name: [] for name in steps}
    for _ in range(repeat):
        for name, step in steps.items():
            start = time.perf_counter()
            step()
            times[name].append(time.perf_counter() - start)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=165_000)
    parser.add_argument("--repeat", type=int, default=31)
    args = parser.parse_args()
    part = template_part(args.size, seed=1)
    data = template_docx(part)
    ways = {"defaults": {}, "trusted, no limits": {"limits": NO_LIMITS}}
    documents = {name: tesserine.Scrivelle(data, **options) for name, options in ways.items()}
    trusted = {"defaults": False, "trusted, no limits": True}
    outputs = []
    for name, document in documents.items():
        document.render(CONTEXT, trusted=trusted[name])
        buffer = io.BytesIO()
        document.save(buffer)
        outputs.append(buffer.getvalue())
    assert outputs[0] == outputs[1], "the sandbox and the limits must not change the document"

    opened = alternating({name: lambda options=options: tesserine.Scrivelle(data, **options)
                          for name, options in ways.items()}, args.repeat)
    # A first render compiles the template: each round gets documents of its own.
    fresh = {name: [tesserine.Scrivelle(data, **options) for _ in range(args.repeat)]
             for name, options in ways.items()}
    first = alternating({name: lambda n=name: fresh[n].pop().render(CONTEXT, trusted=trusted[n])
                         for name in ways}, args.repeat)
    rendered = alternating({name: lambda d=document, t=trusted[name]: d.render(CONTEXT, trusted=t)
                            for name, document in documents.items()}, args.repeat)
    saved = alternating({name: lambda d=document: d.save(io.BytesIO())
                         for name, document in documents.items()}, args.repeat)
    paragraphs = part.count("<w:p>") + part.count("<w:p ")
    print(f"template: {len(part.encode()) / 1000:.0f} KB of XML, {paragraphs} paragraphs,"
          f" {part.count('{{') + part.count('{%')} tags; {args.repeat} rounds")
    print(f"{'step':13} {'defaults ms':>12} {'trusted ms':>11} {'ratio':>6} {'best of each':>13}")
    for step, times in (("open", opened), ("first render", first), ("render", rendered), ("save", saved)):
        safe, plain = times["defaults"], times["trusted, no limits"]
        median_safe, median_plain = statistics.median(safe), statistics.median(plain)
        print(f"{step:13} {median_safe * 1e3:12.2f} {median_plain * 1e3:11.2f} {median_safe / median_plain:6.3f}"
              f" {min(safe) / min(plain):13.3f}")

if __name__ == "__main__":
    main()
