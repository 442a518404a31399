"""Pure-Python twin of the native module ``tesserine._native``.

The package falls back on this module when the extension cannot be imported,
so every function here gives byte-for-byte the same result as its native
counterpart. All work happens on the UTF-8 bytes of the argument: offsets are
byte offsets, and nothing here parses XML; each pass scans for literal markup
and template delimiters and copies everything it does not rewrite unchanged.

A pass takes the current text and returns ``None`` when it changed nothing or
the new text when it rewrote something; a pass that meets input it does not
handle raises :class:`Fallback`, and ``patch_xml`` then answers ``None`` so
that the host runs its reference implementation instead.
"""

from __future__ import annotations

import re
from collections.abc import Callable
from functools import cache
from typing import NamedTuple

__all__ = [
    "CELLBG",
    "COLSPAN",
    "ELEMENT_KINDS",
    "PATCH_PASSES",
    "CellPropertyTag",
    "ElementKind",
    "Fallback",
    "Rewriter",
    "StartTagPattern",
    "StmtTag",
    "TagSpan",
    "apply_cellbg_tags",
    "apply_colspan_tags",
    "apply_hmerge_tags",
    "apply_vmerge_tags",
    "clean_tag_bodies",
    "emit_cell_property",
    "find_keyword_tag",
    "find_properties",
    "find_start_tag",
    "find_stmt_tag",
    "isolate_run_tags",
    "join_split_delimiters",
    "merge_tag_text_runs",
    "patch_xml",
    "patch_xml_sound",
    "post_render",
    "pre_render",
    "preserve_tag_text_space",
    "replace_all",
    "replace_cell_comments",
    "replace_cell_tags",
    "replace_enclosing_elements",
    "replace_paragraph_comments",
    "replace_paragraph_tags",
    "replace_row_comments",
    "replace_row_tags",
    "replace_run_tags",
    "resolve_listing",
    "rfind_start_tag",
    "strip_paragraph_breaks",
    "trim_markup_after_tags",
    "trim_markup_before_tags",
]

PassFunction = Callable[[bytes], "bytes | None"]

_SPACE = 0x20
_GT = 0x3E
_LBRACE = 0x7B
_RBRACE = 0x7D
_PERCENT = 0x25
_HASH = 0x23

# One white-space character as str.isspace() sees it, spelled in UTF-8.
_WHITE_SPACE = (
    rb"(?:[\t-\r\x1c- ]|\xc2[\x85\xa0]|\xe1\x9a\x80"
    rb"|\xe2\x80[\x80-\x8a\xa8\xa9\xaf]|\xe2\x81\x9f|\xe3\x80\x80)"
)
_ONE_SPACE = re.compile(_WHITE_SPACE)
# Markup tags and white space only; a "<" left open runs to the end of the range.
_MARKUP_OR_SPACE = re.compile(rb"(?:<[^>]*+>?+|" + _WHITE_SPACE + rb")*+")


class Fallback(Exception):
    """A pass met input that it does not handle; ``reason`` says which."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


class Rewriter:
    """Copy-on-write builder of a new text over ``source``.

    Stretches of the source are copied in one piece each between the changes;
    ``finish`` answers ``None`` when ``copy_until`` was never called.
    """

    __slots__ = ("_view", "_copied", "_started", "output")

    def __init__(self, source: bytes) -> None:
        self._view = memoryview(source)
        self._copied = 0
        self._started = False
        self.output = bytearray()

    def copy_until(self, end: int, resume: int) -> bytearray:
        """Copy the source up to ``end``, then carry on from ``resume``."""
        self._started = True
        self.output += self._view[self._copied : end]
        self._copied = resume
        return self.output

    def push_str(self, piece: bytes) -> None:
        self.output += piece

    def finish(self) -> bytes | None:
        if not self._started:
            return None
        self.output += self._view[self._copied :]
        return bytes(self.output)


class StartTagPattern(NamedTuple):
    """An element kind's start tag: ``prefix``, and unless ``exact`` a space or ">" after it."""

    prefix: bytes
    exact: bool


class TagSpan(NamedTuple):
    """A template tag: ``[start, end)`` whole, ``[body_start, body_end)`` the part kept."""

    start: int
    end: int
    body_start: int
    body_end: int


class StmtTag(NamedTuple):
    start: int
    end: int


TagFinder = Callable[[int], "TagSpan | None"]
# Raises Fallback to abort the pass.
Emitter = Callable[[bytearray, int, TagSpan, int], None]


def _follows_tag_name(text: bytes, at: int) -> bool:
    return at < len(text) and text[at] in b" >"


def find_start_tag(text: bytes, pattern: StartTagPattern, start: int) -> int | None:
    """Offset of the first start tag per ``pattern`` at or after ``start``."""
    if start > len(text):
        return None
    prefix, exact = pattern
    i = start
    while True:
        q = text.find(prefix, i)
        if q < 0:
            return None
        if exact or _follows_tag_name(text, q + len(prefix)):
            return q
        i = q + 1


