"""Cost of a picture per table row, against the same table with text.

    python bench/rich.py [--rows 200] [--repeat 15] [--side 64]

A template with one table whose row loop holds a name, an amount and the tag `{{ row.logo }}`
is rendered by `Scrivelle` and saved, once with a different `Picture` in every row (PNG
icons of `--side` pixels, each with its own colours) and once with text in its place.
It prints the median time of render + save both ways and their ratio (the goal is under
3), wall-clock and processor time, with the two ways alternating call by call in one
run; the Pictures are made before
timing, as a caller makes its data, and the garbage collector is off while timing, as
in timeit. The result is checked first: one drawing and one media member per row, each
drawing id unique.
"""

from __future__ import annotations

import argparse
import gc
import io
import os
import random
import statistics
import sys
import time
import zipfile
from typing import Any

import docx
from lxml import etree
from PIL import Image, ImageDraw

sys.path.insert(0, os.path.dirname(__file__))

from safety import alternating  # noqa: E402

import tesserine  # noqa: E402
from tesserine import Picture  # noqa: E402

DOCPR = "{http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing}docPr"


def template() -> bytes:
    document = docx.Document()
    document.add_paragraph("Catalogue of {{ shop }}")
    table = document.add_table(rows=3, cols=3)
    rows = [["{%tr for row in rows %}", "", ""], ["{{ row.logo }}", "{{ row.name }}", "{{ '%.2f'|format(row.price) }}"],
            ["{%tr endfor %}", "", ""]]
    for row, texts in zip(table.rows, rows, strict=True):
        for cell, text in zip(row.cells, texts, strict=True):
            cell.text = text
    buffer = io.BytesIO()
    document.save(buffer)
    return buffer.getvalue()


def icon(rng: random.Random, side: int) -> bytes:
    """A small PNG icon with colours of its own, as a shop's product pictures are."""
    image = Image.new("RGB", (side, side), tuple(rng.randrange(256) for _ in range(3)))
    draw = ImageDraw.Draw(image)
    for _ in range(4):
        box = sorted(rng.randrange(side) for _ in range(2)), sorted(rng.randrange(side) for _ in range(2))
        draw.ellipse((box[0][0], box[1][0], box[0][1], box[1][1]), fill=tuple(rng.randrange(256) for _ in range(3)))
    buffer = io.BytesIO()
    image.save(buffer, format="PNG")
    return buffer.getvalue()


def contexts(rows: int, side: int) -> dict[str, dict[str, Any]]:
    rng = random.Random(7)
    names = [f"Product {n}" for n in range(rows)]
    prices = [rng.uniform(1, 200) for _ in range(rows)]
    pictures = [Picture(icon(rng, side), width="1.5cm", alt=name) for name in names]
    return {
        "pictures": {"shop": "Quillmark",
                     "rows": [{"logo": picture, "name": name, "price": price}
                              for picture, name, price in zip(pictures, names, prices, strict=True)]},
        "text": {"shop": "Quillmark",
                 "rows": [{"logo": f"logo of {name}", "name": name, "price": price}
                          for name, price in zip(names, prices, strict=True)]},
    }


def render_and_save(document: tesserine.Scrivelle, context: dict[str, Any]) -> bytes:
    document.render(context)
    buffer = io.BytesIO()
    document.save(buffer)
    return buffer.getvalue()


def check(data: bytes, rows: int) -> None:
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        media = [name for name in archive.namelist() if name.startswith("word/media/")]
        body = etree.fromstring(archive.read("word/document.xml"))
    ids = [drawing.get("id") for drawing in body.iter(DOCPR)]
    assert len(media) == rows and len(ids) == rows and len(set(ids)) == rows, (len(media), len(ids))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--side", type=int, default=64, help="pixels a side of each picture")
    args = parser.parse_args()
    data = template()
    ways = contexts(args.rows, args.side)
    documents = {name: tesserine.Scrivelle(data) for name in ways}
    check(render_and_save(documents["pictures"], ways["pictures"]), args.rows)
    render_and_save(documents["text"], ways["text"])
    # The processor time of each call as well: on a machine shared with other work, the
    # longer call is the likelier to wait for the processor, which wall-clock time counts.
    processor: dict[str, list[float]] = {name: [] for name in ways}

    def step(name: str) -> None:
        start = time.process_time()
        render_and_save(documents[name], ways[name])
        processor[name].append(time.process_time() - start)

    # As timeit does, without the garbage collector: what one way leaves must not be
    # collected while the other is timed.
    gc.collect()
    gc.disable()
    try:
        wall = alternating({name: lambda n=name: step(n) for name in ways}, args.repeat)
    finally:
        gc.enable()
    size = sum(len(row["logo"].data) for row in ways["pictures"]["rows"])
    print(f"{args.rows} rows, {args.side}x{args.side} PNG pictures ({size / args.rows / 1000:.1f} KB each),"
          f" {args.repeat} rounds, backend {tesserine.BACKEND}")
    for clock, times in (("wall-clock", wall), ("processor", processor)):
        pictures, text = statistics.median(times["pictures"]), statistics.median(times["text"])
        print(f"render + save, {clock} time: pictures {pictures * 1e3:.1f} ms, text {text * 1e3:.1f} ms,"
              f" ratio {pictures / text:.2f} (best of each: {min(times['pictures']) / min(times['text']):.2f})")


if __name__ == "__main__":
    main()
