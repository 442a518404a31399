"""Every problem of a part's template at once, each with its place and the tag as typed.

The template engine stops at the first error. To go on, the tag at fault is set aside
(removed, or made harmless where removing it would unbalance the blocks around it) and
the part is read again, until it compiles; with data, the same for rendering. Messages
say what the author can do, in place of the engine's "unknown tag" and "unexpected end".
"""

from __future__ import annotations

import difflib
import re
import sys
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import jinja2
from jinja2 import meta

from ._errors import TemplateRenderError, TemplateSyntaxError, TesserineError
from ._locate import SourceLines, SourceTag, line_excerpt, tag_for_message
from ._places import PartPlaces, is_open
from ._problems import Place, Problem

#: Problems looked for in one part before giving up on it.
PART_LIMIT = 100
#: Seconds spent looking for them: each problem costs a reading of the whole part, and a
#: part of many thousand tags takes a second or more to read.
PART_SECONDS = 30.0

_ELEMENT_KEYWORDS = ("tr", "tc", "p", "r")
_NEEDS = {
    "tr": "a row tag ({%tr … %}) must stand in a table row",
    "tc": "a cell tag ({%tc … %}) must stand in a table cell",
    "p": "a paragraph tag ({%p … %}) must stand in a paragraph",
    "r": "a run tag ({%r … %}) must stand in a run of text",
    "vm": "{% vm %} merges cells down a column: it must stand in a table cell",
    "hm": "{% hm %} merges the cells of a column loop: it must stand in a table cell",
    "colspan": "a cell span tag ({% colspan … %}) must stand in a table cell",
    "cellbg": "a cell shading tag ({% cellbg … %}) must stand in a table cell",
}
_LOOP_NEEDS = {
    "hm": "{% hm %} must stand in a cell repeated by a {%tc for … %} loop",
    "vm": "{% vm %} must stand in a cell of a row repeated by a {%tr for … %} loop",
}
# Statements that open a block closed by "end" and their name.
_OPENERS = frozenset({"for", "if", "macro", "call", "filter", "set", "with", "block", "autoescape", "trans", "raw"})
_KNOWN = sorted(_OPENERS | {"elif", "else", "include", "import", "from", "extends", "do", "break", "continue",
                            *(f"end{name}" for name in _OPENERS)})
_WORD = re.compile(r"[-+]?\s*(\w*)")
_UNKNOWN_TAG = re.compile(r"Encountered unknown tag '(\w+)'")
_INNERMOST = re.compile(r"innermost block that needs to be closed is '(\w+)'")
# Harmless stand-ins for a block tag whose expression is broken, keeping its block.
_STAND_INS = {"if": "if 0", "elif": "elif 0", "for": "for _ in ()", "with": "with", "set": "set _ = 0"}


@dataclass(frozen=True)
class Finding:
    """A problem and the line of the template source where it was found."""

    lineno: int
    problem: Problem


def _body(tag: SourceTag) -> str:
    body = tag.text[len(tag.opener):]
    return body[:-2] if tag.closed else body


def _keyword(tag: SourceTag) -> str | None:
    """The element keyword written straight after the opener, as in {%tr …%}."""
    body = _body(tag)
    return next((word for word in _ELEMENT_KEYWORDS if body.startswith(word + " ")), None)


def _word(tag: SourceTag) -> str:
    """The statement's name: the first word after the opener and any element keyword."""
    body = _body(tag)
    keyword = _keyword(tag)
    if keyword:
        body = body[len(keyword) + 1:]
    found = _WORD.match(body)
    return found.group(1) if found else ""


def _open_blocks(tags: list[SourceTag], block_opener: str, before: int) -> list[tuple[str, SourceTag]]:
    """The blocks still open at an offset, innermost last, for source that parses up to it."""
    stack: list[tuple[str, SourceTag]] = []
    raw = False
    for tag in tags:
        if tag.start >= before:
            break
        if tag.opener != block_opener or not tag.closed:
            continue
        word = _word(tag)
        if raw:
            raw = word != "endraw"
        elif word in _OPENERS and not (word == "set" and "=" in _body(tag)):
            stack.append((word, tag))
            raw = word == "raw"
        elif word.startswith("end") and stack and stack[-1][0] == word[3:]:
            stack.pop()
    return stack


def _statement(env: jinja2.Environment, body: str) -> str:
    return f"{env.block_start_string} {body} {env.block_end_string}"