def rfind_start_tag(text: bytes, pattern: StartTagPattern, start: int, to: int) -> int | None:
    """Offset of the last start tag whose prefix lies wholly inside ``text[start:to]``.

    The byte after the prefix may lie at or beyond ``to``.
    """
    prefix, exact = pattern
    bound = to
    while True:
        q = text.rfind(prefix, start, bound)
        if q < 0:
            return None
        if exact or _follows_tag_name(text, q + len(prefix)):
            return q
        bound = q + len(prefix) - 1


class _TrailingSearch:
    """The last start tag before a bound that only grows, for a fixed lower bound.

    Each call searches only the stretch that the previous calls have not seen,
    so a run of tags with no element start before them costs one pass in all.
    """

    __slots__ = ("_text", "_pattern", "_lo", "_to", "_last")

    def __init__(self, text: bytes, pattern: StartTagPattern, lo: int) -> None:
        self._text = text
        self._pattern = pattern
        self._lo = lo
        self._to = lo
        self._last: int | None = None

    def last_before(self, to: int) -> int | None:
        # Occurrences wholly inside [lo, previous to) are known; new ones start
        # at most len(prefix) - 1 bytes before the previous bound.
        fresh_from = max(self._lo, self._to - len(self._pattern.prefix) + 1)
        found = rfind_start_tag(self._text, self._pattern, fresh_from, to)
        if found is not None:
            self._last = found
        self._to = to
        return self._last


class _NextMatch:
    """First match of a pattern at or after an offset, remembering the last answer.

    Openers that share one distant closer then cost one search in all.
    """

    __slots__ = ("_text", "_pattern", "_from", "_found", "_none_from")

    def __init__(self, text: bytes, pattern: re.Pattern[bytes]) -> None:
        self._text = text
        self._pattern = pattern
        # [_from, _found]: starts whose answer is _found; empty until the first search.
        self._from = 1
        self._found = 0
        self._none_from = len(text) + 1

    def at_or_after(self, start: int) -> int:
        """Offset of the first match at or after ``start``, or -1."""
        if self._from <= start <= self._found:
            return self._found
        if start >= self._none_from:
            return -1
        found = self._pattern.search(self._text, start)
        if found is None:
            self._none_from = start
            return -1
        self._from = start
        self._found = found.start()
        return self._found


class _Closers:
    """The first "}}" or "%}" (by the opener's second byte) at or after an offset."""

    __slots__ = ("_expr", "_stmt")

    def __init__(self, text: bytes) -> None:
        self._expr = _NextMatch(text, re.compile(rb"\}\}"))
        self._stmt = _NextMatch(text, re.compile(rb"%\}"))

    def after(self, opener: int, start: int) -> int:
        return (self._expr if opener == _LBRACE else self._stmt).at_or_after(start)


@cache
def _stmt_tag_pattern(keyword: bytes) -> re.Pattern[bytes]:
    return re.compile(
        rb"\{%" + _WHITE_SPACE + rb"*+" + re.escape(keyword) + _WHITE_SPACE + rb"*+%\}"
    )


def find_stmt_tag(text: bytes, keyword: bytes, start: int) -> StmtTag | None:
    """The first statement tag "{%" keyword "%}", white space allowed around the keyword."""
    found = _stmt_tag_pattern(keyword).search(text, start)
    return None if found is None else StmtTag(found.start(), found.end())


def _only_markup_and_space(text: bytes, start: int, end: int) -> bool:
    return _MARKUP_OR_SPACE.fullmatch(text, start, end) is not None


# Split delimiters joined -------------------------------------------------

_DELIMITER_BEFORE_MARKUP = re.compile(rb"[{}%#]<")
_MARKUP_RUN = re.compile(rb"(?:<[^>]*+>)++")


def join_split_delimiters(text: bytes) -> bytes | None:
    """Delete the markup run that splits a two-character template delimiter."""
    rewriter = Rewriter(text)
    n = len(text)
    last_gt = text.rfind(b">")
    scan = 1
    while (hit := _DELIMITER_BEFORE_MARKUP.search(text, scan - 1)) is not None:
        lt = hit.start() + 1
        if lt > last_gt:
            # No ">" is left, so no markup run can close from here on.
            break
        scan = lt + 1
        run = _MARKUP_RUN.match(text, lt)
        if run is None:
            continue
        after = run.end()
        # A "<" left after the run is an unclosed tag; it is in neither set.
        expected = b"{%#" if text[lt - 1] == _LBRACE else b"}"
        if after < n and text[after] in expected:
            rewriter.copy_until(lt, after)
            scan = after
    return rewriter.finish()


# A tag's runs merged -----------------------------------------------------

_TAG_OPENER = re.compile(rb"\{[{%#]")
_CLOSER_OF = {_LBRACE: b"}}", _PERCENT: b"%}", _HASH: b"#}"}


def _text_start_tag_end(text: bytes, start: int, end: int) -> int | None:
    """End of the first "<w:t>" or "<w:t ...>" tag lying inside ``text[start:end]``."""
    n = len(text)
    w = start
    while (t := text.find(b"<w:t", w, end)) >= 0:
        w = t + 1
        if t + 4 >= n:
            continue
        follow = text[t + 4]
        if follow == _GT:
            # The byte at ``end`` starts the closer, so this ">" lies inside.
            return t + 5
        if follow == _SPACE:
            g = text.find(b">", t + 5)
            return None if g < 0 or g >= end else g + 1
    return None


