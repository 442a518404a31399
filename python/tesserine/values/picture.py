"""Pictures from data: formats and sizes read with Pillow, placed inline as drawings."""

from __future__ import annotations

import hashlib
import io
import math
import re
import secrets
import warnings
from dataclasses import dataclass
from functools import cached_property
from typing import Any

from lxml import etree

from .._input import Source, read_input
from .._ooxml import NS, Element, make, qn
from .base import Item, Placement, RichValue, Snippet
from .errors import PictureError
from .svg import LARGEST_EMU, looks_like_svg, svg_fallback, svg_size
from .text import clean_text

PictureSource = Source

EMU_PER_INCH = 914400
_UNITS = {"cm": 360000, "mm": 36000, "in": EMU_PER_INCH, "pt": 12700, "px": 9525, "emu": 1}
_LENGTH = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([a-zA-Z]*)\s*")
_DEFAULT_DPI = 96.0
_PLAUSIBLE_DPI = (10.0, 10000.0)
# Pillow's format name -> file extension in the package.
FORMATS = {"PNG": "png", "JPEG": "jpeg", "MPO": "jpeg", "GIF": "gif", "BMP": "bmp", "TIFF": "tiff"}
CONTENT_TYPES = {
    "png": "image/png", "jpeg": "image/jpeg", "gif": "image/gif", "bmp": "image/bmp",
    "tiff": "image/tiff", "svg": "image/svg+xml",
}
_PICTURE_URI = "http://schemas.openxmlformats.org/drawingml/2006/picture"
_SVG_EXTENSION_URI = "{96DAC541-7B7A-43D3-8B79-37D633B846F1}"
IMAGE = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/image"
# What each use of a drawing fills in.
_ID, _NAME, _EMBED_BITMAP, _EMBED_SVG, _PROPERTIES = "id", "name", "embed", "svg", "properties"
# The drawing of a picture without its alt text, ids and relationship ids filled in.
_DRAWING_MARKUP = 1600


def length_emu(value: Any, what: str) -> int:
    """A length as "4cm", "30mm", "1.5in", "72pt", "120px", or an int of EMU."""
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise PictureError(f"{what}={value!r}: give a length with a unit, like '4cm', or an int of EMU")
    if isinstance(value, int):
        emu = value
    else:
        match = _LENGTH.fullmatch(value)
        unit = match.group(2).lower() if match else ""
        if match is None or unit not in _UNITS:
            raise PictureError(f"{what}={value!r}: give a number and a unit (cm, mm, in, pt, px), like '4cm'")
        length = float(match.group(1)) * _UNITS[unit]
        # A number of some 300 digits is infinite as a float: out of range below.
        emu = round(length) if math.isfinite(length) else 0
    if not 0 < emu <= LARGEST_EMU:
        raise PictureError(f"{what}={value!r}: a picture's size must be above zero and at most 754 m")
    return emu


@dataclass(frozen=True)
class Image:
    """One stored picture: its bytes, extension and natural size in EMU."""

    data: bytes
    extension: str
    width: int
    height: int


def _inspect_bitmap(data: bytes, label: str) -> Image:
    try:
        from PIL import Image as PillowImage
        from PIL import UnidentifiedImageError
    except ImportError:
        raise PictureError("pictures need Pillow: pip install 'tesserine[rich]'") from None
    try:
        # A picture past Pillow's warning size is refused as a bomb, not merely warned about:
        # readers of the document would decode every pixel of it.
        with warnings.catch_warnings():
            warnings.simplefilter("error", PillowImage.DecompressionBombWarning)
            with PillowImage.open(io.BytesIO(data)) as image:
                kind = image.format or ""
                pixels = image.size
                dpi = image.info.get("dpi")
                image.verify()
    except (PillowImage.DecompressionBombError, PillowImage.DecompressionBombWarning) as error:
        raise PictureError(f"Picture({label}): too many pixels for a document ({error})") from None
    except UnidentifiedImageError as error:
        raise PictureError(f"Picture({label}): not a picture that tesserine can read ({error})") from None
    except (OSError, SyntaxError, ValueError) as error:
        raise PictureError(f"Picture({label}): the picture data is damaged ({error})") from None
    if kind not in FORMATS:
        raise PictureError(f"Picture({label}): {kind} pictures are not supported"
                           " (use PNG, JPEG, GIF, BMP, TIFF or SVG)")
    if min(pixels) <= 0:
        raise PictureError(f"Picture({label}): the picture has no pixels")
    return Image(data, FORMATS[kind], *(_emu(count, _dpi(dpi, axis)) for axis, count in enumerate(pixels)))


def _dpi(dpi: Any, axis: int) -> float:
    try:
        # PNG keeps dots per metre: 96 dpi comes back as 95.9866.
        value = float(round(float(dpi[axis])))
    except (TypeError, ValueError, IndexError):
        return _DEFAULT_DPI
    low, high = _PLAUSIBLE_DPI
    return value if low <= value <= high else _DEFAULT_DPI


def _emu(pixels: float, dpi: float) -> int:
    return max(1, round(pixels * EMU_PER_INCH / dpi))


@dataclass(frozen=True)
class _Drawing:
    """The namespaces a drawing uses, and its run's markup after the start tag, cut where
    each use fills in its own: literal markup at even places, what goes between at odd ones."""

    namespaces: dict[str, str]
    body: tuple[str, ...]


