"""One insertion of a fragment into a document part: a copy of its body whose styles,
lists, relationships, drawings, bookmarks and notes are those of the document.

What a render shares between insertions (the styles added, bookmark names taken, notes
parts) lives in the render's `DocumentResources`; what a template shares between renders
(its largest bookmark and note ids) in its `PackageFacts`.
"""

from __future__ import annotations

import copy
import re
import warnings
from collections.abc import Callable

from ._fragment_source import (
    ENDNOTES,
    FOOTNOTES,
    STYLE_REFERENCES,
    FragmentSource,
    Story,
    relationship_attributes,
    remove_from_run,
)
from ._fragment_styles import StyleMerge
from ._fragment_tables import MARK, fit_marked
from ._ooxml import Element, make, parse, qn
from ._resources import STYLES, DocumentResources, PackageFacts, PartResources
from .values.errors import PictureError
from .values.fragment import FragmentWarning
from .values.picture import CONTENT_TYPES

_VAL, _ID, _NAME = qn("w:val"), qn("w:id"), qn("w:name")
_BOOKMARKS = (qn("w:bookmarkStart"), qn("w:bookmarkEnd"))
_FIELDS = (qn("w:instrText"), qn("w:fldSimple"))
_WML = "application/vnd.openxmlformats-officedocument.wordprocessingml."
_NOTES = {"footnote": (FOOTNOTES, _WML + "footnotes+xml"), "endnote": (ENDNOTES, _WML + "endnotes+xml")}
_STYLES_TYPE = _WML + "styles+xml"
_CHOICE = "{http://schemas.openxmlformats.org/markup-compatibility/2006}Choice"
# Word keeps bookmark names to 40 characters.
_LONGEST_BOOKMARK = 40


def insert(source: FragmentSource, placement: PartResources, keep_styles: bool) -> list[Element]:
    """A copy of the fragment's body for this place of the document."""
    document = placement.document
    imported = document.state(("fragment", source, keep_styles), lambda: _Imported(source, document, keep_styles))
    insertion = _Insertion(source, document, imported, imported.lists(document))
    content = copy.deepcopy(source.body.content)
    if placement.part != document.facts.main and any(source.notes.values()):
        # Notes hang off the main document's text only.
        warnings.warn(f"Fragment({source.label}): footnotes and endnotes left out in {placement.part}",
                      FragmentWarning, stacklevel=2)
        for reference in list(content.iter(qn("w:footnoteReference"), qn("w:endnoteReference"))):
            remove_from_run(reference)
    insertion.rewrite(content, source.body, placement)
    if source.required:
        _require_as_placed(content, source.required, placement)
    blocks = list(content)
    tables = [block for block in blocks if block.tag == qn("w:tbl")]
    cells: bool = document.facts.derived(("has tables", placement.part),
                                         lambda facts: _has_tables(facts, placement.part))
    if tables and cells:
        # The fragment may land in a cell of the template's tables: fitted once the part is placed.
        for table in tables:
            table.set(MARK, "1")
        document.state(("fragment tables", placement.part), lambda: document.amend(placement.part, fit_marked))
    return blocks


def _require_as_placed(content: Element, required: dict[str, str], placement: PartResources) -> None:
    """Name in each alternative's `Requires` the prefixes the part declares for the namespaces
    it requires: moved into the part, the alternative's elements take those prefixes."""
    prefixes = {uri: prefix for prefix, uri in placement.namespaces.items() if prefix}
    renamed = {prefix: prefixes[uri] for prefix, uri in required.items() if prefixes.get(uri, prefix) != prefix}
    if not renamed:
        return
    for choice in content.iter(_CHOICE):
        requires = (choice.get("Requires") or "").split()
        choice.set("Requires", " ".join(renamed.get(prefix, prefix) for prefix in requires))


def _has_tables(facts: PackageFacts, part: str) -> bool:
    return "<w:tbl" in (facts.member_text(part) or "")


