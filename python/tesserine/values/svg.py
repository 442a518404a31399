"""SVG pictures: their size from the root element, and a PNG rendering for readers without SVG."""

from __future__ import annotations

import re

from lxml import etree

from .._ooxml import Element, PackageXmlError, parse
from .errors import PictureError

_CSS_PX = {"px": 1.0, "pt": 96 / 72, "pc": 16.0, "mm": 96 / 25.4, "cm": 96 / 2.54, "in": 96.0, "": 1.0}
_SVG_LENGTH = re.compile(r"\s*([0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)\s*(px|pt|pc|mm|cm|in|)\s*")
# CSS gives a replaced element without any size 300 by 150 pixels.
_DEFAULT_PX = (300.0, 150.0)
_EMU_PER_PX = 9525
# The largest extent DrawingML allows (ST_PositiveCoordinate).
LARGEST_EMU = 27273042316900
# The PNG fallback is drawn at twice the shown size, at most this many pixels a side.
_LARGEST_SIDE = 2048


def looks_like_svg(data: bytes) -> bool:
    head = data[:1024].lstrip(b"\xef\xbb\xbf \t\r\n")
    return head.startswith((b"<?xml", b"<svg", b"<!--", b"<!DOCTYPE")) and b"<svg" in data[:4096]


def _without_doctype(data: bytes) -> bytes:
    # Editors write the SVG 1.1 DOCTYPE; one without an internal subset declares nothing.
    start = data.find(b"<!DOCTYPE")
    if start < 0:
        return data
    end = data.find(b">", start)
    if end < 0 or b"[" in data[start:end]:
        return data
    return data[:start] + data[end + 1:]


def svg_root(data: bytes, label: str) -> Element:
    """The SVG's root element, parsed without entities; outside references are refused."""
    if b"<!ENTITY" in data:
        raise PictureError(f"Picture({label}): SVG with entity declarations is not allowed")
    try:
        root = parse(_without_doctype(data), label)
    except PackageXmlError as error:
        raise PictureError(f"Picture({label}): not a valid SVG ({error})") from None
    if not isinstance(root.tag, str) or etree.QName(root).localname != "svg":
        raise PictureError(f"Picture({label}): not an SVG picture")
    for element in root.iter():
        for key, value in element.attrib.items():
            if etree.QName(key).localname == "href" and not value.strip().startswith(("#", "data:")):
                raise PictureError(f"Picture({label}): the SVG refers to {value!r}; embed it as a data: URI instead")
    return root


def _px(value: str | None) -> float | None:
    match = _SVG_LENGTH.fullmatch(value or "")
    if match is None:
        return None
    size = float(match.group(1)) * _CSS_PX[match.group(2)]
    return size if size > 0 else None


def natural_px(root: Element) -> tuple[float, float]:
    """The SVG's own size in CSS pixels: its width and height, else its view box."""
    width, height = _px(root.get("width")), _px(root.get("height"))
    box = (root.get("viewBox") or "").replace(",", " ").split()
    if len(box) == 4:
        try:
            box_w, box_h = float(box[2]), float(box[3])
        except ValueError:
            box_w = box_h = 0.0
        if box_w > 0 and box_h > 0:
            if width is None and height is None:
                width, height = box_w, box_h
            elif width is None:
                width = height * box_w / box_h if height else None
            elif height is None:
                height = width * box_h / box_w
    return (width or _DEFAULT_PX[0], height or _DEFAULT_PX[1])


def svg_size(data: bytes, label: str) -> tuple[int, int]:
    """The SVG's own width and height in EMU."""
    width, height = natural_px(svg_root(data, label))
    if not max(width, height) * _EMU_PER_PX <= LARGEST_EMU:
        raise PictureError(f"Picture({label}): the SVG's size ({width:g} by {height:g} pixels) is more than"
                           " a document can hold")
    return max(1, round(width * _EMU_PER_PX)), max(1, round(height * _EMU_PER_PX))


def svg_fallback(data: bytes, label: str, shown_width: int) -> bytes:
    """A PNG drawing of the SVG for readers that show only the fallback."""
    try:
        import resvg_py
    except ImportError:
        raise PictureError(
            f"Picture({label}): SVG pictures need resvg-py for their PNG fallback: pip install 'tesserine[svg]'"
        ) from None
    root = svg_root(data, label)
    width, height = natural_px(root)
    scale = 2 * shown_width / _EMU_PER_PX / width
    scale = min(scale, _LARGEST_SIDE / max(width, height))
    pixels_w = max(1, round(width * scale))
    try:
        return bytes(resvg_py.svg_to_bytes(svg_string=etree.tostring(root, encoding="unicode"), width=pixels_w))
    except (ValueError, RuntimeError) as error:
        raise PictureError(f"Picture({label}): the SVG cannot be drawn ({error})") from None
