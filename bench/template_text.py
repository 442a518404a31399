"""Cost of writing a template's own control characters as references, before patching.

    python bench/template_text.py [--size 165000] [--repeat 31]

On a docgen template part of about 40 pages (165 KB) and on the same part
pretty-printed (a line feed and indentation between the elements outside tagged
paragraphs, and, as pandoc writes them, line feeds around the text of one text
element in ten), it prints the median time of `protect_template_text` and its
ratio to that of `patch_xml`, of `patch_xml` plus `pre_render` (what the host
does next with the part) and of Jinja2's compiling a part of that size without
tags (which the host also does once per template), measured in the same run.
The results are checked
first: the plain part comes back as the same object; in the pretty-printed one
exactly the line feeds put into text become references and nothing else changes.
"""

from __future__ import annotations

import argparse
import os
import random
import re
import statistics
import sys
import time
from collections.abc import Callable

sys.path.insert(0, os.path.dirname(__file__))

import docgen  # noqa: E402

from tesserine import _render  # noqa: E402
from tesserine._template_text import protect_template_text  # noqa: E402

_TEXT = re.compile(r"(<w:t(?:\s[^>]*)?>)([^<]*)(</w:t>)")
_PARAGRAPH = re.compile(r"<w:p[ >].*?</w:p>")


def pretty_printed(part: str, seed: int) -> tuple[str, int]:
    """The part pretty-printed, and how many line feeds now stand in text outside tags."""
    rng = random.Random(seed)
    wrapped = 0

    def around(match: re.Match[str]) -> str:
        nonlocal wrapped
        start, text, end = match.groups()
        if rng.random() < 0.1:
            wrapped += 2
            return f"{start}\n{text}\n{end}"
        return match.group()

    def indent(markup: str) -> str:
        return markup.replace("><", ">\n  <")

    # Tags never leave their paragraph here. Those paragraphs stay as they are: patching
    # joins a delimiter split over runs only when nothing but markup lies between.
    pieces = []
    at = 0
    for paragraph in _PARAGRAPH.finditer(part):
        pieces.append(indent(part[at:paragraph.start()]))
        tagged = "{" in paragraph.group()
        pieces.append(paragraph.group() if tagged else indent(_TEXT.sub(around, paragraph.group())))
        at = paragraph.end()
    pieces.append(indent(part[at:]))
    return "".join(pieces), wrapped


def median_time(fn: Callable[[str], object], text: str, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        arg = (text + " ")[:-1]
        start = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def check(plain: str, pretty: str, wrapped: int) -> None:
    assert protect_template_text(plain) is plain, "a part without such characters must come back as it is"
    protected = protect_template_text(pretty)
    assert protected.count("&#10;") == wrapped, "a line feed in text was missed, or one in a tag taken"
    assert protected.replace("&#10;", "\n") == pretty, "something else changed"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=165_000)
    parser.add_argument("--repeat", type=int, default=31)
    args = parser.parse_args()
    plain = docgen.document_part(args.size, tags=True, seed=1)
    pretty, wrapped = pretty_printed(plain, seed=2)
    check(plain, pretty, wrapped)
    environment = _render.default_environment()
    for label, text in [("40-page template part", plain), ("pretty-printed", pretty)]:
        own = median_time(protect_template_text, text, args.repeat)
        patch = median_time(_render.patch_xml, text, args.repeat)
        source = median_time(lambda xml: _render.prepare_source(_render.patch_xml(xml)), text, args.repeat)
        # docgen's tags are samples, not a valid template; the compile is measured without them.
        tagless = _render.prepare_source(_render.patch_xml(text.replace("{", "(")))
        compile_ = median_time(environment.from_string, tagless, max(3, args.repeat // 4))
        print(f"{label} ({len(text.encode()) / 1000:.0f} KB): protect_template_text {own * 1e3:.3f} ms,"
              f" {own / patch:.3f}x patch_xml ({patch * 1e3:.2f} ms),"
              f" {own / source:.3f}x patch_xml + pre_render ({source * 1e3:.2f} ms),"
              f" {own / compile_:.4f}x compiling ({compile_ * 1e3:.1f} ms)")


if __name__ == "__main__":
    main()