class _Imported:
    """A fragment's styles as they join one render's document, written at its first insertion."""

    def __init__(self, source: FragmentSource, document: DocumentResources, keep: bool) -> None:
        self.source = source
        facts = document.facts
        member = facts.related(facts.main, STYLES)
        self._styles_member = None if member is None else facts.member(member)
        target = None if self._styles_member is None else document.edited_member(self._styles_member)
        self.merge = StyleMerge(source.styles, source.used_styles, target, keep)
        self._written = False

    def lists(self, document: DocumentResources) -> dict[str, str]:
        """The fragment's lists copied for one insertion; the first also adds the styles."""
        numbers = set(self.source.used_lists)
        if not self._written:
            numbers |= self.merge.lists_of_added()
        mapping = self.source.lists.copy_into(numbers, document.numbering(), self.merge.mapping.get) if numbers else {}
        if not self._written:
            self._written = True
            if self.merge.added:
                self.merge.write(self._styles_root(document), mapping.get)
        return mapping

    def _styles_root(self, document: DocumentResources) -> Element:
        if self._styles_member is not None:
            root = document.edited_member(self._styles_member)
            if root is not None:
                return root
        root = make("w:styles")
        document.add_member(_new_member(document.facts, "word/styles.xml"), root, _STYLES_TYPE, STYLES)
        return root


def _new_member(facts: PackageFacts, name: str) -> str:
    stem, extension = name.rsplit(".", 1)
    number = 1
    while facts.exists(name):
        number += 1
        name = f"{stem}{number}.{extension}"
    return name


class _Insertion:
    """The maps of one insertion: lists and bookmarks are its own, the rest the render's."""

    def __init__(self, source: FragmentSource, document: DocumentResources, imported: _Imported,
                 lists: dict[str, str]) -> None:
        self.source = source
        self.document = document
        self.styles = imported.merge.mapping
        self.implicit = imported.merge.implicit
        self.lists = lists
        bookmarks = document.state("fragment bookmarks", lambda: _Bookmarks(document.facts))
        self.bookmark_ids: dict[str, str] = {}
        self.bookmark_names = {name: bookmarks.name(name) for name in source.bookmark_names}
        self._bookmarks = bookmarks
        renamed = [name for name, new in self.bookmark_names.items() if name != new]
        self._renamed = re.compile("|".join(rf"(?<![\w]){re.escape(name)}(?![\w])" for name in
                                            sorted(renamed, key=len, reverse=True))) if renamed else None

    def rewrite(self, content: Element, story: Story, placement: PartResources) -> None:
        relationship = _relationships(self.document, self.source, story, placement)
        self._restyle(content)
        for reference in content.iter(qn("w:numId")):
            number = reference.get(_VAL, "0")
            if number != "0":
                # A list the fragment does not define (in a tracked change) shows as none.
                reference.set(_VAL, self.lists.get(number, "0"))
        for holder, key, value in relationship_attributes(content, self.source.relationship_tags):
            holder.set(key, relationship(value))
        for drawing in content.iter(qn("wp:docPr")):
            drawing.set("id", str(placement.drawing_id()))
        self._rebookmark(content)
        for kind in ("footnote", "endnote"):
            for reference in content.iter(qn(f"w:{kind}Reference")):
                reference.set(_ID, self._note(kind, reference.get(_ID, "")))

    def _restyle(self, element: Element) -> None:
        if self.implicit:
            for paragraph in element.iter(qn("w:p")) if "paragraph" in self.implicit else ():
                _give_style(paragraph, "w:pPr", "w:pStyle", self.implicit["paragraph"])
            for table in element.iter(qn("w:tbl")) if "table" in self.implicit else ():
                _give_style(table, "w:tblPr", "w:tblStyle", self.implicit["table"])
        for reference in element.iter(*STYLE_REFERENCES):
            style = self.styles.get(reference.get(_VAL, ""))
            if style is not None:
                reference.set(_VAL, style)

    def _rebookmark(self, element: Element) -> None:
        for mark in element.iter(*_BOOKMARKS):
            old = mark.get(_ID, "")
            new = self.bookmark_ids.get(old)
            if new is None:
                new = self.bookmark_ids[old] = self._bookmarks.number()
            mark.set(_ID, new)
            name = mark.get(_NAME)
            if name is not None:
                mark.set(_NAME, self.bookmark_names.get(name, name))
        if self._renamed is None:
            return
        renamed = self._renamed

        def rename(found: re.Match[str]) -> str:
            return self.bookmark_names[found.group()]

        for link in element.iter(qn("w:hyperlink")):
            anchor = link.get(qn("w:anchor"))
            if anchor in self.bookmark_names:
                link.set(qn("w:anchor"), self.bookmark_names[anchor])
        for field in element.iter(*_FIELDS):
            if field.tag == qn("w:fldSimple"):
                field.set(qn("w:instr"), renamed.sub(rename, field.get(qn("w:instr"), "")))
            elif field.text:
                field.text = renamed.sub(rename, field.text)

    def _note(self, kind: str, number: str) -> str:
        notes = self.document.state(("fragment notes", kind), lambda: _Notes(self.document, kind))
        story = self.source.notes[kind][number]
        note = copy.deepcopy(story.content)
        self.rewrite(note, story, self.document.part(notes.member))
        return notes.add(note)