class _Reader:
    """The repeated reading of one part's source: each error found, told, and set aside."""

    def __init__(self, env: jinja2.Environment, part: str, source: str, places: PartPlaces) -> None:
        self.env = env
        self.part = part
        self.text = source
        self.places = places
        self.lines = SourceLines(source, env)

    def replace(self, tag: SourceTag, text: str) -> None:
        # Replacements hold no line break, so every later line keeps its number.
        self.text = self.text[:tag.start] + text + self.text[tag.end:]
        self.lines = SourceLines(self.text, self.env)

    def finding(self, lineno: int, message: str, tag: SourceTag | None) -> Finding:
        place, typed = self.places.locate(lineno, tag.readable if tag else None)
        if typed is None:
            typed = line_excerpt(self.text, lineno)
        return Finding(lineno, Problem(self.part, place, typed, message))

    def statement(self, body: str) -> str:
        return _statement(self.env, body)

    def culprit(self, error: jinja2.TemplateSyntaxError) -> SourceTag | None:
        """The tag on the error's line that the engine stopped at.

        A line (a paragraph) may hold several tags: the first whose end, taken as the end
        of the source, makes the engine stop with the same error is the one.
        """
        tags = [tag for tag in self.lines.on_line(error.lineno or 0) if tag.opener != self.env.comment_start_string]
        if len(tags) <= 1:
            return tags[0] if tags else None
        for tag in tags:
            try:
                self.env.parse(self.text[:tag.end])
            except jinja2.TemplateSyntaxError as again:
                if (again.message, again.lineno) == (error.message, error.lineno):
                    return tag
        # Errors found after parsing (a filter or test that does not exist) name their subject.
        return tag_for_message(tags, error.message or "")

    def read(self) -> tuple[Finding | None, bool]:
        """Compile once: the problem found, and whether reading can go on past it."""
        try:
            self.env.compile(self.text, filename=self.part)
            return None, False
        except jinja2.TemplateSyntaxError as error:
            return self.explain(error)
        except (RecursionError, SyntaxError):
            # The parser recurses per nesting level, and Python caps nested blocks.
            first = self.lines.tags[0] if self.lines.tags else None
            return self.finding(first.line if first else 1, "tags nested too deeply", first), False

    def explain(self, error: jinja2.TemplateSyntaxError) -> tuple[Finding | None, bool]:
        message = (error.message or str(error)).rstrip(".")
        lineno = error.lineno or 0
        unclosed = _INNERMOST.search(message)
        if message.startswith("Unexpected end of template") and unclosed:
            return self.unclosed(lineno, message, unclosed.group(1))
        tag = self.culprit(error)
        if tag is None:
            return self.finding(lineno, message, None), False
        unknown = _UNKNOWN_TAG.match(message)
        keyword = _keyword(tag)
        if keyword is not None:
            # A keyword that patching did not act on: the tag is not where its element is.
            finding = self.finding(lineno, _NEEDS[keyword], tag)
            self.replace(tag, tag.text[:len(tag.opener)] + " " + tag.text[len(tag.opener) + len(keyword) + 1:])
            return finding, True
        if unknown is not None and unknown.group(1) in _ELEMENT_KEYWORDS:
            # {% tr … %}: the keyword set apart from the opener, so the tag is read as the
            # statement after it.
            finding = self.unknown(lineno, unknown.group(1), message, tag)
            self.replace(tag, re.sub(rf"\b{unknown.group(1)}\b", "", tag.text, count=1))
            return finding, True
        if unknown is not None:
            finding = self.unknown(lineno, unknown.group(1), message, tag)
        else:
            finding = self.finding(lineno, message, tag)
            if not tag.closed or is_open(finding.problem.tag):
                text = f"this tag is not closed: add {tag.closer} at its end"
                finding = Finding(lineno, Problem(self.part, finding.problem.place, finding.problem.tag, text))
        stand_in = _STAND_INS.get(_word(tag)) if tag.opener == self.env.block_start_string else None
        if stand_in is not None and unknown is None and tag.closed:
            self.replace(tag, self.statement(stand_in))
        else:
            self.replace(tag, "")
        return finding, True

    def unknown(self, lineno: int, name: str, message: str, tag: SourceTag) -> Finding:
        statement = self.statement
        if name in _NEEDS:
            finding = self.finding(lineno, _NEEDS[name], tag)
            if name in _ELEMENT_KEYWORDS and finding.problem.place.cell:
                text = (f"write the {name} keyword straight after {self.env.block_start_string}, as in"
                        f" {self.env.block_start_string}{name} … {self.env.block_end_string}")
                finding = self.finding(lineno, text, tag)
            return finding
        if "looking for the following tags" in message or "currently looking for" in message:
            blocks = _open_blocks(self.lines.tags, self.env.block_start_string, tag.start)
            if blocks:
                name_open, opener = blocks[-1]
                place, typed = self.places.locate(opener.line, opener.readable)
                where = place.describe(typed)
                return self.finding(lineno, f"{statement(name)} comes where {typed or opener.readable}"
                                            f"{f' ({where})' if where else ''} still needs its"
                                            f" {statement('end' + name_open)}", tag)
        if name.startswith("end") or name in ("elif", "else"):
            opener_name = name[3:] if name.startswith("end") else "if"
            return self.finding(lineno, f"{statement(name)} closes no open block: remove it, or add the"
                                        f" {statement(opener_name + ' …')} it belongs to before it", tag)
        close = difflib.get_close_matches(name, _KNOWN, n=1)
        hint = f": did you mean '{close[0]}'?" if close else ""
        return self.finding(lineno, f"unknown tag '{name}'{hint}", tag)

    def unclosed(self, lineno: int, message: str, name: str) -> tuple[Finding | None, bool]:
        blocks = _open_blocks(self.lines.tags, self.env.block_start_string, len(self.text))
        opener = next((tag for word, tag in reversed(blocks) if word == name), None)
        closer = self.statement("end" + name)
        if opener is None:
            return self.finding(lineno, message, None), False
        finding = self.finding(opener.line, "", opener)
        typed = finding.problem.tag
        keyword = next((word for word in _ELEMENT_KEYWORDS if typed.startswith(f"{{%{word} ")), None)
        if keyword is not None:
            closer = f"{{%{keyword} end{name} %}}"
        text = f"this block is never closed: add {closer} where it ends"
        finding = Finding(finding.lineno, Problem(self.part, finding.problem.place, typed, text))
        # Closing it at the end lets the reading go on to what follows.
        self.text += self.statement("end" + name)
        self.lines = SourceLines(self.text, self.env)
        return finding, True