def merge_tag_text_runs(text: bytes) -> bytes | None:
    """Inside each template tag, delete each "</w:t>" up to the next text start tag."""
    rewriter = Rewriter(text)
    n = len(text)
    scan = 0
    while (opener := _TAG_OPENER.search(text, scan)) is not None:
        s = opener.start()
        closer = text.find(_CLOSER_OF[text[s + 1]], s + 2)
        region_end = closer if closer >= 0 else n
        w = s
        while (a := text.find(b"</w:t>", w, region_end)) >= 0:
            tag_end = _text_start_tag_end(text, a + 6, region_end)
            if tag_end is None:
                break
            rewriter.copy_until(a, tag_end)
            w = tag_end
        scan = region_end
    return rewriter.finish()


# The element-scoped rewrite engine ----------------------------------------


def _choose_region(
    group: list[TagSpan], closing: bytes, closings: _NextMatch
) -> tuple[TagSpan, int] | None:
    """The last group member with a closing text after it, and that closing's end."""
    if not closing:
        return group[-1], group[-1].end
    for member in reversed(group):
        found = closings.at_or_after(member.end)
        if found >= 0:
            return member, found + len(closing)
    return None


def replace_enclosing_elements(
    text: bytes,
    pattern: StartTagPattern,
    finder: TagFinder,
    closing: bytes,
    emitter: Emitter,
) -> bytes | None:
    """Replace each element that encloses a tag by what ``emitter`` writes.

    A region runs from the nearest element start before a tag to the end of the
    first ``closing`` after the last tag of that element that has one (with an
    empty ``closing``, to the end of the element's last tag).
    """
    rewriter = Rewriter(text)
    n = len(text)
    pos = 0
    # Remembers where a search for ``closing`` failed, so it is never repeated.
    closings = _NextMatch(text, re.compile(re.escape(closing)))
    while (tag := finder(pos)) is not None:
        element_start = rfind_start_tag(text, pattern, pos, tag.start)
        if element_start is None:
            pos = tag.start + 1
            continue
        bound = find_start_tag(text, pattern, tag.start + 1)
        if bound is None:
            bound = n
        group = [tag]
        while (more := finder(group[-1].start + 1)) is not None and more.start < bound:
            group.append(more)
        chosen = _choose_region(group, closing, closings)
        if chosen is None:
            pos = bound
            continue
        chosen_tag, region_end = chosen
        output = rewriter.copy_until(element_start, region_end)
        emitter(output, element_start, chosen_tag, region_end)
        pos = region_end
    return rewriter.finish()


# Cell spans and shading --------------------------------------------------


class CellPropertyTag(NamedTuple):
    keyword: bytes
    property_name: bytes
    property_open: bytes
    property_close: bytes


COLSPAN = CellPropertyTag(b"colspan", b"<w:gridSpan", b'<w:gridSpan w:val="{{', b'}}"/>')
CELLBG = CellPropertyTag(
    b"cellbg", b"<w:shd", b'<w:shd w:val="clear" w:color="auto" w:fill="{{', b'}}"/>'
)
_CELL = StartTagPattern(b"<w:tc", False)
_RUN = StartTagPattern(b"<w:r", False)
_EMPTY_TEXT = b"<w:t></w:t>"


@cache
def _keyword_tag_pattern(keyword: bytes) -> re.Pattern[bytes]:
    # The body runs to the first "%", which must close the tag.
    return re.compile(
        rb"\{%"
        + _WHITE_SPACE
        + rb"*+"
        + re.escape(keyword)
        + _WHITE_SPACE
        + rb"++([^%]*+)%\}"
    )


def find_keyword_tag(text: bytes, keyword: bytes, start: int) -> TagSpan | None:
    """The first «{% keyword EXPR %}» whose "{%" is at or after ``start``."""
    found = _keyword_tag_pattern(keyword).search(text, start)
    if found is None:
        return None
    return TagSpan(found.start(), found.end(), found.start(1), found.end(1))


def _find_empty_text(cell: bytes, start: int) -> TagSpan | None:
    at = cell.find(_EMPTY_TEXT, start)
    return None if at < 0 else TagSpan(at, at + len(_EMPTY_TEXT), at, at + len(_EMPTY_TEXT))


def _emit_nothing(output: bytearray, element_start: int, tag: TagSpan, region_end: int) -> None:
    """A run left empty by a removed tag goes without replacement."""


def _drop_property(cell: bytes, name: bytes) -> bytes:
    i = 0
    while (at := cell.find(name, i)) >= 0:
        slash = cell.find(b"/", at + len(name))
        if slash < 0:
            break
        if cell[slash + 1 : slash + 2] == b">":
            return cell[:at] + cell[slash + 2 :]
        i = at + 1
    return cell


