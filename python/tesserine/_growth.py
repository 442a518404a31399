"""How far post-rendering can grow a rendered part, judged without running it: each
listing character (tab, line, paragraph or page break) becomes markup of a known length,
and tabs and breaks copy the properties of their run and paragraph into it."""

from __future__ import annotations

from functools import lru_cache

from . import _pure

_LISTING = ("\t", "\a", "\n", "\f")
_PROPERTIES = (("<w:rPr>", "</w:rPr>"), ("<w:pPr>", "</w:pPr>"))


@lru_cache(maxsize=1)
def _markup_length() -> dict[str, int]:
    """How many characters each listing character becomes, properties aside, as the
    reference engine writes it."""
    probe = "<w:p><w:r><w:t>{}</w:t></w:r></w:p>"
    return {char: 1 + len(_pure.post_render(probe.format(char)) or "") - len(probe.format(char)) for char in _LISTING}


def _properties_extent(text: str) -> tuple[int, int]:
    """The longest run or paragraph properties element, and the most paragraph breaks that
    one holds: post-rendering copies properties into the markup it writes."""
    longest = repeats = 0
    for opener, closer in _PROPERTIES:
        start = text.find(opener)
        while start >= 0:
            end = text.find(closer, start)
            if end < 0:
                break
            end += len(closer)
            longest = max(longest, end - start)
            repeats = max(repeats, text.count("\a", start, end))
            # An opener before this closer makes a shorter element with the same closer.
            start = text.find(opener, end)
    return longest, repeats


def _count(text: str, char: str, most: int) -> int:
    """How often char occurs in text, counted no further than most + 1: where it is rare,
    a few searches cost less than counting through the whole text."""
    count = 0
    at = text.find(char)
    while at >= 0 and count <= most:
        count += 1
        at = text.find(char, at + 1)
    return count


def stays_within(text: str, limit: int) -> bool:
    """Whether post-rendering surely leaves text within limit characters, judged without
    running it from how long the markup of each listing character can be."""
    markup = _markup_length()
    widest = max(markup["\t"], markup["\a"], markup["\f"])
    paragraphs = text.count("\a")

    def fits(line_feeds: int, longest: int, repeats: int) -> bool:
        # A line break's markup copies nothing. A tab, paragraph or page break becomes
        # markup with up to two properties elements; both engines skip properties with a
        # line or page break inside, so only the paragraph breaks in the copies are
        # replaced again, and only once.
        room = limit - len(text) - line_feeds * markup["\n"]
        most = room // ((widest + 2 * longest) * (1 + 2 * repeats))
        return room >= 0 and paragraphs + _count(text, "\t", most) + _count(text, "\f", most) <= most

    # First with what costs nothing to learn (no more line feeds than characters, no
    # properties element longer than the text), then with the counts and the properties.
    if fits(len(text), len(text), paragraphs):
        return True
    extent = _properties_extent(text) if any(char in text for char in "\t\a\f") else (0, 0)
    return fits(text.count("\n"), *extent)
