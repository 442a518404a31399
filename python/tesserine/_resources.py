"""What placed values add to the package: relationships, media, content types, drawing ids, lists.

`PackageFacts` reads, once per template, what the package already holds;
`DocumentResources` collects, once per render, what the values add, and hands it back
as member replacements and additions for `Package.build`.
"""

from __future__ import annotations

import hashlib
import posixpath
from collections.abc import Callable, Collection, Hashable, Iterator, Mapping
from functools import cached_property
from typing import Any, TypeVar

from lxml import etree

from ._errors import TesserineError
from ._ooxml import NS, Element, elements, make, parse, qn, serialize, whole_number
from .values.picture import CONTENT_TYPES, IMAGE

CONTENT_TYPES_MEMBER = "[Content_Types].xml"
_RELS = NS["rel"]
_CT = NS["ct"]
_OFFICE_RELS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
STYLES = _OFFICE_RELS + "styles"
NUMBERING = _OFFICE_RELS + "numbering"
NUMBERING_TYPE = "application/vnd.openxmlformats-officedocument.wordprocessingml.numbering+xml"
MEDIA_DIRECTORY = "word/media"
# The media that values add are named for their content.
_ADDED_MEDIA = MEDIA_DIRECTORY + "/tesserine-"
_STYLE_KINDS = ("paragraph", "character", "table", "numbering")
_T = TypeVar("_T")


# Picture formats whose data is compressed already: deflating them again gains nothing.
_COMPRESSED = (".png", ".jpeg", ".jpg", ".gif")


def compressed_media(members: Collection[str]) -> set[str]:
    """The members among these whose content is compressed already."""
    return {name for name in members if name.lower().endswith(_COMPRESSED)}


def relative_target(part: str, member: str) -> str:
    """The target by which `part` refers to `member`, relative to the part's folder."""
    here, there = part.split("/")[:-1], member.split("/")
    common = 0
    while common < min(len(here), len(there) - 1) and here[common] == there[common]:
        common += 1
    return "/".join([".."] * (len(here) - common) + there[common:])


def rels_member(part: str) -> str:
    directory, name = posixpath.split(part)
    return posixpath.join(directory, "_rels", name + ".rels")


def resolve_target(part: str, target: str) -> str:
    """The member a relationship of `part` points at."""
    if target.startswith("/"):
        return target.lstrip("/")
    return posixpath.normpath(posixpath.join(posixpath.dirname(part), target))


def internal_targets(part: str, rels: Element) -> Iterator[tuple[Element, str]]:
    """The relationships of `part` (its parsed rels member) to members of the package,
    each with the member it points at."""
    for relationship in rels.iter(f"{{{_RELS}}}Relationship"):
        if relationship.get("TargetMode") != "External":
            yield relationship, resolve_target(part, relationship.get("Target", ""))