def emit_cell_property(
    text: bytes,
    config: CellPropertyTag,
    output: bytearray,
    element_start: int,
    tag: TagSpan,
    region_end: int,
    *,
    sound: bool = False,
) -> None:
    """Write the cell without its tag, emptied runs and old property, with the new one."""
    expression = text[tag.body_start : tag.body_end]
    if not sound and b"\\" in expression:
        raise Fallback("backslash in colspan/cellbg expression")
    cell = text[element_start : tag.start] + text[tag.end : region_end]
    emptied = replace_enclosing_elements(
        cell, _RUN, lambda start: _find_empty_text(cell, start), b"</w:r>", _emit_nothing
    )
    if emptied is not None:
        cell = emptied
    cell = _drop_property(cell, config.property_name)
    q = 0
    while (properties := cell.find(b"<w:tcPr", q)) >= 0:
        gt = cell.find(b">", properties + 7)
        if gt < 0:
            break
        output += cell[q : gt + 1]
        output += config.property_open
        output += expression
        output += config.property_close
        q = gt + 1
    output += cell[q:]


def _apply_cell_property(text: bytes, config: CellPropertyTag, sound: bool) -> bytes | None:
    if config.keyword not in text:
        return None

    def emit(output: bytearray, element_start: int, tag: TagSpan, region_end: int) -> None:
        emit_cell_property(text, config, output, element_start, tag, region_end, sound=sound)

    return replace_enclosing_elements(
        text,
        _CELL,
        lambda start: find_keyword_tag(text, config.keyword, start),
        b"</w:tc>",
        emit,
    )


def apply_colspan_tags(text: bytes, *, sound: bool = False) -> bytes | None:
    """«{% colspan EXPR %}» in a cell becomes a gridSpan property of value «{{EXPR}}»."""
    return _apply_cell_property(text, COLSPAN, sound)


def apply_cellbg_tags(text: bytes, *, sound: bool = False) -> bytes | None:
    """«{% cellbg EXPR %}» in a cell becomes a shading property filled with «{{EXPR}}»."""
    return _apply_cell_property(text, CELLBG, sound)


# Tag text kept space-preserving ------------------------------------------

_BARE_TEXT_START = StartTagPattern(b"<w:t>", True)
_PRESERVED_TEXT_START = b'<w:t xml:space="preserve">'
_EXPR_OR_STMT_OPENER = re.compile(rb"\{[{%]")


def preserve_tag_text_space(text: bytes) -> bytes | None:
    """Turn the bare "<w:t>" in front of expression and statement tags into a preserving one."""
    closers = _Closers(text)

    def find_template_tag(start: int) -> TagSpan | None:
        while (opener := _EXPR_OR_STMT_OPENER.search(text, start)) is not None:
            s = opener.start()
            close = closers.after(text[s + 1], s + 2)
            if close >= 0:
                return TagSpan(s, close + 2, s, s)
            start = s + 1
        return None

    def emit(output: bytearray, element_start: int, tag: TagSpan, region_end: int) -> None:
        output += _PRESERVED_TEXT_START
        output += text[element_start + 5 : region_end]

    return replace_enclosing_elements(text, _BARE_TEXT_START, find_template_tag, b"", emit)


# Run tags isolated -------------------------------------------------------

_RUN_TAG_OPENER = re.compile(rb"\{[{%]r")
_RUN_SEPARATOR = b'</w:t></w:r><w:r><w:t xml:space="preserve">'


def isolate_run_tags(text: bytes) -> bytes | None:
    """Give each «{{r …}}» and «{%r …%}» tag a run of its own."""
    rewriter = Rewriter(text)
    closers = _Closers(text)
    scan = 0
    while (opener := _RUN_TAG_OPENER.search(text, scan)) is not None:
        s = opener.start()
        scan = s + 1
        space = _ONE_SPACE.match(text, s + 3)
        if space is None:
            continue
        close = closers.after(text[s + 1], space.end())
        if close < 0:
            continue
        tag_end = close + 2
        rewriter.copy_until(s, tag_end)
        rewriter.push_str(_RUN_SEPARATOR)
        rewriter.push_str(text[s:tag_end])
        rewriter.push_str(_RUN_SEPARATOR)
        scan = tag_end
    return rewriter.finish()


# Trim markers ------------------------------------------------------------

_TEXT_END = StartTagPattern(b"</w:t>", True)


def trim_markup_before_tags(text: bytes) -> bytes | None:
    """For "{%-", delete the markup since the preceding "</w:t>" and write "{%"."""
    rewriter = Rewriter(text)
    q = 0
    text_ends = _TrailingSearch(text, _TEXT_END, 0)
    # A stretch that holds document text still holds it when it grows, so an
    # "</w:t>" once refused is refused for every later opener too.
    refused = -1
    while (k := text.find(b"{%-", q)) >= 0:
        q = k + 1
        r = text_ends.last_before(k)
        if r is None or r == refused:
            continue
        if not _only_markup_and_space(text, r, k):
            refused = r
            continue
        rewriter.copy_until(r, k + 3)
        rewriter.push_str(b"{%")
        q = k + 3
        text_ends = _TrailingSearch(text, _TEXT_END, q)
    return rewriter.finish()


_TRIM_AFTER_STOP = re.compile(rb"\{[{%]|<w:t[ >]")


