"""Pictures already in a template: finding them by name or alt text, and their new bytes."""

from __future__ import annotations

import base64
import io
import posixpath
from collections.abc import Callable, Iterable

from ._errors import TesserineError
from ._ooxml import parse, qn
from ._resources import internal_targets, rels_member
from .values.errors import PictureError
from .values.picture import CONTENT_TYPES, Picture
from .values.svg import svg_fallback

_EMBED = qn("r:embed")
_BLIPS = (qn("a:blip"), qn("asvg:svgBlip"))
# Pillow's names for the formats a member's extension stands for.
_PILLOW_FORMATS = {"png": "PNG", "jpeg": "JPEG", "jpg": "JPEG", "gif": "GIF", "bmp": "BMP",
                   "tif": "TIFF", "tiff": "TIFF"}


class PictureNotFoundError(TesserineError):
    """No picture of the template has the name or alt text asked for."""


def picture_members(name: str, parts: Iterable[str], read: Callable[[str], str | None]) -> list[str]:
    """The media members of every drawing named `name` (or described so), in any part.

    `read` gives a member's XML text, or None when the package has no such member.
    """
    found: set[str] = set()
    names: set[str] = set()
    for part in parts:
        data = read(part)
        if data is None or "docPr" not in data:
            continue
        targets = _image_targets(part, read(rels_member(part)))
        for drawing in parse(data, part).iter(qn("wp:docPr")):
            labels = {drawing.get("name"), drawing.get("descr")} - {None, ""}
            names |= {label for label in labels if label is not None}
            if name not in labels:
                continue
            frame = drawing.getparent()
            for blip in frame.iter(*_BLIPS) if frame is not None else ():
                target = targets.get(blip.get(_EMBED, ""))
                if target is not None:
                    found.add(target)
    if not found:
        known = ", ".join(repr(each) for each in sorted(names)) or "none"
        raise PictureNotFoundError(f"the template has no picture named or described {name!r} (pictures: {known})")
    return sorted(found)


def _image_targets(part: str, rels: str | None) -> dict[str, str]:
    if rels is None:
        return {}
    return {each.get("Id", ""): target for each, target in internal_targets(part, parse(rels, rels_member(part)))}


def replacement_bytes(member: str, picture: Picture) -> bytes:
    """The picture's bytes in the format the member's name declares, so its content type holds."""
    extension = posixpath.splitext(member)[1].lstrip(".").lower()
    given = picture.image.extension
    if extension == "svg":
        return picture.data if given == "svg" else _raster_in_svg(picture)
    wanted = _PILLOW_FORMATS.get(extension)
    if wanted is None:
        raise PictureError(f"{member}: cannot write a picture in the format of a .{extension} file")
    if given == "svg":
        data = svg_fallback(picture.data, picture.label, picture.size[0])
        given = "png"
    else:
        data = picture.data
    if _PILLOW_FORMATS.get(given) == wanted:
        return data
    return _convert(data, wanted)


def _convert(data: bytes, wanted: str) -> bytes:
    from PIL import Image

    with Image.open(io.BytesIO(data)) as image:
        image.load()
        out = io.BytesIO()
        if wanted == "JPEG" and image.mode not in ("RGB", "L"):
            # JPEG has no transparency: what was transparent shows white, as on a page.
            rgba = image.convert("RGBA")
            flat = Image.new("RGB", rgba.size, (255, 255, 255))
            flat.paste(rgba, mask=rgba.getchannel("A"))
            flat.save(out, format=wanted)
        else:
            image.save(out, format=wanted)
        return out.getvalue()


def _raster_in_svg(picture: Picture) -> bytes:
    # A drawing that shows an SVG takes a bitmap as an SVG that holds it.
    width, height = (round(each / 9525) for each in picture.size)
    encoded = base64.b64encode(picture.data).decode("ascii")
    kind = CONTENT_TYPES[picture.image.extension]
    return (
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}">'
        f'<image width="{width}" height="{height}" href="data:{kind};base64,{encoded}"/></svg>'
    ).encode("ascii")