class PackageFacts:
    """What the template package already holds, read lazily and kept for every render."""

    def __init__(self, members: Collection[str], text: Callable[[str], str], parts: tuple[str, ...],
                 read: Callable[[str], bytes] | None = None, sizes: Mapping[str, int] | None = None) -> None:
        self.members = frozenset(members)
        #: A member's XML as text, read through the archive layer, which refuses a DOCTYPE.
        self.text = text
        self.parts = parts
        # Part names ignore case; the archive's own spelling is the one to replace.
        self._names = {name.lower(): name for name in self.members}
        self._derived: dict[Hashable, Any] = {}
        #: A member's bytes, read through the archive layer within its limits.
        self._read = read
        # The template's media by size, and the digests of those read so far.
        self._media_sizes: dict[int, list[str]] = {}
        for name, size in (sizes or {}).items():
            if name.startswith(MEDIA_DIRECTORY + "/"):
                self._media_sizes.setdefault(size, []).append(name)
        self._digests: dict[str, str | None] = {}

    @property
    def main(self) -> str:
        return self.parts[0]

    def member(self, name: str) -> str:
        """The archive's spelling of a member name, or the name itself for a new member."""
        return self._names.get(name.lower(), name)

    def exists(self, name: str) -> bool:
        return name.lower() in self._names

    def same_media(self, data: bytes, extension: str, skip: Collection[str]) -> str | None:
        """A media member of the template with the same extension (so the same content type)
        holding exactly `data`, other than those in `skip`; only members of the same size
        are read."""
        digest = None
        for name in self._media_sizes.get(len(data), ()):
            if name in skip or _extension(name) != extension:
                continue
            digest = digest or hashlib.sha256(data).hexdigest()
            if self._digest(name) == digest:
                return name
        return None

    def _digest(self, name: str) -> str | None:
        if name not in self._digests:
            assert self._read is not None, "only a reader gives media sizes"
            try:
                found: str | None = hashlib.sha256(self._read(name)).hexdigest()
            except TesserineError:
                # A member that the limits or its damage keep from being read is shared with nothing.
                found = None
            self._digests[name] = found
        return self._digests[name]

    def member_text(self, name: str) -> str | None:
        actual = self._names.get(name.lower())
        return None if actual is None else self.text(actual)

    def related(self, part: str, kind: str) -> str | None:
        data = self.member_text(rels_member(part))
        if data is None:
            return None
        for relationship, target in internal_targets(part, parse(data, rels_member(part))):
            if relationship.get("Type") == kind:
                return target
        return None

    def derived(self, key: Hashable, compute: Callable[[PackageFacts], _T]) -> _T:
        """What `compute` finds in the package, worked out once per template; kept by `key`."""
        if key not in self._derived:
            # Two threads may both compute it: the result is the same, and either one is kept.
            self._derived.setdefault(key, compute(self))
        found: _T = self._derived[key]
        return found

    @cached_property
    def _style_table(self) -> tuple[dict[str, dict[str, str]], dict[str, list[str]]]:
        ids: dict[str, dict[str, str]] = {kind: {} for kind in _STYLE_KINDS}
        names: dict[str, list[str]] = {kind: [] for kind in _STYLE_KINDS}
        member = self.related(self.main, STYLES)
        data = None if member is None else self.member_text(member)
        if member is None or data is None:
            return ids, names
        # Read as it streams: the table is small, and the part may not be.
        for style in elements(data, member, qn("w:style")):
            kind, style_id = style.get(qn("w:type"), "paragraph"), style.get(qn("w:styleId"))
            name_element = style.find(qn("w:name"))
            name = "" if name_element is None else name_element.get(qn("w:val"), "")
            if kind not in ids or not style_id:
                continue
            ids[kind].setdefault(style_id.lower(), style_id)
            if name:
                ids[kind][name.lower()] = style_id
                names[kind].append(name)
        return ids, names

    @property
    def styles(self) -> dict[str, dict[str, str]]:
        """Style ids by kind and by lower-cased name (or id, for callers that give one)."""
        return self._style_table[0]

    @property
    def style_names(self) -> dict[str, list[str]]:
        return self._style_table[1]

    @cached_property
    def largest_drawing_id(self) -> int:
        """The largest `wp:docPr` id in the template's parts."""
        largest = 0
        for part in self.parts:
            data = self.member_text(part)
            if data is None or "docPr" not in data:
                continue
            for drawing in parse(data, part).iter(qn("wp:docPr")):
                value = drawing.get("id", "")
                if value.isdecimal():
                    largest = max(largest, int(value))
        return largest


class _Relationships:
    """One part's relationships: the existing ones and those this render adds."""

    def __init__(self, member: str, data: str | None) -> None:
        self.member = member
        self.existed = data is not None
        self.root = parse(data, self.member) if data is not None else etree.Element(
            f"{{{_RELS}}}Relationships", nsmap={None: _RELS})
        self.ids = {each.get("Id", "") for each in self.root}
        self.added: dict[tuple[str, str, bool], str] = {}

    def add(self, kind: str, target: str, external: bool) -> str:
        key = (kind, target, external)
        found = self.added.get(key)
        if found is not None:
            return found
        number = len(self.ids) + 1
        while f"rId{number}" in self.ids:
            number += 1
        identifier = f"rId{number}"
        self.ids.add(identifier)
        attributes = {"Id": identifier, "Type": kind, "Target": target}
        if external:
            attributes["TargetMode"] = "External"
        etree.SubElement(self.root, f"{{{_RELS}}}Relationship", attributes)
        self.added[key] = identifier
        return identifier