def trim_markup_after_tags(text: bytes) -> bytes | None:
    """For "-%}", delete the markup up to the next text start tag and write "%}"."""
    rewriter = Rewriter(text)
    q = 0
    stop: re.Match[bytes] | None = None
    while (k := text.find(b"-%}", q)) >= 0:
        q = k + 1
        # The first tag opener or text start tag after the closer. A later
        # closer that lies before the one found for an earlier closer shares it.
        if stop is None or stop.start() < k + 3:
            stop = _TRIM_AFTER_STOP.search(text, k + 3)
            if stop is None:
                break
        x = stop.start()
        if text[x] == _LBRACE:
            continue
        gt = text.find(b">", x + 4)
        if gt < 0:
            break
        if not _only_markup_and_space(text, k + 3, x):
            continue
        rewriter.copy_until(k, gt + 1)
        rewriter.push_str(b"%}")
        q = gt + 1
    return rewriter.finish()


# Element-scoped tags -----------------------------------------------------


class ElementKind(NamedTuple):
    keyword: bytes
    closing: bytes
    pattern: StartTagPattern


_ROW_KIND = ElementKind(b"tr", b"</w:tr>", StartTagPattern(b"<w:tr", False))
_CELL_KIND = ElementKind(b"tc", b"</w:tc>", StartTagPattern(b"<w:tc", False))
_PARAGRAPH_KIND = ElementKind(b"p", b"</w:p>", StartTagPattern(b"<w:p", False))
_RUN_KIND = ElementKind(b"r", b"</w:r>", StartTagPattern(b"<w:r", False))
ELEMENT_KINDS = (_ROW_KIND, _CELL_KIND, _PARAGRAPH_KIND, _RUN_KIND)


@cache
def _scoped_opener(keyword: bytes, comment: bool) -> re.Pattern[bytes]:
    return re.compile((rb"\{#" if comment else rb"\{[{%]") + re.escape(keyword) + b" ")


_SCOPED_BODY_END = re.compile(rb"[}%]")
_SCOPED_COMMENT_END = re.compile(rb"[}#]")


def _scoped_tag_finder(text: bytes, keyword: bytes, comment: bool) -> TagFinder:
    """Finder of tags such as «{%tr BODY %}» (or «{#tr BODY #}» for comments)."""
    opener = _scoped_opener(keyword, comment)
    body_end = _NextMatch(text, _SCOPED_COMMENT_END if comment else _SCOPED_BODY_END)

    def find_scoped_tag(start: int) -> TagSpan | None:
        while (found := opener.search(text, start)) is not None:
            body = found.end()
            m = body_end.at_or_after(body)
            if m < 0:
                # Later candidates start further on and find no end either.
                return None
            if text[m + 1 : m + 2] == b"}" and not (comment and text[m] == _RBRACE):
                return TagSpan(found.start(), m + 2, body, m + 2)
            start = found.start() + 1
        return None

    return find_scoped_tag


def _replace_scoped(text: bytes, kind: ElementKind, comment: bool) -> bytes | None:
    def emit(output: bytearray, element_start: int, tag: TagSpan, region_end: int) -> None:
        output += text[tag.start : tag.start + 2]
        output += b" "
        output += text[tag.body_start : tag.body_end]

    return replace_enclosing_elements(
        text,
        kind.pattern,
        _scoped_tag_finder(text, kind.keyword, comment),
        kind.closing,
        emit,
    )


def replace_row_tags(text: bytes) -> bytes | None:
    """Replace each table row holding «{%tr …%}» or «{{tr …}}» by the tag without "tr"."""
    return _replace_scoped(text, _ROW_KIND, False)


def replace_cell_tags(text: bytes) -> bytes | None:
    """Replace each table cell holding a "tc" tag by the tag without its keyword."""
    return _replace_scoped(text, _CELL_KIND, False)


def replace_paragraph_tags(text: bytes) -> bytes | None:
    """Replace each paragraph holding a "p" tag by the tag without its keyword."""
    return _replace_scoped(text, _PARAGRAPH_KIND, False)


def replace_run_tags(text: bytes) -> bytes | None:
    """Replace each run holding an "r" tag by the tag without its keyword."""
    return _replace_scoped(text, _RUN_KIND, False)


def replace_row_comments(text: bytes) -> bytes | None:
    """Replace each table row holding «{#tr …#}» by the comment without "tr"."""
    return _replace_scoped(text, _ROW_KIND, True)


def replace_cell_comments(text: bytes) -> bytes | None:
    """Replace each table cell holding «{#tc …#}» by the comment without "tc"."""
    return _replace_scoped(text, _CELL_KIND, True)


def replace_paragraph_comments(text: bytes) -> bytes | None:
    """Replace each paragraph holding «{#p …#}» by the comment without "p"."""
    return _replace_scoped(text, _PARAGRAPH_KIND, True)


# Merged cells ------------------------------------------------------------

_CELL_END = StartTagPattern(b"</w:tc", False)
_CELL_PROPERTIES_END = StartTagPattern(b"</w:tcPr", False)
_TEXT_START = StartTagPattern(b"<w:t", False)
_VERTICAL_MERGE = (
    b'<w:vMerge w:val="{% if loop.first %}restart{% else %}continue{% endif %}"/>'
)
_FIRST_ITERATION = b"{% if loop.first %}"
_TEXT_CLOSE = b"{% endif %}</w:t>"
_LOOP_SPAN = b'<w:gridSpan w:val="{{ loop.length }}"/>'
_CELL_CLOSE = b"{% endif %}"
_SPAN_VALUE = b'w:gridSpan w:val="'
_DIGITS = re.compile(rb"[0-9]*+")


