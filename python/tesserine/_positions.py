"""Where each expression tag stands in a patched part, and the filter that suits the place.

After patching, a tag inside a text element is inline; one between the runs of a
paragraph stands where a run was (what `{{r x }}` becomes); one outside any paragraph
stands where a paragraph was (what `{{p x }}` becomes). Tags in the last two places
are rewritten to pass their value through a filter that gives it a run or a
paragraph of its own. The places are found from the markup just before each tag.

A run tag keeps the formatting of the run it was typed in. Patching cuts that run at
the tag, so the run right before the tag is its first half and holds its properties;
the run patching puts between two tags typed in one run has none of its own.

A paragraph tag keeps the properties of the paragraph it was typed in (its alignment,
spacing, style). Patching replaces that whole paragraph by the tag, so before patching
the properties are written, escaped, into a comment just before the paragraph; the
comment survives patching right before the tag, which takes the properties as its
filter's argument. Comments left anywhere else are dropped.
"""

from __future__ import annotations

import re
from xml.sax.saxutils import escape, unescape

import jinja2
from jinja2.lexer import TOKEN_DATA, TOKEN_VARIABLE_BEGIN, TOKEN_VARIABLE_END

from ._template_text import SPLIT_MARKUP
from .values.filters import PARAGRAPH_FILTER, RUN_FILTER

# The lexer of a default environment: only the delimiters matter here.
_LEXING = jinja2.Environment(keep_trailing_newline=True)
# Jinja2 lexes the source with its line ends made "\n"; offsets are taken in that text.
_NEWLINES = re.compile(r"\r\n|\r")
# The run that patching writes between two run tags typed in one run.
_BETWEEN_TAGS = '<w:r><w:t xml:space="preserve"></w:t></w:r>'
_RUN_END = "</w:r>"
_MARK_OPEN = "<!--tesserine-pPr:"
_MARK = re.compile(r"<!--tesserine-pPr:([^<>]*)-->")
# A paragraph's start tag (not an empty paragraph's), or "{{p " as the patcher finds it
# once it has joined the runs that split it: read in one pass, each paragraph tag is in
# the paragraph that started last before it.
_PARAGRAPH_OR_TAG = re.compile(
    rf"(?P<paragraph><w:p(?:>|\s[^<>]*+(?<!/)>))|(?P<tag>\{{{SPLIT_MARKUP}\{{{SPLIT_MARKUP}p{SPLIT_MARKUP} )")


class _Scope:
    """Which elements are open at a point of the markup, learnt from the text before it."""

    def __init__(self) -> None:
        self.in_tag = False
        self.in_text = False
        self.in_run = False
        self.in_paragraph = False

    def advance(self, data: str) -> None:
        """Account for the markup `data`, which follows what was seen before."""
        lt, gt = data.rfind("<"), data.rfind(">")
        if lt != gt:
            self.in_tag = lt > gt
        self.in_text = _still_open(data, "t", self.in_text)
        self.in_run = _still_open(data, "r", self.in_run)
        self.in_paragraph = _still_open(data, "p", self.in_paragraph)

    def filter(self) -> str | None:
        if self.in_tag or self.in_text or self.in_run:
            return None
        return RUN_FILTER if self.in_paragraph else PARAGRAPH_FILTER


def _last_start(data: str, name: str, end: int | None = None) -> int:
    """The offset of the last start tag `<w:name>` or `<w:name ...>` before `end` that is not empty."""
    opener = f"<w:{name}"
    end = len(data) if end is None else end
    while (at := data.rfind(opener, 0, end)) >= 0:
        follow = data[at + len(opener):at + len(opener) + 1]
        if follow == ">":
            return at
        if follow in (" ", ""):
            close = data.find(">", at)
            if close < 0 or data[close - 1] != "/":
                return at
        end = at
    return -1


def _still_open(data: str, name: str, before: bool) -> bool:
    start = _last_start(data, name)
    end = data.rfind(f"</w:{name}>")
    if start < 0 and end < 0:
        return before
    return start > end


def _may_stand_outside_text(text: str, opener: str) -> bool:
    """Whether an expression tag may stand outside a text element: right after another tag,
    or after markup other than a text element's start tag. Lexing the whole part costs as
    much as the rest of preparing it, and a word processor's document rarely needs it."""
    at = text.find(opener)
    while at >= 0:
        end = at - 1
        while end >= 0 and text[end] in " \t\r\n":
            end -= 1
        if end >= 0 and text[end] == "}":
            return True
        if end >= 0 and text[end] == ">":
            start = text.rfind("<", 0, end)
            if not (text.startswith("<w:t>", start) or
                    (text.startswith("<w:t ", start) and text[end - 1] != "/")):
                return True
        at = text.find(opener, at + len(opener))
    return False