class _Numbering:
    """The numbering part with the list definitions added for this render."""

    def __init__(self, member: str, data: str | None) -> None:
        self.member = member
        self.existed = data is not None
        self.root = parse(data, member) if data is not None else make("w:numbering")
        # An id that is not a number cannot clash with the numbers given out.
        self.next_abstract = 1 + max((whole_number(each, "w:abstractNumId") or 0 for each in
                                      self.root.iter(qn("w:abstractNum"))), default=-1)
        self.next_num = 1 + max((whole_number(each, "w:numId") or 0 for each in self.root.iter(qn("w:num"))), default=0)
        # Where the next definition and list go, kept rather than looked for on each
        # addition: a Markdown value may hold thousands of lists.
        definitions = self.root.findall(qn("w:abstractNum"))
        self._last_abstract = definitions[-1] if definitions else None
        self._cleanup = self.root.find(qn("w:numIdMacAtCleanup"))

    def new_list(self, ordered: bool, start: int) -> str:
        abstract = make("w:abstractNum", None, make("w:multiLevelType", {"w:val": "hybridMultilevel"}))
        for level in range(9):
            abstract.append(_list_level(level, ordered, start))
        return self.add_num(make("w:num"), self.add_abstract(abstract))

    def add_abstract(self, abstract: Element) -> str:
        """Add a list definition under a fresh id, which it is given and which is returned."""
        abstract_id = str(self.next_abstract)
        self.next_abstract += 1
        abstract.set(qn("w:abstractNumId"), abstract_id)
        # The schema wants every abstractNum before the first num.
        if self._last_abstract is not None:
            self._last_abstract.addnext(abstract)
        else:
            first_num = self.root.find(qn("w:num"))
            if first_num is not None:
                first_num.addprevious(abstract)
            else:
                self.root.append(abstract)
        self._last_abstract = abstract
        return abstract_id

    def add_num(self, num: Element, abstract_id: str) -> str:
        """Add a list that follows definition `abstract_id`, under a fresh id, returned."""
        num_id = str(self.next_num)
        self.next_num += 1
        num.set(qn("w:numId"), num_id)
        link = num.find(qn("w:abstractNumId"))
        if link is None:
            link = make("w:abstractNumId")
            num.insert(0, link)
        link.set(qn("w:val"), abstract_id)
        if self._cleanup is not None:
            self._cleanup.addprevious(num)
        else:
            self.root.append(num)
        return num_id


_BULLETS = ("\u2022", "\u25e6", "\u25aa")


def _list_level(level: int, ordered: bool, start: int) -> Element:
    if ordered:
        # Markdown numbers nested lists 1, 2, 3 as well, each list on its own.
        kind, text = "decimal", f"%{level + 1}."
    else:
        kind, text = "bullet", _BULLETS[level % 3]
    indent = str(720 * (level + 1))
    return make(
        "w:lvl", {"w:ilvl": str(level)},
        make("w:start", {"w:val": str(start)}),
        make("w:numFmt", {"w:val": kind}),
        make("w:lvlText", {"w:val": text}),
        make("w:lvlJc", {"w:val": "left"}),
        make("w:pPr", None, make("w:ind", {"w:left": indent, "w:hanging": "360"})),
    )