class Picture(RichValue):
    """A picture placed inline where the tag stands; one of width and height keeps the aspect."""

    def __init__(
        self,
        source: PictureSource,
        width: int | str | None = None,
        height: int | str | None = None,
        alt: str | None = None,
    ) -> None:
        self.data, name = read_input(source, "the file", PictureError)
        self.label = name or f"<{len(self.data)} bytes>"
        self.alt = None if alt is None else clean_text(str(alt), "alt text")
        self._width = None if width is None else length_emu(width, "width")
        self._height = None if height is None else length_emu(height, "height")
        self.size  # noqa: B018 - bad data is reported where the value is made, not at render

    @cached_property
    def image(self) -> Image:
        if looks_like_svg(self.data):
            return Image(self.data, "svg", *svg_size(self.data, self.label))
        return _inspect_bitmap(self.data, self.label)

    @cached_property
    def size(self) -> tuple[int, int]:
        """The width and height in EMU that the picture takes in the document."""
        natural_w, natural_h = self.image.width, self.image.height
        if self._width is not None and self._height is not None:
            return self._width, self._height
        if self._width is not None:
            return self._width, max(1, round(self._width * natural_h / natural_w))
        if self._height is not None:
            return max(1, round(self._height * natural_w / natural_h)), self._height
        return natural_w, natural_h

    def __repr__(self) -> str:
        return f"Picture({self.label!r})"

    def plain_text(self) -> str:
        return self.alt or ""

    def markup_size(self) -> int:
        # The alt text stands in two attributes, where a quote takes six characters.
        return _DRAWING_MARKUP + 12 * len(self.alt or "")

    def check_size(self, limit: int | None) -> None:
        """Refuse the picture if its data is larger than `limit` bytes (None: no limit)."""
        if limit is not None and len(self.data) > limit:
            raise PictureError(f"Picture({self.label}): {len(self.data):,} bytes, more than the {limit:,}"
                               " a picture may take (max_picture_size)")

    @cached_property
    def _drawing(self) -> _Drawing:
        """The run holding this picture's drawing, written once for every use."""
        # A random token cannot occur in the alt text; it marks the places to fill in.
        token = "tesserine" + secrets.token_hex(8)

        def fill(name: str) -> str:
            return f"{token}{name}{token}"

        extent = {"cx": str(self.size[0]), "cy": str(self.size[1])}
        description = {"descr": self.alt} if self.alt else {}
        blip = make("a:blip", {"r:embed": fill(_EMBED_BITMAP)})
        if self.image.extension == "svg":
            svg = make("asvg:svgBlip", {"r:embed": fill(_EMBED_SVG)})
            blip.append(make("a:extLst", None, make("a:ext", {"uri": _SVG_EXTENSION_URI}, svg)))
        picture = make(
            "pic:pic", None,
            make("pic:nvPicPr", None, make("pic:cNvPr", {"id": "0", "name": fill(_NAME), **description}),
                 make("pic:cNvPicPr")),
            make("pic:blipFill", None, blip, make("a:stretch", None, make("a:fillRect"))),
            make("pic:spPr", None,
                 make("a:xfrm", None, make("a:off", {"x": "0", "y": "0"}), make("a:ext", extent)),
                 make("a:prstGeom", {"prst": "rect"}, make("a:avLst"))),
        )
        prefixes = ("w", "wp", "a", "pic", "r") + (("asvg",) if self.image.extension == "svg" else ())
        # Written under an element that declares every namespace it uses, the run declares
        # them all on its start tag, and nowhere else.
        holder = etree.Element("holder", nsmap={prefix: NS[prefix] for prefix in prefixes})
        run = etree.SubElement(holder, qn("w:r"))
        run.append(make("w:drawing", None, make(
            "wp:inline", {"distT": "0", "distB": "0", "distL": "0", "distR": "0"},
            make("wp:extent", extent),
            make("wp:effectExtent", {"l": "0", "t": "0", "r": "0", "b": "0"}),
            make("wp:docPr", {"id": fill(_ID), "name": fill(_NAME), **description}),
            make("wp:cNvGraphicFramePr", None, make("a:graphicFrameLocks", {"noChangeAspect": "1"})),
            make("a:graphic", None, make("a:graphicData", {"uri": _PICTURE_URI}, picture)),
        )))
        markup = etree.tostring(run, encoding="unicode")
        # The start tag is written for each part, with the declarations its root lacks; run
        # properties go first in the run, right after it.
        body = fill(_PROPERTIES) + markup[markup.index(">") + 1:]
        return _Drawing({prefix: NS[prefix] for prefix in prefixes}, tuple(body.split(token)))

    @cached_property
    def _fallback(self) -> bytes:
        return svg_fallback(self.image.data, self.label, self.size[0])

    # Kept with the picture: one used in many renders is hashed once.
    @cached_property
    def _digest(self) -> str:
        return hashlib.sha256(self.image.data).hexdigest()

    @cached_property
    def _fallback_digest(self) -> str:
        return hashlib.sha256(self._fallback).hexdigest()

    def place(self, placement: Placement, run_properties: Element | None) -> list[Item]:
        self.check_size(placement.max_picture_size)
        number = placement.drawing_id()
        if self.image.extension == "svg":
            bitmap = placement.media(self._fallback, "png", self._fallback_digest)
            svg = placement.media(self.image.data, "svg", self._digest)
        else:
            bitmap = placement.media(self.image.data, self.image.extension, self._digest)
            svg = ""
        values = {
            _ID: str(number), _NAME: f"Picture {number}", _EMBED_BITMAP: bitmap, _EMBED_SVG: svg,
            _PROPERTIES: etree.tostring(run_properties, encoding="unicode", with_tail=False)
            if run_properties is not None and len(run_properties) else "",
        }
        drawing = self._drawing
        declared = placement.namespaces
        start = "".join(f' xmlns:{prefix}="{uri}"' for prefix, uri in drawing.namespaces.items()
                        if declared.get(prefix) != uri)
        pieces = (values[piece] if index % 2 else piece for index, piece in enumerate(drawing.body))
        return [Snippet(f"<w:r{start}>" + "".join(pieces))]
