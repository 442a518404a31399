"""Rich values in JSON data: an object with a reserved key names the kind of value.

    {"@picture": "logo.png", "width": "3cm", "alt": "Logo"}
    {"@styled": "overdue", "bold": true, "color": "C00000"}
    {"@styled": ["Total: ", {"@styled": "12.00", "bold": true}]}
    {"@link": "https://example.com", "text": "our site"}
    {"@markdown": "**Note:** paid by *transfer*."}
    {"@fragment": "clauses/liability.docx", "keep_styles": true}

Picture and fragment paths are relative to the data file and may not leave its
directory; a picture may also be given inline as a `data:` URI with base64 content.
Either way its data may take `max_picture_size` bytes at most. A fragment's document
is read within the archive limits, as a template is.
"""

from __future__ import annotations

import base64
import binascii
import dataclasses
import os
import stat
from typing import Any

from ._errors import TesserineError
from ._input import read_file
from ._limits import DEFAULT_LIMITS, Limits
from .values import Fragment, Link, Markdown, Picture, Styled
from .values.styled import Piece, joined

PICTURE, STYLED, LINK, MARKDOWN, FRAGMENT = "@picture", "@styled", "@link", "@markdown", "@fragment"
RESERVED = (PICTURE, STYLED, LINK, MARKDOWN, FRAGMENT)
_STYLE_OPTIONS = frozenset({
    "bold", "italic", "underline", "strike", "color", "highlight", "size", "font", "style",
    "superscript", "subscript",
})
_OPTIONS = {
    PICTURE: frozenset({"width", "height", "alt"}),
    STYLED: _STYLE_OPTIONS | {"link"},
    LINK: _STYLE_OPTIONS | {"text"},
    MARKDOWN: frozenset(),
    FRAGMENT: frozenset({"keep_styles"}),
}


class JsonValueError(TesserineError):
    """A JSON form of a rich value is not valid; the message names where it is in the data."""


@dataclasses.dataclass(frozen=True)
class _Pictures:
    #: The directory picture and fragment paths are relative to; None takes only `data:` URIs.
    base: str | None
    max_size: int | None
    #: The limits a fragment's document is read within.
    limits: Limits


def rich_values(data: Any, base: str | os.PathLike[str] | None = None, *,
                max_picture_size: int | None = DEFAULT_LIMITS.max_picture_size, limits: Limits | None = None) -> Any:
    """`data` with every JSON form of a rich value made that value.

    `base` is the directory picture and fragment paths are relative to (the data
    file's); None refuses such paths and takes only `data:` URIs for pictures. Fragments
    are read within `limits` (`DEFAULT_LIMITS` if None).
    """
    pictures = _Pictures(None if base is None else os.path.realpath(base), max_picture_size, limits or DEFAULT_LIMITS)
    return _convert(data, pictures, "")


def _convert(data: Any, pictures: _Pictures, where: str) -> Any:
    if isinstance(data, list):
        return [_convert(item, pictures, f"{where}[{index}]") for index, item in enumerate(data)]
    if not isinstance(data, dict):
        return data
    kinds = [key for key in RESERVED if key in data]
    if not kinds:
        return {key: _convert(value, pictures, f"{where}.{key}" if where else str(key)) for key, value in data.items()}
    place = where or "the data"
    if len(kinds) > 1:
        raise JsonValueError(f"{place}: an object holds one of {', '.join(RESERVED)}, not {' and '.join(kinds)}")
    kind = kinds[0]
    options = {key: value for key, value in data.items() if key != kind}
    unknown = sorted(set(options) - _OPTIONS[kind])
    if unknown:
        allowed = ", ".join(sorted(_OPTIONS[kind])) or "none"
        raise JsonValueError(f"{place}: {kind} takes no option {', '.join(map(repr, unknown))} (options: {allowed})")
    try:
        return _value(kind, data[kind], options, pictures, place)
    except JsonValueError:
        raise
    except TesserineError as error:
        # A fragment that is not a sound .docx gets the errors a template would, told here
        # at its place in the data.
        raise JsonValueError(f"{place}: {error}") from None
    except TypeError as error:
        raise JsonValueError(f"{place}: {kind}: {error}") from None


