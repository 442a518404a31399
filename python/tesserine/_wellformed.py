"""Well-formedness check of rendered parts, with a position a person can find."""

from __future__ import annotations

from xml.parsers import expat

from ._errors import MalformedPartError

_EXCERPT_RADIUS = 40
# Control characters are what usually breaks a part, and they are invisible when printed.
_VISIBLE = {code: f"\\x{code:02x}" for code in range(0x20) if code not in (0x09,)}


def _excerpt(line: bytes, offset: int) -> str:
    start = max(0, offset - _EXCERPT_RADIUS)
    end = offset + _EXCERPT_RADIUS
    before = line[start:offset].decode("utf-8", "replace").translate(_VISIBLE)
    after = line[offset:end].decode("utf-8", "replace").translate(_VISIBLE)
    lead = "…" if start > 0 else ""
    tail = "…" if end < len(line) else ""
    return f"{lead}{before}⟨here⟩{after}{tail}"


def check_well_formed(part: str, xml: bytes) -> None:
    """Raise MalformedPartError naming the part, line and column of the first fault."""
    # A namespace-aware parser also rejects unbound prefixes, as an office suite would.
    parser = expat.ParserCreate(namespace_separator=" ")
    try:
        parser.Parse(xml, True)
    except expat.ExpatError as error:
        lines = xml.split(b"\n")
        line = lines[error.lineno - 1] if 0 < error.lineno <= len(lines) else b""
        # expat counts columns in bytes; people count characters, from 1.
        column = len(line[:error.offset].decode("utf-8", "replace")) + 1
        reason = expat.errors.messages[error.code]
        raise MalformedPartError(part, error.lineno, column, reason, _excerpt(line, error.offset)) from None