def _cell_end(text: bytes, start: int) -> int | None:
    """Just past the ">" of the first cell end tag at or after ``start``."""
    at = find_start_tag(text, _CELL_END, start)
    if at is None:
        return None
    if text[at + 6] == _GT:
        return at + 7
    gt = text.find(b">", at + 7)
    return None if gt < 0 else gt + 1


class _Link(NamedTuple):
    properties_end: int
    text_start_end: int
    tag: StmtTag
    text_end: int


def _next_link(cell: bytes, keyword: bytes, start: int) -> _Link | None:
    """The next cell-properties end, text element and keyword tag inside it."""
    a = find_start_tag(cell, _CELL_PROPERTIES_END, start)
    if a is None:
        return None
    b = find_start_tag(cell, _TEXT_START, a + 9)
    if b is None:
        return None
    g = cell.find(b">", b + 4)
    if g < 0:
        return None
    tag = find_stmt_tag(cell, keyword, g + 1)
    if tag is None:
        return None
    r = cell.find(b"</w:t>", tag.end)
    if r < 0:
        return None
    return _Link(a, g, tag, r)


def _merge_vertically(cell: bytes) -> bytes:
    out = bytearray()
    done = 0
    while (link := _next_link(cell, b"vm", done)) is not None:
        a, g, tag, r = link
        out += cell[done:a]
        out += _VERTICAL_MERGE
        out += cell[a : g + 1]
        out += _FIRST_ITERATION
        out += cell[g + 1 : tag.start]
        out += cell[tag.end : r]
        out += _TEXT_CLOSE
        done = r + 6
    out += cell[done:]
    return bytes(out)


def _multiply_spans(cell: bytes, sound: bool) -> bytes:
    out = bytearray()
    done = i = 0
    while (m := cell.find(_SPAN_VALUE, i)) >= 0:
        v = m + len(_SPAN_VALUE)
        digits = _DIGITS.match(cell, v)
        e = v if digits is None else digits.end()
        i = m + 1
        if e >= len(cell):
            continue
        if e > v and cell[e] == 0x22:
            out += cell[done:v]
            out += b"{{ "
            out += cell[v:e]
            out += b" * loop.length }}"
            done = e
            i = e + 1
        elif cell[e] >= 0x80 and not sound:
            raise Fallback("non-ASCII gridSpan value")
    out += cell[done:]
    return bytes(out)


def _span_horizontally(cell: bytes, sound: bool) -> bytes:
    out = bytearray()
    if b"w:gridSpan" in cell:
        spanned = _multiply_spans(cell, sound)
        done = 0
        while (tag := find_stmt_tag(spanned, b"hm", done)) is not None:
            out += spanned[done : tag.start]
            done = tag.end
        out += spanned[done:]
        return bytes(out)
    done = 0
    while (link := _next_link(cell, b"hm", done)) is not None:
        a, _, tag, r = link
        out += cell[done:a]
        out += _LOOP_SPAN
        out += cell[a : tag.start]
        out += cell[tag.end : r + 6]
        done = r + 6
    out += cell[done:]
    return bytes(out)


def _expand_merged_cells(text: bytes, vertical: bool, sound: bool) -> bytes | None:
    keyword = b"vm" if vertical else b"hm"
    if keyword not in text:
        return None
    rewriter = Rewriter(text)
    pos = 0
    cell_starts = _TrailingSearch(text, _CELL, 0)
    while (tag := find_stmt_tag(text, keyword, pos)) is not None:
        start = cell_starts.last_before(tag.start)
        if start is None:
            pos = tag.start + 1
            continue
        end = _cell_end(text, tag.end)
        if end is None:
            break
        cell = text[start:end]
        if vertical:
            rewritten = _merge_vertically(cell)
        else:
            rewritten = _FIRST_ITERATION + _span_horizontally(cell, sound) + _CELL_CLOSE
        rewriter.copy_until(start, end)
        rewriter.push_str(rewritten)
        pos = end
        cell_starts = _TrailingSearch(text, _CELL, end)
    return rewriter.finish()


def apply_vmerge_tags(text: bytes) -> bytes | None:
    """Turn a cell holding «{% vm %}» into a vertically merged cell driven by its loop."""
    return _expand_merged_cells(text, True, False)


def apply_hmerge_tags(text: bytes, *, sound: bool = False) -> bytes | None:
    """Turn a cell holding «{% hm %}» into one written once, spanning the loop's length."""
    return _expand_merged_cells(text, False, sound)


# Tag bodies cleaned ------------------------------------------------------

_BODY_END = re.compile(rb"\n|[%}]\}")
_BODY_REPLACEMENTS = {
    b"&#8216;": b"'",
    b"&lt;": b"<",
    b"&gt;": b">",
    "\u201c".encode(): b'"',
    "\u201d".encode(): b'"',
    "\u2018".encode(): b"'",
    "\u2019".encode(): b"'",
}
_BODY_PATTERN = re.compile(b"|".join(re.escape(p) for p in _BODY_REPLACEMENTS))