class DocumentResources:
    """What the values of one render add to the package."""

    def __init__(self, facts: PackageFacts, max_picture_size: int | None = None) -> None:
        self.facts = facts
        self.max_picture_size = max_picture_size
        self._relationships: dict[str, _Relationships] = {}
        self._media: dict[str, bytes] = {}
        # By the identity of the bytes, kept alive here, so a picture is hashed once a render.
        self._media_names: dict[int, tuple[bytes, str]] = {}
        self._extensions: set[str] = set()
        self._numbering: _Numbering | None = None
        self._next_drawing: int | None = None
        #: Drawing ids of the rendered parts so far, as their markup writes them.
        self.drawing_ids: set[str] = set()
        # Content types of extensions that pictures from data do not have (media of fragments).
        self._types: dict[str, str] = {}
        # Package XML that values edit, by member: its root, and whether the member existed.
        self._edited: dict[str, tuple[Element, bool]] = {}
        self._overrides: dict[str, str] = {}
        self._amendments: dict[str, list[Callable[[Element], None]]] = {}
        self._state: dict[Hashable, Any] = {}

    def part(self, name: str) -> PartResources:
        return PartResources(self, name)

    def relationships(self, part: str) -> _Relationships:
        found = self._relationships.get(part)
        if found is None:
            member = self.facts.member(rels_member(part))
            found = self._relationships[part] = _Relationships(member, self.facts.member_text(member))
        return found

    def store_media(self, data: bytes, extension: str, digest: str | None = None) -> str:
        """The member holding these bytes (whose SHA-256 in hex is `digest`, if the caller
        keeps it): one per distinct content, shared by every part."""
        known = self._media_names.get(id(data))
        if known is not None and known[0] is data:
            return known[1]
        stem = f"{_ADDED_MEDIA}{(digest or hashlib.sha256(data).hexdigest())[:20]}"
        name, copy = f"{stem}.{extension}", 1
        # A member of the template may get new bytes from replace_picture: the value has a
        # member of its own, which gives way to the template's when saving if nothing replaced it.
        while self.facts.exists(name):
            copy += 1
            name = f"{stem}-{copy}.{extension}"
        self._media_names[id(data)] = (data, name)
        self._media.setdefault(name, data)
        self._extensions.add(extension)
        return name

    def drawing_id(self) -> int:
        if self._next_drawing is None:
            self._next_drawing = self.facts.largest_drawing_id + 1
        number = self._next_drawing
        self._next_drawing += 1
        return number

    def declare_extension(self, extension: str, content_type: str) -> None:
        """The content type of media stored under an extension that pictures from data do not use."""
        self._types.setdefault(extension, content_type)

    def edited_member(self, member: str) -> Element | None:
        """An existing member's XML, parsed once a render; what is changed in it is saved.

        Not for the parts the render writes: those change through `amend`.
        """
        found = self._edited.get(member)
        if found is None:
            data = self.facts.member_text(member)
            if data is None:
                return None
            found = self._edited[member] = (parse(data, member), True)
        return found[0]

    def add_member(self, member: str, root: Element, content_type: str, kind: str) -> None:
        """A new XML member, related to the main part, its content type declared; `root` is
        saved as it stands at the end of the render."""
        self._edited[member] = (root, False)
        self._overrides["/" + member] = content_type
        target = posixpath.relpath(member, posixpath.dirname(self.facts.main))
        self.relationships(self.facts.main).add(kind, target, False)

    def amend(self, member: str, edit: Callable[[Element], None]) -> None:
        """Edit a member once every part is rendered: a rendered part as rendered, another as stored."""
        self._amendments.setdefault(member, []).append(edit)

    def state(self, key: Hashable, make_state: Callable[[], _T]) -> _T:
        """What a kind of value keeps for the whole render (made on first use), by `key`."""
        if key not in self._state:
            self._state[key] = make_state()
        found: _T = self._state[key]
        return found

    def finish(self, rendered: dict[str, str]) -> None:
        """Apply the amendments, to the rendered parts in `rendered` and to other members."""
        for member, edits in self._amendments.items():
            xml = rendered.get(member)
            root = parse(xml, member) if xml is not None else self.edited_member(member)
            if root is None:
                continue
            for edit in edits:
                edit(root)
            if xml is not None:
                declaration = xml[:xml.index("?>") + 2] if xml.startswith("<?xml") else ""
                rendered[member] = declaration + etree.tostring(root, encoding="unicode")
        self._amendments.clear()

    def numbering(self) -> _Numbering:
        if self._numbering is None:
            member = self.facts.related(self.facts.main, NUMBERING)
            if member is None:
                member = posixpath.join(posixpath.dirname(self.facts.main), "numbering.xml")
                self.relationships(self.facts.main).add(NUMBERING, posixpath.basename(member), False)
            member = self.facts.member(member)
            self._numbering = _Numbering(member, self.facts.member_text(member))
        return self._numbering

    def _content_types(self) -> bytes | None:
        data = self.facts.member_text(CONTENT_TYPES_MEMBER)
        if data is None:
            return None
        root = parse(data, CONTENT_TYPES_MEMBER)
        declared = {each.get("Extension", "").lower() for each in root.iter(f"{{{_CT}}}Default")}
        changed = False
        for extension in sorted(self._extensions - declared):
            kind = CONTENT_TYPES.get(extension) or self._types[extension]
            element = etree.Element(f"{{{_CT}}}Default", {"Extension": extension, "ContentType": kind})
            # Defaults come first in the file, as Word writes it.
            overrides = root.find(f"{{{_CT}}}Override")
            if overrides is not None:
                overrides.addprevious(element)
            else:
                root.append(element)
            changed = True
        new_parts = dict(self._overrides)
        if self._numbering is not None and not self._numbering.existed:
            new_parts["/" + self._numbering.member] = NUMBERING_TYPE
        for name, kind in new_parts.items():
            etree.SubElement(root, f"{{{_CT}}}Override", {"PartName": name, "ContentType": kind})
            changed = True
        return serialize(root) if changed else None

    def changes(self) -> tuple[dict[str, bytes], dict[str, bytes]]:
        """Members to replace and members to add, for `Package.build(replacements, additions)`."""
        replacements: dict[str, bytes] = {}
        additions: dict[str, bytes] = dict(self._media)
        for relationships in self._relationships.values():
            if relationships.added:
                target = replacements if relationships.existed else additions
                target[relationships.member] = serialize(relationships.root)
        if self._numbering is not None:
            target = replacements if self._numbering.existed else additions
            target[self._numbering.member] = serialize(self._numbering.root)
        for member, (root, existed) in self._edited.items():
            (replacements if existed else additions)[member] = serialize(root)
        content_types = self._content_types()
        if content_types is not None:
            replacements[self.facts.member(CONTENT_TYPES_MEMBER)] = content_types
        return replacements, additions


