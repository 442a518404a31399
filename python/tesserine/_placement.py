"""The pass after rendering that puts rich values where their markers stand, and keeps
drawing ids unique.

It parses only a part that holds markers, or drawings whose ids repeat: it splits the
run that holds each marker, gives each piece the run's formatting, and inserts the
value's own runs, drawings, hyperlinks or paragraphs between them. A drawing of the
template repeated by a loop gets a new id for each copy after the first.
"""

from __future__ import annotations

import copy

from lxml import etree

from ._ooxml import (
    PARAGRAPH_PROPERTY_ORDER,
    Element,
    PackageXmlError,
    local,
    make,
    parse,
    properties_of,
    qn,
    set_property,
    text_element,
)
from ._render import render_error
from ._resources import PartResources
from .values.base import Blocks, Placement, Position, Registry, RichValue, Snippet
from .values.errors import RichValueError

_W_T, _W_R, _W_P, _W_HYPERLINK, _W_RPR = qn("w:t"), qn("w:r"), qn("w:p"), qn("w:hyperlink"), qn("w:rPr")
_WP_DOCPR = qn("wp:docPr")
# Attributes that must stay unique in a document, so a split paragraph does not copy them.
_UNIQUE_ATTRIBUTES = frozenset({"paraId", "textId"})
# Paragraph properties that stay with one paragraph: the section it ends, tracked changes.
_NOT_INHERITED = frozenset({"sectPr", "pPrChange"})
_CURSOR = "tesserine-cursor"


def place_values(xml: str, registry: Registry, placement: PartResources, source: str) -> str:
    """The part with every marker of `registry` replaced by its value's markup, and each
    drawing id that an earlier drawing of the document has replaced by a new one.

    A value that cannot be placed is a render error at the tag of `source` (the part's
    template source) that printed it."""
    opener = "<?" + registry.target
    has_markers = bool(registry.entries) and opener in xml
    used = placement.document.drawing_ids
    ids = _drawing_ids(xml) if "docPr" in xml else []
    repeated = ids is None or len(set(ids)) < len(ids) or not used.isdisjoint(ids)
    if not repeated:
        used.update(ids or ())
    if not has_markers and not repeated:
        return xml
    declaration = xml[:xml.index("?>") + 2] if xml.startswith("<?xml") else ""
    try:
        root = parse(xml, placement.part)
    except PackageXmlError:
        _refuse_markers_in_markup(xml, opener, registry, placement.part, source)
        raise
    if repeated:
        _renumber_drawings(root, placement)
    if not has_markers:
        return declaration + etree.tostring(root, encoding="unicode")
    placement.namespaces = root.nsmap
    markers = [node for node in root.iter(etree.ProcessingInstruction)
               if isinstance(node, etree._ProcessingInstruction) and node.target == registry.target]
    emptied: list[Element] = []
    snippets = _Snippets(registry.target + "-snippet")
    for marker in markers:
        index = int(marker.text or "")
        value, position = registry.entries[index]
        try:
            _place(marker, value, position, placement, emptied, snippets)
        except RichValueError as error:
            raise render_error(error, placement.part, source, registry.line(index)) from error
    for paragraph in emptied:
        holder = paragraph.getparent()
        if holder is not None and _is_empty(paragraph):
            holder.remove(paragraph)
    return declaration + snippets.written(etree.tostring(root, encoding="unicode"))


class _Snippets:
    """Snippets stand in the tree as processing instructions, and their markup takes their
    place in the text that lxml writes."""

    def __init__(self, target: str) -> None:
        self.target = target
        self.markup: list[str] = []

    def holder(self, snippet: Snippet) -> Element:
        self.markup.append(snippet.markup)
        return etree.ProcessingInstruction(self.target, str(len(self.markup) - 1))

    def written(self, xml: str) -> str:
        if not self.markup:
            return xml
        pieces = xml.split(f"<?{self.target} ")
        out = [pieces[0]]
        for piece in pieces[1:]:
            number, rest = piece.split("?>", 1)
            out += (self.markup[int(number)], rest)
        return "".join(out)


