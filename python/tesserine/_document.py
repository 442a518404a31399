"""Scrivelle: a .docx template, rendered part by part and saved as a new document."""

from __future__ import annotations

import io
import os
import threading
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, BinaryIO

import jinja2
from jinja2 import meta

from . import _render
from ._check import (
    Finding,
    lenient,
    missing_findings,
    placed_render_error,
    placed_syntax_error,
    render_findings,
    syntax_findings,
)
from ._deadline import render_budget
from ._errors import MalformedPartError, TemplateRenderError, TemplateSyntaxError, TesserineError
from ._files import write_atomically
from ._limits import DEFAULT_LIMITS, Limits
from ._link_targets import LinkTemplates, find_links, with_addresses
from ._locate import syntax_error
from ._package import Source, open_package
from ._pdf import to_pdf
from ._picture_lookup import picture_members, replacement_bytes
from ._placement import place_values
from ._places import PartPlaces
from ._positions import mark_paragraph_properties, mark_positions
from ._problems import Place, Problem
from ._resources import DocumentResources, PackageFacts, compressed_media, reuse_template_media
from ._table_grid import mark_columns, widen_grids
from ._template_text import protect_template_text
from ._wellformed import check_well_formed
from .values.base import Registry, rendering
from .values.picture import Picture, PictureSource

Target = str | os.PathLike[str] | BinaryIO


@dataclass(frozen=True)
class _Compiled:
    # Holding the Environment keeps its id from being reused while the entry lives.
    environment: jinja2.Environment
    templates: dict[str, jinja2.Template]


@dataclass(frozen=True)
class _Outcome:
    """What one render() left: the rendered parts and the members their values add or
    change (replacements, additions), or why there are none."""

    parts: dict[str, str] | None
    failure: str = ""
    members: tuple[dict[str, bytes], dict[str, bytes]] = ({}, {})
    #: Parts that lxml wrote, well-formed without a check.
    well_formed: frozenset[str] = frozenset()


