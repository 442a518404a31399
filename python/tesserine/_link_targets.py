"""Template text in hyperlink addresses.

A hyperlink's address lives outside the part's text, as the target of an external
relationship (`https://example.com/{{ slug }}`). Such targets are templates of their own:
rendered with the document's context and environment, each value URL-escaped, and the
result required to be an absolute http, https or mailto URL, so that a document never
links to somewhere its author did not mean. A value that starts the address is taken as
an address itself and keeps the characters that give an address its structure; a value
after it is one piece of the address, with every such character escaped.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any
from urllib.parse import quote, unquote, urlsplit

import jinja2
from jinja2 import meta

from ._errors import LinkAddressError, TemplateRenderError, TemplateSyntaxError, TesserineError
from ._ooxml import NS, parse, serialize
from ._outline import read_outline
from ._package import Package
from ._places import place_of
from ._problems import Place, Problem
from ._resources import rels_member
from .values.styled import LINK_SCHEMES

_RELATIONSHIP = f"{{{NS['rel']}}}Relationship"
# Word writes the braces, percent signs and spaces of an address it was given escaped.
_ESCAPED_TAG = re.compile(r"%7B(?:%7B|%25).*?(?:%7D|%25)%7D", re.IGNORECASE)
# A value's text between these, until its place in the address is known.
_START, _END = "\ue000", "\ue001"
_VALUE = re.compile(f"{_START}(.*?){_END}", re.S)
# What an address may hold as it is: the reserved characters of RFC 3986, and percent
# signs of escapes already made.
_ADDRESS_SAFE = "/:?#[]@!$&'()*+,;=%~"
_MARKS = str.maketrans("", "", _START + _END)


@dataclass(frozen=True)
class Link:
    """A hyperlink whose address holds template text."""

    #: The part the link stands in, and the member that holds its relationship.
    part: str
    member: str
    identifier: str
    #: The address as typed (escaped braces and spaces read back).
    target: str


def _typed(target: str) -> str:
    return _ESCAPED_TAG.sub(lambda found: unquote(found.group()), target)


def find_links(package: Package, parts: tuple[str, ...]) -> list[Link]:
    """The external hyperlinks of the parts whose address holds a template tag."""
    links = []
    for part in parts:
        member = package.member_name(rels_member(part))
        if member is None:
            continue
        for relationship in parse(package.read(member), member).iter(_RELATIONSHIP):
            if relationship.get("TargetMode") != "External" or \
                    not relationship.get("Type", "").endswith("/hyperlink"):
                continue
            target = _typed(relationship.get("Target", ""))
            if "{{" in target or "{%" in target:
                links.append(Link(part, member, relationship.get("Id", ""), target))
    return links


def _marked(value: Any) -> str:
    # The marks are private-use characters, which mean nothing in an address.
    return _START + str(value).translate(_MARKS) + _END


def _escaped(rendered: str) -> str:
    def escape(found: re.Match[str]) -> str:
        value = found.group(1)
        # After other text, a value is one piece of the address: its structure escaped too,
        # but for the "@" of a mail address, which any part of a path may hold.
        return quote(value, safe=_ADDRESS_SAFE if found.start() == 0 else "@")

    return _VALUE.sub(escape, rendered)


def is_absolute_url(address: str) -> bool:
    try:
        parts = urlsplit(address)
    except ValueError:
        # An unbalanced "[" in the host, say.
        return False
    scheme = parts.scheme.lower()
    if scheme not in LINK_SCHEMES or any(char.isspace() or not char.isprintable() for char in address):
        return False
    return bool(parts.netloc) if scheme != "mailto" else bool(parts.path)


class LinkTemplates:
    """The templated hyperlinks of one document, compiled once per environment."""

    def __init__(self, package: Package, links: list[Link]) -> None:
        self.package = package
        self.links = links
        self._compiled: dict[int, tuple[jinja2.Environment, dict[str, jinja2.Template]]] = {}

    def place(self, link: Link) -> Place:
        """The paragraph holding the link, found only when a message needs it."""
        return place_of(read_outline(self.package.text(link.part)).paragraph_with_link(link.identifier))

    def _templates(self, environment: jinja2.Environment) -> dict[str, jinja2.Template]:
        entry = self._compiled.get(id(environment))
        if entry is None:
            overlay = environment.overlay(autoescape=False, finalize=_marked)
            templates: dict[str, jinja2.Template] = {}
            for link in self.links:
                if link.target not in templates:
                    try:
                        templates[link.target] = overlay.from_string(link.target)
                    except jinja2.TemplateSyntaxError as error:
                        raise TemplateSyntaxError(link.part, 0, self._about(link, error.message or str(error)),
                                                  link.target, self.place(link), link.target) from None
            # Holding the environment keeps its id from being reused while the entry lives.
            entry = self._compiled[id(environment)] = (environment, templates)
        return entry[1]

    def _about(self, link: Link, message: str) -> str:
        return f"in the address of link {link.identifier}: {message.rstrip('.')}"

    def render(self, environment: jinja2.Environment, context: Mapping[str, Any]) -> dict[str, dict[str, str]]:
        """The rendered addresses, by relationships member and relationship id."""
        if not self.links:
            return {}
        templates = self._templates(environment)
        addresses: dict[str, dict[str, str]] = {}
        for link in self.links:
            try:
                address = _escaped(templates[link.target].render(context))
            except (TesserineError, MemoryError):
                raise
            except Exception as error:
                message = self._about(link, f"{type(error).__name__}: {error}")
                raise TemplateRenderError(link.part, message, link.target, None, self.place(link)) from error
            if not is_absolute_url(address):
                raise LinkAddressError(link.part, self._about(link, f"“{address}” is not an absolute http, https"
                                                                   " or mailto address"),
                                      link.target, None, self.place(link))
            addresses.setdefault(link.member, {})[link.identifier] = address
        return addresses

    def names(self, environment: jinja2.Environment) -> set[str]:
        found: set[str] = set()
        for link in self.links:
            try:
                found |= meta.find_undeclared_variables(environment.parse(link.target))
            except jinja2.TemplateSyntaxError as error:
                raise TemplateSyntaxError(link.part, 0, self._about(link, error.message or str(error)),
                                          link.target, self.place(link), link.target) from None
        return found

    def problems(self, environment: jinja2.Environment, context: Mapping[str, Any] | None) -> list[Problem]:
        """What is wrong with the addresses: their syntax, and with data, their results."""
        problems = []
        for link in self.links:
            one = LinkTemplates(self.package, [link])
            try:
                one._templates(environment)
                if context is not None:
                    one.render(environment, context)
            except (TemplateSyntaxError, TemplateRenderError) as error:
                problems.append(Problem(link.part, error.place, link.target, error.message))
        return problems


def with_addresses(package: Package, addresses: dict[str, dict[str, str]],
                   replacements: dict[str, bytes]) -> dict[str, bytes]:
    """The member replacements with the rendered addresses written into the relationships,
    over what the render changed there already."""
    changed = dict(replacements)
    for member, targets in addresses.items():
        root = parse(changed.get(member) or package.read(member), member)
        for relationship in root.iter(_RELATIONSHIP):
            target = targets.get(relationship.get("Id", ""))
            if target is not None:
                relationship.set("Target", target)
        changed[member] = serialize(root)
    return changed