def _give_style(holder: Element, properties_name: str, style_name: str, style: str) -> None:
    properties = holder.find(qn(properties_name))
    if properties is None:
        properties = make(properties_name)
        holder.insert(0, properties)
    if properties.find(qn(style_name)) is None:
        properties.insert(0, make(style_name, {"w:val": style}))


def _relationships(document: DocumentResources, source: FragmentSource, story: Story,
                   placement: PartResources) -> Callable[[str], str]:
    """The map from the fragment part's relationship ids to the document part's, made as used."""
    mapping: dict[str, str] = document.state(("fragment relationships", source, story.part, placement.part), dict)

    def relationship(old: str) -> str:
        new = mapping.get(old)
        if new is None:
            found = story.relationships[old]
            media = None if found.external else source.media.get(found.target)
            if media is None:
                new = placement.relationship(found.kind, found.target, external=found.external)
            else:
                data = source.package.read(media.member)
                limit = placement.max_picture_size
                if limit is not None and len(data) > limit:
                    raise PictureError(f"Fragment({source.label}): the picture {media.member} takes"
                                       f" {len(data):,} bytes, more than the {limit:,} a picture may take"
                                       " (max_picture_size)")
                if media.extension not in CONTENT_TYPES:
                    document.declare_extension(media.extension, media.content_type)
                new = placement.media(data, media.extension)
            mapping[old] = new
        return new

    return relationship


class _Bookmarks:
    """Bookmark ids and names given out in one render, above and beside the template's."""

    def __init__(self, facts: PackageFacts) -> None:
        largest, names = facts.derived("bookmarks", _template_bookmarks)
        self._next = largest + 1
        self._names = set(names)

    def number(self) -> str:
        self._next += 1
        return str(self._next - 1)

    def name(self, name: str) -> str:
        """The name itself the first time it is given, then the name with a number."""
        candidate, number = name, 1
        while candidate.lower() in self._names:
            number += 1
            suffix = f"_{number}"
            candidate = name[:_LONGEST_BOOKMARK - len(suffix)] + suffix
        self._names.add(candidate.lower())
        return candidate


def _template_bookmarks(facts: PackageFacts) -> tuple[int, frozenset[str]]:
    largest, names = -1, set()
    for part in facts.parts:
        data = facts.member_text(part)
        if data is None or "bookmark" not in data:
            continue
        for mark in parse(data, part).iter(*_BOOKMARKS):
            number = mark.get(_ID, "")
            if number.isdecimal():
                largest = max(largest, int(number))
            if mark.get(_NAME):
                names.add(str(mark.get(_NAME)).lower())
    return largest, frozenset(names)


class _Notes:
    """The document's footnotes or endnotes part, and the notes fragments add to it."""

    def __init__(self, document: DocumentResources, kind: str) -> None:
        facts = document.facts
        relationship, content_type = _NOTES[kind]
        member = facts.related(facts.main, relationship)
        self.pending: list[Element] = []
        if member is not None and facts.exists(member):
            self.member = facts.member(member)
            largest = facts.derived(("largest note", self.member), lambda facts: _largest_note(facts, self.member))
            self._next = 1 + largest
            document.amend(self.member, self._append)
            self._root: Element | None = None
        else:
            self.member = _new_member(facts, f"word/{kind}s.xml")
            self._root = make(f"w:{kind}s")
            # Word wants the separators above the notes in a notes part of its own.
            for number, separator in enumerate(("separator", "continuationSeparator"), -1):
                self._root.append(make(f"w:{kind}", {"w:type": separator, "w:id": str(number)}, make(
                    "w:p", None, make("w:pPr", None, make("w:spacing", {"w:after": "0", "w:line": "240",
                                                                        "w:lineRule": "auto"})),
                    make("w:r", None, make(f"w:{separator}")))))
            self._next = 1
            document.add_member(self.member, self._root, content_type, relationship)

    def add(self, note: Element) -> str:
        number = str(self._next)
        self._next += 1
        note.set(_ID, number)
        if self._root is not None:
            self._root.append(note)
        else:
            self.pending.append(note)
        return number

    def _append(self, root: Element) -> None:
        root.extend(self.pending)


def _largest_note(facts: PackageFacts, member: str) -> int:
    data = facts.member_text(member)
    numbers = [] if data is None else [int(note.get(_ID, "0")) for note in parse(data, member)
                                      if note.get(_ID, "").removeprefix("-").isdecimal()]
    return max(numbers, default=0)