class Scrivelle:
    """A .docx template: render it with a context, then save the result.

    Templates are sandboxed unless render() is told `trusted=True`, and rendering stays
    within the document's `Limits` (`DEFAULT_LIMITS` unless given).

    One Scrivelle may be rendered from several threads at once; the compiled templates are
    shared. save() and rendered_xml() use the last render() of the calling thread, or, in a
    thread that has not rendered, the last render() of any thread: always one whole render.
    """

    def __init__(self, template: Source, *, limits: Limits | None = None) -> None:
        self._limits = limits or DEFAULT_LIMITS
        self._package = open_package(template, self._limits)
        self._sources: dict[str, str] = {}
        self._compiled: dict[tuple[int, bool, bool], _Compiled] = {}
        # Reentrant: compiling can call a filter, and a filter may render this template.
        self._lock = threading.RLock()
        self._outcome: _Outcome | None = None
        self._thread = threading.local()
        self._facts: PackageFacts | None = None
        # New bytes for pictures of the template, by member; applied when saving.
        self._pictures: dict[str, bytes] = {}
        self._places: dict[str, PartPlaces] = {}
        self._links: LinkTemplates | None = None

    patch_xml = staticmethod(_render.patch_xml)

    @property
    def parts(self) -> tuple[str, ...]:
        """The names of the parts that hold template text, main document first."""
        return self._package.template_parts

    @staticmethod
    def _patched(xml: str) -> str:
        return _render.patch_xml(protect_template_text(mark_columns(xml)))

    @classmethod
    def _prepare(cls, xml: str) -> str:
        """A part's XML made the source the template engine compiles."""
        return _render.prepare_source(mark_positions(cls._patched(mark_paragraph_properties(xml))))

    @classmethod
    def _lines(cls, xml: str) -> str:
        """A part's XML in the lines of its source: the filters of value positions, which
        take long to find, change no line."""
        return _render.prepare_source(cls._patched(xml))

    def _source(self, part: str) -> str:
        """The patched part, ready for the template engine."""
        source = self._sources.get(part)
        if source is None:
            source = self._sources[part] = self._prepare(self._package.text(part))
        return source

    def _places_of(self, part: str) -> PartPlaces:
        """Where the lines of a part's source were typed; worked out when a message needs it."""
        with self._lock:
            places = self._places.get(part)
            if places is None:
                places = self._places[part] = PartPlaces(self._package.text(part), self._lines, self._source(part))
            return places

    def _link_templates(self) -> LinkTemplates:
        with self._lock:
            if self._links is None:
                self._links = LinkTemplates(self._package, find_links(self._package, self.parts))
            return self._links

    def _compile(self, env: jinja2.Environment, part: str) -> jinja2.Template:
        source = self._source(part)
        try:
            return _render.compile_part(env, part, source)
        except TemplateSyntaxError as error:
            raise placed_syntax_error(error, part, source, self._places_of(part), env) from None

    def _render_part(self, template: jinja2.Template, context: Mapping[str, Any], part: str) -> str:
        source = self._source(part)
        try:
            return _render.render_part(template, context, part, source)
        except TemplateRenderError as error:
            raise self._placed(error, part, template.environment) from error.__cause__

    def _place_values(self, xml: str, registry: Registry, resources: DocumentResources, part: str,
                      environment: jinja2.Environment, context: Mapping[str, Any]) -> str:
        try:
            return place_values(xml, registry, resources.part(part), self._source(part))
        except TemplateRenderError as error:
            raise self._placing_error(error, part, environment, context) from error.__cause__

    def _placing_error(self, error: TemplateRenderError, part: str, environment: jinja2.Environment,
                       context: Mapping[str, Any]) -> TemplateRenderError:
        """A value that could not be placed, told at its tag as check() tells it. Its line of
        the source may hold several tags (a paragraph tag shares the line of the paragraph
        before it); rendering the part once more, as check() does, finds the one."""
        resources = self._resources()
        try:
            problems = self._part_problems(environment, part, context, resources)
        except TesserineError:
            # Out of time, say: the error is told from its line alone.
            problems = []
        for problem in problems:
            if problem.message == error.message and problem.place.paragraph is not None:
                return type(error)(part, problem.message, problem.tag, problem.place.paragraph, problem.place,
                                   error.lineno)
        return self._placed(error, part, environment)

    def _placed(self, error: TemplateRenderError, part: str, environment: jinja2.Environment) -> TemplateRenderError:
        """The error naming the paragraph and the tag as typed."""
        return placed_render_error(error, part, self._source(part), self._places_of(part), environment)

    def _templates(
        self, environment: jinja2.Environment | None, autoescape: bool, trusted: bool
    ) -> dict[str, jinja2.Template]:
        key = (id(environment), autoescape, trusted and environment is None)
        with self._lock:
            compiled = self._compiled.get(key)
            if compiled is None:
                env = _environment(environment, autoescape, trusted)
                templates = {part: self._compile(env, part) for part in self.parts}
                compiled = self._compiled[key] = _Compiled(environment or env, templates)
        return compiled.templates

    def render(
        self,
        context: Mapping[str, Any],
        environment: jinja2.Environment | None = None,
        autoescape: bool = True,
        *,
        trusted: bool = False,
    ) -> None:
        """Render every template part; values are XML-escaped unless autoescape is False.

        The template runs in Jinja2's sandbox unless trusted is True; an environment the
        caller passes is used as given. Failures are `TesserineError`s naming the part and
        the tag; the document's limits bound the output and the time of the whole call.
        """
        try:
            with render_budget(self._limits) as budget:
                resources = self._resources()
                rendered: dict[str, str] = {}
                serialized: set[str] = set()
                with rendering(budget.max_output) as registry:
                    for part, template in self._templates(environment, autoescape, trusted).items():
                        registry.begin_part(part)
                        output = self._render_part(template, context, part)
                        finished = widen_grids(_render.finish_output(output, part))
                        rendered[part] = self._place_values(finished, registry, resources, part,
                                                            template.environment, context)
                        if rendered[part] is not finished:
                            serialized.add(part)
                    env = environment or _render.default_environment(autoescape, trusted)
                    addresses = self._link_templates().render(env, context)
                resources.finish(rendered)
                replaced, added = resources.changes()
                members = (with_addresses(self._package, addresses, replaced), added)
        except BaseException as error:
            self._publish(_Outcome(None, str(error) or type(error).__name__))
            raise
        self._publish(_Outcome(rendered, members=members, well_formed=frozenset(serialized)))

    def _package_facts(self) -> PackageFacts:
        with self._lock:
            if self._facts is None:
                package = self._package
                self._facts = PackageFacts([member.name for member in package.members], package.text, self.parts,
                                           package.read, {member.name: member.size for member in package.members})
            return self._facts

    def _resources(self) -> DocumentResources:
        """Fresh resources of the rendered document, for one render or check."""
        return DocumentResources(self._package_facts(), self._limits.max_picture_size)

    def replace_picture(self, name: str, source: PictureSource) -> None:
        """Give a picture of the template new content, wherever it appears; it keeps its size,
        position and wrapping. `name` is the picture's name or its alt text (description).

        Applies to every save from now on, whether render() came before or comes after.
        """
        with self._lock:
            facts = self._package_facts()
            members = picture_members(name, self.parts, facts.member_text)
            picture = Picture(source)
            picture.check_size(self._limits.max_picture_size)
            for member in members:
                if facts.exists(member):
                    self._pictures[facts.member(member)] = replacement_bytes(member, picture)

    def _publish(self, outcome: _Outcome) -> None:
        self._thread.outcome = self._outcome = outcome

    def _rendered(self) -> tuple[dict[str, str], _Outcome]:
        """The parts of the last render, and all it left."""
        outcome: _Outcome | None = getattr(self._thread, "outcome", None) or self._outcome
        if outcome is None:
            raise TesserineError("no rendered document: call render() first")
        if outcome.parts is None:
            raise TesserineError(f"no rendered document: the last render() failed: {outcome.failure}")
        return outcome.parts, outcome

    def undeclared_variables(self, environment: jinja2.Environment | None = None) -> set[str]:
        """The names that the template reads from its context, in its parts and its link
        addresses, whatever filters and tests it uses."""
        env = lenient(_render.default_environment() if environment is None else environment)
        names: set[str] = set()
        for part in self.parts:
            source = self._source(part)
            try:
                names |= meta.find_undeclared_variables(env.parse(source))
            except jinja2.TemplateSyntaxError as error:
                raise placed_syntax_error(syntax_error(part, source, error), part, source, self._places_of(part),
                                          env) from None
        return names | self._link_templates().names(env)

    def check(
        self,
        context: Mapping[str, Any] | None = None,
        environment: jinja2.Environment | None = None,
        autoescape: bool = True,
        *,
        trusted: bool = False,
    ) -> list[Problem]:
        """Every problem of the template at once, in every part and link address, each with
        its part, place, tag as typed and message: tags that are not valid or not where
        their element is; with a context, also what fails when rendering with it and the
        names it lacks. The template is rendered as `render` would, and nothing is kept.
        """
        env = _environment(environment, autoescape, trusted)
        resources = self._resources()
        problems: list[Problem] = []
        for part in self.parts:
            problems += self._part_problems(env, part, context, resources)
        with render_budget(self._limits):
            problems += self._link_templates().problems(environment or env, context)
        return problems

    def _part_problems(self, env: jinja2.Environment, part: str, context: Mapping[str, Any] | None,
                       resources: DocumentResources) -> list[Problem]:
        source, places = self._source(part), self._places_of(part)
        findings: list[Finding] = []
        readable = source
        try:
            # A sound part costs a compile, through the cache of compiled templates.
            _render.compile_part(env, part, source)
        except TemplateSyntaxError:
            findings, readable = syntax_findings(env, part, source, places)
        if context is None:
            return [finding.problem for finding in sorted(findings, key=lambda finding: finding.lineno)]

        def render(text: str) -> str:
            with render_budget(self._limits) as budget, rendering(budget.max_output) as registry:
                registry.begin_part(part)
                if text == source:
                    template = _render.compile_part(env, part, text)
                else:
                    # A source with tags set aside is not worth keeping in the cache.
                    template = env.template_class.from_code(env, env.compile(text, filename=part),
                                                            env.make_globals(None))
                output = _render.render_part(template, context, part, text)
                return place_values(widen_grids(_render.finish_output(output, part)), registry, resources.part(part),
                                    text)

        findings += missing_findings(env, part, readable, context, places)
        failures, finished = render_findings(part, readable, render, places, env)
        problems = [finding.problem for finding in sorted(findings + failures, key=lambda finding: finding.lineno)]
        if finished is not None and not findings:
            try:
                check_well_formed(part, finished.encode("utf-8"))
            except MalformedPartError as error:
                problems.append(Problem(part, Place(), "", str(error).removeprefix(f"{part}: ")))
        return problems

    def rendered_xml(self, part: str) -> str:
        """The rendered XML of one part (after render())."""
        return self._rendered()[0][part]

    def save(self, target: Target) -> None:
        """Write the rendered document; nothing is written if a rendered part is malformed."""
        parts, outcome = self._rendered()
        changed, additions = outcome.members
        with self._lock:
            replacements = {**changed, **self._pictures}
        for part, xml in parts.items():
            encoded = xml.encode("utf-8")
            if part not in outcome.well_formed:
                check_well_formed(part, encoded)
            replacements[part] = encoded
        replacements, additions = reuse_template_media(self._package_facts(), replacements, additions)
        _write(target, self._package.build(replacements, additions, stored=compressed_media(additions)))

    def save_pdf(self, target: Target, *, timeout: float | None = None) -> None:
        """Write the rendered document as PDF, converted by LibreOffice (`soffice`), within
        `timeout` seconds (by default a little over a minute); PdfUnavailableError if
        LibreOffice is not installed, PdfConversionError if it fails."""
        document = io.BytesIO()
        self.save(document)
        _write(target, to_pdf(document.getvalue(), timeout=timeout))


def _environment(environment: jinja2.Environment | None, autoescape: bool, trusted: bool) -> jinja2.Environment:
    """The environment the parts compile in: ours, or the caller's with their escaping."""
    if environment is None:
        return _render.default_environment(autoescape, trusted)
    return _render.caller_environment(environment, autoescape)


def _write(target: Target, data: bytes) -> None:
    if isinstance(target, (str, os.PathLike)):
        write_atomically(os.fspath(target), data)
    else:
        target.write(data)