def _drawing_ids(xml: str) -> list[str] | None:
    """The ids of the part's drawings as their start tags write them, found without parsing;
    None when one is written otherwise, and only parsing can tell."""
    ids = []
    at = xml.find("docPr ")
    while at >= 0:
        end = xml.find(">", at)
        start = xml.find(' id="', at, end)
        if end < 0 or start < 0:
            return None
        start += len(' id="')
        ids.append(xml[start:xml.find('"', start, end)])
        at = xml.find("docPr ", end)
    return ids


def _renumber_drawings(root: Element, placement: PartResources) -> None:
    used = placement.document.drawing_ids
    for drawing in root.iter(_WP_DOCPR):
        number = drawing.get("id", "")
        if number in used:
            number = str(placement.drawing_id())
            drawing.set("id", number)
        used.add(number)


def _refuse_markers_in_markup(xml: str, opener: str, registry: Registry, part: str, source: str) -> None:
    """A marker inside a start tag means a rich value stands where only text can go."""
    at = xml.find(opener)
    while at >= 0:
        if xml.rfind("<", 0, at) > xml.rfind(">", 0, at):
            index = int(xml[at + len(opener) + 1:xml.find("?>", at)])
            value, _ = registry.entries[index]
            error = RichValueError(
                f"a {type(value).__name__} value stands inside markup (an attribute), where only text can go")
            raise render_error(error, part, source, registry.line(index))
        at = xml.find(opener, at + 1)


def _place(marker: Element, value: RichValue, position: Position, placement: Placement,
           emptied: list[Element], snippets: _Snippets) -> None:
    holder = marker.getparent()
    run = None if holder is None else holder.getparent()
    if holder is None or run is None or holder.tag != _W_T or run.tag != _W_R or _paragraph_of(run) is None:
        # Field codes, deleted text and the like hold text only.
        _replace_with_text(marker, value.plain_text())
        return
    items = value.place(placement, properties_of(run, "w:rPr"))
    if len(items) == 1 and isinstance(items[0], Snippet) and _only_marker(run, holder, marker):
        # A picture alone in its run, as in a table cell of pictures: the run's place is its own.
        snippet = snippets.holder(items[0])
        snippet.tail = run.tail
        _parent(run).replace(run, snippet)
        return
    cursor = _split_run(run, holder, marker)
    in_link = any(ancestor.tag == _W_HYPERLINK for ancestor in cursor.iterancestors())
    for item in items:
        if isinstance(item, Blocks):
            if item.inline is not None and position is Position.INLINE and not _alone(cursor):
                _insert_inline(cursor, item.inline, in_link)
            else:
                _insert_blocks(cursor, item, emptied)
        elif isinstance(item, Snippet):
            cursor.addprevious(snippets.holder(item))
        else:
            _insert_inline(cursor, [item], in_link)
    _parent(cursor).remove(cursor)


def _only_marker(run: Element, holder: Element, marker: Element) -> bool:
    """Whether the marker is all the run holds, its properties aside."""
    return not holder.text and not marker.tail and len(holder) == 1 and all(
        child is holder or child.tag == _W_RPR for child in run)


def _parent(node: Element) -> Element:
    parent = node.getparent()
    assert parent is not None, "a node inside a part always has a parent"
    return parent


def _paragraph_of(node: Element) -> Element | None:
    for ancestor in node.iterancestors():
        if ancestor.tag == _W_P:
            return ancestor
    return None


def _replace_with_text(marker: Element, text: str) -> None:
    joined = text + (marker.tail or "")
    previous = marker.getprevious()
    if previous is not None:
        previous.tail = (previous.tail or "") + joined
    else:
        parent = _parent(marker)
        parent.text = (parent.text or "") + joined
    _parent(marker).remove(marker)