def reuse_template_media(facts: PackageFacts, replacements: Mapping[str, bytes], additions: Mapping[str, bytes]
                         ) -> tuple[dict[str, bytes], dict[str, bytes]]:
    """The members to replace and to add once the media a render added that the template
    holds already, byte for byte, give way to the template's own member: the relationships
    that pointed at the added copy point at it. A member being replaced is not shared.

    Done when saving, so that a picture of the template replaced after the render is not
    shared with the values that held its old bytes."""
    moved: dict[str, str] = {}
    for name, data in additions.items():
        if name.startswith(_ADDED_MEDIA):
            same = facts.same_media(data, _extension(name), replacements)
            if same is not None:
                moved[name] = same
    if not moved:
        return dict(replacements), dict(additions)
    kept = {name: data for name, data in additions.items() if name not in moved}
    marks = [posixpath.basename(name).encode() for name in moved]
    changed = dict(replacements)
    for members in (changed, kept):
        for member, data in members.items():
            if member.endswith(".rels") and any(mark in data for mark in marks):
                members[member] = _retarget(member, data, moved)
    return changed, kept


def _extension(name: str) -> str:
    extension = posixpath.splitext(name)[1].lower()
    return ".jpeg" if extension == ".jpg" else extension


def _retarget(member: str, data: bytes, moved: Mapping[str, str]) -> bytes:
    directory, name = posixpath.split(member)
    part = posixpath.join(posixpath.dirname(directory), name.removesuffix(".rels"))
    root = parse(data, member)
    for relationship, current in internal_targets(part, root):
        target = moved.get(current)
        if target is not None:
            relationship.set("Target", relative_target(part, target))
    return serialize(root)


class PartResources:
    """The `Placement` of one part: relationships from this part, resources of the document."""

    def __init__(self, document: DocumentResources, part: str) -> None:
        self.document = document
        self.part = part
        self.max_picture_size = document.max_picture_size
        self.namespaces: Mapping[str | None, str] = {}
        # Where the media folder is from the part's folder, as relationships write it.
        self._media_folder = relative_target(part, MEDIA_DIRECTORY + "/")

    def relationship(self, kind: str, target: str, *, external: bool = False) -> str:
        return self.document.relationships(self.part).add(kind, target, external)

    def media(self, data: bytes, extension: str, digest: str | None = None) -> str:
        member = self.document.store_media(data, extension, digest)
        return self.relationship(IMAGE, self._media_folder + member[len(MEDIA_DIRECTORY) + 1:])

    def drawing_id(self) -> int:
        return self.document.drawing_id()

    def style_id(self, name: str, kind: str) -> str | None:
        return self.document.facts.styles[kind].get(name.lower())

    def style_names(self, kind: str) -> list[str]:
        return self.document.facts.style_names[kind]

    def new_list(self, ordered: bool, start: int = 1) -> str:
        return self.document.numbering().new_list(ordered, start)