def _value(kind: str, main: Any, options: dict[str, Any], pictures: _Pictures, place: str) -> Any:
    if kind == PICTURE:
        return Picture(_picture_data(main, pictures, place), **options)
    if kind == LINK:
        return Link(_string(main, kind, place), **options)
    if kind == MARKDOWN:
        return Markdown(_string(main, kind, place))
    if kind == FRAGMENT:
        path = _data_file(main, kind, "fragment", pictures, place)
        return Fragment(path, keep_styles=_flag(options.get("keep_styles", False), "keep_styles", place),
                        limits=pictures.limits)
    if isinstance(main, list):
        # The options are what every piece has unless the piece sets its own.
        pieces: list[Piece] = []
        for index, item in enumerate(main):
            value = _convert(item, pictures, f"{place}[{index}]")
            if isinstance(value, str):
                value = Styled(value, **options)
            if not isinstance(value, Styled):
                raise JsonValueError(f"{place}[{index}]: a piece of styled text is a string or a styled text")
            pieces.extend(_under(piece, options) for piece in value.pieces)
        return joined(tuple(pieces))
    return Styled(_string(main, kind, place), **options)


def _under(piece: Piece, options: dict[str, Any]) -> Piece:
    base = Styled("", **options).pieces[0]
    own = {field.name: getattr(piece.format, field.name) for field in dataclasses.fields(piece.format)}
    merged = {name: value for name, value in own.items() if value not in (None, False)}
    return Piece(piece.text, dataclasses.replace(base.format, **merged), piece.link or base.link)


def _string(value: Any, kind: str, place: str) -> str:
    if not isinstance(value, str):
        raise JsonValueError(f"{place}: {kind} takes a string, not {type(value).__name__}")
    return value


def _picture_data(value: Any, pictures: _Pictures, place: str) -> bytes:
    source = _string(value, PICTURE, place)
    limit = pictures.max_size
    if source.startswith("data:"):
        header, _, payload = source.partition(",")
        if not header.endswith(";base64"):
            raise JsonValueError(f"{place}: a picture data: URI must hold base64 content")
        if limit is not None and len(payload) // 4 * 3 > limit:
            raise _too_large(place, source[:40] + "…", limit)
        try:
            return base64.b64decode(payload, validate=True)
        except binascii.Error:
            raise JsonValueError(f"{place}: the picture's base64 content is damaged") from None
    path = _data_file(value, PICTURE, "picture", pictures, place)
    # Read no more than the limit allows: the data names the file, not its size.
    data = read_file(path, f"{place}: cannot read the picture {source!r}", JsonValueError,
                     -1 if limit is None else limit + 1)
    if limit is not None and len(data) > limit:
        raise _too_large(place, source, limit)
    return data


def _data_file(value: Any, kind: str, what: str, pictures: _Pictures, place: str) -> str:
    """The path of a file that the data names, inside the data file's directory."""
    source = _string(value, kind, place)
    base = pictures.base
    if base is None:
        raise JsonValueError(f"{place}: {what} paths need a data file to be relative to"
                             + ("; use a data: URI" if kind == PICTURE else ""))
    if os.path.isabs(source):
        raise JsonValueError(f"{place}: {what} path {source!r} must be relative to the data file")
    path = os.path.realpath(os.path.join(base, source))
    if os.path.commonpath([base, path]) != base:
        raise JsonValueError(f"{place}: {what} path {source!r} leads outside the data file's directory")
    try:
        # A pipe or a device would block or never end: only files are read.
        regular = stat.S_ISREG(os.stat(path).st_mode)
    except OSError as error:
        raise JsonValueError(f"{place}: cannot read the {what} {source!r}: {error.strerror or error}") from None
    if not regular:
        raise JsonValueError(f"{place}: {what} path {source!r} is not a file")
    return path


def _flag(value: Any, name: str, place: str) -> bool:
    if not isinstance(value, bool):
        raise JsonValueError(f"{place}: {name} takes true or false, not {value!r}")
    return value


def _too_large(place: str, source: str, limit: int) -> JsonValueError:
    return JsonValueError(f"{place}: the picture {source!r} is larger than the {limit:,} bytes a picture may take"
                          " (max_picture_size)")