def _split_run(run: Element, holder: Element, marker: Element) -> Element:
    """Cut the run at the marker; returns a cursor standing between the two halves."""
    cursor = etree.Element(_CURSOR)
    if _only_marker(run, holder, marker):
        # The marker is all the run holds, as in a run or paragraph of its own: no halves.
        run.addnext(cursor)
        _parent(run).remove(run)
        return cursor
    after = etree.Element(run.tag, dict(run.attrib), nsmap=run.nsmap)
    properties = properties_of(run, "w:rPr")
    if properties is not None:
        after.append(copy.deepcopy(properties))
    rest = text_element(marker.tail or "")
    marker.tail = None
    for sibling in list(marker.itersiblings()):
        rest.append(sibling)
    holder.remove(marker)
    if rest.text or len(rest):
        after.append(rest)
    for sibling in list(holder.itersiblings()):
        after.append(sibling)
    if not holder.text and not len(holder):
        run.remove(holder)
    run.addnext(cursor)
    if _has_content(after):
        cursor.addnext(after)
    if not _has_content(run):
        _parent(run).remove(run)
    return cursor


def _has_content(element: Element) -> bool:
    return any(child.tag not in (qn("w:rPr"), qn("w:pPr")) for child in element)


def _is_empty(paragraph: Element) -> bool:
    properties = properties_of(paragraph, "w:pPr")
    ends_section = properties is not None and properties.find(qn("w:sectPr")) is not None
    return not ends_section and not _has_content(paragraph)


def _alone(cursor: Element) -> bool:
    """Whether the cursor is all its paragraph holds."""
    paragraph = _paragraph_of(cursor)
    return paragraph is not None and all(
        child is cursor or child.tag == qn("w:pPr") for child in paragraph
    ) and cursor.getparent() is paragraph


def _insert_inline(cursor: Element, elements: list[Element], in_link: bool) -> None:
    for element in elements:
        if in_link and element.tag == _W_HYPERLINK:
            # A link inside a link is not allowed: its runs join the outer one.
            for run in list(element):
                cursor.addprevious(run)
        else:
            cursor.addprevious(element)


def _insert_blocks(cursor: Element, blocks: Blocks, emptied: list[Element]) -> None:
    if not blocks.paragraphs and not blocks.keep_empty:
        return
    paragraph = _paragraph_of(cursor)
    assert paragraph is not None
    following = _split_paragraph(cursor, paragraph)
    host = properties_of(following, "w:pPr")
    for block in blocks.paragraphs:
        if blocks.inherit and host is not None:
            _inherit(block, host)
        following.addprevious(block)
    if not blocks.keep_empty and blocks.paragraphs:
        emptied.extend((paragraph, following))


def _split_paragraph(cursor: Element, paragraph: Element) -> Element:
    """Move the cursor and all after it, up to the paragraph's end, into a new paragraph."""
    moving = cursor
    container = _parent(moving)
    while True:
        attributes = {key: value for key, value in container.attrib.items()
                      if etree.QName(key).localname not in _UNIQUE_ATTRIBUTES}
        clone = etree.Element(container.tag, attributes, nsmap=container.nsmap)
        for node in [moving, *moving.itersiblings()]:
            clone.append(node)
        container.addnext(clone)
        if container is paragraph:
            break
        moving, container = clone, _parent(container)
    properties = properties_of(paragraph, "w:pPr")
    if properties is not None:
        # The section that the paragraph ends now ends at its second half.
        kept = copy.deepcopy(properties)
        for name in ("w:sectPr",):
            for found in kept.findall(qn(name)):
                kept.remove(found)
        clone.insert(0, properties)
        paragraph.insert(0, kept)
    return clone


def _inherit(block: Element, host: Element) -> None:
    properties = properties_of(block, "w:pPr")
    if properties is None:
        properties = make("w:pPr")
        block.insert(0, properties)
    own = {local(child) for child in properties if isinstance(child.tag, str)}
    for child in host:
        if not isinstance(child.tag, str):
            continue
        name = local(child)
        if name in own or name in _NOT_INHERITED or name not in PARAGRAPH_PROPERTY_ORDER:
            continue
        if name in ("numPr", "ind") and ("numPr" in own or "ind" in own):
            continue
        set_property(properties, copy.deepcopy(child), PARAGRAPH_PROPERTY_ORDER)