def syntax_findings(env: jinja2.Environment, part: str, source: str, places: PartPlaces,
                    limit: int = PART_LIMIT) -> tuple[list[Finding], str]:
    """The part's syntax problems, and its source with the tags at fault set aside."""
    reader = _Reader(env, part, source, places)
    findings: list[Finding] = []
    deadline = time.monotonic() + PART_SECONDS
    while len(findings) < limit:
        before = reader.text
        finding, going_on = reader.read()
        if finding is not None:
            findings.append(finding)
        # A tag set aside always changes the source; one that did not would be met again.
        if finding is None or not going_on or reader.text == before or _time_is_up(deadline, part, findings):
            break
    return findings, reader.text


def _time_is_up(deadline: float, part: str, findings: list[Finding]) -> bool:
    """Past the deadline, a last finding says that the list stops there."""
    if time.monotonic() <= deadline:
        return False
    findings.append(Finding(sys.maxsize, Problem(
        part, Place(), "", f"stopped looking for problems after {PART_SECONDS:g} seconds: mend those listed"
                           " and check again")))
    return True


class _AnyName(dict[str, Any]):
    """Filters or tests by name, answering for names it does not know, so that a template is
    read for its variables whatever filters it was written for."""

    def get(self, name: str, default: Any = None) -> Any:
        return super().get(name, _unknown)

    def __contains__(self, name: object) -> bool:
        return True


def _unknown(*args: Any, **kwargs: Any) -> Any:
    raise jinja2.TemplateRuntimeError("a filter or test this environment does not know")


def lenient(env: jinja2.Environment) -> jinja2.Environment:
    """The environment, reading templates whatever filters and tests they use."""
    overlay = env.overlay()
    overlay.filters = _AnyName(env.filters)
    overlay.tests = _AnyName(env.tests)
    return overlay


def missing_findings(env: jinja2.Environment, part: str, text: str, context: Mapping[str, Any],
                     places: PartPlaces) -> list[Finding]:
    """The names the part reads that neither the data nor the environment give."""
    # "loop" outside a loop is what a merge tag outside its loop reads; rendering says so.
    names = meta.find_undeclared_variables(lenient(env).parse(text)) - set(context) - set(env.globals) - {"loop"}
    lines = SourceLines(text, env)
    findings = []
    for name in sorted(names):
        used = re.compile(rf"(?<![\w.]){re.escape(name)}\b")
        tag = next((tag for tag in lines.tags if tag.opener != env.comment_start_string
                    and used.search(_body(tag))), None)
        lineno = tag.line if tag else 0
        place, typed = places.locate(lineno, tag.readable if tag else None)
        findings.append(Finding(lineno, Problem(part, place, typed or "", f"the data have no value named '{name}'")))
    return findings