def _plain_character(found: re.Match[bytes]) -> bytes:
    return _BODY_REPLACEMENTS[found.group()]


def clean_tag_bodies(text: bytes) -> bytes | None:
    """Straighten quotes and unescape "&lt;", "&gt;", "&#8216;" inside tag bodies."""
    rewriter = Rewriter(text)
    n = len(text)
    last_end = 0
    last_empty = -1
    # A body attempt from b that ran into a line feed (or the end) at f fails
    # from every later start up to f as well.
    dead_to = -1
    scan = 0
    while (opener := _EXPR_OR_STMT_OPENER.search(text, scan)) is not None:
        b = opener.end()
        scan = opener.start() + 1
        if b < last_end or b <= dead_to:
            continue
        while True:
            closer = _BODY_END.search(text, b)
            if closer is not None and closer.start() == b == last_empty:
                # An empty body is taken once; the retry looks for a longer one.
                closer = _BODY_END.search(text, b + 1)
            if closer is None or text[closer.start()] == 0x0A:
                dead_to = n if closer is None else closer.start()
                break
            e = closer.start()
            if e == b:
                last_empty = last_end = b
                continue
            if _BODY_PATTERN.search(text, b, e) is not None:
                rewriter.copy_until(b, e)
                rewriter.push_str(_BODY_PATTERN.sub(_plain_character, text[b:e]))
            last_end = e
            break
    return rewriter.finish()


PATCH_PASSES: tuple[PassFunction, ...] = (
    join_split_delimiters,
    merge_tag_text_runs,
    apply_colspan_tags,
    apply_cellbg_tags,
    preserve_tag_text_space,
    isolate_run_tags,
    trim_markup_before_tags,
    trim_markup_after_tags,
    replace_row_tags,
    replace_cell_tags,
    replace_paragraph_tags,
    replace_run_tags,
    replace_row_comments,
    replace_cell_comments,
    replace_paragraph_comments,
    apply_vmerge_tags,
    apply_hmerge_tags,
    clean_tag_bodies,
)

_SOUND_VARIANTS: dict[PassFunction, PassFunction] = {
    apply_colspan_tags: lambda text: apply_colspan_tags(text, sound=True),
    apply_cellbg_tags: lambda text: apply_cellbg_tags(text, sound=True),
    apply_hmerge_tags: lambda text: apply_hmerge_tags(text, sound=True),
}
_SOUND_PASSES = tuple(_SOUND_VARIANTS.get(each, each) for each in PATCH_PASSES)


def _run_pipeline(src: bytes, passes: tuple[PassFunction, ...]) -> bytes:
    text = src
    for each in passes:
        rewritten = each(text)
        if rewritten is not None:
            text = rewritten
    return text


# Rendering ----------------------------------------------------------------

_PARAGRAPH_START = re.compile(rb"<w:p[ >]")
_RUN_START = re.compile(rb"<w:r[ >]")
_TEXT_ELEMENT_START = re.compile(rb"<w:t[ >]")
_BREAK_BEFORE_PARAGRAPH = re.compile(rb"\n(?=<w:p[ >])")
_LISTING_CHARACTER = re.compile(rb"[\x07\t\n\x0c]")
_BREAK_IN_PROPERTIES = re.compile(rb"[\n\x0c]")
_DELIMITER_RESTORES = ((b"{_{", b"{{"), (b"}_}", b"}}"), (b"{_%", b"{%"), (b"%_}", b"%}"))
_LINE_MARKUP = b'</w:t><w:br/><w:t xml:space="preserve">'


def replace_all(text: bytes, needle: bytes, replacement: bytes) -> bytes | None:
    """Replace every occurrence of ``needle``, left to right, without overlap."""
    if needle not in text:
        return None
    return text.replace(needle, replacement)


def strip_paragraph_breaks(text: bytes) -> bytes | None:
    """Drop the line feed directly in front of each paragraph start tag."""
    stripped, count = _BREAK_BEFORE_PARAGRAPH.subn(b"", text)
    return stripped if count else None


def find_properties(region: bytes, open_tag: bytes, close_tag: bytes) -> bytes:
    """The first properties element in ``region`` with no LF or FF inside, or b""."""
    start = 0
    while (at := region.find(open_tag, start)) >= 0:
        inner = at + len(open_tag)
        close = region.find(close_tag, inner)
        if close < 0:
            break
        if _BREAK_IN_PROPERTIES.search(region, inner, close) is None:
            return region[at : close + len(close_tag)]
        start = at + 1
    return b""


def _start_tag_end(text: bytes, at: int) -> int | None:
    """End of the start tag at ``at``, whose name prefix is four bytes long."""
    if text[at + 4] == _GT:
        return at + 5
    gt = text.find(b">", at + 5)
    return None if gt < 0 else gt + 1