def _properties(text: str, start: int, name: str, end: int) -> str:
    """The properties element (`w:rPr`, `w:pPr`) right inside the element whose start tag
    begins at `start`, looked for before `end`; "" for none.

    Properties that hold template text are left out: as a string they would not render.
    """
    opened = text.find(">", start, end) + 1
    tag, closer = f"<w:{name}", f"</w:{name}>"
    if not opened or not text.startswith((tag + ">", tag + " "), opened):
        return ""
    closed = text.find(closer, opened, end)
    # A tracked change holds the properties as they were, in an element of the same name.
    change = text.find(f"<w:{name}Change", opened, closed) if closed >= 0 else -1
    if change >= 0:
        change_end = text.find(f"</w:{name}Change>", change, end)
        closed = text.find(closer, change_end, end) if change_end >= 0 else -1
    if closed < 0:
        return ""
    properties = text[opened:closed + len(closer)]
    return "" if "{" in properties else properties


def _run_properties(text: str, at: int) -> str:
    """The run properties element of the run that ends right at `at`, or "" for none."""
    if not text.endswith(_RUN_END, 0, at):
        return ""
    start = _last_start(text, "r", at)
    return "" if start < 0 else _properties(text, start, "rPr", at)


def mark_paragraph_properties(xml: str) -> str:
    """The part with the properties of each paragraph holding a paragraph tag written in a
    comment before it, for `mark_positions` to give the tag."""
    out: list[str] = []
    done, start, marked = 0, -1, -1
    for found in _PARAGRAPH_OR_TAG.finditer(xml):
        if found.group("paragraph"):
            start = found.start()
            continue
        if start < 0 or start == marked:
            continue
        marked = start
        properties = _properties(xml, start, "pPr", found.start())
        if properties and "--" not in properties:
            # One line, as the paragraph had: line numbers of the source must not move.
            flat = properties.replace("\r", " ").replace("\n", " ")
            out += (xml[done:start], _MARK_OPEN, escape(flat), "-->")
            done = start
    if not out:
        return xml
    out.append(xml[done:])
    return "".join(out)


def _take_marks(text: str) -> tuple[str, dict[int, str]]:
    """The text without the comments of `mark_paragraph_properties`, and the properties
    each held, by the offset in the new text where the comment stood."""
    pieces: list[str] = []
    marks: dict[int, str] = {}
    done = length = 0
    for found in _MARK.finditer(text):
        pieces.append(text[done:found.start()])
        length += found.start() - done
        marks[length] = unescape(found.group(1))
        done = found.end()
    pieces.append(text[done:])
    return "".join(pieces), marks


def _literal(text: str) -> str:
    """A Jinja2 string literal that reads as text."""
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def mark_positions(source: str, environment: jinja2.Environment | None = None) -> str:
    """The patched source with run- and paragraph-position tags passed through their filters.

    Source that Jinja2 cannot lex is returned unchanged: compiling it reports the error.
    """
    env = _LEXING if environment is None else environment
    opener = env.variable_start_string
    # Jinja2 lexes the text with "\n" line ends: the offsets of the marks are taken there.
    text = _NEWLINES.sub("\n", source) if "\r" in source else source
    marks: dict[int, str] = {}
    if _MARK_OPEN in source:
        source = _MARK.sub("", source)
        text, marks = _take_marks(text)
    if not _may_stand_outside_text(source, opener):
        return source
    try:
        tokens = list(env.lex(text))
    except jinja2.TemplateSyntaxError:
        return source
    out: list[str] = []
    done = position = 0
    scope = _Scope()
    wrap: str | None = None
    paragraph_properties = ""
    expression_start = tag_start = 0
    # Where the last run tag ended, and the run properties it took.
    last_run_tag = (-1, "")
    for _, kind, value in tokens:
        at = text.find(value, position)
        # Only white space that a trim marker removed lies between two tokens.
        if at < 0 or (at != position and not text[position:at].isspace()):
            return source
        position = at + len(value)
        if kind == TOKEN_DATA:
            scope.advance(value)
        elif kind == TOKEN_VARIABLE_BEGIN:
            wrap = scope.filter()
            expression_start, tag_start = position, at
            paragraph_properties = marks.get(at, "")
        elif kind == TOKEN_VARIABLE_END and wrap is not None:
            expression = text[expression_start:at]
            if expression.strip():
                out.append(text[done:expression_start])
                if wrap == RUN_FILTER:
                    properties = _run_properties(text, tag_start)
                    if tag_start - len(_BETWEEN_TAGS) == last_run_tag[0] and \
                            text.startswith(_BETWEEN_TAGS, last_run_tag[0]):
                        properties = last_run_tag[1]
                    last_run_tag = (position, properties)
                    arguments = f"({_literal(properties)})" if properties else ""
                    out.append(f"({expression})|{wrap}{arguments} ")
                elif paragraph_properties:
                    out.append(f"({expression})|{wrap}({_literal(paragraph_properties)}) ")
                else:
                    out.append(f"({expression})|{wrap} ")
                done = at
            wrap = None
    if not out:
        return source
    out.append(text[done:])
    return "".join(out)
