"""A fragment's styles and how they join a document's: each style the fragment uses (with
the styles it is based on, linked to or followed by) is added when the document lacks it;
a style the document has by the same id or name is the document's, unless the fragment's
look is kept, in which case a style that looks different is added under a new id and name.
"""

from __future__ import annotations

import copy
from collections.abc import Callable, Iterable

from lxml import etree

from ._ooxml import PARAGRAPH_PROPERTY_ORDER, RUN_PROPERTY_ORDER, Element, local, make, qn, set_property

_STYLE = qn("w:style")
_VAL, _STYLE_ID, _TYPE = qn("w:val"), qn("w:styleId"), qn("w:type")
_CHAINS = ("basedOn", "link", "next")
# What a style's look is made of; names, priorities and the like are not.
_STYLE_TAIL = ("pPr", "rPr", "tblPr", "trPr", "tcPr", "tblStylePr")
_FORMATTING = frozenset(_STYLE_TAIL)
# Word shows at most this many characters of a style name.
_LONGEST_NAME = 253


def child_value(element: Element | None, name: str) -> str | None:
    """The w:val of the child `name` of element, if both are there."""
    found = None if element is None else element.find(qn(name))
    return None if found is None else found.get(_VAL)


def _kind(style: Element) -> str:
    return style.get(_TYPE, "paragraph")


def _canonical(element: Element | None) -> bytes:
    """The formatting an element sets, in a form two documents can compare. Lists are left
    out: a list number belongs to its own document's numbering."""
    if element is None:
        return b""
    shown = copy.deepcopy(element)
    for number in list(shown.iter(qn("w:numPr"))):
        parent = number.getparent()
        if parent is not None:
            parent.remove(number)
    return etree.tostring(shown, method="c14n", exclusive=True)


class FragmentStyles:
    """The styles part of a fragment, looked up by id."""

    def __init__(self, root: Element | None) -> None:
        self.by_id: dict[str, Element] = {}
        self._lower: dict[str, str] = {}
        self._defaults: dict[str, str] = {}
        self.doc_defaults = None if root is None else root.find(qn("w:docDefaults"))
        for style in () if root is None else root.iter(_STYLE):
            style_id = style.get(_STYLE_ID)
            if not style_id:
                continue
            self.by_id.setdefault(style_id, style)
            self._lower.setdefault(style_id.lower(), style_id)
            if style.get(qn("w:default")) in ("1", "true", "on"):
                self._defaults.setdefault(_kind(style), style_id)

    def find(self, style_id: str) -> Element | None:
        found = self.by_id.get(style_id)
        if found is None:
            actual = self._lower.get(style_id.lower())
            found = None if actual is None else self.by_id[actual]
        return found

    def default(self, kind: str) -> str | None:
        return self._defaults.get(kind)

    def closure(self, used: Iterable[str]) -> list[str]:
        """The styles used, and those they are based on, linked to or followed by, in the
        order of the fragment's styles part."""
        seen: set[str] = set()
        pending = [style_id for style_id in used if style_id in self.by_id]
        while pending:
            style_id = pending.pop()
            if style_id in seen:
                continue
            seen.add(style_id)
            style = self.by_id[style_id]
            for chain in _CHAINS:
                other = child_value(style, f"w:{chain}")
                if other is not None and other in self.by_id:
                    pending.append(other)
        return [style_id for style_id in self.by_id if style_id in seen]

    def numbering(self, style_id: str | None) -> tuple[str | None, str | None]:
        """The list (numId) and level a paragraph style gives, through its basedOn chain."""
        number = level = None
        seen: set[str] = set()
        while style_id is not None and style_id not in seen:
            seen.add(style_id)
            style = self.by_id.get(style_id)
            if style is None:
                break
            properties = style.find(qn("w:pPr"))
            numbering = None if properties is None else properties.find(qn("w:numPr"))
            if numbering is not None:
                number = number if number is not None else child_value(numbering, "w:numId")
                level = level if level is not None else child_value(numbering, "w:ilvl")
                if number is not None:
                    break
            style_id = child_value(style, "w:basedOn")
        return number, level


