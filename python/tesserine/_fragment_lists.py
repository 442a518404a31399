"""A fragment's lists: each paragraph's list made explicit once, and the list definitions
copied under fresh ids for each insertion, so that every copy of a fragment numbers on its
own and restarts where the fragment did.
"""

from __future__ import annotations

import copy
import secrets
from collections.abc import Callable, Iterable
from typing import Protocol

from ._fragment_styles import FragmentStyles, child_value, follow
from ._ooxml import PARAGRAPH_PROPERTY_ORDER, Element, ensure_properties, make, properties_of, qn, set_property

_VAL = qn("w:val")
_NUM_ID, _ABSTRACT_ID, _LEVEL = qn("w:numId"), qn("w:abstractNumId"), qn("w:ilvl")


class Numbering(Protocol):
    """The document's numbering part, as `_resources` keeps it for a render."""

    def add_abstract(self, abstract: Element) -> str: ...

    def add_num(self, num: Element, abstract_id: str) -> str: ...


class FragmentLists:
    """The numbering part of a fragment."""

    def __init__(self, root: Element | None, styles: FragmentStyles) -> None:
        self.styles = styles
        self.nums: dict[str, Element] = {}
        self.abstracts: dict[str, Element] = {}
        for num in () if root is None else root.iter(qn("w:num")):
            self.nums.setdefault(num.get(_NUM_ID, ""), num)
        for abstract in () if root is None else root.iter(qn("w:abstractNum")):
            self.abstracts.setdefault(abstract.get(_ABSTRACT_ID, ""), abstract)

    def abstract_of(self, number: str) -> Element | None:
        """The definition a list follows, through the numbering style it may point to."""
        seen = {number}
        abstract = self.abstracts.get(child_value(self.nums.get(number), "w:abstractNumId") or "")
        while abstract is not None:
            link = child_value(abstract, "w:numStyleLink")
            linked = None if link is None else self.styles.numbering(link)[0]
            if linked is None or linked in seen:
                break
            seen.add(linked)
            # An element with no children is false: compare with None.
            following = self.abstracts.get(child_value(self.nums.get(linked), "w:abstractNumId") or "")
            abstract = abstract if following is None else following
        return abstract

    def _level_of_style(self, number: str, style_id: str | None) -> str | None:
        abstract = self.abstract_of(number)
        if abstract is None or style_id is None:
            return None
        for level in abstract.iter(qn("w:lvl")):
            if child_value(level, "w:pStyle") == style_id:
                return level.get(_LEVEL)
        return None

    def make_explicit(self, element: Element) -> None:
        """Give each paragraph the list and level it shows, even when its style gives them:
        copies of the fragment then take lists of their own, whatever the document's styles."""
        default = self.styles.default("paragraph")
        for paragraph in element.iter(qn("w:p")):
            properties = properties_of(paragraph, "w:pPr")
            direct = None if properties is None else properties.find(qn("w:numPr"))
            number, level = child_value(direct, "w:numId"), child_value(direct, "w:ilvl")
            style_id = child_value(properties, "w:pStyle") or default
            if number is None:
                number, style_level = self.styles.numbering(style_id)
                level = level if level is not None else style_level
            if number is None or number == "0":
                continue
            if self.abstract_of(number) is None:
                # The fragment's own word processor shows no list here.
                if direct is not None and properties is not None:
                    properties.remove(direct)
                continue
            level = level if level is not None else self._level_of_style(number, style_id)
            numbered = make("w:numPr", None, make("w:ilvl", {"w:val": level or "0"}),
                            make("w:numId", {"w:val": number}))
            set_property(ensure_properties(paragraph, "w:pPr"), numbered, PARAGRAPH_PROPERTY_ORDER)

    def drop_picture_bullets(self, numbers: Iterable[str]) -> bool:
        """Leave out the picture bullets of these lists: their pictures live in the numbering
        part's own relationships. Each level keeps its text bullet. True if there were any."""
        dropped = False
        for number in numbers:
            abstract = self.abstract_of(number)
            for bullet in [] if abstract is None else list(abstract.iter(qn("w:lvlPicBulletId"))):
                parent = bullet.getparent()
                if parent is not None:
                    parent.remove(bullet)
                    dropped = True
        return dropped

    def copy_into(self, numbers: Iterable[str], target: Numbering,
                  styles: Callable[[str], str | None]) -> dict[str, str]:
        """Copy these lists and their definitions into the document under fresh ids; returns
        the new id of each. `styles` maps the fragment's style ids."""
        abstracts: dict[int, str] = {}
        mapping: dict[str, str] = {}
        for number in sorted(numbers, key=lambda each: (len(each), each)):
            abstract = self.abstract_of(number)
            if abstract is None:
                continue
            abstract_id = abstracts.get(id(abstract))
            if abstract_id is None:
                abstract_id = abstracts[id(abstract)] = target.add_abstract(self._definition(abstract, styles))
            num = copy.deepcopy(self.nums[number])
            _restyle(num, styles)
            mapping[number] = target.add_num(num, abstract_id)
        return mapping

    @staticmethod
    def _definition(abstract: Element, styles: Callable[[str], str | None]) -> Element:
        definition = copy.deepcopy(abstract)
        # The copy stands on its own: not tied to a numbering style, and a list of its own
        # for word processors that tell lists apart by their nsid.
        for name in ("w:styleLink", "w:numStyleLink"):
            for link in definition.findall(qn(name)):
                definition.remove(link)
        nsid = definition.find(qn("w:nsid"))
        if nsid is not None:
            nsid.set(_VAL, f"{secrets.randbits(32):08X}")
        _restyle(definition, styles)
        return definition


def _restyle(element: Element, styles: Callable[[str], str | None]) -> None:
    for reference in list(element.iter(qn("w:pStyle"))):
        follow(reference, reference, styles)