def explain_render_error(message: str, typed: str | None) -> str:
    """A render error's message, with what a merge tag outside its loop needs."""
    for name, needs in _LOOP_NEEDS.items():
        if typed and re.fullmatch(rf"\{{%-?\s*{name}\s*-?%\}}", typed) and "loop" in message:
            return needs
    return message


def _closed_tags_on_line(text: str, lineno: int, environment: jinja2.Environment) -> list[SourceTag]:
    """The complete tags on a line of the source, comments left out."""
    return [tag for tag in SourceLines(text, environment).on_line(lineno)
            if tag.opener != environment.comment_start_string and tag.closed]


def _render_finding(error: TemplateRenderError, part: str, text: str, places: PartPlaces,
                    environment: jinja2.Environment) -> tuple[Finding, SourceTag | None]:
    """A render error told at its place, and the tag of the source it was raised in."""
    lineno = error.lineno or 0
    tags = _closed_tags_on_line(text, lineno, environment)
    tag = tag_for_message(tags, error.message) if lineno else None
    place, typed = places.locate(lineno, tag.readable if tag else error.tag)
    message = explain_render_error(error.message, typed)
    return Finding(lineno, Problem(part, place, typed or "", message)), tag


def placed_render_error(error: TemplateRenderError, part: str, source: str, places: PartPlaces,
                        environment: jinja2.Environment) -> TemplateRenderError:
    """The same error, of the same class, naming the paragraph and the tag as typed."""
    if error.lineno is None:
        return error
    problem = _render_finding(error, part, source, places, environment)[0].problem
    return type(error)(part, problem.message, problem.tag or error.tag, problem.place.paragraph, problem.place,
                       error.lineno)


def placed_syntax_error(error: TemplateSyntaxError, part: str, source: str, places: PartPlaces,
                        environment: jinja2.Environment) -> TemplateSyntaxError:
    """The first syntax problem of the part, told as `check` tells it."""
    findings, _ = syntax_findings(environment, part, source, places, limit=1)
    if not findings:
        return error
    lineno, problem = findings[0].lineno, findings[0].problem
    return TemplateSyntaxError(part, lineno, problem.message, problem.place.text or problem.tag, problem.place,
                               problem.tag)


def _which_tag(error: TemplateRenderError, text: str, render: Callable[[str], str],
               environment: jinja2.Environment) -> SourceTag | None:
    """Of the tags on the error's line, the one that raised it: found by rendering once more
    with each of them on a line of its own."""
    lineno = error.lineno or 0
    tags = _closed_tags_on_line(text, lineno, environment)
    if len(tags) < 2:
        return None
    pieces: list[str] = []
    done = 0
    for tag in tags:
        pieces += text[done:tag.start], "\n"
        done = tag.start
    pieces.append(text[done:])
    try:
        render("".join(pieces))
    except TemplateRenderError as again:
        index = (again.lineno or 0) - lineno - 1
        if again.message == error.message and 0 <= index < len(tags):
            return tags[index]
    except TesserineError:
        pass
    return None


def render_findings(part: str, source: str, render: Callable[[str], str], places: PartPlaces,
                    environment: jinja2.Environment, limit: int = PART_LIMIT) -> tuple[list[Finding], str | None]:
    """The part's problems when `render` renders a source of it, and the finished output
    when there were none."""
    findings: list[Finding] = []
    text = source
    block = environment.block_start_string
    deadline = time.monotonic() + PART_SECONDS
    while len(findings) < limit and not (findings and _time_is_up(deadline, part, findings)):
        try:
            finished = render(text)
            return findings, None if findings else finished
        except TemplateRenderError as error:
            finding, tag = _render_finding(error, part, text, places, environment)
            if tag is None and error.lineno:
                tag = _which_tag(error, text, render, environment)
                if tag is not None:
                    place, typed = places.locate(tag.line, tag.readable)
                    message = explain_render_error(error.message, typed)
                    finding = Finding(tag.line, Problem(part, place, typed or "", message))
            findings.append(finding)
            if tag is None:
                break
            replacement = ""
            if tag.opener == block:
                # A statement cannot simply go: its block would lose its opener.
                stand_in = _STAND_INS.get(_word(tag))
                if stand_in is None:
                    break
                replacement = _statement(environment, stand_in)
            if replacement == tag.text:
                break
            text = text[:tag.start] + replacement + text[tag.end:]
        except TesserineError as error:
            findings.append(Finding(0, Problem(part, Place(), "", _without_part(str(error), part))))
            break
    return findings, None


def _without_part(message: str, part: str) -> str:
    prefix = f"{part}: "
    return message[len(prefix):] if message.startswith(prefix) else message