class StyleMerge:
    """How the styles a fragment uses map onto one document's styles part, decided once a
    render and written into the part at the fragment's first insertion."""

    def __init__(self, styles: FragmentStyles, used: list[str], target: Element | None, keep: bool) -> None:
        self.styles = styles
        self.keep = keep
        self._target: dict[str, Element] = {}
        self._by_name: dict[tuple[str, str], Element] = {}
        self._ids: set[str] = set()
        self._names: set[str] = set()
        self.target_defaults: dict[str, str] = {}
        for style in () if target is None else target.iter(_STYLE):
            style_id = style.get(_STYLE_ID)
            if not style_id:
                continue
            self._target.setdefault(style_id.lower(), style)
            self._ids.add(style_id.lower())
            name = child_value(style, "w:name")
            if name:
                self._by_name.setdefault((_kind(style), name.lower()), style)
                self._names.add(name.lower())
            if style.get(qn("w:default")) in ("1", "true", "on"):
                self.target_defaults.setdefault(_kind(style), style_id)
        target_defaults = None if target is None else target.find(qn("w:docDefaults"))
        self._defaults_differ = keep and _canonical(styles.doc_defaults) != _canonical(target_defaults)
        self._looks: dict[str, bool] = {}
        #: Fragment style id -> the id it has in the document.
        self.mapping: dict[str, str] = {}
        #: Styles to add: fragment id, and the name they take when renamed (None: their own).
        self.added: list[tuple[str, str | None]] = []
        for style_id in used:
            self._decide(style_id)
        #: In a document whose default styles do not look like the fragment's, the styles
        #: that the fragment's paragraphs and tables without a style of their own take.
        self.implicit: dict[str, str] = {}
        if keep:
            for kind in ("paragraph", "table"):
                default = styles.default(kind)
                if default in self.mapping and self.mapping[default] != self.target_defaults.get(kind):
                    self.implicit[kind] = self.mapping[default]

    def _match(self, style: Element) -> Element | None:
        """The document's style that is this fragment style: same kind, same id or name."""
        kind = _kind(style)
        found = self._target.get((style.get(_STYLE_ID) or "").lower())
        if found is not None and _kind(found) == kind:
            return found
        name = child_value(style, "w:name")
        return None if not name else self._by_name.get((kind, name.lower()))

    def _same_look(self, style_id: str) -> bool:
        known = self._looks.get(style_id)
        if known is not None:
            return known
        # A basedOn loop is as good as no parent; the first visit answers for it.
        self._looks[style_id] = True
        style = self.styles.by_id[style_id]
        match = self._match(style)
        same = not self._defaults_differ and match is not None and _formatting(style) == _formatting(match)
        if same and match is not None:
            parent, their_parent = child_value(style, "w:basedOn"), child_value(match, "w:basedOn")
            if parent is None or parent not in self.styles.by_id:
                same = their_parent is None
            else:
                matched = self._match(self.styles.by_id[parent])
                same = (matched is not None and their_parent is not None
                        and matched.get(_STYLE_ID, "").lower() == their_parent.lower() and self._same_look(parent))
        self._looks[style_id] = same
        return same

    def _decide(self, style_id: str) -> None:
        style = self.styles.by_id[style_id]
        match = self._match(style)
        if match is not None and (not self.keep or self._same_look(style_id)):
            self.mapping[style_id] = match.get(_STYLE_ID, style_id)
            return
        name = child_value(style, "w:name") or style_id
        new_id, new_name = style_id, name
        number = 1
        while new_id.lower() in self._ids or new_name.lower() in self._names:
            number += 1
            new_id, new_name = f"{style_id}-{number}", f"{name[:_LONGEST_NAME - 8]} ({number})"
        self._ids.add(new_id.lower())
        self._names.add(new_name.lower())
        self.mapping[style_id] = new_id
        self.added.append((style_id, None if new_name == name else new_name))

    def lists_of_added(self) -> set[str]:
        """The lists (numIds) that the styles to add refer to."""
        numbers = set()
        for style_id, _ in self.added:
            properties = self.styles.by_id[style_id].find(qn("w:pPr"))
            numbering = None if properties is None else properties.find(qn("w:numPr"))
            number = None if numbering is None else child_value(numbering, "w:numId")
            if number not in (None, "0"):
                numbers.add(str(number))
        return numbers

    def write(self, target: Element, lists: Callable[[str], str | None]) -> None:
        """Add the styles to the document's styles part; `lists` maps the fragment's list ids."""
        last = None
        for style in target.iter(_STYLE):
            last = style
        for style_id, new_name in self.added:
            style = copy.deepcopy(self.styles.by_id[style_id])
            style.set(_STYLE_ID, self.mapping[style_id])
            # The document keeps its own default styles.
            style.attrib.pop(qn("w:default"), None)
            if new_name is not None:
                self._rename(style, new_name)
            for chain in _CHAINS:
                reference = style.find(qn(f"w:{chain}"))
                if reference is not None:
                    follow(reference, reference, self.mapping.get)
            self._relist(style, lists)
            if self._defaults_differ and style.find(qn("w:basedOn")) is None and _kind(style) in ("paragraph", "table"):
                self._fold_defaults(style)
            if last is not None:
                last.addnext(style)
            else:
                target.append(style)
            last = style

    @staticmethod
    def _rename(style: Element, new_name: str) -> None:
        name = style.find(qn("w:name"))
        if name is None:
            name = make("w:name")
            style.insert(0, name)
        name.set(_VAL, new_name)
        for aliases in style.findall(qn("w:aliases")):
            style.remove(aliases)

    @staticmethod
    def _relist(style: Element, lists: Callable[[str], str | None]) -> None:
        for numbering in list(style.iter(qn("w:numPr"))):
            reference = numbering.find(qn("w:numId"))
            if reference is not None and reference.get(_VAL) != "0":
                follow(numbering, reference, lists)

    def _fold_defaults(self, style: Element) -> None:
        """Give a style at the root of its chain the fragment's document defaults, which the
        document it joins does not share."""
        defaults = self.styles.doc_defaults
        if defaults is None:
            return
        for holder, name, order in (("w:rPrDefault", "w:rPr", RUN_PROPERTY_ORDER),
                                    ("w:pPrDefault", "w:pPr", PARAGRAPH_PROPERTY_ORDER)):
            source = defaults.find(f"{qn(holder)}/{qn(name)}")
            if source is None or not len(source):
                continue
            properties = _style_properties(style, name)
            own = {local(child) for child in properties if isinstance(child.tag, str)}
            for child in source:
                if isinstance(child.tag, str) and local(child) not in own and local(child) in order:
                    set_property(properties, copy.deepcopy(child), order)


def follow(holder: Element, reference: Element, mapping: Callable[[str], str | None]) -> None:
    """Point `reference` (an element with a w:val) where `mapping` says; when it says
    nothing, remove `holder`, the element the reference belongs to."""
    mapped = mapping(reference.get(_VAL, ""))
    if mapped is not None:
        reference.set(_VAL, mapped)
    elif (parent := holder.getparent()) is not None:
        parent.remove(holder)


def _style_properties(style: Element, name: str) -> Element:
    """The style's pPr or rPr, made where the schema puts it when missing."""
    found = style.find(qn(name))
    if found is not None:
        return found
    found = make(name)
    later = _STYLE_TAIL[_STYLE_TAIL.index(local(found)) + 1:]
    following = next((child for child in style if isinstance(child.tag, str) and local(child) in later), None)
    if following is None:
        style.append(found)
    else:
        following.addprevious(found)
    return found


def _formatting(style: Element) -> list[bytes]:
    return [_canonical(child) for child in style if isinstance(child.tag, str) and local(child) in _FORMATTING] + [
        _kind(style).encode()]
