"""Scrivelle: a .docx template, rendered part by part and saved as a new document."""

from __future__ import annotations

import os
import re
import secrets
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, BinaryIO

import jinja2
from jinja2 import meta

from . import _render
from ._errors import TemplateRenderError, TemplateSyntaxError, TesserineError
from ._limits import DEFAULT_LIMITS, Limits
from ._package import Source, open_package
from ._template_text import protect_template_text
from ._wellformed import check_well_formed

Target = str | os.PathLike[str] | BinaryIO

_EXCERPT_LIMIT = 120
_MARKUP = re.compile(r"<[^>]*>")
_SPACE = re.compile(r"\s+")
_LINE_BREAK = re.compile(r"\r\n|\r|\n")


def _syntax_excerpt(source: str, lineno: int) -> str:
    """The template line of the error, as the author typed it, not as XML."""
    # Jinja2 counts lines at these breaks only; str.splitlines knows many more.
    lines = _LINE_BREAK.split(source)
    line = lines[lineno - 1] if 0 < lineno <= len(lines) else ""
    text = _MARKUP.sub("", line)
    # Tags written into attributes (a span, a shading) vanish with the markup.
    if "{" not in text:
        text = line
    text = _SPACE.sub(" ", text).strip()
    if len(text) <= _EXCERPT_LIMIT:
        return text
    start = max(0, text.find("{") - 20)
    return ("…" if start else "") + text[start:start + _EXCERPT_LIMIT] + "…"


def _syntax_error(part: str, source: str, error: jinja2.TemplateSyntaxError) -> TemplateSyntaxError:
    lineno = error.lineno or 0
    return TemplateSyntaxError(part, lineno, error.message or str(error), _syntax_excerpt(source, lineno))


@dataclass
class _Compiled:
    # Holding the Environment keeps its id from being reused while the entry lives.
    environment: jinja2.Environment
    templates: dict[str, jinja2.Template] = field(default_factory=dict)


class Scrivelle:
    """A .docx template: render it with a context, then save the result."""

    def __init__(self, template: Source, *, limits: Limits | None = None) -> None:
        self._limits = limits or DEFAULT_LIMITS
        self._package = open_package(template, self._limits)
        self._sources: dict[str, str] = {}
        self._compiled: dict[tuple[int, bool], _Compiled] = {}
        self._rendered: dict[str, str] = {}

    patch_xml = staticmethod(_render.patch_xml)

    @property
    def parts(self) -> tuple[str, ...]:
        """The names of the parts that hold template text, main document first."""
        return self._package.template_parts

    def _source(self, part: str) -> str:
        """The patched part, ready for the template engine."""
        source = self._sources.get(part)
        if source is None:
            xml = self._package.text(part)
            source = self._sources[part] = _render.prepare_source(_render.patch_xml(protect_template_text(xml)))
        return source

    def _templates(self, environment: jinja2.Environment | None, autoescape: bool) -> dict[str, jinja2.Template]:
        key = (id(environment), autoescape)
        compiled = self._compiled.get(key)
        if compiled is None:
            if environment is None:
                env = _render.default_environment(autoescape)
            else:
                env = environment.overlay(autoescape=autoescape)
            compiled = self._compiled[key] = _Compiled(environment or env)
            for part in self.parts:
                source = self._source(part)
                try:
                    compiled.templates[part] = env.from_string(source)
                except jinja2.TemplateSyntaxError as error:
                    del self._compiled[key]
                    raise _syntax_error(part, source, error) from None
        return compiled.templates

    def render(
        self,
        context: Mapping[str, Any],
        environment: jinja2.Environment | None = None,
        autoescape: bool = True,
    ) -> None:
        """Render every template part; values are XML-escaped unless autoescape is False."""
        rendered: dict[str, str] = {}
        for part, template in self._templates(environment, autoescape).items():
            try:
                output = template.render(context)
            except Exception as error:
                # Whatever fails while the template evaluates is a fault of template or data.
                raise TemplateRenderError(part, f"{type(error).__name__}: {error}") from error
            rendered[part] = _render.finish_output(output)
        self._rendered = rendered

    def undeclared_variables(self, environment: jinja2.Environment | None = None) -> set[str]:
        """The names that the template reads from its context."""
        env = _render.default_environment() if environment is None else environment
        names: set[str] = set()
        for part in self.parts:
            source = self._source(part)
            try:
                names |= meta.find_undeclared_variables(env.parse(source))
            except jinja2.TemplateSyntaxError as error:
                raise _syntax_error(part, source, error) from None
        return names

    def rendered_xml(self, part: str) -> str:
        """The rendered XML of one part (after render())."""
        return self._rendered[part]

    def save(self, target: Target) -> None:
        """Write the rendered document; nothing is written if a rendered part is malformed."""
        if not self._rendered:
            raise TesserineError("nothing to save: call render() first")
        replacements: dict[str, bytes] = {}
        for part, xml in self._rendered.items():
            encoded = xml.encode("utf-8")
            check_well_formed(part, encoded)
            replacements[part] = encoded
        data = self._package.build(replacements)
        if isinstance(target, (str, os.PathLike)):
            _write_atomically(os.fspath(target), data)
        else:
            target.write(data)


def _write_atomically(path: str, data: bytes) -> None:
    directory, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.tmp")
    # os.open with mode 0o666 lets the umask decide the permissions, as for a plain open().
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(descriptor, "wb") as stream:
            stream.write(data)
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise
