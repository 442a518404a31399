"""A fragment's package read once: its body made ready to copy, cleared of what cannot
travel to another document, and what the body refers to (styles, lists, relationships,
notes, media).

Everything here is independent of the document the fragment goes into; what depends on
it is done for each insertion by `_fragment_import`.
"""

from __future__ import annotations

import warnings
from collections.abc import Collection, Iterable, Iterator
from dataclasses import dataclass

from lxml import etree

from ._errors import NotADocxError
from ._fragment_lists import FragmentLists
from ._fragment_styles import FragmentStyles
from ._ooxml import NS, Element, make, parse, qn
from ._package import Package
from ._resources import NUMBERING, STYLES, rels_member, resolve_target
from .values.errors import RichValueError
from .values.fragment import FragmentWarning
from .values.picture import IMAGE
from .values.styled import HYPERLINK, check_link

_OFFICE_RELS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
FOOTNOTES = _OFFICE_RELS + "footnotes"
ENDNOTES = _OFFICE_RELS + "endnotes"
_R = f"{{{NS['r']}}}"
_MC = "http://schemas.openxmlformats.org/markup-compatibility/2006"
_W14 = "http://schemas.microsoft.com/office/word/2010/wordml"
_WP14 = "http://schemas.microsoft.com/office/word/2010/wordprocessingDrawing"
_OFFICE_NAMESPACES = "http://schemas.microsoft.com/office/"
# Ids that must be unique in a document and that nothing refers to: left out of copies.
_UNIQUE_MARKS = (f"{{{_W14}}}paraId", f"{{{_W14}}}textId", f"{{{_WP14}}}anchorId", f"{{{_WP14}}}editId")
# Elements with attributes that name a relationship of their part.
_WITH_RELATIONSHIP = etree.XPath(f"descendant-or-self::*[@*[namespace-uri()='{NS['r']}']]")
# Where a dropped object ends: the item of a run, a paragraph or a block container.
_HOLDERS = frozenset(qn(name) for name in (
    "w:r", "w:p", "w:body", "w:tc", "w:sdtContent", "w:txbxContent", "w:footnote", "w:endnote",
    "w:hyperlink", "w:smartTag", "w:customXml", "w:fldSimple", "w:ins", "w:del",
    "w:pPr", "w:rPr", "w:tblPr", "w:trPr", "w:tcPr", "w:sectPr",
))
_W_P, _W_R, _W_TBL, _W_HYPERLINK = qn("w:p"), qn("w:r"), qn("w:tbl"), qn("w:hyperlink")
STYLE_REFERENCES = (qn("w:pStyle"), qn("w:rStyle"), qn("w:tblStyle"))
_NOTE_REFERENCES = {"footnote": qn("w:footnoteReference"), "endnote": qn("w:endnoteReference")}
_NOTE_TYPES = {"footnote": FOOTNOTES, "endnote": ENDNOTES}
# What a relationship type carries, as a reader of a warning knows it.
_KINDS = {
    "image": "a picture",
    "oleObject": "an embedded object", "package": "an embedded document", "chart": "a chart",
    "chartUserShapes": "a chart", "diagramData": "a SmartArt diagram", "diagramLayout": "a SmartArt diagram",
    "diagramQuickStyle": "a SmartArt diagram", "diagramColors": "a SmartArt diagram",
    "control": "an ActiveX control", "aFChunk": "an imported document (altChunk)",
}


@dataclass(frozen=True)
class Relationship:
    kind: str
    target: str
    external: bool


@dataclass
class Media:
    """A picture of the fragment: its member, extension and content type."""

    member: str
    extension: str
    content_type: str


@dataclass
class Story:
    """Content of one part of the fragment and that part's relationships. `content` is
    copied whole: a note, or a stand-in for the body holding what the body holds."""

    part: str
    content: Element
    relationships: dict[str, Relationship]


class FragmentSource:
    """The body of a fragment and everything it refers to, read from its package."""

    def __init__(self, package: Package, label: str, *, warn: bool = True) -> None:
        self.package = package
        self.label = label
        self.main = package.template_parts[0]
        root = self._xml(self.main)
        body = root.find(qn("w:body")) if root is not None else None
        if root is None or body is None:
            raise NotADocxError(f"{self.label}: the main part {self.main!r} has no body")
        self._content_types = self._types()
        self._relationships: dict[str, dict[str, Relationship]] = {}
        self.styles = FragmentStyles(self._xml(self._related(self.main, STYLES)))
        self.lists = FragmentLists(self._xml(self._related(self.main, NUMBERING)), self.styles)
        self.media: dict[str, Media] = {}
        self._dropped: dict[str, None] = {}
        self._outside_office = _outside_office(root)
        # The document's final section properties are its page, not its content.
        content = etree.Element(body.tag, nsmap=root.nsmap)
        content.extend(child for child in list(body) if child.tag != qn("w:sectPr"))
        self.body = Story(self.main, content, self._relationships_of(self.main))
        self._clean(self.body)
        if len(content) and content[-1].tag == _W_TBL:
            # A table cell and the end of a document both close with a paragraph; so does a
            # fragment, as its word processor showed it.
            content.append(make("w:p"))
        self.notes: dict[str, dict[str, Story]] = {kind: self._notes(kind) for kind in _NOTE_TYPES}
        self.used_styles = self.styles.closure(self._style_references())
        self.bookmark_names = list(dict.fromkeys(
            str(mark.get(qn("w:name"))) for story in self.stories()
            for mark in story.content.iter(qn("w:bookmarkStart")) if mark.get(qn("w:name"))))
        #: The elements that name relationships, for copies to look at only those.
        self.relationship_tags = frozenset(str(holder.tag) for story in self.stories()
                                           for holder, _, _ in relationship_attributes(story.content))
        #: The namespaces that alternatives require, by the prefix they are required as.
        self.required = {prefix: choice.nsmap[prefix] for story in self.stories()
                         for choice in story.content.iter(f"{{{_MC}}}Choice")
                         for prefix in (choice.get("Requires") or "").split() if prefix in choice.nsmap}
        self.used_lists = {number.get(qn("w:val"), "") for story in self.stories()
                           for number in story.content.iter(qn("w:numId"))} - {"0"}
        dropped_bullets = self.lists.drop_picture_bullets(self.used_lists)
        if dropped_bullets:
            self._drop("picture bullets (their lists show the text bullet of each level)")
        if warn:
            for what in self._dropped:
                warnings.warn(f"Fragment({self.label}): left out {what}", FragmentWarning, stacklevel=3)

    def stories(self) -> Iterator[Story]:
        yield self.body
        for notes in self.notes.values():
            yield from notes.values()

    # Reading the package

    def _xml(self, member: str | None) -> Element | None:
        if member is None:
            return None
        name = self.package.member_name(member)
        return None if name is None else parse(self.package.text(name), name)

    def _relationships_of(self, part: str) -> dict[str, Relationship]:
        found = self._relationships.get(part)
        if found is None:
            found = self._relationships[part] = {}
            root = self._xml(rels_member(part))
            for each in () if root is None else root.iter(f"{{{NS['rel']}}}Relationship"):
                external = each.get("TargetMode") == "External"
                target = each.get("Target", "")
                found[each.get("Id", "")] = Relationship(
                    each.get("Type", ""), target if external else resolve_target(part, target), external)
        return found

    def _related(self, part: str, kind: str) -> str | None:
        for relationship in self._relationships_of(part).values():
            if relationship.kind == kind and not relationship.external:
                return relationship.target
        return None

    def _types(self) -> tuple[dict[str, str], dict[str, str]]:
        """Content types by extension and by member, lower-cased."""
        root = self._xml("[Content_Types].xml")
        ct = f"{{{NS['ct']}}}"
        if root is None:
            return {}, {}
        return ({each.get("Extension", "").lower(): each.get("ContentType", "") for each in root.iter(ct + "Default")},
                {each.get("PartName", "").lstrip("/").lower(): each.get("ContentType", "")
                 for each in root.iter(ct + "Override")})

    def _media(self, member: str) -> Media | None:
        name = self.package.member_name(member)
        if name is None:
            return None
        extension = name.rsplit(".", 1)[-1].lower() if "." in name.rsplit("/", 1)[-1] else ""
        by_extension, by_member = self._content_types
        content_type = by_member.get(name.lower()) or by_extension.get(extension, "")
        if not extension or not content_type.startswith("image/"):
            return None
        return Media(name, extension, content_type)

    def _notes(self, kind: str) -> dict[str, Story]:
        referenced = [reference.get(qn("w:id"), "") for reference in self.body.content.iter(_NOTE_REFERENCES[kind])]
        if not referenced:
            return {}
        member = self._related(self.main, _NOTE_TYPES[kind])
        root = self._xml(member)
        found: dict[str, Element] = {}
        for note in () if root is None else root.iter(qn(f"w:{kind}")):
            if note.get(qn("w:type")) in (None, "normal"):
                found[note.get(qn("w:id"), "")] = note
        notes: dict[str, Story] = {}
        for number in dict.fromkeys(referenced):
            chosen = found.get(number)
            if member is None or chosen is None:
                continue
            story = notes[number] = Story(member, chosen, self._relationships_of(member))
            self._clean(story)
        for reference in list(self.body.content.iter(_NOTE_REFERENCES[kind])):
            if reference.get(qn("w:id"), "") not in notes:
                self._drop(f"a {kind} reference whose {kind} is missing")
                remove_from_run(reference)
        return notes

    # Cleaning a story

    def _drop(self, what: str) -> None:
        self._dropped.setdefault(what)

    def _clean(self, story: Story) -> None:
        content = story.content
        self._clear_comments(content)
        self._clear_marks(content)
        # Before relationships: a section's header and footer go with it, unmentioned.
        self._clear_sections(content)
        self._clear_relationships(content, story.relationships)
        for binding in list(content.iter(qn("w:dataBinding"))):
            # Bound to custom XML the copy does not carry; the content shown stays.
            _detach(binding)
        self._clear_style_references(content)
        self.lists.make_explicit(content)

    def _clear_comments(self, element: Element) -> None:
        marks = list(element.iter(qn("w:commentRangeStart"), qn("w:commentRangeEnd"), qn("w:commentReference")))
        if marks:
            self._drop("comments")
        for mark in marks:
            remove_from_run(mark)

    def _clear_marks(self, element: Element) -> None:
        for node in element.iter():
            for name in _UNIQUE_MARKS:
                if name in node.attrib:
                    del node.attrib[name]
        if self._outside_office:
            _clear_namespaces(element, self._outside_office)
        # Where the author last edited the fragment means nothing in another document.
        go_back = {mark.get(qn("w:id")) for mark in element.iter(qn("w:bookmarkStart"))
                   if mark.get(qn("w:name")) == "_GoBack"}
        for mark in list(element.iter(qn("w:bookmarkStart"), qn("w:bookmarkEnd"))):
            if mark.get(qn("w:id")) in go_back:
                _detach(mark)

    def _clear_relationships(self, element: Element, relationships: dict[str, Relationship]) -> None:
        dropped: set[Element] = set()
        for holder, _, value in relationship_attributes(element):
            what = self._unusable(relationships.get(value))
            if what is not None and holder not in dropped:
                dropped.add(holder)
                self._drop(what)
                _drop_object(holder)

    def _unusable(self, relationship: Relationship | None) -> str | None:
        """Why a relationship cannot be carried, or None when it can."""
        if relationship is None:
            return "a reference to a relationship the fragment does not have"
        kind = relationship.kind.rsplit("/", 1)[-1]
        if relationship.external:
            # A linked picture or object is fetched when the document opens; a link goes
            # only where a Link may.
            if relationship.kind != HYPERLINK:
                return f"{_KINDS.get(kind, kind)} linked from outside the document ({relationship.target})"
            try:
                check_link(relationship.target)
            except RichValueError:
                return f"a link that is not an absolute http, https or mailto address ({relationship.target!r})"
            return None
        if relationship.kind == IMAGE:
            media = self.media.get(relationship.target) or self._media(relationship.target)
            if media is not None:
                self.media[relationship.target] = media
                return None
            return f"a picture whose data is missing or not a picture ({relationship.target})"
        return f"{_KINDS.get(kind, kind)} ({relationship.target})"

    def _clear_sections(self, element: Element) -> None:
        sections = [each for each in element.iter(qn("w:sectPr")) if _parent_tag(each) == qn("w:pPr")]
        if sections:
            self._drop("section breaks (the fragment's content follows the document's sections)")
        for section in sections:
            _detach(section)

    def _clear_style_references(self, element: Element) -> None:
        for reference in list(element.iter(*STYLE_REFERENCES)):
            if self.styles.find(reference.get(qn("w:val"), "")) is None:
                # The fragment's own word processor shows such text in the default style.
                _detach(reference)

    def _style_references(self) -> Iterable[str]:
        for story in self.stories():
            for reference in story.content.iter(*STYLE_REFERENCES):
                yield reference.get(qn("w:val"), "")
        # Paragraphs and tables without a style of their own take the default ones.
        for kind in ("paragraph", "table", "character"):
            default = self.styles.default(kind)
            if default is not None:
                yield default


def relationship_attributes(element: Element, tags: Collection[str] | None = None) -> list[tuple[Element, str, str]]:
    """Each attribute, in or under `element`, that names a relationship: its element, name
    and value. `tags`, when known, are the only elements that may hold one."""
    holders = _WITH_RELATIONSHIP(element) if tags is None else element.iter(*tags) if tags else ()
    return [(holder, key, value) for holder in holders for key, value in holder.attrib.items() if key.startswith(_R)]


def _outside_office(root: Element) -> set[str]:
    """Namespaces the fragment marks as ignorable that office applications may not know:
    their content is left out, as any reader that does not know them leaves it out."""
    prefixes = (root.get(f"{{{_MC}}}Ignorable") or "").split()
    return {uri for prefix in prefixes if (uri := root.nsmap.get(prefix)) and not uri.startswith(_OFFICE_NAMESPACES)}


def _clear_namespaces(element: Element, namespaces: set[str]) -> None:
    for node in list(element.iter()):
        if not isinstance(node.tag, str):
            continue
        if etree.QName(node).namespace in namespaces:
            _detach(node)
            continue
        for key in [key for key in node.attrib if etree.QName(key).namespace in namespaces]:
            del node.attrib[key]


def _parent_tag(node: Element) -> object:
    parent = node.getparent()
    return None if parent is None else parent.tag


def _detach(node: Element) -> None:
    parent = node.getparent()
    if parent is not None:
        # The text after an element belongs to its parent's content, not to the element.
        if node.tail:
            previous = node.getprevious()
            if previous is not None:
                previous.tail = (previous.tail or "") + node.tail
            else:
                parent.text = (parent.text or "") + node.tail
        parent.remove(node)


def remove_from_run(node: Element) -> None:
    """Remove an element, and the run it leaves with nothing but properties."""
    run = node.getparent()
    _detach(node)
    if run is not None and run.tag == _W_R and all(child.tag == qn("w:rPr") for child in run):
        _detach(run)


def _drop_object(holder: Element) -> None:
    """Remove what a relationship attribute belongs to: the object in its run, or a link
    around text, whose text stays."""
    carrier, parent = holder, holder.getparent()
    while parent is not None and parent.tag not in _HOLDERS:
        carrier, parent = parent, parent.getparent()
    if carrier.tag == _W_HYPERLINK:
        for child in list(carrier):
            carrier.addprevious(child)
        _detach(carrier)
    elif parent is not None and parent.tag == _W_R:
        remove_from_run(carrier)
    else:
        _detach(carrier)
