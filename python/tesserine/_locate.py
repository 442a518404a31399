"""Where in a part's template source a template error happened: the line, the tags on it
and the one the error is about, told as the author can read them rather than as XML."""

from __future__ import annotations

import re
from bisect import bisect_right
from dataclasses import dataclass
from functools import cached_property, lru_cache
from xml.sax.saxutils import unescape

import jinja2

from ._errors import TemplateSyntaxError

EXCERPT_LIMIT = 120
MARKUP = re.compile(r"<[^>]*>")
_SPACE = re.compile(r"\s+")
# Jinja2 counts lines at these breaks only; str.splitlines knows many more.
LINE_BREAK = re.compile(r"\r\n|\r|\n")
_TAG = re.compile(r"\{\{.*?\}\}|\{%.*?%\}", re.DOTALL)
_PARAGRAPH_START = re.compile(r"<w:p[ >]")
_QUOTED = re.compile(r"'([^']+)'")
# "unsupported operand type(s) for +: ..."
_OPERATOR = re.compile(r" for (\S+): ")
_LOOP = re.compile(r"\{%[-+]?\s*(?:\w+ )?for\s")
_ENTITIES = {"&quot;": '"', "&apos;": "'"}


def xml_unescape(text: str) -> str:
    """XML character data as text: the five predefined entities made characters again."""
    return unescape(text, _ENTITIES)


def shorten(text: str, limit: int = EXCERPT_LIMIT) -> str:
    """The text on one line, cut to about limit characters around its first tag."""
    text = _SPACE.sub(" ", text).strip()
    if len(text) <= limit:
        return text
    start = max(0, text.find("{") - limit // 6)
    return ("…" if start else "") + text[start:start + limit] + "…"


def _line(source: str, lineno: int) -> str:
    lines = LINE_BREAK.split(source, maxsplit=lineno)
    return lines[lineno - 1] if 0 < lineno <= len(lines) else ""


def line_excerpt(source: str, lineno: int) -> str:
    """The template line, as the author typed it, not as XML."""
    line = _line(source, lineno)
    text = MARKUP.sub("", line)
    # Tags written into attributes (a span, a shading) vanish with the markup.
    return shorten(text if "{" in text else line)


def first_tag_line(source: str) -> int:
    """The line of the first tag, for errors that know no line of their own."""
    found = _TAG.search(source)
    return source.count("\n", 0, found.start()) + 1 if found else 1


def syntax_error(part: str, source: str, error: jinja2.TemplateSyntaxError) -> TemplateSyntaxError:
    lineno = error.lineno or 0
    return TemplateSyntaxError(part, lineno, error.message or str(error), line_excerpt(source, lineno))


def template_line(error: BaseException, filename: str) -> int | None:
    """The line of the template being evaluated when error was raised.

    Jinja2 rewrites the frames of compiled templates to carry the template's file name and
    line; the innermost one is the tag that failed.
    """
    line = None
    trace = error.__traceback__
    while trace is not None:
        if trace.tb_frame.f_code.co_filename == filename:
            line = trace.tb_lineno
        trace = trace.tb_next
    return line


def paragraph_number(source: str, lineno: int) -> int:
    """Counted from 1: each paragraph of a prepared part starts a line of its own."""
    lines = LINE_BREAK.split(source, maxsplit=lineno)[:lineno]
    return sum(1 for line in lines if _PARAGRAPH_START.match(line))


@dataclass(frozen=True)
class SourceTag:
    """A template tag of the source: its span, its line, and whether its closer is there."""

    start: int
    end: int
    line: int
    opener: str
    closer: str
    closed: bool
    text: str

    @property
    def readable(self) -> str:
        """The tag as the author would write it: markup that a broken tag ran into left out."""
        return xml_unescape(MARKUP.sub("", self.text))


@lru_cache(maxsize=8)
def _tag_pattern(delimiters: tuple[tuple[str, str], ...]) -> re.Pattern[str]:
    # A tag ends at its closer; one with no closer on its line is taken to the line's end,
    # which is what the author will find broken.
    return re.compile("|".join(
        f"(?P<o{index}>{re.escape(opener)})[^\r\n]*?(?P<c{index}>{re.escape(closer)}|(?=[\r\n])|\\Z)"
        for index, (opener, closer) in enumerate(delimiters)))


def delimiters(environment: jinja2.Environment | None) -> tuple[tuple[str, str], ...]:
    env = environment or jinja2.Environment()
    return ((env.variable_start_string, env.variable_end_string),
            (env.block_start_string, env.block_end_string),
            (env.comment_start_string, env.comment_end_string))


class SourceLines:
    """The line of any offset of a source, and the tags that stand on each line."""

    def __init__(self, source: str, environment: jinja2.Environment | None = None) -> None:
        self.source = source
        self.starts = [0] + [found.end() for found in LINE_BREAK.finditer(source)]
        self._pairs = delimiters(environment)
        self._pattern = _tag_pattern(self._pairs)

    def _scan(self, start: int = 0, end: int | None = None) -> list[SourceTag]:
        tags = []
        for found in self._pattern.finditer(self.source, start, len(self.source) if end is None else end):
            index = next(number for number in range(len(self._pairs)) if found.group(f"o{number}") is not None)
            opener, closer = self._pairs[index]
            tags.append(SourceTag(found.start(), found.end(), self.line_of(found.start()), opener, closer,
                                  bool(found.group(f"c{index}")), found.group()))
        return tags

    @cached_property
    def tags(self) -> list[SourceTag]:
        return self._scan()

    def line_of(self, offset: int) -> int:
        return bisect_right(self.starts, offset)

    def on_line(self, lineno: int) -> list[SourceTag]:
        """The tags of one line; no tag runs past the end of its line."""
        if not 0 < lineno <= len(self.starts):
            return []
        return self._scan(self.starts[lineno - 1], self.starts[lineno] if lineno < len(self.starts) else None)


def tag_for_message(tags: list[SourceTag], message: str) -> SourceTag | None:
    """Of the tags on an error's line, the one its message names, or the only one there is."""
    hints = _QUOTED.findall(message) + _OPERATOR.findall(message) + (["/", "%"] if "by zero" in message else [])
    for name in hints:
        for tag in tags:
            if name in tag.readable:
                return tag
    if "not iterable" in message:
        loops = [tag for tag in tags if _LOOP.match(tag.readable)]
        if len(loops) == 1:
            return loops[0]
    return tags[0] if len(tags) == 1 else None


def failing_tag(source: str, lineno: int, message: str) -> str:
    """The tag on the line that the message is about, or all the line's tags when it does
    not say; the line's text when it holds none (a tag cut by a paragraph break)."""
    tags = [tag for tag in SourceLines(source).on_line(lineno) if tag.opener != "{#" and tag.closed]
    if not tags:
        return line_excerpt(source, lineno)
    found = tag_for_message(tags, message)
    return shorten(found.readable if found else " … ".join(tag.readable for tag in tags))