def _resolve_element(element: bytes, paragraph_properties: bytes, run_properties: bytes) -> bytes:
    tab = (
        b"</w:t></w:r><w:r>"
        + run_properties
        + b"<w:tab/></w:r><w:r>"
        + run_properties
        + _PRESERVED_TEXT_START
    )
    paragraph = (
        b"</w:t></w:r></w:p><w:p>"
        + paragraph_properties
        + b"<w:r>"
        + run_properties
        + _PRESERVED_TEXT_START
    )
    page = (
        b'</w:t></w:r></w:p><w:p><w:r><w:br w:type="page"/></w:r></w:p><w:p>'
        + paragraph_properties
        + b"<w:r>"
        + run_properties
        + _PRESERVED_TEXT_START
    )
    return (
        element.replace(b"\t", tab)
        .replace(b"\x07", paragraph)
        .replace(b"\n", _LINE_MARKUP)
        .replace(b"\x0c", page)
    )


def _resolve_paragraph(text: bytes, rewriter: Rewriter, start: int, end: int) -> None:
    paragraph_properties: bytes | None = None
    rpos = start
    while (run := _RUN_START.search(text, rpos, end)) is not None:
        r = run.start()
        run_tag_end = _start_tag_end(text, r)
        # A start tag whose ">" lies outside the paragraph ends the paragraph's work.
        if run_tag_end is None or run_tag_end > end:
            return
        run_close = text.find(b"</w:r>", run_tag_end, end)
        if run_close < 0:
            return
        run_end = run_close + 6
        run_properties: bytes | None = None
        tpos = r
        while (element := _TEXT_ELEMENT_START.search(text, tpos, run_end)) is not None:
            t = element.start()
            text_tag_end = _start_tag_end(text, t)
            if text_tag_end is None or text_tag_end > run_end:
                break
            text_close = text.find(b"</w:t>", text_tag_end, run_end)
            if text_close < 0:
                break
            t_end = text_close + 6
            if _LISTING_CHARACTER.search(text, t, t_end) is not None:
                if paragraph_properties is None:
                    paragraph_properties = find_properties(
                        text[start:end], b"<w:pPr>", b"</w:pPr>"
                    )
                if run_properties is None:
                    run_properties = find_properties(text[r:run_end], b"<w:rPr>", b"</w:rPr>")
                rewriter.copy_until(t, t_end)
                rewriter.push_str(
                    _resolve_element(text[t:t_end], paragraph_properties, run_properties)
                )
            tpos = t_end
        rpos = run_end


def resolve_listing(text: bytes) -> bytes | None:
    """Turn tabs and breaks left in rendered text elements into WordprocessingML markup."""
    rewriter = Rewriter(text)
    pos = 0
    while (paragraph := _PARAGRAPH_START.search(text, pos)) is not None:
        s = paragraph.start()
        tag_end = _start_tag_end(text, s)
        if tag_end is None:
            break
        close = text.find(b"</w:p>", tag_end)
        if close < 0:
            break
        paragraph_end = close + 6
        if _LISTING_CHARACTER.search(text, s, paragraph_end) is not None:
            _resolve_paragraph(text, rewriter, s, paragraph_end)
        pos = paragraph_end
    return rewriter.finish()


def _post_render(text: bytes) -> bytes | None:
    changed = False
    stripped = strip_paragraph_breaks(text)
    if stripped is not None:
        text = stripped
        changed = True
    for sequence, delimiter in _DELIMITER_RESTORES:
        restored = replace_all(text, sequence, delimiter)
        if restored is not None:
            text = restored
            changed = True
    if _LISTING_CHARACTER.search(text) is not None:
        resolved = resolve_listing(text)
        if resolved is not None:
            text = resolved
            changed = True
    return text if changed else None


# Entry points -------------------------------------------------------------


def _utf8(value: object, parameter: str) -> bytes:
    """The UTF-8 bytes of a ``str`` argument, failing as the native binding does."""
    error: TypeError | UnicodeEncodeError
    if isinstance(value, str):
        try:
            return value.encode()
        except UnicodeEncodeError as encode_error:
            error = encode_error
    elif value is None:
        error = TypeError("'None' is not an instance of 'str'")
    else:
        error = TypeError(f"'{type(value).__qualname__}' object is not an instance of 'str'")
    error.add_note(f"while processing '{parameter}'")
    raise error


def patch_xml(src: str) -> str | None:
    """Patch one document part into template source; ``None`` means "use the Python reference"."""
    text = _utf8(src, "src")
    try:
        return _run_pipeline(text, PATCH_PASSES).decode()
    except Fallback:
        return None


def patch_xml_sound(src: str) -> str:
    """Like ``patch_xml``, but where that falls back carry on with the sound behaviour.

    A colspan/cellbg expression holding a backslash is written as it stands, and a
    gridSpan value with non-ASCII bytes is left unchanged like any non-numeric value.
    """
    return _run_pipeline(_utf8(src, "src"), _SOUND_PASSES).decode()


def pre_render(src: str) -> str | None:
    """Put a line feed before every paragraph start tag; ``None`` means unchanged."""
    text = _utf8(src, "src")
    broken, count = _PARAGRAPH_START.subn(b"\n\\g<0>", text)
    return broken.decode() if count else None


def post_render(dst: str) -> str | None:
    """Undo the paragraph line breaks, restore delimiters, resolve listing characters.

    ``None`` means unchanged.
    """
    rendered = _post_render(_utf8(dst, "dst"))
    return None if rendered is None else rendered.decode()
