"""A part's bytes as text: its encoding found, a DOCTYPE refused, its declaration made to say UTF-8.

Parts are saved as UTF-8, so a part read in another encoding gets its declaration
rewritten here, once, and every later step sees a declaration that tells the truth.
"""

from __future__ import annotations

import codecs
import re
from collections.abc import Callable
from xml.parsers import expat

from ._errors import TemplatePartError

_EXCERPT_RADIUS = 40
# Fed to expat in slices: the check stops at the root element, which comes early.
_PROLOG_SLICE = 1 << 14

_BYTE_ORDER_MARKS = (
    (codecs.BOM_UTF32_LE, "utf-32"),
    (codecs.BOM_UTF32_BE, "utf-32"),
    (codecs.BOM_UTF8, "utf-8-sig"),
    (codecs.BOM_UTF16_LE, "utf-16"),
    (codecs.BOM_UTF16_BE, "utf-16"),
    # Without a mark, UTF-16 still shows in how "<?" is spelled.
    (b"<\x00?\x00", "utf-16-le"),
    (b"\x00<\x00?", "utf-16-be"),
)
# The XML declaration and its encoding pseudo-attribute (XML 1.0, productions 23 and 80).
_DECLARATION = re.compile(r"<\?xml\s[^>]*?\?>")
_ENCODING = re.compile(r"""\sencoding\s*=\s*(["'])(?P<name>[A-Za-z][A-Za-z0-9._-]*)\1""")
_ASCII_DECLARATION = re.compile(_DECLARATION.pattern.encode())
_ASCII_ENCODING = re.compile(_ENCODING.pattern.encode())


def _declared_encoding(declaration: re.Match[bytes] | re.Match[str] | None) -> str | None:
    if declaration is None:
        return None
    if isinstance(declaration.string, bytes):
        found = _ASCII_ENCODING.search(declaration.group())
        return None if found is None else found.group("name").decode("ascii")
    named = _ENCODING.search(declaration.group())
    return None if named is None else named.group("name")


def _codec(name: str) -> str | None:
    try:
        return codecs.lookup(name).name
    except LookupError:
        return None


def _refuse(part: str, text: str, offset: int, reason: str, *, shown: str = "") -> TemplatePartError:
    """The error for a fault at `offset` in `text` (the part's text up to the fault at least)."""
    line_start = text.rfind("\n", 0, offset) + 1
    line = text.count("\n", 0, offset) + 1
    before = text[max(line_start, offset - _EXCERPT_RADIUS):offset]
    after = text[offset:offset + _EXCERPT_RADIUS].split("\n", 1)[0]
    excerpt = f"{before}⟨here⟩{shown}{after}"
    return TemplatePartError(part, line, offset - line_start + 1, reason, excerpt)


def _decode(part: str, raw: bytes, codec: str) -> str:
    try:
        return raw.decode(codec)
    except UnicodeDecodeError as error:
        # The UTF-8 decoder that skips a mark counts its positions after the mark.
        skipped = len(codecs.BOM_UTF8) if codec == "utf-8-sig" else 0
        start, end = error.start + skipped, error.end + skipped
        shown = "".join(f"\\x{byte:02x}" for byte in raw[start:end])
        before = raw[:start].decode(codec, "replace")
        after = raw[end:end + 4 * _EXCERPT_RADIUS].decode(codec.removesuffix("-sig"), "replace")
        label = "UTF-8" if _family(codec) == "utf-8" else codec
        raise _refuse(part, before + after, len(before), f"not {label} text", shown=shown) from None
    except UnicodeError as error:
        # Some codecs (idna and the like) fail as a whole, without a position.
        raise TemplatePartError(part, 1, 1, f"cannot be read as {codec}: {error}", "") from None


def _encoding(part: str, raw: bytes) -> tuple[str, bool]:
    """The codec that reads the part, and whether a byte order mark chose it."""
    for mark, codec in _BYTE_ORDER_MARKS:
        if raw.startswith(mark):
            return codec, True
    declared = _declared_encoding(_ASCII_DECLARATION.match(raw))
    if declared is None:
        return "utf-8", False
    try:
        # A declaration read as ASCII must name an encoding in which it reads the same.
        readable = "<?xml".encode(declared) == b"<?xml" and b"<?xml".decode(declared, "replace") == "<?xml"
    except (LookupError, UnicodeError):
        # Python may know the name without it being a text encoding (base64, rot13), or
        # without it reading documents (idna, undefined).
        raise TemplatePartError(part, 1, 1, f"unknown encoding {declared!r} in the XML declaration",
                                raw[:80].decode("ascii", "replace")) from None
    if not readable:
        raise TemplatePartError(part, 1, 1, f"the XML declaration names {declared!r} but is not written in it",
                                raw[:80].decode("ascii", "replace"))
    return declared, False


def _family(codec: str) -> str:
    """The codec's name without a byte order or a mark: utf-16-le is utf-16, utf-8-sig is utf-8."""
    name = codecs.lookup(codec).name
    return name.removesuffix("-sig").removesuffix("-le").removesuffix("-be")


def part_text(part: str, raw: bytes) -> str:
    """The part's text, refused with TemplatePartError if it cannot be read as XML."""
    codec, by_mark = _encoding(part, raw)
    text = _decode(part, raw, codec)
    declaration = _DECLARATION.match(text)
    declared = _declared_encoding(declaration)
    if declaration is not None and declared is not None:
        named = _codec(declared)
        if by_mark and (named is None or _family(named) != _family(codec)):
            raise _refuse(part, text, 0, f"the XML declaration names {declared!r} but the part is {_family(codec)}")
        if _family(codec) != "utf-8":
            found = _ENCODING.search(text, declaration.start(), declaration.end())
            assert found is not None
            text = text[:found.start("name")] + "UTF-8" + text[found.end("name"):]
    _check_prolog(part, text)
    return text


class _RootReached(Exception):
    pass


class _DoctypeFound(Exception):
    pass


def _stop(exception: type[Exception]) -> Callable[..., None]:
    def handler(*_: object) -> None:
        raise exception

    return handler


def _check_prolog(part: str, text: str) -> None:
    """Parse up to the root element: a DOCTYPE there is refused, as is a prolog that is not XML."""
    # Word processors never write a DOCTYPE; refusing it before any parser expands an
    # entity makes entity bombs and external entities moot.
    parser = expat.ParserCreate()
    parser.StartDoctypeDeclHandler = _stop(_DoctypeFound)
    parser.StartElementHandler = _stop(_RootReached)
    start = 0
    try:
        while True:
            piece = text[start:start + _PROLOG_SLICE]
            start += _PROLOG_SLICE
            parser.Parse(piece, start >= len(text))
    except _RootReached:
        return
    except _DoctypeFound:
        # expat reports the DOCTYPE once it has read its name; point at where it begins.
        offset = text.rfind("<!DOCTYPE", 0, _offset(text, parser.CurrentLineNumber, parser.CurrentColumnNumber))
        raise _refuse(part, text, offset, "a DOCTYPE declaration, which tesserine refuses") from None
    except expat.ExpatError as error:
        offset = _offset(text, error.lineno, error.offset)
        raise _refuse(part, text, offset, f"not XML: {expat.errors.messages[error.code]}") from None


def _offset(text: str, line: int, column: int) -> int:
    """The text offset of expat's line (from 1) and column (in characters, from 0)."""
    line_start = 0
    for _ in range(line - 1):
        line_start = text.find("\n", line_start) + 1
    return line_start + column
