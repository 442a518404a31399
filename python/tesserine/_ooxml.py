"""WordprocessingML through lxml: namespaces, safe parsing, and the one writer of new markup."""

from __future__ import annotations

import io
from collections.abc import Iterable, Iterator, Sequence
from functools import lru_cache

from lxml import etree

from ._errors import TemplatePartError, TesserineError
from ._xmltext import part_text

NS = {
    "w": "http://schemas.openxmlformats.org/wordprocessingml/2006/main",
    "r": "http://schemas.openxmlformats.org/officeDocument/2006/relationships",
    "wp": "http://schemas.openxmlformats.org/drawingml/2006/wordprocessingDrawing",
    "a": "http://schemas.openxmlformats.org/drawingml/2006/main",
    "pic": "http://schemas.openxmlformats.org/drawingml/2006/picture",
    "asvg": "http://schemas.microsoft.com/office/drawing/2016/SVG/main",
    "rel": "http://schemas.openxmlformats.org/package/2006/relationships",
    "ct": "http://schemas.openxmlformats.org/package/2006/content-types",
    "xml": "http://www.w3.org/XML/1998/namespace",
}

Element = etree._Element

# Child order of run and paragraph properties: Word refuses a document whose
# property elements stand out of the schema's sequence.
RUN_PROPERTY_ORDER = (
    "rStyle", "rFonts", "b", "bCs", "i", "iCs", "caps", "smallCaps", "strike", "dstrike", "outline",
    "shadow", "emboss", "imprint", "noProof", "snapToGrid", "vanish", "webHidden", "color", "spacing",
    "w", "kern", "position", "sz", "szCs", "highlight", "u", "effect", "bdr", "shd", "fitText",
    "vertAlign", "rtl", "cs", "em", "lang", "eastAsianLayout", "specVanish", "oMath", "rPrChange",
)
PARAGRAPH_PROPERTY_ORDER = (
    "pStyle", "keepNext", "keepLines", "pageBreakBefore", "framePr", "widowControl", "numPr",
    "suppressLineNumbers", "pBdr", "shd", "tabs", "suppressAutoHyphens", "kinsoku", "wordWrap",
    "overflowPunct", "topLinePunct", "autoSpaceDE", "autoSpaceDN", "bidi", "adjustRightInd",
    "snapToGrid", "spacing", "ind", "contextualSpacing", "mirrorIndents", "suppressOverlap", "jc",
    "textDirection", "textAlignment", "textboxTightWrap", "outlineLvl", "divId", "cnfStyle", "rPr",
    "sectPr", "pPrChange",
)


class PackageXmlError(TesserineError):
    """A member of the document that tesserine must read is not usable XML."""


@lru_cache(maxsize=512)
def qn(name: str) -> str:
    """Clark notation for a prefixed name: "w:t" -> "{...main}t"."""
    prefix, local = name.split(":", 1)
    return f"{{{NS[prefix]}}}{local}"


_PARSER = etree.XMLParser(resolve_entities=False, no_network=True, huge_tree=True, remove_blank_text=False)


def parse(data: bytes | str, member: str) -> Element:
    """Parse package XML: bytes as a part's text is read, a str as the UTF-8 text it holds.

    Either way the prolog is checked by the archive layer's reader first, so a DOCTYPE,
    and with it any entity, never reaches lxml.
    """
    raw = _checked(data, member)
    try:
        return etree.fromstring(raw, _PARSER)
    except etree.XMLSyntaxError as error:
        raise PackageXmlError(f"{member}: not well-formed XML: {error}") from None


def elements(data: bytes | str, member: str, tag: str) -> Iterator[Element]:
    """The elements of one tag in package XML, checked as `parse` checks it, each whole
    while it is looked at, then freed with its earlier siblings: a part that is a list of
    such elements (the styles) is read without holding its tree, which takes some fifteen
    times the part's size."""
    raw = _checked(data, member)
    try:
        for _, element in etree.iterparse(io.BytesIO(raw), tag=tag, resolve_entities=False, no_network=True,
                                          huge_tree=True):
            yield element
            element.clear(keep_tail=True)
            parent = element.getparent()
            while parent is not None and element.getprevious() is not None:
                del parent[0]
    except etree.XMLSyntaxError as error:
        raise PackageXmlError(f"{member}: not well-formed XML: {error}") from None


def _checked(data: bytes | str, member: str) -> bytes:
    try:
        if isinstance(data, str):
            raw = data.encode("utf-8")
            part_text(member, raw)
            return raw
        return part_text(member, data).encode("utf-8")
    except TemplatePartError as error:
        raise PackageXmlError(f"{member}: {error.reason} at line {error.line}, column {error.column}"
                              f" (near: {error.excerpt})") from None
    except UnicodeEncodeError as error:
        raise PackageXmlError(f"{member}: holds a lone surrogate at character {error.start + 1}") from None


def serialize(root: Element) -> bytes:
    return etree.tostring(root, xml_declaration=True, encoding="UTF-8", standalone=True)


def make(name: str, attributes: dict[str, str] | None = None, *children: Element, text: str | None = None) -> Element:
    """A new element; attribute names are prefixed ("w:val") and values are escaped by lxml."""
    attributes = attributes or {}
    element = etree.Element(qn(name), nsmap=_nsmap_for(name, tuple(attributes)))
    for key, value in attributes.items():
        element.set(qn(key) if ":" in key else key, value)
    for child in children:
        element.append(child)
    if text is not None:
        element.text = text
    return element


@lru_cache(maxsize=256)
def _nsmap_for(name: str, attributes: tuple[str, ...]) -> dict[str | None, str]:
    # Declaring the prefixes the element uses keeps the author's familiar "w:" and "r:";
    # lxml drops a declaration that an ancestor already makes when the element is inserted.
    prefixes = [name.split(":", 1)[0]] + [key.split(":", 1)[0] for key in attributes if ":" in key]
    return {prefix: NS[prefix] for prefix in prefixes if prefix != "xml"}


def text_element(text: str) -> Element:
    return make("w:t", {"xml:space": "preserve"}, text=text)


def local(element: Element) -> str:
    return etree.QName(element).localname


def set_property(properties: Element, child: Element, order: Sequence[str]) -> None:
    """Put `child` into a properties element in schema order, replacing one of the same name."""
    name = local(child)
    rank = order.index(name)
    for existing in properties:
        if not isinstance(existing.tag, str):
            continue
        existing_name = local(existing)
        if existing_name == name:
            existing.addnext(child)
            properties.remove(existing)
            return
        if existing_name in order and order.index(existing_name) > rank:
            existing.addprevious(child)
            return
    properties.append(child)


def whole_number(element: Element | None, name: str) -> int | None:
    """The attribute `name` of element as a whole number, if it is one."""
    value = None if element is None else element.get(qn(name))
    # isdecimal, not isdigit: int() refuses a superscript digit such as "²".
    return int(value) if value is not None and value.isdecimal() else None


def properties_of(parent: Element, name: str) -> Element | None:
    """The parent's properties element ("w:rPr", "w:pPr") when it is its first child."""
    first = parent[0] if len(parent) else None
    return first if first is not None and first.tag == qn(name) else None


def ensure_properties(parent: Element, name: str) -> Element:
    found = properties_of(parent, name)
    if found is None:
        found = make(name)
        parent.insert(0, found)
    return found


def children(parent: Element, names: Iterable[str]) -> list[Element]:
    wanted = {qn(name) for name in names}
    return [child for child in parent if child.tag in wanted]
